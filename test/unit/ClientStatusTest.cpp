// Client status from the tunnel daemon, the daemon's start, the readiness
// test of a new launch and the client products' installation, against the
// COM double and client doubles in the client's folder.
#include <aclapi.h>

#include "ClientFixture.h"
#include "ClientStatus.h"
#include "ServiceInterfaces.h"
#include "StringUtil.h"

using namespace ClientTest;
using TestSupport::InstallClientDouble;
using TestSupport::ReadClientDoubleJournal;
using TestSupport::WaitForClientDoubleStarts;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

constexpr DWORD kMissing = 0xDEADBEEF;

class ClientStatusTest : public ClientFixture {
protected:
    void SetState(DWORD daemonValue, DWORD slow, DWORD service) {
        if (daemonValue == kMissing) ::SHDeleteValueW(HKEY_CURRENT_USER, kVpn2, L"VPNstatus");
        else m_userVpn2.SetDword(L"VPNstatus", daemonValue);
        m_machineVpn2.SetDword(L"BVSlow", slow);
        m_machineVpn2.SetDword(L"BVStatus", service);
    }
};

}  // namespace

TEST_F(ClientStatusTest, RunningDaemonsValueMapsThroughTheStatusTable) {
    const std::wstring corvd = StartDouble(m_dir.path(), L"corvd.exe");
    struct Case {
        DWORD value, slow, service;
        int32_t status;
    } cases[] = {
        {0, 0, 0, -1},  {1, 0, 0, 1},   {6, 0, 0, 1},    {2, 0, 0, 3},   {3, 0, 0, 2},
        {38, 0, 0, 2},  {39, 0, 0, 2},  {4, 0, 0, 6},    {7, 0, 0, 4},   {5, 0, 0, 7},
        {8, 0, 0, 7},   {37, 0, 0, 7},  {40, 0, 0, 7},   {99, 0, 0, 7},  {200, 0, 0, 7},
        {0xFFFFFFFF, 0, 0, 7},          {kMissing, 0, 0, 7},
        // A slow service: a connecting daemon counts as connected unless the
        // service says 2; an idle one as 6 unless the service says 4.
        {3, 1, 2, 2},   {3, 1, 0, 1},   {3, 0, 0, 2},    {31, 1, 0, 6},  {31, 1, 4, 7},
        {5, 1, 0, 6},   {5, 1, 4, 7},   {kMissing, 1, 0, 6},             {31, 0, 0, 7},
        {1, 1, 0, 1},   {4, 1, 4, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "value " << c.value << " slow " << c.slow
                                          << " service " << c.service);
        SetState(c.value, c.slow, c.service);
        EXPECT_EQ(QuarloGetVPNRunningStatusNoDriveW(), c.status);
        EXPECT_EQ(VPNStatus(), c.value == kMissing ? -1 : static_cast<long long>(c.value))
            << "a running daemon's state is never overwritten";
    }
    // The daemon runs: the VPN service is not asked and nothing is started.
    EXPECT_THAT(Methods(m_services, "IOssiden"), IsEmpty());
    EXPECT_EQ(ReadClientDoubleJournal(corvd).size(), 1u);
}

TEST_F(ClientStatusTest, AbsentDaemonLeavesFiveAndIsPreparedAndStarted) {
    const std::wstring corvd = InstallClientDouble(
        m_clientDir, L"corvd.exe", "hkcu_dword=SOFTWARE\\VPN\\VPN2\\VPNstatus=1\nstay=forever\n");
    SetState(1, 0, 0);  // the state a daemon that has gone left behind
    EXPECT_EQ(QuarloGetVPNRunningStatusNoDriveW(), 7);
    EXPECT_THAT(Methods(m_services, "IOssiden"), ElementsAre("Create", "PrepareCorvd", "Release"));
    const auto starts = WaitForClientDoubleStarts(corvd, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].show, SW_HIDE);
    EXPECT_THAT(LogText(), HasSubstr("StartCORVD: debug flag:0, ret:2\r\n"));

    // The started daemon's own state counts from the next query on.
    for (int i = 0; i < 100 && VPNStatus() != 1; ++i) ::Sleep(50);
    ASSERT_EQ(VPNStatus(), 1);
    EXPECT_EQ(QuarloGetVPNRunningStatusNoDriveW(), 1);
    EXPECT_EQ(ReadClientDoubleJournal(corvd).size(), 1u);
}

TEST_F(ClientStatusTest, AbsentDaemonWithoutItsProgramStaysAtFive) {
    struct Case {
        DWORD slow, service;
        int32_t status;
    } cases[] = {{0, 0, 7}, {1, 0, 6}, {1, 4, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "slow " << c.slow << " service " << c.service);
        SetState(2, c.slow, c.service);
        EXPECT_EQ(QuarloGetVPNRunningStatusNoDriveW(), c.status);
        EXPECT_EQ(VPNStatus(), 5);
    }
    EXPECT_THAT(LogText(), HasSubstr("StartCORVD: file corvd.exe is not exist, exit.\r\n"));
}

