// Throughput of the plain transport over loopback. The same stream (256 MiB
// by default) is read through CIOCPDataTransport::ReceiveDataSync with 16 KiB
// reads and by a plain blocking recv loop of 16 KiB in the same Wine process,
// three rounds each; prints the best MB/s of both and their ratio. The stream
// comes from a native peer:
//   bench/stream_peer.py /tmp/peer.port 256 &
//   build/harness/winerun build/bench/transportbench.exe $(cat /tmp/peer.port) 256
// With port 0, a sender thread of this process stands in for the peer.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "IOCPDataTransport.h"
#include "ProcessServices.h"
#include "QuarloSocketIOPool.h"

static ProcessServices g_processServices;

using namespace QuarloSocket;

namespace {

constexpr uint32_t kReadSize = 16 * 1024;

class BenchSocket : public CIOCPClientSocket {
public:
    BenchSocket() : CIOCPClientSocket(&ProcessIOPool(), 10, 10, 16384, 16) {}
    void ReadCompleted(CSocketConnection*, CIOBuffer*, DWORD) override {}
    void WriteCompleted(CSocketConnection*, CIOBuffer*) override {}
};

double Seconds(LARGE_INTEGER start) {
    LARGE_INTEGER end, frequency;
    ::QueryPerformanceCounter(&end);
    ::QueryPerformanceFrequency(&frequency);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

// The stream is the bytes 0 to 255 over and over; a wrong byte ends the run.
bool Check(const unsigned char* bytes, size_t n, uint64_t at) {
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != static_cast<unsigned char>((at + i) & 0xFF)) return false;
    }
    return true;
}

struct LocalPeer {
    SOCKET listener = INVALID_SOCKET;
    uint64_t total = 0;
};

DWORD WINAPI LocalSender(void* argument) {
    auto* peer = static_cast<LocalPeer*>(argument);
    static unsigned char block[65536];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<unsigned char>(i);
    for (;;) {
        SOCKET s = ::accept(peer->listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) return 0;
        for (uint64_t left = peer->total; left > 0;) {
            const int n = static_cast<int>(left < sizeof block ? left : sizeof block);
            const int sent = ::send(s, reinterpret_cast<const char*>(block), n, 0);
            if (sent <= 0) break;
            left -= static_cast<uint64_t>(sent);
        }
        ::shutdown(s, SD_SEND);
        ::closesocket(s);
    }
}

uint16_t StartLocalPeer(LocalPeer& peer) {
    peer.listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    ::bind(peer.listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
    ::listen(peer.listener, 4);
    ::getsockname(peer.listener, reinterpret_cast<sockaddr*>(&at), &length);
    HANDLE thread = ::CreateThread(nullptr, 0, &LocalSender, &peer, 0, nullptr);
    if (thread) ::CloseHandle(thread);
    return ntohs(at.sin_port);
}

// MB/s through the transport, or a negative value on a failure.
double ThroughTransport(BenchSocket& owner, const SockAddr& address, uint64_t total) {
    CSocketConnection* connection = owner.Connect(address, nullptr);
    if (!connection) return -1;
    TransportRef transport(new CIOCPDataTransport(connection));
    connection->Release();
    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    uint64_t got = 0;
    while (got < total) {
        CIOBuffer* out = nullptr;
        if (!transport->ReceiveDataSync(kReadSize, &out, 30000)) break;
        const bool ok = Check(out->Data(), out->Used(), got);
        got += out->Used();
        out->Release();
        if (!ok) return -2;
    }
    const double seconds = Seconds(start);
    transport->Close();
    return got == total ? double(total) / 1e6 / seconds : -3;
}

double ThroughRecv(const SockAddr& address, uint64_t total) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (::connect(s, address.sockaddr(), address.length()) != 0) {
        ::closesocket(s);
        return -1;
    }
    static unsigned char buffer[kReadSize];
    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    uint64_t got = 0;
    while (got < total) {
        const int n = ::recv(s, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
        if (n <= 0) break;
        if (!Check(buffer, static_cast<size_t>(n), got)) {
            ::closesocket(s);
            return -2;
        }
        got += static_cast<uint64_t>(n);
    }
    const double seconds = Seconds(start);
    ::closesocket(s);
    return got == total ? double(total) / 1e6 / seconds : -3;
}

}  // namespace

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 0;
    const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
    const uint64_t total = mib * 1024 * 1024;
    LocalPeer local;
    local.total = total;
    if (port == 0) port = StartLocalPeer(local);
    const SockAddr address(SockAddrPort(static_cast<uint16_t>(port)), SockAddrHost("127.0.0.1"), AF_INET);
    auto* owner = new BenchSocket();  // never destroyed, as the process-wide one
    double bestTransport = 0, bestRecv = 0;
    for (int round = 0; round < 3; ++round) {
        const double transport = ThroughTransport(*owner, address, total);
        const double plain = ThroughRecv(address, total);
        std::printf("round %d: transport %.1f MB/s, recv %.1f MB/s\n", round + 1, transport, plain);
        if (transport < 0 || plain < 0) {
            std::printf("failed (%s)\n", transport < 0 ? "transport" : "recv");
            return 1;
        }
        if (transport > bestTransport) bestTransport = transport;
        if (plain > bestRecv) bestRecv = plain;
    }
    std::printf("%llu MiB in %u-byte reads, %s peer: transport %.1f MB/s, recv %.1f MB/s, ratio %.2f\n",
                static_cast<unsigned long long>(mib), kReadSize, local.listener == INVALID_SOCKET ? "native" : "in-process",
                bestTransport, bestRecv, bestTransport / bestRecv);
    return 0;
}
