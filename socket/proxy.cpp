// WinSock before the Windows header that proxy.h brings in.
#include <winsock2.h>

#include "proxy.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CommonFunction.h"
#include "Loglib.h"
#include "StringUtil.h"
#include "Timing.h"
#include "TunnelDataTransport.h"
#include "base64.h"

namespace QuarloSocket {

void init_http_proxy_context(http_proxy_context* context, int option, int timeout, int retry) {
    if (context == nullptr) return;
    context->ntlm.reset();
    context->challenge.reset();
    SecureZeroMemory(context->user, sizeof(context->user));
    SecureZeroMemory(context->password, sizeof(context->password));
    context->auth_method = HTTP_AUTH_NONE;
    context->option = option;
    context->timeout = timeout;
    context->auth_retry = retry;
}

std::optional<std::string> basic_credentials_base64(const http_proxy_context* context) {
    std::string pair = std::string(context->user) + ":" + context->password;
    std::optional<std::string> encoded = make_base64_string2(pair);
    SecureZeroMemory(pair.data(), pair.size());
    return encoded;
}

void set_proxy_authenticate(http_proxy_context* context, std::optional<std::string> text) {
    context->challenge = std::move(text);
}

}  // namespace QuarloSocket

namespace QuarloSocket {

namespace {

bool StartsWithNoCase(const std::string& text, size_t at, const char* prefix) {
    return at <= text.size() && StartsWithAsciiNoCase(std::string_view(text).substr(at), prefix);
}

// The words of a line, split at blanks and tabs.
std::vector<std::string> WordsOf(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

}  // namespace

std::string ProxyHostText(const std::string& host) {
    if (host.find(':') == std::string::npos) return host;
    std::string text;
    if (host.find('[') == std::string::npos) text = "[";
    text += host;
    if (host.find(']') == std::string::npos) text += "]";
    return text;
}

bool ParseProxyStatus(const std::string& line, int* status) {
    const std::vector<std::string> words = WordsOf(line);
    if (words.size() < 2) return false;
    const std::string& word = words[1];
    size_t i = (word[0] == '+' || word[0] == '-') ? 1 : 0;
    if (i >= word.size() || !std::isdigit(static_cast<unsigned char>(word[i]))) return false;
    *status = std::atoi(word.c_str());
    return true;
}

int ProxyAuthenticateMethodOf(const std::string& line, std::optional<std::string>* challenge) {
    static constexpr char kHeader[] = "Proxy-Authenticate: ";
    const size_t at = sizeof(kHeader) - 1;
    if (!StartsWithNoCase(line, 0, kHeader)) return HTTP_AUTH_NONE;
    if (StartsWithNoCase(line, at, "Basic ")) {
        if (challenge) *challenge = line.substr(at + 6);
        return HTTP_AUTH_BASIC;
    }
    if (StartsWithNoCase(line, at, "NTLM")) {
        if (challenge) challenge->reset();
        return HTTP_AUTH_NTLM;
    }
    return HTTP_AUTH_NONE;
}

std::optional<std::string> NtlmChallengeOf(const std::string& line) {
    if (!StartsWithNoCase(line, 0, "Proxy-Authenticate:")) return std::nullopt;
    const std::vector<std::string> words = WordsOf(line.substr(19));
    if (words.size() < 2 || !EqualsAsciiNoCase(words[0], "NTLM")) return std::nullopt;
    return words[1];
}

}  // namespace QuarloSocket

namespace QuarloSocket {

namespace {

constexpr char kUserAgent[] = "quarlo client";
constexpr size_t kLineRoom = 2048;
// A challenge line holds a whole Type-2 message in base64.
constexpr size_t kChallengeLineRoom = 2 * kNtlmTokenBytes;
constexpr size_t kAuthenticateLineRoom = 256;
// Bound for the rest of an answer that the proxy never ends.
constexpr int kRestOfAnswerSeconds = 2;
constexpr uint32_t kBodyChunk = 4096;
// One answer (its header, or its body) in all, and its whole time.
constexpr size_t kMaxProxyAnswerBytes = 64 * 1024;
constexpr ULONGLONG kProxyAnswerDeadlineMs = 30000;
// A read of a body whose length cannot be trusted takes only what is there.
constexpr uint32_t kUntrustedDrainMs = 100;

uint32_t TimeoutMs(int seconds) {
    if (seconds < 0) return INFINITE;
    const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
    return ms >= INFINITE ? INFINITE - 1 : static_cast<uint32_t>(ms);
}

void StripLineEnd(std::string& line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
}

void Wipe(std::string& text) {
    if (!text.empty()) SecureZeroMemory(text.data(), text.size());
    text.clear();
}

// What one answer of the proxy may take in all: its bytes and its time. Each
// read keeps its own bound too; these end an answer that never ends.
struct AnswerLimits {
    size_t bytesLeft = kMaxProxyAnswerBytes;
    ULONGLONG deadline = 0;  // 0: none
    bool exceeded = false;   // a read was refused for the limits

