// The report's settings: the receiver URL's split, the body, the proxy
// values read into the process's proxy record one after the other, and what
// the log may show of the credentials. The post itself runs through the real
// program in the system tests.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "CallHome.h"
#include "InstallThreads.h"
#include "ProxyInfo.h"
#include "StringUtil.h"
#include "TestSupport.h"

using TestSupport::ScopedRegistryKey;

namespace {

// Names no server: everything is read, nothing is posted.
constexpr const wchar_t* kUnpostableUrl = L"https://receiver.example";

std::wstring Wide(const std::string& text) { return WideFromCodePage(text, CP_ACP); }

}  // namespace

TEST(CallHomeUrl, SplitsHostPortAndPath) {
    const struct {
        const char* url;
        const char* host;
        uint16_t port;
        const char* path;
    } cases[] = {
        {"https://rx.example:8443/r", "rx.example", 8443, "/r"},
        {"https://rx.example/r/s?t=1", "rx.example", 443, "/r/s?t=1"},
        {"https://rx.example:8443", "", 443, "rx.example:8443"},  // no '/': no host
        {"HTTPS://rx.example/r", "rx.example", 443, "/r"},
        {"https://", "", 443, ""},
        {"https:/", "", 443, ""},  // shorter than the scheme
        {"", "", 443, ""},
        {"https://rx:65535/r", "rx", 65535, "/r"},
        {"https://rx:/r", "rx", 443, "/r"},  // an empty port is the default one
        {"https://rx/a:80/b", "rx", 443, "/a:80/b"},
        // Refused, no host: without the secure-web scheme the characters
        // dropped for it would be the host's, and the report with its
        // credentials would go to a host of another name; a port that is no
        // port would send it to another one.
        {"http://rx.example/r", "", 443, ""},
        {"rx.example.com/r/s", "", 443, ""},
        {"https:\\\\rx.example/r", "", 443, ""},
        {"https://rx:0/r", "", 443, ""},
        {"https://rx:65536/r", "", 443, ""},
        {"https://rx:70000/r", "", 443, ""},
        {"https://rx:84x3/r", "", 443, ""},
        {"https://rx:-1/r", "", 443, ""},
        {"https://:8443/r", "", 443, ""},
    };
    for (const auto& c : cases) {
        const CallHomeTarget t = SplitCallHomeUrl(c.url);
        EXPECT_EQ(t.host, c.host) << c.url;
        EXPECT_EQ(t.port, c.port) << c.url;
        EXPECT_EQ(t.path, c.path) << c.url;
    }
}

TEST(CallHomeBody, OrdinaryValuesStandAsTheyAreOthersAreEscaped) {
    EXPECT_EQ(CallHomeBody("corp.example", "gw-1 \xE9t\xE9"),
              "{\"server_domain\":\"corp.example\",\"server_info\":\"gw-1 \xE9t\xE9\"}");
    EXPECT_EQ(CallHomeBody("", ""), "{\"server_domain\":\"\",\"server_info\":\"\"}");
    EXPECT_EQ(CallHomeBody("a\"b\\c", std::string("l1\r\nl2\t\x01\x1f", 9)),
              "{\"server_domain\":\"a\\\"b\\\\c\",\"server_info\":\"l1\\r\\nl2\\t\\u0001\\u001f\"}");
}

class CallHomeSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_key.SetString(L"callhome_url", kUnpostableUrl);
        // Whatever an earlier command left in the record.
        g_ProxyInfo.bUseProxy = 1;
        g_ProxyInfo.proxyPort = 3128;
        SetProxyInfoText(g_ProxyInfo.proxyHost, L"stale");
        SetProxyInfoText(g_ProxyInfo.proxyUser, L"stale");
        SetProxyInfoText(g_ProxyInfo.proxyPassword, L"stale");
        SetProxyInfoText(g_ProxyInfo.proxyDomain, L"stale");
    }
    void TearDown() override { ResetProxyInfo(g_ProxyInfo); }

    TestSupport::ScopedTestLog m_log{TestSupport::MakeTime(2031, 6, 7, 8, 9, 10, 11)};
    ScopedRegistryKey m_key{HKEY_CURRENT_USER, kCallHomeKey};
    ScopedRegistryKey m_debug{HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager"};
};

TEST_F(CallHomeSettingsTest, WithoutAUrlNothingIsReadButTheRecordIsReset) {
    ScopedRegistryKey empty(HKEY_CURRENT_USER, kCallHomeKey);
    empty.SetString(L"proxyhost", L"proxy.example");
    CallHome();
    EXPECT_EQ(g_ProxyInfo.bUseProxy, 0u);
    EXPECT_EQ(g_ProxyInfo.proxySetType, kProxySetDirect);
    EXPECT_STREQ(g_ProxyInfo.proxyHost, L"");
    EXPECT_EQ(m_log.Text().find("proxyhost"), std::string::npos);
}

