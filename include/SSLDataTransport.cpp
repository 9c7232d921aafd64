#include "SSLDataTransport.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "CommonFunction.h"
#include "IOCPDataTransport.h"
#include "Loglib.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"
#include "VPNUtils.h"

// Log readers know the TLS transport's lines by this source name.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"SSLTunnelTransport.cpp"

namespace QuarloSocket {

namespace {

constexpr wchar_t kTlsProvider[] = L"Microsoft Unified Security Protocol Provider";
constexpr uint32_t kRecordHeaderLength = 5;
constexpr unsigned char kAlertRecord = 21;
// Bytes of a record that does not decrypt that go into the log.
constexpr size_t kDumpedRecordBytes = 240;
// What a record read asks of the inner transport at least: every read
// through the completion port costs a thread hand-over, so the bytes of
// the following records are taken along when they are there; a whole pooled
// read buffer, so that no read needs fresh memory.
constexpr uint32_t kReadAheadBytes = static_cast<uint32_t>(kSyncReadBufferSize);
// Pool buffers kept free per pool.
constexpr size_t kPoolFreeBuffers = 10;

const SecurityFunctionTableW* g_testFunctions = nullptr;

const SecurityFunctionTableW& SystemFunctions() {
    static const SecurityFunctionTableW* const table = ::InitSecurityInterfaceW();
    return *table;
}

uint32_t UnixTimeNow() {
    FILETIME ft{};
    ::GetSystemTimeAsFileTime(&ft);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<uint32_t>((ticks - 116444736000000000ULL) / 10000000ULL);
}

void LogCertName(PCCERT_CONTEXT cert, bool subject, const char* line) {
    char name[2000];
    CERT_NAME_BLOB* blob = subject ? &cert->pCertInfo->Subject : &cert->pCertInfo->Issuer;
    if (::CertNameToStrA(X509_ASN_ENCODING, blob, CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG,
                         name, sizeof name) == 0) {
        LOGA(LOG_ERROR, subject ? "**** Error 0x%x building subject name\n"
                                : "**** Error 0x%x building issuer name\n",
             static_cast<unsigned>(::GetLastError()));
        return;
    }
    LOGA(LOG_INFO, line, name);
}

}  // namespace

std::array<unsigned char, kPseudoClientHelloLength> BuildPseudoClientHello(int32_t osVersion,
                                                                           uint32_t unixTime) {
    static const uint16_t kVistaSuites[12] = {0x0004, 0x0005, 0x002F, 0x0035, 0x000A, 0xC013,
                                              0xC014, 0xC009, 0xC00A, 0x0032, 0x0038, 0x0013};
    static const uint16_t kOlderSuites[12] = {0x0004, 0x0005, 0x000A, 0x0009, 0x0064, 0x0062,
                                              0x0003, 0x0006, 0x0013, 0x0012, 0x0063, 0x0032};
    std::array<unsigned char, kPseudoClientHelloLength> hello{};
    const unsigned char head[] = {0x16, 0x03, 0x01, 0x00, 0x63, 0x01, 0x00, 0x00, 0x5F, 0x03, 0x01};
    std::memcpy(hello.data(), head, sizeof head);
    hello[11] = static_cast<unsigned char>(unixTime >> 24);
    hello[12] = static_cast<unsigned char>(unixTime >> 16);
    hello[13] = static_cast<unsigned char>(unixTime >> 8);
    hello[14] = static_cast<unsigned char>(unixTime);
    for (int i = 0; i < 28; ++i) hello[15 + i] = static_cast<unsigned char>(i + 1);
    hello[43] = 0x20;
    std::memset(hello.data() + 44, 0xFF, 32);
    hello[76] = 0x00;
    hello[77] = 0x18;
    const uint16_t* suites = osVersion >= 4 ? kVistaSuites : kOlderSuites;
    for (int i = 0; i < 12; ++i) {
        hello[78 + 2 * i] = static_cast<unsigned char>(suites[i] >> 8);
        hello[79 + 2 * i] = static_cast<unsigned char>(suites[i]);
    }
    hello[102] = 0x01;
    hello[103] = 0x00;
    return hello;
}

const SecurityFunctionTableW& SecurityFunctions() {
    return g_testFunctions ? *g_testFunctions : SystemFunctions();
}

const SecurityFunctionTableW* SetSecurityFunctionsForTest(const SecurityFunctionTableW* table) {
    return std::exchange(g_testFunctions, table);
}

void DisplayCertChain(PCCERT_CONTEXT cert) {
    LOGA(LOG_INFO, "DisplayCertChain...\n");
    if (!cert) return;
    LogCertName(cert, true, "Server subject: %s\n");
    LogCertName(cert, false, "Server issuer: %s\n\n");
    // Up the chain as far as the certificate's own store knows it; a
    // self-signed end or a loop of cross-signed issuers ends the walk.
    Owners::UniqueCertContext current(::CertDuplicateCertificateContext(cert));
    for (int depth = 0; depth < 16; ++depth) {
        DWORD flags = 0;
        Owners::UniqueCertContext issuer(
            ::CertGetIssuerCertificateFromStore(cert->hCertStore, current.get(), nullptr, &flags));
        if (!issuer) break;
        LogCertName(issuer.get(), true, "CA subject: %s\n");
        LogCertName(issuer.get(), false, "CA issuer: %s\n\n");
        current = std::move(issuer);
    }
}

DWORD VerifyServerCertificate(PCCERT_CONTEXT cert, const char* serverName, DWORD ignoreFlags) {
    LOGA(LOG_INFO, "VerifyServerCertificate: pszServerName is %s\n", serverName ? serverName : "");
    if (!cert || !serverName || !*serverName) return static_cast<DWORD>(SEC_E_WRONG_PRINCIPAL);
    std::wstring wideName;
    try {
        DWORD error = 0;
        if (!TryWideFromCodePage(serverName, CP_ACP, wideName, error))
            return static_cast<DWORD>(SEC_E_WRONG_PRINCIPAL);
    } catch (const std::bad_alloc&) {
        return static_cast<DWORD>(SEC_E_INSUFFICIENT_MEMORY);
    }

    static char kServerAuth[] = "1.3.6.1.5.5.7.3.1";
    static char kServerGatedCrypto[] = "1.3.6.1.4.1.311.10.3.3";
    static char kNetscapeSgc[] = "2.16.840.1.113730.4.1";
    LPSTR usages[] = {kServerAuth, kServerGatedCrypto, kNetscapeSgc};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof(chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 3;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chainContext = nullptr;
    if (!::CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &chainPara, 0, nullptr,
                                   &chainContext)) {
        const DWORD error = ::GetLastError();
        LOGA(LOG_ERROR, "Error 0x%x returned by CertGetCertificateChain!\n", static_cast<unsigned>(error));
        return error;
    }
    Owners::UniqueCertChain chain(chainContext);

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA https{};
    https.cbSize = sizeof(https);
    https.dwAuthType = AUTHTYPE_SERVER;
    https.fdwChecks = ignoreFlags;
    https.pwszServerName = wideName.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &https;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
        const DWORD error = ::GetLastError();
        LOGA(LOG_ERROR, "Error 0x%x returned by CertVerifyCertificateChainPolicy!\n",
             static_cast<unsigned>(error));
        return error;
    }
    return status.dwError;
}

