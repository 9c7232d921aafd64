// Capture, change and restore of the browser proxy settings against the
// settings store fake, with Proxy.ini in the real configuration folder.
#include <winsock2.h>
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "BrowserProxySetting.h"
#include "BrowserProxyTestSupport.h"
#include "FrontDoorBranches.h"
#include "ProxyIniTestSupport.h"
#include "ProxySettingsFake.h"
#include "StringUtil.h"
#include "WinHttpTestSupport.h"

using namespace BrowserProxyTest;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using Key = StoreCall::Kind;
namespace K = ProxyIni::Key;

constexpr DWORD kDirect = 1, kProxy = 2, kUrl = 4, kDetect = 8;

ConnectionProxyOptions Options(DWORD flags, DWORD autoFlags, std::optional<std::wstring> url,
                               std::optional<std::wstring> server,
                               std::optional<std::wstring> bypass) {
    ConnectionProxyOptions o;
    o.flags = flags;
    o.autoDiscoveryFlags = autoFlags;
    o.autoConfigUrl = std::move(url);
    o.proxyServer = std::move(server);
    o.proxyBypass = std::move(bypass);
    return o;
}

std::string PacUrl(const std::string& testCase, const std::string& answer) {
    std::string encoded;
    for (char c : answer) encoded += c == ' ' ? std::string("%20") : std::string(1, c);
    return CodePageFromWide(WinHttpTest::HttpDoubleUrl(L"/pac-case/"), CP_THREAD_ACP) + testCase +
           "/" + encoded;
}

class BrowserSettingsTest : public ProxyIniTest::UserTempTest {
protected:
    void SetUp() override {
        UserTempTest::SetUp();
        m_listenPort.SetDword(L"proxylistenport", 51234);
    }
    void SetLan(const ConnectionProxyOptions& options) { m_store.connections[L""] = options; }
    void WriteFlags(int ie, int ff, int dial) {
        ScopedProxyConfFiles::Write([&](ProxyIni::Editor& e) {
            e.Set(K::IEProxyShouldResume, ie);
            e.Set(K::FFProxyShouldResume, ff);
            e.Set(K::IEProxyShouldResumeDial, dial);
        });
    }
    static void WriteFile(const std::wstring& path, const std::string& bytes) {
        std::ofstream(path.c_str(), std::ios::binary) << bytes;
    }
    ScopedProxyConfFiles m_files;
    FakeProxySettingsStore m_store;
    TestSupport::ScopedRegistryKey m_listenPort{HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\Install Manager"};
    CBrowserProxySetting m_setting{};
};

// ---- OnDetectProxySetting ---------------------------------------------------

TEST_F(BrowserSettingsTest, DetectProxySettingDecisionTable) {
    struct Case {
        DWORD flags, autoFlags;
        bool discoveryFinds;
        int32_t result;
        bool discoveryRuns;
    };
    const Case cases[] = {
        {kDirect, 0, true, 1, false},                 // plain direct
        {0, 0, true, 1, false},                       // no flag at all
        {kDirect | kProxy, 0, true, 0, false},        // named proxy
        {kProxy | kUrl, 0, true, 0, false},           // named proxy wins over a script
        {kProxy | kDetect, 4, true, 0, false},        // ... and over detection
        {kDirect | kUrl, 0, true, 1, false},          // script: evaluate, no detection
        {kUrl | kDetect, 4, false, 1, false},         // script wins over detection
        {kDirect | kDetect, 0, true, 1, true},        // detection finds a script
        {kDirect | kDetect, 0, false, 0, true},       // ... or nothing
        {kDirect, 4, true, 1, true},                  // detection ran before: detect again
        {kDirect, 4, false, 0, true},
        {kDirect, 5, true, 1, true},
        {kDirect, 1, true, 1, false},                 // only the user-set bit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags << " auto " << c.autoFlags
                                        << " finds " << c.discoveryFinds);
        m_store.calls.clear();
        SetLan(Options(c.flags, c.autoFlags, L"http://wpad/w.dat", L"p:8080", L"<local>"));
        m_store.detectedUrl = c.discoveryFinds ? "http://found/wpad.dat" : "";
        uint32_t autoFlags = 99, flags = 99;
        wchar_t script[1024] = L"x", server[1024] = L"x", bypass[4096] = L"x";
        char detected[1024] = "";
        EXPECT_EQ(m_setting.OnDetectProxySetting(&autoFlags, &flags, script, server, bypass, detected),
                  c.result);
        EXPECT_EQ(m_store.Count(Key::Detect), c.discoveryRuns ? 1u : 0u);
        if (c.discoveryRuns) {
            EXPECT_EQ(m_store.detectFlagsSeen, 3u);
        }
        EXPECT_STREQ(detected, c.discoveryRuns && c.discoveryFinds ? "http://found/wpad.dat" : "");
        // The query's values are handed out whatever the answer.
        EXPECT_EQ(flags, c.flags);
        EXPECT_EQ(autoFlags, c.autoFlags);
        EXPECT_STREQ(script, L"http://wpad/w.dat");
        EXPECT_STREQ(server, L"p:8080");
        EXPECT_STREQ(bypass, L"<local>");
    }
}

