// The console user's proxy for the gateway: proxy texts, Internet Explorer
// settings in the test prefix, PAC scripts served by the HTTP double.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cwchar>
#include <string>

#include "ProxyTransport.h"
#include "WinHttpTestSupport.h"

using QuarloSocket::ActiveUserProxy;
using QuarloSocket::ParseProxyAddressAndPort;
using QuarloSocket::QueryActiveUserIEProxyConfig;
using WinHttpTest::ConsoleUser;
using WinHttpTest::IESettings;

namespace {

struct ParseCase {
    const wchar_t* text;
    HRESULT result;
    const char* host;
    uint16_t port;
};

const ParseCase kParseCases[] = {
    {L"proxy:8080", S_OK, "proxy", 8080},
    {L"http=a:80;https=b:443", S_OK, "b", 443},
    {L"https=b:443;http=a:80", S_OK, "b", 443},
    {L"http=a:80;ftp=c:21", S_OK, "a", 80},
    {L"[fe80::1]:3128", S_OK, "[fe80::1]", 3128},
    {L"[::1]:8080", S_OK, "[::1]", 8080},
    // The https entry wins in a list of bracketed entries too.
    {L"http=[::1]:80;https=[::2]:443", S_OK, "[::2]", 443},
    {L"http://proxy:8080/", S_OK, "proxy", 8080},
    // Lists that automatic configuration scripts answer.
    {L"a:80;b:81", S_OK, "a", 80},
    {L"a:80 b:81", S_OK, "a", 80},
    {L"[fe80::1", E_FAIL, "", 0},
    {L"fe80::1]:80", E_FAIL, "", 0},
    {L"]::1[:80", E_FAIL, "", 0},
    {L"[]:80", E_FAIL, "", 0},
    // An entry without a port names the proxy at port 80, as everywhere in
    // the system's proxy settings.
    {L"[::1]", S_OK, "[::1]", 80},
    {L"proxy", S_OK, "proxy", 80},
    {L"http=a;https=b", S_OK, "b", 80},
    {L"http://proxy/", S_OK, "proxy", 80},
    {L"[::1]8080", E_FAIL, "[::1]", 0},
    // Without brackets an IPv6 literal cannot be split from its port.
    {L"fe80::1:3128", E_FAIL, "", 0},
    {L"proxy:", E_FAIL, "proxy", 0},
    {L"proxy:0", E_FAIL, "proxy", 0},
    {L"proxy:65536", E_FAIL, "proxy", 0},
    {L"proxy:65535", S_OK, "proxy", 65535},
    {L":8080", E_FAIL, "", 8080},
    {L"", E_FAIL, "", 0},
    // No code page holds it: never best-fitted into another host.
    {L"\U0001F600proxy:8080", E_FAIL, "", 0},
};

TEST(ParseProxyAddress, GivesHostAndPortOfEveryForm) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(testing::Message() << "text " << std::string(c.text, c.text + std::wcslen(c.text)));
        std::string host = "stale";
        uint16_t port = 1;
        EXPECT_EQ(ParseProxyAddressAndPort(c.text, host, port), c.result);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
}

TEST(ParseProxyAddress, NullTextFailsWithNothing) {
    std::string host = "stale";
    uint16_t port = 9;
    EXPECT_EQ(ParseProxyAddressAndPort(nullptr, host, port), E_FAIL);
    EXPECT_EQ(host, "");
    EXPECT_EQ(port, 0);
}

std::string PacUrl(const std::string& answer) {
    return "http://" + WinHttpTest::HttpDoubleAddress() + "/pac/" + answer;
}

void ExpectProxy(const ActiveUserProxy& found, const std::string& host, uint16_t port) {
    EXPECT_EQ(found.useProxy, 1u);
    EXPECT_EQ(found.inBypassList, 0u);
    EXPECT_EQ(found.proxyHost, host);
    EXPECT_EQ(found.proxyPort, port);
}

class ActiveUserIEProxy : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(WinHttpTest::HttpDoublePort(), 0u) << "HTTP double not running"; }
    IESettings settings;
    ActiveUserProxy result;
};

TEST_F(ActiveUserIEProxy, StaticProxyOfTheOwnUserWithoutImpersonation) {
    settings.Set(WinHttpTest::kIEDirect | WinHttpTest::kIEProxy, "proxy.corp:3128", "", "");
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    ExpectProxy(result, "proxy.corp", 3128);
}

TEST_F(ActiveUserIEProxy, NoProxyGivesNone) {
    settings.Set(WinHttpTest::kIEDirect, "", "", "");
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    EXPECT_EQ(result.useProxy, 0u);
    EXPECT_EQ(result.proxyHost, "");
}

TEST_F(ActiveUserIEProxy, BypassedGatewayGoesDirectWithoutTheScript) {
    // The script would fail (no such path); a bypassed gateway never asks it.
    settings.Set(WinHttpTest::kIEProxy | WinHttpTest::kIEAutoConfigUrl, "proxy.corp:3128",
                 "*.example.com;<local>", "http://" + WinHttpTest::HttpDoubleAddress() + "/missing.pac");
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    EXPECT_EQ(result.inBypassList, 1u);
    EXPECT_EQ(result.useProxy, 0u);
    EXPECT_EQ(result.proxyHost, "");
}

