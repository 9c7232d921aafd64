// Address lists of the gateway host with the address that last worked, the
// proxy published for the client; the TLS alert names and the printout of a
// record that did not decrypt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace QuarloSocket {

// The host's addresses as texts, in the resolver's order; a non-empty
// preferred address comes first and is not listed twice. An empty host gives
// an empty list without a lookup. A bracketed IPv6 literal is looked up
// without its brackets.
std::vector<std::string> ResolveAddressList(const char* host, const char* preferred = nullptr);

// The address that last gave a working connection; while the flag is set,
// direct tunnels try only that address. Never destroyed: a late completion
// or a static destructor may still clear it.
struct TransportAddressCache {
    uint32_t cached = 0;
    std::string address;
    std::string host;
};
TransportAddressCache& AddressCache();
// Every close or destruction of a TLS transport drops the cached address.
void ClearCachedAddressFlag();
// Flag and texts, after a failed connection.
void ClearAddressCache();

// Publishes the proxy in use under HKCU "SOFTWARE\VPN\autoproxy" (enabled,
// port, host); anything short of a host and a port writes the disabled values.
void SetAutoProxy(bool enable, const char* host, uint16_t port);

// The name of a TLS alert description code, "unknown" for any other code.
const char* GetSSLAlertDescription(int code);

// Logs the record type of a TLS record (with the level and description of
// an alert) at level ERROR; other types log nothing.
void PrintSSLPacketInfo(const unsigned char* record, size_t length);

}  // namespace QuarloSocket