TEST_F(BrowserSettingsTest, DetectProxySettingFailedQueryAndLongTexts) {
    m_store.failQuery = true;
    uint32_t flags = 77;
    EXPECT_EQ(m_setting.OnDetectProxySetting(nullptr, &flags, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(flags, 77u);
    EXPECT_THAT(LogText(), HasSubstr("OnDetectProxySetting: InternetQueryOption failed, error is 12004"));

    m_store.failQuery = false;
    SetLan(Options(kDirect, 0, std::wstring(3000, L'u'), std::wstring(3000, L's'),
                   std::wstring(5000, L'b')));
    std::vector<wchar_t> script(1100, L'#'), server(1100, L'#'), bypass(4200, L'#');
    EXPECT_EQ(m_setting.OnDetectProxySetting(nullptr, nullptr, script.data(), server.data(),
                                             bypass.data(), nullptr), 1);
    EXPECT_EQ(std::wstring(script.data()), std::wstring(1023, L'u'));
    EXPECT_EQ(std::wstring(server.data()), std::wstring(1023, L's'));
    EXPECT_EQ(std::wstring(bypass.data()), std::wstring(4095, L'b'));
    EXPECT_EQ(script[1024], L'#') << "wrote past the buffer";
}

// ---- OnSave (Internet Explorer) ---------------------------------------------

TEST_F(BrowserSettingsTest, CaptureWritesTheLanSettings) {
    struct Case {
        const char* why;
        ConnectionProxyOptions lan;
        std::string detected;
        int flagsStored, scriptRunning;
        std::wstring host, port, autoUrl;
    };
    const std::string pac = PacUrl("capture-url", "PROXY pac.corp:3128");
    const std::string found = PacUrl("capture-detected", "PROXY found.corp:8081");
    const std::string broken = CodePageFromWide(WinHttpTest::HttpDoubleUrl(L"/status/404"), CP_THREAD_ACP);
    const std::wstring wpac = WideFromCodePage(pac, CP_THREAD_ACP);
    const Case cases[] = {
        {"named proxy and script: no evaluation",
         Options(kProxy | kUrl, 0, wpac, L"named:8080", L"*.corp"), "", 6, 0, L"", L"", L""},
        {"plain direct", Options(kDirect, 0, std::nullopt, std::nullopt, std::nullopt), "", 1, 0,
         L"", L"", L""},
        {"flags 0 are stored as 1", Options(0, 0, std::nullopt, std::nullopt, std::nullopt), "", 1,
         0, L"", L"", L""},
        {"script evaluated for the gateway", Options(kDirect | kUrl, 0, wpac, L"", L""), "", 5, 1,
         L"pac.corp", L"3128", L""},
        {"detection finds nothing", Options(kDirect | kDetect, 0, L"", L"", L""), "", 9, 0, L"",
         L"", L""},
        {"detected script evaluated", Options(kDirect | kDetect, 0, L"", L"", L""), found, 9, 1,
         L"found.corp", L"8081", WideFromCodePage(found, CP_THREAD_ACP)},
        {"detected script that cannot be evaluated", Options(kDirect, 4, L"", L"", L""), broken, 1,
         1, L"", L"", WideFromCodePage(broken, CP_THREAD_ACP)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ScopedProxyConfFiles::Remove();
        SetLan(c.lan);
        m_store.detectedUrl = c.detected;
        EXPECT_EQ(m_setting.OnSave(true, L"", L"gw.example.com", false, 0), 1);
        EXPECT_EQ(m_files.GetInt(K::IEProxyFlag), c.flagsStored);
        EXPECT_EQ(m_files.GetInt(K::IEProxyAutoFlag), static_cast<int>(c.lan.autoDiscoveryFlags));
        EXPECT_EQ(m_files.GetText(K::IEProxyScript), c.lan.autoConfigUrl.value_or(L""));
        EXPECT_EQ(m_files.GetText(K::IEProxyServer), c.lan.proxyServer.value_or(L""));
        EXPECT_EQ(m_files.GetText(K::IEProxyByPass), c.lan.proxyBypass.value_or(L""));
        EXPECT_EQ(m_files.GetInt(K::ProxyScriptRunning), c.scriptRunning);
        EXPECT_EQ(m_files.GetText(K::ProxySSLHost), c.host);
        EXPECT_EQ(m_files.GetText(K::ProxySSLPort), c.port);
        EXPECT_EQ(m_files.GetText(K::ProxyAutoURL), c.autoUrl);
        EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 0);
        EXPECT_EQ(m_store.Count(Key::Set), 0u) << "a capture changes no setting";
    }
}

TEST_F(BrowserSettingsTest, CaptureAfterFailedQueryAndKeysOfOthersSurvive) {
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(ProxyIni::UserNameKey(1), L"alice");
        e.Set(K::IEProxyShouldResumeDial, 1);
        e.Set(K::IEProxyServer, L"old:1");
    });
    m_store.failQuery = true;
    EXPECT_EQ(m_setting.OnSave(true, L"", L"gw", false, 0), 1);
    EXPECT_EQ(m_files.GetInt(K::IEProxyFlag), 1);
    EXPECT_EQ(m_files.GetInt(K::IEProxyAutoFlag), 0);
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"");
    EXPECT_EQ(m_files.GetInt(K::ProxyScriptRunning), 0);
    EXPECT_EQ(m_files.GetText(ProxyIni::UserNameKey(1)), L"alice");
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResumeDial), 1);
}