    static AnswerLimits FromNow() {
        AnswerLimits limits;
        limits.deadline = Timing::TickCount() + kProxyAnswerDeadlineMs;
        return limits;
    }
    // The time-out of the next read: its own bound, cut to the time left.
    // False when the answer has no time or bytes left (logged).
    bool NextRead(uint32_t ownMs, uint32_t* timeoutMs) {
        if (bytesLeft == 0) {
            LOGA(LOG_ERROR, "HTTP proxy answer is too long\n");
            exceeded = true;
            return false;
        }
        *timeoutMs = ownMs;
        if (deadline == 0) return true;
        const ULONGLONG now = Timing::TickCount();
        if (now >= deadline) {
            LOGA(LOG_ERROR, "HTTP proxy answer takes too long\n");
            exceeded = true;
            return false;
        }
        if (deadline - now < ownMs) *timeoutMs = static_cast<uint32_t>(deadline - now);
        return true;
    }
    void Took(size_t n) { bytesLeft = n < bytesLeft ? bytesLeft - n : 0; }
};

// Reads up to CR LF and not a byte further; keeps at most room - 1 bytes of
// the line. No line can end in fewer than two bytes unless the last one was
// a CR, so each read asks for that many.
bool ReadLineBytes(ITunnelDataTransport* transport, std::string* kept, size_t room, int timeoutSeconds,
                   AnswerLimits& limits) {
    char previous = 0;
    for (;;) {
        BufferRef block;
        const uint32_t want = previous == '\r' ? 1 : 2;
        uint32_t timeout = 0;
        if (!limits.NextRead(TimeoutMs(timeoutSeconds), &timeout)) return false;
        if (!transport->ReceiveDataSync(want, block.put(), timeout) || !block) {
            LOGA(LOG_INFO, "ReceiveDataSync failed\n");
            return false;
        }
        const size_t got = block->Used() < want ? block->Used() : want;
        const char bytes[2] = {static_cast<char>(got > 0 ? block->Data()[0] : 0),
                               static_cast<char>(got > 1 ? block->Data()[1] : 0)};
        block.reset();
        limits.Took(got);
        for (size_t i = 0; i < got; ++i) {
            const char c = bytes[i];
            if (kept && kept->size() + 1 < room) kept->push_back(c);
            if (previous == '\r' && c == '\n') return true;
            previous = c;
        }
    }
}

// One answer of the proxy, read no further than its end: the header up to
// the empty line, then, where one is wanted, its body (by chunks, or by the
// length it announces). The bytes that follow belong to the tunnel.
class ProxyAnswer {
public:
    explicit ProxyAnswer(ITunnelDataTransport* transport)
        : m_transport(transport), m_limits(AnswerLimits::FromNow()) {}

    // A line without its CR LF; false when the read failed.
    bool ReadLine(std::string* line, size_t room, int timeoutSeconds) {
        line->clear();
        if (!ReadLineBytes(m_transport, line, room, timeoutSeconds, m_limits)) return false;
        StripLineEnd(*line);
        if (m_headerDone) return true;  // a line of the body
        if (line->empty()) {
            m_headerDone = true;
        } else if (StartsWithNoCase(*line, 0, "Content-Length:")) {
            NoteLength(line->substr(15));
        } else if (StartsWithNoCase(*line, 0, "Transfer-Encoding:")) {
            // The last coding decides; a list may be split over fields.
            const std::string codings = line->substr(18);
            const size_t comma = codings.rfind(',');
            const std::string last = TrimWhiteSpace(comma == std::string::npos ? codings : codings.substr(comma + 1));
            m_chunked = EqualsAsciiNoCase(last, "chunked");
        }
        return true;
    }
    bool HeaderDone() const { return m_headerDone; }
    AnswerLimits& Limits() { return m_limits; }

