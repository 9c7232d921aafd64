#include "SessionLaunch.h"

#include <shlwapi.h>

#include "CommonFunction.h"
#include "InstallThreads.h"
#include "Loglib.h"
#include "StringUtil.h"

namespace {

constexpr wchar_t kAAAKey[] = L"Software\\VPN\\VPN2\\AAA";
// What the client reads of each AAA value: 256 and 64 characters with the
// terminator.
constexpr size_t kAAALongChars = 255;
constexpr size_t kAAAShortChars = 63;
// What the portal may send: values longer than these are not written.
constexpr size_t kTxt2GateChars = 256;
constexpr size_t kTokenGateChars = 64;
constexpr size_t kMethodGateChars = 256;

// The rule for one key: from its first occurrence (the whole text when
// missing) to the first '@' (nothing without one), after the first '='.
std::wstring ValueOf(std::wstring_view text, std::wstring_view key) {
    const size_t at = text.find(key);
    std::wstring_view rest = at == std::wstring_view::npos ? text : text.substr(at);
    const size_t end = rest.find(L'@');
    if (end == std::wstring_view::npos) return {};
    rest = rest.substr(0, end);
    const size_t equals = rest.find(L'=');
    return std::wstring(equals == std::wstring_view::npos ? rest : rest.substr(equals + 1));
}

void WriteAAAValue(const wchar_t* name, const std::wstring& value) {
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    ::SHSetValueW(HKEY_CURRENT_USER, kAAAKey, name, REG_SZ, value.c_str(), bytes);
}

bool Fits(const std::wstring& value, size_t chars, const wchar_t* name) {
    if (value.size() <= chars) return true;
    LOGW(LOG_WARNING,
         L"Tavrisk: the %s value of %d characters does not fit the client's %d, it is not written.\n",
         name, static_cast<int>(value.size()), static_cast<int>(chars));
    return false;
}

// One argument of the client's line as the client reads it back: as it
// stands when it is one word, else quoted, so that a blank or a quote in a
// value (a password, a validcode) never splits it or adds arguments.
std::wstring Argument(const std::wstring& text) {
    if (!text.empty() && text.find_first_of(L" \t\n\v\"") == std::wstring::npos) return text;
    return QuoteCommandLineArgument(text.c_str());
}

bool InGate(const std::optional<std::wstring>& value, size_t gate) {
    return value && !value->empty() && value->size() <= gate;
}

}  // namespace

ValidCodeValues ParseValidCode(std::wstring_view validCode) {
    ValidCodeValues values;
    values.txt1 = ValueOf(validCode, L"txt1=");
    for (auto [key, field] : {std::pair{L"txt2=", &values.txt2}, std::pair{L"token=", &values.token},
                              std::pair{L"method=", &values.method}}) {
        if (validCode.find(key) != std::wstring_view::npos) *field = ValueOf(validCode, key);
    }
    return values;
}

std::wstring ProxyPartOfCommandLine(const ProxyInfo& proxy, wchar_t joiner,
                                    const wchar_t* withProxyLog, const wchar_t* withoutProxyLog) {
    if (proxy.bUseProxy != 1) {
        LOGW(LOG_INFO, L"%s", withoutProxyLog);
        return {};
    }
    LOGW(LOG_INFO, withProxyLog, proxy.proxyHost, static_cast<int>(proxy.proxyPort),
         proxy.proxyUser, proxy.proxyDomain);
    std::wstring part = L" ";
    const std::wstring port = std::to_wstring(proxy.proxyPort);
    part += joiner == L' ' ? Argument(proxy.proxyHost) + L" " + port
                           : Argument(proxy.proxyHost + std::wstring(1, joiner) + port);
    std::wstring user = proxy.proxyUser;
    if (proxy.proxyDomain[0]) user = std::wstring(proxy.proxyDomain) + L"\\" + user;
    if (!user.empty() && proxy.proxyPassword[0]) {
        LOGW(LOG_INFO, L"Tavrisk: Launch Brevanto with proxy username and password.\n");
        part += L" " + Argument(L"proxyusername=" + user) + L" " +
                Argument(L"proxypassword=" + std::wstring(proxy.proxyPassword));
    }
    return part;
}