TEST_F(BrowserSettingsTest, CaptureIsRefusedWhileARestoreIsPending) {
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::IEProxyShouldResume, 1);
        e.Set(K::IEProxyServer, L"user.proxy:8080");
        e.Set(K::IEProxyFlag, 3);
    });
    SetLan(Options(5, 0, L"http://127.0.0.1:51234/Proxy.pac", std::nullopt, std::nullopt));
    EXPECT_EQ(m_setting.OnSave(true, L"", L"gw", false, 0), 0);
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"user.proxy:8080");
    EXPECT_EQ(m_files.GetInt(K::IEProxyFlag), 3);
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 1);
}

// ---- Firefox capture ---------------------------------------------------------

TEST(FirefoxPreferencesTest, GetFFPrefValueTable) {
    const std::wstring prefs =
        L"{{network.proxy.type=1, network.proxy.http=,network.proxy.http_port=0, "
        L"network.proxy.ssl= s.corp ,network.proxy.ssl_port=443, x=network.proxy.ssl}}";
    struct Case {
        const wchar_t* name;
        const wchar_t* value;
    };
    const Case cases[] = {
        {L"network.proxy.type", L"1"},
        {L"network.proxy.http", L""},        // the next token is a preference name
        {L"network.proxy.http_port", L"0"},
        {L"network.proxy.ssl", L"s.corp"},   // blanks trimmed
        {L"network.proxy.ssl_port", L"443"},
        {L"x", L""},                         // its value names a preference
        {L"network.proxy.socks", L""},       // absent
        {L"Network.Proxy.Type", L""},        // names compare with case
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetFFPrefValue(prefs, c.name), c.value);
    }
    EXPECT_EQ(GetFFPrefValue(L"{a=b}", L"b"), L"") << "last token";
    EXPECT_EQ(GetFFPrefValue(L"{a=b, b=c}", L"b"), L"b") << "a name matches wherever it stands";
}

TEST_F(BrowserSettingsTest, FirefoxCaptureRoads) {
    const std::wstring same =
        L"{network.proxy.type=1, network.proxy.ftp=p, network.proxy.ftp_port=81, "
        L"network.proxy.http=p, network.proxy.http_port=81, network.proxy.ssl=p, "
        L"network.proxy.ssl_port=81, network.proxy.socks=p, network.proxy.socks_port=81, "
        L"network.proxy.no_proxies_on=localhost}";
    EXPECT_EQ(m_setting.OnSave(false, same.c_str(), L"gw", false, 0), 1);
    EXPECT_EQ(m_files.GetInt(K::FFBrowserRunning), 1);
    EXPECT_EQ(m_files.GetInt(K::FFProxyFlag), 1);
    EXPECT_EQ(m_files.GetText(K::FFProxyServer), L"p:81");
    EXPECT_EQ(m_files.GetText(K::FFProxyByPass), L"localhost");
    EXPECT_EQ(m_files.GetText(K::ProxySSLHost), L"p");
    EXPECT_EQ(m_files.GetText(K::ProxySSLPort), L"81");
    EXPECT_EQ(m_files.GetInt(K::ProxyScriptRunning), 0);

    const std::wstring mixed =
        L"{network.proxy.type=1, network.proxy.ftp=f, network.proxy.ftp_port=21, "
        L"network.proxy.http=h, network.proxy.http_port=80, network.proxy.ssl=s, "
        L"network.proxy.ssl_port=443, network.proxy.socks=k, network.proxy.socks_port=1080}";
    EXPECT_EQ(m_setting.OnSave(false, mixed.c_str(), L"gw", false, 0), 1);
    EXPECT_EQ(m_files.GetText(K::FFProxyServer), L"ftp=f:21;http=h:80;https=s:443;socks=k:1080");
    EXPECT_EQ(m_files.GetText(K::ProxySSLHost), L"s");

    const std::wstring script = L"{network.proxy.type=2, network.proxy.autoconfig_url=" +
                                WideFromCodePage(PacUrl("ff-script", "PROXY ff.corp:9090"), CP_THREAD_ACP) +
                                L"}";
    EXPECT_EQ(m_setting.OnSave(false, script.c_str(), L"gw", false, 0), 1);
    EXPECT_EQ(m_files.GetInt(K::ProxyScriptRunning), 1);
    EXPECT_EQ(m_files.GetText(K::ProxySSLHost), L"ff.corp");
    EXPECT_EQ(m_files.GetText(K::ProxySSLPort), L"9090");

    EXPECT_EQ(m_setting.OnSave(false, L"{}", L"gw", false, 0), 1);
    EXPECT_EQ(m_files.GetInt(K::FFProxyFlag), 3) << "type absent";
    EXPECT_EQ(m_files.GetText(K::ProxySSLHost), L"");
}

