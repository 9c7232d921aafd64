#include "proxy.h"

#include "StringUtil.h"
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
