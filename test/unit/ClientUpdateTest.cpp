// The client's update through the install manager: the state bits and the
// order of their renewals, the service's own renewal, client-security mode,
// the updater programs, against the COM double (which places a client
// double as each cabinet's updater).
#include "ClientFixture.h"
#include "ClientUpdate.h"
#include "FileReplace.h"
#include "ProxyInfo.h"
#include "ServiceInterfaces.h"
#include "StringUtil.h"

using namespace ClientTest;
using TestSupport::InstallClientDouble;
using TestSupport::ReadClientDoubleJournal;
using TestSupport::WaitForClientDoubleStarts;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

constexpr const wchar_t* kHost = L"gw.example";
constexpr uint32_t kPort = 8443;
constexpr const wchar_t* kSession = L"session-0123456789";

std::string Utf8(const std::wstring& text) { return CodePageFromWide(text, CP_UTF8); }

class ClientUpdateTest : public ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        ResetProxyInfo(g_ProxyInfo);
    }
    void TearDown() override {
        ResetProxyInfo(g_ProxyInfo);
        ClientFixture::TearDown();
    }
    void SetState(const wchar_t* product, DWORD state) {
        m_services.Set(ComDouble::InstallManager, std::wstring(L"State") + product, state);
    }
    int Update(uint32_t& exitFlag, const wchar_t* session = kSession, const wchar_t* pid = L"4242",
               const wchar_t* user = L"alice", uint8_t bSetStatus = 1, const wchar_t* host = kHost) {
        return BrevantoWebClientUpdate(host, kPort, session, pid, user, L"txt1=a@", L"<version/>",
                                       exitFlag, bSetStatus);
    }
    // The files the service was asked to fetch, with their gateway folders.
    std::vector<std::string> Downloads() const {
        std::vector<std::string> files;
        for (const std::string& call : m_services.Calls("IInstallManager.DownloadGatewayFile")) {
            const std::string line = "\t" + call;
            EXPECT_EQ(Field(line, "host"), "gw.example");
            EXPECT_EQ(Field(line, "port"), "8443");
            EXPECT_EQ(Field(line, "folder"), Utf8(m_imDir));
            EXPECT_EQ(Field(line, "flags"), "0");
            files.push_back(Field(line, "file") + " " + Field(line, "urlPath"));
        }
        return files;
    }
    std::wstring ImFile(const wchar_t* name) const { return m_imDir + L"\\" + name; }
};

const std::string kL3vpn = " /prx/000/http/localhost/client_sec/l3vpn/";
const std::string kOpswat = " /prx/000/http/localhost/client_sec/___template/opswat/";

}  // namespace

TEST_F(ClientUpdateTest, StateBitsRenewTheirPartsInOrder) {
    // Real time between the polls for the updaters' ends.
    m_clock.SetSleepCap(300);
    const std::string serviceCab = Is64BitOS() ? "zem_bv_x64.cab" : "zem_bv.cab";
    struct Case {
        DWORD state;
        std::vector<std::string> downloads;
        bool installed;
        std::vector<const wchar_t*> updaters;
        uint32_t exitFlag;
        long long status;
    } cases[] = {
        // The plugin's updater relaunches the client: nothing else is touched.
        {0x24, {"zem_bv_plugin.cab" + kL3vpn}, false, {L"Brevanto_Plugin.exe"}, 1, 101},
        {0x1C, {serviceCab + kL3vpn, "zem_bv_core.cab" + kL3vpn, "zem_bv_qt.cab" + kL3vpn}, true,
         {L"BVCoreUpdate.exe", L"BVQTDllUpdate.exe"}, 0, 104},
        {0x08, {"zem_bv_core.cab" + kL3vpn}, false, {L"BVCoreUpdate.exe"}, 0, 103},
        {0x04, {serviceCab + kL3vpn}, true, {}, 0, 102},
        {0, {}, false, {}, 0, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "state 0x" << std::hex << c.state);
        m_services.ClearJournal();
        m_userVpn2.SetDword(L"VPNstatus", 99);
        for (const wchar_t* updater : {L"Brevanto_Plugin.exe", L"BVCoreUpdate.exe", L"BVQTDllUpdate.exe"}) {
            ::DeleteFileW((ImFile(updater) + L".journal").c_str());
        }
        SetState(ServiceInterfaces::kProductBrevanto, c.state);
        uint32_t exitFlag = 7;
        EXPECT_EQ(Update(exitFlag), 1);
        EXPECT_EQ(exitFlag, c.exitFlag);
        EXPECT_EQ(Downloads(), c.downloads);
        EXPECT_EQ(m_services.Calls("IInstallManager.Install").size(), c.installed ? 1u : 0u);
        EXPECT_EQ(VPNStatus(), c.status);
        for (const wchar_t* updater : c.updaters) {
            EXPECT_EQ(WaitForClientDoubleStarts(ImFile(updater), 1).size(), 1u) << Utf8(updater);
        }
    }
}

