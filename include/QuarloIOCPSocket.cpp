#include "QuarloIOCPSocket.h"

#include <mswsock.h>

#include <cstring>
#include <memory>

#include "Loglib.h"
#include "StringUtil.h"
#include "Timing.h"

namespace QuarloSocket {

// ---- CUserData ---------------------------------------------------------------

void CUserData::Clear() {
    for (auto& n : m_numbers) n = 0;
    for (auto& s : m_strings) s.clear();
}

// ---- worker dispatch ---------------------------------------------------------

void DispatchCompletion(IIOPool& pool, ULONG_PTR key, DWORD bytes, OVERLAPPED* overlapped,
                        DWORD error, bool ok) {
    auto* connection = reinterpret_cast<CSocketConnection*>(key);
    if (!ok && !overlapped) return;  // the wait failed; no packet was taken
    if (!ok && error != ERROR_OPERATION_ABORTED) connection->OnReset(error);
    pool.OnBeforeDispatch();
    if (ISocketConnectionEventListener* owner = connection->Owner()) {
        owner->HandleOperation(connection, CIOBuffer::FromOverlapped(overlapped), bytes, ok ? 0 : error);
    }
    pool.OnAfterDispatch();
}

// ---- CSocket -----------------------------------------------------------------

void CSocket::Close() {
    if (m_socket == INVALID_SOCKET) return;
    WSAEVENT event = ::WSACreateEvent();
    if (event != WSA_INVALID_EVENT) {
        if (::WSAEventSelect(m_socket, event, FD_CLOSE) == 0 && ::shutdown(m_socket, SD_SEND) == 0 &&
            Timing::WaitForObject(event, 1000) == WAIT_OBJECT_0) {
            char drain[1024];
            u_long blocking = 0;
            ::WSAEventSelect(m_socket, nullptr, 0);
            ::ioctlsocket(m_socket, FIONBIO, &blocking);
            while (::recv(m_socket, drain, sizeof drain, 0) > 0) {
            }
        }
        ::WSACloseEvent(event);
    }
    if (::closesocket(m_socket) != 0) LOGA(LOG_ERROR, "closesocket error %d\n", ::WSAGetLastError());
    m_socket = INVALID_SOCKET;
}

void CSocket::Abort() {
    linger option{1, 0};
    if (::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                     sizeof option) != 0) {
        LOGA(LOG_ERROR, "setsockopt error %d\n", ::WSAGetLastError());
    }
    Close();
}

bool CSocket::Bind(const sockaddr_in& address, uint32_t* error) {
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&address), 16) == 0) return true;
    const int code = ::WSAGetLastError();
    if (error) *error = static_cast<uint32_t>(code);
    if (code == WSAEACCES) {
        LOGA(LOG_ERROR, "bind %u error WSAEACCES, already been bound by another app\n", ntohs(address.sin_port));
    } else {
        LOGA(LOG_ERROR, "bind  %u error %d\n", ntohs(address.sin_port), code);
    }
    return false;
}

int CSocket::Connect(const sockaddr_in& address) {
    if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&address), 16) == 0) return 0;
    const int code = ::WSAGetLastError();
    const auto* b = reinterpret_cast<const unsigned char*>(&address.sin_addr);
    const std::string text = FormatA("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    LOGA(LOG_ERROR, "connect to %s:%u error: %d\n", text.c_str(), ntohs(address.sin_port), code);
    return -1;
}

// ---- CSocketConnection -------------------------------------------------------

