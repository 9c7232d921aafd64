// Socket connections and the completion-port socket that owns them: every
// read and write is issued and completed on the pool's workers; the blocking
// operations hand over to the workers through the buffers' sync slots.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "Owners.h"
#include "QuarloSocket.h"
#include "QuarloSocketIOBuffer.h"
#include "QuarloSocketIOPool.h"
#include "SockAddr.h"
#include "Socket.h"

namespace QuarloSocket {

// The user-data slots the socket library itself uses; nothing else in the
// system writes them, so apart from an accept they read 0 or empty.
namespace UserDataSlot {
constexpr size_t kAcceptedSocket = 0;  // number: the socket made for an accept
constexpr size_t kData1 = 1;           // number: "data 1" of the abortive close's line
constexpr size_t kDatagramHost = 1;    // string: destination host of a UDP write
constexpr size_t kDatagramPort = 2;    // number: destination port of a UDP write
constexpr size_t kCoreId = 3;          // number: core id of the plain transport's datagram framing
constexpr size_t kPassThrough = 4;     // number: datagrams go out unframed
constexpr size_t kLogType = 8;         // number: "type" of the completion lines
constexpr size_t kLogL4Id = 11;        // number: "l4 id" of the completion lines
}  // namespace UserDataSlot

class CUserData {
public:
    explicit CUserData(size_t n) : m_numbers(n, 0), m_strings(n) {}
    void Clear();
    std::string GetString(size_t i) const { return i < m_strings.size() ? m_strings[i] : std::string(); }
    uint64_t Number(size_t i) const { return i < m_numbers.size() ? m_numbers[i] : 0; }
    void SetNumber(size_t i, uint64_t v) {
        if (i < m_numbers.size()) m_numbers[i] = v;
    }
    void SetString(size_t i, std::string v) {
        if (i < m_strings.size()) m_strings[i] = std::move(v);
    }

private:
    std::vector<uint64_t> m_numbers;
    std::vector<std::string> m_strings;
};

enum SyncIOStatus : int {
    SyncIO_Done = 1,
    SyncIO_Timeout = 2,
    SyncIO_Error = 3,
    SyncIO_NoBuffer = 4,
    SyncIO_WaitFailed = 6,
    SyncIO_Cancelled = 7,
    SyncIO_Closed = 8,
};

// Values of a synchronous read's sync slot; each side exchanges its own mark
// in, and the side that comes second owns the bytes.
constexpr uint64_t kSyncReadWaiting = 0;
constexpr uint64_t kSyncReadAbandoned = 1;
constexpr uint64_t kSyncReadCompleted = 2;

// Synchronous reads that ask for this many bytes or more read into a pooled
// buffer of this size: fresh memory for every read would be paid for in page
// faults on every byte received. Large, because each read costs two thread
// hand-overs; few such reads are ever in use at once.
constexpr size_t kSyncReadBufferSize = 1024 * 1024;
constexpr size_t kSyncReadFreeBuffers = 2;

class CSocketConnection;
class CIOCPSocket;

class ISocketConnectionEventListener : public CAllocator {
public:
    using CAllocator::CAllocator;
    virtual void ReleaseConnection(CSocketConnection* connection) = 0;
    virtual void OnConnectionDropByRemotePeer(CSocketConnection*) {}
    virtual void OnConnectionResetByRemotePeer(CSocketConnection*, uint32_t) {}
    // False when the operation could not be queued (nothing stays posted).
    virtual bool PostOperation(CSocketConnection* connection, CIOBuffer* buffer, IOOperation op) = 0;
    virtual void OnConnectionError(uint32_t, CSocketConnection*, CIOBuffer*, uint32_t) {}
    virtual void HandleOperation(CSocketConnection* connection, CIOBuffer* buffer, DWORD bytes,
                                 DWORD error) = 0;
    // Where large synchronous reads take their buffers; none gives owned ones.
    virtual IAllocator* SyncReadAllocator() { return nullptr; }
};

class CSocketConnection : public CNodeList::Node, private CUserData {
public:
    enum Type : uint32_t { TypeTcp = 0, TypeUdp = 1, TypeOther = 2, TypeHandle = 3 };

