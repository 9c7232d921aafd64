// Socket addresses, the IPv6 text form and the blocking socket.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SockAddr.h"
#include "Socket.h"
#include "SocketTestSupport.h"

using namespace QuarloSocket;
using ::testing::HasSubstr;

namespace {

// Answers every lookup with a prepared list (or a failure code), whatever
// the thread's last error says.
class ScriptedResolver : public IResolver {
public:
    int GetAddrInfo(const char*, const addrinfo*, addrinfo** result) override {
        ++lookups;
        *result = entries.empty() ? nullptr : &entries[0];
        ::WSASetLastError(WSAEINVAL);  // a stale code that must not be used
        return code;
    }
    void FreeAddrInfo(addrinfo*) override { ++frees; }
    int GetHostIPv4(const char*, std::vector<uint32_t>&) override { return WSAHOST_NOT_FOUND; }

    void Add(int family, const char* text) {
        auto& storage = storages.emplace_back();
        std::memset(&storage, 0, sizeof storage);
        addrinfo entry{};
        entry.ai_family = family;
        if (family == AF_INET && text) {
            auto* in = reinterpret_cast<sockaddr_in*>(&storage);
            in->sin_family = AF_INET;
            ::inet_pton(AF_INET, text, &in->sin_addr);
            entry.ai_addr = reinterpret_cast<sockaddr*>(in);
        } else if (family == AF_INET6 && text) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, text, &in6->sin6_addr);
            entry.ai_addr = reinterpret_cast<sockaddr*>(in6);
        }
        entries.push_back(entry);
    }
    void Link() {
        for (size_t i = 0; i + 1 < entries.size(); ++i) entries[i].ai_next = &entries[i + 1];
    }

    int code = 0;
    int lookups = 0;
    int frees = 0;
    std::vector<addrinfo> entries;
    std::vector<sockaddr_storage> storages;
};

class ResolverTest : public SocketTest::SocketLogTest {
protected:
    void SetUp() override {
        SocketLogTest::SetUp();
        m_resolver.entries.reserve(8);
        m_resolver.storages.reserve(8);
    }
    ScriptedResolver m_resolver;
    TestSupport::ScopedHook<IResolver*> m_resolverHook{SetResolverForTest, &m_resolver};
};

std::string Ipv6Text(const char* literal, size_t size = 46) {
    unsigned char bytes[16];
    EXPECT_EQ(::inet_pton(AF_INET6, literal, bytes), 1) << literal;
    char out[64];
    std::memset(out, '#', sizeof out);
    if (!FormatIPv6Address(bytes, out, size)) return "<none>";
    return out;
}

}  // namespace

TEST(FormatIPv6, WritesTheShortestFormWithTheInRunRuleFirst) {
    struct Row {
        const char* address;
        const char* text;
    } rows[] = {
        {"::", "::"},
        {"::1", "::1"},
        {"::2", "::2"},  // not ::0.0.0.2: a word inside the run writes nothing
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"::192.0.2.1", "::192.0.2.1"},
        {"::1:2", "::0.1.0.2"},  // six zero words: the IPv4 tail
        {"fe80::1", "fe80::1"},
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
        {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},  // equal runs: the first wins
        {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"},  // one zero word is no run
        {"1:2:3:4:5:6::", "1:2:3:4:5:6::"},
        {"2001:db8::ff00:42:8329", "2001:db8::ff00:42:8329"},
        {"abcd:ef01:2345:6789:abcd:ef01:2345:6789", "abcd:ef01:2345:6789:abcd:ef01:2345:6789"},
    };
    for (const Row& row : rows) EXPECT_EQ(Ipv6Text(row.address), row.text) << row.address;
}

