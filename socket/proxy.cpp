#include "proxy.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

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

namespace QuarloSocket {

namespace {

bool StartsWithNoCase(const std::string& text, size_t at, const char* prefix) {
    const size_t length = std::strlen(prefix);
    return text.size() >= at + length && _strnicmp(text.c_str() + at, prefix, length) == 0;
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
    const std::vector<std::string> words = WordsOf(line);
    if (words.size() < 3 || words[1] != "NTLM") return std::nullopt;
    return words[2];
}

}  // namespace QuarloSocket
