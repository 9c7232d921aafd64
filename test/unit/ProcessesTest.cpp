#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "ClientDoubles.h"
#include "CommonFunction.h"
#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "TestSupport.h"

using namespace TestSupport;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Logs of this program go to one day of their own, read back by the tests.
class LoggedTest : public ::testing::Test {
protected:
    std::string LogText() const { return m_log.Text(); }

    ScopedTestLog m_log{MakeTime(2032, 3, 1, 9, 0, 0, 0)};
};

class ProcessTest : public LoggedTest {
protected:
    void TearDown() override {
        for (auto& process : m_started) {
            ::TerminateProcess(process.get(), 0);
            ::WaitForSingleObject(process.get(), 5000);
        }
        m_started.clear();
        LoggedTest::TearDown();
    }
    HANDLE Start(const std::wstring& path) {
        m_started.emplace_back(StartProcess(L"\"" + path + L"\""));
        return m_started.back().get();
    }
    TempDir m_dir;
    std::vector<Owners::UniqueHandle> m_started;
};

}  // namespace

TEST_F(ProcessTest, FindsCountsAndStopsOneOfTwoProcessesOfAName) {
    const std::wstring path = InstallClientDouble(m_dir.path(), L"qpstop_stay.exe");
    HANDLE first = Start(path);
    HANDLE second = Start(path);
    ASSERT_EQ(WaitForClientDoubleStarts(path, 2).size(), 2u);

    EXPECT_EQ(ProcessExistCountByName(L"qpstop_stay.exe"), 2);
    EXPECT_EQ(IsProcessExistByName(L"QPSTOP_STAY.EXE"), 1);
    EXPECT_EQ(IsProcessRunning(L"QPStop_Stay.exe"), 1);
    EXPECT_EQ(IsProcessAlive(::GetProcessId(first)), 1);

    // Stopped means ended: the count drops as soon as the call returns.
    EXPECT_TRUE(StopProcessByName(L"qpstop_stay.exe"));
    EXPECT_EQ(ProcessExistCountByName(L"qpstop_stay.exe"), 1);
    const bool firstEnded = ::WaitForSingleObject(first, 0) == WAIT_OBJECT_0;
    const bool secondEnded = ::WaitForSingleObject(second, 0) == WAIT_OBJECT_0;
    EXPECT_NE(firstEnded, secondEnded) << "exactly one of the two is stopped";
    EXPECT_THAT(LogText(), HasSubstr("StopProcessByName, qpstop_stay.exe has been terminated.\r\n"));

    EXPECT_TRUE(StopProcessByName(L"qpstop_stay.exe"));
    EXPECT_EQ(IsProcessExistByName(L"qpstop_stay.exe"), 0);
    EXPECT_EQ(IsProcessRunning(L"qpstop_stay.exe"), 0);
}

TEST_F(ProcessTest, NamesThatDoNotRunAreNotRunningAndStopTrivially) {
    EXPECT_EQ(ProcessExistCountByName(L"qp_never_started.exe"), 0);
    EXPECT_EQ(IsProcessExistByName(L"qp_never_started.exe"), 0);
    EXPECT_EQ(GetProcessByName(L"qp_never_started.exe", SYNCHRONIZE), nullptr);
    // A name is the whole executable name, not a part of it.
    EXPECT_EQ(IsProcessExistByName(L"unit_processes"), 0);
    EXPECT_EQ(IsProcessExistByName(L"unit_processes.exe"), 1);
    EXPECT_TRUE(StopProcessByName(L"qp_never_started.exe"));
    EXPECT_THAT(LogText(),
                HasSubstr("StopProcessByName, process qp_never_started.exe is not running.\r\n"));
}

TEST_F(ProcessTest, RegistrationProgramsGetTheirSwitch) {
    const std::wstring path = InstallClientDouble(m_dir.path(), L"qpserver.exe");
    EXPECT_TRUE(InstallCOMService(path.c_str(), L"RegServer"));
    EXPECT_TRUE(RemoveCOMService(path.c_str(), 0));
    EXPECT_TRUE(RemoveCOMService(path.c_str(), 1));
    const auto starts = ReadClientDoubleJournal(path);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_THAT(starts[0].args, ElementsAre(L"/RegServer"));
    EXPECT_THAT(starts[1].args, ElementsAre(L"/UnregServer"));
    EXPECT_THAT(starts[2].args, ElementsAre(L"/UnregServer"));
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("RemoveCOMService: no need wait then exit.\r\n"));
    EXPECT_THAT(log, HasSubstr("RemoveCOMService: success.\r\n"));

    EXPECT_FALSE(InstallCOMService((m_dir.path() + L"\\missing.exe").c_str(), L"RegServer"));
    EXPECT_FALSE(RemoveCOMService((m_dir.path() + L"\\missing.exe").c_str(), 1));
}

