#include "TransportDoubles.h"

namespace TestDoubles {

ScriptedTransport& ScriptedTransport::Then(std::string bytes, ULONGLONG elapsedMs) {
    if (bytes.empty()) return *this;
    Step step;
    step.bytes = std::move(bytes);
    step.elapsedMs = elapsedMs;
    m_steps.push_back(std::move(step));
    return *this;
}

ScriptedTransport& ScriptedTransport::ThenInPieces(const std::string& bytes, size_t pieceLength,
                                                   ULONGLONG elapsedMs) {
    for (size_t at = 0; at < bytes.size(); at += pieceLength) Then(bytes.substr(at, pieceLength), elapsedMs);
    return *this;
}

ScriptedTransport& ScriptedTransport::ThenFail(uint32_t errorCode, ULONGLONG elapsedMs) {
    Step step;
    step.fail = true;
    step.errorCode = errorCode;
    step.elapsedMs = elapsedMs;
    m_steps.push_back(std::move(step));
    return *this;
}

bool ScriptedTransport::ReceiveDataSync(uint32_t maxLength, QuarloSocket::CIOBuffer** out,
                                        uint32_t timeoutMs) {
    ClearLastError();  // as the real transports do at each call
    asked.push_back(maxLength);
    readTimeouts.push_back(timeoutMs);
    if (m_steps.empty() || !out || maxLength == 0) return false;
    Step& step = m_steps.front();
    if (step.fail) {
        if (step.errorCode) SetLastError(step.errorCode);
        if (m_ticks) m_ticks->now += step.elapsedMs;
        m_steps.pop_front();
        return false;
    }
    if (!step.started && step.elapsedMs > 0) {
        if (step.elapsedMs > timeoutMs) {
            if (m_ticks) m_ticks->now += timeoutMs;
            step.elapsedMs -= timeoutMs;
            SetLastError(QuarloSocket::TransportError_Timeout);
            return false;
        }
        if (m_ticks) m_ticks->now += step.elapsedMs;
    }
    step.started = true;
    const size_t n = step.bytes.size() < maxLength ? step.bytes.size() : maxLength;
    QuarloSocket::CIOBuffer* buffer = QuarloSocket::CIOBuffer::NewOwned(n);
    buffer->Append(step.bytes.data(), n);
    step.bytes.erase(0, n);
    if (step.bytes.empty()) m_steps.pop_front();
    if (afterEachRead) afterEachRead();
    *out = buffer;
    return true;
}

bool ScriptedTransport::SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) {
    sendTimeouts.push_back(timeoutMs);
    if (failSends) return false;
    sent.emplace_back(static_cast<const char*>(bytes), length);
    return true;
}

size_t ScriptedTransport::UnreadBytes() const {
    size_t n = 0;
    for (const Step& step : m_steps) n += step.bytes.size();
    return n;
}

}  // namespace TestDoubles