TEST_F(ClientUpdateTest, FullRenewalCallsTheServiceInThisOrder) {
    g_ProxyInfo.proxySetType = 3;
    g_ProxyInfo.proxyAuthType = 4;
    SetProxyInfoText(g_ProxyInfo.proxyHost, L"proxy.corp");
    g_ProxyInfo.proxyPort = 3128;
    g_ProxyInfo.bUseProxy = 1;
    SetProxyInfoText(g_ProxyInfo.proxyUser, L"bob");
    SetProxyInfoText(g_ProxyInfo.proxyPassword, L"pw");
    SetProxyInfoText(g_ProxyInfo.proxyDomain, L"CORP");
    SetState(ServiceInterfaces::kProductBrevanto, 0x1C);
    uint32_t exitFlag = 0;
    ASSERT_EQ(Update(exitFlag), 1);
    const std::vector<std::string> download = {"Create", "DownloadGatewayFile", "Release"};
    std::vector<std::string> expected = {"Create", "SetVersionXML", "CheckClientComponents",
                                         "CheckClientComponents"};
    expected.insert(expected.end(), download.begin(), download.end());
    for (const char* step : {"Install", "SetEvent", "RemoveLocalFile"}) expected.push_back(step);
    for (int part = 0; part < 2; ++part) {
        expected.insert(expected.end(), download.begin(), download.end());
        expected.push_back("UnpackCab");
        expected.push_back("RemoveLocalFile");
    }
    expected.push_back("Release");
    EXPECT_EQ(Methods(m_services, "IInstallManager"), expected);

    const auto versions = m_services.Calls("IInstallManager.SetVersionXML");
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0],
              "version=<version/>\tproxySetType=3\tproxyAuthType=4\tproxyHost=proxy.corp\t"
              "proxyPort=3128\tbUseProxy=1\tproxyUser=bob\tproxyPassword=pw\tproxyDomain=CORP\t"
              "result=0x00000000");
    const auto installs = m_services.Calls("IInstallManager.Install");
    ASSERT_EQ(installs.size(), 1u);
    EXPECT_EQ(Field("\t" + installs[0], "product"), Utf8(ServiceInterfaces::kProductBrevanto));
    EXPECT_EQ(Field("\t" + installs[0], "languageId"), "0");
    const auto removed = m_services.Calls("IInstallManager.RemoveLocalFile");
    ASSERT_EQ(removed.size(), 3u);
    EXPECT_EQ(Field("\t" + removed[1], "path"), Utf8(ImFile(L"BVCoreUpdate.exe")));
    EXPECT_THAT(LogText(), HasSubstr("update ossiden successfully.\r\n"));
}

// A signal left from an earlier installation must not end the wait for
// the VPN service's renewal.
TEST_F(ClientUpdateTest, ServiceRenewalWaitsForItsOwnInstallationSignal) {
    m_clock.SetWaitCap(5);
    SetState(ServiceInterfaces::kProductBrevanto, 0x04);
    m_services.Set(ComDouble::InstallManager, L"InstallEventDelay", 0xFFFFFFFFu);
    const Owners::UniqueHandle stale(::CreateEventW(nullptr, FALSE, TRUE, kInstallationEvent));
    uint32_t exitFlag = 0;
    EXPECT_EQ(Update(exitFlag), 1);
    EXPECT_GE(m_clock.Elapsed(), 180000u);
    EXPECT_THAT(LogText(), HasSubstr("update ossiden failed.\r\n"));
}

