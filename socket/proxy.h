// HTTP proxy CONNECT handshake with Basic and NTLM authentication.
#pragma once

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

// The NTLM token of a line whose second word is "NTLM"; none otherwise.
std::optional<std::string> NtlmChallengeOf(const std::string& line);

}  // namespace QuarloSocket
