#include "DownLoaderManager.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "CommonFunction.h"
#include "HttpRequestor.h"
#include "Loglib.h"
#include "StringUtil.h"
#include "Timing.h"

namespace QuarloSocket {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kStandalone = ";KZStandalone=true";
// Characters of a reply head that go into one log line.
constexpr size_t kLoggedHeadChars = 2048;
constexpr size_t kMaxChunkLine = 4096;
// Chunk extensions of one body together, and its trailer.
constexpr size_t kMaxChunkOverhead = 16 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The byte-string copy every public lookup works on.
bool CopyInput(const char* text, std::string& copy) {
    if (!text) {
        LOGA(LOG_ERROR, "DownLoadFile: The Header is empty!\n");
        copy.clear();
        return false;
    }
    try {
        copy.assign(text);
    } catch (const std::bad_alloc&) {
        LOGA(LOG_ERROR, "DownLoadFile: Failed to initialize!\n");
        copy.clear();
        return false;
    }
    return true;
}

struct Field {
    bool found = false;
    bool terminated = false;
    std::string_view value;
};

// Header lines start after the start line and end at the first empty line.
Field FindField(std::string_view text, std::string_view name) {
    Field field;
    std::string_view bare = name;
    while (!bare.empty() && (bare.back() == ' ' || bare.back() == ':')) bare.remove_suffix(1);
    if (bare.empty()) return field;
    size_t start = text.find(kCrLf);
    if (start == std::string_view::npos) return field;
    start += kCrLf.size();
    while (start < text.size()) {
        const size_t end = text.find(kCrLf, start);
        const std::string_view line =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (line.empty()) break;
        if (line.size() > bare.size() && line[bare.size()] == ':' &&
            EqualsAsciiNoCase(line.substr(0, bare.size()), bare)) {
            field.found = true;
            field.terminated = end != std::string_view::npos;
            if (field.terminated) field.value = TrimBlanks(line.substr(bare.size() + 1));
            return field;
        }
        if (end == std::string_view::npos) break;
        start = end + kCrLf.size();
    }
    return field;
}

// The values of every header line of that name, in order.
std::vector<std::string_view> FieldValues(std::string_view text, std::string_view name) {
    std::vector<std::string_view> values;
    size_t start = text.find(kCrLf);
    if (start == std::string_view::npos) return values;
    start += kCrLf.size();
    while (start < text.size()) {
        const size_t end = text.find(kCrLf, start);
        if (end == std::string_view::npos) break;  // a line without its end is no field
        const std::string_view line = text.substr(start, end - start);
        if (line.empty()) break;
        if (line.size() > name.size() && line[name.size()] == ':' &&
            EqualsAsciiNoCase(line.substr(0, name.size()), name))
            values.push_back(TrimBlanks(line.substr(name.size() + 1)));
        start = end + kCrLf.size();
    }
    return values;
}

std::string LookUp(std::string_view text, const char* name, int missingLevel) {
    const Field field = FindField(text, name);
    if (!field.found) {
        LOGA(missingLevel, "DownLoadFile: The specified HTTP header filed %s isn't found!\n", name);
        return std::string();
    }
    if (!field.terminated) {
        LOGA(LOG_ERROR, "DownLoadFile: The end symbol can't be found!\n");
        return std::string();
    }
    return std::string(field.value);
}

std::string ReplyField(std::string_view head, const char* name) { return LookUp(head, name, LOG_WARNING); }
std::string RequestField(std::string_view request, const char* name) {
    return LookUp(request, name, LOG_ERROR);
}

// The status line is the head's first line: "HTTP/", the version, a blank,
// exactly three digits, then a blank or the line's end. Anything else is no
// status (0).
int StatusOf(std::string_view head, bool log) {
    if (head.substr(0, 5) != "HTTP/") {
        if (log) LOGA(LOG_ERROR, "AnalyzeReplyHead:Failed to parse HTTP status line!\n");
        return 0;
    }
    const std::string_view line = head.substr(0, head.find(kCrLf));
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || line.size() < blank + 4) return 0;
    int status = 0;
    for (size_t i = blank + 1; i < blank + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') return 0;
        status = status * 10 + (line[i] - '0');
    }
    if (line.size() > blank + 4 && line[blank + 4] != ' ') return 0;
    return status;
}

