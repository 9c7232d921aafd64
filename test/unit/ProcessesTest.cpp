#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <atomic>
#include <string>
#include <vector>

#include "ClientDoubles.h"
#include "CommonFunction.h"
#include "FileReplace.h"
#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "System.h"
#include "TestSupport.h"

using namespace TestSupport;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const SYSTEMTIME kLogDay = MakeTime(2032, 3, 1, 9, 0, 0, 0);

// Logs of this program go to one day of their own, read back by the tests.
class LoggedTest : public ::testing::Test {
protected:
    std::string LogText() const { return m_log.Text(); }

    ScopedTestLog m_log{kLogDay};
};

// Records the waits that the code under test takes.
class RecordingWaits : public FixedTimeSource {
public:
    using FixedTimeSource::FixedTimeSource;
    DWORD WaitForObject(HANDLE handle, DWORD ms) override {
        waits.push_back(ms);
        return FixedTimeSource::WaitForObject(handle, ms);
    }
    std::vector<DWORD> waits;
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

    // Stopped means ended: the stop waits (bounded) for the end, so the
    // count drops as soon as the call returns.
    RecordingWaits waits(MakeTime(2032, 3, 1, 9, 0, 0, 0));
    {
        const TestSupport::ScopedHook recorded(Timing::SetSourceForTest, &waits);
        EXPECT_TRUE(StopProcessByName(L"qpstop_stay.exe"));
    }
    EXPECT_THAT(waits.waits, ::testing::Contains(10000u));
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
    }
    std::wstring Place(const wchar_t* sub, const wchar_t* name) {
        return InstallClientDouble(m_dir.path() + sub, name);
    }

    ScopedHook<InstalledCopyFoldersSource> m_folders{SetInstalledCopyFoldersSourceForTest, FoldersForTest};
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

TEST_F(HandleCOMServiceTest, ACopyThatCannotStartFailsWithoutAnErrorBox) {
    // A damaged copy: the shell cannot start it and, unless told not to,
    // asks nobody in a box of its own that holds the command until answered.
    const std::wstring broken = m_dir.path() + L"\\sys\\Tavrisk.exe";
    ASSERT_EQ(WriteWholeFileAtomic(broken.c_str(), "not a program"), 1);
    int result = -1;
    const bool returned = TestSupport::ReturnsWithoutABox([&] {
        result = HandleCOMService(L"Grendal", L"install", L"gw", false, 443, L"s", 1, 0, 0, L"", 0,
                                  L"", L"", L"")
                     ? 1
                     : 0;
    });
    EXPECT_TRUE(returned) << "the call waited on a box";
    EXPECT_EQ(result, 0);
    EXPECT_THAT(LogText(), HasSubstr("HandleCOMService: ShellExecuteEx error "));
}

TEST_F(HandleCOMServiceTest, WithoutAUserTempFolderNothingRelativeIsStarted) {
    // A copy in the working folder is what a relative name would find.
    const std::wstring working = Place(L"\\tmp", L"Tavrisk.exe");
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW((m_dir.path() + L"\\tmp").c_str()));
    g_folders.userTempDir.clear();
    g_folders.is64BitOS = false;
    EXPECT_FALSE(HandleCOMService(L"Grendal", L"install", L"gw", false, 443, L"s", 1, 0, 0, L"",
                                  0, L"", L"", L""));
    // The same without a system or Windows folder.
    g_folders = {L"", L"", L"", true};
    EXPECT_FALSE(HandleCOMService(L"Grendal", L"install", L"gw", false, 443, L"s", 1, 0, 0, L"",
                                  0, L"", L"", L""));
    ::Sleep(300);
    EXPECT_TRUE(ReadClientDoubleJournal(working).empty());

    // The guard is for the temporary-folder candidate only: a copy in
    // SysWOW64 is found without one.
    g_folders = {m_dir.path() + L"\\sys", m_dir.path() + L"\\win", L"", true};
    const std::wstring wow = Place(L"\\win\\SysWOW64", L"Tavrisk.exe");
    EXPECT_TRUE(HandleCOMService(L"Grendal", L"install", L"gw", false, 443, L"s", 1, 0, 0, L"",
                                 0, L"", L"", L""));
    EXPECT_EQ(WaitForClientDoubleStarts(wow, 1).size(), 1u);
    ::SetCurrentDirectoryW(previous);
}

