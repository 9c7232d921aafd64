#include <winsock2.h>

#include "ProxyTransport.h"

#include <winhttp.h>

#include <vector>

#include "BypassList.h"
#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "System.h"

namespace QuarloSocket {

namespace {


// Takes over a text WinHTTP allocated.
std::optional<std::wstring> AdoptText(wchar_t* text) {
    const Owners::UniqueGlobalMem owner(text);
    if (!text) return std::nullopt;
    return std::wstring(text);
}

std::string Narrow(const std::optional<std::wstring>& text) {
    return text ? CodePageFromWide(*text, CP_THREAD_ACP) : std::string();
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Entries of a proxy list, separated by ';' or blanks; empty ones dropped.
std::vector<std::string> ListEntries(const std::string& text) {
    std::vector<std::string> entries;
    std::string current;
    for (char c : text) {
        if (c == ';' || IsBlank(c)) {
            if (!current.empty()) entries.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) entries.push_back(current);
    return entries;
}

// The proxy entry for the gateway's https: the "https=" entry of a scheme
// list, else the list's first entry, without its "scheme=" and "scheme://".
std::string ChooseEntry(const std::string& text) {
    const std::vector<std::string> entries = ListEntries(text);
    if (entries.empty()) return {};
    std::string chosen = entries.front();
    const size_t equals = text.find('=');
    if (equals != std::string::npos && equals > 0) {
        for (const std::string& entry : entries) {
            if (StartsWithAsciiNoCase(entry, "https=")) {
                chosen = entry;
                break;
            }
        }
        const size_t at = chosen.find('=');
        if (at != std::string::npos) chosen = chosen.substr(at + 1);
    }
    const size_t scheme = chosen.find("://");
    if (scheme != std::string::npos) chosen = chosen.substr(scheme + 3);
    return chosen.substr(0, chosen.find('/'));
}

// The decimal port at the start of text; 0 when there is none or it is out
// of range.
uint16_t ReadPort(const std::string& text) {
    uint32_t value = 0;
    for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
        if (value > 65535) return 0;
    }
    return static_cast<uint16_t>(value);
}

// An entry that names no port is at the HTTP port, as the system's own
// proxy settings read it.
constexpr uint16_t kDefaultProxyPort = 80;

void LogFormatError(const std::string& text) {
    LOGA(LOG_ERROR, "ParseProxyAddressAndPort: incorrectly formatted string: '%s'\n", text.c_str());
}

// The answer of the automatic configuration script for the gateway.
HRESULT ProxyFromScript(ActiveUserProxy& result, const char* gatewayHost, const wchar_t* scriptUrl) {
    std::string host = gatewayHost ? gatewayHost : "";
    if (host.size() > 259) host.resize(259);
    const std::wstring url = WideFromCodePage("https://" + host, CP_THREAD_ACP);
    ScriptProxyAnswer answer;
    DWORD error = 0;
    const bool ok = GetProxyFromScript(L"SSL VPN User", url, scriptUrl, answer, error);
    LOGA(LOG_INFO, "WinHttpGetProxyForUrl: iRet:%d, host:%s\n", ok ? 1 : 0,
         Narrow(answer.proxy).c_str());
    result.useProxy = 0;
    if (!ok) {
        LOGA(LOG_INFO, "IEProxyConfigHelper: WinHttpGetProxyForUrl Failed: WinHttpError = %d\n",
             static_cast<int>(error) - 12000);
        return S_OK;
    }
    if (answer.accessType == WINHTTP_ACCESS_TYPE_NO_PROXY) return S_OK;
    if (!answer.proxy) {
        LOGA(LOG_WARNING, "IEProxyConfigHelper: ie proxy is NULL\n");
        return S_OK;
    }
    result.useProxy = 1;
    return ParseProxyAddressAndPort(answer.proxy->c_str(), result.proxyHost, result.proxyPort);
}

}  // namespace

bool ReadIEProxySettings(IEProxySettings& settings, DWORD& error) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        error = ::GetLastError();
        return false;
    }
    settings.autoConfigUrl = AdoptText(config.lpszAutoConfigUrl);
    settings.proxy = AdoptText(config.lpszProxy);
    settings.bypass = AdoptText(config.lpszProxyBypass);
    return true;
}

