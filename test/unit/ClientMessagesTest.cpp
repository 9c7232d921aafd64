// The datagrams to the running client: their exact bytes, the port rules and
// the guard against two stops at once, received by a loopback UDP socket of
// the test.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "ClientMessages.h"
#include "CommonFunction.h"
#include "Owners.h"
#include "SocketTestSupport.h"
#include "TestSupport.h"

using TestSupport::ScopedRegistryKey;

namespace {

constexpr const wchar_t* kClientPortKey = L"Software\\Brevanto\\L3VPN";
constexpr const wchar_t* kVpn2Key = L"SOFTWARE\\VPN\\VPN2";

const std::string kShowDD =
    "{\n"
    "   \"data\" : {\n"
    "      \"action\" : 22\n"
    "   },\n"
    "   \"error\" : 0,\n"
    "   \"message\" : \"show dd\"\n"
    "}\n";

const std::string kStopDisconnect =
    "{\n"
    "   \"data\" : {\n"
    "      \"action\" : 7,\n"
    "      \"flags\" : 16384,\n"
    "      \"webdisconnect\" : 1\n"
    "   },\n"
    "   \"error\" : 0,\n"
    "   \"message\" : \"stop vpn\"\n"
    "}\n";

const std::string kStopLogout =
    "{\n"
    "   \"data\" : {\n"
    "      \"action\" : 7,\n"
    "      \"webdisconnect\" : 1\n"
    "   },\n"
    "   \"error\" : 0,\n"
    "   \"message\" : \"stop vpn\"\n"
    "}\n";

// A UDP socket on 127.0.0.1 and a port the system chose.
class UdpReceiver {
public:
    UdpReceiver() {
        SocketTest::EnsureWinSock();
        m_socket.reset(::socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        int size = sizeof(address);
        if (!m_socket ||
            ::bind(m_socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::getsockname(m_socket.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        m_port = ::ntohs(address.sin_port);
    }
    uint16_t port() const { return m_port; }
    // One datagram, or nullopt-like false when none came within the time.
    bool Receive(std::string& datagram, DWORD timeoutMs = 3000) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket.get(), &readable);
        timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
        if (::select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
        char buffer[2048];
        const int n = ::recv(m_socket.get(), buffer, sizeof(buffer), 0);
        if (n < 0) return false;
        datagram.assign(buffer, static_cast<size_t>(n));
        return true;
    }

private:
    Owners::UniqueSocket m_socket;
    uint16_t m_port = 0;
};

DWORD ReadDword(const wchar_t* key, const wchar_t* name) {
    DWORD value = 0xDEAD;
    ReadRegistryDword(HKEY_CURRENT_USER, key, name, value);
    return value;
}

}  // namespace

TEST(LocalClientCommand, TextsAreTheStyledWritersBytes) {
    EXPECT_EQ(ShowDDCommandText(), kShowDD);
    EXPECT_EQ(StopVpnCommandText(0), kStopDisconnect);
    EXPECT_EQ(StopVpnCommandText(1), kStopLogout);
}

TEST(LocalClientCommand, PortIsTheValuesLowSixteenBitsOrTheDefault) {
    ScopedRegistryKey key(HKEY_CURRENT_USER, kClientPortKey);
    EXPECT_EQ(LocalClientPort(), 65432) << "no value";
    const struct {
        DWORD value;
        uint16_t port;
    } cases[] = {{5000, 5000}, {70000, 4464}, {65535, 65535}, {0x10000 + 65432, 65432}};
    for (const auto& c : cases) {
        key.SetDword(L"port", c.value);
        EXPECT_EQ(LocalClientPort(), c.port) << c.value;
    }
    key.SetString(L"port", L"5000");
    EXPECT_EQ(LocalClientPort(), 65432) << "a text is no port";
}

TEST(LocalClientCommand, OneDatagramWithoutTerminatorReachesThePortsLowBits) {
    UdpReceiver receiver;
    ASSERT_NE(receiver.port(), 0);
    ScopedRegistryKey key(HKEY_CURRENT_USER, kClientPortKey);
    // The high bits are dropped: the datagram still reaches the receiver.
    key.SetDword(L"port", 0x10000u + receiver.port());
    EXPECT_EQ(LocalClientCommand(kShowDD), static_cast<int>(kShowDD.size()));
    std::string datagram;
    ASSERT_TRUE(receiver.Receive(datagram));
    EXPECT_EQ(datagram, kShowDD);
}

TEST(StopVpn, AStopUnderWayElsewhereSendsNothingAndLeavesItsFlag) {
    TestSupport::ScopedTestLog log(TestSupport::MakeTime(2031, 5, 6, 7, 8, 9, 10));
    UdpReceiver receiver;
    ASSERT_NE(receiver.port(), 0);
    ScopedRegistryKey port(HKEY_CURRENT_USER, kClientPortKey);
    port.SetDword(L"port", receiver.port());
    ScopedRegistryKey vpn2(HKEY_CURRENT_USER, kVpn2Key);
    vpn2.SetDword(L"BrevantoWebDuringDisconnect", 1);
    BVStopVPN(0);
    std::string datagram;
    EXPECT_FALSE(receiver.Receive(datagram, 500)) << datagram;
    EXPECT_EQ(ReadDword(kVpn2Key, L"BrevantoWebDuringDisconnect"), 1u);
    EXPECT_NE(log.Text().find("BVStopVPN, Brevanto web is during disconnect.\r\n"), std::string::npos);
}
