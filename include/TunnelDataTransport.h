// The byte-stream interface every gateway exchange goes through. Transports
// stack (plain socket, proxy CONNECT, TLS); the outermost one is handed to the
// HTTP code, which only uses the synchronous pair.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "Owners.h"
#include "QuarloIOCPSocket.h"
#include "QuarloSocketIOBuffer.h"
#include "SockAddr.h"

namespace QuarloSocket {

// Sticky transport error codes (the first non-zero code since the last clear).
// A failed ReceiveDataSync that leaves 0 met the peer's orderly end of the
// stream; every other ending of a read leaves a code.
enum TransportError : uint32_t {
    TransportError_None = 0,
    TransportError_BadReadArguments = 102,
    TransportError_PlainInit = 103,
    // A read or write waited out its time-out.
    TransportError_Timeout = 104,
    // The connection failed otherwise: reset, aborted, or a socket error.
    TransportError_ConnectionFailed = 105,
    TransportError_Handshake = 207,
    TransportError_RenegotiationFailed = 208,
    TransportError_Renegotiated = 209,
    // The TLS stream ended inside a record.
    TransportError_TlsTruncated = 210,
    // A TLS record failed: it did not decrypt (a bad MAC, a fatal alert), or
    // its header announced a length no record has.
    TransportError_TlsBadRecord = 211,
    TransportError_ProxyConnect = 802,
    TransportError_ProxyNtlm = 803,
};

enum TransportType : uint32_t {
    TransportType_Tcp = 1,
    TransportType_Udp = 2,
    TransportType_TlsOverTcp = 3,
    TransportType_Handle = 4,
    TransportType_Other = 0xFFFF,
};

class ReferenceCounter {
public:
    ReferenceCounter() = default;
    ReferenceCounter(const ReferenceCounter&) = delete;
    ReferenceCounter& operator=(const ReferenceCounter&) = delete;
    virtual ~ReferenceCounter() = default;

    virtual int32_t AddRef() { return m_refCount.fetch_add(1) + 1; }
    // The caller that sees 0 must not touch the object again.
    virtual int32_t Release() {
        const int32_t count = m_refCount.fetch_sub(1) - 1;
        if (count < 1) delete this;
        return count;
    }
    int32_t RefCount() const { return m_refCount.load(); }

private:
    std::atomic<int32_t> m_refCount{1};
};

class ITunnelDataTransport : public ReferenceCounter, public CUserData {
public:
    ITunnelDataTransport() : CUserData(10) {}

    virtual bool Init() = 0;
    virtual void Close() = 0;
    virtual void Shutdown() {}
    virtual uint32_t GetPendingReadCount() { return 0; }
    virtual uint32_t GetLastError() { return m_error; }
    virtual void SetLastError(uint32_t code) {
        if (m_error == 0 || code == 0) m_error = code;
    }
    virtual uint32_t GetTransportType() = 0;
    virtual SockAddrHost GetLocalAddress() = 0;
    virtual SockAddrHost GetRemoteAddress() = 0;
    virtual uint16_t GetRemotePort() = 0;
    // On success *out is a new buffer of 1..maxLength bytes whose one
    // reference the caller releases; on failure *out is left as it was.
    // INFINITE waits without limit.
    virtual bool ReceiveDataSync(uint32_t maxLength, CIOBuffer** out, uint32_t timeoutMs) = 0;
    // True only when every byte was handed to the stream.
    virtual bool SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) = 0;
    virtual void RequestRecvDataAsync() = 0;
    virtual bool SendDataAsync(CIOBuffer* buffer) = 0;
    virtual void OnSendComplete() = 0;
    virtual void AddData(CIOBuffer* buffer) = 0;
    virtual CIOBuffer* GetData() = 0;

    // The transport's own sticky code by a name of its own, so that it never
    // reads like the thread's Win32 error (::GetLastError) beside it.
    uint32_t TransportError() { return GetLastError(); }
    void SetTransportError(uint32_t code) { SetLastError(code); }

protected:
    // Only the transport itself clears the code (at the start of its calls).
    void ClearLastError() { m_error = 0; }

private:
    uint32_t m_error = 0;
};

// One reference on a transport.
using TransportRef = Owners::ComPtr<ITunnelDataTransport>;

// The one block of received bytes handed in (AddData) and not yet taken
// (GetData); a newer block replaces an unread one without leaking it.
class PendingBlock {
public:
    void Put(CIOBuffer* buffer) {
        if (buffer) m_block = BufferRef::Borrow(buffer);
    }
    // The reference passes to the caller.
    CIOBuffer* Take() { return m_block.release(); }

private:
    BufferRef m_block;
};

}  // namespace QuarloSocket
