#include <winsock2.h>

#include "CallHome.h"

#include <charconv>

#include "CommonFunction.h"
#include "DownLoaderManager.h"
#include "FrontDoorBranches.h"
#include "GatewayDownload.h"
#include "HttpRequestor.h"
#include "InstallThreads.h"
#include "Loglib.h"
#include "Owners.h"
#include "ProxyInfo.h"
#include "StringUtil.h"

#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"InstallThreads.cpp"

namespace {

// Read sizes of the client's values: 260 bytes of 8-bit text, 256 bytes of
// UTF-16 text (127 characters and the terminator).
constexpr size_t kNarrowValueBytes = 260;
constexpr DWORD kWideValueUnits = 128;
// What a proxy-record text may hold.
constexpr size_t kProxyTextChars = 126;
constexpr size_t kSchemeChars = 8;

// An 8-bit value in the thread's code page; false when it is missing, empty,
// longer than its read size or not exactly expressible in that code page.
bool ReadNarrowValue(const wchar_t* name, std::string& value) {
    value.clear();
    wchar_t wide[kNarrowValueBytes] = {};
    if (ReadRegistryText(HKEY_CURRENT_USER, kCallHomeKey, name, wide, kNarrowValueBytes) !=
            ERROR_SUCCESS ||
        !wide[0])
        return false;
    std::string narrow;
    if (!ExactCodePageFromWide(wide, CP_THREAD_ACP, narrow) || narrow.size() >= kNarrowValueBytes) {
        LOGW(LOG_WARNING, L"callhome: %s does not fit the ANSI code page, it is ignored\n", name);
        return false;
    }
    value = std::move(narrow);
    return true;
}

bool ReadWideValue(const wchar_t* name, std::wstring& value) {
    value.clear();
    wchar_t wide[kWideValueUnits] = {};
    if (ReadRegistryText(HKEY_CURRENT_USER, kCallHomeKey, name, wide, kWideValueUnits) !=
            ERROR_SUCCESS ||
        !wide[0])
        return false;
    value = wide;
    return true;
}

// A proxy text the record cannot hold whole is refused: a cut host or
// password would only fail at the proxy.
bool StoreProxyText(wchar_t (&field)[kProxyInfoTextUnits], std::wstring_view text,
                    const wchar_t* name) {
    if (SetProxyInfoText(field, text, kProxyTextChars)) return true;
    LOGW(LOG_WARNING, L"callhome: %s is longer than %u characters, it is ignored\n", name,
         static_cast<unsigned>(kProxyTextChars));
    return false;
}

// The proxy values, each read only when the one before it gave a value.
void ReadCallHomeProxy(ProxyInfo& info) {
    std::wstring host;
    const bool hasHost = ReadWideValue(L"proxyhost", host);
    LOGW(LOG_INFO, L"callhome: proxyhost:%s\n", host.c_str());
    if (!hasHost || !StoreProxyText(info.proxyHost, host, L"proxyhost")) return;

    DWORD port = 0;
    const LSTATUS portStatus = ReadRegistryDword(HKEY_CURRENT_USER, kCallHomeKey, L"proxyport", port);
    LOGW(LOG_INFO, L"callhome: proxyport:%d\n", static_cast<int>(port));
    if (portStatus != ERROR_SUCCESS || port == 0) return;
    if (port > 0xFFFF) {
        // Its low bits would name some other port.
        LOGW(LOG_WARNING, L"callhome: proxyport %u is no port, the report goes direct\n",
             static_cast<unsigned>(port));
        return;
    }
    info.proxyPort = port;
    info.bUseProxy = 1;
    info.proxySetType = kProxySetNamed;

    std::wstring user;
    const bool hasUser = ReadWideValue(L"proxyuname", user);
    LOGW(LOG_INFO, L"callhome: proxyuname:%s\n", user.c_str());
    if (!hasUser || !StoreProxyText(info.proxyUser, user, L"proxyuname")) return;

    std::string stored;
    if (!ReadNarrowValue(L"proxypwd", stored)) {
        LOGW(LOG_INFO, L"callhome: proxypwd is NULL\n");
        return;
    }
    LOGA(LOG_INFO, "callhome: proxypwd:%s\n", MaskedForLog(stored).c_str());
    std::wstring password;
    if (!ExactWideFromCodePage(DecodePassword(stored.c_str()), CP_THREAD_ACP, password)) {
        LOGW(LOG_WARNING, L"callhome: proxypwd does not decode to text, it is ignored\n");
        return;
    }
    if (!StoreProxyText(info.proxyPassword, password, L"proxypwd")) return;

    std::wstring domain;
    const bool hasDomain = ReadWideValue(L"proxydomain", domain);
    LOGW(LOG_INFO, L"callhome: proxydomain:%s\n", domain.c_str());
    if (hasDomain) StoreProxyText(info.proxyDomain, domain, L"proxydomain");
}

void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) out += FormatA("\\u%04x", byte);
                else out += c;
        }
    }
    out += '"';
}