TEST_F(ProcessTest, RegistrationCommandThatDoesNotFitIsNotStarted) {
    // A folder name long enough that the quoted path and switch exceed 259.
    const std::wstring deep = m_dir.path() + L"\\" + std::wstring(200, L'd');
    ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr));
    const std::wstring path = InstallClientDouble(deep, L"qpserver_long_name.exe");
    ASSERT_TRUE(FileExists(path));
    EXPECT_FALSE(InstallCOMService(path.c_str(), L"RegServer"));
    EXPECT_FALSE(RemoveCOMService(path.c_str(), 1));
    EXPECT_TRUE(ReadClientDoubleJournal(path).empty());
}

TEST_F(ProcessTest, ServiceCountsOnlyWhenDisplayNameAndKeyNameAgree) {
    Owners::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    const std::wstring binary = L"\"" + InstallClientDouble(m_dir.path(), L"qpsvc.exe") + L"\"";
    struct Svc {
        const wchar_t* name;
        const wchar_t* display;
    } services[] = {{L"QuarloSameNameSvc", L"QuarloSameNameSvc"},
                    {L"QuarloOtherNameSvc", L"Quarlo Other Display"}};
    for (const auto& s : services) {
        Owners::UniqueServiceHandle old(::OpenServiceW(manager.get(), s.name, DELETE));
        if (old) ::DeleteService(old.get());
        Owners::UniqueServiceHandle created(::CreateServiceW(
            manager.get(), s.name, s.display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr,
            nullptr, nullptr));
        ASSERT_TRUE(created) << ::GetLastError();
    }
    EXPECT_EQ(IsCOMServiceExist(L"QuarloSameNameSvc"), 1);
    EXPECT_EQ(IsCOMServiceExist(L"QuarloOtherNameSvc"), 0);
    EXPECT_EQ(IsCOMServiceExist(L"Quarlo Other Display"), 0);
    EXPECT_EQ(IsCOMServiceExist(L"quarlosamenamesvc"), 0) << "display names compare exactly";
    EXPECT_EQ(IsCOMServiceExist(L"QuarloNoSuchSvc"), 0);
    for (const auto& s : services) {
        Owners::UniqueServiceHandle svc(::OpenServiceW(manager.get(), s.name, DELETE));
        if (svc) ::DeleteService(svc.get());
    }
    EXPECT_THAT(LogText(), HasSubstr("IsCOMServiceExist: service QuarloSameNameSvc exist\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("IsCOMServiceExist: open reg SYSTEM\\CurrentControlSet\\Services\\"
                                     "Quarlo Other Display failed"));
}

TEST(CommandLineQuoting, EveryTextReadsBackAsTheSameArgument) {
    const wchar_t* texts[] = {L"", L"plain", L"two words", L"C:\\dir\\", L"a\"b", L"a\\\"b",
                              L"\\\\server\\share\\", L"tail\\\\"};
    std::wstring commandLine = L"prog.exe";
    for (const wchar_t* text : texts) commandLine += L" " + QuoteCommandLineArgument(text);
    int argc = 0;
    Owners::UniqueLocalMem storage;
    wchar_t** argv = ::CommandLineToArgvW(commandLine.c_str(), &argc);
    storage.reset(argv);
    ASSERT_EQ(argc, 1 + static_cast<int>(std::size(texts)));
    for (size_t i = 0; i < std::size(texts); ++i) EXPECT_STREQ(argv[i + 1], texts[i]) << i;
}

// ---- HandleCOMService ----

namespace {

InstalledCopyFolders g_folders;
InstalledCopyFolders FoldersForTest() { return g_folders; }

class HandleCOMServiceTest : public ProcessTest {
protected:
    void SetUp() override {
        ProcessTest::SetUp();
        for (const wchar_t* sub : {L"\\sys", L"\\win", L"\\win\\SysWOW64", L"\\tmp"}) {
            ASSERT_TRUE(::CreateDirectoryW((m_dir.path() + sub).c_str(), nullptr));
        }
        g_folders = {m_dir.path() + L"\\sys", m_dir.path() + L"\\win", m_dir.path() + L"\\tmp\\",
                     true};
        SetInstalledCopyFoldersSourceForTest(FoldersForTest);
    }
    void TearDown() override {
        SetInstalledCopyFoldersSourceForTest(nullptr);
        ProcessTest::TearDown();
    }
    std::wstring Place(const wchar_t* sub, const wchar_t* name) {
        return InstallClientDouble(m_dir.path() + sub, name);
    }
};

struct FormCase {
    const char* label;
    const wchar_t* component;
    const wchar_t* action;
    const wchar_t* host;
    unsigned short port;
    const wchar_t* session;
    unsigned int number;
    unsigned int proxyFlag;
    const wchar_t* executable;
    std::vector<std::wstring> expected;
};

}  // namespace

