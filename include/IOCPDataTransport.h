// The bottom of every transport stack: the bytes of one socket connection.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>

#include "QuarloIOCPSocket.h"
#include "TunnelDataTransport.h"

namespace QuarloSocket {

class CIOCPDataTransport : public ITunnelDataTransport {
public:
    // Takes one reference on the connection (none taken for nullptr).
    explicit CIOCPDataTransport(CSocketConnection* connection);
    ~CIOCPDataTransport() override;

    bool Init() override { return true; }
    void Close() override;
    void Shutdown() override;
    uint32_t GetPendingReadCount() override;
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

    CSocketConnection* Connection() const { return m_pSocketConnection.get(); }
    size_t QueuedSends();

private:
    SockAddrHost AddressOf(bool local);
    void ReleaseQueue();

    Owners::ComPtr<CSocketConnection> m_pSocketConnection;
    PendingBlock m_pending;
    CRITICAL_SECTION m_queueLock;
    std::deque<BufferRef> m_queue;
};

// Frames a datagram for a core: the bytes before the write offset give way to
// a 4-byte header. Returns the buffer to send (the same one, or a new one when
// it had no room; the old one is then released). nullptr when no buffer could
// be allocated.
CIOBuffer* FrameDatagram(CIOBuffer* buffer, uint8_t coreId);

// "\r\n" then lines of "%02X " per byte, a blank, the printable characters.
// The caller frees the text with delete[].
char* HexDump(const unsigned char* bytes, size_t length, size_t bytesPerLine);

}  // namespace QuarloSocket