TEST_F(CallHomeSettingsTest, EachProxyValueIsReadOnlyAfterTheOneBeforeIt) {
    const std::string encoded = EncodePassword("Secret#1");
    const std::wstring longText(127, L'h');
    struct Case {
        const char* name;
        const wchar_t* host;
        DWORD port;  // 0xFFFFFFFF: absent
        const wchar_t* user;
        std::wstring password;  // stored text; empty: absent
        const wchar_t* domain;
        // expected
        const wchar_t* recordHost;
        uint32_t recordPort;
        uint32_t useProxy;
        const wchar_t* recordUser;
        const wchar_t* recordPassword;
        const wchar_t* recordDomain;
        bool passwordNullLogged;
    };
    const DWORD kAbsent = 0xFFFFFFFF;
    const Case cases[] = {
        {"host only", L"proxy.example", kAbsent, L"alice", Wide(encoded), L"CORP",
         L"proxy.example", 0, 0, L"", L"", L"", false},
        {"port 0", L"proxy.example", 0, L"alice", Wide(encoded), L"CORP",
         L"proxy.example", 0, 0, L"", L"", L"", false},
        {"port above 65535", L"proxy.example", 70000, L"alice", Wide(encoded), L"CORP",
         L"proxy.example", 0, 0, L"", L"", L"", false},
        {"no user", L"proxy.example", 8080, nullptr, Wide(encoded), L"CORP",
         L"proxy.example", 8080, 1, L"", L"", L"", false},
        {"no password", L"proxy.example", 8080, L"alice", L"", L"CORP",
         L"proxy.example", 8080, 1, L"alice", L"", L"", true},
        {"all", L"proxy.example", 8080, L"alice", Wide(encoded), L"CORP",
         L"proxy.example", 8080, 1, L"alice", L"Secret#1", L"CORP", false},
        {"no domain", L"proxy.example", 8080, L"alice", Wide(encoded), nullptr,
         L"proxy.example", 8080, 1, L"alice", L"Secret#1", L"", false},
        {"host too long", longText.c_str(), 8080, L"alice", Wide(encoded), L"CORP",
         L"", 0, 0, L"", L"", L"", false},
    };
    for (const Case& c : cases) {
        ScopedRegistryKey key(HKEY_CURRENT_USER, kCallHomeKey);
        key.SetString(L"callhome_url", kUnpostableUrl);
        if (c.host) key.SetString(L"proxyhost", c.host);
        if (c.port != kAbsent) key.SetDword(L"proxyport", c.port);
        if (c.user) key.SetString(L"proxyuname", c.user);
        if (!c.password.empty()) key.SetString(L"proxypwd", c.password);
        if (c.domain) key.SetString(L"proxydomain", c.domain);
        const size_t logged = m_log.Text().size();
        CallHome();
        EXPECT_STREQ(g_ProxyInfo.proxyHost, c.recordHost) << c.name;
        EXPECT_EQ(g_ProxyInfo.proxyPort, c.recordPort) << c.name;
        EXPECT_EQ(g_ProxyInfo.bUseProxy, c.useProxy) << c.name;
        EXPECT_EQ(g_ProxyInfo.proxySetType, c.useProxy ? kProxySetNamed : kProxySetDirect) << c.name;
        EXPECT_EQ(g_ProxyInfo.proxyAuthType, PROXY_TYPE_AUTO) << c.name;
        EXPECT_STREQ(g_ProxyInfo.proxyUser, c.recordUser) << c.name;
        EXPECT_STREQ(g_ProxyInfo.proxyPassword, c.recordPassword) << c.name;
        EXPECT_STREQ(g_ProxyInfo.proxyDomain, c.recordDomain) << c.name;
        const std::string log = m_log.Text().substr(logged);
        EXPECT_EQ(log.find("callhome: proxypwd is NULL\r\n") != std::string::npos,
                  c.passwordNullLogged)
            << c.name;
        EXPECT_NE(log.find("callhome: callhome_url names no server, nothing is sent\r\n"),
                  std::string::npos)
            << c.name;
        EXPECT_EQ(log.find("Secret#1"), std::string::npos) << c.name;
        ResetProxyInfo(g_ProxyInfo);
    }
}

TEST_F(CallHomeSettingsTest, AReceiverUrlThatIsNotSecureWebSendsNothing) {
    for (const wchar_t* url : {L"http://receiver.example/r", L"receiver.example/r"}) {
        m_key.SetString(L"callhome_url", url);
        const size_t logged = m_log.Text().size();
        CallHome();
        const std::string log = m_log.Text().substr(logged);
        EXPECT_NE(log.find("callhome: callhome_url names no server, nothing is sent\r\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("callhome finished"), std::string::npos) << log;
    }
}

TEST_F(CallHomeSettingsTest, TheLogShowsNoCharacterOfTheStoredPassword) {
    m_key.SetString(L"proxyhost", L"proxy.example");
    m_key.SetDword(L"proxyport", 8080);
    m_key.SetString(L"proxyuname", L"alice");
    // Its last two digits would name the password's last character.
    const std::string encoded = EncodePassword("Secret#1");
    m_key.SetString(L"proxypwd", Wide(encoded));
    CallHome();
    const std::string log = m_log.Text();
    EXPECT_NE(log.find("callhome: proxypwd:******\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find(encoded.substr(encoded.size() - 2) + "\r\n"), std::string::npos) << log;
    EXPECT_STREQ(g_ProxyInfo.proxyPassword, L"Secret#1");
}

TEST_F(CallHomeSettingsTest, BasicCredentialsReachTheLogOnlyWithTheDebugSwitch) {
    m_key.SetString(L"callhome_xx", L"Y2FsbGhvbWU6U2VjcmV0IzE=");
    m_key.SetString(L"vsite_domain", L"corp.example");
    m_key.SetString(L"server_info", L"gw \"1\"");
    CallHome();
    std::string log = m_log.Text();
    EXPECT_EQ(log.find("Y2FsbGhvbWU6U2VjcmV0IzE"), std::string::npos) << log;
    EXPECT_NE(log.find("callhome: callhome_xx:******\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("callhome: Data:{\"server_domain\":\"corp.example\",\"server_info\":"
                       "\"gw \\\"1\\\"\"}\r\n"),
              std::string::npos)
        << log;

    m_debug.SetDword(L"EnablePrintRequest", 7315);
    CallHome();
    log = m_log.Text();
    EXPECT_NE(log.find("callhome: callhome_xx:Y2FsbGhvbWU6U2VjcmV0IzE=\r\n"), std::string::npos)
        << log;
}
