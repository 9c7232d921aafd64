// HTTP proxy CONNECT handshake with Basic and NTLM authentication.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "ntlm.h"

namespace QuarloSocket {

class ITunnelDataTransport;

enum HttpAuthMethod : int {
    HTTP_AUTH_NONE = 0,
    HTTP_AUTH_BASIC = 1,
    HTTP_AUTH_DIGEST = 2,
    HTTP_AUTH_NTLM = 3,
    HTTP_AUTH_NTLM2 = 4,  // handled as NTLM
};

constexpr size_t kProxyCredentialChars = 128;

// State of the handshake that survives between the connections of one
// process: the method the proxy asked for, the credentials to send with it.
struct http_proxy_context {
    int auth_method = HTTP_AUTH_NONE;
    int option = 0;
    int timeout = 0;  // seconds for each byte of the proxy's answer
    int auth_retry = 0;
    char user[kProxyCredentialChars] = {};  // may be "domain\user" for NTLM
    char password[kProxyCredentialChars] = {};
    std::optional<std::string> challenge;  // what followed "Basic " in the 407
    NtlmState ntlm;                        // from NTLM phase 1 to phase 3
};

void init_http_proxy_context(http_proxy_context* context, int option, int timeout, int retry);

// Base64 of "user:password".
std::optional<std::string> basic_credentials_base64(const http_proxy_context* context);

// Replaces the stored challenge (none drops it).
void set_proxy_authenticate(http_proxy_context* context, std::optional<std::string> text);

// Opens a CONNECT tunnel to host:port through the proxy at the other end of
// the transport. True when the tunnel is open (auth_method is then none) or
// when the proxy asked for credentials of the method now in auth_method; the
// caller then connects again with them. False on every failure.
bool establish_http_proxy_passthru(http_proxy_context* context, ITunnelDataTransport* transport,
                                   const std::string& host, int port);

// Writes the text without time-out; false (logged) when the stream refused.
bool send_line(ITunnelDataTransport* transport, const std::string& text);
bool send_line_with_crlf(ITunnelDataTransport* transport, const std::string& text);
bool send_crlf(ITunnelDataTransport* transport);

// Reads one line ending in CR LF in reads so small that nothing after it
// leaves the stream. When a buffer is given it receives at most size - 1
// bytes of the line (with its CR LF) and a NUL; a longer line is read whole
// and its end dropped.
bool recv_line(ITunnelDataTransport* transport, char* buffer, size_t size, int timeoutSeconds);

// Reads the header lines of a 407 up to the empty line: the first
// Proxy-Authenticate line that names Basic or NTLM wins.
int get_proxy_authenticate(ITunnelDataTransport* transport, int timeoutSeconds,
                           std::optional<std::string>* challenge);

// Credentials and tokens reach the log only with the debug switch on.
std::string LoggableSecret(const std::string& text);
// A header line with its credentials or NTLM token masked the same way.
std::string LoggableHeaderLine(const std::string& line);

}  // namespace QuarloSocket

namespace QuarloSocket {

// The CONNECT target as the request names it: an IPv6 address (it holds a
// ':') goes in brackets, adding only the brackets it lacks.
std::string ProxyHostText(const std::string& host);

// The status of an answer's status line (its second word as a number);
// false when there is none.
bool ParseProxyStatus(const std::string& line, int* status);

// The method a "Proxy-Authenticate: " header line names (compared without
// regard to case): Basic with the rest of the line as its challenge, NTLM,
// or none for any other line.
int ProxyAuthenticateMethodOf(const std::string& line, std::optional<std::string>* challenge);

// The NTLM token of a "Proxy-Authenticate:" line whose scheme is NTLM (both
// compared without regard to case); none for any other line.
std::optional<std::string> NtlmChallengeOf(const std::string& line);

}  // namespace QuarloSocket
