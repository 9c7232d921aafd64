// The way to the gateway: whether the computer already sits in the network
// behind it, and whether the best route to it leaves through a dial-up line.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdint>

// The first three IPv4 addresses of a host in network order; 0 marks an
// empty place.
struct HostIPv4Addresses {
    uint32_t ip1 = 0;
    uint32_t ip2 = 0;
    uint32_t ip3 = 0;
};

// Probe results of IsAddressableIP.
enum AddressProbe : int32_t {
    kProbeInvalidAddress = 1,
    kProbeNoSocket = 2,
    kProbeInvalidSocketAddress = 3,
    kProbeConnectFailed = 4,
    kProbeConnected = 5,
};

// 1 when one of the host's first three IPv4 addresses accepts a TCP
// connection on the port, else 0.
int32_t IsUnderInsideNetwork(const char* host, int32_t port);
HostIPv4Addresses GetHostIPv4Addresses(const char* host);
// A blocking connect to the address on the port; one of AddressProbe.
int32_t IsAddressableIP(const char* address, uint16_t port);

// 1 when the best route to the server leaves through a PPP or SLIP adapter;
// 0 otherwise and on every failure.
int32_t IsClientToSpByPPPLine(const char* server);

// The adapter list and the route table of the system (real by default,
// replaceable by tests, as no dial-up line can be made on demand).
class IAdapterRouteSource {
public:
    virtual ~IAdapterRouteSource() = default;
    // GetAdaptersInfo semantics: 0, ERROR_BUFFER_OVERFLOW with the size, or
    // another error.
    virtual DWORD GetAdaptersInfo(IP_ADAPTER_INFO* adapters, ULONG* size) = 0;
    // GetBestRoute semantics: 0 and the route, or an error.
    virtual DWORD GetBestRoute(DWORD destination, DWORD source, MIB_IPFORWARDROW* route) = 0;
};
IAdapterRouteSource& AdapterRouteSource();
IAdapterRouteSource* SetAdapterRouteSourceForTest(IAdapterRouteSource* source);
