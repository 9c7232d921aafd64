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

bool SendAll(SOCKET s, const void* bytes, ULONG n) {
    const char* p = static_cast<const char*>(bytes);
    while (n > 0) {
        const int sent = ::send(s, p, static_cast<int>(n), 0);
        if (sent <= 0) return false;
        p += sent;
        n -= static_cast<ULONG>(sent);
    }
    return true;
}

// The same download with the provider called directly on a blocking socket.
double Direct(uint16_t port, uint64_t total) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return 0;

    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
    CredHandle credHandle{};
    TimeStamp expiry{};
    wchar_t package[] = L"Microsoft Unified Security Protocol Provider";
    if (::AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                    nullptr, &credHandle, &expiry) != SEC_E_OK)
        return 0;
    Owners::UniqueCredHandle credential(credHandle);
    CtxtHandle context{};
    Owners::UniqueSecContext contextOwner;
    std::vector<unsigned char> in(1 << 17);
    ULONG held = 0, attributes = 0;
    SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
    bool first = true, read = false;
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
        if (read) {
            const int n = ::recv(s, reinterpret_cast<char*>(in.data()) + held, static_cast<int>(in.size() - held), 0);
            if (n <= 0) return 0;
            held += static_cast<ULONG>(n);
        }
        SecBuffer inBuffers[2] = {{held, SECBUFFER_TOKEN, in.data()}, {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
        status = ::InitializeSecurityContextW(&credHandle, first ? nullptr : &context, nullptr,
                                              kSslContextFlags, 0, SECURITY_NATIVE_DREP,
                                              first ? nullptr : &inDesc, 0, &context, &outDesc,
                                              &attributes, &expiry);
        if (first) contextOwner.reset(context);
        first = false;
        Owners::UniqueContextBuffer token(outBuffer.pvBuffer);
        if (outBuffer.cbBuffer && !SendAll(s, outBuffer.pvBuffer, outBuffer.cbBuffer)) return 0;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            read = true;
            continue;
        }
        const ULONG extra = inBuffers[1].BufferType == SECBUFFER_EXTRA ? inBuffers[1].cbBuffer : 0;
        std::memmove(in.data(), in.data() + held - extra, extra);
        held = extra;
        read = extra == 0;
    }
    if (status != SEC_E_OK) return 0;

    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    uint64_t got = 0;
    while (got < total) {
        SecBuffer buffers[4] = {{held, SECBUFFER_DATA, in.data()},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        status = held ? ::DecryptMessage(&context, &desc, 0, nullptr) : SEC_E_INCOMPLETE_MESSAGE;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            const int n = ::recv(s, reinterpret_cast<char*>(in.data()) + held, static_cast<int>(in.size() - held), 0);
            if (n <= 0) break;
            held += static_cast<ULONG>(n);
            continue;
        }
        if (status != SEC_E_OK) break;
        ULONG extra = 0;
        for (int i = 1; i < 4; ++i) {
            if (buffers[i].BufferType == SECBUFFER_DATA) got += buffers[i].cbBuffer;
            if (buffers[i].BufferType == SECBUFFER_EXTRA) extra = buffers[i].cbBuffer;
        }
        std::memmove(in.data(), in.data() + held - extra, extra);
        held = extra;
    }
    ::QueryPerformanceCounter(&end);
    ::closesocket(s);
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
