#include "ProxyTestSupport.h"

#include <cstring>

#include "base64.h"

namespace ProxyTest {

using QuarloSocket::CIOBuffer;

bool ScriptedProxyTransport::ReceiveDataSync(uint32_t maxLength, CIOBuffer** out,
                                             uint32_t timeoutMs) {
    if (unread.empty()) {
        failedReadTimeouts.push_back(timeoutMs);
        return false;
    }
    const size_t n = unread.size() < maxLength ? unread.size() : maxLength;
    CIOBuffer* block = CIOBuffer::NewOwned(n);
    block->Append(unread.data(), n);
    unread.erase(0, n);
    *out = block;
    return true;
}

bool ScriptedProxyTransport::SendDataSync(const void* bytes, uint32_t length, uint32_t) {
    m_current.append(static_cast<const char*>(bytes), length);
    const size_t end = m_current.find("\r\n\r\n");
    if (end != std::string::npos) {
        requests.push_back(m_current.substr(0, end + 4));
        m_current.erase(0, end + 4);
        if (!answers.empty()) {
            unread += answers.front();
            answers.pop_front();
        }
    }
    return true;
}

namespace {

std::vector<unsigned char> Utf16(const std::string& text) {
    std::vector<unsigned char> out;
    for (char c : text) {
        out.push_back(static_cast<unsigned char>(c));
        out.push_back(0);
    }
    return out;
}

void Put16(std::vector<unsigned char>& v, size_t at, unsigned value) {
    v[at] = static_cast<unsigned char>(value);
    v[at + 1] = static_cast<unsigned char>(value >> 8);
}

void Put32(std::vector<unsigned char>& v, size_t at, unsigned value) {
    Put16(v, at, value & 0xFFFF);
    Put16(v, at + 2, value >> 16);
}

unsigned Read32(const std::vector<unsigned char>& v, size_t at) {
    return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<unsigned>(v[at + 3]) << 24);
}

}  // namespace

std::vector<unsigned char> NtlmChallengeMessage(size_t padding) {
    const std::vector<unsigned char> target = Utf16("CORP");
    std::vector<unsigned char> info;
    auto pair = [&](unsigned id, const std::vector<unsigned char>& value) {
        const size_t at = info.size();
        info.resize(at + 4);
        Put16(info, at, id);
        Put16(info, at + 2, static_cast<unsigned>(value.size()));
        info.insert(info.end(), value.begin(), value.end());
    };
    pair(2, Utf16("CORP"));
    pair(1, Utf16("PROXY"));
    if (padding > 0) pair(5, Utf16(std::string(padding / 2, 't')));
    pair(0, {});
    std::vector<unsigned char> msg(56);
    std::memcpy(msg.data(), "NTLMSSP", 8);
    Put32(msg, 8, 2);
    Put16(msg, 12, static_cast<unsigned>(target.size()));
    Put16(msg, 14, static_cast<unsigned>(target.size()));
    Put32(msg, 16, 56);
    Put32(msg, 20, 0xE2898215);
    const unsigned char nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(msg.data() + 24, nonce, 8);
    Put16(msg, 40, static_cast<unsigned>(info.size()));
    Put16(msg, 42, static_cast<unsigned>(info.size()));
    Put32(msg, 44, static_cast<unsigned>(56 + target.size()));
    msg[48] = 6;
    msg[49] = 1;
    msg[55] = 15;
    msg.insert(msg.end(), target.begin(), target.end());
    msg.insert(msg.end(), info.begin(), info.end());
    return msg;
}

std::string NtlmChallengeBase64(size_t padding) {
    const std::vector<unsigned char> msg = NtlmChallengeMessage(padding);
    std::string text;
    QuarloSocket::base64_encode(msg.data(), msg.size(), text);
    return text;
}

std::vector<std::string> LinesOf(const std::string& request) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = request.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(request.substr(start, end - start));
    }
    return lines;
}

unsigned NtlmMessageType(const std::vector<unsigned char>& message) {
    if (message.size() < 12 || std::memcmp(message.data(), "NTLMSSP", 8) != 0) return 0;
    return Read32(message, 8);
}

std::string NtlmField(const std::vector<unsigned char>& message, size_t at) {
    const unsigned length = message[at] | (message[at + 1] << 8);
    const unsigned offset = Read32(message, at + 4);
    std::string text;
    for (unsigned i = 0; i + 1 < length && offset + i + 1 < message.size(); i += 2) {
        text += static_cast<char>(message[offset + i]);
    }
    return text;
}

}  // namespace ProxyTest
