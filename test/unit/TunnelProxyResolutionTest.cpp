// The proxy that a PAC script names for the tunnel: the answer parser, the
// engine's callbacks, the evaluation with the platform's engine against
// scripts served by the loopback HTTP double and read from local files, and
// the stored result.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "AutoProxyCallbacks.h"
#include "BrowserProxySetting.h"
#include "BrowserProxyTestSupport.h"
#include "ProxyIniTestSupport.h"
#include "ProxySettingsFake.h"
#include "ProxyString.h"
#include "StringUtil.h"
#include "WinHttpTestSupport.h"

using namespace BrowserProxyTest;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// ---- ParseProxyString -------------------------------------------------------

struct ProxyStringCase {
    const char* text;  // nullptr: no text
    int result;
    std::string host;  // expected when result is 1
    uint16_t port;
    const char* why;
};

const std::string kHost259(259, 'h');
const std::string kHost260(260, 'h');

const std::vector<ProxyStringCase> kProxyStringCases = {
    {" a:80", 1, "a", 80, "blank after the keyword"},
    {"\t a.corp:3128", 1, "a.corp", 3128, "blanks and tabs skipped"},
    {"a:80;b:81", 1, "a", 80, "only the first entry"},
    {"a:80 ; DIRECT", 1, "a", 80, "first entry, its blanks dropped"},
    {"http=a:80;https=b:443", 1, "b", 443, "per-scheme list gives its https entry"},
    {"HTTPS=b:443;http=a:80", 1, "b", 443, "scheme names without case"},
    {"http=a:80;ftp=c:21", 0, "", 0, "per-scheme list without https: no proxy"},
    {"http://a:8080", 1, "a", 8080, "scheme prefix stripped"},
    {"https://[fe80::2]:443", 1, "[fe80::2]", 443, "scheme prefix before a bracketed host"},
    {" [fe80::1]:1080", 1, "[fe80::1]", 1080, "bracketed host keeps its brackets"},
    {"[fe80::1]1080", 1, "[fe80::1]", 0, "a port only after ']:'"},
    {"[fe80::1]:1080;x", 1, "[fe80::1]", 1080, "';' after a bracketed port"},
    {"[fe80::1", 0, "", 0, "'[' without ']'"},
    {"fe80::1]", 0, "", 0, "']' without '['"},
    {"a", 1, "a", 0, "no port"},
    {"a:", 1, "a", 0, "empty port"},
    {"a:0", 1, "a", 0, "port 0 does not count"},
    {"a:65535", 1, "a", 65535, "highest port"},
    {"a:65536", 1, "a", 0, "port beyond 65535 does not count (never wraps)"},
    {"a:70000", 1, "a", 0, "port far beyond"},
    {"a:x80", 1, "a", 0, "port not starting with a digit"},
    {"a:80x", 1, "a", 80, "leading digits of the port"},
    {"a b:80", 1, "a b", 80, "blanks inside the host stay"},
    {":80", 0, "", 0, "no host"},
    {"", 0, "", 0, "empty text"},
    {"   ", 0, "", 0, "blanks only"},
    {nullptr, 0, "", 0, "no text"},
};

TEST(ParseProxyStringTest, AnswerTable) {
    std::vector<ProxyStringCase> cases = kProxyStringCases;
    const std::string atBound = kHost259 + ":81", overBound = kHost260 + ":81";
    const std::string bracketOver = "[" + std::string(300, 'f') + "]:81";
    cases.push_back({atBound.c_str(), 1, kHost259, 81, "259-byte host fits"});
    cases.push_back({overBound.c_str(), 0, "", 0, "260-byte host is refused, not cut"});
    cases.push_back({bracketOver.c_str(), 0, "", 0, "long bracketed host is refused"});
    for (const ProxyStringCase& c : cases) {
        SCOPED_TRACE(c.why);
        char host[kProxyHostBufferBytes + 8];
        std::memset(host, 'x', sizeof(host));
        std::strcpy(host, "keep");
        uint16_t port = 7;
        EXPECT_EQ(ParseProxyString(c.text, host, &port), c.result);
        if (c.result == 1) {
            EXPECT_EQ(std::string(host), c.host);
            EXPECT_EQ(port, c.port);
        } else if (c.text == nullptr || std::string(c.text).find_first_not_of(" \t") ==
                                            std::string::npos) {
            EXPECT_STREQ(host, "keep");
            EXPECT_EQ(port, 7);
        }
        EXPECT_EQ(host[kProxyHostBufferBytes], 'x') << "wrote past the host buffer";
    }
}