// ---- Setting the tunnel's script ---------------------------------------------

TEST_F(BrowserSettingsTest, PointingAtTheLocalScript) {
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) { e.Set(K::IEProxyServer, L"user:1"); });
    int flagAtSet = -1;
    m_store.beforeSet = [&](size_t) { flagAtSet = m_files.GetInt(K::IEProxyShouldResumeDial, 0); };
    EXPECT_EQ(m_setting.OnSetBrowserSetting(1), 1);
    const std::vector<StoreCall> sets = m_store.Sets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].connection, L"Quarlo Networks SSL VPN");
    EXPECT_EQ(sets[0].form, OptionForm::Narrow);
    EXPECT_EQ(sets[0].options,
              Options(5, 0, L"http://127.0.0.1:51234/Proxy.pac", std::nullopt, std::nullopt));
    EXPECT_EQ(flagAtSet, 1) << "the restore flag is recorded before the change";
    ASSERT_EQ(m_store.calls.size(), 3u);
    EXPECT_EQ(m_store.calls[1].kind, Key::SettingsChanged);
    EXPECT_EQ(m_store.calls[2].kind, Key::Refresh);

    m_store.calls.clear();
    m_store.beforeSet = [&](size_t) { flagAtSet = m_files.GetInt(K::IEProxyShouldResume, 0); };
    EXPECT_EQ(m_setting.OnSetBrowserSetting(0), 1);
    EXPECT_EQ(m_store.Sets().at(0).connection, L"");
    EXPECT_EQ(flagAtSet, 1);

    m_store.calls.clear();
    EXPECT_EQ(m_setting.OnSetBrowserSetting("http://inside.corp/in.pac"), 1);
    EXPECT_EQ(m_store.Sets().at(0).options,
              Options(5, 0, L"http://inside.corp/in.pac", std::nullopt, std::nullopt));
}

TEST_F(BrowserSettingsTest, PointingAtTheScriptRefusedOrFailed) {
    // No capture to restore from: nothing is changed.
    EXPECT_EQ(m_setting.OnSetBrowserSetting(0), 0);
    EXPECT_EQ(m_setting.OnSetBrowserSetting("http://x/y.pac"), 0);
    EXPECT_EQ(m_store.calls.size(), 0u);

    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) { e.Set(K::IEProxyShouldResume, 0); });
    m_listenPort.SetDword(L"proxylistenport", 70000);
    EXPECT_EQ(m_setting.OnSetBrowserSetting(1), 0);
    EXPECT_EQ(m_store.calls.size(), 0u) << "no local proxy port: untouched";

    m_listenPort.SetDword(L"proxylistenport", 51234);
    m_store.failSet = [](const std::wstring&) { return true; };
    EXPECT_EQ(m_setting.OnSetBrowserSetting(0), 0);
    EXPECT_EQ(m_store.Count(Key::Refresh), 0u);
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 0) << "a failed change leaves no flag";
    EXPECT_THAT(LogText(), HasSubstr("OnSetBrowserSetting failed, error is 12004"));
}