TEST_F(ClientUpdateTest, OutdatedInstallManagerRenewsItselfFirst) {
    SetState(ServiceInterfaces::kProductInstallManager, 1);
    SetState(ServiceInterfaces::kProductBrevanto, 0x08);
    uint32_t exitFlag = 0;
    EXPECT_EQ(Update(exitFlag), 1);
    const auto commands = m_services.Calls("IInstallManager.ExecuteCommand");
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0],
              "code=6\ttext=Address=gw.example@@@Port=8443@@@Session=session-0123456789\t"
              "result=0x00000000");
    // The first instance is released before the renewed service's is made,
    // and the renewed one is given the description again.
    const auto methods = Methods(m_services, "IInstallManager");
    const std::vector<std::string> head(methods.begin(), methods.begin() + 10);
    EXPECT_THAT(head, ElementsAre("Create", "SetVersionXML", "CheckClientComponents",
                                  "ExecuteCommand", "SetEvent", "Release", "Create",
                                  "SetVersionXML", "CheckClientComponents", "Create"));
    EXPECT_EQ(m_services.Calls("IInstallManager.SetVersionXML").size(), 2u);
    EXPECT_EQ(std::count(methods.begin(), methods.end(), "Create"),
              std::count(methods.begin(), methods.end(), "Release"));
    EXPECT_EQ(VPNStatus(), 103);
    EXPECT_THAT(LogText(), HasSubstr("BrevantoWebClientUpdate: update HOX success\r\n"));
}

TEST_F(ClientUpdateTest, RenewalThatNeverSignalsGoesOnWithTheOldInstance) {
    m_clock.SetWaitCap(5);
    SetState(ServiceInterfaces::kProductInstallManager, 1);
    m_services.Set(ComDouble::InstallManager, L"CompletionEventDelay", 0xFFFFFFFFu);
    uint32_t exitFlag = 0;
    EXPECT_EQ(Update(exitFlag, kSession, L"4242", L"alice", 0), 1);
    EXPECT_GE(m_clock.Elapsed(), 300000u);
    EXPECT_EQ(m_services.Calls("IInstallManager.Create").size(), 1u);
    EXPECT_EQ(m_services.Calls("IInstallManager.CheckClientComponents").size(), 2u);
    EXPECT_EQ(VPNStatus(), -1) << "no status without bSetStatus";
    EXPECT_THAT(LogText(), HasSubstr("BrevantoWebClientUpdate : failed update HOX\r\n"));
}

TEST_F(ClientUpdateTest, RenewalTextTheCodePageCannotHoldIsNotSent) {
    SetState(ServiceInterfaces::kProductInstallManager, 1);
    uint32_t exitFlag = 0;
    EXPECT_EQ(Update(exitFlag, kSession, L"4242", L"alice", 1, L"gw.\u0141\u00f3d\u017a.example"), 1);
    EXPECT_THAT(m_services.Calls("IInstallManager.ExecuteCommand"), IsEmpty());
    EXPECT_THAT(LogText(), HasSubstr("the renewal command has characters the ANSI code page cannot "
                                     "hold, it is not sent.\r\n"));
    EXPECT_EQ(m_services.Calls("IInstallManager.CheckClientComponents").size(), 2u);
}

