// The tunnel's PAC script: every generated Proxy.pac is run by the
// platform's PAC engine, which must parse it and give the expected answer
// for each URL; the text helpers are checked on their own where the engine
// cannot show a fault.
#include <winsock2.h>
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BrowserProxySetting.h"
#include "PacEngine.h"
#include "PacScript.h"
#include "ProxyCommands.h"
#include "ProxyIniTestSupport.h"
#include "ProxySettingsFake.h"
#include "StringUtil.h"

using namespace BrowserProxyTest;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

namespace K = ProxyIni::Key;

ZoneEntry Zone(const char* address, const char* mask) {
    return {::inet_addr(address), ::inet_addr(mask)};
}

struct Saved {
    int flags = 3;
    int autoFlags = 0;
    std::wstring script, server, bypass, wpad;
};

struct Probe {
    const char* url;
    const char* host;
    const char* answer;
};

class PacScriptTest : public ProxyIniTest::UserTempTest {
protected:
    void SetUp() override {
        UserTempTest::SetUp();
        m_listenPort.SetDword(L"proxylistenport", 51234);
    }
    static void Save(const Saved& saved) {
        ScopedProxyConfFiles::Write([&](ProxyIni::Editor& e) {
            e.Set(K::IEProxyFlag, saved.flags);
            e.Set(K::IEProxyAutoFlag, saved.autoFlags);
            e.Set(K::IEProxyScript, saved.script);
            e.Set(K::IEProxyServer, saved.server);
            e.Set(K::IEProxyByPass, saved.bypass);
            e.Set(K::ProxyAutoURL, saved.wpad);
        });
    }
    static std::string PacText() {
        std::ifstream in(ProxyIni::PacPath().c_str(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static bool PacExists() {
        return ::GetFileAttributesW(ProxyIni::PacPath().c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    // Every probe answered by the engine from the generated file.
    static void ExpectAnswers(const std::vector<Probe>& probes) {
        const std::string path = CodePageFromWide(ProxyIni::PacPath(), CP_THREAD_ACP);
        for (const Probe& probe : probes) {
            std::string error;
            const std::optional<std::string> answer =
                PacEngine::Evaluate(path, probe.url, probe.host, &error);
            ASSERT_TRUE(answer.has_value()) << error << " for " << probe.url << "\n" << PacText();
            EXPECT_EQ(*answer, probe.answer) << probe.url;
        }
    }

    ScopedProxyConfFiles m_files;
    FakeProxySettingsStore m_store;
    TestSupport::ScopedRegistryKey m_listenPort{HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\Install Manager"};
    CBrowserProxySetting m_setting{};
    ZoneList m_include, m_exclude;
};

// ---- The script the engine runs ---------------------------------------------

TEST_F(PacScriptTest, SplitTunnelWithManualProxyAndBypassList) {
    // Empty entries, an all-<local> tail, regular-expression metacharacters
    // and a '/' must neither break the script nor widen the match.
    Save({3, 0, L"", L"p:8080", L"<local>;;*.intra.corp;a+b.corp;x/y; ;<local>", L""});
    m_exclude.zones = {Zone("192.168.5.0", "255.255.255.0")};
    m_include.zones = {Zone("10.1.0.0", "255.255.0.0"), Zone("172.16.0.0", "255.240.0.0")};
    ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 0, nullptr), 1);
    ExpectAnswers({
        {"http://127.0.0.1/", "127.0.0.1", "DIRECT"},
        {"http://localhost/", "localhost", "DIRECT"},
        {"https://gw.example.com/", "gw.example.com", "PROXY p:8080"},
        {"http://192.168.5.7/", "192.168.5.7", "PROXY p:8080"},
        {"http://10.1.2.3/", "10.1.2.3", "DIRECT"},
        {"http://172.20.0.9/", "172.20.0.9", "DIRECT"},
        {"http://printer/", "printer", "DIRECT"},
        {"http://a.intra.corp/", "a.intra.corp", "DIRECT"},
        {"http://a+b.corp/", "a+b.corp", "DIRECT"},
        {"http://aab.corp/", "aab.corp", "PROXY p:8080"},
        {"http://x/y/", "x/y", "DIRECT"},
        {"http://www.example.org/", "www.example.org", "PROXY p:8080"},
    });
    const std::vector<StoreCall> sets = m_store.Sets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].connection, L"");
    EXPECT_EQ(sets[0].options.autoConfigUrl.value_or(L""), L"http://127.0.0.1:51234/Proxy.pac");
    EXPECT_EQ(ScopedProxyConfFiles::GetInt(K::IEProxyShouldResume), 1);
}

TEST_F(PacScriptTest, FullTunnelSendsOnlyTheGatewayAndExcludeZonesOutside) {
    Save({3, 0, L"", L"p:8080", L"<local>", L""});
    m_exclude.zones = {Zone("192.168.5.0", "255.255.255.0")};
    m_include.zones = {Zone("10.1.0.0", "255.255.0.0")};
    ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 1, ""), 1);
    ExpectAnswers({
        {"https://gw.example.com/", "gw.example.com", "PROXY p:8080"},
        {"http://192.168.5.7/", "192.168.5.7", "PROXY p:8080"},
        {"http://10.1.2.3/", "10.1.2.3", "DIRECT"},
        {"http://www.example.org/", "www.example.org", "DIRECT"},
        {"http://printer/", "printer", "DIRECT"},
    });
    EXPECT_THAT(PacText(), Not(HasSubstr("10.1.0.0")));
    EXPECT_THAT(PacText(), Not(HasSubstr("isPlainHostName")));
    const std::vector<StoreCall> sets = m_store.Sets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].connection, kVpnDialUpEntry);
    EXPECT_EQ(ScopedProxyConfFiles::GetInt(K::IEProxyShouldResumeDial), 1);
}