TEST(ParseProxyStringTest, NoHostBufferIsRefused) {
    uint16_t port = 7;
    EXPECT_EQ(ParseProxyString("a:80", nullptr, &port), 0);
    EXPECT_EQ(port, 7);
}

// ---- Callbacks --------------------------------------------------------------

TEST(AutoProxyCallbacksTest, TableHoldsTheFourHelpersInThePlatformOrder) {
    const AutoProxyHelperTable* table = g_AutoProxyHelpers.table;
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->IsResolvable, &IsResolvable);
    EXPECT_EQ(table->GetIPAddress, &GetIPAddress);
    EXPECT_EQ(table->ResolveHostName, &ResolveHostName);
    EXPECT_EQ(table->IsInNet, &IsInNet);
    for (void* slot : table->extended) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(sizeof(AutoProxyHelperTable), 9 * sizeof(void*));
}

TEST(AutoProxyCallbacksTest, ResolveHostNameCopiesNumericHostsWhenTheyFit) {
    ResolverDouble resolver;
    char host[] = "10.1.2.3";
    char out[32] = {};
    DWORD size = 8;  // the length: no room for the terminator
    EXPECT_EQ(ResolveHostName(host, out, &size), 122u);
    EXPECT_EQ(size, 9u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ResolveHostName(host, out, &size), 0u);
    EXPECT_STREQ(out, "10.1.2.3");
    size = 32;
    EXPECT_EQ(ResolveHostName(host, nullptr, &size), 122u);

    char v6[] = "fe80::1";
    size = sizeof(out);
    EXPECT_EQ(ResolveHostName(v6, out, &size), 0u);
    EXPECT_STREQ(out, "fe80::1");
}

TEST(AutoProxyCallbacksTest, ResolveHostNameGivesTheFirstIPv4AddressOfAName) {
    ResolverDouble resolver;
    resolver.honourNumericHint = true;
    resolver.names["proxy.corp"] = "10.9.8.7";
    resolver.names["v6only.corp"] = "fe80::5";
    char name[] = "proxy.corp";
    char out[16] = {};
    DWORD size = sizeof(out);
    EXPECT_EQ(ResolveHostName(name, out, &size), 0u);
    EXPECT_STREQ(out, "10.9.8.7");

    char small[4] = {};
    size = sizeof(small);
    EXPECT_EQ(ResolveHostName(name, small, &size), 12007u) << "text does not fit";

    char v6only[] = "v6only.corp";
    size = sizeof(out);
    EXPECT_EQ(ResolveHostName(v6only, out, &size), 12007u) << "no IPv4 answer";
    char unknown[] = "nowhere.corp";
    EXPECT_EQ(ResolveHostName(unknown, out, &size), 12007u);

    EXPECT_TRUE(IsResolvable(name));
    EXPECT_FALSE(IsResolvable(unknown));
}

TEST(AutoProxyCallbacksTest, GetIPAddressResolvesThisMachinesName) {
    ResolverDouble resolver;
    resolver.honourNumericHint = true;
    char machine[256] = {};
    ASSERT_EQ(::gethostname(machine, sizeof(machine)), 0);
    resolver.names[machine] = "192.0.2.44";
    char out[32] = {};
    DWORD size = sizeof(out);
    EXPECT_EQ(GetIPAddress(out, &size), 0u);
    EXPECT_STREQ(out, "192.0.2.44");
}

TEST(AutoProxyCallbacksTest, IsInNetTable) {
    struct Case {
        const char *address, *destination, *mask;
        BOOL expected;
    };
    const Case cases[] = {
        {"10.1.2.3", "10.1.0.0", "255.255.0.0", TRUE},
        {"10.2.2.3", "10.1.0.0", "255.255.0.0", FALSE},
        {"10.1.2.3", "10.1.2.3", "255.255.255.255", TRUE},  // all-ones mask is a mask
        {"10.1.2.3", "0.0.0.0", "0.0.0.0", TRUE},
        {"10.1.2.3", "255.255.255.255", "0.0.0.0", FALSE},  // destination is no address
        {"no.address", "10.1.0.0", "255.255.0.0", FALSE},
        {"10.1.2.3", "gw.corp", "255.255.0.0", FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + " " + c.destination + " " + c.mask);
        std::string a = c.address, d = c.destination, m = c.mask;
        EXPECT_EQ(IsInNet(a.data(), d.data(), m.data()), c.expected);
    }
}