    // The rest of the header, then the body when asked for; a proxy that
    // stops short is waited for no longer than the bound of each read. False
    // only when the answer went past its limits: it never ended.
    bool SkipRest(bool withBody) {
        SkipHeaderAndBody(withBody);
        return !m_limits.exceeded;
    }

private:
    enum class Length { Missing, Valid, Untrusted };

    void SkipHeaderAndBody(bool withBody) {
        std::string line;
        while (!m_headerDone) {
            if (!ReadLine(&line, kLineRoom, kRestOfAnswerSeconds)) return;
        }
        if (!withBody) return;
        if (m_chunked) {
            SkipChunks();
        } else if (m_length == Length::Valid) {
            SkipBytes(m_contentLength, kRestOfAnswerSeconds * 1000);
        } else if (m_length == Length::Untrusted) {
            // A length that cannot be right: take what has come, no more.
            SkipBytes(kMaxProxyAnswerBytes, kUntrustedDrainMs);
        }
    }

    void NoteLength(const std::string& text) {
        const std::string value = TrimWhiteSpace(text);
        uint64_t length = 0;
        bool valid = !value.empty() && value.size() <= 10;
        for (char c : value) {
            if (c < '0' || c > '9') valid = false;
            if (valid) length = length * 10 + static_cast<uint64_t>(c - '0');
        }
        valid = valid && length <= kMaxProxyAnswerBytes && (m_length != Length::Valid || length == m_contentLength);
        m_length = valid ? Length::Valid : Length::Untrusted;
        m_contentLength = valid ? length : 0;
    }

    // Reads and drops up to count bytes; each read waits at most readMs.
    void SkipBytes(uint64_t count, uint32_t readMs) {
        while (count > 0) {
            const uint32_t want = count < kBodyChunk ? static_cast<uint32_t>(count) : kBodyChunk;
            uint32_t timeout = 0;
            if (!m_limits.NextRead(readMs, &timeout)) return;
            BufferRef block;
            if (!m_transport->ReceiveDataSync(want, block.put(), timeout) || !block) {
                LOGA(LOG_INFO, "ReceiveDataSync failed\n");
                return;
            }
            const uint64_t got = block->Used() < count ? block->Used() : count;
            block.reset();
            m_limits.Took(static_cast<size_t>(got));
            if (got == 0) return;
            count -= got;
        }
    }

    // A chunked body: size lines, their data and line ends, the last chunk
    // and the trailer up to its empty line.
    void SkipChunks() {
        std::string line;
        for (;;) {
            if (!ReadLine(&line, kLineRoom, kRestOfAnswerSeconds)) return;
            const std::string size = TrimWhiteSpace(line.substr(0, line.find(';')));
            char* end = nullptr;
            const unsigned long long n = std::strtoull(size.c_str(), &end, 16);
            if (size.empty() || *end != '\0' || n > kMaxProxyAnswerBytes) {
                LOGA(LOG_ERROR, "HTTP proxy answer has a bad chunk\n");
                return;
            }
            if (n == 0) break;
            SkipBytes(n, kRestOfAnswerSeconds * 1000);
            if (!ReadLine(&line, kLineRoom, kRestOfAnswerSeconds)) return;  // the data's line end
        }
        do {
            if (!ReadLine(&line, kLineRoom, kRestOfAnswerSeconds)) return;
        } while (!line.empty());
    }

