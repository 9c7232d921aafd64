// Capture of the user's own (outside) browser proxy settings into Proxy.ini,
// with the proxy that their script names for the gateway.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "BrowserProxySetting.h"
#include "BrowserProxyState.h"
#include "Loglib.h"
#include "ProxyIni.h"
#include "ProxySettingsStore.h"
#include "ProxyString.h"
#include "StringUtil.h"

namespace {

constexpr size_t kUrlUnits = 1024;
constexpr size_t kBypassUnits = 4096;
constexpr size_t kDetectedUrlBytes = 1024;
constexpr size_t kFirefoxTextChars = 1022;
constexpr DWORD kDetectDhcpAndDns = PROXY_AUTO_DETECT_TYPE_DHCP | PROXY_AUTO_DETECT_TYPE_DNS_A;

// The proxy for the tunnel found by evaluating a script, as stored text.
ProxyIni::TunnelProxy EvaluateForTunnel(CBrowserProxySetting& setting, const std::wstring& script,
                                        const wchar_t* gatewayHost, bool comServer,
                                        bool firefox) {
    ProxyIni::TunnelProxy tunnel;
    tunnel.scriptRunning = 1;
    const std::string url = CodePageFromWide(script, CP_THREAD_ACP);
    const std::string gateway = CodePageFromWide(gatewayHost ? gatewayHost : L"", CP_THREAD_ACP);
    char host[kProxyHostBufferBytes] = {};
    uint16_t port = 0;
    uint8_t socks = 0;
    if (setting.ParseProxyHostAndPort(url.c_str(), gateway.c_str(), host, &port, &socks,
                                      comServer ? 1 : 0) == 1) {
        tunnel.host = WideFromCodePage(host, CP_THREAD_ACP);
        tunnel.port = FormatW(L"%d", port);
        if (firefox) {
            LOGW(LOG_INFO, L"FF ParseProxyHostAndPortForURL success. host:%s, port:%s\n",
                 tunnel.host.c_str(), tunnel.port.c_str());
        } else {
            LOGA(LOG_INFO, "ParseProxyHostAndPortForURL success, %s:%d\n", host, port);
        }
    } else if (firefox) {
        LOGW(LOG_WARNING, L"FF ParseProxyHostAndPortForURL failed\n");
    } else {
        LOGW(LOG_WARNING, L"ParseProxyHostAndPortForURL failed\n");
    }
    return tunnel;
}

int32_t WriteCapture(uint32_t folderKind, const std::function<void(ProxyIni::Editor&)>& edit) {
    const std::wstring path = ProxyIni::IniPath(folderKind);
    // The capture records the user's own settings; while a restore is
    // pending the live settings are this program's, and writing them (and
    // the cleared restore flag) would lose the user's for good.
    bool pending = false;
    const ProxyIni::UpdateResult result = ProxyIni::Update(
        path, L"CBrowserProxySetting::OnSave", ProxyIni::Create::CreateIfMissing,
        [&](ProxyIni::Editor& e) {
            pending = RestorePending(e);
            if (!pending) edit(e);
        });
    if (pending) {
        LOGW(LOG_WARNING,
             L"CBrowserProxySetting::OnSave: a restore is pending, the settings are not captured\n");
        return 0;
    }
    switch (result) {
        case ProxyIni::UpdateResult::Saved:
            LOGW(LOG_INFO, L"Save Proxy info to %s\n", path.c_str());
            return 1;
        case ProxyIni::UpdateResult::NotSaved:
            LOGW(LOG_WARNING, L"CBrowserProxySetting::OnSave: failed to write to disk, error is %d\n",
                 static_cast<int>(::GetLastError()));
            return 0;
        default:
            return 0;
    }
}

std::wstring Cut(const std::wstring& text, size_t chars) { return text.substr(0, chars); }

}  // namespace

