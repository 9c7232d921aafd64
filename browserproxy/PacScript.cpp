// Generation of the tunnel's PAC script, Proxy.pac: the loopback names
// direct; the gateway and the exclude zones the way the user's own settings
// send them (their proxy, or their own script embedded under another entry
// name); the include zones direct, into the tunnel; the rest as the user's
// settings say, or direct in a full tunnel.
//
// The whole script is built in memory and replaces the file in one step, so
// the local proxy that serves it never hands out half a script.
#include "PacScript.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BrowserProxySetting.h"
#include "FileReplace.h"
#include "Loglib.h"
#include "ProxyIni.h"
#include "ProxyString.h"
#include "StringUtil.h"
#include "System.h"

namespace {

constexpr DWORD kFlagDirect = 1, kFlagManual = 2, kFlagScript = 4, kFlagDetect = 8;
constexpr DWORD kAutoFlagDetected = 4;
// The bypass condition stops taking entries once it is this long.
constexpr size_t kBypassConditionLimit = 2030;
constexpr size_t kMaxEntryChars = kProxyHostBufferBytes - 1;
constexpr size_t kUrlCopyUnits = 1023;
constexpr char kOutsideEntry[] = "FindProxyForURL_OutsideProxy";
constexpr char kDirectEnd[] = "\treturn \"DIRECT\";\n}\n";
constexpr char kDirectBlockEnd[] = "\t\treturn \"DIRECT\";\n\t}\n";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ContainsNoCase(std::string_view text, std::string_view part) {
    if (part.size() > text.size()) return false;
    for (size_t at = 0; at + part.size() <= text.size(); ++at) {
        size_t i = 0;
        while (i < part.size() && LowerAscii(text[at + i]) == LowerAscii(part[i])) ++i;
        if (i == part.size()) return true;
    }
    return false;
}

template <class Char>
bool StartsWithNoCase(std::basic_string_view<Char> text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        Char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<Char>(c - 'A' + 'a');
        if (c != static_cast<Char>(prefix[i])) return false;
    }
    return true;
}

template <class Char>
bool IsRemote(std::basic_string_view<Char> address) {
    return StartsWithNoCase(address, "http://") || StartsWithNoCase(address, "https://");
}

// A regular-expression metacharacter, or the '/' that would end the literal.
bool IsRegexSpecial(char c) {
    return std::strchr("\\^$.|?+()[]{}/", c) != nullptr && c != '\0';
}

