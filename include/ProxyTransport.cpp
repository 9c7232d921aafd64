#include "ProxyTransport.h"

#include "Loglib.h"
#include "proxy.h"

namespace QuarloSocket {

CProxyDataTransport::CProxyDataTransport(ITunnelDataTransport* inner, http_proxy_context* context,
                                         std::string targetHost, uint16_t targetPort)
    : m_inner(TransportRef::Borrow(inner)),
      m_targetHost(std::move(targetHost)),
      m_targetPort(targetPort),
      m_context(context) {}

CProxyDataTransport::~CProxyDataTransport() = default;

bool CProxyDataTransport::Init() {
    if (!m_inner || !m_context) return false;
    const bool result = establish_http_proxy_passthru(m_context, m_inner.get(),
                                                      ProxyHostText(m_targetHost), m_targetPort);
    LOGA(LOG_INFO, "establish_http_proxy_passthru return %d\n", result ? 1 : 0);
    if (result && m_context->auth_method == HTTP_AUTH_NONE) {
        m_proxyError = TransportError_None;
        return true;
    }
    if (result && (m_context->auth_method == HTTP_AUTH_NTLM ||
                   m_context->auth_method == HTTP_AUTH_NTLM2)) {
        m_proxyError = TransportError_ProxyNtlm;
    } else {
        m_proxyError = TransportError_ProxyConnect;
    }
    return false;
}

void CProxyDataTransport::Close() {
    if (m_inner) m_inner->Close();
}

uint32_t CProxyDataTransport::GetTransportType() {
    return m_inner && m_inner->GetTransportType() == TransportType_Tcp ? TransportType_Tcp
                                                                        : TransportType_Other;
}

SockAddrHost CProxyDataTransport::GetLocalAddress() {
    return m_inner ? m_inner->GetLocalAddress() : SockAddrHost();
}

SockAddrHost CProxyDataTransport::GetRemoteAddress() {
    return m_inner ? m_inner->GetRemoteAddress() : SockAddrHost();
}

uint16_t CProxyDataTransport::GetRemotePort() { return m_inner ? m_inner->GetRemotePort() : 0; }

bool CProxyDataTransport::ReceiveDataSync(uint32_t maxLength, CIOBuffer** out,
                                          uint32_t timeoutMs) {
    if (!m_inner) return false;
    const bool read = m_inner->ReceiveDataSync(maxLength, out, timeoutMs);
    m_streamError = read ? TransportError_None : m_inner->TransportError();
    return read;
}

bool CProxyDataTransport::SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) {
    if (!m_inner) return false;
    const bool sent = m_inner->SendDataSync(bytes, length, timeoutMs);
    m_streamError = sent ? TransportError_None : m_inner->TransportError();
    return sent;
}

void CProxyDataTransport::RequestRecvDataAsync() {
    if (m_inner) m_inner->RequestRecvDataAsync();
}

bool CProxyDataTransport::SendDataAsync(CIOBuffer* buffer) {
    return m_inner && m_inner->SendDataAsync(buffer);
}

void CProxyDataTransport::OnSendComplete() {
    if (m_inner) m_inner->OnSendComplete();
}

void CProxyDataTransport::AddData(CIOBuffer* buffer) { m_pending.Put(buffer); }

CIOBuffer* CProxyDataTransport::GetData() { return m_pending.Take(); }

}  // namespace QuarloSocket
