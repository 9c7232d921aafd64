// The one factory of tunnels to the gateway and the process-wide state it
// keeps between requests.
#pragma once

#include <cstdint>
#include <string>

namespace QuarloSocket {

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

}  // namespace QuarloSocket
