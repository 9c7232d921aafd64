#include <winsock2.h>

#include "TransportManager.h"

#include <cstring>

#include "IOCPDataTransport.h"
#include "Loglib.h"
#include "NetworkPath.h"
#include "ProxyInfo.h"
#include "ProxyTransport.h"
#include "SSLDataTransport.h"
#include "StringUtil.h"
#include "VPNUtils.h"

namespace QuarloSocket {

namespace {

class RealPPPLineCheck : public IPPPLineCheck {
public:
    int32_t IsClientToSpByPPPLine(const char* host) override { return ::IsClientToSpByPPPLine(host); }
};

RealPPPLineCheck g_realPPPCheck;
IPPPLineCheck* g_pppCheck = &g_realPPPCheck;
uint32_t g_pppChecked = 0;
uint32_t g_pppResult = 0;

using ConnectionPtr = Owners::ComPtr<CSocketConnection>;

void CloseUnderLock(CSocketConnection* c) {
    CriticalSectionLock hold(c->Lock());
    if (c->IsValid()) c->InternalClose();
}

}  // namespace

IPPPLineCheck* CSSLTransportManager::SetPPPLineCheckForTest(IPPPLineCheck* check) {
    g_pppChecked = g_pppResult = 0;
    return std::exchange(g_pppCheck, check ? check : &g_realPPPCheck);
}

void CSSLTransportManager::ResetPPPCheckForTest() { g_pppChecked = g_pppResult = 0; }

CSSLTransportManager::CSSLTransportManager(IIOPool* pool)
    : CIOCPClientSocket(pool, 10, 10, 16384, 16) {
    init_http_proxy_context(&m_proxyContext, 0, 10, 1);
}

CSSLTransportManager::~CSSLTransportManager() { ClearAddressCache(); }

CSSLTransportManager& TransportManager() {
    static CSSLTransportManager* manager = [] {
        CIOPool& pool = ProcessIOPool();
        return new CSSLTransportManager(&pool);
    }();
    return *manager;
}

void CSSLTransportManager::OnConnectionDropByRemotePeer(CSocketConnection*) {
    LOGA(LOG_ERROR, "CSSLTransportManager: OnConnectionDropByRemotePeer\n");
}
void CSSLTransportManager::OnConnectionResetByRemotePeer(CSocketConnection*, uint32_t) {
    LOGA(LOG_ERROR, "CSSLTransportManager: OnConnectionResetByRemotePeer\n");
}
void CSSLTransportManager::OnConnectionError(uint32_t, CSocketConnection*, CIOBuffer*, uint32_t) {
    LOGA(LOG_ERROR, "CSSLTransportManager: OnConnectionError\n");
}

ITunnelDataTransport* CSSLTransportManager::StartTls(ITunnelDataTransport* inner, const char* serverName,
                                                     uint32_t verify, uint8_t autoSelect,
                                                     CertChoiceCallback callback, uint8_t clientAuth,
                                                     const char* failureText) {
    Owners::ComPtr<CSSLDataTransport> tls(new CSSLDataTransport(
        inner, serverName, verify != 0, autoSelect != 0, callback, clientAuth != 0));
    LOGA(LOG_INFO,
         "CSSLTransportManager::CreateSSLTransport/((CSSLDataTransport *)pSSLTCPTransport)->SetVPNServerFlag(%d)\n",
         static_cast<int>(m_vpnServerFlag));
    tls->SetVPNServerFlag(m_vpnServerFlag);
    if (tls->Init()) return tls.release();
    m_lastError = tls->TransportError();
    LOGA(LOG_ERROR, failureText, static_cast<int>(m_lastError));
    tls.reset();
    if (m_lastError == 0) m_lastError = TransportError_Handshake;
    return nullptr;
}

ITunnelDataTransport* CSSLTransportManager::CreateSSLTransport(const char* host, uint16_t port,
                                                               const char* serverName, uint32_t verify,
                                                               uint8_t autoSelect, CertChoiceCallback callback,
                                                               uint8_t clientAuth) {
    TransportAddressCache& cache = AddressCache();
    std::vector<std::string> addresses;
    if (cache.cached)
        addresses.push_back(cache.address);
    else
        addresses = ResolveAddressList(host, nullptr);
    if (addresses.empty()) {
        m_lastError = TransportError_PlainInit;
        return nullptr;
    }

    TransportRef plain;
    ConnectionPtr connection;  // kept until the handshake has ended
    std::string used;
    for (const std::string& address : addresses) {
        LOGA(LOG_INFO, "SockAddrHost:%s, port:%d\n", address.c_str(), port);
        SockAddrHost remote(address.c_str());
        if (!remote.isValid()) {
            LOGA(LOG_ERROR, "szRemoteAddress:%s is invalid, error:%s \n", host ? host : "NULL",
                 remote.getError().c_str());
            continue;
        }
        SockAddr target(SockAddrPort(port), remote, remote.getFamily());
        if (!target.isValid()) {
            LOGA(LOG_ERROR, "usRemotePort:%d is invalid, host:%s\n", port, address.c_str());
            continue;
        }
        CSocketConnection* c = Connect(target, nullptr);
        LOGA(LOG_INFO, "connect to szRemoteAddress:%s host:%s\n", host ? host : "NULL", address.c_str());
        if (!c) {
            LOGA(LOG_ERROR, "connect to %s error:%d\n", host ? host : "NULL", ::WSAGetLastError());
            m_lastError = TransportError_PlainInit;
            continue;
        }
        ConnectionPtr held(c);
        TransportRef candidate(new CIOCPDataTransport(c));
        if (!candidate->Init()) {
            LOGA(LOG_ERROR, "iocp init error\n");
            ClearAddressCache();
            candidate.reset();
            CloseUnderLock(c);
            m_lastError = TransportError_PlainInit;
            continue;
        }
        plain = std::move(candidate);
        connection = std::move(held);
        used = address;
        break;
    }
    if (!plain) {
        m_lastError = TransportError_PlainInit;
        return nullptr;
    }
    cache.host = host ? host : "";
    cache.address = used;
    cache.cached = 1;

    ITunnelDataTransport* tls = StartTls(plain.get(), serverName, verify, autoSelect, callback, clientAuth,
                                         "SSL handshake error, error:%d\n");
    if (!tls) CloseUnderLock(connection.get());
    return tls;
}

bool CSSLTransportManager::FillProxyCredentials(const ProxyInfo& info) {
    // Best fit would hand the proxy another user or password than the one given.
    std::string name, domain, password;
    if (!ExactCodePageFromWide(info.proxyUser, CP_THREAD_ACP, name) ||
        (!name.empty() && !ExactCodePageFromWide(info.proxyDomain, CP_THREAD_ACP, domain)) ||
        !ExactCodePageFromWide(info.proxyPassword, CP_THREAD_ACP, password)) {
        LOGA(LOG_ERROR,
             "CreateSSLTransport: proxy credentials have characters the ANSI code page cannot hold\n");
        return false;
    }
    std::string user;
    if (!name.empty()) {
        user = domain;
        if (!domain.empty()) user += '\\';
        user += name;
    }
    // A cut user or password would only be refused by the proxy.
    if (user.size() >= sizeof m_proxyContext.user || password.size() >= sizeof m_proxyContext.password) {
        LOGA(LOG_ERROR, "CreateSSLTransport: proxy credentials too long\n");
        return false;
    }
    std::memcpy(m_proxyContext.user, user.c_str(), user.size() + 1);
    std::memcpy(m_proxyContext.password, password.c_str(), password.size() + 1);
    return true;
}

ITunnelDataTransport* CSSLTransportManager::CreateSSLTransport(const char* host, uint16_t port,
                                                               const char* serverName, uint32_t verify,
                                                               ProxyInfo* info, uint8_t autoSelect,
                                                               CertChoiceCallback callback, uint8_t clientAuth) {
    SetAutoProxy(false, nullptr, 0);
    if (!info || info->proxySetType == kProxySetDirect)
        return CreateSSLTransport(host, port, serverName, verify, autoSelect, callback, clientAuth);

    std::string proxyHost;
    uint16_t proxyPort = 0;
    if (info->proxySetType == kProxySetActiveUserIE) {
        ActiveUserProxy user;
        QueryActiveUserIEProxyConfig(user, host);
        LOGA(LOG_INFO, "CreateSSLTransport: Be use proxy:%d\n", static_cast<int>(user.useProxy));
        if (!g_pppChecked) {
            g_pppResult = g_pppCheck->IsClientToSpByPPPLine(host) != 0;
            g_pppChecked = 1;
        }
        if (!user.useProxy || g_pppResult)
            return CreateSSLTransport(host, port, serverName, verify, autoSelect, callback, clientAuth);
        LOGA(LOG_INFO, "IE proxy: %s : %u\n", user.proxyHost.c_str(), static_cast<unsigned>(user.proxyPort));
        proxyHost = user.proxyHost;
        proxyPort = user.proxyPort;
        if (!SetProxyInfoText(info->proxyHost, WideFromCodePage(proxyHost, CP_THREAD_ACP)))
            LOGA(LOG_WARNING, "CreateSSLTransport: proxy host too long for the record\n");
        info->proxyPort = proxyPort;
        SetAutoProxy(true, proxyHost.c_str(), proxyPort);
    } else {
        // A best-fitted host would be another proxy.
        if (!ExactCodePageFromWide(info->proxyHost, CP_THREAD_ACP, proxyHost)) {
            LOGA(LOG_ERROR, "CreateSSLTransport: the proxy host has characters the ANSI code page "
                            "cannot hold\n");
            m_lastError = TransportError_PlainInit;
            return nullptr;
        }
        proxyPort = static_cast<uint16_t>(info->proxyPort & 0xFFFF);
    }

    // Credentials that do not fit are refused before any connection is made.
    if (!FillProxyCredentials(*info)) {
        m_lastError = TransportError_ProxyConnect;
        return nullptr;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        LOGA(LOG_INFO, "CreateSSLTransport with proxy info:%s:%d\n", proxyHost.c_str(), proxyPort);
        // The brackets of an IPv6 proxy belong to the record and command
        // lines, not to the address.
        std::string literal = proxyHost;
        if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']')
            literal = literal.substr(1, literal.size() - 2);
        // A proxy name may stand for several addresses of which only some
        // answer (an IPv6 one the proxy does not listen on, say): each is
        // tried in turn, as for the gateway.
        CSocketConnection* c = nullptr;
        for (const std::string& address : ResolveAddressList(literal.c_str(), nullptr)) {
            SockAddrHost proxyAddress(address.c_str());
            SockAddr target(SockAddrPort(proxyPort), proxyAddress, proxyAddress.getFamily());
            if (target.isValid()) c = Connect(target, nullptr);
            if (c) break;
        }
        if (!c) {
            LOGA(LOG_ERROR, "connect to proxy: %s:%u error\n", proxyHost.c_str(), proxyPort);
            m_lastError = TransportError_PlainInit;
            return nullptr;
        }
        const ConnectionPtr held(c);
        TransportRef plain(new CIOCPDataTransport(c));
        if (!plain->Init()) {
            LOGA(LOG_ERROR, "iocp init error\n");
            plain.reset();
            CloseUnderLock(c);
            m_lastError = TransportError_PlainInit;
            return nullptr;
        }
        if (info->bUseProxy) {
            switch (info->proxyAuthType) {
                case PROXY_TYPE_BASIC: m_proxyContext.auth_method = HTTP_AUTH_BASIC; break;
                case PROXY_TYPE_NTLM: m_proxyContext.auth_method = HTTP_AUTH_NTLM; break;
                case PROXY_TYPE_NTLM2: m_proxyContext.auth_method = HTTP_AUTH_NTLM2; break;
                default: break;
            }
        } else {
            m_proxyContext.auth_method = HTTP_AUTH_NONE;
        }
        TransportRef proxy(new CProxyDataTransport(plain.get(), &m_proxyContext, host ? host : "", port));
        if (proxy->Init()) {
            plain.reset();
            ITunnelDataTransport* tls = StartTls(proxy.get(), serverName, verify, autoSelect, callback,
                                                 clientAuth, "SSL handshake error:%d\n");
            if (!tls) proxy->Close();
            return tls;
        }
        plain->Close();
        plain.reset();
        m_lastError = proxy->TransportError();
        proxy.reset();
        const bool retry = attempt == 0 &&
                           (m_lastError == TransportError_ProxyConnect || m_lastError == TransportError_ProxyNtlm) &&
                           info->proxyAuthType == PROXY_TYPE_AUTO && m_proxyContext.auth_method != HTTP_AUTH_NONE;
        if (!retry) return nullptr;
        LOGA(LOG_INFO, "PROXY_TYPE_AUTO, retry\n");
    }
    return nullptr;
}

}  // namespace QuarloSocket
