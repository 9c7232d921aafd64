// NTLM authentication of the proxy handshake over SSPI's "NTLM" package.
#pragma once

#include <memory>
#include <string>

#include "Owners.h"

namespace QuarloSocket {

struct http_proxy_context;

// Flags of the first InitializeSecurityContext call: a connection-oriented
// exchange whose output buffers the provider allocates.
constexpr unsigned long kNtlmRequestFlags = ISC_REQ_CONNECTION | ISC_REQ_ALLOCATE_MEMORY;

// Largest token the builders take from the provider.
constexpr unsigned long kNtlmTokenBytes = 16384;

// The state of one NTLM exchange, from the negotiate to the authenticate
// message on the same connection.
struct ntlm_context {
    Owners::UniqueCredHandle credential;
    Owners::UniqueSecContext context;
    // The flags requested before the first call, the attributes the provider
    // returned after it.
    unsigned long context_flags = 0;
    std::string service_name;  // "HTTP/<server>"
};
using NtlmState = std::unique_ptr<ntlm_context>;

// Domain and user name of "domain\user" (split at the last backslash).
struct NtlmUserParts {
    std::string domain;
    std::string user;
};
NtlmUserParts SplitNtlmUser(const char* user);

// Negotiate message: acquires a credential (an explicit identity when a
// password is given, the logged-on user's otherwise) and starts the context.
// On 0 the new state is in *state and *length is the token's length.
int ntlm_build_negotiate_msg_win(NtlmState* state, const char* server, const char* domain,
                                 const char* user, const char* password, unsigned char* out,
                                 unsigned long* length);

// Authenticate message for the proxy's challenge, on the state of phase 1.
int ntlm_build_auth_msg_win(ntlm_context* state, const unsigned char* challenge,
                            unsigned long challengeLength, unsigned char* out,
                            unsigned long* length);

// Base64 negotiate token for the server (empty on failure); the new NTLM
// state replaces the context's previous one.
std::string ntlm_phase_win_1(http_proxy_context* context, const char* server);

// Base64 authenticate token for the base64 challenge (empty on failure).
std::string ntlm_phase_win_3(ntlm_context* state, const char* challenge);

}  // namespace QuarloSocket
