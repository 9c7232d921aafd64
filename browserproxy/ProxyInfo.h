// The process-wide record of how this process reaches the gateway: directly,
// through the console user's Internet Explorer proxy, or through a named
// proxy with optional credentials. Only the main thread reads and writes it.
#pragma once

#include <cstdint>
#include <string_view>

// proxySetType
constexpr uint32_t kProxySetDirect = 1;
constexpr uint32_t kProxySetActiveUserIE = 2;
// The transport manager reads every other value as a named proxy too.
constexpr uint32_t kProxySetNamed = 3;

// proxyAuthType
constexpr uint32_t PROXY_TYPE_AUTO = 1;  // learned from the proxy's refusal, tried once more
constexpr uint32_t PROXY_TYPE_BASIC = 2;
constexpr uint32_t PROXY_TYPE_NTLM = 4;
constexpr uint32_t PROXY_TYPE_NTLM2 = 5;

// Room of every text field, terminator included.
constexpr size_t kProxyInfoTextUnits = 128;

struct ProxyInfo {
    uint32_t proxySetType;
    uint32_t proxyAuthType;
    wchar_t proxyHost[kProxyInfoTextUnits];  // a bracketed IPv6 literal keeps its brackets
    uint32_t proxyPort;                      // the transport manager uses the low 16 bits
    uint32_t bUseProxy;                      // 1: the proxy is in use and the credentials go to it
    wchar_t proxyUser[kProxyInfoTextUnits];
    wchar_t proxyPassword[kProxyInfoTextUnits];
    wchar_t proxyDomain[kProxyInfoTextUnits];
};

// The one record of the process. It starts in the reset state, so a command
// that never detected a proxy connects directly instead of trying a proxy
// with an empty name.
extern ProxyInfo g_ProxyInfo;

// The reset state: direct, PROXY_TYPE_AUTO, no host, port 0, no credentials.
void ResetProxyInfo(ProxyInfo& info);

// Stores text into a field, at most maxChars characters (and never more than
// the field holds besides its terminator). A longer text is refused: the
// field is left empty and false returned, so a cut host or password is never
// presented to a proxy.
bool SetProxyInfoText(wchar_t (&field)[kProxyInfoTextUnits], std::wstring_view text,
                      size_t maxChars = kProxyInfoTextUnits - 1);