// The target of a request line "METHOD target HTTP/1.1", whole: everything
// between the first blank and the version that ends the line.
std::string RequestTargetOf(std::string_view request) {
    constexpr std::string_view kVersion = " HTTP/1.1";
    const std::string_view line = request.substr(0, request.find(kCrLf));
    const size_t p = line.find(' ');
    if (p == std::string_view::npos || line.size() < kVersion.size() ||
        line.substr(line.size() - kVersion.size()) != kVersion)
        return std::string();
    const ptrdiff_t length = static_cast<ptrdiff_t>(line.size() - kVersion.size()) - static_cast<ptrdiff_t>(p) - 1;
    if (length <= 0) return std::string();
    return std::string(line.substr(p + 1, static_cast<size_t>(length)));
}

// The session token of a Set-Cookie value: its first part (between ';')
// that starts with the cookie's name.
std::string_view SessionTokenOf(std::string_view value) {
    constexpr std::string_view kName = "KZsession";
    while (!value.empty()) {
        const size_t end = value.find(';');
        const std::string_view part = TrimBlanks(value.substr(0, end));
        if (part.substr(0, kName.size()) == kName) return part;
        if (end == std::string_view::npos) break;
        value.remove_prefix(end + 1);
    }
    return {};
}

// Only the gateway's Set-Cookie fields hand out a session; the same text in
// any other field (a Location, say) is no cookie.
std::string SessionCookieOf(std::string_view head) {
    for (const std::string_view& value : FieldValues(head, "Set-Cookie")) {
        const std::string_view token = SessionTokenOf(value);
        if (!token.empty()) return std::string(token);
    }
    return std::string();
}

// The host of a Host value or URL authority, without user part and port.
std::string_view HostOf(std::string_view authority) {
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        return close == std::string_view::npos ? authority : authority.substr(0, close + 1);
    }
    return authority.substr(0, authority.find(':'));
}

bool IsScheme(std::string_view text) {
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text.front()))) return false;
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

// An absolute Location on the request's own host gives its path (without a
// fragment); any other Location is requested as it stands.
std::string RedirectTarget(std::string_view location, std::string_view host) {
    if (host.empty()) return std::string(location);
    const size_t separator = location.find("://");
    if (separator == std::string_view::npos || !IsScheme(location.substr(0, separator)))
        return std::string(location);
    const size_t authorityStart = separator + 3;
    const size_t authorityEnd = location.find_first_of("/?#", authorityStart);
    const std::string_view authority = location.substr(
        authorityStart,
        authorityEnd == std::string_view::npos ? std::string_view::npos : authorityEnd - authorityStart);
    if (!EqualsAsciiNoCase(HostOf(authority), HostOf(host))) return std::string(location);
    std::string_view path =
        authorityEnd == std::string_view::npos ? std::string_view() : location.substr(authorityEnd);
    path = path.substr(0, path.find('#'));
    if (path.empty() || path.front() != '/') return "/" + std::string(path);
    return std::string(path);
}

void AppendCookieLine(std::string& request, std::string_view cookie) {
    request += "Cookie: ";
    request += cookie;
    if (!ContainsAsciiNoCase(request, "KZStandalone")) request += kStandalone;
    request += kHeadEnd;
}

// Empty when the reply hands over a target or a session that could not
// stand in a request as they are.
std::string RedirectRequestOf(std::string_view previous, std::string_view head) {
    std::string cookie = RequestField(previous, "Cookie: ");
    const std::string token = SessionCookieOf(head);
    if (!token.empty()) cookie = token;
    const std::string location = ReplyField(head, "Location: ");
    const std::string host = RequestField(previous, "Host: ");
    const std::string target = RedirectTarget(location, host);
    if (!IsRequestTargetText(target) || !IsHeaderText(cookie)) {
        LOGA(LOG_ERROR, "DownLoadFile: The redirect is refused: Location = %s\n", EscapeForLog(location).c_str());
        return std::string();
    }
    std::string request = "GET ";
    request += target;
    request += " HTTP/1.1\r\nHost: ";
    request += host;
    request += "\r\nConnection: Keep-Alive\r\n";
    AppendCookieLine(request, cookie);
    return request;
}

enum class ReadOutcome { Data, Ended, Failed };

// Reads one reply after another from a transport. Every received byte first
// joins m_pending; the head and body take theirs from there, so bytes past
// the end of a reply stay for the next one.
class ReplyReader {
public:
    ReplyReader(ITunnelDataTransport* transport, DownLoadVariant variant)
        : m_transport(transport), m_variant(variant) {}