TEST_F(HandleCOMServiceTest, EachFormReachesTheCopyArgumentForArgument) {
    const FormCase cases[] = {
        {"install, empty session stays an argument", L"BVGrendal", L"install", L"gw.example", 443,
         L"", 0, 0, L"Tavrisk.exe", {L"install", L"BVGrendal", L"gw.example", L"443", L"", L"0"}},
        {"install with session", L"Grendal", L"update", L"10.1.2.3", 8443, L"S3ss10n", 7, 0,
         L"Tavrisk.exe", {L"update", L"Grendal", L"10.1.2.3", L"8443", L"S3ss10n", L"7"}},
        {"saveproxy hands the PAC URL and host", L"http://127.0.0.1:9/p.pac?a=1&b=2",
         L"SaveProxy", L"gw.example", 0, L"", 0, 0, L"Tavrisk.exe",
         {L"http://127.0.0.1:9/p.pac?a=1&b=2", L"gw.example"}},
        {"remove", L"Grendal", L"remove", L"h", 0, L"", 0, 0, L"Tavrisk.exe",
         {L"-remove", L"-Grendal"}},
        {"self-update ignores the action", L"x", L"install", L"", 443, L"", 1, 1, L"Pelkora.exe",
         {L"-updateBrevanto"}},
        {"odd characters arrive unchanged", L"C:\\cab dir\\", L"install", L"gw", 1, L"a\"b", 0,
         0, L"Tavrisk.exe", {L"install", L"C:\\cab dir\\", L"gw", L"1", L"a\"b", L"0"}},
    };
    const std::wstring tavrisk = Place(L"\\sys", L"Tavrisk.exe");
    const std::wstring pelkora = Place(L"\\sys", L"Pelkora.exe");
    size_t tavriskStarts = 0, pelkoraStarts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(HandleCOMService(c.component, c.action, c.host, true, c.port, c.session, 0,
                                     c.number, c.proxyFlag, L"", 0, L"", L"", L""));
        const bool isTavrisk = std::wstring(c.executable) == L"Tavrisk.exe";
        const std::wstring& path = isTavrisk ? tavrisk : pelkora;
        size_t& count = isTavrisk ? tavriskStarts : pelkoraStarts;
        const auto starts = WaitForClientDoubleStarts(path, count + 1);
        ASSERT_EQ(starts.size(), count + 1);
        EXPECT_THAT(starts[count].args, ElementsAreArray(c.expected));
        ++count;
    }
}

TEST_F(HandleCOMServiceTest, ProxyFormCarriesThePasswordButTheLogMasksIt) {
    const std::wstring tavrisk = Place(L"\\sys", L"Tavrisk.exe");
    ASSERT_TRUE(HandleCOMService(L"BVGrendal", L"install", L"gw", false, 443, L"sess", 0, 0, 1,
                                 L"proxy.local", 3128, L"alice", L"S3cret!pw", L"CORP"));
    const auto starts = WaitForClientDoubleStarts(tavrisk, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_THAT(starts[0].args,
                ElementsAre(L"install", L"BVGrendal", L"gw", L"443", L"sess", L"0", L"1",
                            L"proxy.local", L"3128", L"alice", L"S3cret!pw", L"CORP"));
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("HandleCOMService: parameter is "));
    EXPECT_THAT(log, HasSubstr("\"alice\" \"******\" \"CORP\""));
    EXPECT_THAT(log, Not(HasSubstr("S3cret!pw")));
}

TEST_F(HandleCOMServiceTest, ParametersThatDoNotFitAreRefused) {
    const std::wstring tavrisk = Place(L"\\sys", L"Tavrisk.exe");
    const std::wstring longHost(1100, L'h');
    EXPECT_FALSE(HandleCOMService(L"Grendal", L"install", longHost.c_str(), false, 443, L"s", 0,
                                  0, 0, L"", 0, L"", L"", L""));
    ::Sleep(300);
    EXPECT_TRUE(ReadClientDoubleJournal(tavrisk).empty());
    EXPECT_THAT(LogText(), HasSubstr("HandleCOMService: parameter is too long, not started"));
}