std::wstring BuildConnectWithUiCommandLine(const SessionLaunchArguments& arguments,
                                           const ProxyInfo& proxy) {
    SetWebNoSessionFlag(1);
    const ValidCodeValues values = ParseValidCode(arguments.validCode);
    std::wstring line = L"-connectwithui " + Argument(arguments.host) + L" " +
                        Argument(arguments.port) + L" " +
                        QuoteCommandLineArgument(arguments.user.c_str()) + L" " +
                        (values.txt1.empty() ? std::wstring(L"test") : Argument(values.txt1));
    if (InGate(values.txt2, kTxt2GateChars) && Fits(*values.txt2, kAAALongChars, L"txt2") &&
        Fits(arguments.user, kAAALongChars, L"username") && Fits(values.txt1, kAAALongChars, L"txt1")) {
        WriteAAAValue(L"txt2", *values.txt2);
        WriteAAAValue(L"username", arguments.user);
        WriteAAAValue(L"txt1", values.txt1);
    }
    if (InGate(values.token, kTokenGateChars) && Fits(*values.token, kAAAShortChars, L"token")) {
        WriteAAAValue(L"token", *values.token);
    }
    std::wstring method;
    if (InGate(values.method, kMethodGateChars) && Fits(*values.method, kAAAShortChars, L"method")) {
        method = *values.method;
        WriteAAAValue(L"method", method);
    }
    line += L" 0 0 0 0";
    line += ProxyPartOfCommandLine(
        proxy, L':',
        L"Tavrisk: start proxy with proxy, host:%s, port:%d, username:%s, password:*****, domain:%s\n",
        L"Tavrisk: start vpn without proxy info.\n");
    if (!method.empty()) line += L" " + Argument(method);
    return line;
}

std::wstring BuildConnectSessionCommandLine(const SessionLaunchArguments& arguments,
                                            const ProxyInfo& proxy) {
    SetWebNoSessionFlag(0);
    std::wstring line = L"-connectsession " + Argument(arguments.host) + L" " +
                        Argument(arguments.port) + L" " + Argument(arguments.session) + L" " +
                        Argument(arguments.browserProcessId) + L" username=" +
                        QuoteCommandLineArgument(arguments.user.c_str()) + L" " +
                        Argument(L"validcode=" + arguments.validCode);
    line += ProxyPartOfCommandLine(
        proxy, L' ',
        L"Tavrisk: start proxy with proxy, host:%s, port:%d, username:%s, password:*****, domain:%s\n",
        L"Tavrisk: start vpn without proxy info.\n");
    return line;
}

std::wstring BuildClientSecurityCommandLine(const std::wstring& host, const std::wstring& port,
                                            const ProxyInfo& proxy) {
    std::wstring line = L"-getclientsecuritysession " + Argument(host) + L" " + Argument(port);
    LOGW(LOG_INFO, L"Tavrisk: Launch command is:%s\n", line.c_str());
    line += ProxyPartOfCommandLine(
        proxy, L' ',
        L"Tavrisk: start get client security session with proxy, host:%s, port:%d, username:%s, "
        L"password:*****, domain:%s\n",
        L"Tavrisk: get client security session without proxy info.\n");
    return line;
}

std::wstring CommandLineForLog(const std::wstring& commandLine, const ProxyInfo& proxy) {
    if (!proxy.proxyPassword[0]) return commandLine;
    const std::wstring argument = L" " + Argument(L"proxypassword=" + std::wstring(proxy.proxyPassword));
    std::wstring masked = commandLine;
    for (size_t at = masked.find(argument); at != std::wstring::npos;
         at = masked.find(argument, at + 1)) {
        masked.replace(at, argument.size(), L" proxypassword=*****");
    }
    return masked;
}

bool FitsClientCommandLine(const std::wstring& program, const std::wstring& commandLine) {
    // The quoted program, a blank, the parameters.
    const size_t chars = program.size() + 3 + commandLine.size();
    if (chars <= kProcessCommandLineChars) return true;
    LOGW(LOG_WARNING,
         L"Tavrisk: the client's command line of %d characters is longer than a process takes, "
         L"the client is not started.\n",
         static_cast<int>(chars));
    return false;
}

bool BuildRunInUserSessionText(const std::wstring& program, const std::wstring& commandLine,
                               std::string& text) {
    const std::wstring wide = program + L"@@@" + commandLine;
    if (wide.size() > kRunInUserSessionChars) {
        LOGW(LOG_WARNING,
             L"Tavrisk: the launch text of %d characters is longer than the install manager takes, "
             L"the client is not started.\n",
             static_cast<int>(wide.size()));
        return false;
    }
    if (!ExactCodePageFromWide(wide, CP_THREAD_ACP, text)) {
        LOGW(LOG_WARNING,
             L"Tavrisk: the launch text has characters the ANSI code page cannot hold, the client "
             L"is not started.\n");
        return false;
    }
    return true;
}
