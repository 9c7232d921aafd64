// The proxy transport: a plain transport connected to an HTTP proxy, made a
// byte stream to the gateway by a CONNECT handshake; and the HTTP proxy that
// the console user's Internet Explorer settings give for the gateway.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "TunnelDataTransport.h"

namespace QuarloSocket {

struct http_proxy_context;

class CProxyDataTransport : public ITunnelDataTransport {
public:
    // Takes one reference on the inner transport (none for nullptr). The
    // context belongs to the caller and must outlive Init.
    CProxyDataTransport(ITunnelDataTransport* inner, http_proxy_context* context,
                        std::string targetHost, uint16_t targetPort);
    ~CProxyDataTransport() override;

    // The CONNECT handshake. False with 803 when the proxy wants NTLM
    // credentials, with 802 on any other failure or demand for credentials.
    bool Init() override;
    void Close() override;
    void Shutdown() override {}
    uint32_t GetPendingReadCount() override { return 0; }
    // The handshake's code; once the tunnel is open, how its last read or
    // write through the tunnel ended. What SetLastError stores is never
    // reported.
    uint32_t GetLastError() override { return m_proxyError ? m_proxyError : m_streamError; }
    uint32_t GetTransportType() override;
    SockAddrHost GetLocalAddress() override;
    SockAddrHost GetRemoteAddress() override;
    uint16_t GetRemotePort() override;
    bool ReceiveDataSync(uint32_t maxLength, CIOBuffer** out, uint32_t timeoutMs) override;
    bool SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) override;
    void RequestRecvDataAsync() override;
    bool SendDataAsync(CIOBuffer* buffer) override;
    void OnSendComplete() override;
    void AddData(CIOBuffer* buffer) override;
    CIOBuffer* GetData() override;

private:
    TransportRef m_inner;
    PendingBlock m_pending;
    std::string m_targetHost;
    uint16_t m_targetPort;
    uint32_t m_proxyError = 0;
    uint32_t m_streamError = 0;
    http_proxy_context* m_context;
};

// ---- The console user's proxy ----

struct ActiveUserProxy {
    uint32_t useProxy = 0;      // 1 when a proxy applies to the gateway
    uint32_t inBypassList = 0;  // 1 when the gateway matched the bypass list
    std::string proxyHost;      // a bracketed IPv6 literal keeps its brackets
    uint16_t proxyPort = 0;     // written only when a proxy text was parsed
};

// Reads the console user's proxy settings (impersonating that user when the
// process runs as LocalSystem), honours the bypass list and evaluates an
// automatic configuration script when one is set; the script's answer wins
// over a static proxy. The auto-detect setting is not consulted.
// S_OK; E_ACCESSDENIED when the console user cannot be impersonated;
// HRESULT_FROM_WIN32 when the settings cannot be read; or the result of
// ParseProxyAddressAndPort. Callers judge by result.useProxy and the host.
HRESULT QueryActiveUserIEProxyConfig(ActiveUserProxy& result, const char* gatewayHost);

// Host and port of a proxy text: "host:port", "[v6]:port", or a scheme list
// ("http=a:80;https=b:443", whose https entry wins, else its first entry);
// an entry without a port is at port 80.
// S_OK when a host and a port in 1..65535 came out, otherwise E_FAIL (host
// and port then hold what could be read, empty and 0 at worst).
HRESULT ParseProxyAddressAndPort(const wchar_t* proxyText, std::string& host, uint16_t& port);

// ---- WinHTTP proxy queries shared with the WinHTTP client ----

// The current (or impersonated) user's Internet Explorer proxy settings;
// a text the settings do not hold stays empty (std::nullopt).
struct IEProxySettings {
    std::optional<std::wstring> autoConfigUrl;
    std::optional<std::wstring> proxy;
    std::optional<std::wstring> bypass;
};
// False with the system error when the settings cannot be read.
bool ReadIEProxySettings(IEProxySettings& settings, DWORD& error);

// What an automatic configuration script answers for a URL.
struct ScriptProxyAnswer {
    uint32_t accessType = 1;  // WINHTTP_ACCESS_TYPE_NO_PROXY
    std::optional<std::wstring> proxy;
    std::optional<std::wstring> bypass;
};
// Evaluates the script at scriptUrl for url on a new asynchronous session
// of agent, logging on automatically when challenged. False with the
// system error when the evaluation fails.
bool GetProxyFromScript(const wchar_t* agent, const std::wstring& url, const wchar_t* scriptUrl,
                        ScriptProxyAnswer& answer, DWORD& error);

}  // namespace QuarloSocket
