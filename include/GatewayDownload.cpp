#include "GatewayDownload.h"

#include <string>

#include "CommonFunction.h"
#include "DownLoaderManager.h"
#include "Loglib.h"
#include "ProxyInfo.h"
#include "StringUtil.h"
#include "TransportManager.h"
#include "VPNUtils.h"

// Downloads and the report log under the gateway exchange's source name.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"DownLoaderManager.cpp"

namespace QuarloSocket {

namespace {

// Without any address the factory is never asked and its last error may be
// from an earlier request (or 0): report the missing address instead.
uint32_t FailureCode(CSSLTransportManager& manager, bool tried) {
    if (!tried) return TransportError_PlainInit;
    const uint32_t code = manager.GetLastError();
    return code ? code : TransportError_PlainInit;
}

ITunnelDataTransport* OpenTunnel(uint32_t* error, const char* host, uint16_t port, ProxyInfo* info,
                                 bool throughRecord, uint8_t clientAuth, const char* proxySuccessText) {
    CSSLTransportManager& manager = TransportManager();
    ITunnelDataTransport* transport = nullptr;
    bool tried = false;
    if (throughRecord) {
        LOGA(LOG_INFO,
             "CreateSSLTransport with proxy info support, host:%s, port:%d, proxyHost:%s, proxyPort:%d.\n",
             host ? host : "", port, CodePageFromWide(info->proxyHost, CP_THREAD_ACP).c_str(),
             static_cast<int>(info->proxyPort));
        tried = true;
        transport = manager.CreateSSLTransport(host, port, host, 0, info, 1, nullptr, clientAuth);
        if (!transport)
            LOGA(LOG_WARNING, "Fennick: CreateSSLTransport failed.IP:%s, port:%d\n", host ? host : "", port);
        else if (proxySuccessText)
            LOGA(LOG_INFO, "%s", proxySuccessText);
    } else {
        for (const std::string& address : ResolveAddressList(host, nullptr)) {
            tried = true;
            transport = manager.CreateSSLTransport(address.c_str(), port, host, 0, 1, nullptr, clientAuth);
            if (transport) {
                LOGA(LOG_INFO, "Fennick: CreateSSLTransport sucess.IP:%s, port:%d\n", address.c_str(), port);
                break;
            }
            LOGA(LOG_WARNING, "Fennick: CreateSSLTransport failed.IP:%s, port:%d\n", address.c_str(), port);
        }
    }
    if (!transport) {
        const uint32_t code = FailureCode(manager, tried);
        LOGA(LOG_INFO, "CreateSSLTransport: Create ssl failed. Error = %d\n", static_cast<int>(code));
        if (error) *error = code;
    }
    return transport;
}

// Closes the tunnel; the caller's owner releases it.
int32_t RunExchange(ITunnelDataTransport* transport, const std::string& request, DownLoadVariant variant,
                    BSTR* callerBody) {
    std::string sent, head;
    CBodyBuffer body;
    const bool exchanged = DownLoadWeb(transport, request.c_str(), sent, head, body, variant);
    const int32_t result = FinishGatewayExchange(exchanged, request, sent, body, callerBody);
    transport->Close();
    return result;
}

}  // namespace

ITunnelDataTransport* CreateSSLTransport(uint32_t* error, const char* host, uint16_t port, ProxyInfo* info) {
    const int clientAuth = IsEnableClientAuth();
    LOGA(LOG_INFO, "Fennick: CreateSSLTransport client auth flag:%d.\n", clientAuth);
    return OpenTunnel(error, host, port, info, info != nullptr, static_cast<uint8_t>(clientAuth != 0), nullptr);
}

ITunnelDataTransport* CreateTunnel(uint32_t* error, const char* host, uint16_t port, ProxyInfo* info) {
    return OpenTunnel(error, host, port, info, info && info->bUseProxy, 0, "CreateSSLTransport: success\n");
}

int32_t DownLoadFileToBSTR(uint32_t* error, const char* session, const char* host, const char* file,
                           uint16_t port, BSTR* body, ProxyInfo* info, const wchar_t* lpDownloadURL) {
    // A text that could not stand in the request as it is ends the download
    // before anything is sent, the proxy's CONNECT included.
    LOGA(LOG_INFO, "DownLoadFileToBSTR: lpDownloadURL is %s\n",
         CodePageFromWide(lpDownloadURL ? lpDownloadURL : L"", CP_THREAD_ACP).c_str());
    const std::wstring prefix = ChooseDownloadUrlPrefix(lpDownloadURL);
    std::string request;
    if (!BuildFileGetRequest(CodePageFromWide(prefix, CP_THREAD_ACP), file ? file : "", host ? host : "",
                             session ? session : "", request))
        return DownloadResult_ExchangeFailed;
    uint32_t code = 0;
    const TransportRef transport(CreateSSLTransport(&code, host, port, info));
    if (!transport) {
        if (error) *error = code;
        return static_cast<int32_t>(code);
    }
    if (IsEnablePrintRequest()) LOGA(LOG_INFO, "DownLoadFile: Request: %s\n", request.c_str());
    return RunExchange(transport.get(), request, DownLoadVariant::File, body);
}

int32_t PostCallHome(uint32_t* error, const char* host, uint16_t port, const char* path,
                     const char* authorization, const char* json, BSTR* reply, ProxyInfo* info) {
    LOGA(LOG_INFO, "callhome: host:%s, port:%d, localtion:%s, basic:%s, info:%s\n",
         EscapeForLog(host ? host : "").c_str(), port, EscapeForLog(path ? path : "").c_str(),
         EscapeForLog(CredentialsHiddenForLog(authorization ? authorization : "")).c_str(), json ? json : "");
    std::string request;
    if (!BuildReportPostRequest(path ? path : "", authorization ? authorization : "", host ? host : "", port,
                                json ? json : "", request))
        return DownloadResult_ExchangeFailed;
    uint32_t code = 0;
    const TransportRef transport(CreateTunnel(&code, host, port, info));
    if (!transport) {
        LOGA(LOG_INFO, "callhome: CreateTunnel failed\n");
        if (error) *error = code;
        return static_cast<int32_t>(code);
    }
    // The whole request only with the debug switch, as for the downloads.
    if (IsEnablePrintRequest()) LOGA(LOG_INFO, "callhome: Request: %s\n", request.c_str());
    return RunExchange(transport.get(), request, DownLoadVariant::Report, reply);
}

}  // namespace QuarloSocket