    bool ReadHead(std::string& head);
    bool ReadBody(std::string_view head, int status, CBodyBuffer& body);

private:
    // One read of up to maxLength bytes that waits no longer than the
    // per-read time-out nor past the deadline (0: none); on Data, buffer
    // holds the bytes.
    ReadOutcome ReceiveBuffer(uint32_t maxLength, BufferRef& buffer, ULONGLONG deadline = 0);
    // One read whose bytes join m_pending.
    ReadOutcome Receive(uint32_t maxLength, ULONGLONG deadline = 0);
    bool ReceiveOrFail(uint32_t maxLength);
    bool TakeExactly(uint64_t count, CBodyBuffer& body);
    bool ReadToEnd(CBodyBuffer& body);
    bool ReadLine(std::string& line);
    bool ReadChunked(CBodyBuffer& body);

    ITunnelDataTransport* m_transport;
    DownLoadVariant m_variant;
    std::string m_pending;
    // Bytes of chunk extensions and trailer fields taken so far: neither
    // carries anything the exchange uses, so a peer may not send without end.
    size_t m_chunkExtensions = 0;
};

ReadOutcome ReplyReader::ReceiveBuffer(uint32_t maxLength, BufferRef& buffer, ULONGLONG deadline) {
    const ULONGLONG start = Timing::TickCount();
    uint32_t timeout = kGatewayReceiveTimeoutMs;
    if (deadline != 0) {
        if (start >= deadline) return ReadOutcome::Failed;
        if (deadline - start < timeout) timeout = static_cast<uint32_t>(deadline - start);
    }
    if (m_transport->ReceiveDataSync(maxLength, buffer.put(), timeout) && buffer) {
        if (buffer->Used() > 0) return ReadOutcome::Data;
        buffer.reset();
    }
    // A closed stream fails like any read; only a transport error code or a
    // spent time-out tells a failure from the end of the stream.
    if (m_transport->TransportError() == 0 && Timing::TickCount() - start < timeout) return ReadOutcome::Ended;
    return ReadOutcome::Failed;
}

ReadOutcome ReplyReader::Receive(uint32_t maxLength, ULONGLONG deadline) {
    BufferRef buffer;
    const ReadOutcome outcome = ReceiveBuffer(maxLength, buffer, deadline);
    if (outcome == ReadOutcome::Data)
        m_pending.append(reinterpret_cast<const char*>(buffer->Data()), buffer->Used());
    return outcome;
}

bool BodyKept(bool kept) {
    if (!kept) LOGA(LOG_ERROR, "DownLoadFile: Failed to initialize!\n");
    return kept;
}

bool ReplyReader::ReceiveOrFail(uint32_t maxLength) {
    if (Receive(maxLength) == ReadOutcome::Data) return true;
    LOGA(LOG_ERROR, "DownLoadFile: Recv data from SP failed!\n");
    return false;
}

bool ReplyReader::ReadHead(std::string& head) {
    // However the head trickles in, it has the time of one read in all.
    const ULONGLONG deadline = Timing::TickCount() + kGatewayReceiveTimeoutMs;
    size_t searchFrom = 0;
    for (;;) {
        const size_t end = m_pending.find(kHeadEnd, searchFrom);
        if (end != std::string::npos || m_pending.size() >= kMaxReplyHeadLength) {
            if (end == std::string::npos || end + kHeadEnd.size() > kMaxReplyHeadLength) {
                LOGA(LOG_ERROR, "DownLoadFile: The reply head is too long!\n");
                return false;
            }
            head.assign(m_pending, 0, end + kHeadEnd.size());
            m_pending.erase(0, end + kHeadEnd.size());
            return true;
        }
        searchFrom = m_pending.size() < 3 ? 0 : m_pending.size() - 3;
        if (Receive(kGatewayReadChunk, deadline) != ReadOutcome::Data) {
            if (Timing::TickCount() >= deadline) LOGA(LOG_ERROR, "DownLoadFile: The reply head took too long!\n");
            LOGA(LOG_ERROR, "DownLoadFile: Recv data from SP failed!\n");
            if (m_variant == DownLoadVariant::Report) LOGA(LOG_INFO, "RecvData: failed\n");
            return false;
        }
        if (m_variant == DownLoadVariant::Report)
            LOGA(LOG_INFO, "strRecvTmp: %s\n", EscapeForLog(m_pending).c_str());
    }
}

