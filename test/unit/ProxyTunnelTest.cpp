// Tunnels end to end: the proxy transport over a plain transport on a real
// connection, to the proxy double in each of its modes and to a real squid,
// through to an echo server.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "IOCPDataTransport.h"
#include "ProxyTestSupport.h"
#include "ProxyTransport.h"
#include "QuarloSocketIOPool.h"
#include "SocketTestSupport.h"
#include "TestSupport.h"
#include "proxy.h"

using namespace QuarloSocket;

namespace {

constexpr uint32_t kNoAttempt = 1;  // no second connection is made

int PortOf(const std::string& json, const std::string& name) {
    const size_t at = json.find("\"" + name + "\": ");
    return at == std::string::npos ? 0 : std::atoi(json.c_str() + at + name.size() + 4);
}

std::string ProxyDoublePorts() {
    return TestSupport::ReadTextFile(std::wstring(QUARLO_PROXY_DOUBLE_DIR) + L"/ports.json");
}

// One stack as the transport manager builds it: a plain transport on a new
// connection to the proxy, the proxy transport on top of it.
struct Stack {
    TransportRef plain;
    TransportRef proxy;
    bool open = false;
    uint32_t error = 0;
};

class ProxyTunnelTest : public ::testing::Test {
protected:
    void SetUp() override {
        SocketTest::EnsureWinSock();
        init_http_proxy_context(&m_context, 0, 10, 1);
        const std::string ports = ProxyDoublePorts();
        m_echo = static_cast<uint16_t>(PortOf(ports, "echo"));
        ASSERT_NE(m_echo, 0) << ports;
    }

    static SocketTest::RecordingSocket& Socket() {
        // Connections may complete on the pool's workers at any time: the
        // owner of them lives as long as the pool.
        static auto* socket = new SocketTest::RecordingSocket(&ProcessIOPool());
        return *socket;
    }

    void SetCredentials(const char* user, const char* password) {
        std::strcpy(m_context.user, user);
        std::strcpy(m_context.password, password);
    }

    Stack Open(uint16_t proxyPort, const std::string& host = "127.0.0.1") {
        Stack stack;
        const SockAddr address(SockAddrPort(proxyPort), SockAddrHost("127.0.0.1"), AF_INET);
        CSocketConnection* connection = Socket().Connect(address, nullptr);
        if (!connection) {
            ADD_FAILURE() << "no connection to port " << proxyPort;
            return stack;
        }
        stack.plain.reset(new CIOCPDataTransport(connection));
        connection->Release();
        stack.proxy.reset(new CProxyDataTransport(stack.plain.get(), &m_context, host, m_echo));
        stack.open = stack.proxy->Init();
        stack.error = stack.proxy->GetLastError();
        if (!stack.open) stack.proxy->Close();
        return stack;
    }

    // Everything sent comes back through the tunnel.
    static bool Echoes(ITunnelDataTransport* tunnel) {
        const std::string ping = "ping through the tunnel\n";
        if (!tunnel->SendDataSync(ping.data(), static_cast<uint32_t>(ping.size()), 5000)) {
            return false;
        }
        return Receive(tunnel, ping.size()) == ping;
    }

    static std::string Receive(ITunnelDataTransport* tunnel, size_t n) {
        std::string got;
        while (got.size() < n) {
            CIOBuffer* block = nullptr;
            if (!tunnel->ReceiveDataSync(static_cast<uint32_t>(n - got.size()), &block, 5000)) break;
            got.append(reinterpret_cast<const char*>(block->Data()), block->Used());
            block->Release();
        }
        return got;
    }

