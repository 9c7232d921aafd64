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