CSocketConnection::CSocketConnection(uint32_t type, SOCKET socket, size_t userDataCount)
    : CUserData(userDataCount), m_socket(socket), m_handle(INVALID_HANDLE_VALUE), m_type(type) {
    InitLock(m_lock);
    InitLock(m_writeLock);
    m_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

CSocketConnection::CSocketConnection(HANDLE handle, size_t userDataCount)
    : CUserData(userDataCount), m_socket(0), m_handle(handle), m_type(TypeHandle) {
    InitLock(m_lock);
    InitLock(m_writeLock);
    m_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

CSocketConnection::~CSocketConnection() {
    ::DeleteCriticalSection(&m_writeLock);
    ::DeleteCriticalSection(&m_lock);
    CNodeList::Remove(this);
}

bool CSocketConnection::IsValid() const {
    if (m_type == TypeHandle) return m_handle != INVALID_HANDLE_VALUE;
    return m_socket != INVALID_SOCKET;
}

size_t CSocketConnection::LateDataLength() {
    CriticalSectionLock hold(m_lock);
    return m_lateData ? ::SysStringByteLen(m_lateData.get()) : 0;
}

std::string CSocketConnection::LateData() {
    CriticalSectionLock hold(m_lock);
    if (!m_lateData) return {};
    return std::string(reinterpret_cast<const char*>(m_lateData.get()), ::SysStringByteLen(m_lateData.get()));
}

void CSocketConnection::AppendLateData(const unsigned char* bytes, size_t n) {
    if (n == 0) return;
    CriticalSectionLock hold(m_lock);
    const size_t held = m_lateData ? ::SysStringByteLen(m_lateData.get()) : 0;
    BSTR joined = ::SysAllocStringByteLen(nullptr, static_cast<UINT>(held + n));
    if (!joined) {
        LOGA(LOG_ERROR, "late data: out of memory, %u bytes lost\n", static_cast<unsigned>(n));
        return;
    }
    auto* at = reinterpret_cast<unsigned char*>(joined);
    if (held) std::memcpy(at, m_lateData.get(), held);
    std::memcpy(at + held, bytes, n);
    m_lateData.reset(joined);
}

CIOBuffer* CSocketConnection::TakeLateData(size_t max, bool* failed) {
    *failed = false;
    CriticalSectionLock hold(m_lock);
    if (!m_lateData) return nullptr;
    const size_t held = ::SysStringByteLen(m_lateData.get());
    const size_t n = held < max ? held : max;
    const auto* bytes = reinterpret_cast<const char*>(m_lateData.get());
    BufferRef taken(CIOBuffer::NewOwned(n));
    Owners::UniqueBstr rest;
    if (n < held) rest.reset(::SysAllocStringByteLen(bytes + n, static_cast<UINT>(held - n)));
    if (!taken || !taken->Data() || (n < held && !rest)) {
        *failed = true;  // all of it stays rather than lose the tail
        return nullptr;
    }
    taken->Append(bytes, n);
    m_lateData = std::move(rest);
    return taken.release();
}

void CSocketConnection::ResetForReuse(uint32_t type, SOCKET socket, HANDLE handle) {
    m_socket = socket;
    m_handle = handle;
    m_type = type;
    CUserData::Clear();
    m_pendingWrites.store(0);
    m_pendingReads.store(0);
    m_readShut = m_writeShut = 0;
    m_dropped.store(0);
    {
        CriticalSectionLock hold(m_lock);
        m_lateData.reset();
    }
    m_syncRead.store(nullptr);
    m_syncReadPending.store(0);
    m_syncReadError.store(0);
    {
        // Every queued write holds on to the one out, which holds a reference
        // on the connection: nothing is queued when it comes back for reuse.
        CriticalSectionLock hold(m_writeLock);
        m_writeQueue.clear();
        m_writeOut = false;
    }
    ::ResetEvent(m_event.get());
    int32_t expected = 0;
    m_refCount.compare_exchange_strong(expected, 1);
}

void CSocketConnection::Release() {
    for (;;) {
        int32_t count = m_refCount.load();
        do {
            if (count <= 0) return;
        } while (!m_refCount.compare_exchange_weak(count, count - 1));
        if (count - 1 > 0) return;
        if (IsValid()) {
            // The last reference closes abortively before the connection goes back.
            m_refCount.fetch_add(1);
            AbortiveClose();
            continue;
        }
        if (m_owner) m_owner->ReleaseConnection(this);
        return;
    }
}

void CSocketConnection::Close() {
    CriticalSectionLock hold(m_lock);
    if (IsValid()) InternalClose();
}

void CSocketConnection::InternalClose() {
    CriticalSectionLock hold(m_lock);
    if (!IsValid()) return;
    if (m_type == TypeHandle) {
        Owners::UniqueHandle closing(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    } else {
        if (::closesocket(m_socket) != 0) {
            LOGA(LOG_ERROR, "CSocketConnection::InternalClose() - closesocket %d\n", ::WSAGetLastError());
        }
        m_socket = INVALID_SOCKET;
    }
    m_readShut = m_writeShut = 1;
}

void CSocketConnection::AbortiveClose() {
    {
        CriticalSectionLock hold(m_lock);
        if ((m_type == TypeTcp || m_type == TypeUdp) && IsValid()) {
            linger option{1, 0};
            if (::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                             sizeof option) != 0) {
                LOGA(LOG_ERROR, "CIOCPSocket::CSocketConnection::AbortiveClose() - setsockopt(SO_LINGER) %d\n",
                     ::WSAGetLastError());
            }
        }
    }
    LOGA(LOG_INFO, "%s: data 1: %u\n", "QuarloSocket::CSocketConnection::AbortiveClose",
         static_cast<unsigned>(Number(UserDataSlot::kData1)));
    InternalClose();
}

void CSocketConnection::Shutdown() {
    if (m_pendingWrites.fetch_sub(1) - 1 != 0) return;
    if (!m_writeShut || (m_type != TypeTcp && m_type != TypeUdp)) return;
    m_writeShut = 1;
    CriticalSectionLock hold(m_lock);
    if (m_pendingWrites.load() <= 0 && IsValid() && ::shutdown(m_socket, SD_SEND) != 0) {
        LOGA(LOG_ERROR, "CIOCPSocket::Server::Shutdown() %d\n", ::WSAGetLastError());
    }
}

void CSocketConnection::OnRemoteClose() {
    if (m_dropped.exchange(1) != 0) return;
    if (m_type == TypeTcp || m_type == TypeUdp) {
        CriticalSectionLock hold(m_lock);
        m_readShut = 1;
        if (IsValid() && ::shutdown(m_socket, SD_RECEIVE) != 0) {
            LOGA(LOG_ERROR, "CIOCPSocket::Server::Shutdown() %d\n", ::WSAGetLastError());
        }
    }
    if (m_owner) m_owner->OnConnectionDropByRemotePeer(this);
}

void CSocketConnection::OnReset(uint32_t error) {
    CriticalSectionLock hold(m_lock);
    if (!IsValid()) return;
    if (m_owner) m_owner->OnConnectionResetByRemotePeer(this, error);
    InternalClose();
}

void CSocketConnection::OnError(uint32_t direction, CIOBuffer* buffer, uint32_t error) {
    // A blocked reader is woken only by the completion of its own read, never
    // from here: a write error must not pass for a finished read.
    if (error == WSAESHUTDOWN) {
        LOGA(LOG_INFO, "WSAESHUTDOWN recved \n");
    } else if (error == WSAECONNRESET) {
        LOGA(LOG_INFO, "WSAECONNRESET, type: %d, l4 id: %u\n", static_cast<int>(Number(8)),
             static_cast<unsigned>(Number(11)));
        OnReset(WSAECONNRESET);
    } else if (error == WSAENOTSOCK && !IsValid()) {
    } else if (m_owner) {
        m_owner->OnConnectionError(direction, this, buffer, error);
    }
}

void CSocketConnection::GetSockName(void* address) {
    LOGA(LOG_INFO, "GetSockName: start\n");
    std::memset(address, 0, 16);
    if (m_type == TypeHandle) LOGA(LOG_ERROR, "only socket support querying name\n");
    LOGA(LOG_INFO, "GetSockName: m_socket:%u\n", static_cast<unsigned>(m_socket));
    int length = 28;
    int rc = ::getsockname(m_socket, static_cast<sockaddr*>(address), &length);
    LOGA(LOG_INFO, "GetSockName: getsockname finished\n");
    if (rc != 0 && ::WSAGetLastError() == WSAEFAULT) {
        LOGA(LOG_INFO, "GetSockName: getsockname again, m_socket:%d\n", static_cast<int>(m_socket));
        length = 16;
        rc = ::getsockname(m_socket, static_cast<sockaddr*>(address), &length);
        LOGA(LOG_INFO, "GetSockName: getsockname again\n");
    }
    if (rc != 0) LOGA(LOG_ERROR, "getsockname error %d\n", ::WSAGetLastError());
    LOGA(LOG_INFO, "GetSockName: finished\n");
}

void CSocketConnection::GetPeerName(void* address) {
    LOGA(LOG_INFO, "GetPeerName: start\n");
    std::memset(address, 0, 16);
    if (m_type == TypeHandle) LOGA(LOG_ERROR, "only socket support querying name\n");
    int length = 28;
    int rc = ::getpeername(m_socket, static_cast<sockaddr*>(address), &length);
    LOGA(LOG_INFO, "GetPeerName: finished\n");
    if (rc != 0 && ::WSAGetLastError() == WSAEFAULT) {
        LOGA(LOG_INFO, "GetPeerName again: start\n");
        length = 16;
        rc = ::getpeername(m_socket, static_cast<sockaddr*>(address), &length);
        LOGA(LOG_INFO, "GetPeerName again: finished\n");
    }
    if (rc != 0) LOGA(LOG_ERROR, "getpeername error %d\n", ::WSAGetLastError());
    LOGA(LOG_INFO, "GetPeerName exit\n");
}

bool CSocketConnection::Write(CIOBuffer* buffer) {
    if (!IsValid()) {
        LOGA(LOG_ERROR, "%s: socket invalid, data 1: %u\n", "QuarloSocket::CSocketConnection::Write",
             static_cast<unsigned>(Number(UserDataSlot::kData1)));
        return false;
    }
    if (m_writeShut) {
        LOGA(LOG_WARNING, "socket is being shutdown\n");
        return false;
    }
    m_pendingWrites.fetch_add(1);
    if (!SubmitWrite(buffer)) {
        m_pendingWrites.fetch_sub(1);
        return false;
    }
    return true;
}

bool CSocketConnection::SubmitWrite(CIOBuffer* buffer) {
    {
        CriticalSectionLock hold(m_writeLock);
        if (m_writeOut) {
            m_writeQueue.push_back(BufferRef::Borrow(buffer));
            return true;
        }
        m_writeOut = true;
    }
    if (m_owner && m_owner->PostOperation(this, buffer, IO_Write_Request)) return true;
    OnWriteFinished();  // the turn passes to a write queued meanwhile
    return false;
}

void CSocketConnection::OnWriteFinished() {
    for (;;) {
        BufferRef next;  // the queue's reference
        {
            CriticalSectionLock hold(m_writeLock);
            if (m_writeQueue.empty()) {
                m_writeOut = false;
                return;
            }
            next = std::move(m_writeQueue.front());
            m_writeQueue.pop_front();
        }
        const bool posted = m_owner && m_owner->PostOperation(this, next.get(), IO_Write_Request);
        if (posted) return;
        // It can never go out: a waiting writer learns so, and the write
        // counts as finished.
        CompleteSyncWrite(next.get(), 0, WSAENOBUFS);
        Shutdown();
    }
}

bool CSocketConnection::Read(CIOBuffer* buffer) {
    if (!IsValid()) {
        LOGA(LOG_WARNING, "socket not valid\n");
        return false;
    }
    BufferRef read;
    if (!buffer) {
        IAllocator* allocator = m_allocator ? m_allocator : m_owner;
        if (!allocator) {
            LOGA(LOG_ERROR, "socket owner not valid\n");
            LOGA(LOG_ERROR, "allocate socket buffer failed\n");
            return false;
        }
        read.reset(allocator->Allocate());
        if (!read) {
            LOGA(LOG_ERROR, "allocate socket buffer failed\n");
            return false;
        }
    } else {
        read = BufferRef::Borrow(buffer);
    }
    if (!m_owner) {
        LOGA(LOG_ERROR, "socket owner not valid\n");
        return false;
    }
    m_pendingReads.fetch_add(1);
    const bool posted = m_owner->PostOperation(this, read.get(), IO_Read_Request);
    if (!posted) m_pendingReads.fetch_sub(1);
    return posted;
}

DWORD CSocketConnection::Remaining(ULONGLONG start, DWORD timeoutMs) const {
    if (timeoutMs == INFINITE) return INFINITE;
    const ULONGLONG elapsed = Timing::TickCount() - start;
    return elapsed >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - elapsed);
}

SyncIOStatus CSocketConnection::WaitForEarlierRead(ULONGLONG start, DWORD timeoutMs) {
    while (m_syncReadPending.load()) {
        const DWORD w = Timing::WaitForObject(m_event.get(), Remaining(start, timeoutMs));
        if (w == WAIT_TIMEOUT) {
            LOGA(LOG_INFO, "Wait last sync read time out\n");
            return SyncIO_Timeout;
        }
        if (w != WAIT_OBJECT_0) {
            LOGA(LOG_INFO, "ReadSync: generic error.\n");
            return SyncIO_WaitFailed;
        }
        if (m_syncReadPending.load()) ::ResetEvent(m_event.get());  // stale; wait for the real one
    }
    return SyncIO_Done;
}

SyncIOStatus CSocketConnection::AwaitRead(CIOBuffer* read, ULONGLONG start, DWORD timeoutMs, HANDLE cancel) {
    for (;;) {
        HANDLE handles[2] = {m_event.get(), cancel};
        const DWORD w = Timing::WaitForAnyObject(cancel ? 2 : 1, handles, Remaining(start, timeoutMs));
        bool completed = read->SyncSlot() == kSyncReadCompleted;
        if (w == WAIT_OBJECT_0 && !completed) {
            // Set for an earlier read; clear it and look once more.
            ::ResetEvent(m_event.get());
            if (read->SyncSlot() != kSyncReadCompleted) continue;
            completed = true;
        }
        // Giving up: whoever exchanges second owns the bytes (the worker keeps
        // them as late data, or the reader returns them here).
        if (!completed) completed = read->ExchangeSyncSlot(kSyncReadAbandoned) == kSyncReadCompleted;
        if (completed) {
            if (read->Used() > 0) return SyncIO_Done;
            const uint32_t error = m_syncReadError.load();
            if (error == 0) {
                LOGA(LOG_INFO, "socket connection closed.\n");
                return SyncIO_Closed;
            }
            LOGA(LOG_ERROR, "socket connection error %d.\n", static_cast<int>(error));
            return SyncIO_Error;
        }
        if (cancel && w == WAIT_OBJECT_0 + 1) {
            LOGA(LOG_INFO, "ReadSync: cancelled.\n");
            return SyncIO_Cancelled;
        }
        if (w == WAIT_TIMEOUT) {
            LOGA(LOG_INFO, "ReadSync: timeout.\n");
            return SyncIO_Timeout;
        }
        LOGA(LOG_INFO, "ReadSync: generic error.\n");
        return SyncIO_WaitFailed;
    }
}

CIOBuffer* CSocketConnection::NewSyncReadBuffer(size_t maxLength) {
    IAllocator* pool = maxLength >= kSyncReadBufferSize && m_owner ? m_owner->SyncReadAllocator() : nullptr;
    if (CIOBuffer* pooled = pool ? pool->Allocate() : nullptr) {
        pooled->ExchangeSyncSlot(kSyncReadWaiting);  // its last read left its mark
        return pooled;
    }
    return CIOBuffer::NewOwned(maxLength);
}

SyncIOStatus CSocketConnection::ReadSync(size_t maxLength, CIOBuffer** out, DWORD timeoutMs,
                                         HANDLE cancel) {
    const ULONGLONG start = Timing::TickCount();
    // An abandoned read that is still out must end first, so that no two reads
    // are ever outstanding on the connection.
    const SyncIOStatus earlier = WaitForEarlierRead(start, timeoutMs);
    if (earlier != SyncIO_Done) return earlier;

    // Late data first. Bytes already in hand are returned at once: waiting for
    // more could stall a caller whose peer now waits for it (a handshake)
    // until the time-out, or for ever.
    bool failed = false;
    if (CIOBuffer* late = TakeLateData(maxLength, &failed)) {
        *out = late;
        return SyncIO_Done;
    }
    BufferRef read(failed ? nullptr : NewSyncReadBuffer(maxLength));
    if (!read || !read->Data()) {
        LOGA(LOG_ERROR, "buffer alloc failed.\n");
        return SyncIO_NoBuffer;
    }
    ::ResetEvent(m_event.get());
    m_syncReadError.store(0);
    m_syncRead.store(read.get());
    m_syncReadPending.store(1);
    SyncIOStatus status = SyncIO_Error;
    if (Read(read.get())) {
        status = AwaitRead(read.get(), start, timeoutMs, cancel);
    } else {
        LOGA(LOG_ERROR, "socket disconnected.\n");
        m_syncRead.store(nullptr);
        m_syncReadPending.store(0);
    }
    if (status == SyncIO_Done) {
        // The read's own buffer is handed out; the worker no longer looks at
        // it except to drop its reference.
        read->ExchangeSyncSlot(0);
        *out = read.release();
        return SyncIO_Done;
    }
    return status;
}

void CSocketConnection::CompleteRead(CIOBuffer* buffer, DWORD bytes, DWORD error, CIOCPSocket* owner) {
    // Once the peer's close was seen the receive side is shut, and a later
    // read meets that close again rather than an error of its own.
    if (bytes == 0 && error == WSAESHUTDOWN && m_dropped.load()) error = 0;
    const bool sync = m_syncReadPending.load() && m_syncRead.load() == buffer;
    if (!sync) {
        if (bytes > 0 && owner) owner->ReadCompleted(this, buffer, bytes);
        m_pendingReads.fetch_sub(1);
    }
    // The peer's close or the error is handled before a waiting reader wakes,
    // so that the reader finds the connection in its new state.
    if (bytes == 0) {
        if (error == 0) {
            OnRemoteClose();
        } else if (error == ERROR_OPERATION_ABORTED) {
            LOGA(LOG_INFO, "ERROR_OPERATION_ABORTED in IO_Read_Completed, type: %d, l4 id: %u\n",
                 static_cast<int>(Number(8)), static_cast<unsigned>(Number(11)));
            OnReset(ERROR_OPERATION_ABORTED);
        } else {
            OnError(0, buffer, error);
        }
    }
    if (!sync) return;
    m_syncReadError.store(bytes ? 0 : error);
    if (buffer->ExchangeSyncSlot(kSyncReadCompleted) == kSyncReadAbandoned && bytes > 0) {
        LOGA(LOG_INFO, "collect timeout sync read data\n");
        AppendLateData(buffer->Data(), buffer->Used());
    }
    m_pendingReads.fetch_sub(1);
    m_syncRead.store(nullptr);
    m_syncReadPending.store(0);
    ::SetEvent(m_event.get());
}

void CSocketConnection::FailWrite(CIOBuffer* buffer, DWORD error) {
    OnError(1, buffer, error);  // before a waiting writer learns of it
    CompleteSyncWrite(buffer, 0, error);
    Shutdown();                 // the write counts as finished
    OnWriteFinished();          // and the next one takes its turn
}

bool CSocketConnection::CompleteSyncWrite(CIOBuffer* buffer, DWORD bytes, DWORD error) {
    HANDLE event = buffer->SyncEvent();
    if (!event) return false;
    buffer->SetSyncResult(error, bytes);
    ::SetEvent(event);
    // The writer and the worker each give up their stake in the event once;
    // the second one closes it.
    if (buffer->ExchangeSyncSlot(0) == 0) {
        Owners::UniqueHandle closing(event);
        return false;  // the writer has gone: nobody waits for this write
    }
    return true;
}

SyncIOStatus CSocketConnection::WriteSync(const void* bytes, size_t length, size_t* written,
                                          DWORD timeoutMs, HANDLE cancel) {
    if (written) *written = 0;
    if (!IsValid()) {
        LOGA(LOG_ERROR, "connection error.\n");
        return SyncIO_Error;
    }
    if (m_writeShut) {
        LOGA(LOG_ERROR, "connection closed.\n");
        return SyncIO_Error;
    }
    if (length == 0) return SyncIO_Done;
    // The bytes are copied: an abandoned write must never send memory that the
    // caller has freed or reused in the meantime.
    const BufferRef buffer(CIOBuffer::NewOwned(length));
    if (!buffer || !buffer->Data()) {
        LOGA(LOG_ERROR, "buffer alloc failed.\n");
        return SyncIO_NoBuffer;
    }
    buffer->Append(bytes, length);
    Owners::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        LOGA(LOG_ERROR, "WriteSync: CreateEvent error %lu\n", ::GetLastError());
        return SyncIO_Error;
    }
    buffer->SetSyncEvent(event.get());
    buffer->ExchangeSyncSlot(reinterpret_cast<uint64_t>(event.get()));

    m_pendingWrites.fetch_add(1);
    if (!SubmitWrite(buffer.get())) {
        m_pendingWrites.fetch_sub(1);
        LOGA(LOG_ERROR, "connection error.\n");
        return SyncIO_Error;
    }

    HANDLE handles[2] = {event.get(), cancel};
    const DWORD w = Timing::WaitForAnyObject(cancel ? 2 : 1, handles, timeoutMs);
    bool finished = w == WAIT_OBJECT_0;
    if (buffer->ExchangeSyncSlot(0) == 0) {
        finished = true;  // the worker came first and is done with the event
    } else {
        static_cast<void>(event.release());  // the worker comes second and closes it
    }

    SyncIOStatus status;
    if (finished) {
        const uint32_t error = buffer->SyncError();
        const uint64_t done = buffer->SyncBytes();
        if (written) *written = static_cast<size_t>(done);
        if (error == 0 && done > 0) {
            status = SyncIO_Done;
        } else if (error == 0) {
            status = SyncIO_Closed;
        } else {
            LOGA(LOG_INFO, "connection error %d.\n", static_cast<int>(error));
            status = SyncIO_Error;
        }
    } else if (w == WAIT_OBJECT_0 + 1 && cancel) {
        LOGA(LOG_INFO, "cancelled.\n");
        status = SyncIO_Cancelled;
    } else if (w == WAIT_TIMEOUT) {
        LOGA(LOG_INFO, "WriteSync: timeout.\n");
        status = SyncIO_Timeout;
    } else {
        LOGA(LOG_ERROR, "WriteSync: generic error.\n");
        status = SyncIO_WaitFailed;
    }
    return status;
}

