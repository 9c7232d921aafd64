// An in-memory tunnel transport for the HTTP tests: the bytes of each read
// come from a script (a piece is handed out in as many reads as the reader's
// asked lengths need), sends are recorded, and failing reads can carry a
// transport error code or use up time on a test clock.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "TunnelDataTransport.h"

namespace GatewayTest {

// The tick count of a test, moved on only by the script.
class ManualTicks {
public:
    ULONGLONG now = 1000000;
};

class ScriptedTransport : public QuarloSocket::ITunnelDataTransport {
public:
    explicit ScriptedTransport(ManualTicks* ticks = nullptr) : m_ticks(ticks) {}

    // One piece of the stream; a read takes at most the length it asks for,
    // and never more than one piece.
    // The read that takes its first byte moves the test clock on by
    // elapsedMs first (a peer that is slow to send it).
    ScriptedTransport& Then(std::string bytes, ULONGLONG elapsedMs = 0);
    // The same bytes, as pieces of at most pieceLength bytes, each slow by
    // elapsedMs.
    ScriptedTransport& ThenInPieces(const std::string& bytes, size_t pieceLength, ULONGLONG elapsedMs = 0);
    // A read that fails, leaving a transport error code (0: none) and moving
    // the test clock on.
    ScriptedTransport& ThenFail(uint32_t errorCode = 0, ULONGLONG elapsedMs = 0);

    bool Init() override { return true; }
    void Close() override { ++closes; }
    uint32_t GetTransportType() override { return QuarloSocket::TransportType_TlsOverTcp; }
    QuarloSocket::SockAddrHost GetLocalAddress() override { return {}; }
    QuarloSocket::SockAddrHost GetRemoteAddress() override { return {}; }
    uint16_t GetRemotePort() override { return 0; }
    // After the script every read fails as a closed stream does. A read that
    // would have to wait longer than its time-out for its piece fails with
    // the time-out code after the time-out.
    bool ReceiveDataSync(uint32_t maxLength, QuarloSocket::CIOBuffer** out, uint32_t timeoutMs) override;
    bool SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) override;
    void RequestRecvDataAsync() override {}
    bool SendDataAsync(QuarloSocket::CIOBuffer*) override { return false; }
    void OnSendComplete() override {}
    void AddData(QuarloSocket::CIOBuffer*) override {}
    QuarloSocket::CIOBuffer* GetData() override { return nullptr; }

    // Script bytes no read has taken yet.
    size_t UnreadBytes() const;

    bool failSends = false;
    std::vector<std::string> sent;
    std::vector<uint32_t> asked;  // the maximum length of every read
    std::vector<uint32_t> readTimeouts;
    std::vector<uint32_t> sendTimeouts;
    int closes = 0;

private:
    struct Step {
        std::string bytes;
        bool fail = false;
        uint32_t errorCode = 0;
        ULONGLONG elapsedMs = 0;
        bool started = false;
    };
    std::deque<Step> m_steps;
    ManualTicks* m_ticks;
};

}  // namespace GatewayTest