// A daemon of another account exists but cannot be opened: it still runs,
// so its state is read and its client not stopped for it.
TEST_F(ClientStatusTest, DaemonThatCannotBeOpenedCountsAsRunning) {
    const std::wstring corvd = StartDouble(m_dir.path(), L"corvd.exe");
    ACL empty{};
    ASSERT_TRUE(::InitializeAcl(&empty, sizeof(empty), ACL_REVISION));
    ASSERT_EQ(::SetSecurityInfo(m_started.back().get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, &empty, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    if (IsProcessRunning(L"corvd.exe")) {
        GTEST_SKIP() << "Wine: a process's security descriptor does not keep other processes "
                        "from opening it, so no daemon here runs out of reach";
    }
    SetState(1, 0, 0);
    EXPECT_EQ(QuarloGetVPNRunningStatusNoDriveW(), 1);
    EXPECT_EQ(VPNStatus(), 1);
    EXPECT_THAT(Methods(m_services, "IOssiden"), IsEmpty());
}

TEST_F(ClientStatusTest, DaemonStepAsksTheServiceOnceMoreOnlyWhenCOMWasNotInitialised) {
    struct Case {
        const char* name;
        const wchar_t* mode;
        DWORD createResult, createFailures, debug;
        std::vector<std::string> calls;
        int show;
    } cases[] = {
        {"created", L"", 0, 0, 0, {"Create", "PrepareCorvd", "Release"}, SW_HIDE},
        {"not initialised once", L"", 0x800401F0, 1, 1, {"Create", "Create", "PrepareCorvd", "Release"}, SW_SHOW},
        {"service missing", L"CreateFails", 0x80040154, 0, 0, {"Create"}, SW_HIDE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_services.ClearJournal();
        m_services.Set(ComDouble::Ossiden, L"Mode", c.mode);
        m_services.Set(ComDouble::Ossiden, L"CreateResult", c.createResult);
        m_services.Set(ComDouble::Ossiden, L"CreateFailures", c.createFailures);
        m_services.Set(ComDouble::Ossiden, L"CreateCount", 0u);
        m_userVpn2.SetDword(L"debug", c.debug);
        const std::wstring corvd = InstallClientDouble(m_clientDir, L"corvd.exe", "stay=forever\n");
        EnsureCorvdRunning();
        EXPECT_EQ(Methods(m_services, "IOssiden"), c.calls);
        const auto starts = WaitForClientDoubleStarts(corvd, 1);
        ASSERT_EQ(starts.size(), 1u) << "the daemon is started also without the service";
        EXPECT_EQ(starts[0].show, c.show);
        EXPECT_THAT(starts[0].args, IsEmpty());

        // Running now: nothing more is asked or started.
        EnsureCorvdRunning();
        StartCORVD();
        EXPECT_EQ(Methods(m_services, "IOssiden"), c.calls);
        EXPECT_EQ(ReadClientDoubleJournal(corvd).size(), 1u);
        StopAll(L"corvd.exe");
    }
    EXPECT_THAT(LogText(),
                HasSubstr("SetDomainList: Create instance failed. Error = 0x800401f0, try again\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("StartCORVD: corvd exist, do nothing\r\n"));
}

TEST_F(ClientStatusTest, ReadinessStopsOnlyAClientThatDoesNoWork) {
    m_services.Set(ComDouble::InstallManager, L"StopProcesses", 1u);
    struct Case {
        bool clientRuns;
        DWORD daemonValue;
        int32_t ready;
        bool stopped;
    } cases[] = {
        {false, 1, 1, false},
        {true, 1, 0, false},    // connected
        {true, 4, 0, false},    // status 6
        {true, 0, 1, true},     // VPN_NORUN
        {true, 2, 1, true},     // VPN_CONNECTFAIL
        {true, 200, 1, true},   // the launcher's own value: VPN_DISCONNECTED
    };
    const std::wstring corvd = StartDouble(m_dir.path(), L"corvd.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "client " << c.clientRuns << " value " << c.daemonValue);
        m_services.ClearJournal();
        if (c.clientRuns && !IsProcessExistByName(L"Brevanto.exe")) StartDouble(m_dir.path(), L"Brevanto.exe");
        if (!c.clientRuns) StopAll(L"Brevanto.exe");
        SetState(c.daemonValue, 0, 0);
        EXPECT_EQ(IsReadyToLaunchBV(), c.ready);
        EXPECT_EQ(Methods(m_services, "IInstallManager").size(), c.stopped ? 3u : 0u);
        if (c.stopped) {
            const auto stops = m_services.Calls("IInstallManager.StopProcessByName");
            ASSERT_EQ(stops.size(), 1u);
            EXPECT_EQ(Field("\t" + stops[0], "program"), "Brevanto.exe");
            for (int i = 0; i < 100 && IsProcessExistByName(L"Brevanto.exe"); ++i) ::Sleep(50);
        }
        EXPECT_EQ(IsProcessExistByName(L"Brevanto.exe") != 0, c.clientRuns && !c.stopped);
    }
    EXPECT_THAT(LogText(), HasSubstr("IsReadyToLaunchBV: :Brevanto client is working, exit launch process.\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("KillBrevantoProcess for Brevanto.exe success\r\n"));
    EXPECT_EQ(ReadClientDoubleJournal(corvd).size(), 1u);
}

TEST_F(ClientStatusTest, ReadinessWithoutAClientReadsNoStatus) {
    EXPECT_EQ(IsReadyToLaunchBV(), 1);
    EXPECT_EQ(VPNStatus(), -1);
    EXPECT_THAT(m_services.Journal(), IsEmpty());
    EXPECT_THAT(LogText(), Not(HasSubstr("Get BV Running Status")));
}

TEST_F(ClientStatusTest, KillBrevantoProcessLogsWhatTheServiceAnswered) {
    m_services.Set(ComDouble::InstallManager, L"StopProcessByName", 0x80004005u);
    KillBrevantoProcess();
    m_services.Set(ComDouble::InstallManager, L"Mode", L"CreateFails");
    KillBrevantoProcess();
    EXPECT_THAT(LogText(), HasSubstr("KillBrevantoProcess for Brevanto.exe error 0x80004005\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("NSIS installer: createinstance error 0x80004005\r\n"));
}

namespace {

struct ProductCase {
    const char* name;
    void (*install)(CThdCOMServiceManager*);
    const wchar_t* product;
    const char* current;
    const char* finished;
};
const ProductCase kProducts[] = {
    {"client", &InstallBrevantoClient, ServiceInterfaces::kProductBrevanto,
     "Brevanto already installed\r\n", "InstallBrevantoClient: finished\r\n"},
    {"vpn", &InstallVPNClient, ServiceInterfaces::kProductVpnClient, "VPN already installed\r\n",
     "InstallVPNClient: finished\r\n"},
};

std::string Utf8(const wchar_t* text) { return CodePageFromWide(text, CP_UTF8); }

}  // namespace

TEST_F(ClientStatusTest, InstallationRunsOnlyForAnOutdatedProductAndEndsWithItsEvent) {
    const std::string language = std::to_string(::GetUserDefaultLangID());
    for (const ProductCase& p : kProducts) {
        SCOPED_TRACE(p.name);
        const std::wstring state = std::wstring(L"State") + p.product;
        // Current: nothing is installed, no wait.
        m_services.ClearJournal();
        m_services.Set(ComDouble::InstallManager, state, 0u);
        p.install(nullptr);
        EXPECT_THAT(Methods(m_services, "IInstallManager"),
                    ElementsAre("Create", "CheckClientComponents", "Release"));
        EXPECT_THAT(LogText(), HasSubstr(p.current));

        // Outdated: installed, and the service's event ends the wait.
        m_services.ClearJournal();
        m_services.Set(ComDouble::InstallManager, state, 0x04u);
        const ULONGLONG before = m_clock.Elapsed();
        p.install(nullptr);
        const auto installs = m_services.Calls("IInstallManager.Install");
        ASSERT_EQ(installs.size(), 1u);
        const std::string line = "\t" + installs[0];
        EXPECT_EQ(Field(line, "product"), Utf8(p.product));
        EXPECT_EQ(Field(line, "text1"), "");
        EXPECT_EQ(Field(line, "value1"), "0");
        EXPECT_EQ(Field(line, "languageId"), language);
        EXPECT_EQ(Field(line, "value2"), "0");
        EXPECT_LT(m_clock.Elapsed() - before, 5000u);
        EXPECT_THAT(LogText(), HasSubstr(p.finished));
    }
}

// A signal left from an earlier installation must not end the wait for
// this one.
TEST_F(ClientStatusTest, StaleInstallationSignalDoesNotEndTheWait) {
    m_services.Set(ComDouble::InstallManager,
                   std::wstring(L"State") + ServiceInterfaces::kProductBrevanto, 0x04u);
    m_services.Set(ComDouble::InstallManager, L"InstallEventDelay", 0xFFFFFFFFu);
    const Owners::UniqueHandle stale(::CreateEventW(nullptr, FALSE, TRUE, kInstallationEvent));
    ASSERT_TRUE(stale);
    InstallBrevantoClient(nullptr);
    EXPECT_GE(m_clock.Elapsed(), 180000u);
    EXPECT_LT(m_clock.Elapsed(), 182000u);
    EXPECT_EQ(m_services.Calls("IInstallManager.Install").size(), 1u);
}

TEST_F(ClientStatusTest, FailedInstallationIsNotWaitedFor) {
    m_services.Set(ComDouble::InstallManager,
                   std::wstring(L"State") + ServiceInterfaces::kProductVpnClient, 1u);
    m_services.Set(ComDouble::InstallManager, L"Install", 0x80070005u);
    InstallVPNClient(nullptr);
    EXPECT_EQ(m_clock.Elapsed(), 0u);
    EXPECT_THAT(LogText(), HasSubstr("NSIS installer: Install() error 0x80070005\r\n"));
    EXPECT_THAT(LogText(), Not(HasSubstr("InstallVPNClient: finished")));

    m_services.Set(ComDouble::InstallManager, L"CheckClientComponents", 0x80004005u);
    InstallVPNClient(nullptr);
    EXPECT_THAT(LogText(), HasSubstr("Callback Func: run failed, error is 80004005\r\n"));
}