// ---- CIOCPSocket -------------------------------------------------------------

namespace {

// The pair of references an operation takes for the completion port: given
// back here when the operation cannot be started, handed to the port when it
// can (the worker that takes its completion releases them).
struct TransferRefs {
    TransferRefs(CSocketConnection* c, BufferRef b)
        : connection(Owners::ComPtr<CSocketConnection>::Borrow(c)), buffer(std::move(b)) {}
    void HandToPort() {
        static_cast<void>(buffer.release());
        static_cast<void>(connection.release());
    }
    // Declared in this order, a failed start gives back the buffer first.
    Owners::ComPtr<CSocketConnection> connection;
    BufferRef buffer;
};

}  // namespace

CIOCPSocket::CIOCPSocket(IIOPool* pool, size_t maxFreeConnections, size_t maxFreeBuffers,
                         size_t bufferSize, size_t userDataCount)
    : ISocketConnectionEventListener(bufferSize, maxFreeBuffers),
      m_pool(pool),
      m_maxFreeConnections(maxFreeConnections),
      m_userDataCount(userDataCount) {
    InitLock(m_listLock);
}

CIOCPSocket::~CIOCPSocket() { ::DeleteCriticalSection(&m_listLock); }

uint64_t CIOCPSocket::FreeConnectionCount() {
    CriticalSectionLock hold(m_listLock);
    return m_free.Count();
}