TEST_F(BrowserSettingsTest, ClearIEProxySettingsMakesEighteenSetsInOrder) {
    // The sequence of the clearIEProxySettings command.
    m_setting.OnClearIEProxySettings(L"");
    m_setting.OnClearIEProxySettings(L"Quarlo Networks SSL VPN");
    for (int i = 0; i < 16; ++i) {
        m_setting.OnClearIEProxySettings(FormatW(L"Quarlo Networks SSL VPN_%d", i).c_str());
    }
    std::vector<std::wstring> expected = {L"", L"Quarlo Networks SSL VPN"};
    for (int i = 0; i < 16; ++i) expected.push_back(L"Quarlo Networks SSL VPN_" + std::to_wstring(i));
    std::vector<std::wstring> names;
    for (const StoreCall& set : m_store.Sets()) {
        names.push_back(set.connection);
        EXPECT_EQ(set.options, Options(1, 1, L"", L"", L""));
        EXPECT_EQ(set.form, OptionForm::Wide);
    }
    EXPECT_THAT(names, ElementsAreArray(expected));
    ASSERT_EQ(m_store.calls.size(), 18u * 3);
    for (size_t i = 0; i < m_store.calls.size(); i += 3) {
        EXPECT_EQ(m_store.calls[i + 1].kind, Key::SettingsChanged);
        EXPECT_EQ(m_store.calls[i + 2].kind, Key::Refresh);
    }

    m_store.calls.clear();
    m_store.failSet = [](const std::wstring& name) { return name.empty(); };
    m_setting.OnClearIEProxySettings(L"");
    EXPECT_EQ(m_store.calls.size(), 1u) << "no refresh after a failed set";
}

// ---- Restore -----------------------------------------------------------------

TEST_F(BrowserSettingsTest, ResumeIEFlagAdjustment) {
    struct Case {
        int savedFlags, savedAuto;
        DWORD setFlags;
    };
    const Case cases[] = {
        {1, 5, 9}, {0, 5, 9}, {0, 0, 1}, {0, 4, 1}, {1, 0, 1},
        {5, 5, 5}, {9, 0, 9}, {2, 5, 2}, {3, 5, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "saved flags " << c.savedFlags << " auto " << c.savedAuto);
        m_store.calls.clear();
        ScopedProxyConfFiles::Write([&](ProxyIni::Editor& e) {
            e.Set(K::IEProxyFlag, c.savedFlags);
            e.Set(K::IEProxyAutoFlag, c.savedAuto);
            e.Set(K::IEProxyScript, L"http://wpad/w.dat");
            e.Set(K::IEProxyServer, L"user:8080");
            e.Set(K::IEProxyByPass, L"<local>");
        });
        EXPECT_TRUE(m_setting.OnResumeIE(true));
        const std::vector<StoreCall> sets = m_store.Sets();
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].connection, L"");
        EXPECT_EQ(sets[0].form, OptionForm::Wide);
        EXPECT_EQ(sets[0].options, Options(c.setFlags, static_cast<DWORD>(c.savedAuto),
                                           L"http://wpad/w.dat", L"user:8080", L"<local>"));
    }
}

TEST_F(BrowserSettingsTest, ResumeIERoads) {
    EXPECT_FALSE(m_setting.OnResumeIE(false)) << "no Proxy.ini";
    EXPECT_EQ(m_store.calls.size(), 0u);

    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::IEProxyServer, L"user:8080");
        e.Set(K::IEProxyShouldResume, 1);
    });
    WriteFile(ProxyIni::PacPath(), "tunnel");
    WriteFile(ProxyIni::BackupPacPath(), "user's own");
    EXPECT_TRUE(m_setting.OnResumeIE(true));
    EXPECT_EQ(TestSupport::ReadTextFile(ProxyIni::PacPath()), "tunnel") << "LAN only: Proxy.pac untouched";
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 0) << "nothing left to put back";

    EXPECT_TRUE(m_setting.OnResumeIE(false));
    EXPECT_EQ(TestSupport::ReadTextFile(ProxyIni::PacPath()), "user's own");
    EXPECT_FALSE(TestSupport::FileExists(ProxyIni::BackupPacPath()));
    EXPECT_THAT(LogText(), HasSubstr("UnsetPPPInsideProxy: don't have ppp adapter"));

    EXPECT_TRUE(m_setting.OnResumeIE(false));
    EXPECT_FALSE(TestSupport::FileExists(ProxyIni::PacPath())) << "no backup: Proxy.pac removed";

    WriteFile(ProxyIni::PacPath(), "tunnel");
    m_store.calls.clear();
    m_store.failSet = [](const std::wstring&) { return true; };
    EXPECT_FALSE(m_setting.OnResumeIE(false));
    EXPECT_EQ(m_store.calls.size(), 1u) << "no refresh after a failed set";
    EXPECT_TRUE(TestSupport::FileExists(ProxyIni::PacPath())) << "a failed restore stops there";
}