void AppendHexEscape(std::string& out, unsigned char c) {
    char hex[8];
    std::snprintf(hex, sizeof(hex), "\\x%02X", c);
    out += hex;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The saved Internet Explorer settings in the forms the generator uses.
struct SavedSettings {
    uint32_t autoFlags = 0;
    uint32_t flags = 0;
    std::wstring script, server, bypass, wpadUrl;
};

// The texts whole: a proxy list cut inside an entry would name another
// port, and a cut address another script.
bool ReadSaved(CBrowserProxySetting&, SavedSettings& saved) {
    ProxyIni::IECapture capture;
    if (!ReadSavedUserIESettings(capture, ProxyIni::kWholeValue, ProxyIni::kWholeValue)) {
        return false;
    }
    saved.autoFlags = capture.autoDiscoveryFlags;
    saved.flags = capture.flags;
    saved.script = capture.script;
    saved.server = capture.server;
    saved.bypass = capture.bypass;
    saved.wpadUrl = capture.autoUrl;
    return true;
}

std::string Narrow(const std::wstring& text) { return CodePageFromWide(text, CP_THREAD_ACP); }

// The local file a non-remote script address names: from the character
// before its last ':' on (so "file://C:/p.pac" gives "C:/p.pac"), or the
// whole address when it has none.
std::wstring LocalScriptPath(const std::wstring& address) {
    std::wstring path = address;
    if (const size_t colon = path.rfind(L':'); colon != std::wstring::npos) {
        path = path.substr(colon == 0 ? 0 : colon - 1);
    }
    return path.substr(0, kUrlCopyUnits);
}

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The user's embedded script as text with LF line ends (the file gets CR LF).
std::string LfLineEnds(std::string_view text) { return ReplaceAll(text, "\r\n", "\n"); }

// What the gateway rows and the exclude zones return.
std::string OutsideReturn(bool outsideScript, const std::string& host, uint16_t port, bool socks) {
    if (outsideScript) return FormatA("\t\treturn %s(url, host);\n\t}\n", kOutsideEntry);
    if (host.empty()) return kDirectBlockEnd;
    return FormatA("\t\treturn \"%s %s:%d\";\n\t}\n", socks ? "SOCKS" : "PROXY",
                   EscapeForScriptString(host).c_str(), static_cast<int>(port));
}

std::string OutsideCallEnd() { return FormatA("\treturn %s(url, host);\n}\n", kOutsideEntry); }

// One server entry stripped of its scheme; false for another scheme, an
// empty entry or one too long for a proxy text.
bool StrippedEntry(CBrowserProxySetting& setting, std::string_view entry, std::string& out) {
    if (entry.size() > kMaxEntryChars) {
        LOGA(LOG_WARNING, "OnGenerateScriptBV: proxy entry of %d characters is skipped\n",
             static_cast<int>(entry.size()));
        return false;
    }
    const std::string copy(entry);
    const char* stripped = setting.StripProxyScheme(copy.c_str());
    if (!stripped || *stripped == '\0') return false;
    out = stripped;
    return true;
}

// The end of the function when the user's settings name manual proxies.
void AppendManualTail(CBrowserProxySetting& setting, std::string& out, std::string_view server,
                      const std::string& bypass) {
    std::string entry;
    if (server.find('=') == std::string_view::npos) {
        if (StrippedEntry(setting, server.substr(0, server.find('#')), entry)) {
            out += bypass;
            out += FormatA("\treturn \"PROXY %s\";\n}\n", EscapeForScriptString(entry).c_str());
        } else {
            out += kDirectEnd;
        }
        return;
    }
    struct Protocol {
        const char* key;
        const char* test;
    };
    static constexpr Protocol kProtocols[] = {
        {"ftp=", "\tif (url.substring(0, 4) == \"ftp:\") {\n"},
        {"gopher=", "\tif (url.substring(0, 7) == \"gopher:\") {\n"},
        {"http=", "\tif (url.substring(0, 5) == \"http:\") {\n"},
        {"https=", "\tif (url.substring(0, 6) == \"https:\") {\n"},
    };
    for (const Protocol& protocol : kProtocols) {
        const size_t at = server.find(protocol.key);
        if (at == std::string_view::npos) continue;
        std::string_view value = server.substr(at + std::strlen(protocol.key));
        value = value.substr(0, value.find(';'));
        if (!StrippedEntry(setting, value, entry)) continue;
        out += protocol.test;
        out += bypass;
        out += FormatA("\t\treturn \"PROXY %s\";\n\t}\n\n", EscapeForScriptString(entry).c_str());
    }
    if (const size_t at = server.find("socks="); at != std::string_view::npos) {
        std::string_view value = server.substr(at + 6);
        const size_t hash = value.find('#');
        value = value.substr(0, hash != std::string_view::npos ? hash : value.find(';'));
        if (StrippedEntry(setting, value, entry)) {
            out += bypass;
            out += FormatA("\treturn \"SOCKS %s\";\n}\n", EscapeForScriptString(entry).c_str());
            return;
        }
    }
    out += kDirectEnd;
}

// The script as the file keeps it: every line end written as CR LF while
// it is appended, so the text is built once and never copied for it.
class ScriptText {
public:
    void reserve(size_t bytes) { m_text.reserve(bytes); }
    ScriptText& operator+=(std::string_view part) {
        for (size_t end = part.find('\n'); end != std::string_view::npos; end = part.find('\n')) {
            m_text.append(part.data(), end);
            m_text.append("\r\n", 2);
            part.remove_prefix(end + 1);
        }
        m_text.append(part);
        return *this;
    }
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

}  // namespace

bool IsGatewayHostText(std::string_view host) {
    if (host.empty()) return false;
    for (char c : host) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' ||
                             c == '[' || c == ']';
        if (!allowed) return false;
    }
    return true;
}

std::string EscapeForScriptString(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (IsControl(static_cast<unsigned char>(c))) {
            AppendHexEscape(out, static_cast<unsigned char>(c));
        } else {
            out += c;
        }
    }
    return out;
}

bool IsRemoteScriptAddress(std::wstring_view address) { return IsRemote(address); }
bool IsRemoteScriptAddress(std::string_view address) { return IsRemote(address); }