TEST_F(HandleCOMServiceTest, SearchOrderSystemThenSysWow64ThenUserTemp) {
    struct Case {
        const char* label;
        std::vector<const wchar_t*> placed;
        bool is64;
        const wchar_t* expectedFolder;  // null: not found
    } cases[] = {
        {"system folder first", {L"\\sys", L"\\win\\SysWOW64", L"\\tmp"}, true, L"\\sys"},
        {"SysWOW64 before temp on 64-bit", {L"\\win\\SysWOW64", L"\\tmp"}, true, L"\\win\\SysWOW64"},
        {"temp last", {L"\\tmp"}, true, L"\\tmp"},
        {"32-bit never tries SysWOW64", {L"\\win\\SysWOW64"}, false, nullptr},
        {"32-bit goes to temp", {L"\\win\\SysWOW64", L"\\tmp"}, false, L"\\tmp"},
        {"nowhere", {}, true, nullptr},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const wchar_t* sub : {L"\\sys", L"\\win\\SysWOW64", L"\\tmp"}) {
            ::DeleteFileW((m_dir.path() + sub + L"\\Tavrisk.exe").c_str());
            ::DeleteFileW((m_dir.path() + sub + L"\\Tavrisk.exe.journal").c_str());
        }
        for (const wchar_t* sub : c.placed) Place(sub, L"Tavrisk.exe");
        g_folders.is64BitOS = c.is64;
        const std::wstring session = FormatW(L"round%d", ++round);
        const bool started = HandleCOMService(L"Grendal", L"install", L"gw", false, 443,
                                              session.c_str(), 0, 0, 0, L"", 0, L"", L"", L"");
        EXPECT_EQ(started, c.expectedFolder != nullptr);
        for (const wchar_t* sub : c.placed) {
            const auto starts = ReadClientDoubleJournal(m_dir.path() + sub + L"\\Tavrisk.exe");
            const bool chosen = c.expectedFolder && std::wstring(sub) == c.expectedFolder;
            EXPECT_EQ(starts.size(), chosen ? 1u : 0u) << "copy in " << CodePageFromWide(sub);
        }
    }
}

TEST_F(HandleCOMServiceTest, WithoutAUserTempFolderNothingRelativeIsStarted) {
    g_folders.userTempDir.clear();
    g_folders.is64BitOS = false;
    EXPECT_FALSE(HandleCOMService(L"Grendal", L"install", L"gw", false, 443, L"s", 1, 0, 0, L"",
                                  0, L"", L"", L""));
}

TEST_F(HandleCOMServiceTest, DoNotWaitReturnsWhileTheCopyRuns) {
    const std::wstring tavrisk = Place(L"\\sys", L"Tavrisk.exe");
    {
        HANDLE file = ::CreateFileW((tavrisk + L".behave").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(file, "stay=3000\n", 10, &written, nullptr);
        ::CloseHandle(file);
    }
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(HandleCOMService(L"Grendal", L"install", L"gw", true, 443, L"s", 1, 0, 0, L"", 0,
                                 L"", L"", L""));
    EXPECT_LT(::GetTickCount64() - start, 2500u);
    EXPECT_EQ(WaitForClientDoubleStarts(tavrisk, 1).size(), 1u);
    // The waiting form waits for the copy to end.
    const ULONGLONG waitStart = ::GetTickCount64();
    EXPECT_TRUE(HandleCOMService(L"Grendal", L"install", L"gw", true, 443, L"s", 0, 0, 0, L"", 0,
                                 L"", L"", L""));
    EXPECT_GE(::GetTickCount64() - waitStart, 2500u);
    EXPECT_THAT(LogText(), HasSubstr("HandleCOMService: ShellExecuteEx finished\r\n"));
    StopProcessByName(L"Tavrisk.exe");
}

// ---- The local HTTPS program ----

TEST_F(ProcessTest, BhttpdStartReportsFailureOnlyForExitCodeThree) {
    struct Case {
        const char* behaviour;
        int expected;
    } cases[] = {{"exit=0\n", 1}, {"exit=3\n", 0}, {"exit=5\n", 1}, {"stay=forever\n", 1}};
    const std::wstring log = m_dir.File(L"Bhttpd_2032_03_01.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        const std::wstring path = InstallClientDouble(m_dir.path(), L"BrevantoHttpd.exe", c.behaviour);
        EXPECT_EQ(CreateBhttpdProcessWithPort(path.c_str(), log.c_str(), 60014), c.expected);
        const auto starts = WaitForClientDoubleStarts(path, 1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_THAT(starts[0].args, ElementsAre(L"-https", L"127.0.0.1:60014", L"-logfile", log,
                                                L"-logsize", L"10"));
        StopProcessByName(L"BrevantoHttpd.exe");
    }
    EXPECT_EQ(CreateBhttpdProcessWithPort(m_dir.File(L"none.exe").c_str(), log.c_str(), 60012), 0);
}
