// Inside-network probes over loopback and the dial-up route check over an
// adapter list that the test lays out.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "BrowserProxyTestSupport.h"
#include "NetworkPath.h"
#include "SocketTestSupport.h"

using namespace BrowserProxyTest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct AdapterSpec {
    UINT type;
    DWORD index;
    std::vector<std::string> addresses;  // at least one, as the system lists them
};

constexpr UINT kEthernet = MIB_IF_TYPE_ETHERNET;
constexpr UINT kPpp = MIB_IF_TYPE_PPP;
constexpr UINT kSlip = MIB_IF_TYPE_SLIP;
constexpr DWORD kRouteFails = 0xFFFFFFFF;

// Lays the adapters out in the caller's buffer as the system does: the
// adapter records first, then the further address entries they link to.
class AdapterRouteDouble : public IAdapterRouteSource {
public:
    DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size) override {
        ++listCalls;
        if (sizingError && !info) return sizingError;
        if (adapters.empty()) return ERROR_NO_DATA;
        size_t extra = 0;
        for (const AdapterSpec& a : adapters) extra += a.addresses.size() - 1;
        const ULONG required = static_cast<ULONG>(adapters.size() * sizeof(IP_ADAPTER_INFO) +
                                                  extra * sizeof(IP_ADDR_STRING));
        if (!info || *size < required) {
            *size = required;
            return ERROR_BUFFER_OVERFLOW;
        }
        if (readError) return readError;
        auto* entries = reinterpret_cast<IP_ADDR_STRING*>(info + adapters.size());
        for (size_t i = 0; i < adapters.size(); ++i) {
            IP_ADAPTER_INFO& out = info[i];
            std::memset(&out, 0, sizeof out);
            out.Next = i + 1 < adapters.size() ? &info[i + 1] : nullptr;
            out.Type = adapters[i].type;
            out.Index = adapters[i].index;
            out.ComboIndex = adapters[i].index;
            IP_ADDR_STRING* last = &out.IpAddressList;
            for (size_t k = 0; k < adapters[i].addresses.size(); ++k) {
                IP_ADDR_STRING* entry = k == 0 ? &out.IpAddressList : entries++;
                if (k) {
                    std::memset(entry, 0, sizeof *entry);
                    last->Next = entry;
                }
                std::strncpy(entry->IpAddress.String, adapters[i].addresses[k].c_str(),
                             sizeof entry->IpAddress.String - 1);
                last = entry;
            }
        }
        return ERROR_SUCCESS;
    }

    DWORD GetBestRoute(DWORD destination, DWORD source, MIB_IPFORWARDROW* route) override {
        const size_t call = routeDestinations.size();
        routeDestinations.push_back(destination);
        routeSources.push_back(source);
        const DWORD answer = routes.empty() ? kRouteFails : routes[std::min(call, routes.size() - 1)];
        if (answer == kRouteFails) return ERROR_NOT_FOUND;
        std::memset(route, 0, sizeof *route);
        route->dwForwardDest = destination;
        route->dwForwardIfIndex = answer;
        return NO_ERROR;
    }

    std::vector<AdapterSpec> adapters;
    std::vector<DWORD> routes;  // interface index answered per call (the last repeats)
    DWORD sizingError = 0;
    DWORD readError = 0;
    int listCalls = 0;
    std::vector<DWORD> routeDestinations;
    std::vector<DWORD> routeSources;

private:
    // Installed for the double's lifetime.
    TestSupport::ScopedHook<IAdapterRouteSource*> m_installed{SetAdapterRouteSourceForTest, this};
};

DWORD Address(const char* dotted) {
    in_addr a{};
    ::inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

class NetworkPathTest : public LoggedTest {
protected:
    void SetUp() override {
        SocketTest::EnsureWinSock();
        LoggedTest::SetUp();
        m_resolver.names["gw.corp.com"] = "10.1.2.3";
        m_resolver.names["v6.corp.com"] = "fe80::5";
        m_resolver.hosts["gw.corp.com"] = {"10.1.2.3", "10.1.2.4"};
    }
    ResolverDouble m_resolver;
};

class DialUpTest : public NetworkPathTest {
protected:
    AdapterRouteDouble m_source;
};

}  // namespace

// --- inside network -------------------------------------------------------