TEST_F(BrowserSettingsTest, ResumeIEDialResetsTheDialUpEntryWhateverHappens) {
    WriteFile(ProxyIni::PacPath(), "tunnel");
    m_store.failSet = [](const std::wstring&) { return true; };
    m_setting.OnResumeIEDial();
    ASSERT_EQ(m_store.calls.size(), 3u);
    EXPECT_EQ(m_store.calls[0].connection, L"Quarlo Networks SSL VPN");
    EXPECT_EQ(m_store.calls[0].options, Options(1, 0, L"", L"", L""));
    EXPECT_EQ(m_store.calls[1].kind, Key::SettingsChanged);
    EXPECT_EQ(m_store.calls[2].kind, Key::Refresh);
    EXPECT_FALSE(TestSupport::FileExists(ProxyIni::PacPath()));
}

TEST_F(BrowserSettingsTest, ResumeFlagTable) {
    struct Case {
        const char* why;
        int ffRunning, ffType;
        int flag;
        int ie, ff;  // flags after OnSetResumeFlag(flag), from 0 and 0 (or 1 and 1 for flag 0)
    };
    const Case cases[] = {
        {"no Firefox change: the IE flag", 0, 0, 1, 1, 0},
        {"Firefox recorded: both flags", 1, 2, 1, 1, 1},
        {"Firefox type 3 records no change", 1, 3, 1, 1, 0},
        {"after a restore neither is pending", 0, 0, 0, 0, 0},
        {"after a restore with Firefox", 1, 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ScopedProxyConfFiles::Remove();
        ScopedProxyConfFiles::Write([&](ProxyIni::Editor& e) {
            e.Set(K::FFBrowserRunning, c.ffRunning);
            e.Set(K::FFProxyFlag, c.ffType);
            e.Set(K::IEProxyShouldResume, c.flag ? 0 : 1);
            e.Set(K::FFProxyShouldResume, c.flag ? 0 : 1);
        });
        EXPECT_EQ(m_setting.OnSetResumeFlag(c.flag), 1);
        EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), c.ie);
        EXPECT_EQ(m_files.GetInt(K::FFProxyShouldResume), c.ff);
        EXPECT_EQ(m_setting.IsNeedResume(), c.ie || c.ff ? 1 : 0);
    }
    EXPECT_EQ(m_setting.OnSetResumeFlagBVDial(1), 1);
    EXPECT_EQ(m_setting.IsNeedResumeBVDial(), 1);
    EXPECT_EQ(m_setting.OnSetResumeFlagBVDial(0), 1);
    EXPECT_EQ(m_setting.IsNeedResumeBVDial(), 0);

    ScopedProxyConfFiles::Remove();
    EXPECT_EQ(m_setting.OnSetResumeFlag(1), 0);
    EXPECT_EQ(m_setting.OnSetResumeFlagBVDial(1), 0);
    EXPECT_EQ(m_setting.IsNeedResume(), 0);
    EXPECT_FALSE(TestSupport::FileExists(ScopedProxyConfFiles::Ini())) << "flag writers create nothing";
}

TEST_F(BrowserSettingsTest, ClearBacksUpAndResetsTheCapture) {
    m_setting.OnClear(0);
    EXPECT_FALSE(TestSupport::FileExists(ScopedProxyConfFiles::Ini()));

    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::IEProxyServer, L"user:8080");
        e.Set(K::IEProxyFlag, 3);
        e.Set(K::ProxySSLHost, L"t.corp");
        e.Set(K::ProxyAutoURL, L"http://found/w.dat");
        e.Set(K::IEProxyShouldResumeDial, 1);
        e.Set(ProxyIni::UserNameKey(1), L"alice");
    });
    WriteFile(ProxyIni::AutoPacPath(), "outside script");
    m_setting.OnClear(0);
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"");
    EXPECT_EQ(m_files.GetInt(K::IEProxyFlag), 1);
    EXPECT_EQ(m_files.GetText(K::ProxySSLHost), L"");
    EXPECT_EQ(m_files.GetText(K::ProxyAutoURL), L"http://found/w.dat");
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResumeDial), 1);
    EXPECT_EQ(m_files.GetText(ProxyIni::UserNameKey(1)), L"alice");
    EXPECT_FALSE(TestSupport::FileExists(ProxyIni::AutoPacPath()));
    EXPECT_THAT(TestSupport::ReadTextFile(ProxyIni::BackupIniPath(0)), HasSubstr("user:8080"));
}

TEST_F(BrowserSettingsTest, ClearKeepsTheCaptureWhileARestoreIsPending) {
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::IEProxyServer, L"user:8080");
        e.Set(K::IEProxyShouldResume, 1);
    });
    m_setting.OnClear(0);
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"user:8080");
}