    CSocketConnection(uint32_t type, SOCKET socket, size_t userDataCount);
    CSocketConnection(HANDLE handle, size_t userDataCount);
    virtual ~CSocketConnection();
    CSocketConnection(const CSocketConnection&) = delete;
    CSocketConnection& operator=(const CSocketConnection&) = delete;

    void AddRef() { m_refCount.fetch_add(1); }
    void Release();

    void Close();
    void InternalClose();
    void AbortiveClose();
    void Shutdown();
    void OnRemoteClose();
    void OnReset(uint32_t error);
    void OnError(uint32_t direction, CIOBuffer* buffer, uint32_t error);

    void GetSockName(void* address);
    void GetPeerName(void* address);

    bool Write(CIOBuffer* buffer);
    bool Read(CIOBuffer* buffer);

    SyncIOStatus ReadSync(size_t maxLength, CIOBuffer** out, DWORD timeoutMs, HANDLE cancel);
    SyncIOStatus WriteSync(const void* bytes, size_t length, size_t* written, DWORD timeoutMs,
                           HANDLE cancel);

    // Worker side of a completed (or failed to issue) read.
    void CompleteRead(CIOBuffer* buffer, DWORD bytes, DWORD error, CIOCPSocket* owner);
    // Worker side of a write that could not be issued (the next queued one
    // goes out).
    void FailWrite(CIOBuffer* buffer, DWORD error);
    // Worker side of a finished write; false when no synchronous writer waits.
    bool CompleteSyncWrite(CIOBuffer* buffer, DWORD bytes, DWORD error);
    // Worker side: the write that was out has ended (sent or failed); the
    // next queued one goes out.
    void OnWriteFinished();

    bool IsValid() const;
    uint32_t Type() const { return m_type; }
    SOCKET Socket() const { return m_socket; }
    HANDLE Handle() const { return m_handle; }
    ISocketConnectionEventListener* Owner() const { return m_owner; }
    int32_t RefCount() const { return m_refCount.load(); }
    int32_t PendingWrites() const { return m_pendingWrites.load(); }
    int32_t PendingReads() const { return m_pendingReads.load(); }
    bool ReadShut() const { return m_readShut != 0; }
    bool WriteShut() const { return m_writeShut != 0; }
    void MarkWriteShut() { m_writeShut = 1; }
    void MarkReadShut() { m_readShut = 1; }
    bool SyncReadPending() const { return m_syncReadPending.load() != 0; }
    size_t LateDataLength();
    std::string LateData();
    CUserData& UserData() { return *this; }
    CRITICAL_SECTION& Lock() { return m_lock; }

private:
    friend class CIOCPSocket;
    void ResetForReuse(uint32_t type, SOCKET socket, HANDLE handle);
    DWORD Remaining(ULONGLONG start, DWORD timeoutMs) const;
    SyncIOStatus WaitForEarlierRead(ULONGLONG start, DWORD timeoutMs);
    SyncIOStatus AwaitRead(CIOBuffer* read, ULONGLONG start, DWORD timeoutMs, HANDLE cancel);
    // Hands a write to the port, or queues it behind the one that is out: a
    // connection's writes are issued one at a time, in the order they came,
    // so that a write abandoned by its caller is never overtaken. False when
    // it could not be posted (nothing of it stays queued then).
    bool SubmitWrite(CIOBuffer* buffer);
    // The buffer a synchronous read fills: pooled when it asks for a whole
    // pool buffer or more (it then reads at most that much), else owned.
    CIOBuffer* NewSyncReadBuffer(size_t maxLength);
    // Late data, under the lock.
    void AppendLateData(const unsigned char* bytes, size_t n);
    // A new buffer with up to max bytes of late data; nullptr when there is
    // none, or when it could not be taken (*failed; nothing is taken then).
    CIOBuffer* TakeLateData(size_t max, bool* failed);