uint64_t CIOCPSocket::InUseConnectionCount() {
    CriticalSectionLock hold(m_listLock);
    return m_inUse.Count();
}

CSocketConnection* CIOCPSocket::Allocate(uint32_t type, SOCKET socket, HANDLE handle) {
    CSocketConnection* connection = nullptr;
    {
        CriticalSectionLock hold(m_listLock);
        if (!m_free.Empty()) {
            connection = static_cast<CSocketConnection*>(m_free.Head());
            CNodeList::Remove(connection);
            connection->ResetForReuse(type, socket, handle);
        } else {
            connection = type == CSocketConnection::TypeHandle
                             ? new CSocketConnection(handle, m_userDataCount)
                             : new CSocketConnection(type, socket, m_userDataCount);
            CriticalSectionLock own(connection->m_lock);
            connection->m_owner = this;
        }
        m_inUse.PushHead(connection);
    }
    HANDLE associated = type == CSocketConnection::TypeHandle ? handle : reinterpret_cast<HANDLE>(socket);
    if (!m_pool || !m_pool->Associate(associated, reinterpret_cast<ULONG_PTR>(connection))) {
        // Its completions could never arrive: refuse it instead of leaving a
        // reader blocked. The release closes the socket.
        LOGA(LOG_ERROR, "AllocateConnection: associate with the completion port failed\n");
        const Owners::ComPtr<CSocketConnection> refused(connection);
        return nullptr;
    }
    return connection;
}