bool GetProxyFromScript(const wchar_t* agent, const std::wstring& url, const wchar_t* scriptUrl,
                        ScriptProxyAnswer& answer, DWORD& error) {
    const Owners::UniqueWinHttp session(::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                              WINHTTP_FLAG_ASYNC));
    if (!session) {
        error = ::GetLastError();
        return false;
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl;
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!::WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) {
        error = ::GetLastError();
        return false;
    }
    answer.accessType = info.dwAccessType;
    answer.proxy = AdoptText(info.lpszProxy);
    answer.bypass = AdoptText(info.lpszProxyBypass);
    return true;
}

HRESULT ParseProxyAddressAndPort(const wchar_t* proxyText, std::string& host, uint16_t& port) {
    std::string whole;
    host.clear();
    port = 0;
    // A best-fitted host would be another host.
    if (!ExactCodePageFromWide(proxyText ? proxyText : L"", CP_THREAD_ACP, whole)) {
        LOGA(LOG_ERROR, "ParseProxyAddressAndPort: the proxy text has characters the ANSI code "
                        "page cannot hold\n");
        return E_FAIL;
    }
    LOGA(LOG_INFO, "ParseProxyAddressAndPort:%s\n", whole.c_str());
    const std::string text = ChooseEntry(whole);
    host.clear();
    port = 0;

    const size_t open = text.find('[');
    const size_t close = text.find(']');
    if (open != std::string::npos || close != std::string::npos) {
        // A bracketed IPv6 literal: the host keeps its brackets (the resolver
        // drops them), the port follows the ':' after the closing one.
        if (open == std::string::npos || close == std::string::npos || close < open + 2) {
            LogFormatError(whole);
        } else {
            host = text.substr(open, close - open + 1);
            if (close + 1 == text.size())
                port = kDefaultProxyPort;
            else if (text[close + 1] == ':')
                port = ReadPort(text.substr(close + 2));
        }
    } else if (text.find(':') != text.rfind(':')) {
        // Several ':' without brackets: an IPv6 literal that cannot be told
        // apart from its port, refused rather than read as "fe80" and a port.
        LogFormatError(whole);
    } else {
        const size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos)
            port = ReadPort(text.substr(colon + 1));
        else if (!host.empty())
            port = kDefaultProxyPort;
    }
    LOGA(LOG_INFO, "ParseProxyAddressAndPort:strProxyAddress:%s ,usProxyPort:%d\n", host.c_str(),
         static_cast<int>(port));
    return !host.empty() && port != 0 ? S_OK : E_FAIL;
}

HRESULT QueryActiveUserIEProxyConfig(ActiveUserProxy& result, const char* gatewayHost) {
    // Impersonation is per thread and is reverted when this object ends.
    const ConsoleUserImpersonation user(L"QueryActiveUserIEProxyConfig");
    if (user.failed()) {
        LOGA(LOG_ERROR, "QueryActiveUserIEProxyConfig: impersonate failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        return E_ACCESSDENIED;
    }

    IEProxySettings settings;
    DWORD error = 0;
    if (!ReadIEProxySettings(settings, error)) {
        LOGA(LOG_WARNING,
             "IEProxyConfigHelper: WinHttpGetIEIEProxyConfigForCurrentUser Failed: WinHttpError = %d\n",
             static_cast<int>(error) - 12000);
        return HRESULT_FROM_WIN32(error);
    }

    if (settings.bypass && gatewayHost && *gatewayHost) {
        LOGA(LOG_INFO, "QueryActiveUserIEProxyConfig lpszProxyBypass:bypass:%s ,remote address:%s\n",
             Narrow(settings.bypass).c_str(), gatewayHost);
        const std::wstring wideHost = WideFromCodePage(gatewayHost, CP_THREAD_ACP);
        if (IncludeInBypass(settings.bypass->c_str(), wideHost.c_str())) {
            result.inBypassList = 1;
            LOGA(LOG_INFO,
                 "QueryActiveUserIEProxyConfig dest server ip:%s is in the proxy bypass list, so will "
                 "be not used proxy\n",
                 gatewayHost);
            return S_OK;
        }
    }
    if (settings.autoConfigUrl)
        return ProxyFromScript(result, gatewayHost, settings.autoConfigUrl->c_str());
    if (settings.proxy) {
        result.useProxy = 1;
        return ParseProxyAddressAndPort(settings.proxy->c_str(), result.proxyHost, result.proxyPort);
    }
    return S_OK;
}

}  // namespace QuarloSocket