TEST_F(NetworkPathTest, ProbeCodesOfALoopbackListenerAClosedPortAndBadTexts) {
    SocketTest::ScriptedPeer listener;  // accepts into its backlog
    const uint16_t closed = SocketTest::ClosedLoopbackPort();
    EXPECT_EQ(IsAddressableIP("127.0.0.1", listener.port()), kProbeConnected);
    EXPECT_EQ(IsAddressableIP("127.0.0.1", closed), kProbeConnectFailed);
    EXPECT_EQ(IsAddressableIP("no.such.host", listener.port()), kProbeInvalidAddress);
    EXPECT_EQ(IsAddressableIP("", listener.port()), kProbeInvalidAddress);
    EXPECT_EQ(IsAddressableIP(nullptr, listener.port()), kProbeInvalidAddress);
}

TEST_F(NetworkPathTest, ProbesTheFirstThreeNonZeroAddressesInOrder) {
    SocketTest::ScriptedPeer listener;  // on 127.0.0.1 only: other loopback addresses refuse
    struct Case {
        const char* why;
        std::vector<std::string> answer;
        int expected;
        std::vector<std::string> probes;  // "ip:code" as logged
    } cases[] = {
        {"one accepting address", {"127.0.0.1"}, 1, {"127.0.0.1, iValue:5"}},
        {"one refusing address", {"127.0.0.2"}, 0, {"127.0.0.2, iValue:4"}},
        {"the third accepts",
         {"127.0.0.2", "127.0.0.3", "127.0.0.1"},
         1,
         {"127.0.0.2, iValue:4", "127.0.0.3, iValue:4", "127.0.0.1, iValue:5"}},
        {"a fourth address is ignored",
         {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.1"},
         0,
         {"127.0.0.2, iValue:4", "127.0.0.3, iValue:4", "127.0.0.4, iValue:4"}},
        {"the first accepts, the rest is not probed",
         {"127.0.0.1", "127.0.0.2"},
         1,
         {"127.0.0.1, iValue:5"}},
        {"a first address of 0.0.0.0 means no probe", {"0.0.0.0", "127.0.0.1"}, 0, {}},
        {"a zero second address ends the triple",
         {"127.0.0.2", "0.0.0.0", "127.0.0.1"},
         0,
         {"127.0.0.2, iValue:4"}},
        {"an answer without addresses", {}, 0, {}},
    };
    for (const Case& c : cases) {
        m_resolver.hosts["inside.corp"] = c.answer;
        const size_t before = LogText().size();
        EXPECT_EQ(IsUnderInsideNetwork("inside.corp", listener.port()), c.expected) << c.why;
        std::vector<std::string> probes;
        const std::string log = LogText().substr(before);
        const std::string tag = "IsAddressableIP: ip:";
        for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
            const size_t start = at + tag.size();
            probes.push_back(log.substr(start, log.find("\r\n", start) - start));
        }
        EXPECT_THAT(probes, ElementsAreArray(c.probes)) << c.why;
    }
}

TEST_F(NetworkPathTest, TheTripleKeepsTheAnswerOrderInNetworkByteOrder) {
    m_resolver.hosts["three.corp"] = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"};
    const HostIPv4Addresses a = GetHostIPv4Addresses("three.corp");
    EXPECT_EQ(a.ip1, Address("10.0.0.1"));
    EXPECT_EQ(a.ip2, Address("10.0.0.2"));
    EXPECT_EQ(a.ip3, Address("10.0.0.3"));
}

TEST_F(NetworkPathTest, AHostThatDoesNotResolveIsOutsideWithoutAProbe) {
    EXPECT_EQ(IsUnderInsideNetwork("nowhere.corp", 443), 0);
    EXPECT_THAT(LogText(), HasSubstr("gethostbyname error 11001\r\n"));
    EXPECT_EQ(LogCount("IsAddressableIP:"), 0u);
}

TEST_F(NetworkPathTest, AnEmptyHostIsNotThisComputer) {
    // The platform lookup of "" answers with the computer's own addresses,
    // where any local listener on the port would pass for the gateway.
    SocketTest::ScriptedPeer listener;
    EXPECT_EQ(IsUnderInsideNetwork("", listener.port()), 0);
    EXPECT_EQ(IsUnderInsideNetwork(nullptr, listener.port()), 0);
    EXPECT_TRUE(m_resolver.hostQueries.empty());
    const HostIPv4Addresses a = GetHostIPv4Addresses("");
    EXPECT_EQ(a.ip1 | a.ip2 | a.ip3, 0u);
}

TEST(NetworkPathReal, TheRealResolverFindsALoopbackListener) {
    SocketTest::EnsureWinSock();
    SocketTest::ScriptedPeer listener;
    EXPECT_EQ(IsUnderInsideNetwork("127.0.0.1", listener.port()), 1);
    EXPECT_EQ(IsUnderInsideNetwork("localhost", listener.port()), 1);
    EXPECT_EQ(IsUnderInsideNetwork("localhost", SocketTest::ClosedLoopbackPort()), 0);
}