CSocketConnection* CIOCPSocket::AllocateConnection(HANDLE handle) {
    return Allocate(CSocketConnection::TypeHandle, 0, handle);
}

CSocketConnection* CIOCPSocket::AllocateConnection(uint32_t type, SOCKET socket) {
    return Allocate(type, socket, INVALID_HANDLE_VALUE);
}

void CIOCPSocket::ReleaseConnection(CSocketConnection* connection) {
    if (!connection) {
        LOGA(LOG_ERROR, "socket is NULL\n");
        return;
    }
    {
        CriticalSectionLock hold(connection->m_lock);
        if (connection->IsValid()) connection->InternalClose();
    }
    OnConnectionReleased(connection);
    CriticalSectionLock hold(m_listLock);
    CNodeList::Remove(connection);
    if (m_maxFreeConnections == 0 || m_free.Count() < m_maxFreeConnections) {
        m_free.PushHead(connection);
    } else {
        DestroyConnection(connection);
    }
}

bool CIOCPSocket::PostOperation(CSocketConnection* connection, CIOBuffer* buffer, IOOperation op) {
    BufferRef posted;
    if (!buffer) {
        posted.reset(CIOBuffer::NewOwned(4096));
        if (!posted || !posted->Data()) {
            LOGA(LOG_ERROR, "allocate socket buffer failed\n");
            return false;
        }
    } else {
        posted = BufferRef::Borrow(buffer);
    }
    posted->SetOperation(op);
    TransferRefs refs(connection, std::move(posted));
    if (!m_pool || !m_pool->Post(reinterpret_cast<ULONG_PTR>(connection), 0, refs.buffer->Overlapped())) return false;
    refs.HandToPort();
    return true;
}