CSSLDataTransport::CSSLDataTransport(ITunnelDataTransport* inner, const char* serverName,
                                     bool verifyRemoteCert, bool autoSelect,
                                     CertChoiceCallback callback, bool clientAuth)
    : m_verifyRemoteCert(verifyRemoteCert), m_clientAuth(clientAuth), m_inner(TransportRef::Borrow(inner)) {
    m_certs.autoSelect = autoSelect;
    m_certs.callback = callback;
    if (serverName && std::strlen(serverName) < sizeof m_serverName)
        std::strcpy(m_serverName, serverName);
    m_recordBuffer.reset(CIOBuffer::NewOwned(kSslRecordBufferSize));
    if (m_recordBuffer && m_recordBuffer->Data())
        std::memset(m_recordBuffer->Data(), 0, kSslRecordBufferSize);
    m_leftover.reset(CIOBuffer::NewOwned(kSslRecordBufferSize));
    InitLock(m_lock);
}

CSSLDataTransport::~CSSLDataTransport() {
    ClearCachedAddressFlag();
    m_inner.reset();
    m_certs.FreeCandidates();
    m_credential.reset();
    DeleteContext();
    m_recordBuffer.reset();
    m_leftover.reset();
    DropReadAhead();
    // Pool buffers go back before their pools are destroyed.
    m_currentRecord.reset();
    m_decrypted.clear();
    m_sendQueue.clear();
    m_sendPool.reset();
    m_receivePool.reset();
    ::DeleteCriticalSection(&m_lock);
}

void CSSLDataTransport::SetVPNServerFlag(uint32_t flag) {
    m_vpnServerFlag = flag;
    LOGA(LOG_INFO, "CSSLDataTransport::SetVPNServerFlag(%d)\n", static_cast<int>(flag));
}

