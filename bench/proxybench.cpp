// Time to open a tunnel through an HTTP proxy: the proxy double's open, Basic
// and NTLM modes and a squid with Basic, 20 tunnels each, median per tunnel.
// Each tunnel is a new connection whose CONNECT already carries the method
// the proxy wants, as after the first exchange of a launch. Start the
// doubles, then run under the harness:
//   test/doubles/proxy_double.sh start build/proxy-double
//   test/doubles/squid_basic.sh start build/squid
//   build/harness/winerun build/bench/proxybench.exe Z:<build>/proxy-double/ports.json [squid-port]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "IOCPDataTransport.h"
#include "ProcessServices.h"
#include "ProxyTransport.h"
#include "QuarloSocketIOPool.h"
#include "proxy.h"

static ProcessServices g_processServices;

using namespace QuarloSocket;

namespace {

class BenchSocket : public CIOCPClientSocket {
public:
    BenchSocket() : CIOCPClientSocket(&ProcessIOPool(), 10, 10, 16384, 16) {}
    void ReadCompleted(CSocketConnection*, CIOBuffer*, DWORD) override {}
    void WriteCompleted(CSocketConnection*, CIOBuffer*) override {}
};

int PortOf(const std::string& json, const std::string& name) {
    const size_t at = json.find("\"" + name + "\": ");
    return at == std::string::npos ? 0 : std::atoi(json.c_str() + at + name.size() + 4);
}

double Milliseconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

// One tunnel: connect, CONNECT, and one byte echoed back through it.
bool OneTunnel(BenchSocket& socket, http_proxy_context& context, int method, uint16_t proxy,
               uint16_t echo) {
    context.auth_method = method;
    const SockAddr address(SockAddrPort(proxy), SockAddrHost("127.0.0.1"), AF_INET);
    CSocketConnection* connection = socket.Connect(address, nullptr);
    if (!connection) return false;
    TransportRef plain(new CIOCPDataTransport(connection));
    connection->Release();
    TransportRef tunnel(new CProxyDataTransport(plain.get(), &context, "127.0.0.1", echo));
    bool ok = tunnel->Init() && tunnel->SendDataSync("x", 1, 5000);
    CIOBuffer* block = nullptr;
    ok = ok && tunnel->ReceiveDataSync(1, &block, 5000);
    if (block) block->Release();
    tunnel->Close();
    return ok;
}

void Measure(const char* name, const char* user, int method, uint16_t proxy, uint16_t echo) {
    static BenchSocket* socket = new BenchSocket();  // lives as long as the pool
    http_proxy_context context;
    init_http_proxy_context(&context, 0, 10, 1);
    std::strcpy(context.user, user);
    std::strcpy(context.password, "Secret#1");
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        LARGE_INTEGER start, end;
        ::QueryPerformanceCounter(&start);
        const bool ok = OneTunnel(*socket, context, method, proxy, echo);
        ::QueryPerformanceCounter(&end);
        if (!ok) {
            std::printf("%-6s tunnel %d failed\n", name, i);
            return;
        }
        times.push_back(Milliseconds(start, end));
    }
    std::sort(times.begin(), times.end());
    std::printf("%-6s median %.1f ms per tunnel (min %.1f, max %.1f)\n", name, times[10], times[0],
                times.back());
}

// The provider's share of an NTLM tunnel: the negotiate message alone.
void MeasureNegotiate() {
    http_proxy_context context;
    init_http_proxy_context(&context, 0, 10, 1);
    std::strcpy(context.user, "CORP\\alice");
    std::strcpy(context.password, "Secret#1");
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        LARGE_INTEGER start, end;
        ::QueryPerformanceCounter(&start);
        const bool ok = !ntlm_phase_win_1(&context, "127.0.0.1").empty();
        ::QueryPerformanceCounter(&end);
        if (!ok) {
            std::printf("negotiate %d failed\n", i);
            return;
        }
        times.push_back(Milliseconds(start, end));
    }
    std::sort(times.begin(), times.end());
    std::printf("ntlm phase 1 alone: median %.1f ms\n", times[10]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: proxybench <ports.json> [squid-port]\n");
        return 1;
    }
    std::ifstream file(argv[1]);
    std::stringstream json;
    json << file.rdbuf();
    const std::string ports = json.str();
    const auto echo = static_cast<uint16_t>(PortOf(ports, "echo"));
    if (echo == 0) {
        std::printf("no ports in %s\n", argv[1]);
        return 1;
    }
    Measure("open", "CORP\\alice", HTTP_AUTH_NONE, static_cast<uint16_t>(PortOf(ports, "open")), echo);
    Measure("basic", "CORP\\alice", HTTP_AUTH_BASIC, static_cast<uint16_t>(PortOf(ports, "basic")),
            echo);
    Measure("ntlm", "CORP\\alice", HTTP_AUTH_NTLM, static_cast<uint16_t>(PortOf(ports, "ntlm")), echo);
    MeasureNegotiate();
    if (argc > 2) {
        Measure("squid", "alice", HTTP_AUTH_BASIC, static_cast<uint16_t>(std::atoi(argv[2])), echo);
    }
    return 0;
}