static void ClearOverlapped(CIOBuffer* buffer) { std::memset(buffer->Overlapped(), 0, sizeof(OVERLAPPED)); }

namespace {

// Starts one overlapped transfer of the buffer's area on the connection's
// socket or handle: 0 or WSA_IO_PENDING when its completion will come through
// the port, else the error.
DWORD StartTransfer(CSocketConnection* connection, CIOBuffer* buffer, bool write, const SockAddr* to) {
    WSABUF* area = buffer->WsaBuf();
    const auto length = static_cast<DWORD>(area->len);
    const DWORD type = connection->Type();
    DWORD done = 0, flags = 0;
    int rc = 0;
    switch (type) {
    case CSocketConnection::TypeTcp:
        rc = write ? ::WSASend(connection->Socket(), area, 1, &done, 0, buffer->Overlapped(), nullptr)
                   : ::WSARecv(connection->Socket(), area, 1, &done, &flags, buffer->Overlapped(), nullptr);
        return rc == 0 ? 0 : static_cast<DWORD>(::WSAGetLastError());
    case CSocketConnection::TypeUdp: {
        rc = write ? ::WSASendTo(connection->Socket(), area, 1, &done, 0, to->sockaddr(), to->length(),
                                 buffer->Overlapped(), nullptr)
                   : ::WSARecvFrom(connection->Socket(), area, 1, &done, &flags, nullptr, nullptr,
                                   buffer->Overlapped(), nullptr);
        const DWORD error = rc == 0 ? 0 : static_cast<DWORD>(::WSAGetLastError());
        if (error != 0 && error != WSA_IO_PENDING) {
            LOGA(LOG_ERROR, write ? "send to failed, error is %d\n" : "WSARecvFrom failed, error is %d\n",
                 static_cast<int>(error));
        }
        return error;
    }
    case CSocketConnection::TypeHandle: {
        const BOOL ok = write ? ::WriteFile(connection->Handle(), area->buf, length, nullptr, buffer->Overlapped())
                              : ::ReadFile(connection->Handle(), area->buf, length, nullptr, buffer->Overlapped());
        return ok ? 0 : ::GetLastError();
    }
    default:
        // Nothing can be issued on such a connection; failing here keeps a
        // waiting caller from waiting for a completion that never comes.
        return WSAEOPNOTSUPP;
    }
}

}  // namespace