TEST_F(BrowserSettingsTest, FailedRestoreKeepsTheFlagAndTheCapture) {
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::IEProxyServer, L"user:8080");
        e.Set(K::IEProxyFlag, 3);
        e.Set(K::IEProxyShouldResume, 1);
    });
    m_store.failSet = [](const std::wstring&) { return true; };
    EXPECT_FALSE(m_setting.OnResume());
    EXPECT_FALSE(ResumeChangedSettings(m_setting));
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 1);
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"user:8080");

    m_store.failSet = nullptr;
    EXPECT_TRUE(ResumeChangedSettings(m_setting));
    EXPECT_EQ(m_store.connections[L""], Options(3, 0, L"", L"user:8080", L""));
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 0);
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"") << "reset once the user's settings are back";
}

TEST_F(BrowserSettingsTest, ResumeRestoresTheDialUpEntryByItsFlag) {
    WriteFlags(0, 0, 1);
    EXPECT_TRUE(ResumeChangedSettings(m_setting));
    ASSERT_EQ(m_store.Sets().size(), 1u);
    EXPECT_EQ(m_store.Sets()[0].connection, L"Quarlo Networks SSL VPN");
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResumeDial), 0);
}

// ---- The commands, in the orders the client runs them ------------------------

// One front-door command line ("insideproxy set x <url>" ...) as its branch
// receives it.
class CommandLine {
public:
    CommandLine(std::initializer_list<const wchar_t*> args) {
        m_args.push_back(L"Pelkora.exe");
        for (const wchar_t* a : args) m_args.push_back(a);
        for (std::wstring& a : m_args) m_argv.push_back(a.data());
        m_argv.push_back(nullptr);
    }
    FrontDoorCommand Command() {
        return {static_cast<int>(m_args.size()), m_argv.data(), nullptr};
    }

private:
    std::vector<std::wstring> m_args;
    std::vector<wchar_t*> m_argv;
};

TEST_F(BrowserSettingsTest, InsideProxyResumePutsBackOnlyAChangeOfItsOwn) {
    const ConnectionProxyOptions user =
        Options(kDirect | kProxy, 0, L"", L"user.proxy:8080", L"*.corp;<local>");
    const ConnectionProxyOptions changedByUser =
        Options(kDirect | kDetect, 0, L"", L"other.proxy:3128", L"");
    struct Case {
        const char* why;
        // Runs after the settings were pointed at the inside script and put
        // back by the resume command (which resets the capture); the user's
        // settings are live again.
        std::function<void()> between;
        ConnectionProxyOptions live;
    };
    const Case cases[] = {
        {"disconnect ran both resumes", [] {}, user},
        {"the user changed the settings since",
         [&] { SetLan(changedByUser); }, changedByUser},
        {"resumed twice",
         [&] { RunInsideProxyCommand(CommandLine{L"insideproxy", L"resume", L"x", L"y"}.Command()); },
         user},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ScopedProxyConfFiles::Remove();
        m_store.connections.clear();
        SetLan(user);
        RunInsideProxyCommand(
            CommandLine{L"insideproxy", L"set", L"x", L"http://inside.corp/in.pac"}.Command());
        ASSERT_EQ(m_store.connections[L""],
                  Options(5, 0, L"http://inside.corp/in.pac", std::nullopt, std::nullopt));
        RunResumeOutSideProxyScriptCommand(CommandLine{L"BVResumeOutSideProxyScript"}.Command());
        ASSERT_EQ(m_store.connections[L""], user);
        c.between();

        m_store.calls.clear();
        RunInsideProxyCommand(CommandLine{L"insideproxy", L"resume", L"x", L"y"}.Command());
        EXPECT_EQ(m_store.connections[L""], c.live) << "nothing of this program's is left to undo";
        EXPECT_EQ(m_store.Count(Key::Set), 0u);
    }

    // With its own change pending the resume puts the user's settings back.
    ScopedProxyConfFiles::Remove();
    SetLan(user);
    RunInsideProxyCommand(
        CommandLine{L"insideproxy", L"set", L"x", L"http://inside.corp/in.pac"}.Command());
    RunInsideProxyCommand(CommandLine{L"insideproxy", L"RESUME", L"x", L"y"}.Command());
    EXPECT_EQ(m_store.connections[L""], user);
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 0);
}

