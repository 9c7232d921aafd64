#include "ntlm.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "Loglib.h"
#include "StringUtil.h"
#include "base64.h"
#include "proxy.h"

namespace QuarloSocket {

namespace {

char kPackageName[] = "NTLM";

bool IsCompleteStatus(SECURITY_STATUS status) {
    return status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE;
}

std::string HexOf(const unsigned char* data, size_t length) {
    std::string hex;
    for (size_t i = 0; i < length; ++i) hex += FormatA("%02X", data[i]);
    return hex;
}

}  // namespace

NtlmUserParts SplitNtlmUser(const char* user) {
    const std::string_view text(user ? user : "");
    const size_t slash = text.rfind('\\');
    if (slash == std::string_view::npos) return {std::string(), std::string(text)};
    return {std::string(text.substr(0, slash)), std::string(text.substr(slash + 1))};
}

int ntlm_build_negotiate_msg_win(NtlmState* state, const char* server, const char* domain,
                                 const char* user, const char* password, unsigned char* out,
                                 unsigned long* length) {
    if (state == nullptr || out == nullptr || length == nullptr) return -1;
    NtlmState fresh(new (std::nothrow) ntlm_context());
    if (!fresh) return -1;

    // The identity's strings are not modified by the provider; it only
    // takes non-const pointers.
    SEC_WINNT_AUTH_IDENTITY_A identity{};
    SEC_WINNT_AUTH_IDENTITY_A* identityArg = nullptr;
    if (password != nullptr && *password != '\0') {
        identity.User = reinterpret_cast<unsigned char*>(const_cast<char*>(user ? user : ""));
        identity.UserLength = static_cast<unsigned long>(std::strlen(user ? user : ""));
        identity.Domain = reinterpret_cast<unsigned char*>(const_cast<char*>(domain ? domain : ""));
        identity.DomainLength = static_cast<unsigned long>(std::strlen(domain ? domain : ""));
        identity.Password = reinterpret_cast<unsigned char*>(const_cast<char*>(password));
        identity.PasswordLength = static_cast<unsigned long>(std::strlen(password));
        identity.Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
        identityArg = &identity;
    }
    if (server && domain && user && password) {
        LOGA(LOG_INFO, "ntlm_build_negotiate_msg_win: server:%s, user:%s, domain:%s\n", server,
             user, domain);
    }

    TimeStamp expiry{};
    SECURITY_STATUS status = ::AcquireCredentialsHandleA(
        nullptr, kPackageName, SECPKG_CRED_OUTBOUND, nullptr, identityArg, nullptr, nullptr,
        fresh->credential.put(), &expiry);
    if (status != SEC_E_OK) {
        LOGA(LOG_ERROR, "AcquireCredentialsHandle failed, error 0x%08x\n",
             static_cast<unsigned>(status));
        return -1;
    }
    LOGA(LOG_INFO, "ntlm_build_negotiate_msg_win: AcquireCredentialsHandleA finished\n");

    fresh->service_name = FormatA("HTTP/%s", server ? server : "");
    fresh->context_flags = kNtlmRequestFlags;
    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    unsigned long attributes = 0;
    CredHandle credential = fresh->credential.get();
    status = ::InitializeSecurityContextA(
        &credential, nullptr, fresh->service_name.data(), fresh->context_flags, 0,
        SECURITY_NETWORK_DREP, nullptr, 0, fresh->context.put(), &outDesc, &attributes, &expiry);
    Owners::UniqueContextBuffer token(outBuffer.pvBuffer);
    if (status < 0) {
        LOGA(LOG_ERROR, "InitializeSecurityContext failed, error 0x%08x\n",
             static_cast<unsigned>(status));
        return -1;
    }
    fresh->context_flags = attributes;
    LOGA(LOG_INFO, "ntlm_build_negotiate_msg_win: InitializeSecurityContextA finished\n");
    if (IsCompleteStatus(status)) {
        CtxtHandle context = fresh->context.get();
        status = ::CompleteAuthToken(&context, &outDesc);
        if (status < 0) {
            LOGA(LOG_ERROR, "CompleteAuthToken failed, error 0x%08x\n",
                 static_cast<unsigned>(status));
            return -1;
        }
        LOGA(LOG_INFO, "ntlm_build_negotiate_msg_win: CompleteAuthToken finished\n");
    }
    if (outBuffer.cbBuffer > *length || !token) {
        LOGA(LOG_ERROR, "CompleteAuthToken failed, out_sec_buf.cbBuffer(%d) > len(%d)\n",
             static_cast<int>(outBuffer.cbBuffer), static_cast<int>(*length));
        *length = outBuffer.cbBuffer;
        return -1;
    }
    std::memcpy(out, outBuffer.pvBuffer, outBuffer.cbBuffer);
    LOGA(LOG_INFO, "ntlm_build_negotiate_msg_win: start to free FreeContextBuffer\n");
    *state = std::move(fresh);
    *length = outBuffer.cbBuffer;
    token.reset();
    LOGA(LOG_INFO, "ntlm_build_negotiate_msg_win: free FreeContextBuffer finished\n");
    return 0;
}

int ntlm_build_auth_msg_win(ntlm_context* state, const unsigned char* challenge,
                            unsigned long challengeLength, unsigned char* out,
                            unsigned long* length) {
    if (state == nullptr || out == nullptr || length == nullptr) return -1;
    SecBuffer inBuffer{challengeLength, SECBUFFER_TOKEN,
                       const_cast<unsigned char*>(challenge)};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    unsigned long attributes = 0;
    TimeStamp expiry{};
    CredHandle credential = state->credential.get();
    CtxtHandle context = state->context.get();
    // The output stays provider-allocated: the attributes of the first call
    // need not carry the allocation request (some providers return none).
    const unsigned long flags = state->context_flags | kNtlmRequestFlags;
    SECURITY_STATUS status = ::InitializeSecurityContextA(
        &credential, &context, state->service_name.data(), flags, 0, SECURITY_NETWORK_DREP,
        &inDesc, 0, &context, &outDesc, &attributes, &expiry);
    Owners::UniqueContextBuffer token(outBuffer.pvBuffer);
    if (status < 0) {
        LOGA(LOG_ERROR, "InitializeSecurityContext failed, error 0x%08x\n",
             static_cast<unsigned>(status));
        return -1;
    }
    if (IsCompleteStatus(status)) {
        status = ::CompleteAuthToken(&context, &outDesc);
        if (status < 0) {
            LOGA(LOG_ERROR, "CompleteAuthToken failed, error 0x%08x\n",
                 static_cast<unsigned>(status));
            return -1;
        }
    }
    const unsigned long tokenLength = outBuffer.cbBuffer;
    const unsigned long room = *length;
    *length = tokenLength;
    if (!token || tokenLength > room) return -1;
    std::memcpy(out, outBuffer.pvBuffer, tokenLength);
    return 0;
}

std::string ntlm_phase_win_1(http_proxy_context* context, const char* server) {
    if (context == nullptr) return std::string();
    // A new exchange starts from nothing: the state of an earlier one goes.
    context->ntlm.reset();
    const NtlmUserParts parts = SplitNtlmUser(context->user);
    std::vector<unsigned char> token(kNtlmTokenBytes);
    unsigned long length = kNtlmTokenBytes;
    std::string encoded;
    if (ntlm_build_negotiate_msg_win(&context->ntlm, server, parts.domain.c_str(),
                                     parts.user.c_str(), context->password, token.data(),
                                     &length) == 0) {
        LOGA(LOG_INFO, "ntlm_phase_win_1 finished: start to base64_encode\n");
        if (base64_encode(token.data(), length, encoded) < 0) encoded.clear();
        LOGA(LOG_INFO, "ntlm_phase_win_1 finished: base64_encode finished\n");
    }
    LOGA(LOG_INFO, "ntlm_phase_win_1 finished, value:%s, length:%d\n", encoded.c_str(),
         static_cast<int>(encoded.size()));
    return encoded;
}

std::string ntlm_phase_win_3(ntlm_context* state, const char* challenge) {
    if (challenge == nullptr) {
        LOGA(LOG_ERROR, "ntlm_phase_win_3: phase_2 is NULL\n");
        return std::string();
    }
    LOGA(LOG_INFO, "ntlm_phase_win_3, phase_2:%s\n", LoggableSecret(challenge).c_str());
    std::vector<unsigned char> decoded;
    if (base64_decode(challenge, decoded) <= 0) return std::string();
    LOGA(LOG_INFO, "ntlm_phase_win_3, strChallenge:%s\n",
         LoggableSecret(HexOf(decoded.data(), decoded.size())).c_str());
    std::vector<unsigned char> token(kNtlmTokenBytes);
    unsigned long length = kNtlmTokenBytes;
    std::string encoded;
    if (ntlm_build_auth_msg_win(state, decoded.data(), static_cast<unsigned long>(decoded.size()),
                                token.data(), &length) == 0) {
        if (base64_encode(token.data(), length, encoded) < 0) encoded.clear();
    }
    LOGA(LOG_INFO, "ntlm_phase_win_3 finished, value:%s, length:%d, strValue.length:%d\n",
         LoggableSecret(encoded).c_str(), static_cast<int>(length),
         static_cast<int>(encoded.size()));
    return encoded;
}

}  // namespace QuarloSocket
