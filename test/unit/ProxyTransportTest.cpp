// The proxy transport: the handshake's outcome as 0, 802 or 803, the CONNECT
// target's brackets, and everything else handed to the inner transport.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ProxyTestSupport.h"
#include "ProxyTransport.h"
#include "proxy.h"

using namespace QuarloSocket;
using namespace ProxyTest;

namespace {

http_proxy_context Context() {
    http_proxy_context context;
    init_http_proxy_context(&context, 0, 10, 1);
    std::strcpy(context.user, "CORP\\alice");
    std::strcpy(context.password, "Secret#1");
    return context;
}

std::string Received(ITunnelDataTransport& transport) {
    CIOBuffer* block = nullptr;
    if (!transport.ReceiveDataSync(64, &block, 1000)) return std::string();
    std::string text(reinterpret_cast<const char*>(block->Data()), block->Used());
    block->Release();
    return text;
}

TEST(ProxyTransport, HandshakeOutcomesMapTo0_802_803) {
    struct Case {
        const char* answer;
        bool init;
        uint32_t error;
    } cases[] = {
        {"HTTP/1.1 200 Connection established\r\n\r\n", true, 0},
        {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n\r\n", false,
         803},
        {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=x\r\n\r\n",
         false, 802},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", false, 802},
        {"garbage\r\n\r\n", false, 802},
    };
    for (const Case& c : cases) {
        http_proxy_context context = Context();
        auto* inner = new ScriptedProxyTransport({std::string(c.answer) + "gateway"});
        CProxyDataTransport proxy(inner, &context, "gw.example.test", 443);
        EXPECT_EQ(proxy.Init(), c.init) << c.answer;
        EXPECT_EQ(proxy.GetLastError(), c.error) << c.answer;
        // What the proxy transport stores is never what it reports.
        proxy.SetLastError(208);
        EXPECT_EQ(proxy.GetLastError(), c.error) << c.answer;
        if (c.init) {
            EXPECT_EQ(Received(proxy), "gateway");
            EXPECT_TRUE(proxy.SendDataSync("x", 1, 1000));
        }
        inner->Release();
    }
}

TEST(ProxyTransport, Ipv6TargetsGoInBrackets) {
    struct Case {
        const char* host;
        const char* connectLine;
    } cases[] = {
        {"fe80::1", "CONNECT [fe80::1]:443 HTTP/1.1"},
        {"[::1]", "CONNECT [::1]:443 HTTP/1.1"},
        {"10.0.0.1", "CONNECT 10.0.0.1:443 HTTP/1.1"},
        {"gw.example.test", "CONNECT gw.example.test:443 HTTP/1.1"},
    };
    for (const Case& c : cases) {
        http_proxy_context context = Context();
        auto* inner = new ScriptedProxyTransport({"HTTP/1.1 200 OK\r\n\r\n"});
        CProxyDataTransport proxy(inner, &context, c.host, 443);
        EXPECT_TRUE(proxy.Init());
        ASSERT_EQ(inner->requests.size(), 1u);
        const std::vector<std::string> lines = LinesOf(inner->requests[0]);
        EXPECT_EQ(lines[0], c.connectLine);
        EXPECT_EQ(lines[2], "HOST: " + std::string(c.connectLine).substr(8, lines[0].size() - 21));
        inner->Release();
    }
}

TEST(ProxyTransport, HoldsItsInnerTransportAndHandsCallsToIt) {
    bool destroyed = false;
    http_proxy_context context = Context();
    auto* inner = new ScriptedProxyTransport({}, &destroyed);
    auto* proxy = new CProxyDataTransport(inner, &context, "gw", 443);
    inner->Release();  // the creator's reference
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(proxy->GetTransportType(), TransportType_Tcp);
    inner->type = TransportType_TlsOverTcp;
    EXPECT_EQ(proxy->GetTransportType(), TransportType_Other);
    EXPECT_EQ(proxy->GetRemotePort(), htons(3128));
    EXPECT_EQ(proxy->GetRemoteAddress().toString(), "127.0.0.1");
    EXPECT_EQ(proxy->GetPendingReadCount(), 0u);
    proxy->Close();
    EXPECT_EQ(inner->closes, 1);

    CIOBuffer* block = CIOBuffer::NewOwned(4);
    proxy->AddData(block);
    block->Release();
    CIOBuffer* taken = proxy->GetData();
    EXPECT_EQ(taken, block);
    EXPECT_EQ(proxy->GetData(), nullptr);
    taken->Release();

    proxy->Release();
    EXPECT_TRUE(destroyed);
}

TEST(ProxyTransport, WithoutInnerTransportNothingWorksAndNoCodeIsSet) {
    http_proxy_context context = Context();
    CProxyDataTransport proxy(nullptr, &context, "gw", 443);
    EXPECT_FALSE(proxy.Init());
    EXPECT_EQ(proxy.GetLastError(), 0u);
    CIOBuffer* block = nullptr;
    EXPECT_FALSE(proxy.ReceiveDataSync(1, &block, 10));
    EXPECT_EQ(block, nullptr);
    EXPECT_FALSE(proxy.SendDataSync("x", 1, 10));
    EXPECT_EQ(proxy.GetTransportType(), TransportType_Other);
}

}  // namespace
