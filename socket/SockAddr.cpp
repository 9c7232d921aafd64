#include "SockAddr.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "Loglib.h"
#include "StringUtil.h"

namespace QuarloSocket {
namespace {

class RealResolver final : public IResolver {
public:
    int GetAddrInfo(const char* host, const addrinfo* hints, addrinfo** result) override {
        return ::getaddrinfo(host, nullptr, hints, result);
    }
    void FreeAddrInfo(addrinfo* list) override {
        if (list) ::freeaddrinfo(list);
    }
    int GetHostIPv4(const char* host, std::vector<uint32_t>& addresses) override {
        addresses.clear();
        hostent* entry = ::gethostbyname(host);
        if (!entry) return ::WSAGetLastError();
        if (entry->h_addrtype == AF_INET && entry->h_length == 4) {
            for (char** p = entry->h_addr_list; p && *p; ++p) {
                uint32_t a = 0;
                std::memcpy(&a, *p, 4);
                addresses.push_back(a);
            }
        }
        return 0;
    }
};

// Never destroyed: a completion worker may resolve a datagram's destination
// while static destructors run at exit.
IResolver& RealResolverInstance() {
    alignas(RealResolver) static unsigned char storage[sizeof(RealResolver)];
    static IResolver* const instance = new (storage) RealResolver();
    return *instance;
}

std::atomic<IResolver*> g_resolver{nullptr};

}  // namespace

IResolver& Resolver() {
    IResolver* r = g_resolver.load();
    return r ? *r : RealResolverInstance();
}

IResolver* SetResolverForTest(IResolver* resolver) { return g_resolver.exchange(resolver); }

const char* ResolverErrorText(int code) {
    switch (code) {
    case WSAHOST_NOT_FOUND: return "host not found";
    case WSATRY_AGAIN: return "name server not responding";
    case WSANO_RECOVERY: return "name server failure";
    case WSANO_DATA: return "no address for host";
    default: return "invalid host or ip specification";
    }
}

char* FormatIPv6Address(const unsigned char* bytes, char* out, size_t size) {
    if (!bytes || !out) return nullptr;
    unsigned words[8];
    for (int i = 0; i < 8; ++i) words[i] = (bytes[2 * i] << 8) | bytes[2 * i + 1];

    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (words[i] != 0) { ++i; continue; }
        int j = i;
        while (j < 8 && words[j] == 0) ++j;
        if (j - i > bestLength) { bestStart = i; bestLength = j - i; }
        i = j;
    }
    if (bestLength < 2) bestStart = -1, bestLength = 0;

