#include <winsock2.h>
#include <ws2tcpip.h>

#include "AutoProxyCallbacks.h"

#include <cstring>
#include <vector>

#include "SockAddr.h"

namespace {

constexpr DWORD kInsufficientBuffer = ERROR_INSUFFICIENT_BUFFER;     // 122
constexpr DWORD kNotEnoughMemory = ERROR_NOT_ENOUGH_MEMORY;          // 8
constexpr DWORD kNameNotResolved = 12007;                            // ERROR_INTERNET_NAME_NOT_RESOLVED
constexpr DWORD kInternalError = 12004;                              // ERROR_INTERNET_INTERNAL_ERROR
constexpr DWORD kScratchBytes = 32767;

DWORD ResolutionError(int error) {
    return error == static_cast<int>(kNotEnoughMemory) ? kNotEnoughMemory : kNameNotResolved;
}

// Owner of one answer list of the resolver.
class AddressList {
public:
    ~AddressList() {
        if (m_list) QuarloSocket::Resolver().FreeAddrInfo(m_list);
    }
    addrinfo** put() { return &m_list; }
    addrinfo* get() const { return m_list; }

private:
    addrinfo* m_list = nullptr;
};

}  // namespace

DWORD WINAPI ResolveHostName(LPSTR host, LPSTR address, LPDWORD size) {
    if (!host || !size) return kNameNotResolved;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    int error = 0;
    {
        AddressList numeric;
        error = QuarloSocket::Resolver().GetAddrInfo(host, &hints, numeric.put());
    }
    if (error == 0) {
        const DWORD length = static_cast<DWORD>(std::strlen(host));
        if (!address || *size <= length) {
            *size = length + 1;
            return kInsufficientBuffer;
        }
        std::memcpy(address, host, length + 1);
        return 0;
    }
    if (error != WSAHOST_NOT_FOUND) return ResolutionError(error);
    hints.ai_flags = 0;
    AddressList names;
    error = QuarloSocket::Resolver().GetAddrInfo(host, &hints, names.put());
    if (error != 0) return ResolutionError(error);
    for (const addrinfo* entry = names.get(); entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
        if (!address) return kNameNotResolved;
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        in_addr copy = in->sin_addr;
        return ::inet_ntop(AF_INET, &copy, address, *size) ? 0 : kNameNotResolved;
    }
    return kNameNotResolved;
}

BOOL WINAPI IsResolvable(LPSTR host) {
    std::vector<char> scratch(kScratchBytes);
    DWORD size = kScratchBytes;
    return ResolveHostName(host, scratch.data(), &size) == 0 ? TRUE : FALSE;
}

DWORD WINAPI GetIPAddress(LPSTR address, LPDWORD size) {
    std::vector<char> name(kScratchBytes);
    if (::gethostname(name.data(), static_cast<int>(name.size())) != 0) return kInternalError;
    return ResolveHostName(name.data(), address, size);
}

BOOL WINAPI IsInNet(LPSTR address, LPSTR destination, LPSTR mask) {
    if (!address || !destination || !mask) return FALSE;
    const unsigned long a = ::inet_addr(address), d = ::inet_addr(destination),
                        m = ::inet_addr(mask);
    if (a == INADDR_NONE || d == INADDR_NONE) return FALSE;
    return (a & m) == d ? TRUE : FALSE;
}

namespace {
constexpr AutoProxyHelperTable kHelperTable = {IsResolvable, GetIPAddress, ResolveHostName,
                                               IsInNet, {}};
}  // namespace

const AutoProxyHelperRecord g_AutoProxyHelpers = {&kHelperTable};