// Bytes already held go first; the rest goes from each read's buffer
// straight into the body.
bool ReplyReader::TakeExactly(uint64_t count, CBodyBuffer& body) {
    if (!m_pending.empty() && count > 0) {
        const size_t take = m_pending.size() < count ? m_pending.size() : static_cast<size_t>(count);
        if (!BodyKept(body.Append(m_pending.data(), take))) return false;
        m_pending.erase(0, take);
        count -= take;
    }
    while (count > 0) {
        const uint32_t ask = count < kGatewayBodyChunk ? static_cast<uint32_t>(count) : kGatewayBodyChunk;
        BufferRef buffer;
        if (ReceiveBuffer(ask, buffer) != ReadOutcome::Data) {
            LOGA(LOG_ERROR, "DownLoadFile: Recv data from SP failed!\n");
            return false;
        }
        const auto* bytes = reinterpret_cast<const char*>(buffer->Data());
        const size_t used = buffer->Used();
        const size_t take = used < count ? used : static_cast<size_t>(count);
        if (!BodyKept(body.Append(bytes, take))) return false;
        if (used > take) m_pending.append(bytes + take, used - take);  // more than was asked for
        count -= take;
    }
    return true;
}

bool ReplyReader::ReadToEnd(CBodyBuffer& body) {
    if (body.Size() + m_pending.size() > kMaxBodyLength) {
        LOGA(LOG_ERROR, "DownLoadFile: The reply body is too long!\n");
        return false;
    }
    if (!m_pending.empty()) {
        if (!BodyKept(body.Append(m_pending.data(), m_pending.size()))) return false;
        m_pending.clear();
    }
    for (;;) {
        BufferRef buffer;
        const ReadOutcome outcome = ReceiveBuffer(kGatewayBodyChunk, buffer);
        if (outcome == ReadOutcome::Ended) return true;
        if (outcome == ReadOutcome::Failed) {
            LOGA(LOG_ERROR, "DownLoadFile: Recv data from SP failed!\n");
            return false;
        }
        const size_t used = buffer->Used();
        if (body.Size() + used > kMaxBodyLength) {
            LOGA(LOG_ERROR, "DownLoadFile: The reply body is too long!\n");
            return false;
        }
        if (!BodyKept(body.Append(buffer->Data(), used))) return false;
    }
}

bool ReplyReader::ReadLine(std::string& line) {
    size_t searchFrom = 0;
    for (;;) {
        const size_t end = m_pending.find(kCrLf, searchFrom);
        if (end != std::string::npos && end <= kMaxChunkLine) {
            line.assign(m_pending, 0, end);
            m_pending.erase(0, end + kCrLf.size());
            return true;
        }
        if (m_pending.size() > kMaxChunkLine) {
            LOGA(LOG_ERROR, "DownLoadFile: The chunked body is malformed!\n");
            return false;
        }
        searchFrom = m_pending.empty() ? 0 : m_pending.size() - 1;
        if (!ReceiveOrFail(kGatewayReadChunk)) return false;
    }
}

bool ReplyReader::ReadChunked(CBodyBuffer& body) {
    std::string line;
    for (;;) {
        if (!ReadLine(line)) return false;
        const size_t extension = line.find(';');
        if (extension != std::string::npos) m_chunkExtensions += line.size() - extension;
        if (m_chunkExtensions > kMaxChunkOverhead) {
            LOGA(LOG_ERROR, "DownLoadFile: The chunk extensions are too long!\n");
            return false;
        }
        const std::string_view size = TrimBlanks(std::string_view(line).substr(0, extension));
        uint64_t count = 0;
        bool valid = !size.empty();
        for (char c : size) {
            const int digit = std::isxdigit(static_cast<unsigned char>(c))
                                  ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : AsciiLower(c) - 'a' + 10)
                                  : -1;
            if (digit < 0 || count > kMaxBodyLength) {
                valid = false;
                break;
            }
            count = count * 16 + static_cast<uint64_t>(digit);
        }
        if (!valid || body.Size() + count > kMaxBodyLength) {
            LOGA(LOG_ERROR, "DownLoadFile: The chunked body is malformed!\n");
            return false;
        }
        if (count == 0) break;
        if (!TakeExactly(count, body) || !ReadLine(line)) return false;
        if (!line.empty()) {
            LOGA(LOG_ERROR, "DownLoadFile: The chunked body is malformed!\n");
            return false;
        }
    }
    size_t trailer = 0;
    do {  // trailer fields, up to the empty line
        if (!ReadLine(line)) return false;
        trailer += line.size() + kCrLf.size();
        if (trailer > kMaxChunkOverhead) {
            LOGA(LOG_ERROR, "DownLoadFile: The chunked trailer is too long!\n");
            return false;
        }
    } while (!line.empty());
    return true;
}