DWORD CSSLDataTransport::TimeLeft(ULONGLONG deadline) const {
    const ULONGLONG now = Timing::TickCount();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

void CSSLDataTransport::DeleteContext() { m_context.reset(); }

void CSSLDataTransport::FreeHandshake() {
    m_credential.reset();
    DeleteContext();
    DropReadAhead();
}

bool CSSLDataTransport::Init() {
    ClearLastError();
    // One budget for the whole handshake, both attempts included.
    const ULONGLONG deadline = Timing::TickCount() + kHandshakeTimeoutMs;
    if (m_clientAuth) SendClientHello();

    if (!m_certs.OpenStores())
        LOGA(LOG_WARNING, "SSLTunnel: Open cert store failed. Error = %d.\n",
             static_cast<int>(::GetLastError()));
    m_certs.config.Load();
    if (m_certs.config.noSelectingPresent && m_certs.config.noSelecting) m_certs.autoSelect = true;
    const int commandLineFlag = GetBrevantoCommandLineFlag();
    m_certs.commandLineFlag = static_cast<uint32_t>(commandLineFlag);
    if (commandLineFlag == 1) {
        LOGA(LOG_INFO, "SSLTunnel: vpn connect with brevanto command line, enable auto select cert.\n");
        m_certs.autoSelect = true;
    } else if (commandLineFlag == 2) {
        LOGA(LOG_INFO, "SSLTunnel: vpn connect with brevanto GUI, disable auto select cert.\n");
        m_certs.autoSelect = false;
    }

    if (!SSLHandshake(0, deadline)) {
        FreeHandshake();
        if (!SSLHandshake(1, deadline)) return false;
    }

    const SecurityFunctionTableW& sspi = SecurityFunctions();
    if (m_verifyRemoteCert) {
        PCCERT_CONTEXT remote = nullptr;
        const SECURITY_STATUS status =
            sspi.QueryContextAttributesW(m_context.addressof(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote);
        if (status != SEC_E_OK) {
            LOGA(LOG_ERROR, "SSLTunnel: Error 0x%x reading m_pRemoteCertContext\n",
                 static_cast<unsigned>(status));
        } else {
            Owners::UniqueCertContext remoteCert(remote);
            DisplayCertChain(remoteCert.get());
            const DWORD result = VerifyServerCertificate(remoteCert.get(), m_serverName, 0);
            if (result != 0) {
                m_verificationStatus = result;
                LOGA(LOG_ERROR, "VerifyServerCertificate: failed, Error 0x%x!\n",
                     static_cast<unsigned>(result));
            } else {
                LOGA(LOG_INFO, "VerifyServerCertificate: success\n");
            }
        }
    }

    const SECURITY_STATUS status =
        sspi.QueryContextAttributesW(m_context.addressof(), SECPKG_ATTR_STREAM_SIZES, &m_streamSizes);
    if (status != SEC_E_OK) {
        LOGA(LOG_ERROR, "SSLTunnel: Error 0x%x reading SECPKG_ATTR_STREAM_SIZES\n",
             static_cast<unsigned>(status));
        return false;
    }
    LOGA(LOG_INFO, "SSLTunnel: Stream size. Header = %d, Trailer= %d, MaxMessage = %d\n",
         static_cast<int>(m_streamSizes.cbHeader), static_cast<int>(m_streamSizes.cbTrailer),
         static_cast<int>(m_streamSizes.cbMaximumMessage));

    const size_t poolBufferSize =
        m_streamSizes.cbHeader + m_streamSizes.cbMaximumMessage + m_streamSizes.cbTrailer;
    {
        CriticalSectionLock hold(m_lock);
        m_currentRecord.reset();
        m_sendPool = std::make_unique<CAllocator>(poolBufferSize, kPoolFreeBuffers);
        m_receivePool = std::make_unique<CAllocator>(poolBufferSize, kPoolFreeBuffers);
        m_currentRecord.reset(m_receivePool->Allocate());
        m_recordState = 0;
    }
    return true;
}

bool CSSLDataTransport::SendClientHello() {
    const auto hello = BuildPseudoClientHello(GetOSVersion(), UnixTimeNow());
    if (!m_inner || !m_inner->SendDataSync(hello.data(), static_cast<uint32_t>(hello.size()), INFINITE)) {
        LOGA(LOG_ERROR, "SSLTunnel: send data error\n");
        return false;
    }
    return true;
}

bool CSSLDataTransport::SSLHandshake(int attempt, ULONGLONG deadline) {
    const ProtocolChoice protocols = SelectEnabledProtocols(GetSSLProtoFlag(), m_vpnServerFlag, attempt);
    LOGA(LOG_INFO, "%s", protocols.text);
    SCHANNEL_CRED cred;
    ALG_ID algs[1] = {};
    PCCERT_CONTEXT noCert = nullptr;
    FillSchannelCred(cred, &noCert, algs, protocols.protocols);

    CredHandle handle{};
    TimeStamp expiry{};
    const SECURITY_STATUS status = SecurityFunctions().AcquireCredentialsHandleW(
        nullptr, const_cast<wchar_t*>(kTlsProvider), SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
        nullptr, &handle, &expiry);
    if (status != SEC_E_OK) {
        LOGA(LOG_ERROR, "SSLTunnel: AcquireCredentialsHandle error 0x%08X\n", static_cast<unsigned>(status));
        SetTransportError(TransportError_Handshake);
        return false;
    }
    m_credential.reset(handle);

    if (ClientHandshakeLoop(deadline)) {
        LOGA(LOG_INFO, "SSLTunnel: SSLHandshake success, m_bVerifyRemoteCert:%d\n",
             m_verifyRemoteCert ? 1 : 0);
        return true;
    }
    if (attempt == 1) {
        LOGA(LOG_ERROR, "SSLTunnel: SSLHandshake error\n");
        SetTransportError(TransportError_Handshake);
    }
    return false;
}

bool CSSLDataTransport::ClientHandshakeLoop(ULONGLONG deadline) {
    const SecurityFunctionTableW& sspi = SecurityFunctions();
    std::unique_ptr<unsigned char[]> input(new (std::nothrow) unsigned char[kHandshakeBufferSize]());
    if (!input) {
        LOGA(LOG_ERROR, "SSLTunnel: new operator failed. Error = %d\n", static_cast<int>(::GetLastError()));
        return false;
    }
    DWORD held = 0;

    CredHandle cred = m_credential.get();
    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    ULONG attributes = 0;
    TimeStamp expiry{};
    CtxtHandle context = m_context.get();
    SECURITY_STATUS status = sspi.InitializeSecurityContextW(
        &cred, m_context ? m_context.addressof() : nullptr, nullptr, kSslContextFlags, 0,
        SECURITY_NATIVE_DREP, nullptr, 0, &context, &outDesc, &attributes, &expiry);
    UniqueProviderBuffer firstToken(outBuffer.pvBuffer);
    if (status != SEC_I_CONTINUE_NEEDED) {
        LOGA(LOG_ERROR, "SSLTunnel: InitializeSecurityContext first time error: 0x%08X\n",
             static_cast<unsigned>(status));
        return false;
    }
    // The context the provider made (or updated) is now the transport's.
    *m_context.addressof() = context;
    if (outBuffer.cbBuffer == 0 || !outBuffer.pvBuffer) {
        LOGA(LOG_ERROR, "SSLTunnel: InitializeSecurityContext first time return no data\n");
        return false;
    }
    if (!m_inner->SendDataSync(outBuffer.pvBuffer, outBuffer.cbBuffer, INFINITE)) {
        LOGA(LOG_ERROR, "SSLTunnel: send first data failed!\n");
        return false;
    }
    LOGA(LOG_INFO, "SSLTunnel: %d bytes of handshake data sent!\n", static_cast<int>(outBuffer.cbBuffer));
    firstToken.reset();

    bool needRead = true;
    int turnsWithoutRead = 0;
    for (;;) {
        if (needRead) {
            if (held >= kHandshakeBufferSize) {
                LOGA(LOG_ERROR, "SSLTunnel: handshake buffer full, %d bytes\n", static_cast<int>(held));
                return false;
            }
            if (const size_t ahead = TakeReadAhead(input.get() + held, kHandshakeBufferSize - held)) {
                // Bytes read ahead of the record that asked for this handshake.
                held += static_cast<DWORD>(ahead);
            } else {
                const DWORD left = TimeLeft(deadline);
                BufferRef got;
                if (left == 0 || !m_inner->ReceiveDataSync(kHandshakeBufferSize - held, got.put(), left)) {
                    if (TimeLeft(deadline) == 0)
                        LOGA(LOG_ERROR, "SSLTunnel: handshake timed out after %d ms\n",
                             static_cast<int>(kHandshakeTimeoutMs));
                    else
                        LOGA(LOG_ERROR, "SSLTunnel: read data from socket error\n");
                    return false;
                }
                const DWORD n = static_cast<DWORD>(std::min<size_t>(got->Used(), kHandshakeBufferSize - held));
                LOGA(LOG_INFO, "SSLTunnel: %d bytes of handshake data received!\n", static_cast<int>(n));
                std::memcpy(input.get() + held, got->Data(), n);
                held += n;
            }
            turnsWithoutRead = 0;
        } else if (++turnsWithoutRead > kHandshakeTurnsWithoutRead) {
            LOGA(LOG_ERROR, "SSLTunnel: handshake makes no progress after %d turns\n",
                 kHandshakeTurnsWithoutRead);
            return false;
        }

        SecBuffer inBuffers[2] = {{held, SECBUFFER_TOKEN, input.get()}, {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
        outBuffer = SecBuffer{0, SECBUFFER_TOKEN, nullptr};
        status = sspi.InitializeSecurityContextW(&cred, m_context.addressof(), nullptr, kSslContextFlags, 0,
                                                 SECURITY_NATIVE_DREP, &inDesc, 0, m_context.addressof(),
                                                 &outDesc, &attributes, &expiry);
        UniqueProviderBuffer token(outBuffer.pvBuffer);
        LOGA(LOG_INFO, "InitializeSecurityContext finished: status is %x\n", static_cast<unsigned>(status));

        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            LOGA(LOG_INFO, "SSLTunnel: we need a new credential.\n");
            if (!m_certs.CreateNewCredential(m_context.addressof(), m_credential, m_vpnServerFlag)) {
                LOGA(LOG_ERROR, "SSLTunnel: Create a new credential failed!\n");
                return false;
            }
            cred = m_credential.get();
            needRead = false;
            continue;
        }

        // Unprocessed bytes at the end of the input: only a buffer that says
        // so, and never more than what is held.
        DWORD extra = 0;
        if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0) {
            if (inBuffers[1].cbBuffer > held) {
                LOGA(LOG_ERROR, "SSLTunnel: extra data length %d exceeds the %d bytes held\n",
                     static_cast<int>(inBuffers[1].cbBuffer), static_cast<int>(held));
                return false;
            }
            extra = inBuffers[1].cbBuffer;
        }
        const bool hasToken = outBuffer.cbBuffer > 0 && outBuffer.pvBuffer;

        if (status == SEC_I_CONTINUE_NEEDED && !hasToken) {
            LOGA(LOG_INFO, "SSLTunnel: extra data found, length: %d\n", static_cast<int>(extra));
            std::memmove(input.get(), input.get() + held - extra, extra);
            held = extra;
            needRead = extra == 0;
            continue;
        }

        if (hasToken) {
            if (!m_inner->SendDataSync(outBuffer.pvBuffer, outBuffer.cbBuffer, INFINITE)) {
                LOGA(LOG_ERROR, "SSLTunnel: Send data failed!\n");
                return false;
            }
            LOGA(LOG_INFO, "SSLTunnel: %d bytes of handshake data sent\n", static_cast<int>(outBuffer.cbBuffer));
        }
        token.reset();

        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needRead = true;
            continue;
        }
        if (status == SEC_I_CONTINUE_NEEDED) {
            // The next flight may already be here.
            std::memmove(input.get(), input.get() + held - extra, extra);
            held = extra;
            needRead = extra == 0;
            continue;
        }
        if (status == SEC_E_OK) {
            // Records often follow the last handshake message in the same read.
            KeepReadAheadInFront(input.get() + held - extra, extra);
            return true;
        }
        return false;
    }
}

void CSSLDataTransport::Close() {
    ClearCachedAddressFlag();
    ClearLastError();
    if (m_inner) m_inner->Close();
}

uint32_t CSSLDataTransport::GetTransportType() {
    const uint32_t inner = m_inner ? m_inner->GetTransportType() : TransportType_Other;
    if (inner == TransportType_Tcp) return TransportType_TlsOverTcp;
    if (inner == TransportType_Udp) return TransportType_Udp;
    return TransportType_Other;
}

SockAddrHost CSSLDataTransport::GetLocalAddress() {
    return m_inner ? m_inner->GetLocalAddress() : SockAddrHost();
}

SockAddrHost CSSLDataTransport::GetRemoteAddress() {
    return m_inner ? m_inner->GetRemoteAddress() : SockAddrHost();
}

uint16_t CSSLDataTransport::GetRemotePort() {
    return m_inner ? m_inner->GetRemotePort() : 0;
}

size_t CSSLDataTransport::TakeReadAhead(unsigned char* destination, size_t length) {
    if (!m_readAhead) return 0;
    const size_t offset = m_readAhead->ReadOffset();
    const size_t n = std::min(m_readAhead->Used() - offset, length);
    std::memcpy(destination, m_readAhead->Data() + offset, n);
    m_readAhead->SetReadOffset(offset + n);
    if (m_readAhead->ReadOffset() >= m_readAhead->Used()) DropReadAhead();
    return n;
}

void CSSLDataTransport::DropReadAhead() { m_readAhead.reset(); }

void CSSLDataTransport::KeepReadAhead(CIOBuffer* read, size_t offset) {
    BufferRef kept(read);
    if (offset >= read->Used()) return;
    read->SetReadOffset(offset);
    // None: reads wait until the bytes ahead are used.
    const BufferRef earlier = std::exchange(m_readAhead, std::move(kept));
    if (earlier)
        KeepReadAheadInFront(earlier->Data() + earlier->ReadOffset(), earlier->Used() - earlier->ReadOffset());
}

void CSSLDataTransport::KeepReadAheadInFront(const unsigned char* bytes, size_t length) {
    if (length == 0) return;
    const size_t kept = m_readAhead ? m_readAhead->Used() - m_readAhead->ReadOffset() : 0;
    BufferRef joined(CIOBuffer::NewOwned(length + kept));
    if (!joined || !joined->Data()) {
        LOGA(LOG_ERROR, "SSLTunnel: new operator failed. Error = %d\n", static_cast<int>(::GetLastError()));
        return;
    }
    joined->Append(bytes, length);
    if (kept) joined->Append(m_readAhead->Data() + m_readAhead->ReadOffset(), kept);
    m_readAhead = std::move(joined);
}

bool CSSLDataTransport::RecvDataBySpecifiedLength(unsigned char* destination, uint32_t length,
                                                  uint32_t timeoutMs, bool recordStart) {
    uint32_t got = static_cast<uint32_t>(TakeReadAhead(destination, length));
    ULONGLONG noted = Timing::TickCount();
    uint32_t left = timeoutMs;
    while (got < length) {
        BufferRef piece;
        if (!m_inner->ReceiveDataSync(std::max(length - got, kReadAheadBytes), piece.put(), left)) {
            LOGA(LOG_ERROR, "SSLTunnel: read data from socket error\n");
            // The peer's close ends the stream cleanly only between records;
            // inside one, the rest of the record is missing.
            const uint32_t inner = m_inner->TransportError();
            if (inner != TransportError_None)
                SetTransportError(inner);
            else if (!recordStart || got > 0)
                SetTransportError(TransportError_TlsTruncated);
            return false;
        }
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(piece->Used(), length - got));
        std::memcpy(destination + got, piece->Data(), n);
        got += n;
        KeepReadAhead(piece.release(), n);
        // Bytes that all arrived count, however long they took.
        if (got >= length) break;
        if (timeoutMs != INFINITE) {
            const ULONGLONG now = Timing::TickCount();
            const ULONGLONG elapsed = now - noted;
            if (elapsed > left) {
                LOGA(LOG_ERROR, "SSLTunnel: RecvDataBySpecifiedLength timeout\n");
                SetTransportError(TransportError_Timeout);
                return false;
            }
            left -= static_cast<uint32_t>(elapsed);
            noted = now;
        }
    }
    return true;
}