// ---- Evaluation -------------------------------------------------------------

std::string Narrow(const std::wstring& text) { return CodePageFromWide(text, CP_THREAD_ACP); }

// A distinct script URL for each case, so no cached copy answers.
std::string ScriptUrl(const std::string& testCase, const std::string& answer) {
    std::string encoded;
    for (char c : answer) {
        if (c == ' ') encoded += "%20";
        else if (c == ';') encoded += "%3B";
        else encoded += c;
    }
    return Narrow(WinHttpTest::HttpDoubleUrl(L"/pac-case/")) + testCase + "/" + encoded;
}

size_t CountScriptTempFiles() {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    WIN32_FIND_DATAA found{};
    HANDLE find = ::FindFirstFileA((std::string(folder) + "pro*.tmp").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 0;
    size_t count = 0;
    do ++count;
    while (::FindNextFileA(find, &found));
    ::FindClose(find);
    return count;
}

struct Resolution {
    int32_t result;
    std::string host;
    uint16_t port;
    uint8_t socks;
};

class TunnelProxyResolutionTest : public ProxyIniTest::UserTempTest {
protected:
    void SetUp() override {
        UserTempTest::SetUp();
        ASSERT_NE(WinHttpTest::HttpDoublePort(), 0u) << "HTTP double not running";
    }
    Resolution Resolve(const std::string& url, const char* gateway = "gw.example.com") {
        CBrowserProxySetting setting{};
        char host[kProxyHostBufferBytes] = {};
        uint16_t port = 0;
        uint8_t socks = 0;
        const int32_t result =
            setting.ParseProxyHostAndPort(url.c_str(), gateway, host, &port, &socks, 0);
        return {result, host, port, socks};
    }
    ScopedProxyConfFiles m_files;
    // The prefix's own proxy would carry the script downloads.
    WinHttpTest::IESettings m_ie;
};

TEST_F(TunnelProxyResolutionTest, EngineAnswersForTheGateway) {
    struct Case {
        const char* name;
        std::string answer;
        Resolution expected;
    };
    const Case cases[] = {
        {"first-entry", "PROXY a.corp:80; DIRECT", {1, "a.corp", 80, 0}},
        {"socks-v6", "SOCKS [fe80::1]:1080", {1, "[fe80::1]", 1080, 1}},
        {"no-port", "PROXY a.corp", {1, "a.corp", 0, 0}},
        {"direct", "DIRECT", {0, "", 0, 0}},
        {"keyword-alone", "PROXY", {0, "", 0, 0}},
        {"lower-case", "proxy a.corp:80", {0, "", 0, 0}},
        {"bad-port", "PROXY a.corp:99999", {1, "a.corp", 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = CountScriptTempFiles();
        const Resolution got = Resolve(ScriptUrl(c.name, c.answer));
        EXPECT_EQ(got.result, c.expected.result);
        EXPECT_EQ(got.host, c.expected.host);
        EXPECT_EQ(got.port, c.expected.port);
        EXPECT_EQ(got.socks, c.expected.socks);
        EXPECT_EQ(CountScriptTempFiles(), before) << "temporary script left behind";
    }
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("ParseProxyAndSet: url 'https://gw.example.com', host 'gw.example.com'."));
    EXPECT_THAT(log, HasSubstr("ParseProxyAndSet: no proxy == direct access."));
    EXPECT_THAT(log, HasSubstr("ParseProxyAndSet: incorrectly formatted proxy string: 'proxy a.corp:80'."));
}

TEST_F(TunnelProxyResolutionTest, EngineIsGivenTheGatewayHost) {
    const std::string url = Narrow(WinHttpTest::HttpDoubleUrl(L"/pac-bypass/PROXY%20out.corp:8080"));
    EXPECT_EQ(Resolve(url, "gw.internal").result, 0);
    const Resolution outside = Resolve(url + "?2", "gw.example.com");
    EXPECT_EQ(outside.result, 1);
    EXPECT_EQ(outside.host, "out.corp");
    EXPECT_EQ(outside.port, 8080);
}

TEST_F(TunnelProxyResolutionTest, DownloadedScriptIsKeptAsProxyAutoPac) {
    ASSERT_EQ(Resolve(ScriptUrl("kept", "PROXY k.corp:81")).result, 1);
    const std::string kept = TestSupport::ReadTextFile(ProxyIni::AutoPacPath());
    EXPECT_THAT(kept, HasSubstr("PROXY k.corp:81"));
}

TEST_F(TunnelProxyResolutionTest, UnreachableScriptGivesNoProxy) {
    // A port nobody listens on: both downloads fail.
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&any), sizeof(any));
    int length = sizeof(any);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&any), &length);
    ::closesocket(s);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(any.sin_port)) + "/p.pac";
    EXPECT_EQ(Resolve(url).result, 0);
    EXPECT_THAT(LogText(), HasSubstr("is not downloaded by WinHttpOpen"));
    EXPECT_FALSE(TestSupport::FileExists(ProxyIni::AutoPacPath()));
}