    CRITICAL_SECTION m_lock;
    ISocketConnectionEventListener* m_owner = nullptr;
    SOCKET m_socket;
    HANDLE m_handle;
    std::atomic<int32_t> m_refCount{1};
    std::atomic<int32_t> m_pendingWrites{0};
    std::atomic<int32_t> m_pendingReads{0};
    uint8_t m_readShut = 0;
    uint8_t m_writeShut = 0;
    std::atomic<uint32_t> m_dropped{0};
    uint32_t m_type;
    Owners::UniqueBstr m_lateData;  // byte string, guarded by m_lock
    Owners::UniqueHandle m_event;
    std::atomic<uint32_t> m_syncReadPending{0};
    IAllocator* m_allocator = nullptr;
    // The outstanding synchronous read and how it ended; only that buffer's
    // completion is handed to the waiting reader.
    std::atomic<CIOBuffer*> m_syncRead{nullptr};
    std::atomic<uint32_t> m_syncReadError{0};
    // Writes waiting for the one that is out, each with a reference; guarded
    // by m_writeLock, which is held alone.
    CRITICAL_SECTION m_writeLock;
    std::deque<BufferRef> m_writeQueue;
    bool m_writeOut = false;
};

class CIOCPSocket : public ISocketConnectionEventListener {
public:
    CIOCPSocket(IIOPool* pool, size_t maxFreeConnections, size_t maxFreeBuffers, size_t bufferSize,
                size_t userDataCount);
    ~CIOCPSocket() override;

    void ReleaseConnection(CSocketConnection* connection) override;
    bool PostOperation(CSocketConnection* connection, CIOBuffer* buffer, IOOperation op) override;
    void HandleOperation(CSocketConnection* connection, CIOBuffer* buffer, DWORD bytes,
                         DWORD error) override;
    IAllocator* SyncReadAllocator() override { return &m_syncReadPool; }
    virtual SOCKET CreateSocket(const char* localHost, uint16_t port);
    virtual SOCKET CreateSocket(in_addr localAddress, uint16_t port, uint32_t* error);
    virtual CSocketConnection* AllocateConnection(HANDLE handle);
    virtual CSocketConnection* AllocateConnection(uint32_t type, SOCKET socket);
    virtual void DestroyConnection(CSocketConnection* connection) { delete connection; }
    virtual void ReadCompleted(CSocketConnection* connection, CIOBuffer* buffer, DWORD bytes) = 0;
    virtual void WriteCompleted(CSocketConnection* connection, CIOBuffer* buffer) = 0;
    virtual void OnConnectionReleased(CSocketConnection*) {}
    virtual void OnAcceptFailed(CSocketConnection*, CIOBuffer*) {}
    virtual void OnConnectionAccepted(CSocketConnection*, CSocketConnection*, sockaddr*, sockaddr*) {}

    IIOPool* Pool() const { return m_pool; }
    uint64_t FreeConnectionCount();
    uint64_t InUseConnectionCount();

private:
    CSocketConnection* Allocate(uint32_t type, SOCKET socket, HANDLE handle);
    // Issues the read or write of a posted request.
    void Issue(CSocketConnection* connection, CIOBuffer* buffer, bool write);
    void IssueAccept(CSocketConnection* connection, CIOBuffer* buffer);
    void CompleteAccept(CSocketConnection* connection, CIOBuffer* buffer, DWORD error);

    IIOPool* m_pool;
    uint64_t m_maxFreeConnections;
    uint64_t m_userDataCount;
    CRITICAL_SECTION m_listLock;
    CNodeList m_inUse;
    CNodeList m_free;
    // Outlives every connection's reads: a connection's owner outlives it.
    CAllocator m_syncReadPool{kSyncReadBufferSize, kSyncReadFreeBuffers};
};

class CIOCPClientSocket : public CIOCPSocket {
public:
    using CIOCPSocket::CIOCPSocket;
    virtual CSocketConnection* Connect(const SockAddr& address, const ConnectTimeout* timeout);
    virtual CSocketConnection* Connect(const sockaddr_in& remote, in_addr localAddress,
                                       uint16_t localPort, uint32_t* error);
};

}  // namespace QuarloSocket