TEST_F(BrowserSettingsTest, InsideProxySetAgainBeforeTheResumePointsAtTheNewScript) {
    const ConnectionProxyOptions user =
        Options(kDirect | kProxy, 0, L"", L"user.proxy:8080", L"*.corp;<local>");
    SetLan(user);
    RunInsideProxyCommand(CommandLine{L"insideproxy", L"set", L"x", L"http://one.corp/in.pac"}.Command());
    // A reconnect that brings another script before any resume ran.
    RunInsideProxyCommand(CommandLine{L"insideproxy", L"set", L"x", L"http://two.corp/in.pac"}.Command());
    EXPECT_EQ(m_store.connections[L""],
              Options(5, 0, L"http://two.corp/in.pac", std::nullopt, std::nullopt));
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"user.proxy:8080") << "the capture is kept";
    RunInsideProxyCommand(CommandLine{L"insideproxy", L"resume", L"x", L"y"}.Command());
    EXPECT_EQ(m_store.connections[L""], user);
}

// ---- Kill at every step ----------------------------------------------------

struct Killed {};

// capture (as before every connection), change (the split tunnel's script
// installed) and restore (the resume command), one operation at a time.
std::vector<std::function<void(CBrowserProxySetting&)>> CycleSteps() {
    return {
        [](CBrowserProxySetting& s) { ResumeChangedSettings(s); },
        [](CBrowserProxySetting& s) { s.OnSave(true, L"", L"gw.example.com", false, 0); },
        [](CBrowserProxySetting& s) {
            if (s.OnSetBrowserSetting(0)) s.OnSetResumeFlag(1);
        },
        [](CBrowserProxySetting& s) { ResumeChangedSettings(s); },
    };
}

TEST_F(BrowserSettingsTest, LongSettingsComeBackWhole) {
    // Longer than the fixed buffers of the detection (1,023 and 4,095
    // characters): a corporate bypass list of many entries, a long script
    // address and a long proxy list.
    std::wstring bypass;
    for (int i = 0; bypass.size() < 6000; ++i) bypass += FormatW(L"host%d.branch.corp;", i);
    bypass += L"<local>";
    const std::wstring url = L"http://pac.corp/" + std::wstring(1500, L'p') + L".pac";
    std::wstring server;
    for (int i = 0; server.size() < 1500; ++i) server += FormatW(L"http=p%d.corp:8080;", i);
    const ConnectionProxyOptions user = Options(kDirect | kProxy, 0, url, server, bypass);
    SetLan(user);
    for (const auto& step : CycleSteps()) step(m_setting);
    EXPECT_EQ(m_store.connections[L""], user) << "the restore cut the user's settings";
}

TEST_F(BrowserSettingsTest, KilledAtAnyStepTheNextRestoreBringsBackTheUsersSettings) {
    const ConnectionProxyOptions user =
        Options(kDirect | kProxy, 1, L"", L"user.proxy:8080", L"*.corp;<local>");
    // Every set of one whole cycle is a place to die, before or after it
    // applies; so is every point between two steps.
    SetLan(user);
    for (const auto& step : CycleSteps()) step(m_setting);
    ASSERT_EQ(m_store.connections[L""], user);
    const size_t setsInCycle = m_store.Sets().size();
    ASSERT_GE(setsInCycle, 2u);

    struct Kill {
        size_t atSet;      // 0: no kill inside a set
        bool afterApply;
        size_t afterStep;  // steps that ran whole when atSet is 0
    };
    std::vector<Kill> kills;
    for (size_t k = 1; k <= setsInCycle; ++k) {
        kills.push_back({k, false, 0});
        kills.push_back({k, true, 0});
    }
    for (size_t n = 1; n < CycleSteps().size(); ++n) kills.push_back({0, false, n});

    for (const Kill& kill : kills) {
        SCOPED_TRACE(testing::Message() << "set " << kill.atSet << (kill.afterApply ? " applied" : "")
                                        << " step " << kill.afterStep);
        ScopedProxyConfFiles::Remove();
        m_store.calls.clear();
        m_store.connections.clear();
        SetLan(user);
        size_t sets = 0;
        m_store.beforeSet = [&](size_t) {
            if (++sets != kill.atSet) return;
            if (kill.afterApply) m_store.connections[m_store.calls.back().connection] =
                                     m_store.calls.back().options;
            throw Killed{};
        };
        try {
            CBrowserProxySetting dying{};
            const auto steps = CycleSteps();
            for (size_t i = 0; i < steps.size(); ++i) {
                if (kill.atSet == 0 && i == kill.afterStep) break;
                steps[i](dying);
            }
        } catch (const Killed&) {
        }
        m_store.beforeSet = nullptr;

        CBrowserProxySetting next{};
        EXPECT_TRUE(ResumeChangedSettings(next));
        EXPECT_EQ(m_store.connections[L""], user) << "the user's settings are live again";
        // And the next capture records them, never the tunnel's script.
        EXPECT_EQ(next.OnSave(true, L"", L"gw.example.com", false, 0), 1);
        EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"user.proxy:8080");
        EXPECT_EQ(m_files.GetInt(K::IEProxyFlag), 3);
    }
}

}  // namespace
