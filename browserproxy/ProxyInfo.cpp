#include "ProxyInfo.h"

#include <cstddef>
#include <cwchar>

// Constant-initialised: readable from any static initialiser.
ProxyInfo g_ProxyInfo = {kProxySetDirect, PROXY_TYPE_AUTO, {}, 0, 0, {}, {}, {}};

void ResetProxyInfo(ProxyInfo& info) {
    info = ProxyInfo{};
    info.proxySetType = kProxySetDirect;
    info.proxyAuthType = PROXY_TYPE_AUTO;
}

bool SetProxyInfoText(wchar_t (&field)[kProxyInfoTextUnits], std::wstring_view text,
                      size_t maxChars) {
    if (maxChars > kProxyInfoTextUnits - 1) maxChars = kProxyInfoTextUnits - 1;
    field[0] = L'\0';
    if (text.size() > maxChars || text.find(L'\0') != std::wstring_view::npos) return false;
    std::wmemcpy(field, text.data(), text.size());
    field[text.size()] = L'\0';
    return true;
}

// The record is handed on field by field; its layout stays that of the
// 32-bit fields and 128-unit texts it has always had.
static_assert(offsetof(ProxyInfo, proxyHost) == 8);
static_assert(offsetof(ProxyInfo, proxyPort) == 264);
static_assert(offsetof(ProxyInfo, bUseProxy) == 268);
static_assert(offsetof(ProxyInfo, proxyUser) == 272);
static_assert(offsetof(ProxyInfo, proxyPassword) == 528);
static_assert(offsetof(ProxyInfo, proxyDomain) == 784);
static_assert(sizeof(ProxyInfo) == 1040);
