// Download throughput through the TLS transport: N MiB (256 by default) read
// with CSSLDataTransport::ReceiveDataSync over the completion-port socket,
// beside a minimal direct loop of DecryptMessage calls on a blocking socket
// in the same Wine, from the same gateway double, in R alternating rounds
// (1 by default). Start the double for 2 x R connections, then run under the
// harness:
//   echo '[{"op": "bulk", "bytes": 268435456}]' >/tmp/bulk.json
//   test/doubles/tls_gateway.py --cert-dir build/tls-gateway/certs
//       --ready-file /tmp/tls.port --connections 10 --script /tmp/bulk.json &   (one line)
//   build/harness/winerun build/bench/tlsbench.exe $(cat /tmp/tls.port) 256 5
#include <winsock2.h>
#include <windows.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <schannel.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BareTlsClient.h"
#include "IOCPDataTransport.h"
#include "Owners.h"
#include "ProcessServices.h"
#include "QuarloSocketIOPool.h"
#include "SSLDataTransport.h"

static ProcessServices g_processServices;

using namespace QuarloSocket;

namespace {

class BenchSocket : public CIOCPClientSocket {
public:
    BenchSocket() : CIOCPClientSocket(&ProcessIOPool(), 4, 10, 16384, 16) {}
    void ReadCompleted(CSocketConnection*, CIOBuffer*, DWORD) override {}
    void WriteCompleted(CSocketConnection*, CIOBuffer*) override {}
};

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

// MB/s through the transport, 0 on failure.
double ThroughTransport(uint16_t port, uint64_t total) {
    static BenchSocket* const socket = new BenchSocket();
    const SockAddr address(SockAddrPort(port), SockAddrHost("127.0.0.1"), AF_INET);
    CSocketConnection* connection = socket->Connect(address, nullptr);
    if (!connection) return 0;
    TransportRef plain(new CIOCPDataTransport(connection));
    connection->Release();
    TransportRef tls(new CSSLDataTransport(plain.get(), "localhost", false, true, nullptr, false));
    if (!tls->Init()) return 0;
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    uint64_t got = 0;
    while (got < total) {
        CIOBuffer* buffer = nullptr;
        if (!tls->ReceiveDataSync(65536, &buffer, 30000)) break;
        got += buffer->Used();
        buffer->Release();
    }
    ::QueryPerformanceCounter(&end);
    tls->Close();
    return got == total ? double(total) / 1e6 / Seconds(start, end) : 0;
}

// The same download with the provider called directly on a blocking socket.
double Direct(uint16_t port, uint64_t total) {
    BareTlsClient client;
    if (!client.Connect(port)) return 0;
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    const uint64_t got = client.Receive(total);
    ::QueryPerformanceCounter(&end);
    return got == total ? double(total) / 1e6 / Seconds(start, end) : 0;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: tlsbench <gateway port> [MiB] [rounds]\n");
        return 1;
    }
    const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
    const uint64_t total = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256) << 20;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 1;
    // Alternating rounds, so that a busy machine slows both alike.
    std::vector<double> transport, direct;
    for (int i = 0; i < rounds; ++i) {
        transport.push_back(ThroughTransport(port, total));
        direct.push_back(Direct(port, total));
        std::printf("round %d: %.1f MB/s through the transport, %.1f MB/s direct\n", i + 1, transport.back(),
                    direct.back());
    }
    const double t = Median(transport), d = Median(direct);
    std::printf("%llu MiB over loopback TLS 1.2, median of %d rounds\n", static_cast<unsigned long long>(total >> 20),
                rounds);
    std::printf("CSSLDataTransport::ReceiveDataSync: %.1f MB/s\n", t);
    std::printf("direct DecryptMessage loop:         %.1f MB/s\n", d);
    if (d > 0) std::printf("ratio: %.2f\n", t / d);
    return t > 0 && d > 0 ? 0 : 1;
}