// --- dial-up route ---------------------------------------------------------

TEST_F(DialUpTest, TheRouteMustLeaveThroughAPppOrSlipAdapter) {
    struct Case {
        const char* why;
        std::vector<AdapterSpec> adapters;
        std::vector<DWORD> routes;
        int expected;
        size_t routeCalls;
    } cases[] = {
        {"LAN only: no route is asked", {{kEthernet, 2, {"192.168.1.5"}}}, {2}, 0, 0},
        {"route through the PPP line", {{kPpp, 7, {"10.64.0.9"}}}, {7}, 1, 1},
        {"route through the SLIP line", {{kSlip, 9, {"10.64.0.9"}}}, {9}, 1, 1},
        {"route through the LAN although a PPP line exists",
         {{kEthernet, 2, {"192.168.1.5"}}, {kPpp, 7, {"10.64.0.9"}}},
         {2},
         0,
         1},
        {"PPP line after the LAN adapter",
         {{kEthernet, 2, {"192.168.1.5"}}, {kPpp, 7, {"10.64.0.9"}}},
         {7},
         1,
         1},
        {"two entries: asked again after another interface",
         {{kPpp, 7, {"10.64.0.9", "10.64.0.10"}}},
         {3, 7},
         1,
         2},
        {"two entries: a failed route goes on with the next",
         {{kPpp, 7, {"10.64.0.9", "10.64.0.10"}}},
         {kRouteFails, 7},
         1,
         2},
        {"two entries, both routes elsewhere", {{kPpp, 7, {"10.64.0.9", "10.64.0.10"}}}, {3, 3}, 0, 2},
        {"the second of two PPP lines",
         {{kPpp, 5, {"10.64.0.9"}}, {kPpp, 7, {"10.65.0.9"}}},
         {7},
         1,
         2},
        {"no route at all", {{kPpp, 7, {"10.64.0.9"}}}, {kRouteFails}, 0, 1},
    };
    for (const Case& c : cases) {
        m_source.adapters = c.adapters;
        m_source.routes = c.routes;
        m_source.routeDestinations.clear();
        m_source.routeSources.clear();
        EXPECT_EQ(IsClientToSpByPPPLine("gw.corp.com"), c.expected) << c.why;
        EXPECT_EQ(m_source.routeDestinations.size(), c.routeCalls) << c.why;
        for (DWORD d : m_source.routeDestinations) EXPECT_EQ(d, Address("10.1.2.3")) << c.why;
        for (DWORD s : m_source.routeSources) EXPECT_EQ(s, 0u) << c.why;
    }
}

TEST_F(DialUpTest, LogsTheLineItsEntriesAndTheFailedRoute) {
    m_source.adapters = {{kEthernet, 2, {"192.168.1.5"}}, {kPpp, 7, {"10.64.0.9", "10.64.0.10"}}};
    m_source.routes = {kRouteFails, 7};
    ASSERT_EQ(IsClientToSpByPPPLine("gw.corp.com"), 1);
    const std::string log = LogText();
    EXPECT_EQ(LogCount("Find PPP/SLIP Line\r\n"), 1u);
    EXPECT_THAT(log, HasSubstr("PPP/SLIP Line ip Address is 10.64.0.9\r\n"));
    EXPECT_THAT(log, HasSubstr("GetBestRoute to 10.1.2.3 failed\r\n"));
    EXPECT_THAT(log, HasSubstr("PPP/SLIP Line ip Address is 10.64.0.10\r\n"));
    EXPECT_THAT(log, HasSubstr("Using PPP/SLIP Line to connect SP\r\n"));
    EXPECT_THAT(log, Not(HasSubstr("192.168.1.5")));
}