TEST_F(PacScriptTest, ManualProxiesPerProtocolAndSocks) {
    struct Case {
        const wchar_t* server;
        std::vector<Probe> probes;
    };
    const Case cases[] = {
        {L"http=a:80;https=b:443;ftp=ftp://f:21",
         {{"https://gw.example.com/", "gw.example.com", "PROXY b:443"},
          {"http://www.example.org/", "www.example.org", "PROXY a:80"},
          {"https://www.example.org/", "www.example.org", "PROXY b:443"},
          {"ftp://www.example.org/", "www.example.org", "PROXY f:21"},
          {"http://printer/", "printer", "DIRECT"}}},
        {L"socks=s:1080",
         {{"https://gw.example.com/", "gw.example.com", "SOCKS s:1080"},
          {"http://www.example.org/", "www.example.org", "SOCKS s:1080"},
          {"http://printer/", "printer", "DIRECT"}}},
        // An entry of another scheme names no proxy: the rest goes direct.
        {L"socks://s:1", {{"http://www.example.org/", "www.example.org", "DIRECT"}}},
        // A quote in the user's server text stays inside the literal.
        {L"p\"q:8", {{"http://www.example.org/", "www.example.org", "PROXY p\"q:8"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CodePageFromWide(c.server, CP_UTF8));
        Save({3, 0, L"", c.server, L"<local>", L""});
        ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 0, nullptr), 1);
        ExpectAnswers(c.probes);
    }
}