CIOBuffer* CSSLDataTransport::ReadSSLRecord(uint32_t timeoutMs) {
    CIOBuffer* record = m_recordBuffer.get();
    if (!record || !record->Data()) return nullptr;
    if (m_streamSizes.cbHeader > record->Capacity()) {
        LOGA(LOG_ERROR, "SSLTunnel: SSL header size error: %d.\n", static_cast<int>(m_streamSizes.cbHeader));
        return nullptr;
    }
    // A record that lies whole in the bytes read ahead is decrypted where it
    // lies: copying it into the record buffer first would add a pass over
    // every byte received.
    if (BufferRef ahead = m_readAhead) {
        const size_t offset = ahead->ReadOffset();
        const size_t unread = ahead->Used() - offset;
        unsigned char* at = ahead->Data() + offset;
        if (unread >= kRecordHeaderLength) {
            const uint32_t body = (static_cast<uint32_t>(at[3]) << 8) | at[4];
            if (body != 0 && kRecordHeaderLength + body <= kSslRecordBufferSize &&
                unread >= kRecordHeaderLength + body) {
                ahead->SetReadOffset(offset + kRecordHeaderLength + body);
                if (ahead->ReadOffset() >= ahead->Used()) DropReadAhead();
                return DecryptRecord(ahead.get(), at, kRecordHeaderLength + body);
            }
        }
    }
    record->SetUsed(0);
    unsigned char* data = record->Data();
    if (!RecvDataBySpecifiedLength(data, kRecordHeaderLength, timeoutMs, true)) return nullptr;
    const uint32_t body = (static_cast<uint32_t>(data[3]) << 8) | data[4];
    if (body == 0 || kRecordHeaderLength + body > kSslRecordBufferSize) {
        LOGA(LOG_ERROR, "SSLTunnel: SSL body size error: %d.\n", static_cast<int>(body));
        SetTransportError(TransportError_TlsBadRecord);
        return nullptr;
    }
    if (!RecvDataBySpecifiedLength(data + kRecordHeaderLength, body, timeoutMs, false)) return nullptr;
    record->SetUsed(kRecordHeaderLength + body);
    return DecryptRecord(record, data, kRecordHeaderLength + body);
}