    http_proxy_context m_context;
    uint16_t m_echo = 0;
};

// A first connection without credentials, then (where the proxy asked for
// some) a second one with them, as the transport manager does.
TEST_F(ProxyTunnelTest, EveryModeOfTheProxyDouble) {
    struct Case {
        const char* mode;
        const char* user;
        const char* password;
        uint32_t first;   // error of the first connection
        uint32_t second;  // of the second, kNoAttempt when there is none
    } cases[] = {
        {"open", "", "", 0, kNoAttempt},
        {"refuse", "", "", 802, kNoAttempt},
        {"garbage", "", "", 802, kNoAttempt},
        {"basic", "CORP\\alice", "Secret#1", 802, 0},
        {"basic", "CORP\\alice", "wrong", 802, 802},
        {"basic", "alice", "Secret#1", 802, 802},  // the domain is part of the user
        {"basic_body", "CORP\\alice", "Secret#1", 802, 0},
        {"ntlm", "CORP\\alice", "Secret#1", 803, 0},
        {"ntlm", "CORP\\alice", "wrong", 803, 803},
        {"ntlm_body", "CORP\\alice", "Secret#1", 803, 0},
        {"ntlm_offer", "CORP\\alice", "Secret#1", 803, 0},
        {"ntlm_close", "CORP\\alice", "Secret#1", 803, 802},
    };
    const std::string ports = ProxyDoublePorts();
    for (const Case& c : cases) {
        const std::string name = std::string(c.mode) + " " + c.user + ":" + c.password;
        init_http_proxy_context(&m_context, 0, 10, 1);
        SetCredentials(c.user, c.password);
        const uint16_t port = static_cast<uint16_t>(PortOf(ports, c.mode));
        ASSERT_NE(port, 0) << c.mode;

        Stack first = Open(port);
        EXPECT_EQ(first.error, c.first) << name;
        Stack last;
        if (c.second != kNoAttempt) {
            last = Open(port);
            EXPECT_EQ(last.error, c.second) << name;
        } else {
            last = std::move(first);
        }
        EXPECT_EQ(last.open, last.error == 0) << name;
        if (last.open) {
            EXPECT_EQ(m_context.auth_method, HTTP_AUTH_NONE) << name;
            // The handshake left no read waiting on the connection: it did
            // not wait for the proxy to fall silent.
            EXPECT_EQ(last.plain->GetPendingReadCount(), 0u) << name;
            EXPECT_TRUE(Echoes(last.proxy.get())) << name;
            last.proxy->Close();
        }
    }
}

TEST_F(ProxyTunnelTest, SquidWithBasicCredentials) {
    const int port =
        std::atoi(TestSupport::ReadTextFile(std::wstring(QUARLO_SQUID_DIR) + L"/port").c_str());
    ASSERT_NE(port, 0);
    SetCredentials("alice", "Secret#1");
    Stack first = Open(static_cast<uint16_t>(port));
    EXPECT_EQ(first.error, 802u);
    EXPECT_EQ(m_context.auth_method, HTTP_AUTH_BASIC);
    EXPECT_EQ(m_context.challenge, "realm=\"quarlo\"");
    Stack second = Open(static_cast<uint16_t>(port));
    ASSERT_TRUE(second.open) << second.error;
    EXPECT_EQ(m_context.auth_method, HTTP_AUTH_NONE);
    EXPECT_TRUE(Echoes(second.proxy.get()));
    second.proxy->Close();
}

TEST_F(ProxyTunnelTest, NtlmWithTheLoggedOnUsersCredentials) {
    SetCredentials("CORP\\alice", "");
    const uint16_t port = static_cast<uint16_t>(PortOf(ProxyDoublePorts(), "ntlm"));
    EXPECT_EQ(Open(port).error, 803u);
    const Stack second = Open(port);
    if (second.error == 802u && ProxyTest::RunningUnderWine()) {
        GTEST_SKIP() << "Wine's NTLM provider cannot answer with the logged-on user's "
                        "credentials (winbind's ntlm_auth needs an explicit password)";
    }
    // The logged-on user is not the double's alice: the exchange completes
    // and the proxy asks again.
    EXPECT_EQ(second.error, 803u);
}

// A proxy whose 200 and the gateway's first bytes share one segment: those
// bytes are the tunnel's, and reach its first reader.
TEST_F(ProxyTunnelTest, GatewayBytesInTheSegmentOfThe200ReachTheTunnel) {
    SocketTest::ScriptedPeer peer;
    const std::string gateway = "\x16\x03\x03\x00\x04helo";
    std::string request;
    peer.Run([&](SOCKET s) {
        while (request.find("\r\n\r\n") == std::string::npos) {
            const std::string byte = SocketTest::ScriptedPeer::RecvExactly(s, 1);
            if (byte.empty()) return;
            request += byte;
        }
        SocketTest::ScriptedPeer::SendAll(
            s, "HTTP/1.1 200 Connection established\r\nProxy-agent: peer\r\n\r\n" + gateway);
        const std::string ping = SocketTest::ScriptedPeer::RecvExactly(s, 4);
        SocketTest::ScriptedPeer::SendAll(s, ping == "ping" ? "pong" : "????");
    });
    Stack stack = Open(peer.port(), "fe80::1");
    ASSERT_TRUE(stack.open) << stack.error;
    EXPECT_EQ(Receive(stack.proxy.get(), gateway.size()), gateway);
    ASSERT_TRUE(stack.proxy->SendDataSync("ping", 4, 5000));
    EXPECT_EQ(Receive(stack.proxy.get(), 4), "pong");
    stack.proxy->Close();
    peer.Join();
    EXPECT_EQ(request, "CONNECT [fe80::1]:" + std::to_string(m_echo) +
                           " HTTP/1.1\r\nUser-Agent: quarlo client\r\nHOST: [fe80::1]\r\n\r\n");
}

}  // namespace
