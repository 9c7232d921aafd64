// The one factory of tunnels to the gateway and the process-wide state it
// keeps between requests.
#pragma once

#include <cstdint>
#include <string>

#include "ClientCertificates.h"
#include "QuarloIOCPSocket.h"
#include "TunnelDataTransport.h"
#include "VPNUtils.h"
#include "proxy.h"

struct ProxyInfo;

namespace QuarloSocket {

// Whether the gateway is reached over a dial-up line; asked once per process.
class IPPPLineCheck {
public:
    virtual ~IPPPLineCheck() = default;
    virtual int32_t IsClientToSpByPPPLine(const char* host) = 0;
};

class CSSLTransportManager : public CIOCPClientSocket {
public:
    explicit CSSLTransportManager(IIOPool* pool);
    ~CSSLTransportManager() override;

    // A TLS tunnel straight to host (a name or an address text), after a
    // completed handshake; nullptr with GetLastError() telling why. The caller
    // owns the one reference and closes and releases it.
    ITunnelDataTransport* CreateSSLTransport(const char* host, uint16_t port, const char* serverName,
                                             uint32_t verify, uint8_t autoSelect,
                                             CertChoiceCallback callback, uint8_t clientAuth);
    // The same through the proxy record: direct, the console user's proxy, or
    // the named proxy with its credentials.
    ITunnelDataTransport* CreateSSLTransport(const char* host, uint16_t port, const char* serverName,
                                             uint32_t verify, ProxyInfo* info, uint8_t autoSelect,
                                             CertChoiceCallback callback, uint8_t clientAuth);

    uint32_t GetLastError() const { return m_lastError; }
    http_proxy_context& ProxyContext() { return m_proxyContext; }
    uint32_t VPNServerFlag() const { return m_vpnServerFlag; }

    void OnConnectionDropByRemotePeer(CSocketConnection*) override;
    void OnConnectionResetByRemotePeer(CSocketConnection*, uint32_t) override;
    void OnConnectionError(uint32_t, CSocketConnection*, CIOBuffer*, uint32_t) override;
    void ReadCompleted(CSocketConnection*, CIOBuffer*, DWORD) override {}
    void WriteCompleted(CSocketConnection*, CIOBuffer*) override {}
    void OnConnectionReleased(CSocketConnection*) override {}
    void OnAcceptFailed(CSocketConnection*, CIOBuffer*) override {}
    void OnConnectionAccepted(CSocketConnection*, CSocketConnection*, sockaddr*, sockaddr*) override {}

    // Tests: the dial-up check (the real one by default; a new one forgets
    // the answer of the last) and its memo.
    static IPPPLineCheck* SetPPPLineCheckForTest(IPPPLineCheck* check);
    static void ResetPPPCheckForTest();

private:
    // A plain transport on a new connection to address; nullptr (logged,
    // error 103) when it cannot be made.
    ITunnelDataTransport* ConnectPlain(const SockAddr& address, const char* logHost,
                                       bool clearCacheOnInitFailure);
    ITunnelDataTransport* StartTls(ITunnelDataTransport* inner, const char* serverName, uint32_t verify,
                                   uint8_t autoSelect, CertChoiceCallback callback, uint8_t clientAuth,
                                   const char* failureText);
    bool FillProxyCredentials(const ProxyInfo& info);

    http_proxy_context m_proxyContext;
    uint32_t m_lastError = 0;
    uint32_t m_vpnServerFlag = 0;
};

// The process-wide manager. Made on first use (the start-up does that before
// the front door runs) and never destroyed: its pool's workers run until the
// process ends and may still complete on its connections.
CSSLTransportManager& TransportManager();

}  // namespace QuarloSocket