CIOBuffer* CSSLDataTransport::DecryptRecord(CIOBuffer* holder, unsigned char* data, size_t recordLength) {
    const ULONG length = static_cast<ULONG>(recordLength);
    SecBuffer buffers[4] = {{length, SECBUFFER_DATA, data},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = SecurityFunctions().DecryptMessage(m_context.addressof(), &desc, 0, nullptr);
    if (status == SEC_E_OK) {
        SecBuffer* plain = nullptr;
        bool extra = false;
        for (int i = 1; i < 4; ++i) {
            if (buffers[i].BufferType == SECBUFFER_DATA) {
                if (!plain)
                    plain = &buffers[i];
                else
                    LOGA(LOG_WARNING, "SSLTunnel: More than one data buff!\n");
            } else if (buffers[i].BufferType == SECBUFFER_EXTRA) {
                extra = true;
            }
        }
        if (extra) {
            LOGA(LOG_ERROR, "SSLTunnel: A extra buff exists\n");
            SetTransportError(TransportError_TlsBadRecord);
            return nullptr;
        }
        // An alert that decrypts to nothing is the peer's close_notify (the
        // form some providers give it): the stream has ended.
        if (data[0] == kAlertRecord && (!plain || plain->cbBuffer == 0)) {
            LOGA(LOG_INFO, "SSLTunnel: the peer closed the TLS session\n");
            m_peerClosed = true;
            return nullptr;
        }
        if (!plain) {
            LOGA(LOG_WARNING, "SSLTunnel: No message is decrpted!\n");
            SetTransportError(TransportError_TlsBadRecord);
            return nullptr;
        }
        CIOBuffer* view = CIOBuffer::NewView(plain->pvBuffer, plain->cbBuffer);
        if (!view) return nullptr;
        holder->AddRef();  // the view's, given back when the view goes
        view->SetChained(holder);
        return view;
    }
    if (status == SEC_I_RENEGOTIATE) {
        m_certs.nextIndex = 0;
        const bool renegotiated = ClientHandshakeLoop(Timing::TickCount() + kHandshakeTimeoutMs);
        SetTransportError(renegotiated ? TransportError_Renegotiated : TransportError_RenegotiationFailed);
        return nullptr;
    }
    // The log drops a line too long for it, and with it the status: only the
    // record's start is dumped.
    char* dump = HexDump(data, std::min<size_t>(length, kDumpedRecordBytes), 30);
    LOGA(LOG_ERROR, "SSLTunnel: Decrypt SSL message failed. Error = 0x%x, buf %p, Length: %d, Data: %s\n",
         static_cast<unsigned>(status), static_cast<void*>(data), static_cast<int>(length), dump);
    delete[] dump;
    PrintSSLPacketInfo(data, length);
    // The peer's close_notify ends the stream; every other failure (a bad
    // MAC, a fatal alert, a record out of step) cuts it.
    if (status == SEC_I_CONTEXT_EXPIRED)
        m_peerClosed = true;
    else
        SetTransportError(TransportError_TlsBadRecord);
    return nullptr;
}

bool CSSLDataTransport::ReceiveDataSync(uint32_t maxLength, CIOBuffer** out, uint32_t timeoutMs) {
    ClearLastError();
    // A result of 0 bytes could never be handed out.
    if (!m_inner || !out || maxLength == 0) {
        SetTransportError(TransportError_BadReadArguments);
        return false;
    }
    // The time-out covers every record the read takes: records without plain
    // text (empty ones, a renegotiation) must not keep it going for ever.
    const ULONGLONG start = timeoutMs == INFINITE ? 0 : Timing::TickCount();
    uint32_t left = timeoutMs;
    for (bool first = true;; first = false) {
        if (!first && timeoutMs != INFINITE) {
            const ULONGLONG elapsed = Timing::TickCount() - start;
            if (elapsed >= timeoutMs) {
                LOGA(LOG_ERROR, "SSLTunnel: recv SSL message timed out after %u ms\n",
                     static_cast<unsigned>(timeoutMs));
                SetTransportError(TransportError_Timeout);
                return false;
            }
            left = static_cast<uint32_t>(timeoutMs - elapsed);
        }
        const size_t unread = m_leftover ? m_leftover->Used() - m_leftover->ReadOffset() : 0;
        if (unread > 0) {
            BufferRef result(NewResultBuffer(maxLength));
            if (!result) return false;
            const size_t n = std::min<size_t>(unread, maxLength);
            result->Append(m_leftover->Data() + m_leftover->ReadOffset(), n);
            m_leftover->SetReadOffset(m_leftover->ReadOffset() + n);
            if (m_leftover->ReadOffset() >= m_leftover->Used()) {
                m_leftover->SetUsed(0);
                m_leftover->SetReadOffset(0);
            }
            *out = result.release();
            return true;
        }
        // Plain text of the last records may still have waited in the leftover.
        if (m_peerClosed) return false;

        BufferRef plain(ReadSSLRecord(left));
        if (!plain) {
            if (TransportError() != TransportError_Renegotiated) {
                LOGA(LOG_ERROR, "SSLTunnel: recv SSL message failed!\n");
                return false;
            }
            plain.reset(ReadSSLRecord(left));
            if (!plain) {
                LOGA(LOG_ERROR, "SSLTunnel: recv SSL message failed after renegotate!\n");
                return false;
            }
            SetTransportError(TransportError_None);
        }
        if (plain->Used() == 0) continue;
        // The record's plain text is handed out where it was decrypted,
        // without a copy; what goes beyond maxLength waits in the leftover.
        if (plain->Used() > maxLength) {
            if (m_leftover) {
                m_leftover->SetUsed(0);
                m_leftover->SetReadOffset(0);
                m_leftover->Append(plain->Data() + maxLength, plain->Used() - maxLength);
            }
            plain->SetUsed(maxLength);
        }
        *out = plain.release();
        return true;
    }
}

CIOBuffer* CSSLDataTransport::NewResultBuffer(uint32_t maxLength) {
    // The pool's buffers hold a whole record's plain text; reusing them spares
    // fresh memory for every read.
    BufferRef result(m_receivePool && maxLength <= m_receivePool->BufferSize() ? m_receivePool->Allocate()
                                                                               : CIOBuffer::NewOwned(maxLength));
    if (!result || !result->Data()) {
        LOGA(LOG_ERROR, "SSLTunnel: new operator failed. Error = %d\n", static_cast<int>(::GetLastError()));
        return nullptr;
    }
    return result.release();
}

bool CSSLDataTransport::EncryptInto(CIOBuffer* target, const void* bytes, uint32_t length,
                                    uint32_t* total) {
    const ULONG header = m_streamSizes.cbHeader;
    const ULONG trailer = m_streamSizes.cbTrailer;
    unsigned char* p = target->Data();
    std::memset(p, 0, header);
    std::memcpy(p + header, bytes, length);
    std::memset(p + header + length, 0, trailer);
    SecBuffer buffers[4] = {{header, SECBUFFER_STREAM_HEADER, p},
                            {length, SECBUFFER_DATA, p + header},
                            {trailer, SECBUFFER_STREAM_TRAILER, p + header + length},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = SecurityFunctions().EncryptMessage(m_context.addressof(), 0, &desc, 0);
    if (status != SEC_E_OK) {
        LOGA(LOG_ERROR, "SSLTunnel: Encrypt message failed. scStatus = %d.\n", static_cast<int>(status));
        return false;
    }
    *total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    target->SetUsed(*total);
    return true;
}

bool CSSLDataTransport::SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) {
    ClearLastError();
    if (!m_inner) return false;
    if (length == 0) return true;
    const uint32_t maxMessage = m_streamSizes.cbMaximumMessage;
    if (!m_sendPool || maxMessage == 0) {
        LOGA(LOG_ERROR, "SSLTunnel: SendDataSync error\n");
        return false;
    }
    const auto* next = static_cast<const unsigned char*>(bytes);
    uint32_t left = length;
    while (left > 0) {
        const uint32_t piece = std::min(left, maxMessage);
        BufferRef buffer(m_sendPool->Allocate());
        if (!buffer) {
            LOGA(LOG_ERROR, "SSLTunnel: new operator failed. Error = %d\n", static_cast<int>(::GetLastError()));
            return false;
        }
        uint32_t total = 0;
        if (!EncryptInto(buffer.get(), next, piece, &total)) return false;
        const bool sent = m_inner->SendDataSync(buffer->Data(), total, timeoutMs);
        buffer.reset();
        if (!sent) {
            LOGA(LOG_ERROR, "SSLTunnel: SendDataSync error\n");
            return false;
        }
        next += piece;
        left -= piece;
    }
    return true;
}

CIOBuffer* CSSLDataTransport::EncryptData(const void* bytes, uint32_t length) {
    if (!m_sendPool) return nullptr;
    if (length > m_streamSizes.cbMaximumMessage) {
        LOGA(LOG_ERROR, "SSLTunnel: too much message: %d > %d\n", static_cast<int>(length),
             static_cast<int>(m_streamSizes.cbMaximumMessage));
        return nullptr;
    }
    BufferRef buffer(m_sendPool->Allocate());
    if (!buffer) return nullptr;
    uint32_t total = 0;
    if (!EncryptInto(buffer.get(), bytes, length, &total)) return nullptr;
    return buffer.release();
}

void CSSLDataTransport::RequestRecvDataAsync() {
    if (m_inner) m_inner->RequestRecvDataAsync();
}

size_t CSSLDataTransport::QueuedSends() {
    CriticalSectionLock hold(m_lock);
    return m_sendQueue.size();
}

// Called with the lock held.
bool CSSLDataTransport::EncryptAndSendFront() {
    CIOBuffer* queued = m_sendQueue.front().get();
    const size_t start = std::min(queued->WriteOffset(), queued->Used());
    const size_t length = queued->Used() - start;
    if (length > m_streamSizes.cbMaximumMessage) {
        LOGA(LOG_ERROR, "SSLTunnel: RequestSendDataAsync: too much data to send, %d > %d\n",
             static_cast<int>(length), static_cast<int>(m_streamSizes.cbMaximumMessage));
        return false;
    }
    const BufferRef encrypted(EncryptData(queued->Data() + start, static_cast<uint32_t>(length)));
    if (!encrypted) return false;
    const bool sent = m_inner->SendDataAsync(encrypted.get());
    if (!sent) LOGA(LOG_ERROR, "SSLTunnel: RequestSendDataAsync error\n");
    return sent;
}

bool CSSLDataTransport::SendDataAsync(CIOBuffer* buffer) {
    CriticalSectionLock hold(m_lock);
    if (!m_inner || !buffer) return false;
    const bool wasEmpty = m_sendQueue.empty();
    m_sendQueue.push_back(BufferRef::Borrow(buffer));
    if (wasEmpty) return EncryptAndSendFront();
    return true;
}

void CSSLDataTransport::OnSendComplete() {
    CriticalSectionLock hold(m_lock);
    if (m_inner) m_inner->OnSendComplete();
    if (m_sendQueue.empty()) return;
    m_sendQueue.pop_front();
    if (!m_sendQueue.empty()) EncryptAndSendFront();
}

// Called with the lock held.
void CSSLDataTransport::FeedRecordBytes(const unsigned char* bytes, size_t length) {
    while (length > 0) {
        if (!m_currentRecord) {
            m_currentRecord.reset(m_receivePool ? m_receivePool->Allocate() : nullptr);
            if (!m_currentRecord) return;
            m_recordState = 0;
        }
        CIOBuffer* record = m_currentRecord.get();
        const size_t wanted = m_recordState == 0 ? kRecordHeaderLength : kRecordHeaderLength + m_expectedBody;
        const size_t n = std::min(length, wanted - record->Used());
        record->Append(bytes, n);
        bytes += n;
        length -= n;
        if (record->Used() < wanted) continue;
        if (m_recordState == 0) {
            const unsigned char* h = record->Data();
            m_expectedBody = (static_cast<uint32_t>(h[3]) << 8) | h[4];
            if (m_expectedBody == 0 || kRecordHeaderLength + m_expectedBody > record->Capacity()) {
                // The stream is out of step; nothing after this header can be trusted.
                LOGA(LOG_ERROR, "SSLTunnel: SSL body size error: %d.\n", static_cast<int>(m_expectedBody));
                SetTransportError(TransportError_TlsBadRecord);
                record->SetUsed(0);
                return;
            }
            m_recordState = 1;
            continue;
        }
        BufferRef plain(DecryptRecord(record, record->Data(), record->Used()));
        if (plain)
            m_decrypted.push_back(std::move(plain));
        else if (TransportError() != TransportError_Renegotiated)
            LOGA(LOG_ERROR, "SSLTunnel: AddData: decrypt failed\n");
        m_currentRecord.reset();
        m_currentRecord.reset(m_receivePool->Allocate());
        m_recordState = 0;
    }
}

void CSSLDataTransport::AddData(CIOBuffer* buffer) {
    ClearLastError();
    if (!buffer) return;
    CriticalSectionLock hold(m_lock);
    FeedRecordBytes(buffer->Data(), buffer->Used());
}

CIOBuffer* CSSLDataTransport::GetData() {
    if (m_decrypted.empty()) return nullptr;
    CIOBuffer* b = m_decrypted.front().release();
    m_decrypted.pop_front();
    return b;
}

}  // namespace QuarloSocket