TEST_F(PacScriptTest, RemoteUserScriptIsEmbeddedUnderItsOwnName) {
    // Upper-case scheme: still a script fetched over the network.
    Save({5, 0, L"HTTPS://pac.corp/user.pac", L"", L"", L""});
    const char* user =
        "function FindProxyForURL(url, host) {\r\n"
        "  if (dnsDomainIs(host, \".example.com\")) return \"PROXY in.corp:3128\";\r\n"
        "  return \"PROXY out.corp:1\";\r\n}\r\n";
    m_include.zones = {Zone("10.1.0.0", "255.255.0.0")};
    m_exclude.zones = {Zone("192.168.5.0", "255.255.255.0")};
    ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 0, user), 1);
    ExpectAnswers({
        {"https://gw.example.com/", "gw.example.com", "PROXY in.corp:3128"},
        {"http://192.168.5.7/", "192.168.5.7", "PROXY out.corp:1"},
        {"http://10.1.2.3/", "10.1.2.3", "DIRECT"},
        {"http://www.example.org/", "www.example.org", "PROXY out.corp:1"},
    });
    const std::string text = PacText();
    EXPECT_THAT(text, HasSubstr("function FindProxyForURL_OutsideProxy(url, host)"));
    // Line ends are CR LF throughout, also where the user's text had them.
    EXPECT_THAT(text, Not(HasSubstr("\r\r\n")));
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ASSERT_GT(at, 0u);
        ASSERT_EQ(text[at - 1], '\r') << "lone line feed at " << at;
    }
}

TEST_F(PacScriptTest, RemoteScriptWithoutEntryFunctionFallsBackToDirect) {
    Save({5, 0, L"http://pac.corp/user.pac", L"", L"", L""});
    ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 0, ""), 1);
    ExpectAnswers({{"https://gw.example.com/", "gw.example.com", "DIRECT"},
                   {"http://www.example.org/", "www.example.org", "DIRECT"}});
}

TEST_F(PacScriptTest, LocalUserScriptIsCopiedAsBackupAndEmbedded) {
    const std::wstring user = m_temp.File(L"user.pac");
    std::ofstream(user.c_str(), std::ios::binary)
        << "function FindProxyForURL(url, host)\n{\n  return \"PROXY local.corp:8\";\n}\n";
    std::wstring url = L"file://" + user;
    for (wchar_t& c : url) c = c == L'\\' ? L'/' : c;
    Save({5, 0, url, L"", L"", L""});
    m_include.zones = {Zone("10.1.0.0", "255.255.0.0")};
    ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 0, nullptr), 1);
    ExpectAnswers({{"https://gw.example.com/", "gw.example.com", "PROXY local.corp:8"},
                   {"http://10.1.2.3/", "10.1.2.3", "DIRECT"},
                   {"http://www.example.org/", "www.example.org", "PROXY local.corp:8"}});
    EXPECT_NE(::GetFileAttributesW(ProxyIni::BackupPacPath().c_str()), INVALID_FILE_ATTRIBUTES);

    // A local script that is gone: generated without it.
    ::DeleteFileW(user.c_str());
    ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 0, nullptr), 1);
    ExpectAnswers({{"http://www.example.org/", "www.example.org", "DIRECT"}});
    EXPECT_EQ(LogCount("user.pac is not exist"), 1u);
}

TEST_F(PacScriptTest, LongProxyListKeepsTheHttpsPort) {
    // The https entry's port begins at the 1,022nd character, where a list
    // cut to 1,023 would leave 84.
    Save({3, 0, L"",
          L"ftp=" + std::wstring(495, L'f') + L":21;http=" + std::wstring(496, L'h') +
              L":80;https=b.corp:8443",
          L"", L""});
    ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 0, nullptr), 1);
    ExpectAnswers({
        {"https://gw.example.com/", "gw.example.com", "PROXY b.corp:8443"},
        {"https://www.example.org/", "www.example.org", "PROXY b.corp:8443"},
    });
}

// ---- When nothing is written ------------------------------------------------

