#include "NetworkPath.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Loglib.h"
#include "Owners.h"
#include "SockAddr.h"
#include "StringUtil.h"

namespace {

constexpr UINT kAdapterTypePpp = 23;
constexpr UINT kAdapterTypeSlip = 28;

class RealAdapterRouteSource final : public IAdapterRouteSource {
public:
    DWORD GetAdaptersInfo(IP_ADAPTER_INFO* adapters, ULONG* size) override {
        return ::GetAdaptersInfo(adapters, size);
    }
    DWORD GetBestRoute(DWORD destination, DWORD source, MIB_IPFORWARDROW* route) override {
        return ::GetBestRoute(destination, source, route);
    }
};

constinit RealAdapterRouteSource g_realSource;
std::atomic<IAdapterRouteSource*> g_source{nullptr};

using Owners::UniqueSocket;

std::string DottedQuad(uint32_t networkOrder) {
    const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
    return FormatA("%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
}

// The host part of a server text: brackets blanked, cut at the first '/'
// (or else '\') that does not begin the text, then trimmed.
std::string HostOfServer(const std::string& server) {
    std::string copy = server;
    for (char& c : copy) {
        if (c == '[' || c == ']') c = ' ';
    }
    if (!copy.empty()) {
        size_t cut = copy.find('/');
        if (cut == std::string::npos || cut == 0) cut = copy.find('\\');
        if (cut != std::string::npos && cut > 0) {
            LOGA(LOG_INFO, "IsClientToSpByPPPLine: host:%s, alias name:%s\n",
                 copy.substr(0, cut).c_str(), copy.substr(cut + 1).c_str());
            copy.resize(cut);
        }
    }
    return TrimWhiteSpace(copy);
}

bool IsDialUpLine(const IP_ADAPTER_INFO& adapter) {
    return adapter.Type == kAdapterTypePpp || adapter.Type == kAdapterTypeSlip;
}

}  // namespace

IAdapterRouteSource& AdapterRouteSource() {
    IAdapterRouteSource* source = g_source.load();
    return source ? *source : static_cast<IAdapterRouteSource&>(g_realSource);
}

IAdapterRouteSource* SetAdapterRouteSourceForTest(IAdapterRouteSource* source) {
    return g_source.exchange(source);
}

HostIPv4Addresses GetHostIPv4Addresses(const char* host) {
    HostIPv4Addresses result;
    std::vector<uint32_t> addresses;
    // An empty name would answer with this computer's own addresses.
    const int error = (host && *host) ? QuarloSocket::Resolver().GetHostIPv4(host, addresses)
                                      : WSAHOST_NOT_FOUND;
    if (error != 0) {
        LOGA(LOG_WARNING, "gethostbyname error %d\n", error);
        return result;
    }
    if (addresses.empty()) return result;
    result.ip1 = addresses[0];
    if (result.ip1 == 0 || addresses.size() < 2) return result;
    result.ip2 = addresses[1];
    if (result.ip2 == 0 || addresses.size() < 3) return result;
    result.ip3 = addresses[2];
    return result;
}

int32_t IsAddressableIP(const char* address, uint16_t port) {
    const QuarloSocket::SockAddrHost host(address);
    if (!host.isValid()) return kProbeInvalidAddress;
    UniqueSocket socket(::socket(static_cast<int>(host.getFamily()), SOCK_STREAM, 0));
    if (!socket) return kProbeNoSocket;
    const QuarloSocket::SockAddr target(QuarloSocket::SockAddrPort(port), host, AF_INET);
    if (!target.isValid()) return kProbeInvalidSocketAddress;
    if (::connect(socket.get(), target.sockaddr(), sizeof(sockaddr_in)) != 0) {
        return kProbeConnectFailed;
    }
    return kProbeConnected;
}

int32_t IsUnderInsideNetwork(const char* host, int32_t port) {
    const HostIPv4Addresses addresses = GetHostIPv4Addresses(host);
    for (uint32_t ip : {addresses.ip1, addresses.ip2, addresses.ip3}) {
        if (ip == 0) continue;
        const std::string text = DottedQuad(ip);
        const int32_t code = IsAddressableIP(text.c_str(), static_cast<uint16_t>(port));
        LOGA(LOG_INFO, "IsAddressableIP: ip:%s, iValue:%d\n", text.c_str(), code);
        if (code == kProbeConnected) return 1;
    }
    return 0;
}

int32_t IsClientToSpByPPPLine(const char* server) {
    const std::string serverText = server ? server : "";
    const std::string host = HostOfServer(serverText);

    const QuarloSocket::SockAddrHost resolved(host.c_str());
    if (!resolved.isValid() || resolved.getFamily() == AF_INET6) {
        LOGA(LOG_WARNING, "IsClientToSpByPPPLine:The server name is:%s\n", serverText.c_str());
        return 0;
    }
    std::vector<uint32_t> addresses;
    int error = QuarloSocket::Resolver().GetHostIPv4(host.c_str(), addresses);
    if (error == 0 && addresses.empty()) error = WSANO_DATA;
    if (error != 0) {
        LOGA(LOG_ERROR, "**** Error %d returned by gethostbyname:%s\n", error, serverText.c_str());
        return 0;
    }
    const uint32_t destination = addresses[0];

    IAdapterRouteSource& source = AdapterRouteSource();
    ULONG size = 0;
    DWORD rc = source.GetAdaptersInfo(nullptr, &size);
    if (rc != ERROR_SUCCESS && rc != ERROR_BUFFER_OVERFLOW) {
        LOGA(LOG_ERROR, "GetAdaptersInfo sizing failed with error %d\n", static_cast<int>(rc));
        return 0;
    }
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]());
    if (!buffer) {
        LOGA(LOG_ERROR, "Memory allocation error\n");
        return 0;
    }
    auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get());
    rc = source.GetAdaptersInfo(adapters, &size);
    if (rc != ERROR_SUCCESS) {
        LOGA(LOG_ERROR, "GetAdaptersInfo failed with error %d\n", static_cast<int>(rc));
        return 0;
    }

    const auto* d = reinterpret_cast<const unsigned char*>(&destination);
    for (const IP_ADAPTER_INFO* adapter = adapters; adapter; adapter = adapter->Next) {
        if (!IsDialUpLine(*adapter)) continue;
        LOGA(LOG_INFO, "Find PPP/SLIP Line\n");
        for (const IP_ADDR_STRING* entry = &adapter->IpAddressList; entry; entry = entry->Next) {
            const std::string address(entry->IpAddress.String,
                                      ::strnlen(entry->IpAddress.String,
                                                sizeof entry->IpAddress.String));
            LOGA(LOG_INFO, "PPP/SLIP Line ip Address is %s\n", address.c_str());
            MIB_IPFORWARDROW route{};
            if (source.GetBestRoute(destination, 0, &route) != NO_ERROR) {
                LOGA(LOG_ERROR, "GetBestRoute to %d.%d.%d.%d failed\n", d[0], d[1], d[2], d[3]);
                continue;
            }
            if (route.dwForwardIfIndex == adapter->Index) {
                LOGA(LOG_INFO, "Using PPP/SLIP Line to connect SP\n");
                return 1;
            }
        }
    }
    return 0;
}
