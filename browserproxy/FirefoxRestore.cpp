// Firefox keeps its own proxy preferences, which the per-connection settings
// do not reach: they are put back by starting Firefox with a local page
// beside the program that receives the saved script and type in its query.
#include <windows.h>

#include <string>

#include "BrowserProxySetting.h"
#include "BrowserProxyState.h"
#include "CommonFunction.h"
#include "Loglib.h"
#include "ProxyIni.h"
#include "System.h"
#include "StringUtil.h"

namespace {

constexpr DWORD kRegistryTextUnits = 260;

// A query value: every byte of the UTF-8 text but the unreserved ones as
// %XX, so '&', '#', '=' or '%' in a saved script cannot change the query.
std::wstring EncodeQueryValue(const std::wstring& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::wstring encoded;
    for (unsigned char c : CodePageFromWide(text, CP_UTF8)) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            encoded += static_cast<wchar_t>(c);
        } else {
            encoded += L'%';
            encoded += static_cast<wchar_t>(kHex[c >> 4]);
            encoded += static_cast<wchar_t>(kHex[c & 0xF]);
        }
    }
    return encoded;
}

}  // namespace

int32_t CBrowserProxySetting::IfFFBrowserProxySettingNeedChange() {
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) {
        LOGW(LOG_WARNING, L"IfFFBrowserProxySettingNeedChange: file %s is not exist.\n",
             ini.Path().c_str());
        return 0;
    }
    const int running = ini.Get(ProxyIni::Key::FFBrowserRunning, 0);
    LOGW(LOG_INFO, L"IfFFBrowserProxySettingNeedChange: FF running is %d\n", running);
    if (running != 1) return 0;
    const int type = ini.Get(ProxyIni::Key::FFProxyFlag, 0);
    LOGW(LOG_INFO, L"IfFFBrowserProxySettingNeedChange: proxy type is %d\n", type);
    return type != 3 ? 1 : 0;
}

int32_t CBrowserProxySetting::GetSavedUserFFProxySettings(uint32_t* type, wchar_t* script,
                                                          wchar_t* server, wchar_t* bypass) {
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) {
        LOGW(LOG_WARNING, L"GetSavedUserFFProxySettings: file %s is not exist.\n",
             ini.Path().c_str());
        return 0;
    }
    const ProxyIni::SavedFFSettings saved = ProxyIni::ReadSavedFFSettings(ini);
    if (saved.running != 1) {
        LOGW(LOG_INFO, L"GetSavedUserFFProxySettings: FF running is %d\n", saved.running);
        return 0;
    }
    if (type) *type = static_cast<uint32_t>(saved.type);
    CopyCut(script, ProxyIni::kUrlUnits, saved.script);
    CopyCut(bypass, ProxyIni::kBypassUnits, saved.bypass);
    CopyCut(server, ProxyIni::kUrlUnits, saved.server);
    LOGW(LOG_INFO,
         L"GetSavedUserFFProxySettings: proxy flag=%d, script=%s, server=%s, bypass=%s\n",
         saved.type, saved.script.c_str(), saved.server.c_str(), saved.bypass.c_str());
    return 1;
}

bool CBrowserProxySetting::OnResumeFF() {
    uint32_t type = 0;
    std::wstring script(ProxyIni::kUrlUnits, L'\0'), server(ProxyIni::kUrlUnits, L'\0'),
        bypass(ProxyIni::kBypassUnits, L'\0');
    if (!GetSavedUserFFProxySettings(&type, script.data(), server.data(), bypass.data())) {
        // No Firefox settings are recorded: nothing to put back.
        LOGW(LOG_WARNING, L"GetSavedUserFFProxySettings failed\n");
        return true;
    }
    LOGW(LOG_INFO, L"GetSavedUserFFProxySettings success\n");
    script.resize(std::wcslen(script.c_str()));
    const std::wstring executable = GetFFAppPath();
    const std::wstring argument =
        GetFFProxyChangeParameters(script, static_cast<int32_t>(type), true);
    if (executable.empty()) {
        // Firefox is gone, and its settings with it.
        LOGW(LOG_ERROR, L"OnResumeFF: no Firefox to start, error is %d\n",
             static_cast<int>(ERROR_FILE_NOT_FOUND));
        return true;
    }
    if (!ShellStartProgram(executable, nullptr, SW_SHOW, argument.c_str())) {
        LOGW(LOG_ERROR, L"OnResumeFF: ShellExecuteEx failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        return false;
    }
    RestoreProxyPacFile();
    return true;
}

std::wstring CBrowserProxySetting::GetFFAppPath() {
    const bool wow = Is64BitOS() != 0;
    const wchar_t* root = wow ? L"SOFTWARE\\Wow6432Node\\Mozilla\\Mozilla Firefox"
                              : L"SOFTWARE\\Mozilla\\Mozilla Firefox";
    wchar_t version[kRegistryTextUnits] = {};
    LSTATUS status =
        ReadRegistryText(HKEY_LOCAL_MACHINE, root, L"CurrentVersion", version, kRegistryTextUnits);
    if (status != ERROR_SUCCESS) {
        LOGW(LOG_INFO, L"GetFFAppPath: can not find value: CurrentVersion, ret is %d\n",
             static_cast<int>(status));
        return L"";
    }
    const std::wstring mainKey = (std::wstring(root) + L"\\" + version + L"\\Main").substr(0, 259);
    wchar_t path[kRegistryTextUnits] = {};
    status = ReadRegistryText(HKEY_LOCAL_MACHINE, mainKey.c_str(), L"PathToExe", path,
                              kRegistryTextUnits);
    if (status != ERROR_SUCCESS) {
        LOGW(LOG_INFO, L"GetFFAppPath: can not find value: PathToExe, ret is %d\n",
             static_cast<int>(status));
        return L"";
    }
    LOGW(LOG_INFO, L"GetFFAppPath: %s\n", path);
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        LOGW(LOG_INFO, L"File %s is not exist\n", path);
        return L"";
    }
    return path;
}

std::wstring CBrowserProxySetting::GetFFProxyChangeParameters(const std::wstring& script,
                                                              int32_t type, bool remote) {
    LOGW(LOG_INFO, L"GetFFProxyChangeParameters: scriptPath:%s, type:%d\n", script.c_str(), type);
    std::wstring folder = GetModuleFolder();
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    LOGW(LOG_INFO, L"GetFFProxyChangeParameters: current path:%s\n", folder.c_str());
    const std::wstring value = EncodeQueryValue(script);
    const std::wstring argument =
        remote ? FormatW(L"\"file:///%s\\changeProxy.html?pac_path=%s&type=%d\"", folder.c_str(),
                         value.c_str(), type)
               : FormatW(L"\"file:///%s\\changeProxy.html?pac_path=file:///%s&type=%d\"",
                         folder.c_str(), value.c_str(), type);
    LOGW(LOG_INFO, L"GetFFProxyChangeParameters:%s\n", argument.c_str());
    return argument;
}