TEST_F(PacScriptTest, NothingChangesWithoutOutsideProxyOrWithAHostileGatewayHost) {
    struct Case {
        Saved saved;
        const char* gateway;
        const char* outside;
    };
    const Case cases[] = {
        {{1, 0, L"", L"", L"", L""}, "gw.example.com", nullptr},                // direct only
        {{9, 0, L"", L"", L"", L"http://wpad/wpad.dat"}, "gw.example.com", ""},  // detection, no script
        // The capture as the resume leaves it reset: only the address detection
        // found at the last capture is left, and nothing of the user's to put back.
        {{1, 0, L"", L"", L"", L"http://wpad/wpad.dat"}, "gw.example.com",
         "function FindProxyForURL(url, host) { return \"PROXY w:1\"; }"},
        {{3, 0, L"", L"p:8080", L"", L""}, "gw\"); return \"PROXY evil:1\"; (\"", nullptr},
        {{3, 0, L"", L"p:8080", L"", L""}, "gw.example.com/x", nullptr},
        {{3, 0, L"", L"p:8080", L"", L""}, "", nullptr},
        {{3, 0, L"", L"p:8080", L"", L""}, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gateway ? c.gateway : "(null)");
        Save(c.saved);
        EXPECT_EQ(m_setting.OnGenerateScriptAndSetBV(c.gateway, m_include, m_exclude, 0, c.outside), 0);
        EXPECT_FALSE(PacExists());
        EXPECT_TRUE(m_store.Sets().empty());
    }
}

