// The gateway's address list and the published proxy values.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "CommonFunction.h"
#include "SockAddr.h"
#include "SocketTestSupport.h"
#include "TestSupport.h"
#include "VPNUtils.h"

namespace {

using QuarloSocket::ResolveAddressList;

class ResolveAddressListTest : public ::testing::Test {
protected:
    SocketTest::TableResolver resolver;
    TestSupport::ScopedHook<QuarloSocket::IResolver*> m_resolverHook{QuarloSocket::SetResolverForTest, &resolver};
};

using List = std::vector<std::string>;

TEST_F(ResolveAddressListTest, ListsAddressesInResolverOrderWithThePreferredFirst) {
    resolver.table["gw.example"] = {"10.0.0.10", "10.0.0.1", "fe80::2", "10.0.0.10"};
    EXPECT_EQ(ResolveAddressList("gw.example"), (List{"10.0.0.10", "10.0.0.1", "fe80::2", "10.0.0.10"}));
    // Compared whole: the preferred 10.0.0.1 must not drop 10.0.0.10.
    EXPECT_EQ(ResolveAddressList("gw.example", "10.0.0.1"),
              (List{"10.0.0.1", "10.0.0.10", "fe80::2", "10.0.0.10"}));
    EXPECT_EQ(ResolveAddressList("gw.example", ""), ResolveAddressList("gw.example"));
}

TEST_F(ResolveAddressListTest, EmptyOrUnknownHostsGiveNoAddresses) {
    EXPECT_TRUE(ResolveAddressList("").empty());
    EXPECT_TRUE(ResolveAddressList(nullptr).empty());
    EXPECT_TRUE(resolver.asked.empty()) << "an empty host is never looked up";
    EXPECT_TRUE(ResolveAddressList("nowhere.example").empty());
    EXPECT_EQ(ResolveAddressList("nowhere.example", "192.0.2.7"), (List{"192.0.2.7"}));
}

TEST_F(ResolveAddressListTest, BracketedIPv6IsLookedUpWithoutBrackets) {
    resolver.table["fe80::1"] = {"fe80::1"};
    EXPECT_EQ(ResolveAddressList("[fe80::1]"), (List{"fe80::1"}));
    EXPECT_EQ(resolver.asked.back(), "fe80::1");
}

TEST(ResolveAddressListReal, LoopbackLiteralResolves) {
    SocketTest::EnsureWinSock();
    EXPECT_EQ(ResolveAddressList("127.0.0.1"), (List{"127.0.0.1"}));
}

TEST(SetAutoProxy, WritesEnabledValuesOnlyWithHostAndPort) {
    TestSupport::ScopedRegistryKey key(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\autoproxy");
    struct Case {
        bool enable;
        const char* host;
        uint16_t port;
        DWORD enabled, port_;
        const wchar_t* hostText;
    } cases[] = {
        {true, "proxy.corp", 3128, 1, 3128, L"proxy.corp"},
        {true, "", 3128, 0, 0, L""},
        {true, "proxy.corp", 0, 0, 0, L""},
        {false, "proxy.corp", 3128, 0, 0, L""},
        {true, "[fe80::1]", 8080, 1, 8080, L"[fe80::1]"},
    };
    for (const Case& c : cases) {
        QuarloSocket::SetAutoProxy(c.enable, c.host, c.port);
        DWORD enabled = 99, port = 99;
        wchar_t host[300] = L"x";
        ASSERT_EQ(ReadRegistryDword(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\autoproxy", L"enabled", enabled),
                  ERROR_SUCCESS);
        ASSERT_EQ(ReadRegistryDword(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\autoproxy", L"port", port),
                  ERROR_SUCCESS);
        ASSERT_EQ(ReadRegistryText(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\autoproxy", L"host", host, 300),
                  ERROR_SUCCESS);
        EXPECT_EQ(enabled, c.enabled) << c.host;
        EXPECT_EQ(port, c.port_) << c.host;
        EXPECT_STREQ(host, c.hostText) << c.host;
    }
}

}  // namespace