void AppendBypassCondition(std::string& out, std::string_view list) {
    if (list.empty()) return;
    const bool local = list.find("<local>") != std::string_view::npos;
    std::string condition = "\tif(";
    if (local) condition += "isPlainHostName(host)";
    // The alternatives of the expression; entries are cut into it only until
    // the condition has reached its limit.
    std::string alternatives;
    const size_t head = condition.size() + (local ? 4 : 0) + std::strlen("host.search(/");
    std::string_view rest = list;
    while (!rest.empty() && head + alternatives.size() < kBypassConditionLimit) {
        const size_t end = rest.find(';');
        const std::string_view entry = TrimBlanks(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        // An empty entry would be an empty alternative, which every host
        // matches.
        if (entry.empty() || entry.find("<local>") != std::string_view::npos) continue;
        if (!alternatives.empty()) alternatives += '|';
        for (char c : entry) {
            if (c == '*') {
                alternatives += ".*";
            } else if (IsRegexSpecial(c)) {
                alternatives += '\\';
                alternatives += c;
            } else if (IsControl(static_cast<unsigned char>(c))) {
                AppendHexEscape(alternatives, static_cast<unsigned char>(c));
            } else {
                alternatives += c;
            }
        }
    }
    if (!local && alternatives.empty()) return;
    if (!alternatives.empty()) {
        if (local) condition += " || ";
        condition += "host.search(/" + alternatives + "/) >= 0";
    }
    out += condition;
    out += ") {\n";
    out += kDirectBlockEnd;
}

void AppendZoneTest(std::string& out, const ZoneEntry& zone) {
    const auto* a = reinterpret_cast<const unsigned char*>(&zone.address);
    const auto* m = reinterpret_cast<const unsigned char*>(&zone.mask);
    char line[96];
    const int length = std::snprintf(line, sizeof(line),
                                     "\tif (isInNet(host, \"%u.%u.%u.%u\", \"%u.%u.%u.%u\")) {\n",
                                     a[0], a[1], a[2], a[3], m[0], m[1], m[2], m[3]);
    out.append(line, static_cast<size_t>(length));
}

int32_t CBrowserProxySetting::GenerateBypassScript(std::string& out, const char* bypassList) {
    if (bypassList) AppendBypassCondition(out, bypassList);
    return 1;
}

std::string CBrowserProxySetting::GetConvertedString(const char* text, const char* suffix) {
    if (!text || !suffix) {
        LOGA(LOG_ERROR, "GetConvertedString: the input is invalid\n");
        return {};
    }
    const std::string_view source(text);
    const std::string_view separators("\t\n){};,\"");
    std::vector<size_t> insertions;
    size_t at = 0;
    while (at < source.size()) {
        at = source.find_first_not_of(separators, at);
        if (at == std::string_view::npos) break;
        size_t end = source.find_first_of(separators, at);
        if (end == std::string_view::npos) end = source.size();
        const std::string_view token = source.substr(at, end - at);
        const size_t paren = token.find('(');
        if (paren != std::string_view::npos &&
            token.substr(0, paren).find("FindProxyForURL") != std::string_view::npos) {
            size_t insert = at + paren;
            while (insert > at && (source[insert - 1] == ' ' || source[insert - 1] == '\r')) {
                --insert;
            }
            insertions.push_back(insert);
        }
        at = end;
    }
    std::string result;
    result.reserve(source.size() + insertions.size() * std::strlen(suffix));
    size_t copied = 0;
    for (size_t insert : insertions) {
        result.append(source.substr(copied, insert - copied));
        result += suffix;
        copied = insert;
    }
    result.append(source.substr(copied));
    return result;
}

const char* CBrowserProxySetting::StripProxyScheme(const char* address) {
    if (!address) return nullptr;
    const char* scheme = std::strstr(address, "://");
    if (!scheme) return address;
    std::string head(address, static_cast<size_t>(scheme - address) + 3);
    head = head.substr(0, kMaxEntryChars);
    for (char& c : head) c = LowerAscii(c);
    if (head.find("http://") != std::string::npos || head.find("https://") != std::string::npos ||
        head.find("ftp://") != std::string::npos) {
        return scheme + 3;
    }
    return nullptr;
}

int32_t CBrowserProxySetting::GetProxyServerAndPort(char* host, uint16_t* port, uint8_t* socks,
                                                    uint8_t bIE) {
    if (!host) return 0;
    bool firefoxInForce = false;
    if (!bIE) {
        uint32_t type = 0;
        if (!GetSavedUserFFProxySettings(&type, nullptr, nullptr, nullptr)) {
            LOGA(LOG_WARNING, "GetSavedUserFFProxySettings failed\n");
            return 0;
        }
        firefoxInForce = type != 3;
    }
    SavedSettings saved;
    if (!firefoxInForce) {
        if (!ReadSaved(*this, saved)) {
            LOGA(LOG_WARNING, "GetSavedUserIEProxySettings failed\n");
            return 0;
        }
        LOGW(LOG_INFO, L"GetProxyServerAndPort: ProxyFlag:%d, server:%s, script:%s\n",
             static_cast<int>(saved.flags), saved.server.c_str(), saved.script.c_str());
    }
    std::string value;
    if (firefoxInForce || (saved.flags & kFlagScript)) {
        const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
        if (!ini.Exists()) {
            LOGW(LOG_WARNING, L"GetProxyServerAndPort: FF file %s is not exist.\n",
                 ini.Path().c_str());
            return 0;
        }
        const ProxyIni::TunnelProxy tunnel = ProxyIni::ReadTunnelProxy(ini);
        const std::string stored = Narrow(tunnel.host);
        if (stored.empty() || stored.size() > kMaxEntryChars) return 0;
        std::memcpy(host, stored.c_str(), stored.size() + 1);
        if (port) {
            *port = static_cast<uint16_t>(std::strtoul(Narrow(tunnel.port).c_str(), nullptr, 10));
        }
        return 1;
    }
    if (!(saved.flags & kFlagManual) || saved.server.empty()) {
        LOGA(LOG_INFO, "GetProxyServerAndPort failed, IE proxy type and server invalid\n");
        return 0;
    }
    const std::string server = Narrow(saved.server);
    const size_t https = server.find("https=");
    const size_t socksKey = server.find("socks=");
    const bool perScheme = https != std::string::npos || socksKey != std::string::npos ||
                           server.find("http=") != std::string::npos ||
                           server.find("ftp=") != std::string::npos ||
                           server.find("gopher=") != std::string::npos;
    bool isSocks = false;
    if (perScheme) {
        if (https != std::string::npos) {
            value = server.substr(https + 6);
        } else if (socksKey != std::string::npos) {
            value = server.substr(socksKey + 6);
            isSocks = true;
        }
    } else if (const char* stripped = StripProxyScheme(server.c_str())) {
        value = stripped;
    }
    // Only this entry counts: the rest of the list names other schemes.
    value = value.substr(0, value.find(';'));
    if (const size_t scheme = value.find("://"); perScheme && scheme != std::string::npos) {
        value = value.substr(scheme + 3);
    }
    if (value.empty()) return 0;
    LOGA(LOG_INFO, "GetProxyServerAndPort: host:%s\n", value.c_str());
    std::string hostPart;
    const char* portText = nullptr;
    const size_t open = value.find('['), close = value.find(']');
    if (open != std::string::npos && close != std::string::npos) {
        hostPart = value.substr(0, close + 1);
        if (value.compare(close + 1, 1, ":") == 0) portText = value.c_str() + close + 2;
    } else {
        const size_t end = value.find_first_of(" \t:");
        hostPart = value.substr(0, end);
        if (end != std::string::npos && value[end] == ':') portText = value.c_str() + end + 1;
    }
    if (hostPart.empty()) return 0;
    if (hostPart.size() > kMaxEntryChars) {
        LOGA(LOG_WARNING, "GetProxyServerAndPort: host of %d characters is refused\n",
             static_cast<int>(hostPart.size()));
        return 0;
    }
    std::memcpy(host, hostPart.c_str(), hostPart.size() + 1);
    if (portText && port) *port = static_cast<uint16_t>(std::strtoul(portText, nullptr, 10));
    if (isSocks && socks) *socks = 1;
    return 1;
}

int32_t CBrowserProxySetting::IsProxyScriptInRemote(wchar_t* url) {
    const auto copyOut = [url](const std::wstring& text) {
        if (!url) return;
        const size_t count = std::min(text.size(), kUrlCopyUnits);
        text.copy(url, count);
        url[count] = L'\0';
    };
    int32_t result = 0;
    uint32_t type = 0;
    std::vector<wchar_t> ffScript(ProxyIni::kUrlUnits);
    bool checkIE = true;
    if (GetSavedUserFFProxySettings(&type, ffScript.data(), nullptr, nullptr)) {
        LOGW(LOG_INFO, L"IsProxyScriptInRemote: FF ProxyType:%d, script:%s\n",
             static_cast<int>(type), ffScript.data());
        if (type == 2) {
            if (IsRemoteScriptAddress(std::wstring_view(ffScript.data()))) {
                result = 1;
                copyOut(ffScript.data());
            }
            checkIE = false;
        } else if (type != 3) {
            checkIE = false;
        }
    }
    SavedSettings saved;
    if (checkIE && ReadSaved(*this, saved)) {
        LOGW(LOG_INFO, L"IsProxyScriptInRemote: IE ProxyType:%d, script:%s\n",
             static_cast<int>(saved.flags), saved.script.c_str());
        const bool detected = (saved.flags & kFlagDetect) || (saved.autoFlags & kAutoFlagDetected);
        if (detected && IsRemoteScriptAddress(saved.wpadUrl)) {
            result = 1;
            copyOut(saved.wpadUrl);
        } else if ((saved.flags & kFlagScript) && IsRemoteScriptAddress(saved.script)) {
            result = 1;
            copyOut(saved.script);
        }
    }
    LOGA(LOG_INFO, "IsProxyScriptInRemote: bRet is %d\n", static_cast<int>(result));
    return result;
}

int32_t CBrowserProxySetting::OnGenerateScriptAndSetBV(const char* gatewayHost,
                                                       const ZoneList& include,
                                                       const ZoneList& exclude, int32_t fullTunnel,
                                                       const char* outsideScript) {
    const std::string gateway = gatewayHost ? gatewayHost : "";
    LOGA(LOG_INFO, "OnGenerateScriptAndSetBV, host:%s, bFullTunnel:%d\n",
         EscapeForLog(gateway).c_str(), static_cast<int>(fullTunnel));
    m_bAutoDetected = false;
    if (!IsGatewayHostText(gateway)) {
        LOGA(LOG_ERROR, "OnGenerateScriptBV: the gateway host is not a host name or address\n");
        return 0;
    }

    SavedSettings saved;
    bool needed = ReadSaved(*this, saved);
    const bool detected = (saved.flags & kFlagDetect) || (saved.autoFlags & kAutoFlagDetected);
    // A detected address counts only with detection on: the reset that
    // follows a restore keeps the address of the last capture while every
    // other key reads as plain direct, and a script installed over that
    // would later be "restored" to direct in place of the user's settings.
    if (!needed) {
        LOGA(LOG_INFO, "OnGenerateScriptBV: GetSavedUserIEProxySettings failed\n");
    } else if (!(saved.flags & (kFlagScript | kFlagManual)) &&
               !((saved.flags & kFlagDirect) && detected && IsRemoteScriptAddress(saved.wpadUrl))) {
        LOGA(LOG_INFO,
             "OnGenerateScriptBV: GetSavedUserIEProxySettings success and IE don't config outside proxy\n");
        needed = false;
    }
    if (detected) m_bAutoDetected = true;
    const std::string_view outside = outsideScript ? outsideScript : "";
    if (!needed || (detected && !ContainsNoCase(outside, "FindProxyForURL"))) {
        LOGA(LOG_INFO, "OnGenerateScriptBV: no need generate proxy script\n");
        return 0;
    }

    const std::wstring pacPath = ProxyIni::PacPath(), backupPath = ProxyIni::BackupPacPath();
    if (!FileExists(pacPath) && !ProxyIni::CreateFileIfMissing(pacPath, L"CBrowserProxySetting::OnSave")) {
        return 0;
    }

    std::string bypass;
    if (!fullTunnel) {
        GenerateBypassScript(bypass, (saved.flags & kFlagManual) ? Narrow(saved.bypass).c_str()
                                                                 : nullptr);
    }
    char proxyHost[kProxyHostBufferBytes] = {};
    uint16_t proxyPort = 0;
    uint8_t socks = 0;
    if (!GetProxyServerAndPort(proxyHost, &proxyPort, &socks, 1)) {
        LOGA(LOG_INFO, "Outside proxy disabled or GetProxyServerAndPort failed\n");
        proxyHost[0] = '\0';
    }
    const bool remote = IsProxyScriptInRemote(nullptr) == 1;

    // The user's own script, embedded under another entry name.
    std::string embedded;
    bool outsidePresent = false;
    if (remote) {
        LOGA(LOG_INFO, "outside proxy script content is in memory:%s\n",
             EscapeForLog(outside).c_str());
        // A remote script that arrived without its entry function cannot be
        // called; the rows then send the gateway as if there were none.
        if (outside.find("FindProxyForURL") != std::string_view::npos) {
            embedded = GetConvertedString(LfLineEnds(outside).c_str(), "_OutsideProxy");
            outsidePresent = true;
        } else {
            LOGA(LOG_WARNING, "The outside proxy script is NULL\n");
        }
    } else if (((saved.flags & kFlagScript) || saved.flags == kFlagManual) && !saved.script.empty()) {
        LOGW(LOG_INFO, L"outside proxy script:%s\n", saved.script.c_str());
        const std::wstring path = LocalScriptPath(saved.script);
        LOGW(LOG_INFO, L"outside proxy script:%s\n", path.c_str());
        if (!FileExists(path)) {
            LOGW(LOG_WARNING, L"script:%s is not exist\n", path.c_str());
        } else {
            ::DeleteFileW(backupPath.c_str());
            std::string bytes;
            if (!::CopyFileW(path.c_str(), backupPath.c_str(), FALSE)) {
                const DWORD error = ::GetLastError();
                LOGW(LOG_ERROR, L"copy file %s to %s failed\n", path.c_str(), backupPath.c_str());
                LOGW(LOG_ERROR, L"can not open the source file %s, error is %d\n", path.c_str(),
                     static_cast<int>(error));
                return 0;
            }
            if (!ReadWholeFile(backupPath, bytes)) {
                LOGW(LOG_ERROR, L"can not open the source file %s, error is %d\n",
                     backupPath.c_str(), static_cast<int>(::GetLastError()));
                return 0;
            }
            LOGA(LOG_INFO, "outside proxy script file is not null\n");
            embedded = GetConvertedString(LfLineEnds(bytes).c_str(), "_OutsideProxy");
            outsidePresent = true;
        }
    }

    ScriptText script;
    const size_t zoneCount = std::min(exclude.zones.size(), kMaxZones) +
                             (fullTunnel ? 0 : std::min(include.zones.size(), kMaxZones));
    script.reserve(embedded.size() + 1024 + bypass.size() * 6 + zoneCount * 100);
    script += embedded;
    script += "\nfunction FindProxyForURL(url, host)\n{\n";
    script += "\tif(host == \"127.0.0.1\") {\n";
    script += kDirectBlockEnd;
    script += "\tif(host == \"localhost\") {\n";
    script += kDirectBlockEnd;
    const std::string escapedGateway = EscapeForScriptString(gateway);
    script += FormatA("\tif(shExpMatch(host, \"%s\")) {\n", escapedGateway.c_str());
    LOGA(LOG_INFO, "connect to SP bInByPass:%d\n", 0);
    LOGA(LOG_INFO, "GetProxyServerAndPort: host:%s, port:%d, socks:%d\n", proxyHost,
         static_cast<int>(proxyPort), static_cast<int>(socks));
    const std::string outsideReturn = OutsideReturn(outsidePresent, proxyHost, proxyPort, socks != 0);
    script += outsideReturn;
    script += FormatA("\tif(localHostOrDomainIs(\"%s\", host)) {\n", escapedGateway.c_str());
    script += outsideReturn;
    std::string line;
    for (size_t i = 0; i < std::min(exclude.zones.size(), kMaxZones); ++i) {
        line.clear();
        AppendZoneTest(line, exclude.zones[i]);
        script += line;
        script += outsideReturn;
    }
    if (fullTunnel) {
        script += kDirectEnd;
    } else {
        for (size_t i = 0; i < std::min(include.zones.size(), kMaxZones); ++i) {
            line.clear();
            AppendZoneTest(line, include.zones[i]);
            script += line;
            script += kDirectBlockEnd;
        }
        if (saved.flags & kFlagScript) {
            script += outsidePresent ? OutsideCallEnd() : kDirectEnd;
        } else if (remote || saved.flags == kFlagManual) {
            script += outsidePresent ? OutsideCallEnd() : kDirectEnd;
        } else {
            std::string tail;
            AppendManualTail(*this, tail, Narrow(saved.server), bypass);
            script += tail;
        }
    }

    if (!WriteWholeFileAtomic(pacPath.c_str(), script.text())) {
        LOGW(LOG_ERROR, L"can not open the dst file %s, error is %d\n", pacPath.c_str(),
             static_cast<int>(::GetLastError()));
        return 0;
    }
    const int32_t result = OnSetBrowserSetting(fullTunnel);
    LOGA(LOG_INFO, "OnSetIEBrowserSetting finished, bFullTunnel:%d, ret is %d\n",
         static_cast<int>(fullTunnel), static_cast<int>(result));
    return result;
}