namespace {

// An ended process may still be opened by id while handles to it exist.
bool HasEnded(DWORD pid) {
    Owners::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return !process || ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

TEST_F(HandleCOMServiceTest, DoNotWaitReturnsWhileTheCopyRunsTheWaitingFormAfterItEnded) {
    // The session text tells the copy how long to run.
    const std::wstring tavrisk = InstallClientDouble(
        m_dir.path() + L"\\sys", L"Tavrisk.exe",
        "match=keeprunning\nstay=forever\nmatch=shortrun\nstay=1500\n");
    // Waiting for a copy that never ends would block this call for 300 s.
    EXPECT_TRUE(HandleCOMService(L"Grendal", L"install", L"gw", true, 443, L"keeprunning", 1, 0, 0,
                                 L"", 0, L"", L"", L""));
    auto starts = WaitForClientDoubleStarts(tavrisk, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_FALSE(HasEnded(starts[0].pid));

    EXPECT_TRUE(HandleCOMService(L"Grendal", L"install", L"gw", true, 443, L"shortrun", 0, 0, 0,
                                 L"", 0, L"", L"", L""));
    starts = ReadClientDoubleJournal(tavrisk);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_TRUE(HasEnded(starts[1].pid)) << "returned before the copy ended";
    EXPECT_FALSE(HasEnded(starts[0].pid));
    EXPECT_THAT(LogText(), HasSubstr("HandleCOMService: ShellExecuteEx finished\r\n"));
    EXPECT_THAT(LogText(), Not(HasSubstr("WaitForSingleObject error")));
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
        DoubleStartClock clock(kLogDay, path);
        {
            ScopedHook<Timing::ITimeSource*> hook(Timing::SetSourceForTest, &clock);
            EXPECT_EQ(CreateBhttpdProcessWithPort(path.c_str(), log.c_str(), 60014), c.expected);
        }
        const auto starts = WaitForClientDoubleStarts(path, 1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_THAT(starts[0].args, ElementsAre(L"-https", L"127.0.0.1:60014", L"-logfile", log,
                                                L"-logsize", L"10"));
        StopProcessByName(L"BrevantoHttpd.exe");
    }
    EXPECT_EQ(CreateBhttpdProcessWithPort(m_dir.File(L"none.exe").c_str(), log.c_str(), 60012), 0);
}

// ---- Programs of the client package in the company's folders ----

namespace {

// A company of the test's own, so that its Program Files folders are the
// test's alone.
class ClientPackageTest : public ProcessTest {
protected:
    void SetUp() override {
        ProcessTest::SetUp();
        m_company.SetString(L"CompanyName", L"Quarlo Unit Test Co");
        wchar_t dir[MAX_PATH] = {};
        GetBrevantoClientDir(dir, 0);
        m_brevantoDir = dir;
        GetSSLVPNClientDir(dir, 0);
        m_sslDir = dir;
        GetProgramFilesCompanyDir(dir);
        m_root = dir;
        ASSERT_NE(m_root.find(L"Quarlo Unit Test Co"), std::wstring::npos);
        for (const std::wstring& d : {m_root, m_brevantoDir, m_sslDir}) {
            ASSERT_TRUE(::CreateDirectoryW(d.c_str(), nullptr) ||
                        ::GetLastError() == ERROR_ALREADY_EXISTS);
        }
    }
    void TearDown() override {
        StopProcessByName(L"BrevantoHttpd.exe");
        StopProcessByName(L"Stolvex.exe");
        EmptyDirectory(m_root.c_str());
        ProcessTest::TearDown();
    }
    std::wstring BhttpdLog() const { return GetLogFolder() + L"Bhttpd\\Bhttpd_2032_03_01.txt"; }
    std::vector<std::wstring> BhttpdArgs(int port) const {
        return {L"-https", FormatW(L"127.0.0.1:%d", port), L"-logfile", BhttpdLog(), L"-logsize",
                L"10"};
    }

    ScopedRegistryKey m_company{HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager"};
    std::wstring m_root, m_brevantoDir, m_sslDir;
};

}  // namespace

TEST_F(ClientPackageTest, BhttpdMovesToTheNextPortWhenOneIsTaken) {
    // Exit code 3 is the program's answer for a port it cannot have.
    const std::wstring path = InstallClientDouble(
        m_brevantoDir, L"BrevantoHttpd.exe",
        "match=127.0.0.1:60012\nexit=3\nmatch=127.0.0.1:60014\nstay=forever\n");
    {
        DoubleStartClock clock(kLogDay, path);
        ScopedHook<Timing::ITimeSource*> hook(Timing::SetSourceForTest, &clock);
        EXPECT_EQ(LaunchBrevantohttpd(), 1);
    }
    auto starts = WaitForClientDoubleStarts(path, 2);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_THAT(starts[0].args, ElementsAreArray(BhttpdArgs(60012)));
    EXPECT_THAT(starts[1].args, ElementsAreArray(BhttpdArgs(60014)));
    EXPECT_FALSE(HasEnded(starts[1].pid));

    // It runs now: nothing more is started.
    EXPECT_EQ(LaunchBrevantohttpd(), 1);
    EXPECT_EQ(ReadClientDoubleJournal(path).size(), 2u);
    EXPECT_THAT(LogText(),
                HasSubstr("LaunchBrevantohttpd:LaunchBhttpd finished: process exist.\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("CreateBhttpdProcessWithPort: Process exit code:3.\r\n"));
}

TEST_F(ClientPackageTest, BhttpdFailsOnlyWhenEveryPortIsTaken) {
    const std::wstring path = InstallClientDouble(m_brevantoDir, L"BrevantoHttpd.exe", "exit=3\n");
    {
        DoubleStartClock clock(kLogDay, path);
        ScopedHook<Timing::ITimeSource*> hook(Timing::SetSourceForTest, &clock);
        EXPECT_EQ(LaunchBrevantohttpd(), 0);
    }
    const auto starts = ReadClientDoubleJournal(path);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_THAT(starts[2].args, ElementsAreArray(BhttpdArgs(60016)));

    ::DeleteFileW(path.c_str());
    EXPECT_EQ(LaunchBrevantohttpd(), 1) << "a missing program is no failure";
    EXPECT_THAT(LogText(), HasSubstr("NIS:LaunchBhttpd finished: File " +
                                     CodePageFromWide(path, CP_UTF8) + " isn't exist\r\n"));
}

TEST_F(ClientPackageTest, LocalProxyStartsFromTheFolderOfItsClientType) {
    // A local proxy that already runs is stopped first.
    const std::wstring old = InstallClientDouble(m_dir.path(), L"Stolvex.exe", "stay=forever\n");
    HANDLE oldProcess = Start(old);
    ASSERT_EQ(WaitForClientDoubleStarts(old, 1).size(), 1u);

    const std::wstring ssl = InstallClientDouble(m_sslDir, L"Stolvex.exe");
    StartHTTPProxy(1);
    EXPECT_EQ(::WaitForSingleObject(oldProcess, 0), WAIT_OBJECT_0) << "the old one has ended";
    auto starts = WaitForClientDoubleStarts(ssl, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_TRUE(starts[0].args.empty());

    // Any other type: the folder of this program.
    const std::wstring own = InstallClientDouble(TestBinDir(), L"Stolvex.exe");
    StartHTTPProxy(0);
    starts = WaitForClientDoubleStarts(own, 1);
    ::DeleteFileW(own.c_str());
    ::DeleteFileW((own + L".journal").c_str());
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(ReadClientDoubleJournal(ssl).size(), 1u);

    ::DeleteFileW(ssl.c_str());
    StartHTTPProxy(1);
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("StartHTTPProxy: start... client type=1.\r\n"));
    EXPECT_THAT(log, HasSubstr("StartHTTPProxy: process Stolvex.exe exist, we have to stop it.\r\n"));
    EXPECT_THAT(log, HasSubstr("StartHTTPProxy: ShellExecuteEx: " + CodePageFromWide(ssl, CP_UTF8)));
    EXPECT_THAT(log, HasSubstr("Src File " + CodePageFromWide(ssl, CP_UTF8) + " is not exist, exit\r\n"));
    EXPECT_THAT(log, HasSubstr("StartHTTPProxy: finished\r\n"));
}
