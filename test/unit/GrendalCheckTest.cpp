// The install-manager check: a service that answers, and the installing
// copy (a client double standing in for the installed Tavrisk.exe) that
// registers the service and signals, only signals, never signals, or is not
// there at all.
#include "ClientFixture.h"
#include "GrendalCheck.h"

using namespace ClientTest;
using TestSupport::InstallClientDouble;
using TestSupport::ReadClientDoubleJournal;
using TestSupport::WaitForClientDoubleStarts;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

std::wstring g_systemDir;

InstalledCopyFolders TestCopyFolders() {
    InstalledCopyFolders folders;
    folders.systemDir = g_systemDir;
    return folders;
}

class GrendalCheckTest : public ClientFixture {
protected:
    // Room for a copy to start and register under a loaded machine.
    GrendalCheckTest() : ClientFixture(100) {}
    void SetUp() override {
        ClientFixture::SetUp();
        g_systemDir = m_system.path();
        SetInstalledCopyFoldersSourceForTest(&TestCopyFolders);
    }
    void TearDown() override {
        SetInstalledCopyFoldersSourceForTest(nullptr);
        ClientFixture::TearDown();
    }
    std::wstring Copy() const { return m_system.File(L"Tavrisk.exe"); }
    TestSupport::TempDir m_system;
};

std::string Narrow(const std::wstring& text) { return CodePageFromWide(text, CP_UTF8); }

}  // namespace

TEST_F(GrendalCheckTest, ServiceThatAnswersNeedsNothingElse) {
    InstallClientDouble(m_system.path(), L"Tavrisk.exe");
    EXPECT_EQ(CheckGrendal(L"gw.example", 443, L"session-0123456789", 0, 1), 1);
    EXPECT_EQ(VPNStatus(), -1);
    EXPECT_THAT(ReadClientDoubleJournal(Copy()), IsEmpty());
    EXPECT_THAT(Methods(m_services, "IInstallManager"), ElementsAre("Create", "Release"));
    EXPECT_THAT(LogText(), HasSubstr("CheckGrendal: Grendal exist, no need reinstall it.\r\n"));
}

TEST_F(GrendalCheckTest, EveryRoadOfAMissingService) {
    const std::string completion = "event=" + Narrow(kCompletionEvent) + "\n";
    struct Case {
        const char* name;
        bool copyPresent;
        std::string behaviour;
        int32_t result;
        const char* logLine;
        bool waitedOut;
    } cases[] = {
        {"registers and signals", true,
         "register=" + Narrow(ComDouble::DllPath()) + "\n" + completion, 1,
         "CheckGrendal: InstallManager installed finished.\r\n", false},
        {"signals only", true, completion, 0,
         "CheckGrendal: InstallManager installed finished, but connect failed, ret is 80040154.\r\n",
         false},
        {"never signals", true, "exit=0\n", 1, nullptr, true},
        {"no copy", false, "", 0, "CheckGrendal: install Grendal failed\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_services.Unregister();
        ::DeleteFileW(Copy().c_str());
        ::SHDeleteValueW(HKEY_CURRENT_USER, kVpn2, L"VPNstatus");
        if (c.copyPresent) InstallClientDouble(m_system.path(), L"Tavrisk.exe", c.behaviour);
        // A copy that never signals costs the whole wait: short slices then.
        m_clock.SetWaitCap(c.waitedOut ? 5 : 100);
        const ULONGLONG before = m_clock.Elapsed();

        EXPECT_EQ(CheckGrendal(L"gw.example", 8443, L"session-0123456789", 2052, 1), c.result);
        EXPECT_EQ(VPNStatus(), 100);
        if (c.logLine) {
            EXPECT_THAT(LogText(), HasSubstr(c.logLine));
        }
        const ULONGLONG waited = m_clock.Elapsed() - before;
        if (c.waitedOut) {
            EXPECT_GE(waited, 300000u);
        } else {
            EXPECT_LT(waited, 60000u);
        }
        if (c.copyPresent) {
            const auto starts = WaitForClientDoubleStarts(Copy(), 1);
            ASSERT_EQ(starts.size(), 1u);
            EXPECT_THAT(starts[0].args, ElementsAre(L"install", L"BVGrendal", L"gw.example", L"8443",
                                                    L"session-0123456789", L"2052"));
        }
    }
    EXPECT_THAT(LogText(),
                HasSubstr("CheckGrendal: InstallManager is not installed, ret is 80040154, we start "
                          "to install it.\r\n"));
}

// The copy may set the event before the check starts to wait: the event
// exists from before the copy's start, so the signal is not lost.
TEST_F(GrendalCheckTest, CopyThatSignalsAtOnceEndsTheWaitAtOnce) {
    m_services.Unregister();
    InstallClientDouble(m_system.path(), L"Tavrisk.exe",
                        "register=" + Narrow(ComDouble::DllPath()) + "\nevent=" +
                            Narrow(kCompletionEvent) + "\n");
    EXPECT_EQ(CheckGrendal(L"gw.example", 443, L"", 0, 0), 1);
    EXPECT_LT(m_clock.Elapsed(), 60000u);
    EXPECT_EQ(VPNStatus(), -1) << "no status without bSetStatus";
}
