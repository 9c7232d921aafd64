#include "IOCPDataTransport.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Loglib.h"

namespace QuarloSocket {

namespace {

bool IsStream(const CSocketConnection* c) {
    return c->Type() == CSocketConnection::TypeTcp || c->Type() == CSocketConnection::TypeUdp;
}

void ShutdownSocket(CSocketConnection* c, int how) {
    if (::shutdown(c->Socket(), how) != 0) {
        LOGA(LOG_ERROR, "CIOCPSocket::Server::Shutdown() %d\n", ::WSAGetLastError());
    }
}

}  // namespace

CIOCPDataTransport::CIOCPDataTransport(CSocketConnection* connection)
    : m_pSocketConnection(Owners::ComPtr<CSocketConnection>::Borrow(connection)) {
    InitLock(m_queueLock);
}

CIOCPDataTransport::~CIOCPDataTransport() {
    ReleaseQueue();
    ::DeleteCriticalSection(&m_queueLock);
    m_pSocketConnection.reset();
}

void CIOCPDataTransport::ReleaseQueue() {
    CriticalSectionLock hold(m_queueLock);
    m_queue.clear();
}

size_t CIOCPDataTransport::QueuedSends() {
    CriticalSectionLock hold(m_queueLock);
    return m_queue.size();
}

void CIOCPDataTransport::Close() {
    if (CSocketConnection* c = m_pSocketConnection.get()) {
        // The connection's lock keeps a worker's reset from closing the socket
        // between the validity check and the call.
        CriticalSectionLock hold(c->Lock());
        if (IsStream(c)) {
            c->MarkReadShut();
            c->MarkWriteShut();
            if (c->IsValid()) ShutdownSocket(c, c->PendingWrites() > 0 ? SD_RECEIVE : SD_BOTH);
        }
        if (c->IsValid()) c->InternalClose();
    }
    ReleaseQueue();
}

void CIOCPDataTransport::Shutdown() {
    CSocketConnection* c = m_pSocketConnection.get();
    if (!c || !IsStream(c)) return;
    CriticalSectionLock hold(c->Lock());
    c->MarkWriteShut();
    if (c->PendingWrites() <= 0 && c->IsValid()) ShutdownSocket(c, SD_SEND);
}

uint32_t CIOCPDataTransport::GetPendingReadCount() {
    return m_pSocketConnection ? static_cast<uint32_t>(m_pSocketConnection->PendingReads()) : 0;
}

uint32_t CIOCPDataTransport::GetTransportType() {
    if (!m_pSocketConnection) return TransportType_Other;
    switch (m_pSocketConnection->Type()) {
        case CSocketConnection::TypeTcp: return TransportType_Tcp;
        case CSocketConnection::TypeUdp: return TransportType_Udp;
        case CSocketConnection::TypeHandle: return TransportType_Handle;
        default: return TransportType_Other;
    }
}

SockAddrHost CIOCPDataTransport::AddressOf(bool local) {
    if (!m_pSocketConnection || m_pSocketConnection->Type() != CSocketConnection::TypeTcp)
        return SockAddrHost();
    sockaddr_storage address{};
    if (local)
        m_pSocketConnection->GetSockName(&address);
    else
        m_pSocketConnection->GetPeerName(&address);
    std::string text;
    if (address.ss_family == AF_INET) {
        const auto* b = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr);
        char buffer[16];
        const int n = std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        if (n >= 1 && n <= 15) text = buffer;
    } else if (address.ss_family == AF_INET6) {
        char buffer[46];
        if (FormatIPv6Address(
                reinterpret_cast<const unsigned char*>(
                    &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr),
                buffer, sizeof buffer))
            text = buffer;
    }
    SockAddrHost host(text.c_str());
    LOGA(LOG_INFO, local ? "CIOCPDataTransport: GetLocalAddress is %s\n"
                         : "CIOCPDataTransport: GetRemoteAddress is %s\n",
         host.toString().c_str());
    return host;
}

SockAddrHost CIOCPDataTransport::GetLocalAddress() { return AddressOf(true); }
SockAddrHost CIOCPDataTransport::GetRemoteAddress() { return AddressOf(false); }

uint16_t CIOCPDataTransport::GetRemotePort() {
    if (!m_pSocketConnection || m_pSocketConnection->Type() != CSocketConnection::TypeTcp) return 0;
    sockaddr_storage address{};
    m_pSocketConnection->GetPeerName(&address);
    if (address.ss_family == AF_INET) return reinterpret_cast<const sockaddr_in*>(&address)->sin_port;
    if (address.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port;
    return 0;
}

namespace {

// The peer's orderly close leaves no code: it is how a stream ends.
uint32_t ErrorOf(SyncIOStatus status) {
    switch (status) {
        case SyncIO_Done:
        case SyncIO_Closed: return TransportError_None;
        case SyncIO_Timeout: return TransportError_Timeout;
        default: return TransportError_ConnectionFailed;
    }
}

}  // namespace

bool CIOCPDataTransport::ReceiveDataSync(uint32_t maxLength, CIOBuffer** out, uint32_t timeoutMs) {
    ClearLastError();
    if (!m_pSocketConnection || !out || maxLength == 0) {
        SetTransportError(TransportError_BadReadArguments);
        return false;
    }
    CIOBuffer* result = nullptr;
    const SyncIOStatus status = m_pSocketConnection->ReadSync(maxLength, &result, timeoutMs, nullptr);
    if (status == SyncIO_Done) {
        *out = result;
        return true;
    }
    SetTransportError(ErrorOf(status));
    if (status != SyncIO_Timeout)
        LOGA(LOG_ERROR, "CIOCPDataTransport: Read data from socket error %d\n", static_cast<int>(status));
    return false;
}

bool CIOCPDataTransport::SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) {
    ClearLastError();
    if (!m_pSocketConnection) {
        LOGA(LOG_ERROR, "CIOCPDataTransport: m_pSocketConnection is NULL\n");
        return false;
    }
    if (length == 0) return true;
    const auto* next = static_cast<const unsigned char*>(bytes);
    size_t left = length;
    while (left > 0) {
        size_t written = 0;
        const SyncIOStatus status = m_pSocketConnection->WriteSync(next, left, &written, timeoutMs, nullptr);
        if (status != SyncIO_Done) {
            SetTransportError(status == SyncIO_Timeout ? TransportError_Timeout : TransportError_ConnectionFailed);
            LOGA(LOG_ERROR, "CIOCPDataTransport: WriteSync error %d\n", static_cast<int>(status));
            return false;
        }
        if (written > left) written = left;
        next += written;
        left -= written;
    }
    return true;
}