TEST(FormatIPv6, RefusesAnOutputThatCannotHoldTheTextAndItsTerminator) {
    EXPECT_EQ(Ipv6Text("::1", 3), "<none>");
    EXPECT_EQ(Ipv6Text("::1", 4), "::1");
    EXPECT_EQ(Ipv6Text("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 39), "<none>");
    EXPECT_EQ(Ipv6Text("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 40), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
}

TEST_F(ResolverTest, TheErrorTextComesFromTheResolversOwnAnswer) {
    struct Row {
        int code;
        const char* text;
    } rows[] = {
        {WSAHOST_NOT_FOUND, "host not found"},
        {WSATRY_AGAIN, "name server not responding"},
        {WSANO_RECOVERY, "name server failure"},
        {WSANO_DATA, "no address for host"},
        {WSAEAFNOSUPPORT, "invalid host or ip specification"},
    };
    for (const Row& row : rows) {
        m_resolver.code = row.code;
        SockAddrHost host("gateway.example");
        EXPECT_FALSE(host.isValid());
        EXPECT_EQ(host.getError(), row.text) << row.code;
        EXPECT_EQ(host.getFamily(), 0u);
        // The address keeps the host's reason.
        const SockAddr address(SockAddrPort(443), host, AF_INET);
        EXPECT_FALSE(address.isValid());
        EXPECT_EQ(address.getError(), row.text) << row.code;
    }
    EXPECT_THAT(LogText(), HasSubstr("error:host not found\r\n"));
    EXPECT_EQ(m_resolver.frees, m_resolver.lookups);
}

TEST_F(ResolverTest, TheFirstUsableEntryWinsAndClearsWhatASkippedEntryLeft) {
    m_resolver.Add(AF_INET, nullptr);  // no address: skipped
    m_resolver.Add(AF_APPLETALK, nullptr);
    m_resolver.Add(AF_INET6, "2001:db8::7");
    m_resolver.Add(AF_INET, "192.0.2.9");
    m_resolver.Link();
    SockAddrHost host("gateway.example");
    EXPECT_TRUE(host.isValid()) << host.getError();
    EXPECT_EQ(host.getFamily(), static_cast<uint32_t>(AF_INET6));  // first wins, no preference for IPv4
    EXPECT_EQ(host.toString(), "2001:db8::7");
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("SockAddrHost::resolveAddress is curr->ai_addr NULL ptr\r\n"));
    EXPECT_THAT(log, HasSubstr("resolve ai_family is AF_UNSPEC\r\n"));

    const SockAddr address(SockAddrPort(8443), host, host.getFamily());
    ASSERT_TRUE(address.isValid());
    EXPECT_EQ(address.length(), 28);
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address.sockaddr());
    EXPECT_EQ(in6->sin6_family, AF_INET6);
    EXPECT_EQ(in6->sin6_port, htons(8443));
    EXPECT_EQ(in6->sin6_scope_id, 0u);
}

TEST_F(ResolverTest, EntriesWithoutAUsableAddressLeaveTheHostInvalid) {
    m_resolver.Add(AF_INET6, nullptr);
    m_resolver.Add(AF_UNSPEC, nullptr);
    m_resolver.Link();
    SockAddrHost host("gateway.example");
    EXPECT_FALSE(host.isValid());
    EXPECT_EQ(host.getError(), "no address for host");
    EXPECT_EQ(host.getFamily(), 0u);
    EXPECT_EQ(host.toString(), "");
    EXPECT_THAT(LogText(), HasSubstr("SockAddrHost::resolveAddress is ai_addr NULL ptr\r\n"));
}

TEST_F(ResolverTest, AnEmptyOrMissingHostIsInvalidWithoutALookup) {
    SockAddrHost empty("");
    EXPECT_FALSE(empty.isValid());
    EXPECT_EQ(empty.getError(), "host name is empty");
    SockAddrHost missing(nullptr);
    EXPECT_EQ(missing.getError(), "host name is NULL");
    EXPECT_THAT(LogText(), HasSubstr("resolveAddress, host name is NULL\r\n"));
    SockAddrHost unset;
    EXPECT_EQ(unset.getError(), "Uninitialized Host");
    EXPECT_EQ(m_resolver.lookups, 0);
}

TEST_F(ResolverTest, CopiesAndAssignmentsKeepTheOriginalReason) {
    m_resolver.code = WSAHOST_NOT_FOUND;
    const SockAddrHost failed("nowhere.example");
    const SockAddrHost copy(failed);
    EXPECT_EQ(copy.getError(), "host not found");
    EXPECT_THAT(LogText(), HasSubstr("SockAddrHost::SockAddrHost parameter is invalid\r\n"));
    SockAddrHost assigned;
    assigned = failed;
    EXPECT_EQ(assigned.getError(), "host not found");
    EXPECT_THAT(LogText(), HasSubstr("Assignment SockAddrHost parameter is invalid\r\n"));

    m_resolver.code = 0;
    m_resolver.Add(AF_INET, "10.1.2.3");
    m_resolver.Link();
    assigned = SockAddrHost("gateway.example");  // a valid one clears the reason
    EXPECT_TRUE(assigned.isValid());
    EXPECT_EQ(assigned.toString(), "10.1.2.3");
    const SockAddr address(SockAddrPort(80), assigned, AF_INET);
    SockAddr other;
    other = address;
    ASSERT_TRUE(other.isValid());
    EXPECT_EQ(other.length(), 16);
    const auto* in = reinterpret_cast<const sockaddr_in*>(other.sockaddr());
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(in->sin_port, htons(80));
    EXPECT_EQ(in->sin_addr.s_addr, assigned.address());
}

TEST(SockAddrHost, LiteralsResolveThroughTheSystem) {
    SocketTest::EnsureWinSock();
    SockAddrHost v4("127.0.0.1");
    EXPECT_TRUE(v4.isValid());
    EXPECT_EQ(v4.getFamily(), static_cast<uint32_t>(AF_INET));
    EXPECT_EQ(v4.toString(), "127.0.0.1");
    SockAddrHost v6("::1");
    EXPECT_TRUE(v6.isValid());
    EXPECT_EQ(v6.getFamily(), static_cast<uint32_t>(AF_INET6));
    EXPECT_EQ(v6.toString(), "::1");
    SockAddrHost named("localhost");
    EXPECT_EQ(named.toString(), "127.0.0.1");
}

class BlockingSocketTest : public SocketTest::SocketLogTest {};

TEST_F(BlockingSocketTest, ConnectWithATimeOutTimesOutAgainstAFullBacklog) {
    // A listener that accepts nothing, with its backlog filled by one attempt.
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    int length = sizeof at;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
    const SockAddr address(SockAddrPort(ntohs(at.sin_port)), SockAddrHost("127.0.0.1"), AF_INET);
    ConnectTimeout limit;
    limit.time = {0, 200 * 1000};
    limit.enabled = 1;

    std::vector<std::unique_ptr<Socket>> made;
    std::string failure;
    int code = 0;
    for (int i = 0; i < 4 && failure.empty(); ++i) {
        made.push_back(std::make_unique<Socket>(SOCK_STREAM, AF_INET, false, 0));
        if (!made.back()->connect(address, &limit)) {
            code = ::WSAGetLastError();
            failure = made.back()->getError();
        }
    }
    for (auto& s : made) s->close();
    ::closesocket(listener);
    if (failure.empty() || failure.find("GetLastError::10061") != std::string::npos) {
        GTEST_SKIP() << "this network stack answers attempts beyond a full backlog at once (" << failure
                     << "): nothing to time out on";
    }
    EXPECT_EQ(failure, "timed out");
    EXPECT_EQ(code, WSAETIMEDOUT);
    EXPECT_THAT(LogText(), HasSubstr("error timed out\r\n"));
}

TEST_F(BlockingSocketTest, ConnectFailuresKeepTheirCodeAndSuccessLeavesABlockingSocket) {
    const SockAddr closed(SockAddrPort(SocketTest::ClosedLoopbackPort()), SockAddrHost("127.0.0.1"), AF_INET);
    Socket refused(SOCK_STREAM, AF_INET, false, 0);
    EXPECT_FALSE(refused.connect(closed, nullptr));
    EXPECT_EQ(::WSAGetLastError(), WSAECONNREFUSED);
    EXPECT_EQ(refused.getError(), "Socket::formatError;GetLastError::10061");
    EXPECT_TRUE(refused.close());

    Socket invalid(SOCK_STREAM, AF_INET, false, 0);
    EXPECT_FALSE(invalid.connect(SockAddr(SockAddrPort(1), SockAddrHost(""), AF_INET), nullptr));
    EXPECT_EQ(invalid.getError(), "host name is empty");
    invalid.close();

    SocketTest::ScriptedPeer peer;
    Socket s(SOCK_STREAM, AF_INET, false, 0);
    ConnectTimeout limit;
    limit.time = {5, 0};
    limit.enabled = 1;
    ASSERT_TRUE(s.connect(peer.address(), &limit)) << s.getError();
    SOCKET accepted = peer.AcceptOne();
    // Blocking again: a receive with a receive time-out waits instead of
    // failing with WSAEWOULDBLOCK.
    DWORD wait = 100;
    ::setsockopt(s.socket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
    char byte = 0;
    EXPECT_EQ(::recv(s.socket(), &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(::WSAGetLastError(), WSAETIMEDOUT);
    ::closesocket(accepted);
    EXPECT_TRUE(s.close());
}

TEST_F(BlockingSocketTest, CloseAndShutdownOfAClosedSocketSucceedWithoutACall) {
    Socket s(SOCK_STREAM, AF_INET, false, 0);
    ASSERT_TRUE(s.valid());
    EXPECT_TRUE(s.close());
    EXPECT_EQ(s.getError(), "connection closed");
    EXPECT_TRUE(s.close());  // the socket is 0 now
    EXPECT_TRUE(s.shutdown(SD_BOTH));
    EXPECT_EQ(s.getError(), "connection shut down");
    EXPECT_THAT(LogText(), HasSubstr("error connection closed\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("error connection shut down\r\n"));
}