TEST_F(PacScriptTest, NoMoreThanTheZoneLimitIsWritten) {
    Save({3, 0, L"", L"p:8080", L"", L""});
    m_include.zones.assign(kMaxZones + 5, Zone("10.1.0.0", "255.255.0.0"));
    ASSERT_EQ(m_setting.OnGenerateScriptAndSetBV("gw.example.com", m_include, m_exclude, 0, nullptr), 1);
    const std::string text = PacText();
    size_t count = 0;
    for (size_t at = text.find("isInNet"); at != std::string::npos; at = text.find("isInNet", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, kMaxZones);
}

// ---- The helpers --------------------------------------------------------------

TEST(PacTextTest, ConvertedStringRenamesDefinitionsAndCalls) {
    CBrowserProxySetting setting{};
    const struct {
        const char* text;
        const char* converted;
    } cases[] = {
        {"function FindProxyForURL(url, host)", "function FindProxyForURL_X(url, host)"},
        {"return FindProxyForURL (url, host);", "return FindProxyForURL_X (url, host);"},
        {"function MyFindProxyForURLEx(u,h){}", "function MyFindProxyForURLEx_X(u,h){}"},
        {"if (FindProxyForURL(url, host))", "if (FindProxyForURL(url, host))"},
        {"var s = \"FindProxyForURL(\";", "var s = \"FindProxyForURL_X(\";"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(setting.GetConvertedString(c.text, "_X"), c.converted);
    EXPECT_EQ(setting.GetConvertedString(nullptr, "_X"), "");
}

TEST(PacTextTest, StripProxyScheme) {
    CBrowserProxySetting setting{};
    const struct {
        const char* address;
        const char* stripped;  // null: no proxy
    } cases[] = {
        {"p:80", "p:80"}, {"http://p:80", "p:80"}, {"HTTPS://p:80", "p:80"},
        {"ftp://p", "p"}, {"socks://p:1080", nullptr}, {"", ""},
    };
    for (const auto& c : cases) {
        const char* result = setting.StripProxyScheme(c.address);
        if (!c.stripped) {
            EXPECT_EQ(result, nullptr) << c.address;
        } else {
            ASSERT_NE(result, nullptr) << c.address;
            EXPECT_STREQ(result, c.stripped);
        }
    }
    EXPECT_EQ(setting.StripProxyScheme(nullptr), nullptr);
}

TEST(PacTextTest, BypassConditionEscapesAndSkipsEmptyEntries) {
    const struct {
        const char* list;
        const char* condition;
    } cases[] = {
        {"", ""},
        {";;", ""},
        {"<local>", "\tif(isPlainHostName(host)) {\n\t\treturn \"DIRECT\";\n\t}\n"},
        {"<local>;<local>", "\tif(isPlainHostName(host)) {\n\t\treturn \"DIRECT\";\n\t}\n"},
        {"10.*;192.168.1.*;<local>",
         "\tif(isPlainHostName(host) || host.search(/10\\..*|192\\.168\\.1\\..*/) >= 0) {\n"
         "\t\treturn \"DIRECT\";\n\t}\n"},
        {"a(b);c/d;e\tf", "\tif(host.search(/a\\(b\\)|c\\/d|e\\x09f/) >= 0) {\n"
                          "\t\treturn \"DIRECT\";\n\t}\n"},
    };
    for (const auto& c : cases) {
        std::string out;
        AppendBypassCondition(out, c.list);
        EXPECT_EQ(out, c.condition) << c.list;
    }
}

TEST(PacTextTest, GatewayHostCharacters) {
    for (const char* good : {"gw.example.com", "10.0.0.1", "[fe80::1]", "a-b.c"}) {
        EXPECT_TRUE(IsGatewayHostText(good)) << good;
    }
    for (const char* bad : {"", "gw\"x", "gw\\x", "gw x", "gw/x", "g\xE9w", "gw;x"}) {
        EXPECT_FALSE(IsGatewayHostText(bad)) << bad;
    }
    EXPECT_EQ(EscapeForScriptString("a\\b\"c\n"), "a\\\\b\\\"c\\x0A");
}

// ---- The user's outside proxy ------------------------------------------------

class OutsideProxyTest : public PacScriptTest {};

TEST_F(OutsideProxyTest, ServerTextToHostAndPort) {
    const std::string longHost(300, 'h');
    const struct {
        int flags;
        std::wstring server;
        int32_t result;
        std::string host;
        uint16_t port;
        uint8_t socks;
    } cases[] = {
        {3, L"p:8080", 1, "p", 8080, 0},
        {3, L"http://p:8080", 1, "p", 8080, 0},
        {3, L"p", 1, "p", 0, 0},
        {3, L"http=a:80;https=b:443", 1, "b", 443, 0},
        {3, L"socks=s:1080", 1, "s", 1080, 1},
        {3, L"https=https://h:3;ftp=f:1", 1, "h", 3, 0},
        {3, L"https=[fe80::1]:8443;http=x:1", 1, "[fe80::1]", 8443, 0},
        // The port is read only after "]:"; a later entry's brackets are not this one's.
        {3, L"https=[fe80::1]x9;http=x:1", 1, "[fe80::1]", 0, 0},
        {3, L"https=b:443;ftp=[x]:9", 1, "b", 443, 0},
        {3, L"https=[" + std::wstring(300, L'a') + L"]:1", 0, "", 0, 0},
        {3, L"http=a:80", 0, "", 0, 0},
        {3, L"", 0, "", 0, 0},
        {1, L"p:8080", 0, "", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(CodePageFromWide(c.server.substr(0, 40), CP_UTF8));
        Save({c.flags, 0, L"", c.server, L"", L""});
        char host[260] = {};
        uint16_t port = 0;
        uint8_t socks = 0;
        EXPECT_EQ(m_setting.GetProxyServerAndPort(host, &port, &socks, 1), c.result);
        EXPECT_EQ(std::string(host), c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(socks, c.socks);
    }
}

TEST_F(OutsideProxyTest, ScriptSettingsUseTheStoredTunnelProxy) {
    Save({5, 0, L"http://pac.corp/p.pac", L"", L"", L""});
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::ProxySSLHost, L"evaluated.corp");
        e.Set(K::ProxySSLPort, L"3128");
    });
    char host[260] = {};
    uint16_t port = 0;
    uint8_t socks = 0;
    EXPECT_EQ(m_setting.GetProxyServerAndPort(host, &port, &socks, 1), 1);
    EXPECT_STREQ(host, "evaluated.corp");
    EXPECT_EQ(port, 3128);
}

TEST_F(OutsideProxyTest, RemoteScriptAddress) {
    const struct {
        Saved saved;
        int32_t remote;
        const wchar_t* url;
    } cases[] = {
        {{5, 0, L"http://pac.corp/a.pac", L"", L"", L""}, 1, L"http://pac.corp/a.pac"},
        {{5, 0, L"HTTPS://pac.corp/a.pac", L"", L"", L""}, 1, L"HTTPS://pac.corp/a.pac"},
        {{5, 0, L"file://C:/a.pac", L"", L"", L""}, 0, L""},
        {{5, 0, L"C:\\http://a.pac", L"", L"", L""}, 0, L""},
        {{3, 0, L"http://pac.corp/a.pac", L"p:1", L"", L""}, 0, L""},
        {{9, 0, L"", L"", L"", L"http://wpad/wpad.dat"}, 1, L"http://wpad/wpad.dat"},
        {{1, 4, L"", L"", L"", L"Http://wpad/wpad.dat"}, 1, L"Http://wpad/wpad.dat"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(CodePageFromWide(c.saved.script + c.saved.wpad, CP_UTF8));
        Save(c.saved);
        wchar_t url[1024] = {};
        EXPECT_EQ(m_setting.IsProxyScriptInRemote(url), c.remote);
        EXPECT_STREQ(url, c.url);
    }
    // Captured Firefox settings with a script of their own decide.
    Save({1, 0, L"", L"", L"", L""});
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::FFBrowserRunning, 1);
        e.Set(K::FFProxyFlag, 2);
        e.Set(K::FFProxyScript, L"http://ff.corp/ff.pac");
    });
    wchar_t url[1024] = {};
    EXPECT_EQ(m_setting.IsProxyScriptInRemote(url), 1);
    EXPECT_STREQ(url, L"http://ff.corp/ff.pac");
}

}  // namespace