TEST_F(TunnelProxyResolutionTest, ErrorPageIsNoScript) {
    EXPECT_EQ(Resolve(Narrow(WinHttpTest::HttpDoubleUrl(L"/status/404"))).result, 0);
}

TEST_F(TunnelProxyResolutionTest, LocalScriptsByPathAndFileUrl) {
    TestSupport::TempDir folder;
    const std::wstring file = folder.File(L"local.pac");
    {
        std::ofstream out(file.c_str(), std::ios::binary);
        out << "function FindProxyForURL(url, host) { return \"PROXY local.corp:3128\"; }\n";
    }
    const std::string path = Narrow(file);
    const Resolution byPath = Resolve(path);
    EXPECT_EQ(byPath.result, 1);
    EXPECT_EQ(byPath.host, "local.corp");
    EXPECT_EQ(byPath.port, 3128);

    std::string url = "file://" + path;
    for (char& c : url) {
        if (c == '\\') c = '/';
    }
    EXPECT_EQ(Resolve(url).result, 1) << url;

    EXPECT_EQ(Resolve(Narrow(folder.File(L"missing.pac"))).result, 0);
    EXPECT_THAT(LogText(), HasSubstr("ParseProxyAndSet: failed to copy script"));
}

TEST_F(TunnelProxyResolutionTest, StoredResultIsUsedWithoutEvaluating) {
    m_files.Write([](ProxyIni::Editor& e) {
        e.Set(ProxyIni::Key::ProxyScriptRunning, 1);
        e.Set(ProxyIni::Key::ProxySSLHost, L"stored.corp");
        e.Set(ProxyIni::Key::ProxySSLPort, L"3129");
    });
    const Resolution stored = Resolve("http://127.0.0.1:1/never-fetched.pac");
    EXPECT_EQ(stored.result, 1);
    EXPECT_EQ(stored.host, "stored.corp");
    EXPECT_EQ(stored.port, 3129);
    EXPECT_THAT(LogText(), HasSubstr("ParseProxyHostAndPortForURL: find stored.corp:3129"));
    EXPECT_THAT(LogText(), Not(HasSubstr("ParseProxyAndSet")));
}

TEST_F(TunnelProxyResolutionTest, StoredEmptyResultIsNoProxy) {
    m_files.Write([](ProxyIni::Editor& e) { e.Set(ProxyIni::Key::ProxyScriptRunning, 1); });
    EXPECT_EQ(Resolve(ScriptUrl("stored-empty", "PROXY x.corp:1")).result, 0);
    EXPECT_THAT(LogText(), Not(HasSubstr("ParseProxyAndSet")));
}

TEST_F(TunnelProxyResolutionTest, NoStoredResultEvaluates) {
    m_files.Write([](ProxyIni::Editor& e) {
        e.Set(ProxyIni::Key::ProxyScriptRunning, 0);
        e.Set(ProxyIni::Key::ProxySSLHost, L"stale.corp");
    });
    const Resolution got = Resolve(ScriptUrl("not-stored", "PROXY fresh.corp:82"));
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.host, "fresh.corp");
}

TEST_F(TunnelProxyResolutionTest, MissingInputsGiveNoProxy) {
    CBrowserProxySetting setting{};
    char host[kProxyHostBufferBytes] = {};
    uint16_t port = 0;
    uint8_t socks = 0;
    EXPECT_EQ(setting.ParseProxyHostAndPort(nullptr, "gw", host, &port, &socks, 0), 0);
    EXPECT_EQ(setting.ParseProxyHostAndPort("x.pac", nullptr, host, &port, &socks, 0), 0);
    EXPECT_EQ(setting.ParseProxyHostAndPort("x.pac", "gw", nullptr, &port, &socks, 0), 0);
}

}  // namespace