TEST_F(ClientUpdateTest, ClientSecurityModeRenewsOnlyItsCabinets) {
    struct Case {
        DWORD state;
        std::vector<std::string> downloads;
    } cases[] = {
        {0xC0, {"Wystanutil.cab" + kOpswat, "Wystanhi.cab" + kOpswat}},
        {0x40, {"Wystanutil.cab" + kOpswat}},
        {0x80, {"Wystanhi.cab" + kOpswat}},
        {0x3F, {}},
        {0, {}},
    };
    SetState(ServiceInterfaces::kProductBrevanto, 0x3C);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "state 0x" << std::hex << c.state);
        m_services.ClearJournal();
        SetState(ServiceInterfaces::kProductClientSecurity, c.state);
        uint32_t exitFlag = 0;
        EXPECT_EQ(Update(exitFlag, L"", L"", L"", 0), 1);
        EXPECT_EQ(Downloads(), c.downloads);
        std::vector<std::string> installed;
        for (const std::string& call : m_services.Calls("IInstallManager.ExecuteCommand")) {
            EXPECT_EQ(Field("\t" + call, "code"), "8");
            installed.push_back(Field("\t" + call, "text"));
        }
        std::vector<std::string> expected;
        for (const std::string& d : c.downloads) {
            expected.push_back(Utf8(m_imDir) + "\\" + d.substr(0, d.find(' ')));
        }
        EXPECT_EQ(installed, expected);
        const auto checks = m_services.Calls("IInstallManager.CheckClientComponents");
        ASSERT_EQ(checks.size(), 2u) << "the client's product is not looked at";
        EXPECT_EQ(Field("\t" + checks[1], "product"), Utf8(ServiceInterfaces::kProductClientSecurity));
    }
    EXPECT_EQ(VPNStatus(), -1);
}

TEST_F(ClientUpdateTest, PluginUpdaterGetsTheLaunchAndSetsTheExitFlagOnlyWhenStarted) {
    SetState(ServiceInterfaces::kProductBrevanto, 0x20);
    struct Case {
        const wchar_t* user;
        std::vector<std::wstring> args;
    } cases[] = {
        {L"alice", {L"-BVConnectWithSession", kHost, L"8443", kSession, L"4242", L"alice"}},
        {L"John Smith", {L"-BVConnectWithSession", kHost, L"8443", kSession, L"4242", L"John Smith"}},
        // No user: the launch that follows sees the command without one.
        {L"", {L"-BVConnectWithSession", kHost, L"8443", kSession, L"4242"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.user));
        ::DeleteFileW((ImFile(L"Brevanto_Plugin.exe") + L".journal").c_str());
        uint32_t exitFlag = 0;
        EXPECT_EQ(Update(exitFlag, kSession, L"4242", c.user), 1);
        EXPECT_EQ(exitFlag, 1u);
        const auto starts = WaitForClientDoubleStarts(ImFile(L"Brevanto_Plugin.exe"), 1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].args, c.args);
    }

    // Unpacked but not startable (no updater in the cabinet): the launch goes on.
    StopAll(L"Brevanto_Plugin.exe");
    for (int i = 0; i < 50 && !::DeleteFileW(ImFile(L"Brevanto_Plugin.exe").c_str()) &&
                    ::GetLastError() != ERROR_FILE_NOT_FOUND;
         ++i)
        ::Sleep(100);
    m_services.Set(ComDouble::InstallManager, L"UnpackPlaces", 0u);
    uint32_t exitFlag = 0;
    EXPECT_EQ(Update(exitFlag), 1);
    EXPECT_EQ(exitFlag, 0u);
    EXPECT_THAT(LogText(), HasSubstr("the plugin updater was not started, the launch goes on.\r\n"));

    // Not unpacked: neither.
    m_services.Set(ComDouble::InstallManager, L"UnpackCab", 0x80004005u);
    EXPECT_EQ(Update(exitFlag), 1);
    EXPECT_EQ(exitFlag, 0u);
    EXPECT_THAT(LogText(), HasSubstr("BrevantoWebClientUpdate: unpack cab " +
                                     Utf8(ImFile(L"zem_bv_plugin.cab")) + ".\r\n"));
    EXPECT_THAT(m_services.Calls("IInstallManager.Install"), IsEmpty());
}

