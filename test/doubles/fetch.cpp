// Fetches one gateway file with DownLoadFileToBSTR, the way the program's
// download operations do, for the demo (no command downloads yet).
//
// fetch.exe <host> <port> <session> <file> [<proxy host> <proxy port> <user> <password>]
//
// Without a proxy the tunnel goes straight to the gateway. With one, the
// process-wide proxy record names it with PROXY_TYPE_AUTO and its credentials
// in use: the proxy's first refusal tells the method, the one retry uses it.
// A "DOMAIN\user" is split into the record's domain and user. Prints the
// result, the tunnel's code and the body.
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "GatewayDownload.h"
#include "Owners.h"
#include "ProcessServices.h"
#include "ProxyInfo.h"
#include "StringUtil.h"

static ProcessServices g_processServices;

int main(int argc, char** argv) {
    if (argc != 5 && argc != 9) {
        std::printf("usage: fetch <host> <port> <session> <file> [<proxy host> <proxy port> <user> <password>]\n");
        return 2;
    }
    ProxyInfo* info = nullptr;
    if (argc == 9) {
        ResetProxyInfo(g_ProxyInfo);
        g_ProxyInfo.proxySetType = kProxySetNamed;
        g_ProxyInfo.proxyAuthType = PROXY_TYPE_AUTO;
        g_ProxyInfo.bUseProxy = 1;
        SetProxyInfoText(g_ProxyInfo.proxyHost, WideFromCodePage(argv[5]));
        g_ProxyInfo.proxyPort = static_cast<uint32_t>(std::atoi(argv[6]));
        const std::string user = argv[7];
        const size_t slash = user.find('\\');
        if (slash != std::string::npos) SetProxyInfoText(g_ProxyInfo.proxyDomain, WideFromCodePage(user.substr(0, slash)));
        SetProxyInfoText(g_ProxyInfo.proxyUser, WideFromCodePage(user.substr(slash == std::string::npos ? 0 : slash + 1)));
        SetProxyInfoText(g_ProxyInfo.proxyPassword, WideFromCodePage(argv[8]));
        info = &g_ProxyInfo;
    }
    const std::string session = std::string("KZsession=") + argv[3];
    BSTR body = nullptr;
    uint32_t error = 0;
    const int32_t result = QuarloSocket::DownLoadFileToBSTR(&error, session.c_str(), argv[1], argv[4],
                                                            static_cast<uint16_t>(std::atoi(argv[2])), &body,
                                                            info, nullptr);
    Owners::UniqueBstr owner(body);
    const UINT length = body ? ::SysStringByteLen(body) : 0;
    std::printf("result %d, tunnel code %u, %u bytes\n", result, error, length);
    // The body goes out as it came, without line ends rewritten.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    if (length) std::fwrite(body, 1, length, stdout);
    return result == 0 ? 0 : 1;
}