namespace {

// The LAN settings, whole, and what OnDetectProxySetting answers for them:
// 1 go on to a script (or plain direct), 0 a named proxy or nothing
// detected, -1 the query failed. The detected URL (1024 bytes) is written
// when detection found one.
int32_t DetectLanSettings(ConnectionProxyOptions& options, char* detectedUrl) {
    LOGW(LOG_INFO, L"CBrowserProxySetting::OnDetectProxySetting, start\n");
    if (!ProxySettingsStore().Query(L"", options)) {
        LOGW(LOG_ERROR, L"OnDetectProxySetting: InternetQueryOption failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        return -1;
    }
    LOGW(LOG_INFO,
         L"OnDetectProxySetting: auto flag=0x%x, proxy flag=0x%x, script=%s, server=%s, bypass=%s\n",
         options.autoDiscoveryFlags, options.flags, options.autoConfigUrl.value_or(L"").c_str(),
         options.proxyServer.value_or(L"").c_str(), options.proxyBypass.value_or(L"").c_str());
    if (options.flags & PROXY_TYPE_PROXY) {
        LOGW(LOG_INFO, L"OnDetectProxySetting: named proxy or script enabled, no need do auto detect.\n");
        return 0;
    }
    if (options.flags & PROXY_TYPE_AUTO_PROXY_URL) return 1;
    if ((options.flags & PROXY_TYPE_AUTO_DETECT) ||
        (options.autoDiscoveryFlags & AUTO_PROXY_FLAG_DETECTION_RUN)) {
        LOGW(LOG_INFO, L"OnDetectProxySetting: AutoDetectProxy enabled\n");
        char found[kDetectedUrlBytes] = {};
        if (!ProxySettingsStore().DetectAutoProxyUrl(found, sizeof(found), kDetectDhcpAndDns)) {
            LOGW(LOG_INFO, L"Auto discover proxy failed: error:%d\n",
                 static_cast<int>(::GetLastError()));
            return 0;
        }
        found[sizeof(found) - 1] = '\0';
        LOGA(LOG_INFO, "Auto discover proxy success:url:%s\n", found);
        if (detectedUrl) std::memcpy(detectedUrl, found, std::strlen(found) + 1);
    }
    LOGW(LOG_INFO, L"OnDetectProxySetting: finished\n");
    return 1;
}

}  // namespace

int32_t CBrowserProxySetting::OnDetectProxySetting(uint32_t* autoDiscoveryFlags, uint32_t* flags,
                                                   wchar_t* script, wchar_t* server,
                                                   wchar_t* bypass, char* detectedUrl) {
    ConnectionProxyOptions options;
    const int32_t result = DetectLanSettings(options, detectedUrl);
    if (result < 0) return 0;
    if (autoDiscoveryFlags) *autoDiscoveryFlags = options.autoDiscoveryFlags;
    if (flags) *flags = options.flags;
    CopyCut(script, kUrlUnits, options.autoConfigUrl.value_or(L""));
    CopyCut(server, kUrlUnits, options.proxyServer.value_or(L""));
    CopyCut(bypass, kBypassUnits, options.proxyBypass.value_or(L""));
    return result;
}

int32_t CBrowserProxySetting::OnSave(bool captureIE, const wchar_t* firefoxPreferences,
                                     const wchar_t* gatewayHost, bool comServer,
                                     uint32_t folderKind) {
    if (!captureIE) {
        const std::wstring prefs = firefoxPreferences ? firefoxPreferences : L"";
        const auto pref = [&](const wchar_t* name) { return GetFFPrefValue(prefs, name); };
        const std::wstring typeText = pref(L"network.proxy.type");
        const std::wstring ftp = pref(L"network.proxy.ftp"), ftpPort = pref(L"network.proxy.ftp_port");
        const std::wstring http = pref(L"network.proxy.http"),
                           httpPort = pref(L"network.proxy.http_port");
        const std::wstring ssl = pref(L"network.proxy.ssl"), sslPort = pref(L"network.proxy.ssl_port");
        const std::wstring socks = pref(L"network.proxy.socks"),
                           socksPort = pref(L"network.proxy.socks_port");
        ProxyIni::FFCapture capture;
        capture.type = typeText.empty() ? 3 : static_cast<int>(std::wcstol(typeText.c_str(), nullptr, 10));
        const bool same = ftp == http && ftp == ssl && ftp == socks && ftpPort == httpPort &&
                          ftpPort == sslPort && ftpPort == socksPort;
        capture.server = Cut(same ? FormatW(L"%s:%s", ftp.c_str(), ftpPort.c_str())
                                  : FormatW(L"ftp=%s:%s;http=%s:%s;https=%s:%s;socks=%s:%s",
                                            ftp.c_str(), ftpPort.c_str(), http.c_str(),
                                            httpPort.c_str(), ssl.c_str(), sslPort.c_str(),
                                            socks.c_str(), socksPort.c_str()),
                             kFirefoxTextChars);
        capture.script = Cut(pref(L"network.proxy.autoconfig_url"), kFirefoxTextChars);
        capture.bypass = Cut(pref(L"network.proxy.no_proxies_on"), kFirefoxTextChars);
        ProxyIni::TunnelProxy tunnel;
        if (capture.type == 2) {
            tunnel = EvaluateForTunnel(*this, capture.script, gatewayHost, false, true);
        } else if (capture.type == 1) {
            tunnel.host = ssl;
            tunnel.port = sslPort;
        }
        LOGW(LOG_INFO, L"Detect firefox proxy setting:type:%d, server:%s, script:%s, bypass:%s\n",
             capture.type, capture.server.c_str(), capture.script.c_str(), capture.bypass.c_str());
        return WriteCapture(folderKind,
                            [&](ProxyIni::Editor& e) { ProxyIni::WriteFFCapture(e, capture, tunnel); });
    }

    // The texts are kept whole: the restore writes back exactly what it
    // finds here, so a cut list would stay cut in the user's settings.
    ConnectionProxyOptions lan;
    char detected[kDetectedUrlBytes] = {};
    const int32_t detection = DetectLanSettings(lan, detected);
    const int32_t evaluate = detection == 1 ? 1 : 0;
    ProxyIni::IECapture capture;
    if (detection >= 0) {
        capture.autoDiscoveryFlags = lan.autoDiscoveryFlags;
        capture.flags = lan.flags;
        capture.script = lan.autoConfigUrl.value_or(L"");
        capture.server = lan.proxyServer.value_or(L"");
        capture.bypass = lan.proxyBypass.value_or(L"");
    }
    const uint32_t autoFlags = capture.autoDiscoveryFlags, flags = capture.flags;
    capture.autoUrl = WideFromCodePage(detected, CP_THREAD_ACP);
    ProxyIni::TunnelProxy tunnel;
    if (evaluate == 1) {
        std::wstring chosen;
        bool haveScript = true;
        if (flags & PROXY_TYPE_AUTO_PROXY_URL) chosen = capture.script;
        else if ((flags & PROXY_TYPE_AUTO_DETECT) || (autoFlags & AUTO_PROXY_FLAG_DETECTION_RUN))
            chosen = capture.autoUrl;
        else haveScript = false;
        if (haveScript) tunnel = EvaluateForTunnel(*this, chosen, gatewayHost, comServer, false);
    }
    return WriteCapture(folderKind,
                        [&](ProxyIni::Editor& e) { ProxyIni::WriteIECapture(e, capture, tunnel); });
}

std::wstring GetFFPrefValue(const std::wstring& preferences, const std::wstring& name) {
    std::wstring text = preferences;
    const size_t first = text.find_first_not_of(L'{');
    text.erase(0, first == std::wstring::npos ? text.size() : first);
    const size_t last = text.find_last_not_of(L'}');
    text.erase(last == std::wstring::npos ? 0 : last + 1);

    std::vector<std::wstring> tokens;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find_first_of(L",=", start);
        const std::wstring token =
            text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!token.empty()) {
            const size_t b = token.find_first_not_of(L' '), e = token.find_last_not_of(L' ');
            tokens.push_back(b == std::wstring::npos ? L"" : token.substr(b, e - b + 1));
        }
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (tokens[i] != name) continue;
        const std::wstring& candidate = tokens[i + 1];
        if (ToLowerW(candidate).find(L"network.proxy.") != std::wstring::npos) return L"";
        return candidate;
    }
    return L"";
}