TEST_F(ClientUpdateTest, ServiceFailuresEndTheUpdate) {
    struct Case {
        const wchar_t* method;
        const wchar_t* script;  // one result per call
        const char* log;
    } cases[] = {
        {L"SetVersionXML", L"0x80004005", "BrevantoWebClientUpdate: SetVersionXML error 80004005\r\n"},
        {L"CheckClientComponents", L"0x80004005",
         "BrevantoWebClientUpdate: CheckClientComponents error.\r\n"},
        // The install manager's check passes, the client product's fails.
        {L"CheckClientComponents", L"0,0x80004005",
         "CheckClientComponents error(Ossiden.exe, Brevanto.exe, corvd.exe, Korrin.dll, TDI).\r\n"},
    };
    SetState(ServiceInterfaces::kProductBrevanto, 0x1C);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        m_services.ClearJournal();
        m_services.Set(ComDouble::InstallManager, c.method, c.script);
        uint32_t exitFlag = 0;
        EXPECT_EQ(Update(exitFlag), 0);
        EXPECT_THAT(LogText(), HasSubstr(c.log));
        EXPECT_THAT(Downloads(), IsEmpty());
        m_services.Set(ComDouble::InstallManager, c.method, 0u);
        m_services.Set(ComDouble::InstallManager, std::wstring(c.method) + L".Calls", 0u);
    }
    m_services.Set(ComDouble::InstallManager, L"Mode", L"CreateFails");
    uint32_t exitFlag = 0;
    EXPECT_EQ(Update(exitFlag), 0);
    EXPECT_EQ(DownloadFileToLocalDirectory(L"zem_bv_qt.cab", kHost, 443, kSession), 0);
    EXPECT_THAT(LogText(), HasSubstr("BrevantoWebClientUpdate: Connect to installmanager failed, ret "
                                     "is 80004005, cancel update client.\r\n"));
}

TEST_F(ClientUpdateTest, DownloadIntoTheInstallManagerFolder) {
    m_services.SetBytes(ComDouble::InstallManager, L"GatewayFileWYSTANHI.CAB", "cabinet bytes");
    EXPECT_EQ(DownloadFileToLocalDirectory(L"WYSTANHI.CAB", kHost, 443, kSession), 1);
    EXPECT_EQ(TestSupport::ReadTextFile(ImFile(L"WYSTANHI.CAB")), "cabinet bytes");
    EXPECT_EQ(DownloadFileToLocalDirectory(L"zem_bv_qt.cab", kHost, 443, nullptr), 1);
    const auto calls = m_services.Calls("IInstallManager.DownloadGatewayFile");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(Field("\t" + calls[0], "urlPath"), kOpswat.substr(1)) << "any letter case";
    EXPECT_EQ(Field("\t" + calls[1], "session"), "<null>");
    EXPECT_EQ(Field("\t" + calls[1], "port"), "443");

    m_services.Set(ComDouble::InstallManager, L"DownloadGatewayFile", 0x80072EE7u);
    EXPECT_EQ(DownloadFileToLocalDirectory(L"zem_bv_qt.cab", kHost, 443, kSession), 0);
    EXPECT_THAT(LogText(), HasSubstr("DownloadFileToLocalDirectory zem_bv_qt.cab failed, error is "
                                     "80072ee7\r\n"));
}

TEST_F(ClientUpdateTest, UpdateProgramThatEndsAndOneThatStays) {
    const std::wstring ends = InstallClientDouble(m_imDir, L"QuarloUpdaterEnds.exe", "stay=1500\n");
    const std::wstring stays = InstallClientDouble(m_imDir, L"QuarloUpdaterStays.exe", "stay=forever\n");
    // Real seconds between the polls, so the program has time to end.
    m_clock.SetSleepCap(1000);
    EXPECT_EQ(RunUpdateProgram(L"QuarloUpdaterEnds.exe", L"-x \"a b\""), 1);
    EXPECT_LT(m_clock.sleeps.load(), 11);
    EXPECT_FALSE(IsProcessExistByName(L"QuarloUpdaterEnds.exe"));
    EXPECT_THAT(LogText(), HasSubstr("BrevantoWebClientUpdate: update ui file finished.\r\n"));
    const auto starts = ReadClientDoubleJournal(ends);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_THAT(starts[0].args, ElementsAre(L"-x", L"a b"));

    m_clock.SetSleepCap(0);
    const int before = m_clock.sleeps.load();
    const ULONGLONG slept = m_clock.slept.load();
    EXPECT_EQ(RunUpdateProgram(L"QuarloUpdaterStays.exe", L""), 1);
    EXPECT_EQ(m_clock.sleeps.load() - before, 11);
    EXPECT_EQ(m_clock.slept.load() - slept, 11000u);
    EXPECT_TRUE(IsProcessExistByName(L"QuarloUpdaterStays.exe"));
    StopAll(L"QuarloUpdaterStays.exe");

    EXPECT_EQ(RunUpdateProgram(L"QuarloNoSuchUpdater.exe", L""), 0);
    EXPECT_THAT(LogText(), HasSubstr("BrevantoWebClientUpdate: ShellExecuteEx error 2\r\n"));
}