TEST_F(DialUpTest, JudgesTheHostBeforeAPathOrAnAliasAndSkipsIPv6) {
    m_source.adapters = {{kPpp, 7, {"10.64.0.9"}}};
    m_source.routes = {7};
    struct Case {
        const char* server;
        int expected;
        const char* lookedUp;  // the host given to the IPv4 lookup, or none
    } cases[] = {
        {"gw.corp.com", 1, "gw.corp.com"},
        {"  gw.corp.com\t", 1, "gw.corp.com"},
        {"gw.corp.com/portal/start", 1, "gw.corp.com"},
        {"gw.corp.com\\alias", 1, "gw.corp.com"},
        {"gw.corp.com /portal", 1, "gw.corp.com"},
        {"/gw.corp.com", 0, nullptr},  // not cut: no such host
        {"[fe80::1]", 0, nullptr},     // brackets blanked: an IPv6 literal
        {"v6.corp.com", 0, nullptr},   // resolves to IPv6 first
        {"", 0, nullptr},
        {nullptr, 0, nullptr},
    };
    for (const Case& c : cases) {
        const std::string name = c.server ? c.server : "(null)";
        m_resolver.hostQueries.clear();
        m_source.listCalls = 0;
        EXPECT_EQ(IsClientToSpByPPPLine(c.server), c.expected) << name;
        if (c.lookedUp) {
            EXPECT_THAT(m_resolver.hostQueries, ElementsAre(c.lookedUp)) << name;
        } else {
            EXPECT_TRUE(m_resolver.hostQueries.empty()) << name;
            EXPECT_EQ(m_source.listCalls, 0) << name << ": the adapter list is not read";
        }
    }
    EXPECT_THAT(LogText(), HasSubstr("IsClientToSpByPPPLine: host:gw.corp.com, alias name:portal/start\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("IsClientToSpByPPPLine:The server name is:[fe80::1]\r\n"));
}

TEST_F(DialUpTest, EveryFailureOfTheLookupOrTheListAnswersNo) {
    m_source.adapters = {{kPpp, 7, {"10.64.0.9"}}};
    m_source.routes = {7};

    m_resolver.hosts.erase("gw.corp.com");  // getaddrinfo still answers, gethostbyname does not
    EXPECT_EQ(IsClientToSpByPPPLine("gw.corp.com"), 0);
    EXPECT_THAT(LogText(), HasSubstr("**** Error 11001 returned by gethostbyname:gw.corp.com\r\n"));
    EXPECT_EQ(m_source.listCalls, 0);

    m_resolver.hosts["gw.corp.com"] = {"10.1.2.3"};
    m_source.sizingError = ERROR_NOT_SUPPORTED;
    EXPECT_EQ(IsClientToSpByPPPLine("gw.corp.com"), 0);
    EXPECT_THAT(LogText(), HasSubstr("GetAdaptersInfo sizing failed with error 50\r\n"));

    m_source.sizingError = 0;
    m_source.readError = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(IsClientToSpByPPPLine("gw.corp.com"), 0);
    EXPECT_THAT(LogText(), HasSubstr("GetAdaptersInfo failed with error 87\r\n"));

    m_source.readError = 0;
    m_source.adapters.clear();
    EXPECT_EQ(IsClientToSpByPPPLine("gw.corp.com"), 0);
    EXPECT_THAT(LogText(), HasSubstr("GetAdaptersInfo sizing failed with error 232\r\n"));
    EXPECT_TRUE(m_source.routeDestinations.empty());
}

// The real adapter list and route table: this machine has no dial-up line,
// so the answer is no, and whatever adapters there are hold valid records.
TEST(NetworkPathReal, TheRealAdapterListHasNoDialUpLine) {
    SocketTest::EnsureWinSock();
    EXPECT_EQ(IsClientToSpByPPPLine("127.0.0.1"), 0);

    IAdapterRouteSource& source = AdapterRouteSource();
    ULONG size = 0;
    const DWORD sizing = source.GetAdaptersInfo(nullptr, &size);
    ASSERT_TRUE(sizing == ERROR_BUFFER_OVERFLOW || sizing == ERROR_NO_DATA) << sizing;
    if (sizing == ERROR_NO_DATA) GTEST_SKIP() << "no adapter is listed on this machine";
    std::vector<unsigned char> buffer(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    ASSERT_EQ(source.GetAdaptersInfo(adapters, &size), static_cast<DWORD>(ERROR_SUCCESS));
    for (const IP_ADAPTER_INFO* a = adapters; a; a = a->Next) {
        EXPECT_NE(a->Type, static_cast<UINT>(MIB_IF_TYPE_PPP));
        EXPECT_NE(a->Type, static_cast<UINT>(MIB_IF_TYPE_SLIP));
        EXPECT_GT(::strnlen(a->IpAddressList.IpAddress.String, 16), 0u);
    }
    MIB_IPFORWARDROW route{};
    const DWORD rc = source.GetBestRoute(Address(adapters->IpAddressList.IpAddress.String), 0, &route);
    if (rc != NO_ERROR) GTEST_SKIP() << "GetBestRoute answers " << rc << " here";
    EXPECT_NE(route.dwForwardIfIndex, 0u);
}