// The tunnel (through the proxy) could not be built: the receiver never saw
// the report.
bool TunnelWasNotBuilt(int32_t result) {
    return result != QuarloSocket::DownloadResult_Success &&
           result != QuarloSocket::DownloadResult_ExchangeFailed &&
           result != QuarloSocket::DownloadResult_Redirected;
}

std::string BstrBytes(BSTR text) {
    return text ? std::string(reinterpret_cast<const char*>(text), ::SysStringByteLen(text))
                : std::string();
}

}  // namespace

CallHomeTarget SplitCallHomeUrl(std::string_view url) {
    CallHomeTarget target;
    // The characters dropped must be the secure-web scheme: from any other
    // URL they would be the host's first ones, and the report with its
    // credentials would go to a host of another name.
    if (url.size() < kSchemeChars || !StartsWithAsciiNoCase(url, "https://")) return target;
    std::string_view server = url.substr(kSchemeChars);
    const size_t slash = server.find('/');
    if (slash == std::string_view::npos) {
        target.path = server;
        return target;
    }
    const std::string_view path = server.substr(slash);
    server = server.substr(0, slash);
    const size_t colon = server.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view digits = server.substr(colon + 1);
        server = server.substr(0, colon);
        if (!digits.empty()) {
            // A port that is no port would send the report to another one.
            unsigned value = 0;
            const auto [end, error] =
                std::from_chars(digits.data(), digits.data() + digits.size(), value);
            if (error != std::errc() || end != digits.data() + digits.size() || value < 1 ||
                value > 0xFFFF) {
                return CallHomeTarget{};
            }
            target.port = static_cast<uint16_t>(value);
        }
    }
    if (server.empty()) return CallHomeTarget{};
    target.host = server;
    target.path = path;
    return target;
}

std::string CallHomeBody(std::string_view domain, std::string_view info) {
    std::string body = "{\"server_domain\":";
    AppendJsonString(body, domain);
    body += ",\"server_info\":";
    AppendJsonString(body, info);
    body += '}';
    return body;
}

int32_t SendCallHome(const char* host, uint16_t port, const char* path, const char* authorization,
                     const char* json, BSTR* reply, ProxyInfo* info) {
    ProxyConfig config;  // saved back when it goes
    config.Load();
    return QuarloSocket::PostCallHome(nullptr, host, port, path, authorization, json, reply, info);
}

void CallHome() {
    ResetProxyInfo(g_ProxyInfo);
    std::string url;
    const bool hasUrl = ReadNarrowValue(L"callhome_url", url);
    LOGA(LOG_INFO, "callhome: callhome_url:%s\n", url.c_str());
    if (!hasUrl) return;

    std::string credentials, domain, serverInfo;
    ReadNarrowValue(L"callhome_xx", credentials);
    // The Basic credentials stand for the receiver's password.
    LOGA(LOG_INFO, "callhome: callhome_xx:%s\n",
         IsEnablePrintRequest() || credentials.empty() ? credentials.c_str()
                                                       : MaskedForLog(credentials).c_str());
    const std::string authorization = "Authorization: Basic " + credentials;
    ReadNarrowValue(L"vsite_domain", domain);
    LOGA(LOG_INFO, "callhome: vsite_domain:%s\n", domain.c_str());
    ReadNarrowValue(L"server_info", serverInfo);
    LOGA(LOG_INFO, "callhome: server_info:%s\n", serverInfo.c_str());
    const std::string body = CallHomeBody(domain, serverInfo);
    LOGA(LOG_INFO, "callhome: Data:%s\n", body.c_str());

    ReadCallHomeProxy(g_ProxyInfo);

    const CallHomeTarget target = SplitCallHomeUrl(url);
    LOGA(LOG_INFO, "callhome: server:%s\n", target.host.c_str());
    if (target.host.empty()) {
        LOGA(LOG_WARNING, "callhome: callhome_url names no server, nothing is sent\n");
        return;
    }
    for (;;) {
        BSTR replyText = nullptr;
        const int32_t result = SendCallHome(target.host.c_str(), target.port, target.path.c_str(),
                                            authorization.c_str(), body.c_str(), &replyText,
                                            &g_ProxyInfo);
        const Owners::UniqueBstr reply(replyText);
        LOGA(LOG_INFO, "callhome finished:%s\n", EscapeForLog(BstrBytes(reply.get())).c_str());
        if (g_ProxyInfo.bUseProxy != 1 || !TunnelWasNotBuilt(result)) return;
        // The proxy is in the way: once more, straight to the receiver.
        g_ProxyInfo.bUseProxy = 0;
    }
}

void RunCallHomeCommand(const FrontDoorCommand&) { CallHome(); }
