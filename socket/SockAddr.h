// Socket addresses that carry an error text instead of failing, and the
// resolver they use (real by default, replaceable by tests).
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <string>
#include <vector>

namespace QuarloSocket {

// Name resolution of the system. Every lookup goes through the current
// resolver, so tests can present several addresses or failures.
class IResolver {
public:
    virtual ~IResolver() = default;
    // getaddrinfo semantics: 0 or a WSA error code.
    virtual int GetAddrInfo(const char* host, const addrinfo* hints, addrinfo** result) = 0;
    virtual void FreeAddrInfo(addrinfo* list) = 0;
    // IPv4 host lookup (gethostbyname): 0 and the addresses in network order,
    // or a WSA error code.
    virtual int GetHostIPv4(const char* host, std::vector<uint32_t>& addresses) = 0;
};
IResolver& Resolver();
IResolver* SetResolverForTest(IResolver* resolver);

// The resolver table's text for a WSA error code.
const char* ResolverErrorText(int code);

// Writes the text of a 16-byte IPv6 address; nullptr when it does not fit.
char* FormatIPv6Address(const unsigned char* bytes, char* out, size_t size);

class SockAddrHost {
public:
    SockAddrHost();
    explicit SockAddrHost(const char* host);
    SockAddrHost(const SockAddrHost& other);
    SockAddrHost& operator=(const SockAddrHost& other);

    std::string toString() const;
    bool isValid() const { return m_error.empty(); }
    std::string getError() const { return m_error; }
    uint32_t getFamily() const { return m_family; }
    uint32_t address() const { return m_address; }
    const in_addr& addr4() const { return m_addr4; }
    const in6_addr& addr6() const { return m_addr6; }

    static char* inet_ntop4(const unsigned char* bytes, char* out, size_t size);
    static char* inet_ntop6(const unsigned char* bytes, char* out, size_t size);

private:
    void resolveAddress(const char* host);
    void copyFrom(const SockAddrHost& other);

    uint32_t m_address = 0;
    std::string m_ipv4;
    std::string m_ipv6;
    in_addr m_addr4{};
    in6_addr m_addr6{};
    uint32_t m_family = 0;
    std::string m_error;
};

class SockAddrPort {
public:
    explicit SockAddrPort(uint16_t hostOrderPort = 0) : m_port(htons(hostOrderPort)) {}
    uint16_t port() const { return m_port; }
    std::string getError() const { return m_error; }

private:
    uint16_t m_port;
    std::string m_error;
};

class SockAddr {
public:
    SockAddr();
    SockAddr(SockAddrPort port, SockAddrHost host, uint32_t family);
    SockAddr(const SockAddr&) = default;
    SockAddr& operator=(const SockAddr& other);

    const ::sockaddr* sockaddr() const;
    int length() const { return m_host.getFamily() == AF_INET ? 16 : 28; }
    bool isValid() const { return m_error.empty(); }
    std::string getError() const { return m_error; }
    const SockAddrHost& host() const { return m_host; }
    uint16_t port() const { return m_port.port(); }

private:
    SockAddrHost m_host;
    SockAddrPort m_port;
    sockaddr_in m_in4{};
    sockaddr_in6 m_in6{};
    std::string m_error;
};

}  // namespace QuarloSocket