void CIOCPSocket::Issue(CSocketConnection* connection, CIOBuffer* buffer, bool write) {
    TransferRefs refs(connection, BufferRef::Borrow(buffer));  // the issued transfer's
    buffer->SetOperation(write ? IO_Write_Completed : IO_Read_Completed);
    ClearOverlapped(buffer);
    // A read fills the free part after the used bytes; a write sends from the
    // write offset up to the used count.
    const size_t from = write ? buffer->WriteOffset() : buffer->Used();
    const size_t length = write ? buffer->Used() - buffer->WriteOffset() : buffer->Capacity() - buffer->Used();
    *buffer->WsaBuf() = {static_cast<ULONG>(length), reinterpret_cast<char*>(buffer->Data() + from)};
    std::unique_ptr<SockAddr> to;
    if (write && connection->Type() == CSocketConnection::TypeUdp) {
        const CUserData& data = connection->UserData();
        to = std::make_unique<SockAddr>(SockAddrPort(static_cast<uint16_t>(data.Number(UserDataSlot::kDatagramPort))),
                                        SockAddrHost(data.GetString(UserDataSlot::kDatagramHost).c_str()), AF_INET);
    }
    DWORD error = 0;
    if (!write && length == 0) {
        error = WSAENOBUFS;  // a zero-length read would pass for the peer's close
    } else {
        // Under the connection's lock the socket cannot be closed, and its
        // handle value reused, while the call is made.
        CriticalSectionLock hold(connection->Lock());
        error = connection->IsValid() ? StartTransfer(connection, buffer, write, to.get()) : WSAENOTSOCK;
    }
    if (error == 0 || error == WSA_IO_PENDING) return refs.HandToPort();
    if (write) {
        connection->FailWrite(buffer, error);
    } else {
        connection->CompleteRead(buffer, 0, error, this);
    }
}

void CIOCPSocket::IssueAccept(CSocketConnection* connection, CIOBuffer* buffer) {
    TransferRefs refs(connection, BufferRef::Borrow(buffer));
    buffer->SetOperation(IO_Accept_Completed);
    ClearOverlapped(buffer);
    LPFN_ACCEPTEX acceptEx = nullptr;
    GUID guid = WSAID_ACCEPTEX;
    DWORD got = 0;
    bool failed = false;
    if (::WSAIoctl(connection->Socket(), SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &acceptEx,
                   sizeof acceptEx, &got, nullptr, nullptr) != 0) {
        LOGA(LOG_ERROR, "SIO_GET_EXTENSION_FUNCTION_POINTERerror: %d\n", ::WSAGetLastError());
        failed = true;
    } else {
        // The socket that takes the connection must be neither bound nor connected.
        SOCKET accepted = ::WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (accepted == INVALID_SOCKET) LOGA(LOG_ERROR, "WSASocket error %d\n", ::WSAGetLastError());
        connection->UserData().SetNumber(UserDataSlot::kAcceptedSocket, static_cast<uint64_t>(accepted));
        if (accepted == INVALID_SOCKET ||
            (!acceptEx(connection->Socket(), accepted, buffer->Data(), 0, 32, 32, &got, buffer->Overlapped()) &&
             ::WSAGetLastError() != ERROR_IO_PENDING)) {
            LOGA(LOG_ERROR, "AcceptEx failed, last error: %d\n", ::WSAGetLastError());
            if (accepted != INVALID_SOCKET) ::closesocket(accepted);
            connection->UserData().SetNumber(UserDataSlot::kAcceptedSocket, 0);
            failed = true;
        }
    }
    if (failed) {
        OnAcceptFailed(connection, buffer);
        return;
    }
    refs.HandToPort();
}

void CIOCPSocket::CompleteAccept(CSocketConnection* connection, CIOBuffer* buffer, DWORD error) {
    CUserData& data = connection->UserData();
    // The prepared socket goes with a failed or cancelled accept, never leaked.
    auto dropPrepared = [&] {
        const auto prepared = static_cast<SOCKET>(data.Number(UserDataSlot::kAcceptedSocket));
        if (prepared != 0 && prepared != INVALID_SOCKET) ::closesocket(prepared);
        data.SetNumber(UserDataSlot::kAcceptedSocket, 0);
    };
    if (error == ERROR_OPERATION_ABORTED) {
        LOGA(LOG_WARNING, "accept cancelled, type: %d, l4 id: %u\n",
             static_cast<int>(data.Number(UserDataSlot::kLogType)),
             static_cast<unsigned>(data.Number(UserDataSlot::kLogL4Id)));
        dropPrepared();
        return;
    }
    auto fail = [&] {
        dropPrepared();
        OnAcceptFailed(connection, buffer);
    };
    if (error != 0) {
        LOGA(LOG_WARNING, "accept error %d, type: %d, l4 id: %u\n", static_cast<int>(error),
             static_cast<int>(data.Number(UserDataSlot::kLogType)),
             static_cast<unsigned>(data.Number(UserDataSlot::kLogL4Id)));
        return fail();
    }
    const SOCKET accepted = static_cast<SOCKET>(data.Number(UserDataSlot::kAcceptedSocket));
    if (accepted == 0) {
        LOGA(LOG_ERROR, "IO_Accept_Completed: accept socket lost\n");
        return fail();
    }
    SOCKET listening = connection->Socket();
    if (::setsockopt(accepted, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&listening),
                     sizeof listening) != 0) {
        LOGA(LOG_ERROR, "IO_Accept_Completed: SO_UPDATE_ACCEPT_CONTEXT error: %d\n", ::WSAGetLastError());
        return fail();
    }
    LPFN_GETACCEPTEXSOCKADDRS getAddrs = nullptr;
    GUID guid = WSAID_GETACCEPTEXSOCKADDRS;
    DWORD got = 0;
    if (::WSAIoctl(listening, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &getAddrs, sizeof getAddrs,
                   &got, nullptr, nullptr) != 0) {
        LOGA(LOG_ERROR, "IO_Accept_Completed: WSAID_GETACCEPTEXSOCKADDRS error %d\n", ::WSAGetLastError());
        return fail();
    }
    sockaddr* local = nullptr;
    sockaddr* remote = nullptr;
    int localLength = 0, remoteLength = 0;
    getAddrs(buffer->Data(), 0, 32, 32, &local, &localLength, &remote, &remoteLength);
    data.SetNumber(UserDataSlot::kAcceptedSocket, 0);  // the new connection owns the socket now
    const Owners::ComPtr<CSocketConnection> fresh(AllocateConnection(CSocketConnection::TypeTcp, accepted));
    if (!fresh) return;
    OnConnectionAccepted(connection, fresh.get(), local, remote);
}

