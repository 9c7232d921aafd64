// Fixtures of the proxy handshake tests: an in-memory transport that plays a
// proxy's answers and records what the handshake sent and read, and the NTLM
// challenge message that a proxy sends.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "TransportDoubles.h"

namespace ProxyTest {

// Each scripted answer is handed in once the client has sent one more whole
// request (up to its empty line); the bytes of an answer that the handshake
// did not read stay in unread. A read that finds nothing fails as a time-out
// would and is recorded with its time-out.
class ScriptedProxyTransport : public TestDoubles::TransportDouble {
public:
    explicit ScriptedProxyTransport(std::deque<std::string> answers = {},
                                    bool* destroyed = nullptr)
        : answers(std::move(answers)), m_destroyed(destroyed) {}
    ~ScriptedProxyTransport() override {
        if (m_destroyed) *m_destroyed = true;
    }

    QuarloSocket::SockAddrHost GetLocalAddress() override {
        return QuarloSocket::SockAddrHost("127.0.0.1");
    }
    QuarloSocket::SockAddrHost GetRemoteAddress() override {
        return QuarloSocket::SockAddrHost("127.0.0.1");
    }
    uint16_t GetRemotePort() override { return htons(3128); }
    bool ReceiveDataSync(uint32_t maxLength, QuarloSocket::CIOBuffer** out,
                         uint32_t timeoutMs) override;
    bool SendDataSync(const void* bytes, uint32_t length, uint32_t timeoutMs) override;

    std::deque<std::string> answers;
    std::vector<std::string> requests;  // each whole request, in order
    std::string unread;                 // answer bytes not read
    std::vector<uint32_t> failedReadTimeouts;

private:
    std::string m_current;
    bool* m_destroyed;
};

// A Type-2 message with NTLMv2 flags and the target information of a CORP
// domain; padding adds that many bytes of DNS tree name to it.
std::vector<unsigned char> NtlmChallengeMessage(size_t padding = 0);
std::string NtlmChallengeBase64(size_t padding = 0);

// The lines of a request, without their CR LF (the empty line included).
std::vector<std::string> LinesOf(const std::string& request);

// The type of an NTLM message in base64 (0 when it is none), and a text
// field (domain at 28, user at 36) of a Type-3.
unsigned NtlmMessageType(const std::vector<unsigned char>& message);
std::string NtlmField(const std::vector<unsigned char>& message, size_t at);

using TestSupport::RunningUnderWine;

}  // namespace ProxyTest
