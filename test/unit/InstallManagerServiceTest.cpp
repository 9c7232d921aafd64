// The install-manager operations against the doubles: a scripted gateway
// exchange serving the cabinets built at test time (fixture cabinets), the
// client double as Grendal.exe (it registers the service and the COM double
// itself), the COM double's journal, and the scripted proxy-credential UI.
// Every test removes the service, the company folders and the install
// manager's registry values before and after it.
#include <winsock2.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ComDouble.h"
#include "CommonFunction.h"
#include "HttpDownloader.h"
#include "InstallManagerService.h"
#include "ProxyCredentialUiDouble.h"
#include "ProxyInfo.h"
#include "ProxyIniTestSupport.h"
#include "StringUtil.h"
#include "System.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using TestSupport::FileExists;
using TestSupport::ReadTextFile;

const std::wstring kCabinets = QUARLO_CABINET_DIR;
const std::wstring kProgramFiles = L"C:\\Program Files";
const std::wstring kDefaultCompany = L"Quarlo Networks";
const wchar_t kImKey[] = L"SOFTWARE\\VPN\\Install Manager";
const wchar_t kImKey32[] = L"SOFTWARE\\Wow6432Node\\VPN\\Install Manager";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Grendal";

std::string FileBytes(const std::wstring& path) {
    const auto bytes = TestSupport::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    ::SHCreateDirectoryExW(nullptr, path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << CodePageFromWide(path);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

// ---- The gateway: files by name, each with a script of results ---------------

struct Gateway {
    std::map<std::string, std::string> files;             // bytes served
    std::map<std::string, std::vector<int32_t>> results;  // per call; the last repeats
    // "file host:port user/password/domain useProxy type" of each call
    std::vector<std::string> calls;
    std::vector<std::wstring> prefixes;
};
Gateway* g_gateway = nullptr;

int32_t GatewayDouble(uint32_t* error, const char*, const char*, const char* file, uint16_t,
                      BSTR* body, ProxyInfo* info, const wchar_t* prefix) {
    Gateway& gateway = *g_gateway;
    const std::string name = file;
    gateway.calls.push_back(
        name + " " + CodePageFromWide(info->proxyHost) + ":" + std::to_string(info->proxyPort) +
        " " + CodePageFromWide(info->proxyUser) + "/" + CodePageFromWide(info->proxyPassword) + "/" +
        CodePageFromWide(info->proxyDomain) + " " + std::to_string(info->bUseProxy) + " " +
        std::to_string(info->proxySetType));
    gateway.prefixes.push_back(prefix ? prefix : L"");
    int32_t result = 0;
    const auto script = gateway.results.find(name);
    if (script != gateway.results.end() && !script->second.empty()) {
        result = script->second.front();
        if (script->second.size() > 1) script->second.erase(script->second.begin());
    } else if (!gateway.files.count(name)) {
        result = 2;
    }
    if (result != 0) {
        *error = static_cast<uint32_t>(result);
        return result;
    }
    const std::string& bytes = gateway.files[name];
    *body = ::SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
    return 0;
}

// Counts the sleeps of the operations; the log's day stays the fixture's.
class CountingClock : public TestSupport::FixedTimeSource {
public:
    using FixedTimeSource::FixedTimeSource;
    void Sleep(DWORD ms) override { sleeps.push_back(ms); }
    std::vector<DWORD> sleeps;
};

class InstallManagerTest : public ProxyIniTest::UserTempTest {
protected:
    void SetUp() override {
        UserTempTest::SetUp();
        ::SetEnvironmentVariableW(L"QUARLO_COMDOUBLE_DLL",
                                  TestSupport::ComDouble::DllPath().c_str());
        ASSERT_TRUE(m_services.registered());
        Clean();
        ResetProxyInfo(g_ProxyInfo);
        g_gateway = &m_gateway;
        SetGatewayFileDownload(GatewayDouble);
        m_gateway.files["grendal.cab"] = FileBytes(kCabinets + L"\\grendal.cab");
        m_gateway.files["hostile.cab"] = FileBytes(kCabinets + L"\\hostile.cab");
        ASSERT_FALSE(m_gateway.files["grendal.cab"].empty()) << "fixture cabinets missing";
    }
    void TearDown() override {
        SetGatewayFileDownload(nullptr);
        g_gateway = nullptr;
        Clean();
        ::SetEnvironmentVariableW(L"QUARLO_COMDOUBLE_DLL", nullptr);
        ResetProxyInfo(g_ProxyInfo);
        UserTempTest::TearDown();
    }

    static void RemoveService() {
        SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!manager) return;
        if (SC_HANDLE service = ::OpenServiceW(manager, L"Grendal", DELETE)) {
            ::DeleteService(service);
            ::CloseServiceHandle(service);
        }
        ::CloseServiceHandle(manager);
    }
    static void Clean() {
        RemoveService();
        for (const wchar_t* company : {L"Quarlo Networks", L"RegCo", L"OemCo", L"GoneCo"})
            EmptyDirectory((kProgramFiles + L"\\" + company).c_str());
        for (const wchar_t* escaped : {L"C:\\evil2.txt", L"C:\\evil3.txt"}) ::DeleteFileW(escaped);
        ::SHDeleteValueW(HKEY_LOCAL_MACHINE, kImKey, L"CompanyName");
        ::SHDeleteValueW(HKEY_LOCAL_MACHINE, kImKey32, L"CompanyName");
    }

    std::wstring WorkFolder() const { return m_temp.path() + L"\\VPN\\"; }
    static std::wstring Target(const std::wstring& company) {
        return kProgramFiles + L"\\" + company + L"\\Install Manager\\";
    }
    static std::wstring ImagePath() {
        wchar_t image[MAX_PATH] = {};
        ReadRegistryText(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath", image, MAX_PATH);
        return image;
    }
    static std::wstring RegistryCompany(const wchar_t* key = kImKey) {
        wchar_t name[MAX_PATH] = {};
        ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"CompanyName", name, MAX_PATH);
        return name;
    }
    // What the client double journalled for the copy at path.
    static std::string Journal(const std::wstring& program) {
        const std::wstring path = program + L".journal";
        return FileExists(path) ? ReadTextFile(path) : std::string();
    }
    // A Grendal.exe outside the product folders, registered as the service.
    static std::wstring RegisterServiceFrom(const std::wstring& folder) {
        ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        const std::wstring program = folder + L"\\Grendal.exe";
        ::CopyFileW((TestSupport::TestBinDir() + L"\\clientdouble.exe").c_str(), program.c_str(),
                    FALSE);
        EXPECT_EQ(TestSupport::RunProcess(L"\"" + program + L"\" /service"), 0);
        return program;
    }

    bool Initialize(CThdCOMServiceManager& manager, const wchar_t* cabinet = L"grendal.cab",
                    int32_t proxyFlag = 0, const wchar_t* proxyHost = L"", uint16_t proxyPort = 0,
                    const wchar_t* user = L"", const wchar_t* password = L"",
                    const wchar_t* domain = L"") {
        return manager.Initizlize(false, L"Grendal", cabinet, L"gw.example", L"SESSION", 443, 1033,
                                  proxyFlag, proxyHost, proxyPort, user, password, domain);
    }

    TestSupport::ComDouble m_services;
    Gateway m_gateway;
    TestSupport::ScriptedProxyCredentialUi m_ui;
};

// ---- Initizlize ---------------------------------------------------------------

TEST_F(InstallManagerTest, UninstallModeStoresTheTextsAndTouchesNothingElse) {
    g_ProxyInfo.proxyPort = 4242;
    CThdCOMServiceManager manager;
    EXPECT_TRUE(manager.Initizlize(true, L"Grendal", nullptr, L"gw", nullptr, 8443, 0, 1, L"p", 1,
                                   L"u", L"pw", L"d"));
    EXPECT_TRUE(manager.uninstallMode());
    EXPECT_EQ(manager.serviceName(), L"Grendal");
    EXPECT_EQ(manager.host(), L"gw");
    EXPECT_EQ(manager.session(), L"");
    EXPECT_EQ(manager.port(), 8443);
    EXPECT_EQ(g_ProxyInfo.proxyPort, 4242u);
    EXPECT_TRUE(m_gateway.calls.empty());
    EXPECT_NE(manager.DownloadStopEvent(), nullptr);
    EXPECT_EQ(::WaitForSingleObject(manager.DownloadStopEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(InstallManagerTest, DownloadsTheCabinetAndOemIntoTheWorkFolder) {
    m_gateway.files["OEM.ini"] = "[Startup]\r\nCompanyName=OemCo\r\n";
    CThdCOMServiceManager manager;
    ASSERT_TRUE(Initialize(manager));
    EXPECT_EQ(manager.localCabPath(), WorkFolder() + L"grendal.cab");
    EXPECT_EQ(manager.localOemPath(), WorkFolder() + L"OEM.ini");
    EXPECT_EQ(FileBytes(manager.localCabPath()), m_gateway.files["grendal.cab"]);
    EXPECT_EQ(FileBytes(manager.localOemPath()), m_gateway.files["OEM.ini"]);
    // No Proxy.ini: the console user's own proxy settings, no named proxy.
    EXPECT_THAT(m_gateway.calls, ElementsAre("grendal.cab :0 // 0 2", "OEM.ini :0 // 0 2"));
    EXPECT_THAT(m_gateway.prefixes, ElementsAre(L"/prx/000/http/localhost/client_sec/l3vpn/",
                                                L"/prx/000/http/localhost/client_sec/l3vpn/"));
    EXPECT_EQ(g_ProxyInfo.proxyAuthType, PROXY_TYPE_AUTO);
}

// What an earlier run left is removed first: a failed download never
// installs an old cabinet or old OEM settings.
TEST_F(InstallManagerTest, StaleFilesAreRemovedAndAFailedDownloadFails) {
    for (const int32_t failure : {2, 10060}) {
        SCOPED_TRACE(failure);
        WriteFileBytes(WorkFolder() + L"grendal.cab", "stale cabinet");
        WriteFileBytes(WorkFolder() + L"OEM.ini", "[Startup]\r\nCompanyName=Stale\r\n");
        m_gateway.results["grendal.cab"] = {failure};
        CThdCOMServiceManager manager;
        EXPECT_FALSE(Initialize(manager));
        EXPECT_FALSE(FileExists(WorkFolder() + L"grendal.cab"));
        EXPECT_FALSE(FileExists(WorkFolder() + L"OEM.ini"));
        EXPECT_TRUE(manager.localCabPath().empty());
    }
    EXPECT_EQ(LogCount("Initizlize: download cabinet file grendal.cab failed\r\n"), 2u);
    EXPECT_EQ(LogCount("the cabinet file " + CodePageFromWide(WorkFolder()) + "grendal.cab is not exist"), 2u);
    // The OEM file is asked for only after the cabinet came.
    for (const std::string& call : m_gateway.calls) EXPECT_THAT(call, Not(HasSubstr("OEM.ini")));
}

TEST_F(InstallManagerTest, CabinetNameThatLeavesTheWorkFolderIsRefused) {
    for (const wchar_t* name : {L"..\\grendal.cab", L"C:\\grendal.cab", L"", L"a/b.cab"}) {
        CThdCOMServiceManager manager;
        EXPECT_FALSE(Initialize(manager, name));
    }
    EXPECT_TRUE(m_gateway.calls.empty());
}

struct SavedProxyCase {
    const char* name;
    bool file;
    int ffRunning, ffFlag, scriptRunning;
    const wchar_t* host;
    const wchar_t* port;
    std::string expected;  // the cabinet call as the gateway saw it
};
const SavedProxyCase kSavedProxyCases[] = {
    {"NoFile", false, 0, 0, 0, L"", L"", "grendal.cab :0 // 0 2"},
    {"FirefoxWithoutProxy", true, 1, 0, 0, L"ff.proxy", L"8080", "grendal.cab :0 // 0 1"},
    {"FirefoxProxy", true, 1, 2, 0, L"ff.proxy", L"8080", "grendal.cab ff.proxy:8080 // 1 3"},
    {"ScriptResult", true, 0, 0, 1, L"pac.proxy", L"3128", "grendal.cab pac.proxy:3128 // 1 3"},
    {"ScriptNotRunning", true, 0, 0, 0, L"pac.proxy", L"3128", "grendal.cab :0 // 0 2"},
    {"ScriptWithoutHost", true, 0, 0, 1, L"", L"3128", "grendal.cab :0 // 0 2"},
    {"PortZero", true, 0, 0, 1, L"pac.proxy", L"0", "grendal.cab :0 // 0 2"},
    // A port above 65535 would connect to another port once narrowed.
    {"PortAbove65535", true, 0, 0, 1, L"pac.proxy", L"70000", "grendal.cab :0 // 0 2"},
    {"PortNotANumber", true, 0, 0, 1, L"pac.proxy", L"x", "grendal.cab :0 // 0 2"},
    {"HighestPort", true, 0, 0, 1, L"pac.proxy", L"65535", "grendal.cab pac.proxy:65535 // 1 3"},
};
void PrintTo(const SavedProxyCase& c, std::ostream* out) { *out << c.name; }

class SavedProxyTest : public InstallManagerTest,
                       public ::testing::WithParamInterface<SavedProxyCase> {};

TEST_P(SavedProxyTest, DownloadsThroughTheSavedOutsideProxy) {
    const SavedProxyCase& c = GetParam();
    if (c.file) {
        ASSERT_EQ(ProxyIni::Update(ProxyIni::IniPath(0), L"test", ProxyIni::Create::CreateIfMissing,
                                   [&](ProxyIni::Editor& e) {
                                       e.Set(ProxyIni::Key::FFBrowserRunning, c.ffRunning);
                                       e.Set(ProxyIni::Key::FFProxyFlag, c.ffFlag);
                                       e.Set(ProxyIni::Key::ProxyScriptRunning, c.scriptRunning);
                                       e.Set(ProxyIni::Key::ProxySSLHost, c.host);
                                       e.Set(ProxyIni::Key::ProxySSLPort, c.port);
                                   }),
                  ProxyIni::UpdateResult::Saved);
    }
    CThdCOMServiceManager manager;
    EXPECT_TRUE(Initialize(manager));
    ASSERT_FALSE(m_gateway.calls.empty());
    EXPECT_EQ(m_gateway.calls[0], c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, SavedProxyTest, ::testing::ValuesIn(kSavedProxyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstallManagerTest, GivenProxyIsUsedWhateverProxyIniSays) {
    ProxyIni::Update(ProxyIni::IniPath(0), L"test", ProxyIni::Create::CreateIfMissing,
                     [](ProxyIni::Editor& e) {
                         e.Set(ProxyIni::Key::ProxyScriptRunning, 1);
                         e.Set(ProxyIni::Key::ProxySSLHost, L"pac.proxy");
                         e.Set(ProxyIni::Key::ProxySSLPort, L"3128");
                     });
    CThdCOMServiceManager manager;
    EXPECT_TRUE(Initialize(manager, L"grendal.cab", 1, L"cmd.proxy", 8888, L"u", L"p", L"D"));
    EXPECT_EQ(m_gateway.calls[0], "grendal.cab cmd.proxy:8888 u/p/D 1 3");
}

// Refusals run the credential loop: saved credentials, then the dialog; the
// OEM file follows with what worked. The caption is the application name.
TEST_F(InstallManagerTest, ProxyRefusalsAskForCredentials) {
    m_gateway.files["OEM.ini"] = "[Startup]\r\n";
    m_gateway.results["grendal.cab"] = {803, 803, 0};
    m_ui.answers = {{IDOK, L"alice", L"pw", L"CORP"}};
    CThdCOMServiceManager manager;
    EXPECT_TRUE(Initialize(manager));
    EXPECT_THAT(m_gateway.calls,
                ElementsAre("grendal.cab :0 // 0 2", "grendal.cab :0 // 1 2",
                            "grendal.cab :0 alice/pw/CORP 1 2", "OEM.ini :0 alice/pw/CORP 1 2"));
    ASSERT_EQ(m_ui.asked.size(), 1u);
    EXPECT_FALSE(m_ui.asked[0].disableDomain);
    // Initizlize only uses them; the command saves them.
    EXPECT_FALSE(FileExists(ProxyIni::IniPath(0)));
}

TEST_F(InstallManagerTest, FifthRefusalEndsWithTheBoxAndNoCabinet) {
    m_gateway.results["grendal.cab"] = {802};
    m_ui.answers = {{IDOK, L"a", L"b", L""}, {IDOK, L"a", L"b", L""}, {IDOK, L"a", L"b", L""}};
    CThdCOMServiceManager manager;
    EXPECT_FALSE(Initialize(manager));
    EXPECT_EQ(m_gateway.calls.size(), 5u);
    EXPECT_THAT(m_ui.boxes, ElementsAre(L"SSL VPN|Proxy authentication failed and more than three "
                                        L"times, exit current VPN connection"));
    EXPECT_EQ(LogCount("Proxy authentication failed and more than three times, exit current VPN "
                       "connection\r\n"),
              1u);
    EXPECT_EQ(LogCount("Initizlize: the cabinet file " + CodePageFromWide(WorkFolder()) + "grendal.cab is not exist"), 1u);
}

// ---- Install --------------------------------------------------------------

struct CompanyCase {
    const char* name;
    const wchar_t* registry;  // CompanyName before the install, null: none
    const char* oem;          // OEM.ini served, null: its download fails
    std::wstring company;     // the folder and the value afterwards
};
const CompanyCase kCompanyCases[] = {
    {"FromRegistry", L"RegCo", "[Startup]\r\nCompanyName=OemCo\r\n", L"RegCo"},
    {"FromOem", nullptr, "[Startup]\r\nCompanyName=OemCo\r\n", L"OemCo"},
    {"OemWithoutName", nullptr, "[Startup]\r\n", kDefaultCompany},
    {"NoOem", nullptr, nullptr, kDefaultCompany},
    // An OEM company name is a folder name only when it is a plain name.
    {"OemNameClimbs", nullptr, "[Startup]\r\nCompanyName=..\\..\\Windows\r\n", kDefaultCompany},
    {"OemNameIsDotDot", nullptr, "[Startup]\r\nCompanyName=..\r\n", kDefaultCompany},
    {"OemNameHasDrive", nullptr, "[Startup]\r\nCompanyName=C:Co\r\n", kDefaultCompany},
    {"OemNameIsDevice", nullptr, "[Startup]\r\nCompanyName=CON\r\n", kDefaultCompany},
    {"OemNameTooLong", nullptr, "[Startup]\r\nCompanyName=" "Co" "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n", kDefaultCompany},
};
void PrintTo(const CompanyCase& c, std::ostream* out) { *out << c.name; }

class CompanyTest : public InstallManagerTest,
                    public ::testing::WithParamInterface<CompanyCase> {};

TEST_P(CompanyTest, InstallsIntoTheCompanyFolderAndRegistersTheService) {
    const CompanyCase& c = GetParam();
    if (c.registry) {
        ::SHSetValueW(HKEY_LOCAL_MACHINE, kImKey, L"CompanyName", REG_SZ, c.registry,
                      static_cast<DWORD>((std::wcslen(c.registry) + 1) * sizeof(wchar_t)));
    }
    if (c.oem) m_gateway.files["OEM.ini"] = c.oem;
    CThdCOMServiceManager manager;
    ASSERT_TRUE(Initialize(manager));
    ASSERT_TRUE(manager.Install());

    const std::wstring target = Target(c.company);
    for (const wchar_t* file : {L"Grendal.exe", L"Mirrowen.dll", L"readme.txt", L"Language\\en.txt",
                                L"Language\\zh.txt"})
        EXPECT_TRUE(FileExists(target + file)) << CodePageFromWide(file);
    EXPECT_EQ(FileExists(target + L"OEM.ini"), c.oem != nullptr);
    EXPECT_FALSE(FileExists(WorkFolder() + L"grendal.cab"));
    EXPECT_FALSE(FileExists(WorkFolder() + L"OEM.ini"));
    EXPECT_EQ(ImagePath(), L"\"" + target + L"Grendal.exe\"");
    EXPECT_TRUE(IsCOMServiceExist(L"Grendal"));
    EXPECT_THAT(Journal(target + L"Grendal.exe"), HasSubstr("arg1=/service\n"));
    EXPECT_EQ(RegistryCompany(), c.company);
    const auto writes = m_services.Calls("IInstallManager.WriteRegValue");
    if (c.registry) {
        EXPECT_TRUE(writes.empty());
    } else {
        // 64-bit Windows: the service writes both registry views.
        ASSERT_EQ(writes.size(), 2u);
        EXPECT_THAT(writes[0], HasSubstr("SOFTWARE\\\\VPN\\\\Install Manager"));
        EXPECT_THAT(writes[1], HasSubstr("SOFTWARE\\\\Wow6432Node\\\\VPN\\\\Install Manager"));
        EXPECT_EQ(RegistryCompany(kImKey32), c.company);
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, CompanyTest, ::testing::ValuesIn(kCompanyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstallManagerTest, OldServiceIsUnregisteredThenTheNewOneRegistered) {
    TestSupport::TempDir old;
    const std::wstring oldProgram = RegisterServiceFrom(old.File(L"Old"));
    ASSERT_TRUE(IsCOMServiceExist(L"Grendal"));
    CountingClock clock(TestSupport::MakeTime(2032, 5, 11, 8, 30, 0, 0));
    Timing::SetSourceForTest(&clock);
    CThdCOMServiceManager manager;
    const bool initialized = Initialize(manager);
    const bool installed = initialized && manager.Install();
    Timing::SetSourceForTest(&m_clock);
    ASSERT_TRUE(installed);

    const std::wstring program = Target(kDefaultCompany) + L"Grendal.exe";
    EXPECT_THAT(Journal(oldProgram), HasSubstr("arg1=/UnregServer\n"));
    EXPECT_THAT(Journal(program), HasSubstr("arg1=/service\n"));
    EXPECT_EQ(ImagePath(), L"\"" + program + L"\"");
    // The old copy's files stay; the service database had 3 s to settle.
    EXPECT_TRUE(FileExists(oldProgram));
    EXPECT_THAT(clock.sleeps, ::testing::Contains(3000u));
}

TEST_F(InstallManagerTest, HostileCabinetWritesNothingOutsideTheTarget) {
    const std::wstring target = Target(kDefaultCompany);
    const std::wstring company = kProgramFiles + L"\\" + kDefaultCompany + L"\\";
    const std::vector<std::wstring> outside = {company + L"evil1.txt", L"C:\\evil2.txt",
                                               L"C:\\evil3.txt", company + L"evil4.txt",
                                               company + L"evil5.txt"};
    for (const std::wstring& path : outside) WriteFileBytes(path, "mine");
    CThdCOMServiceManager manager;
    ASSERT_TRUE(Initialize(manager, L"hostile.cab"));
    EXPECT_TRUE(manager.Install());

    for (const std::wstring& path : outside) {
        EXPECT_EQ(FileBytes(path), "mine") << CodePageFromWide(path);
    }
    EXPECT_EQ(FileBytes(target + L"ok.txt"), "ok\n");
    EXPECT_EQ(FileBytes(target + L"Language\\fine.txt"), "ok\n");
    EXPECT_TRUE(FileExists(target + L"Grendal.exe"));
    // Seven entries, skipped in the check's walk and again in the target's.
    EXPECT_EQ(LogCount("it is skipped"), 14u);
    for (const std::wstring& path : outside) ::DeleteFileW(path.c_str());
}

// A locked cabinet is retried every 500 ms, 120 times in all; any other
// failure ends at once. The walks are the check's into a folder of its own,
// then the one into the target.
struct UnpackCase {
    const char* name;
    std::vector<DWORD> failures;  // last errors of the failing walks, then the real walks
    bool installed;
    size_t walks;
    long retries;
};
std::vector<DWORD> g_walkFailures;
size_t g_walks = 0;
BOOL WINAPI ScriptedWalk(PCWSTR cabinet, DWORD reserved, PSP_FILE_CALLBACK_W callback, PVOID context) {
    ++g_walks;
    if (g_walks <= g_walkFailures.size()) {
        ::SetLastError(g_walkFailures[g_walks - 1]);
        return FALSE;
    }
    return ::SetupIterateCabinetW(cabinet, reserved, callback, context);
}

TEST_F(InstallManagerTest, SharingViolationsAreRetriedAMinute) {
    const UnpackCase cases[] = {
        {"TwoViolations", {32, 32}, true, 4, 2},
        {"AlwaysLocked", std::vector<DWORD>(120, 32), false, 120, 119},
        {"OtherError", {5}, false, 1, 0},
    };
    for (const UnpackCase& c : cases) {
        SCOPED_TRACE(c.name);
        Clean();
        CountingClock clock(TestSupport::MakeTime(2032, 5, 11, 8, 30, 0, 0));
        g_walkFailures = c.failures;
        g_walks = 0;
        CThdCOMServiceManager manager;
        ASSERT_TRUE(Initialize(manager));
        Timing::SetSourceForTest(&clock);
        const CabinetIterator previous = SetCabinetIteratorForTest(ScriptedWalk);
        const bool installed = manager.Install();
        SetCabinetIteratorForTest(previous);
        Timing::SetSourceForTest(&m_clock);
        EXPECT_EQ(installed, c.installed);
        EXPECT_EQ(g_walks, c.walks);
        EXPECT_EQ(std::count(clock.sleeps.begin(), clock.sleeps.end(), 500u), c.retries);
    }
    EXPECT_EQ(LogCount("failed to unpack CAB file into"), 2u);
}

// On Windows a cabinet another process holds without sharing fails the walk
// with ERROR_SHARING_VIOLATION, which Install retries (tested above through
// the walk seam).
TEST_F(InstallManagerTest, LockedCabinetFailsWithASharingViolation) {
    CThdCOMServiceManager manager;
    ASSERT_TRUE(Initialize(manager));
    Owners::UniqueHandle lock(::CreateFileW(manager.localCabPath().c_str(), GENERIC_READ, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    const BOOL walked = ::SetupIterateCabinetW(manager.localCabPath().c_str(), 0, CabinetFileCallback, nullptr);
    const DWORD error = ::GetLastError();
    ASSERT_FALSE(walked);
    if (error != ERROR_SHARING_VIOLATION && TestSupport::RunningUnderWine()) {
        GTEST_SKIP() << "Wine: a cabinet held open without sharing fails SetupIterateCabinetW with "
                        "error " << error << ", not ERROR_SHARING_VIOLATION";
    }
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

// Without a cabinet nothing is stopped: the running service keeps running.
TEST_F(InstallManagerTest, MissingCabinetLeavesTheRunningServiceAlone) {
    TestSupport::TempDir running;
    const std::wstring program = running.File(L"Grendal.exe");
    ::CopyFileW((TestSupport::TestBinDir() + L"\\clientdouble.exe").c_str(), program.c_str(), FALSE);
    WriteFileBytes(program + L".behave", "stay=forever\n");
    Owners::UniqueHandle process(TestSupport::StartProcess(L"\"" + program + L"\""));
    ASSERT_TRUE(process);

    CThdCOMServiceManager manager;
    ASSERT_TRUE(Initialize(manager));
    ::DeleteFileW(manager.localCabPath().c_str());
    EXPECT_FALSE(manager.Install());
    EXPECT_FALSE(manager.UpdateBV());
    EXPECT_EQ(::WaitForSingleObject(process.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(LogCount("StopProcessByName"), 0u);
    ::TerminateProcess(process.get(), 0);
    ::WaitForSingleObject(process.get(), 5000);
}

// ---- Uninstall, Update, UpdateBV ---------------------------------------------

TEST_F(InstallManagerTest, UninstallRemovesTheServiceAndItsFiles) {
    m_gateway.files["OEM.ini"] = "[Startup]\r\n";
    CThdCOMServiceManager installer;
    ASSERT_TRUE(Initialize(installer));
    ASSERT_TRUE(installer.Install());

    CThdCOMServiceManager manager;
    ASSERT_TRUE(manager.Initizlize(true, L"Grendal", nullptr, nullptr, nullptr, 0, 0, 0, nullptr, 0,
                                   nullptr, nullptr, nullptr));
    EXPECT_TRUE(manager.Uninstall(false, L""));
    const std::wstring target = Target(kDefaultCompany);
    EXPECT_FALSE(IsCOMServiceExist(L"Grendal"));
    EXPECT_THAT(Journal(target + L"Grendal.exe"), HasSubstr("arg1=/UnregServer\n"));
    EXPECT_FALSE(FileExists(target + L"Grendal.exe"));
    EXPECT_FALSE(FileExists(target + L"Mirrowen.dll"));
    EXPECT_FALSE(FileExists(target + L"Language"));
    // Files of the folder that are not the service's stay.
    EXPECT_TRUE(FileExists(target + L"readme.txt"));
    EXPECT_TRUE(FileExists(target + L"OEM.ini"));
}

// The registered program is gone: with keep files, a copy of the new one
// stands in for it just long enough to unregister the service.
TEST_F(InstallManagerTest, MissingImageWithKeepFilesUnregistersThroughAStandIn) {
    const std::wstring goneFolder = kProgramFiles + L"\\GoneCo\\Install Manager";
    const std::wstring gone = RegisterServiceFrom(goneFolder);
    ASSERT_TRUE(::DeleteFileW(gone.c_str()));
    const std::wstring replacement = TestSupport::TestBinDir() + L"\\clientdouble.exe";

    CThdCOMServiceManager manager;
    manager.Initizlize(true, L"Grendal", nullptr, nullptr, nullptr, 0, 0, 0, nullptr, 0, nullptr,
                       nullptr, nullptr);
    EXPECT_TRUE(manager.Uninstall(true, replacement.c_str()));
    EXPECT_FALSE(IsCOMServiceExist(L"Grendal"));
    EXPECT_THAT(Journal(gone), HasSubstr("arg1=/UnregServer\n"));
    EXPECT_FALSE(FileExists(gone));
    EXPECT_TRUE(FileExists(replacement));
}

struct ImagePathCase {
    const char* name;
    bool quoted;
    bool empty;
    bool unregistered;
};

// A registered path loses its quotes only when it has a pair of them; an
// empty value counts as missing.
TEST_F(InstallManagerTest, ImagePathForms) {
    const ImagePathCase cases[] = {
        {"Quoted", true, false, true},
        {"Unquoted", false, false, true},
        {"Empty", false, true, false},
    };
    TestSupport::TempDir folder;
    for (const ImagePathCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring program = RegisterServiceFrom(folder.File(L"Svc"));
        const std::wstring value = c.empty ? L"" : c.quoted ? L"\"" + program + L"\"" : program;
        ::SHSetValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath", REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        ::DeleteFileW((program + L".journal").c_str());
        CThdCOMServiceManager manager;
        manager.Initizlize(true, L"Grendal", nullptr, nullptr, nullptr, 0, 0, 0, nullptr, 0,
                           nullptr, nullptr, nullptr);
        EXPECT_EQ(manager.Uninstall(true, L""), c.unregistered);
        EXPECT_EQ(Journal(program).find("arg1=/UnregServer") != std::string::npos, c.unregistered);
        RemoveService();
    }
    EXPECT_EQ(LogCount("can not get the com file path from reg"), 1u);
}

TEST_F(InstallManagerTest, UpdateStopsAtAFailedUninstall) {
    CThdCOMServiceManager manager;
    ASSERT_TRUE(Initialize(manager));
    EXPECT_FALSE(manager.Update());
    EXPECT_TRUE(FileExists(manager.localCabPath()));
    EXPECT_FALSE(FileExists(Target(kDefaultCompany) + L"Grendal.exe"));
    EXPECT_EQ(LogCount("CThdCOMServiceManager::Update, Uninstall failed"), 1u);
}

TEST_F(InstallManagerTest, UpdateReplacesTheInstalledService) {
    CThdCOMServiceManager installer;
    ASSERT_TRUE(Initialize(installer));
    ASSERT_TRUE(installer.Install());
    CThdCOMServiceManager manager;
    ASSERT_TRUE(Initialize(manager));
    EXPECT_TRUE(manager.Update());
    // The journal stays beside the program through the update: registered,
    // unregistered, registered again.
    const std::string journal = Journal(Target(kDefaultCompany) + L"Grendal.exe");
    const size_t unregistered = journal.find("arg1=/UnregServer\n");
    ASSERT_NE(unregistered, std::string::npos);
    EXPECT_NE(journal.find("arg1=/service\n", unregistered), std::string::npos);
    EXPECT_TRUE(IsCOMServiceExist(L"Grendal"));
}

// A cabinet that cannot be unpacked whole, or that holds no service (a
// gateway's error page saved as the cabinet, a cut download), is found out
// before anything of the installed service is stopped, removed or
// overwritten: the service that runs stays registered and whole.
TEST_F(InstallManagerTest, UnusableCabinetLeavesTheInstalledServiceWhole) {
    const std::string good = m_gateway.files["grendal.cab"];
    const struct {
        const char* name;
        std::string bytes;
    } cabinets[] = {
        {"ErrorPage", "<html><body>Session expired</body></html>"},
        {"CutShort", good.substr(0, good.size() / 2)},
        {"CutAtTheEnd", good.substr(0, good.size() - 16)},
        {"WithoutTheService", FileBytes(kCabinets + L"\\noservice.cab")},
    };
    ASSERT_FALSE(cabinets[3].bytes.empty()) << "fixture cabinet noservice.cab missing";
    const std::wstring target = Target(kDefaultCompany);
    for (const auto& c : cabinets) {
        SCOPED_TRACE(c.name);
        for (const bool update : {true, false}) {
            SCOPED_TRACE(update ? "Update" : "Install");
            Clean();
            m_gateway.files["grendal.cab"] = good;
            CThdCOMServiceManager installer;
            ASSERT_TRUE(Initialize(installer));
            ASSERT_TRUE(installer.Install());
            const std::string program = FileBytes(target + L"Grendal.exe");
            ::DeleteFileW((target + L"Grendal.exe.journal").c_str());
            const size_t stops = LogCount("StopProcessByName");

            m_gateway.files["grendal.cab"] = c.bytes;
            CThdCOMServiceManager manager;
            ASSERT_TRUE(Initialize(manager));
            EXPECT_FALSE(update ? manager.Update() : manager.Install());
            EXPECT_TRUE(IsCOMServiceExist(L"Grendal"));
            EXPECT_EQ(ImagePath(), L"\"" + target + L"Grendal.exe\"");
            // Compared whole, shown only by size.
            const std::string now = FileBytes(target + L"Grendal.exe");
            EXPECT_TRUE(now == program) << "Grendal.exe of " << now.size() << " bytes, was "
                                        << program.size();
            EXPECT_EQ(FileBytes(target + L"Mirrowen.dll"), "mirrowen\n");
            EXPECT_EQ(FileBytes(target + L"Language\\en.txt"), "en\n");
            EXPECT_EQ(Journal(target + L"Grendal.exe"), "");
            EXPECT_EQ(LogCount("StopProcessByName"), stops);
        }
    }
    // The check's folder goes again.
    EXPECT_FALSE(FileExists(WorkFolder() + FormatW(L"~cab%lx", ::GetCurrentProcessId())));
}

TEST_F(InstallManagerTest, UpdateBVInstallsTheClientPackagesCabinet) {
    const std::wstring target = Target(kDefaultCompany);
    ::SHCreateDirectoryExW(nullptr, target.c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW((kCabinets + L"\\grendal.cab").c_str(),
                            (target + L"zem_manager_bv_x64.cab").c_str(), FALSE));
    CThdCOMServiceManager manager;
    EXPECT_TRUE(manager.UpdateBV());
    EXPECT_TRUE(IsCOMServiceExist(L"Grendal"));
    EXPECT_FALSE(FileExists(target + L"zem_manager_bv_x64.cab"));
    EXPECT_EQ(LogCount("InstallGrendalBV: file"), 1u);  // no earlier program to remove
}

// ---- UnpackLocalFiles: the package beside the program ---------------------------

class UnpackLocalFilesTest : public InstallManagerTest {
protected:
    // unpacklocal.exe in a folder of its own with the package files named.
    int RunPackage(const std::vector<std::wstring>& files) {
        for (const std::wstring& file : files) {
            const std::wstring source =
                file.find(L"zem_manager") == 0 ? kCabinets + L"\\grendal.cab" : std::wstring();
            if (source.empty()) {
                WriteFileBytes(m_package.File(file), "package " + CodePageFromWide(file));
            } else {
                ::CopyFileW(source.c_str(), m_package.File(file).c_str(), FALSE);
            }
        }
        const std::wstring program = m_package.File(L"unpacklocal.exe");
        ::CopyFileW((TestSupport::TestBinDir() + L"\\unpacklocal.exe").c_str(), program.c_str(), FALSE);
        return TestSupport::RunProcess(L"\"" + program + L"\"");
    }
    TestSupport::TempDir m_package;
};

TEST_F(UnpackLocalFilesTest, InstallsAndMovesThePackageFiles) {
    ASSERT_EQ(RunPackage({L"zem_manager_x64.cab", L"version.xml", L"zem_x.cab", L"zem_x_x64.cab",
                          L"zem_vpn_x64.cab", L"zem_vpn.cab"}),
              0);
    const std::wstring target = Target(kDefaultCompany);
    EXPECT_TRUE(IsCOMServiceExist(L"Grendal"));
    EXPECT_TRUE(FileExists(target + L"Grendal.exe"));
    EXPECT_FALSE(FileExists(m_package.File(L"zem_manager_x64.cab")));
    for (const wchar_t* file : {L"version.xml", L"zem_x.cab", L"zem_x_x64.cab", L"zem_vpn_x64.cab"}) {
        EXPECT_EQ(FileBytes(target + file), "package " + CodePageFromWide(file));
        EXPECT_FALSE(FileExists(m_package.File(file)));
    }
    // The 32-bit package's file is not this machine's.
    EXPECT_TRUE(FileExists(m_package.File(L"zem_vpn.cab")));
    EXPECT_FALSE(FileExists(target + L"zem_vpn.cab"));
}

// Without the cabinet nothing is installed and the running service is left
// alone; a file whose copy fails stays where it is.
TEST_F(UnpackLocalFilesTest, WithoutTheCabinetNothingIsStoppedOrLost) {
    TestSupport::TempDir running;
    const std::wstring service = running.File(L"Grendal.exe");
    ::CopyFileW((TestSupport::TestBinDir() + L"\\clientdouble.exe").c_str(), service.c_str(), FALSE);
    WriteFileBytes(service + L".behave", "stay=forever\n");
    Owners::UniqueHandle process(TestSupport::StartProcess(L"\"" + service + L"\""));
    ASSERT_TRUE(process);

    ASSERT_EQ(RunPackage({L"version.xml", L"zem_vpn_x64.cab"}), 0);
    EXPECT_EQ(::WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(IsCOMServiceExist(L"Grendal"));
    // No install made the install-manager folder, so the copies fail.
    EXPECT_FALSE(FileExists(Target(kDefaultCompany)));
    EXPECT_TRUE(FileExists(m_package.File(L"version.xml")));
    EXPECT_TRUE(FileExists(m_package.File(L"zem_vpn_x64.cab")));
    ::TerminateProcess(process.get(), 0);
    ::WaitForSingleObject(process.get(), 5000);
}

// ---- The cabinet callback alone ------------------------------------------------

TEST(CabinetFileCallbackTest, EntryTargetsStayInTheFolder) {
    TestSupport::TempDir temp;
    const std::wstring folder = temp.path() + L"\\T\\";
    std::wmemcpy(CabTargetFolder, folder.c_str(), folder.size() + 1);
    struct Case {
        const wchar_t* name;
        bool taken;
    } cases[] = {
        {L"a.txt", true},          {L"Language\\en.txt", true}, {L"sub/x.txt", true},
        {L"..\\a.txt", false},     {L"C:\\a.txt", false},       {L"\\a.txt", false},
        {L"C:a.txt", false},       {L"a\\..\\..\\b", false},    {L"a\\\\b", false},
        {L"a.txt:stream", false},  {L"NUL", false},             {L"dir.\\a", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CodePageFromWide(c.name));
        FILE_IN_CABINET_INFO_W info{};
        info.NameInCabinet = c.name;
        const UINT answer =
            CabinetFileCallback(nullptr, SPFILENOTIFY_FILEINCABINET, reinterpret_cast<UINT_PTR>(&info), 0);
        EXPECT_EQ(answer, c.taken ? static_cast<UINT>(FILEOP_DOIT) : static_cast<UINT>(FILEOP_SKIP));
        if (c.taken) {
            std::wstring expected = folder + c.name;
            for (wchar_t& ch : expected) ch = ch == L'/' ? L'\\' : ch;
            EXPECT_EQ(std::wstring(info.FullTargetName), expected);
        }
    }
    // A joined path that does not fit is refused, never cut.
    FILE_IN_CABINET_INFO_W info{};
    const std::wstring longName(MAX_PATH - folder.size(), L'x');
    info.NameInCabinet = longName.c_str();
    EXPECT_EQ(CabinetFileCallback(nullptr, SPFILENOTIFY_FILEINCABINET, reinterpret_cast<UINT_PTR>(&info), 0),
              static_cast<UINT>(FILEOP_SKIP));
    EXPECT_EQ(CabinetFileCallback(nullptr, SPFILENOTIFY_NEEDNEWCABINET, 0, 0), 0u);
}

}  // namespace