TEST_F(ActiveUserIEProxy, ScriptAnswerWinsOverTheStaticProxy) {
    settings.Set(WinHttpTest::kIEProxy | WinHttpTest::kIEAutoConfigUrl, "static.corp:1",
                 "*.other.com", PacUrl("PROXY%20[::1]:8080"));
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    ExpectProxy(result, "[::1]", 8080);
}

TEST_F(ActiveUserIEProxy, ScriptAnsweringDirectGivesNone) {
    settings.Set(WinHttpTest::kIEAutoConfigUrl, "", "", PacUrl("DIRECT"));
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    EXPECT_EQ(result.useProxy, 0u);
}

TEST_F(ActiveUserIEProxy, ScriptThatDecidesByHost) {
    settings.Set(WinHttpTest::kIEAutoConfigUrl, "", "",
                 "http://" + WinHttpTest::HttpDoubleAddress() + "/pac-bypass/PROXY%20pac.corp:8081");
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.internal"), S_OK);
    EXPECT_EQ(result.useProxy, 0u);
    ActiveUserProxy outside;
    EXPECT_EQ(QueryActiveUserIEProxyConfig(outside, "gw.example.com"), S_OK);
    ExpectProxy(outside, "pac.corp", 8081);
}

TEST_F(ActiveUserIEProxy, FailedScriptGivesNoneAndTheStaticProxyIsNotUsed) {
    settings.Set(WinHttpTest::kIEProxy | WinHttpTest::kIEAutoConfigUrl, "static.corp:3128", "",
                 "http://" + WinHttpTest::HttpDoubleAddress() + "/missing.pac");
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    EXPECT_EQ(result.useProxy, 0u);
    EXPECT_EQ(result.proxyHost, "");
}

TEST_F(ActiveUserIEProxy, UnparsableProxyStillAsksForAProxy) {
    settings.Set(WinHttpTest::kIEProxy, "proxy.corp:", "", "");
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), E_FAIL);
    EXPECT_EQ(result.useProxy, 1u);
    EXPECT_EQ(result.proxyPort, 0);
}

TEST_F(ActiveUserIEProxy, ProxyWithoutAPortIsAtPort80) {
    settings.Set(WinHttpTest::kIEProxy, "proxy.corp", "", "");
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    EXPECT_EQ(result.useProxy, 1u);
    EXPECT_EQ(result.proxyHost, "proxy.corp");
    EXPECT_EQ(result.proxyPort, 80);
}

TEST_F(ActiveUserIEProxy, LocalSystemImpersonatesTheConsoleUserAndReverts) {
    settings.Set(WinHttpTest::kIEProxy, "proxy.corp:3128", "", "");
    ConsoleUser console;
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    EXPECT_EQ(console.tokenQueries, std::vector<ULONG>{1});
    EXPECT_EQ(result.proxyHost, "proxy.corp");
    EXPECT_FALSE(ConsoleUser::ThreadImpersonates());
}

TEST_F(ActiveUserIEProxy, LocalSystemFallsBackToTheFirstActiveSessionWithAToken) {
    settings.Set(WinHttpTest::kIEProxy, "proxy.corp:3128", "", "");
    ConsoleUser console;
    console.consoleTokenAvailable = false;
    console.sessions = {{2, nullptr, WTSDisconnected}, {3, nullptr, WTSActive}, {4, nullptr, WTSActive}};
    console.activeTokenSessions = {2, 3, 4};
    EXPECT_EQ(QueryActiveUserIEProxyConfig(result, "gw.example.com"), S_OK);
    EXPECT_EQ(console.tokenQueries, (std::vector<ULONG>{1, 3}));
    EXPECT_EQ(result.useProxy, 1u);
    EXPECT_FALSE(ConsoleUser::ThreadImpersonates());
}

TEST_F(ActiveUserIEProxy, LocalSystemWithoutAConsoleUserIsDeniedAndUsesNoProxy) {
    settings.Set(WinHttpTest::kIEProxy, "proxy.corp:3128", "", "");
    struct Case {
        const char* name;
        bool listAvailable, listEmpty, notAToken;
    } cases[] = {
        {"list fails", false, false, false},
        {"list is null", true, true, false},
        {"no active session", true, false, false},
        {"impersonation refused", true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleUser console;
        console.consoleTokenAvailable = c.notAToken;
        console.listAvailable = c.listAvailable;
        console.listEmpty = c.listEmpty;
        console.sessions = {{5, nullptr, WTSDisconnected}};
        console.tokenIsNotAToken = c.notAToken;
        ActiveUserProxy denied;
        EXPECT_EQ(QueryActiveUserIEProxyConfig(denied, "gw.example.com"), E_ACCESSDENIED);
        EXPECT_EQ(denied.useProxy, 0u);
        EXPECT_EQ(denied.proxyHost, "");
        EXPECT_FALSE(ConsoleUser::ThreadImpersonates());
    }
}

}  // namespace

