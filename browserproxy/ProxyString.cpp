#include "ProxyString.h"

#include <cstring>

#include "Loglib.h"

namespace {

constexpr size_t kMaxHostChars = kProxyHostBufferBytes - 1;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// The entry that applies to the tunnel (an HTTPS connection): the first
// entry, or the "https=" entry of a per-scheme list; false when a list has
// no such entry.
bool SelectEntry(std::string_view text, std::string_view& entry) {
    const std::string_view first = text.substr(0, text.find(';'));
    if (first.find('=') == std::string_view::npos) {
        entry = first;
        return true;
    }
    while (!text.empty()) {
        const size_t end = text.find(';');
        const std::string_view candidate = Trim(text.substr(0, end));
        if (StartsWithNoCase(candidate, "https=")) {
            entry = candidate.substr(6);
            return true;
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return false;
}

// Decimal digits at the start; 0 unless they read as 1 to 65535.
uint16_t ReadPort(std::string_view text) {
    uint32_t value = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 65535) return 0;
        ++digits;
    }
    if (digits == 0 || value == 0) return 0;
    return static_cast<uint16_t>(value);
}

}  // namespace

ProxyTextKind SplitProxyText(std::string_view text, std::string& host, uint16_t& port) {
    std::string_view entry;
    if (!SelectEntry(text, entry)) return ProxyTextKind::NoProxy;
    entry = Trim(entry);
    if (const size_t scheme = entry.find("://"); scheme != std::string_view::npos) {
        entry = Trim(entry.substr(scheme + 3));
    }
    if (entry.empty()) return ProxyTextKind::Malformed;
    const size_t open = entry.find('['), close = entry.find(']');
    const bool hasOpen = open != std::string_view::npos, hasClose = close != std::string_view::npos;
    if (hasOpen != hasClose) return ProxyTextKind::Malformed;
    std::string_view hostPart, rest;
    if (hasOpen) {
        hostPart = entry.substr(0, close + 1);
        rest = entry.substr(close + 1);
        if (!rest.empty() && rest.front() == ':') rest.remove_prefix(1);
        else rest = {};
    } else {
        const size_t colon = entry.find(':');
        hostPart = entry.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : entry.substr(colon + 1);
    }
    if (hostPart.size() > kMaxHostChars) return ProxyTextKind::Malformed;
    if (hostPart.empty()) return ProxyTextKind::NoProxy;
    host.assign(hostPart);
    port = ReadPort(rest);
    return ProxyTextKind::Found;
}

int32_t ParseProxyString(const char* text, char* host, uint16_t* port) {
    const char* start = text;
    while (start && (*start == ' ' || *start == '\t')) ++start;
    if (!start || *start == '\0') {
        LOGA(LOG_ERROR, "ParseProxyString: incorrectly formatted script string: '%s'.\n",
             text ? text : "");
        return 0;
    }
    if (!host) {
        LOGA(LOG_ERROR, "ParseProxyString: iput parameter proxy_host is NULL\n");
        return 0;
    }
    std::string found;
    uint16_t foundPort = 0;
    switch (SplitProxyText(start, found, foundPort)) {
        case ProxyTextKind::Malformed:
            LOGA(LOG_ERROR, "ParseProxyString: incorrectly formatted script string: '%s'\n", text);
            return 0;
        case ProxyTextKind::NoProxy:
            LOGA(LOG_INFO, "ParseProxyString: proxy '%s' %d.\n", "", 0);
            return 0;
        case ProxyTextKind::Found:
            break;
    }
    std::memcpy(host, found.c_str(), found.size() + 1);
    if (port) *port = foundPort;
    LOGA(LOG_INFO, "ParseProxyString: proxy '%s' %d.\n", host, foundPort);
    return 1;
}