// A cabinet that could not be fetched is never taken from what an earlier
// update left in the install manager's folder (the core, Qt, plugin and
// client-security cabinets stay there after they were used): nothing is
// unpacked, installed or started for that part, and the plugin's updater
// does not take over the launch.
TEST_F(ClientUpdateTest, PartWhoseCabinetWasNotFetchedIsNotRenewed) {
    const wchar_t* serviceCab = Is64BitOS() ? L"zem_bv_x64.cab" : L"zem_bv.cab";
    struct Case {
        const wchar_t* product;
        DWORD state;
        const wchar_t* cabinet;
        const wchar_t* updater;  // what an unpack of it would start
    } cases[] = {
        {ServiceInterfaces::kProductBrevanto, 0x20, L"zem_bv_plugin.cab", L"Brevanto_Plugin.exe"},
        {ServiceInterfaces::kProductBrevanto, 0x08, L"zem_bv_core.cab", L"BVCoreUpdate.exe"},
        {ServiceInterfaces::kProductBrevanto, 0x10, L"zem_bv_qt.cab", L"BVQTDllUpdate.exe"},
        {ServiceInterfaces::kProductBrevanto, 0x04, serviceCab, nullptr},
        {ServiceInterfaces::kProductClientSecurity, 0x40, L"Wystanutil.cab", nullptr},
        {ServiceInterfaces::kProductClientSecurity, 0x80, L"Wystanhi.cab", nullptr},
    };
    m_services.Set(ComDouble::InstallManager, L"DownloadGatewayFile", 0x80072EE7u);
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.cabinet));
        m_services.ClearJournal();
        SetState(ServiceInterfaces::kProductBrevanto, 0);
        SetState(ServiceInterfaces::kProductClientSecurity, 0);
        SetState(c.product, c.state);
        ASSERT_EQ(WriteWholeFileAtomic(ImFile(c.cabinet).c_str(), "cabinet of an earlier update"), 1);
        if (c.updater) ::DeleteFileW((ImFile(c.updater) + L".journal").c_str());
        const bool clientSecurity = c.product == ServiceInterfaces::kProductClientSecurity;
        uint32_t exitFlag = 7;
        if (clientSecurity) {
            Update(exitFlag, L"", L"", L"", 0);
        } else {
            Update(exitFlag);
        }
        EXPECT_EQ(exitFlag, 0u);
        EXPECT_EQ(m_services.Calls("IInstallManager.DownloadGatewayFile").size(), 1u);
        EXPECT_THAT(m_services.Calls("IInstallManager.UnpackCab"), IsEmpty());
        EXPECT_THAT(m_services.Calls("IInstallManager.Install"), IsEmpty());
        EXPECT_THAT(m_services.Calls("IInstallManager.ExecuteCommand"), IsEmpty());
        if (c.updater) {
            EXPECT_FALSE(TestSupport::FileExists(ImFile(c.updater) + L".journal"));
        }
        ::DeleteFileW(ImFile(c.cabinet).c_str());
    }
    EXPECT_THAT(LogText(), HasSubstr("BrevantoWebClientUpdate: zem_bv_core.cab was not downloaded, "
                                     "this part is not renewed.\r\n"));
}
