// Opens and closes many loopback tunnels through the plain transport and
// returns from main while reads are still out and the peers still send, so
// that completions arrive while the process ends.
//
// tunnelchurn.exe <report file> [tunnels]: writes "opened N failed F
// inflight K" to the report file just before main returns (K: the tunnels
// left open with a read outstanding; half of them also read on without end
// in buffers of the socket's pool).
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "IOCPDataTransport.h"
#include "Loglib.h"
#include "ProcessServices.h"
#include "QuarloIOCPSocket.h"
#include "QuarloSocketIOPool.h"

static ProcessServices g_processServices;

namespace {

using namespace QuarloSocket;

class ChurnSocket final : public CIOCPClientSocket {
public:
    ChurnSocket() : CIOCPClientSocket(&ProcessIOPool(), 10, 10, 16384, 16) {}
    // Asynchronous reads go on for as long as the peer sends, each in a
    // buffer of this socket's pool.
    void ReadCompleted(CSocketConnection* connection, CIOBuffer*, DWORD) override { connection->Read(nullptr); }
    void WriteCompleted(CSocketConnection*, CIOBuffer*) override {}
};

// Each peer sends a small block every millisecond until its connection fails.
DWORD WINAPI Peer(void* argument) {
    const auto s = reinterpret_cast<SOCKET>(argument);
    char block[512];
    std::memset(block, 'p', sizeof block);
    while (::send(s, block, sizeof block, 0) > 0) ::Sleep(1);
    ::closesocket(s);
    return 0;
}

DWORD WINAPI AcceptLoop(void* argument) {
    const auto listener = reinterpret_cast<SOCKET>(argument);
    for (;;) {
        SOCKET s = ::accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) return 0;
        HANDLE thread = ::CreateThread(nullptr, 0, &Peer, reinterpret_cast<void*>(s), 0, nullptr);
        if (thread) ::CloseHandle(thread);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const int tunnels = argc > 2 ? std::atoi(argv[2]) : 30;
    LogInit(kTavriskModuleId);

    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        return 3;
    }
    HANDLE acceptor = ::CreateThread(nullptr, 0, &AcceptLoop, reinterpret_cast<void*>(listener), 0, nullptr);
    if (acceptor) ::CloseHandle(acceptor);

    // Like the process-wide transport manager: made once, never destroyed.
    auto* owner = new ChurnSocket();
    const SockAddr address(SockAddrPort(ntohs(at.sin_port)), SockAddrHost("127.0.0.1"), AF_INET);
    int opened = 0, failed = 0, inflight = 0;
    for (int i = 0; i < tunnels; ++i) {
        CSocketConnection* c = owner->Connect(address, nullptr);
        if (!c) {
            ++failed;
            continue;
        }
        ++opened;
        auto* transport = new CIOCPDataTransport(c);
        c->Release();
        if (!transport->SendDataSync("hello", 5, 5000)) ++failed;
        // Short time-outs leave reads out on the workers.
        for (int r = 0; r < 3; ++r) {
            CIOBuffer* out = nullptr;
            if (transport->ReceiveDataSync(4096, &out, 2)) out->Release();
        }
        const bool last = i >= tunnels - 6;
        if (last) {
            // Left open on purpose: its read is still out when main returns.
            CIOBuffer* out = nullptr;
            if (transport->ReceiveDataSync(4096, &out, 0)) out->Release();
            if (transport->GetPendingReadCount() > 0) ++inflight;
            if (i % 2 == 0) transport->RequestRecvDataAsync();  // and a stream of pooled reads
        } else if (i % 2 == 0) {
            transport->Close();
            transport->Release();
        } else {
            transport->Release();  // closed abortively with its read still out
        }
    }

    const std::string report =
        "opened " + std::to_string(opened) + " failed " + std::to_string(failed) + " inflight " + std::to_string(inflight) + "\n";
    if (FILE* f = std::fopen(argv[1], "wb")) {
        std::fwrite(report.data(), 1, report.size(), f);
        std::fclose(f);
    }
    return 0;  // static destruction runs while the workers still complete reads
}
