// The tunnel factory end to end: TLS to the gateway double directly, to each
// resolved address in turn, and through the proxy double with the proxy
// record's roads (named proxy, learned method, the console user's settings).
#include <gtest/gtest.h>

#include <winsock2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CommonFunction.h"
#include "ProxyDouble.h"
#include "ProxyInfo.h"
#include "QuarloSocketIOBuffer.h"
#include "SocketTestSupport.h"
#include "TestSupport.h"
#include "TlsGateway.h"
#include "TransportManager.h"
#include "VPNUtils.h"
#include "WinHttpTestSupport.h"

using namespace QuarloSocket;

namespace {

uint16_t ProxyPort(const std::string& mode) { return ProxyDouble::Port(mode); }
std::vector<std::string> ProxyHeads(const std::string& mode, size_t skip) { return ProxyDouble::Heads(mode, skip); }
size_t ProxyLogLines() { return ProxyDouble::LogLines(); }

// Sends text through a tunnel and reads the echo back.
std::string EchoThrough(ITunnelDataTransport* t, const std::string& text) {
    if (!t->SendDataSync(text.data(), static_cast<uint32_t>(text.size()), 10000)) return "(send failed)";
    std::string got;
    while (got.size() < text.size()) {
        CIOBuffer* b = nullptr;
        if (!t->ReceiveDataSync(static_cast<uint32_t>(text.size() - got.size()), &b, 10000))
            return got + "(read failed)";
        got.append(reinterpret_cast<const char*>(b->Data()), b->Used());
        b->Release();
    }
    return got;
}

void CloseAndRelease(ITunnelDataTransport* t) {
    if (!t) return;
    t->Close();
    t->Release();
}

DWORD AutoProxyDword(const wchar_t* name) {
    DWORD value = 0xDEAD;
    ReadRegistryDword(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\autoproxy", name, value);
    return value;
}

std::wstring AutoProxyHost() {
    wchar_t host[300] = L"(none)";
    ReadRegistryText(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\autoproxy", L"host", host, 300);
    return host;
}

class FixedPPPCheck : public IPPPLineCheck {
public:
    int32_t IsClientToSpByPPPLine(const char*) override {
        ++calls;
        return result;
    }
    int32_t result = 0;
    int calls = 0;
};

class TransportManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SocketTest::EnsureWinSock();
        ClearAddressCache();
        init_http_proxy_context(&Manager().ProxyContext(), 0, 10, 1);
        ResetProxyInfo(m_info);
        m_proxyLines = ProxyLogLines();
    }
    void TearDown() override {
        ClearAddressCache();
    }

    static CSSLTransportManager& Manager() { return TransportManager(); }

    ITunnelDataTransport* Direct(const char* host, uint16_t port) {
        return Manager().CreateSSLTransport(host, port, host, 0, 1, nullptr, 0);
    }
    ITunnelDataTransport* Through(const char* host, uint16_t port) {
        return Manager().CreateSSLTransport(host, port, host, 0, &m_info, 1, nullptr, 0);
    }
    void NamedProxy(const std::string& mode, uint32_t useProxy, const wchar_t* user = L"",
                    const wchar_t* password = L"", const wchar_t* domain = L"") {
        m_info.proxySetType = kProxySetNamed;
        SetProxyInfoText(m_info.proxyHost, L"127.0.0.1");
        m_info.proxyPort = ProxyPort(mode);
        ASSERT_NE(m_info.proxyPort, 0u) << mode;
        m_info.bUseProxy = useProxy;
        SetProxyInfoText(m_info.proxyUser, user);
        SetProxyInfoText(m_info.proxyPassword, password);
        SetProxyInfoText(m_info.proxyDomain, domain);
    }

    ProxyInfo m_info{};
    FixedPPPCheck m_ppp;
    TestSupport::ScopedHook<IPPPLineCheck*> m_pppHook{CSSLTransportManager::SetPPPLineCheckForTest, &m_ppp};
    size_t m_proxyLines = 0;
    TestSupport::ScopedRegistryKey m_autoproxy{HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\autoproxy"};
};

TEST_F(TransportManagerTest, HostWithoutAddressesFailsWith103) {
    SocketTest::TableResolver resolver;
    const TestSupport::ScopedHook scoped(QuarloSocket::SetResolverForTest, &resolver);
    EXPECT_EQ(Direct("nowhere.test", 443), nullptr);
    EXPECT_EQ(Manager().GetLastError(), 103u);
    EXPECT_EQ(Direct("", 443), nullptr);
    EXPECT_EQ(Manager().GetLastError(), 103u);
}

TEST_F(TransportManagerTest, RefusedAddressIsSkippedAndTheWorkingOneIsCachedUntilTheTunnelCloses) {
    TlsTest::GatewayOptions options;
    options.connections = 3;
    TlsTest::TlsGateway gateway(options);
    ASSERT_TRUE(gateway.started());
    SocketTest::TableResolver resolver;
    // Nobody listens on 127.0.0.2: the gateway double binds 127.0.0.1 only.
    resolver.table["gw.test"] = {"127.0.0.2", "127.0.0.1"};
    const TestSupport::ScopedHook scoped(QuarloSocket::SetResolverForTest, &resolver);

    ITunnelDataTransport* first = Direct("gw.test", gateway.port());
    ASSERT_NE(first, nullptr) << Manager().GetLastError();
    EXPECT_EQ(EchoThrough(first, "hello gateway"), "hello gateway");
    EXPECT_EQ(AddressCache().cached, 1u);
    EXPECT_EQ(AddressCache().address, "127.0.0.1");
    EXPECT_EQ(std::count(resolver.asked.begin(), resolver.asked.end(), "gw.test"), 1);

    // While the first tunnel is open the cache holds: no lookup at all.
    ITunnelDataTransport* second = Direct("gw.test", gateway.port());
    ASSERT_NE(second, nullptr) << Manager().GetLastError();
    EXPECT_EQ(std::count(resolver.asked.begin(), resolver.asked.end(), "gw.test"), 1);
    CloseAndRelease(second);
    CloseAndRelease(first);
    EXPECT_EQ(AddressCache().cached, 0u);

    ITunnelDataTransport* third = Direct("gw.test", gateway.port());
    ASSERT_NE(third, nullptr) << Manager().GetLastError();
    EXPECT_EQ(std::count(resolver.asked.begin(), resolver.asked.end(), "gw.test"), 2) << "resolved again once the tunnel closed";
    CloseAndRelease(third);
}

TEST_F(TransportManagerTest, HandshakeWithAPlainServerFailsWithTheTlsCodeAndDropsTheCache) {
    const uint16_t echo = ProxyPort("echo");
    ASSERT_NE(echo, 0);
    EXPECT_EQ(Direct("127.0.0.1", echo), nullptr);
    EXPECT_NE(Manager().GetLastError(), 0u);
    EXPECT_NE(Manager().GetLastError(), 103u);
    EXPECT_EQ(AddressCache().cached, 0u);
}

TEST_F(TransportManagerTest, DirectRecordClearsTheAutoproxyValuesAndConnectsDirectly) {
    SetAutoProxy(true, "old.proxy", 8080);
    TlsTest::TlsGateway gateway({});
    ASSERT_TRUE(gateway.started());
    m_info.proxySetType = kProxySetDirect;
    ITunnelDataTransport* t = Through("127.0.0.1", gateway.port());
    ASSERT_NE(t, nullptr) << Manager().GetLastError();
    EXPECT_EQ(EchoThrough(t, "direct"), "direct");
    CloseAndRelease(t);
    EXPECT_EQ(AutoProxyDword(L"enabled"), 0u);
    EXPECT_EQ(AutoProxyHost(), L"");
}

TEST_F(TransportManagerTest, NamedProxyWithoutUseSendsNoCredentials) {
    TlsTest::TlsGateway gateway({});
    ASSERT_TRUE(gateway.started());
    NamedProxy("open", 0, L"alice", L"Secret#1", L"CORP");
    ITunnelDataTransport* t = Through("127.0.0.1", gateway.port());
    ASSERT_NE(t, nullptr) << Manager().GetLastError();
    EXPECT_EQ(EchoThrough(t, "through the proxy"), "through the proxy");
    CloseAndRelease(t);
    const auto heads = ProxyHeads("open", m_proxyLines);
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_NE(heads[0].find("CONNECT 127.0.0.1:" + std::to_string(gateway.port())), std::string::npos)
        << heads[0];
    EXPECT_EQ(heads[0].find("Proxy-Authorization"), std::string::npos) << heads[0];
    EXPECT_STREQ(Manager().ProxyContext().user, "CORP\\alice");
}

// A proxy name that stands for several addresses (an IPv6 one the proxy does
// not listen on, then its IPv4 one, say) reaches the proxy at the first that
// answers; a name none of whose addresses answers ends with 103.
TEST_F(TransportManagerTest, ProxyNameIsTriedAtEachOfItsAddressesInTurn) {
    TlsTest::TlsGateway gateway({});
    ASSERT_TRUE(gateway.started());
    SocketTest::TableResolver resolver;
    // Nobody listens on 127.0.0.2: the proxy double binds 127.0.0.1 only.
    resolver.table["proxy.test"] = {"127.0.0.2", "127.0.0.1"};
    resolver.table["dead.proxy.test"] = {"127.0.0.2", "127.0.0.3"};
    const TestSupport::ScopedHook scoped(QuarloSocket::SetResolverForTest, &resolver);
    NamedProxy("open", 0);
    SetProxyInfoText(m_info.proxyHost, L"proxy.test");
    ITunnelDataTransport* t = Through("127.0.0.1", gateway.port());
    ASSERT_NE(t, nullptr) << Manager().GetLastError();
    EXPECT_EQ(EchoThrough(t, "past the silent address"), "past the silent address");
    CloseAndRelease(t);
    EXPECT_EQ(ProxyHeads("open", m_proxyLines).size(), 1u);

    SetProxyInfoText(m_info.proxyHost, L"dead.proxy.test");
    EXPECT_EQ(Through("127.0.0.1", gateway.port()), nullptr);
    EXPECT_EQ(Manager().GetLastError(), 103u);
}

// PROXY_TYPE_AUTO: the refusal names the method, and exactly one more attempt
// presents the credentials with it.
struct AutoCase {
    const char* mode;
    const wchar_t* password;
    bool opens;
    uint32_t error;      // when it does not open
    size_t connectHeads; // requests the proxy saw
};

void PrintTo(const AutoCase& c, std::ostream* os) { *os << c.mode << (c.opens ? " opens" : " fails"); }

class AutoRetryTest : public TransportManagerTest, public ::testing::WithParamInterface<AutoCase> {};

TEST_P(AutoRetryTest, LearnsTheMethodAndTriesOnce) {
    const AutoCase& c = GetParam();
    TlsTest::TlsGateway gateway({});
    ASSERT_TRUE(gateway.started());
    NamedProxy(c.mode, 1, L"alice", c.password, L"CORP");
    m_info.proxyAuthType = PROXY_TYPE_AUTO;
    ITunnelDataTransport* t = Through("127.0.0.1", gateway.port());
    if (c.opens) {
        ASSERT_NE(t, nullptr) << Manager().GetLastError();
        EXPECT_EQ(EchoThrough(t, "authenticated"), "authenticated");
        CloseAndRelease(t);
    } else {
        EXPECT_EQ(t, nullptr);
        EXPECT_EQ(Manager().GetLastError(), c.error);
    }
    EXPECT_EQ(ProxyHeads(c.mode, m_proxyLines).size(), c.connectHeads);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, AutoRetryTest,
    ::testing::Values(AutoCase{"basic", L"Secret#1", true, 0, 2}, AutoCase{"basic", L"wrong", false, 802, 2},
                      // NTLM: the bare CONNECT, then Type-1 and Type-3 on the retry's connection.
                      AutoCase{"ntlm", L"Secret#1", true, 0, 3}, AutoCase{"ntlm", L"wrong", false, 803, 3},
                      AutoCase{"refuse", L"Secret#1", false, 802, 1}),
    [](const ::testing::TestParamInfo<AutoCase>& info) {
        return std::string(info.param.mode) + (info.param.opens ? "Opens" : "Fails");
    });

TEST_F(TransportManagerTest, ExplicitMethodSendsCredentialsOnTheFirstConnect) {
    TlsTest::TlsGateway gateway({});
    ASSERT_TRUE(gateway.started());
    NamedProxy("basic", 1, L"alice", L"Secret#1", L"CORP");
    m_info.proxyAuthType = PROXY_TYPE_BASIC;
    ITunnelDataTransport* t = Through("127.0.0.1", gateway.port());
    ASSERT_NE(t, nullptr) << Manager().GetLastError();
    CloseAndRelease(t);
    const auto heads = ProxyHeads("basic", m_proxyLines);
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_NE(heads[0].find("Proxy-Authorization: Basic"), std::string::npos) << heads[0];
}

TEST_F(TransportManagerTest, UserTextJoinsDomainAndUserOnlyWithAUser) {
    struct Case {
        const wchar_t* domain;
        const wchar_t* user;
        const char* expected;
    } cases[] = {{L"CORP", L"alice", "CORP\\alice"}, {L"", L"alice", "alice"}, {L"CORP", L"", ""}};
    for (const Case& c : cases) {
        // A proxy that refuses: only the credentials stored for it matter here.
        NamedProxy("refuse", 1, c.user, L"pw", c.domain);
        EXPECT_EQ(Through("127.0.0.1", 443), nullptr);
        EXPECT_STREQ(Manager().ProxyContext().user, c.expected);
        EXPECT_STREQ(Manager().ProxyContext().password, "pw");
    }
}

TEST_F(TransportManagerTest, CredentialsThatDoNotFitAreNeverSentCut) {
    // 120 + "\\" + 10 characters: more than the context holds.
    const std::wstring domain(120, L'D');
    NamedProxy("basic", 1, L"alice12345", L"pw", domain.c_str());
    m_info.proxyAuthType = PROXY_TYPE_BASIC;
    EXPECT_EQ(Through("127.0.0.1", 443), nullptr);
    EXPECT_EQ(Manager().GetLastError(), 802u);
    EXPECT_TRUE(ProxyHeads("basic", m_proxyLines).empty()) << "no CONNECT with cut credentials";
}

TEST_F(TransportManagerTest, CredentialsTheCodePageCannotHoldAreNeverSentBestFitted) {
    const struct {
        const wchar_t* user;
        const wchar_t* password;
        const wchar_t* domain;
    } cases[] = {{L"\u0141ukasz", L"pw", L""},
                 {L"alice", L"\u041f\u0430\u0440\u043e\u043b\u044c", L""},
                 {L"alice", L"pw", L"\u0141\u00f3d\u017a"}};
    for (const auto& c : cases) {
        NamedProxy("basic", 1, c.user, c.password, c.domain);
        m_info.proxyAuthType = PROXY_TYPE_BASIC;
        EXPECT_EQ(Through("127.0.0.1", 443), nullptr);
        EXPECT_EQ(Manager().GetLastError(), 802u);
    }
    EXPECT_TRUE(ProxyHeads("basic", m_proxyLines).empty()) << "no CONNECT with changed credentials";
    // Nor a named proxy host that no code page holds.
    m_info.proxySetType = kProxySetNamed;
    SetProxyInfoText(m_info.proxyHost, L"\U0001F600proxy");
    m_info.proxyPort = 3128;
    EXPECT_EQ(Through("127.0.0.1", 443), nullptr);
    EXPECT_EQ(Manager().GetLastError(), 103u);
    ResetProxyInfo(m_info);
}

TEST_F(TransportManagerTest, UnusableProxyTextEndsWith103) {
    m_info.proxySetType = kProxySetNamed;
    SetProxyInfoText(m_info.proxyHost, L"no such proxy!");
    m_info.proxyPort = 3128;
    EXPECT_EQ(Through("127.0.0.1", 443), nullptr);
    EXPECT_EQ(Manager().GetLastError(), 103u);
    ResetProxyInfo(m_info);
    m_info.proxySetType = kProxySetNamed;  // named, but no host at all
    EXPECT_EQ(Through("127.0.0.1", 443), nullptr);
    EXPECT_EQ(Manager().GetLastError(), 103u);
}

TEST_F(TransportManagerTest, ConsoleUsersStaticProxyIsUsedAndPublished) {
    TlsTest::TlsGateway gateway({});
    ASSERT_TRUE(gateway.started());
    WinHttpTest::IESettings ie;
    const std::string proxy = "127.0.0.1:" + std::to_string(ProxyPort("open"));
    ie.Set(WinHttpTest::kIEDirect | WinHttpTest::kIEProxy, proxy, "", "");
    m_info.proxySetType = kProxySetActiveUserIE;
    ITunnelDataTransport* t = Through("127.0.0.1", gateway.port());
    ASSERT_NE(t, nullptr) << Manager().GetLastError();
    EXPECT_EQ(EchoThrough(t, "ie proxy"), "ie proxy");
    CloseAndRelease(t);
    EXPECT_EQ(ProxyHeads("open", m_proxyLines).size(), 1u);
    EXPECT_STREQ(m_info.proxyHost, L"127.0.0.1");
    EXPECT_EQ(m_info.proxyPort, ProxyPort("open"));
    EXPECT_EQ(AutoProxyDword(L"enabled"), 1u);
    EXPECT_EQ(AutoProxyDword(L"port"), ProxyPort("open"));
    EXPECT_EQ(AutoProxyHost(), L"127.0.0.1");
    EXPECT_EQ(m_ppp.calls, 1);
}

TEST_F(TransportManagerTest, ConsoleUsersProxyIsSkippedForBypassedGatewaysAndDialUpLines) {
    TlsTest::GatewayOptions options;
    options.connections = 3;
    TlsTest::TlsGateway gateway(options);
    ASSERT_TRUE(gateway.started());
    WinHttpTest::IESettings ie;
    const std::string proxy = "127.0.0.1:" + std::to_string(ProxyPort("open"));
    m_info.proxySetType = kProxySetActiveUserIE;

    ie.Set(WinHttpTest::kIEDirect | WinHttpTest::kIEProxy, proxy, "127.0.0.*;<local>", "");
    ITunnelDataTransport* bypassed = Through("127.0.0.1", gateway.port());
    ASSERT_NE(bypassed, nullptr) << Manager().GetLastError();
    CloseAndRelease(bypassed);
    EXPECT_EQ(AutoProxyDword(L"enabled"), 0u);

    ie.Set(WinHttpTest::kIEDirect | WinHttpTest::kIEProxy, proxy, "", "");
    CSSLTransportManager::ResetPPPCheckForTest();
    m_ppp.calls = 0;
    m_ppp.result = 1;
    for (int i = 0; i < 2; ++i) {
        ITunnelDataTransport* dialUp = Through("127.0.0.1", gateway.port());
        ASSERT_NE(dialUp, nullptr) << Manager().GetLastError();
        CloseAndRelease(dialUp);
    }
    EXPECT_EQ(AutoProxyDword(L"enabled"), 0u);
    EXPECT_EQ(ProxyHeads("open", m_proxyLines).size(), 0u);
    EXPECT_EQ(m_ppp.calls, 1) << "the dial-up check runs once per process";
}

}  // namespace
