// The TLS client that every exchange with the gateway runs through: it
// decorates a plain or proxy transport and encrypts with the system's TLS
// provider. Reads hand out one record's plain text at a time; writes go out
// in pieces of the provider's maximum message size.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <schannel.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>

#include "ClientCertificates.h"
#include "Owners.h"
#include "QuarloSocketIOBuffer.h"
#include "TunnelDataTransport.h"

namespace QuarloSocket {

constexpr size_t kPseudoClientHelloLength = 104;
// One TLS record (header and body) always fits.
constexpr uint32_t kSslRecordBufferSize = 20480;
// A whole handshake flight is gathered here.
constexpr uint32_t kHandshakeBufferSize = 65536;
// A gateway that stops answering in the middle of a handshake fails it here.
constexpr DWORD kHandshakeTimeoutMs = 30000;
// Provider calls in a row that consume no newly read byte.
constexpr int kHandshakeTurnsWithoutRead = 32;
// Sequence and replay detection, confidentiality, provider-allocated
// output, extended error, stream.
constexpr ULONG kSslContextFlags = 0xC11C;

// The fixed ClientHello sent ahead of the provider's own one in
// client-authentication mode. osVersion chooses the cipher list (4 or more:
// Vista or later); unixTime fills the first four bytes of the random.
std::array<unsigned char, kPseudoClientHelloLength> BuildPseudoClientHello(int32_t osVersion,
                                                                           uint32_t unixTime);

// The security provider's entry points: the system's table unless a test
// installs another (nullptr restores the system's).
const SecurityFunctionTableW& SecurityFunctions();
const SecurityFunctionTableW* SetSecurityFunctionsForTest(const SecurityFunctionTableW* table);

// A security context and a buffer the provider allocated, given back through
// the provider table in use.
struct ProviderContextTraits : Owners::SecContextTraits {
    static void close(type h) { SecurityFunctions().DeleteSecurityContext(&h); }
};
using UniqueProviderContext = Owners::Unique<ProviderContextTraits>;
struct ProviderBufferTraits : Owners::ContextBufferTraits {
    static void close(type p) { SecurityFunctions().FreeContextBuffer(p); }
};
using UniqueProviderBuffer = Owners::Unique<ProviderBufferTraits>;

// Logs the subject and issuer of the certificate and of the issuers found in
// its own store.
void DisplayCertChain(PCCERT_CONTEXT cert);
// 0 when the certificate chains to a trusted root, is valid for server
// authentication and names the server; else the status of the failure.
DWORD VerifyServerCertificate(PCCERT_CONTEXT cert, const char* serverName, DWORD ignoreFlags);

class CSSLDataTransport : public ITunnelDataTransport {
public:
    // Takes one reference on the inner transport.
    CSSLDataTransport(ITunnelDataTransport* inner, const char* serverName, bool verifyRemoteCert,
                      bool autoSelect, CertChoiceCallback callback, bool clientAuth);
    ~CSSLDataTransport() override;

    void SetVPNServerFlag(uint32_t flag);

    bool Init() override;
    void Close() override;
    void Shutdown() override {}
    uint32_t GetPendingReadCount() override { return 0; }
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

    // The encrypted form of at most one maximum message (asynchronous path);
    // nullptr when it is longer or cannot be encrypted.
    CIOBuffer* EncryptData(const void* bytes, uint32_t length);

    // Result of a failed server-certificate verification, 0 otherwise.
    uint32_t VerificationStatus() const { return m_verificationStatus; }
    const SecPkgContext_StreamSizes& StreamSizes() const { return m_streamSizes; }
    CClientCertificates& Certificates() { return m_certs; }
    const char* ServerName() const { return m_serverName; }
    size_t QueuedSends();

private:
    bool SendClientHello();
    bool SSLHandshake(int attempt, ULONGLONG deadline);
    bool ClientHandshakeLoop(ULONGLONG deadline);
    void FreeHandshake();
    void DeleteContext();
    DWORD TimeLeft(ULONGLONG deadline) const;
    size_t TakeReadAhead(unsigned char* destination, size_t length);
    // Keeps the bytes of a read from offset on (its reference passes here).
    void KeepReadAhead(CIOBuffer* read, size_t offset);
    void KeepReadAheadInFront(const unsigned char* bytes, size_t length);
    void DropReadAhead();
    // recordStart: the bytes begin a record, so the peer's close before the
    // first of them is the clean end of the stream.
    bool RecvDataBySpecifiedLength(unsigned char* destination, uint32_t length, uint32_t timeoutMs,
                                   bool recordStart);
    CIOBuffer* ReadSSLRecord(uint32_t timeoutMs);
    // A buffer for up to maxLength bytes of plain text; nullptr (and a log
    // line) without memory.
    CIOBuffer* NewResultBuffer(uint32_t maxLength);
    // Decrypts the record at data in place; the plain text's view holds a
    // reference on holder, the buffer the record lies in.
    CIOBuffer* DecryptRecord(CIOBuffer* holder, unsigned char* data, size_t recordLength);
    bool EncryptInto(CIOBuffer* target, const void* bytes, uint32_t length, uint32_t* total);
    bool EncryptAndSendFront();
    void FeedRecordBytes(const unsigned char* bytes, size_t length);

    CClientCertificates m_certs;  // stores, configuration, candidates, next index
    Owners::UniqueCredHandle m_credential;
    bool m_verifyRemoteCert;
    bool m_clientAuth;
    char m_serverName[260] = {};
    UniqueProviderContext m_context;
    // The peer's close_notify came: reads end without touching the stream.
    bool m_peerClosed = false;
    SecPkgContext_StreamSizes m_streamSizes{};
    uint32_t m_vpnServerFlag = 0;
    uint32_t m_verificationStatus = 0;
    TransportRef m_inner;

    BufferRef m_recordBuffer;
    BufferRef m_leftover;
    // Encrypted bytes already taken from the inner transport: read ahead of
    // the record being read, or come in with the last handshake message.
    // The unread bytes run from its read offset to its used count.
    BufferRef m_readAhead;

    // Asynchronous path.
    std::deque<BufferRef> m_decrypted;
    uint32_t m_recordState = 0;  // 0 reading a header, 1 reading a body
    uint32_t m_expectedBody = 0;
    BufferRef m_currentRecord;
    std::unique_ptr<CAllocator> m_sendPool;
    std::unique_ptr<CAllocator> m_receivePool;
    CRITICAL_SECTION m_lock;
    std::deque<BufferRef> m_sendQueue;
};

}  // namespace QuarloSocket
