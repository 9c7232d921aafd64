// One timed download from a native TLS server on loopback, in its own process
// so that its peak memory is its own (bench/nativedownloadbench.sh runs the
// rounds, the server and curl):
//   nativedownloadbench.exe tunnel <port> <file name> <Windows path of the file>
//       DownLoadFileToBSTR straight to 127.0.0.1:<port>, the way the program
//       fetches a gateway file; the body is compared with the served file,
//       which holds the reply's head and body.
//   nativedownloadbench.exe bare <port> <file name> <bytes of head and body>
//       the same GET through BareTlsClient: blocking recv and DecryptMessage.
//   nativedownloadbench.exe touch <bytes>
//       the floor under any download into a BSTR: a BSTR of that many bytes
//       allocated and written once (its first touch costs a page fault per
//       page, which on some machines weighs more than the whole TLS read).
// Prints one line: "<mode> <body or plain bytes> <seconds> <MB/s> <peak MiB>
// <MiB before the download>", the peak being the process's peak working set.
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "BareTlsClient.h"
#include "DownLoaderManager.h"
#include "GatewayDownload.h"
#include "Owners.h"
#include "ProcessServices.h"

static ProcessServices g_processServices;

namespace {

double Now() {
    LARGE_INTEGER counter, frequency;
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

double PeakMiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return double(counters.PeakWorkingSetSize) / 1048576.0;
}

double WorkingMiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return double(counters.WorkingSetSize) / 1048576.0;
}

// Compares the body with the served file after its head, in pieces, so that
// the comparison adds nothing to the peak.
bool SameAsServedBody(const char* path, const unsigned char* bytes, size_t n) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> piece(1 << 20);
    size_t at = 0;
    bool head = true;
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const char* from = piece.data();
        size_t got = static_cast<size_t>(in.gcount());
        if (head) {
            const std::string_view text(from, got);
            const size_t end = text.find("\r\n\r\n");
            if (end == std::string_view::npos) return false;
            from += end + 4;
            got -= end + 4;
            head = false;
        }
        if (got > n - at || std::memcmp(from, bytes + at, got) != 0) return false;
        at += got;
    }
    return at == n;
}

void Report(const char* mode, uint64_t bytes, double seconds, double before, double peak) {
    std::printf("%s %llu %.3f %.1f %.1f %.1f\n", mode, static_cast<unsigned long long>(bytes), seconds,
                double(bytes) / 1e6 / seconds, peak, before);
}

int Tunnel(uint16_t port, const char* file, const char* path) {
    const double before = WorkingMiB();
    BSTR body = nullptr;
    uint32_t error = 0;
    const double start = Now();
    const int32_t result =
        QuarloSocket::DownLoadFileToBSTR(&error, "KZsession=bench", "127.0.0.1", file, port, &body, nullptr, nullptr);
    const double seconds = Now() - start;
    const double peak = PeakMiB();
    Owners::UniqueBstr owner(body);
    const UINT length = body ? ::SysStringByteLen(body) : 0;
    if (result != 0 || !SameAsServedBody(path, reinterpret_cast<const unsigned char*>(body), length)) {
        std::printf("tunnel failed: result %d, tunnel code %u, %u bytes\n", result, error, length);
        return 1;
    }
    Report("tunnel", length, seconds, before, peak);
    return 0;
}

int Bare(uint16_t port, const char* file, uint64_t total) {
    const double before = WorkingMiB();
    const double start = Now();
    BareTlsClient client;
    const std::string request = std::string("GET ") + QuarloSocket::kDefaultUrlPrefix + file +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Keep-Alive\r\n"
                                "Cookie: KZsession=bench;KZStandalone=true\r\n\r\n";
    if (!client.Connect(port) || !client.Send(request.data(), static_cast<ULONG>(request.size()))) {
        std::printf("bare failed: no connection\n");
        return 1;
    }
    const uint64_t got = client.Receive(total);
    const double seconds = Now() - start;
    if (got != total) {
        std::printf("bare failed: %llu of %llu bytes\n", static_cast<unsigned long long>(got),
                    static_cast<unsigned long long>(total));
        return 1;
    }
    Report("bare", got, seconds, before, PeakMiB());
    return 0;
}

int Touch(uint64_t total) {
    const double before = WorkingMiB();
    std::vector<char> piece(16384, 'x');
    const double start = Now();
    Owners::UniqueBstr body(::SysAllocStringByteLen(nullptr, static_cast<UINT>(total)));
    if (!body) {
        std::printf("touch failed: no memory\n");
        return 1;
    }
    auto* at = reinterpret_cast<char*>(body.get());
    for (uint64_t done = 0; done < total; done += piece.size())
        std::memcpy(at + done, piece.data(), static_cast<size_t>(std::min<uint64_t>(piece.size(), total - done)));
    Report("touch", total, Now() - start, before, PeakMiB());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "touch") == 0) return Touch(std::strtoull(argv[2], nullptr, 10));
    if (argc != 5) {
        std::printf("usage: nativedownloadbench tunnel|bare <port> <file name> <file path>|<bytes>\n"
                    "       nativedownloadbench touch <bytes>\n");
        return 2;
    }
    const auto port = static_cast<uint16_t>(std::atoi(argv[2]));
    if (std::strcmp(argv[1], "tunnel") == 0) return Tunnel(port, argv[3], argv[4]);
    if (std::strcmp(argv[1], "bare") == 0) return Bare(port, argv[3], std::strtoull(argv[4], nullptr, 10));
    return 2;
}
