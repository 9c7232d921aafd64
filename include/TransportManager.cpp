#include "SSLTunnelTransport.h"

namespace QuarloSocket {

TransportAddressCache& AddressCache() {
    static TransportAddressCache* cache = new TransportAddressCache();
    return *cache;
}

void ClearCachedAddressFlag() { AddressCache().cached = 0; }

void ClearAddressCache() {
    TransportAddressCache& cache = AddressCache();
    cache.cached = 0;
    cache.address.clear();
    cache.host.clear();
}

}  // namespace QuarloSocket