// The transfer codings of every Transfer-Encoding field, in order, joined
// into one list (a list may be split over several fields).
std::string TransferCodings(std::string_view head) {
    std::string codings;
    for (const std::string_view& value : FieldValues(head, "Transfer-Encoding")) {
        if (!codings.empty()) codings += ',';
        codings += value;
    }
    return codings;
}

// Chunked when the last coding is; a body with any other last coding runs to
// the end of the stream.
bool IsChunked(std::string_view codings) {
    const size_t comma = codings.rfind(',');
    return EqualsAsciiNoCase(TrimBlanks(comma == std::string_view::npos ? codings : codings.substr(comma + 1)),
                        "chunked");
}

// A Content-Length of digits only, within the body limit.
bool ParseContentLength(std::string_view text, uint64_t& length) {
    if (text.empty()) return false;
    length = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        length = length * 10 + static_cast<uint64_t>(c - '0');
        if (length > kMaxBodyLength) return false;
    }
    return true;
}

enum class LengthField { Missing, Valid, Invalid };

// Every Content-Length field, and every element of a comma list in one, must
// name the same length: two lengths leave the body's end to whoever reads it.
LengthField ContentLengthOf(std::string_view head, uint64_t& length) {
    const std::vector<std::string_view> values = FieldValues(head, "Content-Length");
    if (values.empty()) {
        if (!FindField(head, "Content-Length").found) {
            ReplyField(head, "Content-Length: ");  // logs the missing field
            return LengthField::Missing;
        }
        return LengthField::Invalid;  // a field without its line end
    }
    bool first = true;
    for (std::string_view value : values) {
        for (;;) {
            const size_t comma = value.find(',');
            uint64_t one = 0;
            if (!ParseContentLength(TrimBlanks(value.substr(0, comma)), one)) return LengthField::Invalid;
            if (!first && one != length) return LengthField::Invalid;
            length = one;
            first = false;
            if (comma == std::string_view::npos) break;
            value.remove_prefix(comma + 1);
        }
    }
    return LengthField::Valid;
}

bool ReplyReader::ReadBody(std::string_view head, int status, CBodyBuffer& body) {
    const bool noBody = (status >= 100 && status < 200) || status == 204 || status == 304;
    const std::string codings = noBody ? std::string() : TransferCodings(head);
    const bool chunked = !codings.empty() && IsChunked(codings);
    uint64_t length = 0;
    // A transfer coding decides the framing; a Content-Length beside it counts
    // for nothing.
    LengthField field = LengthField::Missing;
    if (!noBody && codings.empty()) {
        field = ContentLengthOf(head, length);
        if (field == LengthField::Invalid) {
            LOGA(LOG_ERROR, "DownLoadFile: The Content-Length is invalid!\n");
            return false;
        }
    }
    if (m_variant == DownLoadVariant::Report)
        LOGA(LOG_INFO, "size: %d\n",
             static_cast<int>(static_cast<int64_t>(length) - static_cast<int64_t>(m_pending.size())));
    if (noBody) return true;
    if (chunked) return ReadChunked(body);
    if (field == LengthField::Valid) {
        body.Reserve(static_cast<size_t>(length));
        return TakeExactly(length, body);
    }
    if (status == 301 || status == 302) {
        // A redirect whose body runs to the end of the stream is followed at
        // once: its body is nothing the exchange uses, and a kept-alive
        // connection would never end it.
        m_pending.clear();
        return true;
    }
    return ReadToEnd(body);
}

}  // namespace

bool DownLoadWeb(ITunnelDataTransport* transport, const char* request, std::string& sentRequest,
                 std::string& replyHead, std::string& body, DownLoadVariant variant) {
    CBodyBuffer buffer;
    const bool ok = DownLoadWeb(transport, request, sentRequest, replyHead, buffer, variant);
    body.assign(buffer.View());
    return ok;
}