// ---- Zones as the client leaves them -------------------------------------------

namespace {

TEST(ZoneValueTest, PartsAreTrimmedAndMissingPartsCarryOver) {
    std::string address, mask;
    const struct {
        const char* value;
        const char* address;
        const char* mask;
    } cases[] = {
        {"mask-less first zone", "255.255.255.255", "255.255.255.255"},
        {"virip=10.1.0.0@mask=255.255.0.0", "10.1.0.0", "255.255.0.0"},
        {"virip= 10.2.0.0 @mask= 255.255.255.0 ", "10.2.0.0", "255.255.255.0"},
        {"virip=10.3.0.0", "10.3.0.0", "255.255.255.0"},
        {"@mask=255.0.0.0", "10.3.0.0", "255.0.0.0"},
        {"virip=not-an-address@mask=255.0.0.0", "255.255.255.255", "255.0.0.0"},
    };
    for (const auto& c : cases) {
        const ZoneEntry zone = ParseZoneValue(c.value, address, mask);
        EXPECT_EQ(zone.address, ::inet_addr(c.address)) << c.value;
        EXPECT_EQ(zone.mask, ::inet_addr(c.mask)) << c.value;
    }
    // Network byte order: the first octet is the first byte in memory.
    address.clear();
    const ZoneEntry zone = ParseZoneValue("virip=10.1.0.0@mask=255.255.0.0", address, mask);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&zone.address)[0], 10);
}

TEST(ZoneValueTest, RegistryListIsCappedAtTheZoneLimit) {
    TestSupport::ScopedRegistryKey key(HKEY_CURRENT_USER, L"Software\\QuarloTest\\Zones");
    key.SetDword(L"number", static_cast<DWORD>(kMaxZones + 3));
    key.SetString(L"include_0", L"virip=10.1.0.0@mask=255.255.0.0");
    ZoneList list;
    std::string address, mask;
    ReadZoneList(L"Software\\QuarloTest\\Zones", "include", list, address, mask);
    ASSERT_EQ(list.zones.size(), kMaxZones);
    EXPECT_EQ(list.zones[0].address, ::inet_addr("10.1.0.0"));
    // Missing values carry the first zone's parts.
    EXPECT_EQ(list.zones[kMaxZones - 1].mask, ::inet_addr("255.255.0.0"));
    key.SetDword(L"number", 0xFFFFFFFF);  // negative as a signed count: no zones
    ReadZoneList(L"Software\\QuarloTest\\Zones", "include", list, address, mask);
    EXPECT_TRUE(list.zones.empty());
}

}  // namespace
