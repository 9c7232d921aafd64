// The proxy transport: a plain transport connected to an HTTP proxy, made a
// byte stream to the gateway by a CONNECT handshake.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
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
    // The handshake's code; what SetLastError stores is never reported.
    uint32_t GetLastError() override { return m_proxyError; }
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
    ITunnelDataTransport* m_inner;
    CIOBuffer* m_pending = nullptr;
    std::string m_targetHost;
    uint16_t m_targetPort;
    uint32_t m_proxyError = 0;
    http_proxy_context* m_context;
};

}  // namespace QuarloSocket