bool DownLoadWeb(ITunnelDataTransport* transport, const char* request, std::string& sentRequest,
                 std::string& replyHead, CBodyBuffer& body, DownLoadVariant variant) {
    if (!transport || !request || !*request) {
        LOGA(LOG_ERROR, "DownLoadFile: The pointer is null!\n");
        return false;
    }
    std::string current = request;
    ReplyReader reader(transport, variant);
    body.Clear();
    for (int redirects = 0;; ++redirects) {
        if (current.size() > UINT32_MAX ||
            !transport->SendDataSync(current.data(), static_cast<uint32_t>(current.size()),
                                     kGatewaySendTimeoutMs)) {
            LOGA(LOG_ERROR, "DownLoadFile: Send data to SP failed!\n");
            return false;
        }
        LOGA(LOG_INFO, "DownLoadFile: Send data to SP success!\n");
        sentRequest = current;
        body.Clear();
        replyHead.clear();
        if (!reader.ReadHead(replyHead)) return false;
        if (!reader.ReadBody(replyHead, StatusOf(replyHead, false), body)) return false;
        const int status = StatusOf(replyHead, true);
        if (status == 200) {
            if (variant == DownLoadVariant::Report) {
                LOGA(LOG_INFO, "DownLoadFile: Request web successfully\n");
            } else {
                if (IsEnablePrintRequest())
                    LOGA(LOG_INFO, "DownLoadFile: Request web successfully. Location = %s\n",
                         sentRequest.c_str());
                LOGA(LOG_INFO, "DownLoadFile: Request web successfully --- http code 200\n");
            }
            return true;
        }
        if (status != 301 && status != 302) {
            // The log drops a line too long for it: a long head is cut.
            LOGA(LOG_INFO, "DownLoadFile: The replay value of web is wrong. Web = %s\n",
                 TruncateLogTextA(EscapeForLog(replyHead), kLoggedHeadChars).c_str());
            return false;
        }
        if (redirects >= kMaxRedirects) {
            LOGA(LOG_ERROR, "DownLoadFile: Too many redirects!\n");
            return false;
        }
        current = RedirectRequestOf(current, replyHead);
        if (current.empty()) return false;
    }
}

int AnalyzeReplyHead(const char* head) {
    std::string copy;
    CopyInput(head, copy);
    return StatusOf(copy, true);
}

std::string GetRequestTarget(const char* request) {
    std::string copy;
    CopyInput(request, copy);
    return RequestTargetOf(copy);
}

std::string GetReplyHeaderField(const char* head, const char* name) {
    std::string copy;
    if (!CopyInput(head, copy) || !name) return std::string();
    return ReplyField(copy, name);
}

std::string GetLocationField(const char* head) { return GetReplyHeaderField(head, "Location: "); }

std::string GetRequestHeaderField(const char* request, const char* name) {
    std::string copy;
    if (!CopyInput(request, copy) || !name) return std::string();
    return RequestField(copy, name);
}

std::string GetHostField(const char* request) { return GetRequestHeaderField(request, "Host: "); }
std::string GetCookieField(const char* request) { return GetRequestHeaderField(request, "Cookie: "); }

std::string GetSessionCookie(const char* head) {
    std::string copy;
    CopyInput(head, copy);
    return SessionCookieOf(copy);
}

std::string BuildRedirectRequest(const char* previousRequest, const char* head) {
    std::string previous, reply;
    CopyInput(previousRequest, previous);
    CopyInput(head, reply);
    return RedirectRequestOf(previous, reply);
}

bool BuildFileGetRequest(std::string_view urlPrefix, std::string_view fileName, std::string_view host,
                         std::string_view session, std::string& request) {
    if (!IsRequestTargetText(urlPrefix) || !IsRequestTargetText(fileName) || !IsRequestTargetText(host) || !IsHeaderText(session)) {
        LOGA(LOG_ERROR, "DownLoadFile: The request text holds a control character or blank: %s%s, %s, %s\n",
             EscapeForLog(urlPrefix).c_str(), EscapeForLog(fileName).c_str(), EscapeForLog(host).c_str(),
             EscapeForLog(session).c_str());
        return false;
    }
    request = "GET ";
    request += urlPrefix;
    request += fileName;
    request += " HTTP/1.1\r\nHost: ";
    request += host;
    request += "\r\nConnection: Keep-Alive\r\n";
    AppendCookieLine(request, session);
    return true;
}