void CIOCPSocket::HandleOperation(CSocketConnection* connection, CIOBuffer* buffer, DWORD bytes, DWORD error) {
    if (!buffer) {
        LOGA(LOG_ERROR, "CIOCPSocket::HandleOperation() - Unexpected - pBuffer is 0\n");
        return;
    }
    switch (buffer->Operation()) {
    case IO_Read_Request:
        Issue(connection, buffer, false);
        break;
    case IO_Read_Completed:
        buffer->SetUsed(buffer->Used() + bytes);
        connection->CompleteRead(buffer, bytes, error, this);
        break;
    case IO_Write_Request:
        Issue(connection, buffer, true);
        break;
    case IO_Write_Completed: {
        const size_t expected = buffer->Used() - buffer->WriteOffset();
        if (bytes != expected) {
            LOGA(LOG_WARNING, "IO_Write_Completed, type: %d, l4 id: %u, writed %d, need to write: %d\n",
                 static_cast<int>(connection->UserData().Number(UserDataSlot::kLogType)),
                 static_cast<unsigned>(connection->UserData().Number(UserDataSlot::kLogL4Id)), static_cast<int>(bytes),
                 static_cast<int>(expected));
        }
        if (!connection->CompleteSyncWrite(buffer, bytes, error)) WriteCompleted(connection, buffer);
        connection->Shutdown();
        connection->OnWriteFinished();
        break;
    }
    case IO_Accept_Request:
        IssueAccept(connection, buffer);
        break;
    case IO_Accept_Completed:
        CompleteAccept(connection, buffer, error);
        break;
    default:
        LOGA(LOG_ERROR, "CIOCPSocket::HandleOperation() - Unexpected operation\n");
        return;
    }
    // The pair of references the completion carried through the port.
    connection->Release();
    buffer->Release();
}

SOCKET CIOCPSocket::CreateSocket(in_addr localAddress, uint16_t port, uint32_t* error) {
    CSocket s(::WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED));
    if (s.Get() == INVALID_SOCKET) {
        LOGA(LOG_ERROR, "WSASocket error %d\n", ::WSAGetLastError());
        return INVALID_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr = localAddress;
    if (!s.Bind(address, error)) return INVALID_SOCKET;  // the holder closes it
    return s.Detach();
}

SOCKET CIOCPSocket::CreateSocket(const char* localHost, uint16_t port) {
    SockAddrHost host(localHost);
    if (!host.isValid()) {
        LOGA(LOG_ERROR, "szRemoteAddress:%s is invalid, error:%s \n", localHost ? localHost : "",
             host.getError().c_str());
        return 0;
    }
    Socket s(SOCK_STREAM, host.getFamily(), false, 0);
    SockAddr address(SockAddrPort(port), host, host.getFamily());
    if (!address.isValid()) {
        LOGA(LOG_ERROR, "usRemotePort:%d is invalid, host:%s\n", port, host.toString().c_str());
        s.close();
        return 0;
    }
    if (s.bind(address)) return s.socket();
    s.close();
    return INVALID_SOCKET;
}

CSocketConnection* CIOCPClientSocket::Connect(const SockAddr& address, const ConnectTimeout* timeout) {
    if (!address.isValid()) {
        LOGA(LOG_ERROR, " CSocketConnection *Connect:invalid address:%s\n", address.getError().c_str());
        return nullptr;
    }
    Socket s(SOCK_STREAM, address.host().getFamily(), false, 0);
    if (!s.valid()) {
        LOGA(LOG_ERROR, " CSocketConnection *Connect:invalid socket:%s\n", s.getError().c_str());
        return nullptr;
    }
    LOGA(LOG_INFO, "socket family:%u\n", address.host().getFamily());
    if (!s.connect(address, timeout)) {
        LOGA(LOG_WARNING, "connect to ip:%s socket failed error:%d\n", address.host().toString().c_str(),
             ::WSAGetLastError());
        s.close();
        return nullptr;
    }
    return AllocateConnection(CSocketConnection::TypeTcp, s.socket());
}

CSocketConnection* CIOCPClientSocket::Connect(const sockaddr_in& remote, in_addr localAddress, uint16_t localPort,
                                              uint32_t* error) {
    SOCKET created = CreateSocket(localAddress, localPort, error);
    if (created == INVALID_SOCKET) {
        LOGA(LOG_WARNING, "Create outbound socket failed.\n");
        return nullptr;
    }
    CSocket s(created);
    if (s.Connect(remote) != 0) return nullptr;  // the holder aborts it
    return AllocateConnection(CSocketConnection::TypeTcp, s.Detach());
}

}  // namespace QuarloSocket