    ITunnelDataTransport* m_transport;
    AnswerLimits m_limits;
    bool m_headerDone = false;
    bool m_chunked = false;
    Length m_length = Length::Missing;
    uint64_t m_contentLength = 0;
};

// A line of the request; its failure is logged with the line (masked).
bool SendRequestLine(ITunnelDataTransport* transport, const std::string& line) {
    if (send_line_with_crlf(transport, line)) return true;
    LOGA(LOG_ERROR, "send %s error\n", LoggableHeaderLine(line).c_str());
    return false;
}

bool SendEndOfRequest(ITunnelDataTransport* transport) {
    if (send_crlf(transport)) return true;
    LOGA(LOG_ERROR, "send crlf error\n");
    return false;
}

// Reads and logs a status line; false (logged) when the read failed.
bool ReadStatusLine(ProxyAnswer& answer, const http_proxy_context* context, std::string* line) {
    if (!answer.ReadLine(line, kLineRoom, context->timeout)) {
        LOGA(LOG_ERROR, "recv reply error\n");
        return false;
    }
    LOGA(LOG_INFO, "HTTP proxy returned: '%s'\n", EscapeForLog(*line).c_str());
    return true;
}

// The state of an NTLM exchange lives for one call: phase 1 and phase 3 run
// on the same connection.
struct NtlmStateOfCall {
    http_proxy_context* context;
    ~NtlmStateOfCall() { context->ntlm.reset(); }
};

// NTLM phase 2 (the challenge in the 407 just read) and phase 3 on the same
// connection. On true *statusLine holds the status line of the new answer.
bool RunNtlmPhases(http_proxy_context* context, ITunnelDataTransport* transport,
                   const std::string& host, int port, ProxyAnswer& answer,
                   std::string* statusLine) {
    std::optional<std::string> challenge;
    std::string line;
    while (!challenge) {
        // An answer that ends without a challenge has none to give.
        if (answer.HeaderDone() || !answer.ReadLine(&line, kChallengeLineRoom, context->timeout)) {
            LOGA(LOG_ERROR, "recv reply error\n");
            return false;
        }
        LOGA(LOG_INFO, "HTTP proxy returned: '%s'\n", EscapeForLog(LoggableHeaderLine(line)).c_str());
        challenge = NtlmChallengeOf(line);
    }
    LOGA(LOG_INFO, "auth string: '%s'\n", EscapeForLog(LoggableSecret(*challenge)).c_str());
    LOGA(LOG_INFO, "Received NTLM Proxy-Authorization phase 2 response\n");
    if (!answer.SkipRest(true)) return false;

    LOGA(LOG_INFO, "Attempting NTLM Proxy-Authorization phase 3\n");
    std::string token = ntlm_phase_win_3(context->ntlm.get(), challenge->c_str());
    context->ntlm.reset();
    if (token.empty()) {
        LOGA(LOG_ERROR, "NTLM authenticate token is empty: nothing sent\n");
        return false;
    }
    const std::string connectLine = FormatA("CONNECT %s:%d HTTP/1.1", host.c_str(), port);
    LOGA(LOG_INFO, "Send to HTTP proxy: '%s'\n", connectLine.c_str());
    if (!SendRequestLine(transport, connectLine)) return false;
    if (!SendRequestLine(transport, "Proxy-Connection: Keep-Alive")) return false;
    const std::string hostLine = FormatA("Host: %s", host.c_str());
    LOGA(LOG_INFO, "Send to HTTP proxy: '%s'\n", hostLine.c_str());
    if (!SendRequestLine(transport, hostLine)) return false;
    std::string authLine = "Proxy-Authorization: NTLM " + token;
    Wipe(token);
    LOGA(LOG_INFO, "Send to HTTP proxy: '%s'\n", LoggableHeaderLine(authLine).c_str());
    const bool sent = SendRequestLine(transport, authLine);
    Wipe(authLine);
    if (!sent || !SendEndOfRequest(transport)) return false;

    answer = ProxyAnswer(transport);
    return ReadStatusLine(answer, context, statusLine);
}

}  // namespace

std::string LoggableSecret(const std::string& text) {
    return IsEnablePrintRequest() ? text : std::string("*****");
}

std::string LoggableHeaderLine(const std::string& line) {
    static constexpr char kAuthorization[] = "Proxy-Authorization:";
    static constexpr char kAuthenticate[] = "Proxy-Authenticate:";
    size_t at = 0;
    bool authorization = false;
    if (StartsWithNoCase(line, 0, kAuthorization)) {
        at = sizeof(kAuthorization) - 1;
        authorization = true;
    } else if (StartsWithNoCase(line, 0, kAuthenticate)) {
        at = sizeof(kAuthenticate) - 1;
    } else {
        return line;
    }
    while (at < line.size() && line[at] == ' ') ++at;
    const size_t schemeEnd = line.find(' ', at);
    if (schemeEnd == std::string::npos) return line;
    // A Basic challenge (its realm) is no secret; credentials and NTLM
    // messages are.
    if (!authorization && !StartsWithNoCase(line, at, "NTLM ")) return line;
    if (IsEnablePrintRequest()) return line;
    return line.substr(0, schemeEnd) + " *****";
}

bool send_line(ITunnelDataTransport* transport, const std::string& text) {
    if (transport->SendDataSync(text.data(), static_cast<uint32_t>(text.size()), INFINITE)) return true;
    LOGA(LOG_ERROR, "send_line: TCP port write failed on send, error %d\n", ::WSAGetLastError());
    return false;
}

bool send_line_with_crlf(ITunnelDataTransport* transport, const std::string& text) {
    std::string line = text + "\r\n";
    const bool sent = send_line(transport, line);
    Wipe(line);  // it may carry credentials
    return sent;
}

bool send_crlf(ITunnelDataTransport* transport) { return send_line(transport, "\r\n"); }

bool recv_line(ITunnelDataTransport* transport, char* buffer, size_t size, int timeoutSeconds) {
    std::string kept;
    AnswerLimits limits;
    const bool read = ReadLineBytes(transport, buffer ? &kept : nullptr, size, timeoutSeconds, limits);
    if (buffer && size > 0) {
        std::memcpy(buffer, kept.data(), kept.size());
        buffer[kept.size()] = '\0';
    }
    return read;
}

namespace {

// The header lines of a 407 that are still to come, within the answer's limits.
int ReadProxyAuthenticate(ITunnelDataTransport* transport, int timeoutSeconds,
                          std::optional<std::string>* challenge, AnswerLimits& limits) {
    int method = HTTP_AUTH_NONE;
    std::optional<std::string> found;
    if (challenge) challenge->reset();
    for (;;) {
        std::string line;
        if (!ReadLineBytes(transport, &line, kAuthenticateLineRoom, timeoutSeconds, limits)) {
            LOGA(LOG_INFO, "recv_line failed:%d\n", timeoutSeconds);
            return method;
        }
        StripLineEnd(line);
        if (line.empty()) {
            if (challenge) *challenge = std::move(found);
            return method;
        }
        LOGA(LOG_INFO, "Buffer:%s, ret:%d\n", EscapeForLog(LoggableHeaderLine(line)).c_str(), method);
        if (method != HTTP_AUTH_NONE || !StartsWithNoCase(line, 0, "Proxy-Authenticate: ")) continue;
        std::optional<std::string> offered;
        const int named = ProxyAuthenticateMethodOf(line, &offered);
        if (named == HTTP_AUTH_BASIC) {
            LOGA(LOG_INFO, "PROXY AUTH BASIC: '%s'\n", EscapeForLog(line).c_str());
            found = std::move(offered);
            method = named;
        } else if (named == HTTP_AUTH_NTLM) {
            LOGA(LOG_INFO, "PROXY AUTH HTLM: '%s'\n", EscapeForLog(LoggableHeaderLine(line)).c_str());
            method = named;
        } else {
            LOGA(LOG_INFO, "PROXY AUTH unknown\n");
        }
    }
}

}  // namespace

int get_proxy_authenticate(ITunnelDataTransport* transport, int timeoutSeconds,
                           std::optional<std::string>* challenge) {
    AnswerLimits limits = AnswerLimits::FromNow();
    return ReadProxyAuthenticate(transport, timeoutSeconds, challenge, limits);
}

bool establish_http_proxy_passthru(http_proxy_context* context, ITunnelDataTransport* transport,
                                   const std::string& host, int port) {
    if (context == nullptr || transport == nullptr) return false;
    // The host becomes the request target and a header value: text that would
    // end either early never reaches the proxy, nor do the credentials after it.
    if (host.empty() || !IsRequestTargetText(host)) {
        LOGA(LOG_ERROR, "establish_http_proxy_passthru: refused host '%s'\n", EscapeForLog(host).c_str());
        return false;
    }
    NtlmStateOfCall ntlmScope{context};
    LOGA(LOG_INFO, "establish_http_proxy_passthru: p->auth_method:%d\n", context->auth_method);
    const bool ntlm =
        context->auth_method == HTTP_AUTH_NTLM || context->auth_method == HTTP_AUTH_NTLM2;

    ProxyAnswer answer(transport);
    int status = 0;
    if (context->auth_method == HTTP_AUTH_DIGEST && context->challenge) {
        LOGA(LOG_INFO, "establish_http_proxy_passthru: this is HTTP_AUTH_DIGEST type\n");
        status = 407;
    } else {
        // Without a negotiate token there is nothing to ask for: the proxy
        // never sees a request with an empty one.
        std::string negotiate;
        if (ntlm) {
            const std::string server = transport->GetRemoteAddress().toString();
            negotiate = ntlm_phase_win_1(context, server.c_str());
            if (negotiate.empty()) {
                LOGA(LOG_ERROR, "NTLM negotiate token is empty: nothing sent\n");
                return false;
            }
        }
        const std::string connectLine = FormatA("CONNECT %s:%d HTTP/1.1", host.c_str(), port);
        LOGA(LOG_INFO, "Send to HTTP proxy: '%s'\n", connectLine.c_str());
        if (!SendRequestLine(transport, connectLine)) return false;
        if (!SendRequestLine(transport, FormatA("User-Agent: %s", kUserAgent))) return false;
        const std::string hostLine = FormatA("HOST: %s", host.c_str());
        SendRequestLine(transport, hostLine);  // logged; the request goes on
        LOGA(LOG_INFO, "Send to HTTP proxy(method:%d): '%s'\n", context->auth_method,
             hostLine.c_str());

        if (context->auth_method == HTTP_AUTH_NONE) {
            LOGA(LOG_INFO, "No authentication method specified\n");
        } else if (context->auth_method == HTTP_AUTH_BASIC) {
            LOGA(LOG_INFO, "Attempting Basic Proxy-Authorization\n");
            std::optional<std::string> credentials = basic_credentials_base64(context);
            if (!credentials) return false;
            std::string line = "Proxy-Authorization: Basic " + *credentials;
            Wipe(*credentials);
            const bool sent = SendRequestLine(transport, line);
            Wipe(line);
            if (!sent) return false;
        } else if (ntlm) {
            if (!SendRequestLine(transport, "Proxy-Connection: Keep-Alive")) return false;
            LOGA(LOG_INFO, "Attempting NTLM Proxy-Authorization phase 1\n");
            if (!SendRequestLine(transport, "Proxy-Authorization: NTLM " + negotiate)) return false;
        } else {
            LOGA(LOG_ERROR, "unknown auth method error\n");
            return false;
        }
        if (!SendEndOfRequest(transport)) return false;

        std::string statusLine;
        if (!ReadStatusLine(answer, context, &statusLine)) return false;
        if (!ParseProxyStatus(statusLine, &status)) {
            LOGA(LOG_ERROR, "HTTP proxy returned bad status\n");
            return false;
        }
    }

    bool retriedBasic = false;
    bool ranNtlm = false;
    for (;;) {
        if (status == 200) {
            std::string line;
            if (!answer.ReadLine(&line, kLineRoom, context->timeout)) {
                LOGA(LOG_ERROR, "recv line error\n");
                return false;
            }
            // A tunnel's answer has no body; one whose header never ends
            // leaves no tunnel.
            if (!answer.SkipRest(false)) return false;
            context->auth_method = HTTP_AUTH_NONE;
            return true;
        }
        if (status != 407) {
            LOGA(LOG_ERROR, "HTTP proxy returned bad status\n");
            return false;
        }
        LOGA(LOG_INFO, "Proxy requires authentication:p->auth_method:%d\n", context->auth_method);
        if (context->auth_method == HTTP_AUTH_BASIC && !retriedBasic) {
            // The credentials just sent were refused: ask again what it wants.
            retriedBasic = true;
            set_proxy_authenticate(context, std::nullopt);
            continue;
        }
        if ((context->auth_method == HTTP_AUTH_NTLM || context->auth_method == HTTP_AUTH_NTLM2) &&
            !ranNtlm) {
            ranNtlm = true;
            std::string statusLine;
            if (!RunNtlmPhases(context, transport, host, port, answer, &statusLine)) return false;
            set_proxy_authenticate(context, std::nullopt);
            if (!ParseProxyStatus(statusLine, &status)) {
                LOGA(LOG_ERROR, "HTTP proxy returned bad status\n");
                return false;
            }
            continue;
        }
        if (!context->auth_retry) {
            if (!retriedBasic && !ranNtlm) {
                LOGA(LOG_ERROR, "HTTP proxy: no support for proxy authentication method\n");
            }
            return false;
        }
        std::optional<std::string> challenge;
        const int method = ReadProxyAuthenticate(transport, context->timeout, &challenge, answer.Limits());
        LOGA(LOG_INFO, "get_proxy_authenticate finished, method:%d\n", method);
        if (method == HTTP_AUTH_NONE) {
            LOGA(LOG_ERROR,
                 "HTTP proxy: do not recognize the authentication method required by proxy\n");
            return false;
        }
        if (challenge) LOGA(LOG_INFO, "HTTP proxy authenticate '%s'\n", EscapeForLog(*challenge).c_str());
        context->auth_method = method;
        set_proxy_authenticate(context, std::move(challenge));
        return true;
    }
}

}  // namespace QuarloSocket