    std::string text;
    for (int i = 0; i < 8; ++i) {
        // A word inside the run writes nothing; this rule comes before the
        // IPv4-tail rule, so that ::2 is not written as ::0.0.0.2.
        if (bestStart >= 0 && i >= bestStart && i < bestStart + bestLength) {
            if (i == bestStart) text += ':';
            continue;
        }
        if (i == 6 && bestStart == 0 &&
            (bestLength == 6 || (bestLength == 7 && words[7] != 1) ||
             (bestLength == 5 && words[5] == 0xFFFF))) {
            text += ':';
            char tail[16];
            if (!SockAddrHost::inet_ntop4(bytes + 12, tail, sizeof tail)) return nullptr;
            text += tail;
            break;
        }
        if (i != 0) text += ':';
        text += FormatA("%x", words[i]);
    }
    if (bestStart >= 0 && bestStart + bestLength == 8) text += ':';
    if (text.size() > 46 || text.size() + 1 > size) return nullptr;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

char* SockAddrHost::inet_ntop4(const unsigned char* bytes, char* out, size_t size) {
    if (!bytes || !out || size == 0) return nullptr;
    std::string text = FormatA("%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    if (text.empty() || text.size() > size - 1) return nullptr;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

char* SockAddrHost::inet_ntop6(const unsigned char* bytes, char* out, size_t size) {
    return FormatIPv6Address(bytes, out, size);
}

SockAddrHost::SockAddrHost() : m_error("Uninitialized Host") {}

SockAddrHost::SockAddrHost(const char* host) { resolveAddress(host); }

void SockAddrHost::copyFrom(const SockAddrHost& other) {
    m_address = other.m_address;
    m_error = other.m_error;
    if (other.m_family == AF_INET) {
        m_ipv4 = other.m_ipv4;
        m_addr4 = other.m_addr4;
    } else {
        m_ipv6 = other.m_ipv6;
        m_addr6 = other.m_addr6;
    }
    m_family = other.m_family;
}

SockAddrHost::SockAddrHost(const SockAddrHost& other) {
    // The copy keeps the original reason, so a caller still learns why the
    // host is invalid.
    if (!other.m_error.empty()) {
        LOGA(LOG_ERROR, "%s\n", "SockAddrHost::SockAddrHost parameter is invalid");
    }
    copyFrom(other);
}

SockAddrHost& SockAddrHost::operator=(const SockAddrHost& other) {
    if (!other.m_error.empty()) {
        LOGA(LOG_ERROR, "%s\n", "Assignment SockAddrHost parameter is invalid");
    }
    if (this == &other) return *this;
    copyFrom(other);
    return *this;
}

std::string SockAddrHost::toString() const {
    if (m_family == AF_INET) return m_ipv4;
    if (m_family == AF_INET6) return m_ipv6;
    return {};
}

void SockAddrHost::resolveAddress(const char* host) {
    if (!host) {
        m_error = "host name is NULL";
        LOGA(LOG_ERROR, "resolveAddress, host name is NULL\n");
        return;
    }
    if (!*host) {
        // getaddrinfo would answer with a local address.
        m_error = "host name is empty";
        LOGA(LOG_ERROR, "resolveAddress, host name is empty\n");
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = Resolver().GetAddrInfo(host, &hints, &list);
    bool won = false;
    if (rc == 0) {
        for (addrinfo* cur = list; cur && !won; cur = cur->ai_next) {
            m_family = static_cast<uint32_t>(cur->ai_family);
            if (cur->ai_family == AF_INET) {
                if (!cur->ai_addr) {
                    m_error = "SockAddrHost::resolveAddress is curr->ai_addr NULL ptr";
                    LOGA(LOG_WARNING, "%s\n", m_error.c_str());
                    continue;
                }
                const auto* in = reinterpret_cast<const sockaddr_in*>(cur->ai_addr);
                const auto* b = reinterpret_cast<const unsigned char*>(&in->sin_addr);
                m_ipv4 = FormatA("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
                m_addr4 = in->sin_addr;
                m_address = in->sin_addr.s_addr;
                won = true;
            } else if (cur->ai_family == AF_INET6) {
                if (!cur->ai_addr) {
                    m_error = "SockAddrHost::resolveAddress is ai_addr NULL ptr";
                    LOGA(LOG_WARNING, "%s\n", m_error.c_str());
                    continue;
                }
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(cur->ai_addr);
                char text[46];
                if (inet_ntop6(reinterpret_cast<const unsigned char*>(&in6->sin6_addr), text,
                               sizeof text)) {
                    m_ipv6 = text;
                }
                m_addr6 = in6->sin6_addr;
                won = true;
            } else {
                m_error = "resolve ai_family is AF_UNSPEC";
                LOGA(LOG_WARNING, "resolve ai_family is AF_UNSPEC\n");
            }
        }
    }
    if (won) {
        // A usable entry wins over whatever a skipped entry left behind.
        m_error.clear();
    } else {
        m_family = 0;
        m_error = ResolverErrorText(rc != 0 ? rc : WSANO_DATA);
        LOGA(LOG_WARNING, "error:%s\n", m_error.c_str());
    }
    Resolver().FreeAddrInfo(list);
}

SockAddr::SockAddr() : m_port(0) {}

SockAddr::SockAddr(SockAddrPort port, SockAddrHost host, uint32_t family)
    : m_host(host), m_port(port) {
    if (!m_port.getError().empty()) {
        m_error = m_port.getError();
    } else if (!m_host.isValid()) {
        m_error = m_host.getError();
    } else if (m_host.getFamily() == AF_INET) {
        m_in4.sin_family = static_cast<ADDRESS_FAMILY>(family);
        m_in4.sin_port = m_port.port();
        m_in4.sin_addr = m_host.addr4();
    } else if (m_host.getFamily() == AF_INET6) {
        m_in6.sin6_family = AF_INET6;
        m_in6.sin6_port = m_port.port();
        m_in6.sin6_addr = m_host.addr6();
        m_in6.sin6_scope_id = 0;
    } else {
        m_error = "SockAddr::SockAddr  NULL ptr";
        LOGA(LOG_ERROR, "SockAddr::SockAddr  NULL ptr\n");
    }
}

SockAddr& SockAddr::operator=(const SockAddr& other) {
    m_host = other.m_host;
    m_port = other.m_port;
    m_in4 = other.m_in4;
    m_in6 = other.m_in6;
    m_error = other.m_error;
    return *this;
}

const ::sockaddr* SockAddr::sockaddr() const {
    if (m_host.getFamily() == AF_INET) return reinterpret_cast<const ::sockaddr*>(&m_in4);
    return reinterpret_cast<const ::sockaddr*>(&m_in6);
}

}  // namespace QuarloSocket
