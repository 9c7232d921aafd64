// Tunnel transports for tests: a base whose every method does nothing, a
// decorator that passes the synchronous calls to an inner transport, and an
// in-memory transport whose reads come from a script (a piece is handed out
// in as many reads as the reader's asked lengths need), whose sends are
// recorded, and whose reads can fail with a transport error code or use up
// time on a test clock.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "TunnelDataTransport.h"

namespace TestDoubles {

// Reads fail, sends succeed, closes are counted; everything else does
// nothing. A double overrides what its test looks at.
class TransportDouble : public QuarloSocket::ITunnelDataTransport {
public:
    bool Init() override { return true; }
    void Close() override { ++closes; }
    uint32_t GetTransportType() override { return type; }
    QuarloSocket::SockAddrHost GetLocalAddress() override { return {}; }
    QuarloSocket::SockAddrHost GetRemoteAddress() override { return {}; }
    uint16_t GetRemotePort() override { return 0; }
    bool ReceiveDataSync(uint32_t, QuarloSocket::CIOBuffer**, uint32_t) override { return false; }
    bool SendDataSync(const void*, uint32_t, uint32_t) override { return true; }
    void RequestRecvDataAsync() override {}
    bool SendDataAsync(QuarloSocket::CIOBuffer*) override { return false; }
    void OnSendComplete() override {}
    void AddData(QuarloSocket::CIOBuffer*) override {}
    QuarloSocket::CIOBuffer* GetData() override { return nullptr; }

    uint32_t type = QuarloSocket::TransportType_Tcp;
    int closes = 0;
};

// Holds a reference on the inner transport, as the stacked transports do,
// and passes every synchronous call and the inner transport's code to it.
class ForwardingTransport : public TransportDouble {
public:
    explicit ForwardingTransport(QuarloSocket::TransportRef inner) : m_inner(std::move(inner)) {}
    bool Init() override { return m_inner->Init(); }
    uint32_t GetLastError() override { return m_inner->GetLastError(); }
    void Close() override { m_inner->Close(); }
    uint32_t GetTransportType() override { return m_inner->GetTransportType(); }
    QuarloSocket::SockAddrHost GetLocalAddress() override { return m_inner->GetLocalAddress(); }
    QuarloSocket::SockAddrHost GetRemoteAddress() override { return m_inner->GetRemoteAddress(); }
    uint16_t GetRemotePort() override { return m_inner->GetRemotePort(); }
    bool ReceiveDataSync(uint32_t maxLength, QuarloSocket::CIOBuffer** out, uint32_t timeoutMs) override {
        return m_inner->ReceiveDataSync(maxLength, out, timeoutMs);
    }
    bool SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) override {
        return m_inner->SendDataSync(bytes, length, timeoutMs);
    }

private:
    QuarloSocket::TransportRef m_inner;
};

// The tick count of a test, moved on only by the script.
class ManualTicks {
public:
    ULONGLONG now = 1000000;
};

class ScriptedTransport : public TransportDouble {
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

    // After the script every read fails as a closed stream does. A read that
    // would have to wait longer than its time-out for its piece fails with
    // the time-out code after the time-out.
    bool ReceiveDataSync(uint32_t maxLength, QuarloSocket::CIOBuffer** out, uint32_t timeoutMs) override;
    bool SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) override;

    // Called after every read that hands out bytes (a clock of the test's
    // own may move on there).
    std::function<void()> afterEachRead;
    // Script bytes no read has taken yet.
    size_t UnreadBytes() const;

    bool failSends = false;
    std::vector<std::string> sent;
    std::vector<uint32_t> asked;  // the maximum length of every read
    std::vector<uint32_t> readTimeouts;
    std::vector<uint32_t> sendTimeouts;

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

}  // namespace TestDoubles