bool BuildReportPostRequest(std::string_view path, std::string_view authorizationLine,
                            std::string_view host, uint16_t port, std::string_view json,
                            std::string& request) {
    if (!IsRequestTargetText(path) || !IsHeaderText(authorizationLine) || !IsRequestTargetText(host)) {
        // The authorization line carries credentials: only its length is logged.
        LOGA(LOG_ERROR,
             "callhome: The request text holds a control character or blank: %s, %s, authorization of %u bytes\n",
             EscapeForLog(path).c_str(), EscapeForLog(host).c_str(),
             static_cast<unsigned>(authorizationLine.size()));
        return false;
    }
    request = "POST ";
    request += path;
    request += " HTTP/1.1\r\n";
    request += authorizationLine;
    request += "\r\nHost:";
    request += host;
    request += ":" + std::to_string(port);
    request += "\r\nContent-Length: " + std::to_string(json.size() + 2);
    request += "\r\nConnection: Keep-Alive\r\nContent-Type: application/json\r\n";
    request += kHeadEnd;
    request += json;
    return true;
}

std::string CredentialsHiddenForLog(std::string_view text) {
    if (IsEnablePrintRequest()) return std::string(text);
    constexpr std::string_view kName = "Authorization:";
    std::string result;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        const bool last = end == std::string_view::npos;
        if (last) end = text.size();
        std::string_view line = text.substr(start, end - start);
        const bool cr = !line.empty() && line.back() == '\r';
        if (cr) line.remove_suffix(1);
        if (line.size() >= kName.size() && EqualsAsciiNoCase(line.substr(0, kName.size()), kName)) {
            // Keep the scheme word, hide what follows it.
            size_t at = kName.size();
            while (at < line.size() && IsBlank(line[at])) ++at;
            while (at < line.size() && !IsBlank(line[at])) ++at;
            line = line.substr(0, at);
            result += line;
            result += " ***";
        } else {
            result += line;
        }
        if (cr) result += '\r';
        if (last) break;
        result += '\n';
        start = end + 1;
    }
    return result;
}

std::wstring ChooseDownloadUrlPrefix(const wchar_t* downloadUrl) {
    LOGW(LOG_INFO, L"DownLoadFileToBSTR: lpDownloadURL is %s\n", downloadUrl ? downloadUrl : L"");
    wchar_t value[260] = {};
    DWORD size = sizeof(value);
    const std::wstring key = std::wstring(L"SOFTWARE\\") + L"VPN";
    // RRF_RT_REG_SZ terminates the text; one that does not fit is missing.
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TX_URL_Location", RRF_RT_REG_SZ, nullptr, value,
                       &size) == ERROR_SUCCESS &&
        std::wcslen(value) > 1) {
        LOGW(LOG_INFO, L"we set the url from reg:%s\n", value);
        return value;
    }
    if (downloadUrl && *downloadUrl) return downloadUrl;
    return kDefaultUrlPrefixW;
}

bool AppendToBodyBuffer(BSTR* buffer, std::string_view bytes) {
    if (!buffer) return false;
    if (bytes.empty()) return true;
    const UINT old = *buffer ? ::SysStringByteLen(*buffer) : 0;
    if (old + static_cast<uint64_t>(bytes.size()) > kMaxBodyLength) return false;
    // Into an empty buffer the bytes are copied as the string is made.
    BSTR grown = ::SysAllocStringByteLen(old ? nullptr : bytes.data(), static_cast<UINT>(old + bytes.size()));
    if (!grown) return false;
    if (old) {
        std::memcpy(grown, *buffer, old);
        std::memcpy(reinterpret_cast<char*>(grown) + old, bytes.data(), bytes.size());
    }
    ::SysFreeString(*buffer);
    *buffer = grown;
    return true;
}