void CIOCPDataTransport::RequestRecvDataAsync() {
    if (!m_pSocketConnection) {
        LOGA(LOG_ERROR, "CIOCPDataTransport: m_pSocketConnection is NULL\n");
        return;
    }
    m_pSocketConnection->Read(nullptr);
}

CIOBuffer* FrameDatagram(CIOBuffer* buffer, uint8_t coreId) {
    BufferRef given(buffer);
    const unsigned char* data = buffer->Data();
    const size_t used = buffer->Used();
    size_t skip = buffer->WriteOffset();
    if (used == 20 && data[9] == 0xFF && data[13] == 1) {
        LOGA(LOG_INFO, "CIOCPDataTransport: keep-alive datagram\n");
        skip = 0;
    }
    if (skip > used) skip = used;
    const size_t payload = used - skip;
    const size_t total = payload + 4;
    const unsigned char p0 = payload > 0 ? data[skip] : 0;
    const unsigned char p3 = payload > 3 ? data[skip + 3] : 0;
    unsigned char header[4];
    header[0] = coreId;
    header[1] = static_cast<unsigned char>(((total + 8) >> 3) & 0xFF);
    header[2] = static_cast<unsigned char>(p3 ^ p0);
    header[3] = static_cast<unsigned char>(header[2] ^ header[1]);
    if (buffer->Capacity() >= total) {
        std::memmove(buffer->Data() + 4, data + skip, payload);
        std::memcpy(buffer->Data(), header, 4);
        buffer->SetUsed(total);
        buffer->SetWriteOffset(0);  // the datagram starts with its header now
        return given.release();
    }
    LOGA(LOG_INFO, "CIOCPDataTransport: datagram buffer short by %u bytes\n",
         static_cast<unsigned>(total - buffer->Capacity()));
    BufferRef framed(CIOBuffer::NewOwned(total));
    if (!framed || !framed->Data()) return nullptr;
    framed->Append(header, 4);
    framed->Append(data + skip, payload);
    return framed.release();
}

bool CIOCPDataTransport::SendDataAsync(CIOBuffer* buffer) {
    CriticalSectionLock hold(m_queueLock);
    if (!m_pSocketConnection) {
        LOGA(LOG_ERROR, "CIOCPDataTransport: m_pSocketConnection is NULL\n");
        return false;
    }
    const bool wasEmpty = m_queue.empty();
    CUserData& slots = m_pSocketConnection->UserData();
    const auto coreId = static_cast<uint16_t>(slots.Number(UserDataSlot::kCoreId) & 0xFFFF);
    BufferRef queued = BufferRef::Borrow(buffer);  // the queue's reference
    if (m_pSocketConnection->Type() == CSocketConnection::TypeUdp && coreId != 0 &&
        (slots.Number(UserDataSlot::kPassThrough) & 0xFFFF) == 0) {
        queued.reset(FrameDatagram(queued.release(), static_cast<uint8_t>(coreId & 0xFF)));
        if (!queued) return false;
    }
    CIOBuffer* const out = queued.get();
    m_queue.push_back(std::move(queued));
    if (wasEmpty) return m_pSocketConnection->Write(out);
    return true;
}

void CIOCPDataTransport::OnSendComplete() {
    CriticalSectionLock hold(m_queueLock);
    if (m_queue.empty()) return;
    m_queue.pop_front();
    if (!m_queue.empty() && m_pSocketConnection) m_pSocketConnection->Write(m_queue.front().get());
}

void CIOCPDataTransport::AddData(CIOBuffer* buffer) { m_pending.Put(buffer); }

CIOBuffer* CIOCPDataTransport::GetData() { return m_pending.Take(); }

char* HexDump(const unsigned char* bytes, size_t length, size_t bytesPerLine) {
    if (bytesPerLine == 0) bytesPerLine = 16;
    const size_t lines = length / bytesPerLine + 1;
    const size_t reserve = lines * (4 * bytesPerLine + 3) + 3;
    char* text = new char[reserve];
    size_t at = 0;
    auto put = [&](char c) { text[at++] = c; };
    static const char kDigits[] = "0123456789ABCDEF";
    put('\r');
    put('\n');
    for (size_t line = 0; line < length; line += bytesPerLine) {
        const size_t n = length - line < bytesPerLine ? length - line : bytesPerLine;
        for (size_t i = 0; i < bytesPerLine; ++i) {
            if (i < n) {
                put(kDigits[bytes[line + i] >> 4]);
                put(kDigits[bytes[line + i] & 0xF]);
                put(' ');
            } else {
                put(' ');
                put(' ');
                put(' ');
            }
        }
        put(' ');
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = bytes[line + i];
            put(c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '.');
        }
        put('\r');
        put('\n');
    }
    text[at] = '\0';
    return text;
}

}  // namespace QuarloSocket
