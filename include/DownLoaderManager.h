// The small HTTP/1.1 client that runs over one tunnel transport to the
// gateway: the three request texts the program sends (file GET, report POST,
// redirect GET), the reading of a reply, the header lookups and redirects with
// the session cookie, and the pieces of the download and report operations
// that need no tunnel (URL prefix, body buffer, result codes).
//
// Reading a reply:
// - the head is at most kMaxReplyHeadLength bytes, up to and including the
//   first CR LF CR LF;
// - a chunked body is decoded; a valid Content-Length is read exactly (reads
//   never ask for more than the bytes still due); 1xx, 204 and 304 replies
//   have no body; otherwise the body runs until the peer ends the stream.
// - ITunnelDataTransport reports a closed stream like any failed read. For a
//   body that runs to the end of the stream, a failed read counts as the end
//   when the transport holds no error code of its own and the read gave up
//   before its time-out ran out; a read that set a TransportError or waited
//   out its whole time-out is a failure.
// Bytes that arrive after the end of a reply wait for the next reply on the
// same transport (the head of the reply to a redirect).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Owners.h"
#include "PageToucher.h"
#include "TunnelDataTransport.h"

namespace QuarloSocket {

// The file variant serves downloads, the report variant the report post;
// they differ only in what they log.
enum class DownLoadVariant { File, Report };

constexpr size_t kMaxReplyHeadLength = 64 * 1024;
constexpr int kMaxRedirects = 10;
constexpr uint32_t kGatewaySendTimeoutMs = 30000;
constexpr uint32_t kGatewayReceiveTimeoutMs = 300000;
constexpr uint32_t kGatewayReadChunk = 1024;
// Body reads ask for up to one TLS record's plain text at a time, never for
// more than the bytes still due.
constexpr uint32_t kGatewayBodyChunk = 16384;
// Bodies travel in BSTRs, whose byte length is 32 bits.
constexpr uint64_t kMaxBodyLength = 0x7FFFFFFF;

constexpr char kDefaultUrlPrefix[] = "/prx/000/http/localhost/client_sec/l3vpn/";
constexpr wchar_t kDefaultUrlPrefixW[] = L"/prx/000/http/localhost/client_sec/l3vpn/";

// The body of a reply as it arrives. With its length known up front it is
// written once into a BSTR of exactly that size, which then becomes the
// caller's buffer without a copy; helpers fault the BSTR's pages in ahead of
// the bytes (CPageToucher). Otherwise the body grows as bytes come.
class CBodyBuffer {
public:
    CBodyBuffer() = default;
    CBodyBuffer(const CBodyBuffer&) = delete;
    CBodyBuffer& operator=(const CBodyBuffer&) = delete;

    // Empties the buffer and lets go of its memory.
    void Clear();
    // Sizes the buffer for a body of exactly length bytes. Without memory for
    // it the body grows as it comes instead.
    void Reserve(size_t length);
    // False when the bytes could not be kept.
    bool Append(const void* bytes, size_t n);
    size_t Size() const { return m_sized ? m_used : m_grown.size(); }
    std::string_view View() const;
    // Appends the body to *caller (a null BSTR is empty); a sized, complete
    // body takes the place of an empty caller buffer as it is.
    bool MoveInto(BSTR* caller);

private:
    Owners::UniqueBstr m_sized;
    // Declared after m_sized: its helpers end before the BSTR goes.
    CPageToucher m_toucher;
    size_t m_capacity = 0;
    size_t m_used = 0;
    std::string m_grown;
};

// Sends the request, reads the reply and follows 301/302 (at most
// kMaxRedirects) on the same transport. True only for a final status 200.
// sentRequest receives the last request sent, replyHead the last head read,
// body the final reply's body. Never closes or releases the transport.
bool DownLoadWeb(ITunnelDataTransport* transport, const char* request, std::string& sentRequest,
                 std::string& replyHead, std::string& body,
                 DownLoadVariant variant = DownLoadVariant::File);
bool DownLoadWeb(ITunnelDataTransport* transport, const char* request, std::string& sentRequest,
                 std::string& replyHead, CBodyBuffer& body, DownLoadVariant variant);

// The status code of a reply head: three digits after "HTTP/<version> " at
// the head's start, followed by a blank or the line end; 0 otherwise.
int AnalyzeReplyHead(const char* head);
// The whole target of a request line: the text between its first blank and
// the " HTTP/1.1" that ends the line.
std::string GetRequestTarget(const char* request);

// Header values: the first header line (after the start line, before the
// end of the head) whose name matches, in any letter case; blanks after the
// colon and at the end are not part of the value. The name may be given with
// its ": " ("Content-Length: ").
std::string GetReplyHeaderField(const char* head, const char* name);
std::string GetLocationField(const char* head);
std::string GetRequestHeaderField(const char* request, const char* name);
std::string GetHostField(const char* request);
std::string GetCookieField(const char* request);

// The session token "KZsession=..." of the first Set-Cookie field that hands
// one out, up to its ';' or line end; empty when there is none. The same text
// in any other field is no session.
std::string GetSessionCookie(const char* head);

// The redirect GET for a 301/302 reply to the request just sent; empty (and
// a log line) when the target or the session holds a control character, or
// the target a blank.
std::string BuildRedirectRequest(const char* previousRequest, const char* head);

// The file GET and the report POST. False (and a log line) when a text that
// becomes part of a header line holds a control character (CR, LF, NUL, ...),
// or a text of the request target or the host holds a blank.
bool BuildFileGetRequest(std::string_view urlPrefix, std::string_view fileName,
                         std::string_view host, std::string_view session, std::string& request);
bool BuildReportPostRequest(std::string_view path, std::string_view authorizationLine,
                            std::string_view host, uint16_t port, std::string_view json,
                            std::string& request);

// A text for the log: unchanged with the debug switch on, else with the
// credentials of every "Authorization:" line replaced by "***".
std::string CredentialsHiddenForLog(std::string_view text);

// The URL prefix of downloads: TX_URL_Location of HKLM\SOFTWARE\VPN when it
// is longer than 1 character (an over-long value counts as missing), else the
// caller's prefix when not empty, else kDefaultUrlPrefixW.
std::wstring ChooseDownloadUrlPrefix(const wchar_t* downloadUrl);

// A BSTR of length bytes (a byte container) whose bytes nothing has written
// yet, so that their pages are first touched by whoever fills them; nullptr
// without memory.
BSTR AllocateUnwrittenBstr(size_t length);

// Appends bytes to a BSTR used as a byte container (nullptr is empty).
bool AppendToBodyBuffer(BSTR* buffer, std::string_view bytes);

// Result codes of a download or report (any other value is a TransportError
// of the tunnel).
enum DownloadResult : int32_t {
    DownloadResult_Success = 0,
    DownloadResult_ExchangeFailed = 2,
    DownloadResult_Redirected = 3,
};

// Turns the outcome of DownLoadWeb into the result code: the body joins the
// caller's buffer only when the exchange ended on the first request's target.
int32_t FinishGatewayExchange(bool exchanged, const std::string& firstRequest,
                              const std::string& sentRequest, const std::string& body,
                              BSTR* callerBody);
int32_t FinishGatewayExchange(bool exchanged, const std::string& firstRequest,
                              const std::string& sentRequest, CBodyBuffer& body, BSTR* callerBody);

}  // namespace QuarloSocket
