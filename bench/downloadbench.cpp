// Download throughput of one gateway file (64 MiB in bench/downloadbench.sh)
// from the gateway double over TLS, whole requests timed (connect, handshake,
// request and body):
//   (1) DownLoadFileToBSTR straight to the gateway;
//   (2) DownLoadFileToBSTR through the open proxy double (a named proxy that
//       is not in use for credentials);
//   (3) WinHTTP through HttpRequestor over HTTPS (it ignores the certificate
//       errors of a self-signed gateway through its security flags);
// in R alternating rounds, the best of each. Every body is compared with the
// file. bench/downloadbench.sh starts the doubles, measures curl natively and
// passes its MB/s on, so that the ratios to it are printed too:
//   downloadbench.exe <gateway port> <proxy port> <file name> <Windows path of the file>
//                     [rounds] [curl MB/s]
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "DownLoaderManager.h"
#include "GatewayDownload.h"
#include "HttpRequestor.h"
#include "Owners.h"
#include "ProcessServices.h"
#include "ProxyInfo.h"
#include "StringUtil.h"

static ProcessServices g_processServices;

using namespace QuarloSocket;

namespace {

double Seconds(LARGE_INTEGER start) {
    LARGE_INTEGER end, frequency;
    ::QueryPerformanceCounter(&end);
    ::QueryPerformanceFrequency(&frequency);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

struct Setup {
    uint16_t gatewayPort = 0;
    uint16_t proxyPort = 0;
    std::string file;
    std::string content;
};

bool SameBytes(const Setup& setup, const void* bytes, size_t n) {
    return n == setup.content.size() && std::memcmp(bytes, setup.content.data(), n) == 0;
}

// MB/s of one DownLoadFileToBSTR, 0 when it failed or the body differs.
double ThroughGatewayExchange(const Setup& setup, ProxyInfo* info) {
    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    BSTR body = nullptr;
    uint32_t error = 0;
    const int32_t result = DownLoadFileToBSTR(&error, "KZsession=bench", "127.0.0.1", setup.file.c_str(),
                                              setup.gatewayPort, &body, info, nullptr);
    const double seconds = Seconds(start);
    Owners::UniqueBstr owner(body);
    if (result != 0 || !SameBytes(setup, body, body ? ::SysStringByteLen(body) : 0)) {
        std::printf("DownLoadFileToBSTR failed: result %d, error %u\n", result, error);
        return 0;
    }
    return double(setup.content.size()) / 1e6 / seconds;
}

struct WinHttpResult {
    Owners::UniqueHandle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    const Setup* setup = nullptr;
    int32_t code = -1;
    bool same = false;

    static void Callback(int32_t code, BSTR body, const std::vector<std::wstring>*, void* context) {
        auto* self = static_cast<WinHttpResult*>(context);
        self->code = code;
        self->same = SameBytes(*self->setup, body, ::SysStringByteLen(body));
        ::SetEvent(self->done.get());
    }
};

double ThroughWinHttp(const Setup& setup) {
    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    WinHttpResult result;
    result.setup = &setup;
    {
        HttpRequestor requestor;
        if (requestor.Init(L"127.0.0.1", true) != S_OK) return 0;
        const std::wstring url = L"https://127.0.0.1:" + std::to_wstring(setup.gatewayPort) + kDefaultUrlPrefixW +
                                 WideFromCodePage(setup.file, CP_ACP);
        const HRESULT sent = requestor.SendRequest(url.c_str(), L"GET", L"Cookie: KZsession=bench\r\n", nullptr, 0,
                                                   &WinHttpResult::Callback, &result, 0, 0, nullptr, nullptr,
                                                   nullptr);
        if (sent != S_OK || ::WaitForSingleObject(result.done.get(), 120000) != WAIT_OBJECT_0) {
            std::printf("WinHTTP request failed: 0x%08lX\n", static_cast<unsigned long>(sent));
            return 0;
        }
    }
    const double seconds = Seconds(start);
    if (result.code != 0 || !result.same) {
        std::printf("WinHTTP download failed: code 0x%08lX, body %s\n", static_cast<unsigned long>(result.code),
                    result.same ? "as the file" : "differs");
        return 0;
    }
    return double(setup.content.size()) / 1e6 / seconds;
}

void PrintRatio(const char* what, double value, const char* to, double reference) {
    if (value > 0 && reference > 0) std::printf("  %s / %s: %.2f\n", what, to, value / reference);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::printf("usage: downloadbench <gateway port> <proxy port> <file name> <file path> [rounds] [curl MB/s]\n");
        return 1;
    }
    Setup setup;
    setup.gatewayPort = static_cast<uint16_t>(std::atoi(argv[1]));
    setup.proxyPort = static_cast<uint16_t>(std::atoi(argv[2]));
    setup.file = argv[3];
    std::ifstream in(argv[4], std::ios::binary);
    setup.content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const int rounds = argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;
    const double curl = argc > 6 ? std::atof(argv[6]) : 0;
    if (setup.content.empty()) {
        std::printf("cannot read %s\n", argv[4]);
        return 1;
    }

    ProxyInfo open{};
    ResetProxyInfo(open);
    open.proxySetType = kProxySetNamed;
    open.bUseProxy = 0;
    SetProxyInfoText(open.proxyHost, L"127.0.0.1");
    open.proxyPort = setup.proxyPort;

    double direct = 0, proxied = 0, winhttp = 0;
    for (int i = 0; i < rounds; ++i) {
        const double d = ThroughGatewayExchange(setup, nullptr);
        const double p = ThroughGatewayExchange(setup, &open);
        const double w = ThroughWinHttp(setup);
        std::printf("round %d: (1) %.1f  (2) %.1f  (3) %.1f MB/s\n", i + 1, d, p, w);
        direct = std::max(direct, d);
        proxied = std::max(proxied, p);
        winhttp = std::max(winhttp, w);
    }
    std::printf("%.0f MiB over loopback TLS 1.2, best of %d rounds\n", double(setup.content.size()) / 1048576.0,
                rounds);
    std::printf("(1) DownLoadFileToBSTR direct:          %8.1f MB/s\n", direct);
    std::printf("(2) DownLoadFileToBSTR via open proxy:  %8.1f MB/s\n", proxied);
    std::printf("(3) WinHTTP (HttpRequestor), HTTPS:     %8.1f MB/s\n", winhttp);
    if (curl > 0) std::printf("(4) curl, native:                       %8.1f MB/s\n", curl);
    std::printf("ratios:\n");
    PrintRatio("(1)", direct, "(3)", winhttp);
    PrintRatio("(2)", proxied, "(3)", winhttp);
    PrintRatio("(1)", direct, "(4)", curl);
    PrintRatio("(2)", proxied, "(4)", curl);
    PrintRatio("(2)", proxied, "(1)", direct);
    std::printf("targets: (1) >= (3) %s; (2) >= 0.8 x (1) %s\n", direct >= winhttp ? "met" : "missed",
                proxied >= 0.8 * direct ? "met" : "missed");
    return direct > 0 && proxied > 0 && winhttp > 0 ? 0 : 1;
}