BSTR AllocateUnwrittenBstr(size_t length) {
    if (length > kMaxBodyLength) return nullptr;
    // SysAllocStringByteLen(nullptr, n) is documented to leave the bytes as
    // they are, but implementations exist that clear them, touching every
    // page at once before the first byte is due. Growing an empty string
    // without a source leaves the new characters unwritten everywhere.
    BSTR bytes = ::SysAllocStringByteLen(nullptr, 0);
    if (!bytes) return nullptr;
    if (!::SysReAllocStringLen(&bytes, nullptr, static_cast<UINT>((length + 1) / 2))) {
        ::SysFreeString(bytes);
        return nullptr;
    }
    if (length % 2) {
        // An odd length: the byte count before the string says one less, and
        // the terminator moves up to follow it.
        reinterpret_cast<UINT*>(bytes)[-1] = static_cast<UINT>(length);
        reinterpret_cast<char*>(bytes)[length] = 0;
        reinterpret_cast<char*>(bytes)[length + 1] = 0;
    }
    return bytes;
}

void CBodyBuffer::Clear() {
    m_toucher.Stop();
    m_sized.reset();
    m_capacity = m_used = 0;
    std::string().swap(m_grown);
}

void CBodyBuffer::Reserve(size_t length) {
    Clear();
    if (length == 0 || length > kMaxBodyLength) return;
    m_sized.reset(AllocateUnwrittenBstr(length));
    if (!m_sized) return;
    m_capacity = length;
    m_toucher.Start(m_sized.get(), length);
}

bool CBodyBuffer::Append(const void* bytes, size_t n) {
    if (n == 0) return true;
    try {
        if (m_sized) {
            if (n <= m_capacity - m_used) {
                m_toucher.BeforeWrite(m_used + n);
                std::memcpy(reinterpret_cast<char*>(m_sized.get()) + m_used, bytes, n);
                m_used += n;
                return true;
            }
            // More than was announced: the body grows on from what is there.
            m_toucher.Stop();
            m_grown.assign(reinterpret_cast<const char*>(m_sized.get()), m_used);
            m_sized.reset();
            m_capacity = m_used = 0;
        }
        m_grown.append(static_cast<const char*>(bytes), n);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::string_view CBodyBuffer::View() const {
    if (m_sized) return std::string_view(reinterpret_cast<const char*>(m_sized.get()), m_used);
    return m_grown;
}

bool CBodyBuffer::MoveInto(BSTR* caller) {
    if (!caller) return false;
    m_toucher.Stop();
    if (m_sized && m_used == m_capacity && (!*caller || ::SysStringByteLen(*caller) == 0)) {
        ::SysFreeString(*caller);
        *caller = m_sized.release();
        m_capacity = m_used = 0;
        return true;
    }
    if (!AppendToBodyBuffer(caller, View())) return false;
    Clear();
    return true;
}

namespace {

// Success when the body is to join the caller's buffer; the failure's code
// otherwise.
int32_t ExchangeOutcome(bool exchanged, const std::string& firstRequest, const std::string& sentRequest) {
    if (!exchanged) {
        LOGA(LOG_INFO, "DownLoadFile: DownLoadWeb failed\n");
        return DownloadResult_ExchangeFailed;
    }
    LOGA(LOG_INFO, "DownLoadFile: DownLoadWeb finished\n");
    const std::string first = RequestTargetOf(firstRequest);
    const std::string last = RequestTargetOf(sentRequest);
    if (first != last) {
        LOGA(LOG_ERROR, "DownLoadFile: Down file failed. Src = %s. Real = %s\n", EscapeForLog(first).c_str(),
             EscapeForLog(last).c_str());
        return DownloadResult_Redirected;
    }
    return DownloadResult_Success;
}

int32_t BodyJoined(bool joined) {
    if (joined) return DownloadResult_Success;
    LOGA(LOG_ERROR, "DownLoadFile: Failed to initialize!\n");
    return DownloadResult_ExchangeFailed;
}

}  // namespace

int32_t FinishGatewayExchange(bool exchanged, const std::string& firstRequest, const std::string& sentRequest,
                              const std::string& body, BSTR* callerBody) {
    const int32_t outcome = ExchangeOutcome(exchanged, firstRequest, sentRequest);
    if (outcome != DownloadResult_Success) return outcome;
    return BodyJoined(AppendToBodyBuffer(callerBody, body));
}

int32_t FinishGatewayExchange(bool exchanged, const std::string& firstRequest, const std::string& sentRequest,
                              CBodyBuffer& body, BSTR* callerBody) {
    const int32_t outcome = ExchangeOutcome(exchanged, firstRequest, sentRequest);
    if (outcome != DownloadResult_Success) return outcome;
    return BodyJoined(body.MoveInto(callerBody));
}

}  // namespace QuarloSocket
