// The commands that change, restore or probe the browser's proxy setup
// around a VPN connection, run by the installed client and the browser's
// launch control at connect and disconnect time.
#include <winsock2.h>

#include "ProxyCommands.h"

#include <windows.h>
#include <objbase.h>
#include <shlwapi.h>

#include <fstream>
#include <iterator>
#include <string>

#include "BrowserProxySetting.h"
#include "CommonFunction.h"
#include "FrontDoorBranches.h"
#include "Loglib.h"
#include "Owners.h"
#include "Platform.h"
#include "ProxyDetection.h"
#include "ProxyIni.h"
#include "ServiceInterfaces.h"
#include "StringUtil.h"
#include "System.h"

namespace {

constexpr wchar_t kIncludeKey[] = L"Software\\VPN\\VPN2\\Include";
constexpr wchar_t kExcludeKey[] = L"Software\\VPN\\VPN2\\Exclude";
constexpr wchar_t kLocalProxyProgram[] = L"Stolvex.exe";
constexpr DWORD kZoneValueChars = 260;
constexpr int kDialUpNumbered = 16;

bool ContainsNoCase(const wchar_t* text, const wchar_t* part) {
    return text && ToLowerW(text).find(ToLowerW(part)) != std::wstring::npos;
}

// An argument in the thread's code page, refused (and logged) when it has
// characters the code page cannot hold.
bool NarrowArgument(const wchar_t* argument, const char* command, std::string& out) {
    if (ExactCodePageFromWide(argument ? argument : L"", CP_THREAD_ACP, out)) return true;
    LOGA(LOG_ERROR, "%s: an argument has characters the ANSI code page cannot hold.\n", command);
    return false;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) return false;
    bytes.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Pairs CoInitializeEx with its CoUninitialize when it succeeded; the
// result itself does not decide anything.
class ComApartment {
public:
    explicit ComApartment(DWORD model) : m_initialized(SUCCEEDED(::CoInitializeEx(nullptr, model))) {}
    ~ComApartment() {
        if (m_initialized) ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool m_initialized;
};

// The text of the user's remote PAC script: the local copy an earlier
// evaluation kept, else what the install manager downloads. Empty when the
// user has no remote script or it cannot be fetched.
std::string SaveAndModifyBrowserProxyConf(CBrowserProxySetting& setting) {
    std::string text;
    wchar_t url[ProxyIni::kUrlUnits] = {};
    if (!setting.IsProxyScriptInRemote(url)) return text;
    const std::wstring localCopy = ProxyIni::AutoPacPath();
    if (ReadFileBytes(localCopy, text)) return text;

    const ComApartment apartment(COINIT_MULTITHREADED);
    Owners::ComPtr<IInstallManager> manager;
    const HRESULT created = ServiceInterfaces::CreateService(manager);
    if (created != S_OK) {
        LOGA(LOG_WARNING, "SaveAndModifyBrowserProxyConf: Create instance to HOX failed: error 0x%x\n",
             static_cast<unsigned>(created));
        return text;
    }
    Owners::UniqueBstr address = Owners::UniqueBstr::FromText(url);
    Owners::UniqueBstr script;
    const HRESULT hr = manager->DownloadFileToLocal(address.get(), script.put());
    if (!ServiceInterfaces::IsServiceSuccess(hr)) {
        LOGA(LOG_ERROR, "DownloadFileToLocal: run failed, error is %0x\n", static_cast<unsigned>(hr));
        ReadFileBytes(localCopy, text);
        return text;
    }
    text.append(script.bytes());
    if (text.empty()) LOGA(LOG_ERROR, "The outside proxy script is NULL\n");
    return text;
}

}  // namespace

ZoneEntry ParseZoneValue(std::string_view value, std::string& address, std::string& mask) {
    const size_t virip = value.find("virip=");
    const size_t maskAt = value.find("@mask=");
    if (virip != std::string_view::npos) {
        std::string_view text = value.substr(virip + 6);
        if (maskAt != std::string_view::npos && maskAt >= virip + 6) {
            text = value.substr(virip + 6, maskAt - (virip + 6));
        }
        address = TrimWhiteSpace(text);
    }
    if (maskAt != std::string_view::npos) mask = TrimWhiteSpace(value.substr(maskAt + 6));
    const auto parse = [](const std::string& text) -> uint32_t {
        return text.empty() ? INADDR_NONE : ::inet_addr(text.c_str());
    };
    return {parse(address), parse(mask)};
}

void ReadZoneList(const wchar_t* key, const char* prefix, ZoneList& list, std::string& address,
                  std::string& mask) {
    list.zones.clear();
    DWORD raw = 0;
    const LSTATUS status = ReadRegistryDword(HKEY_CURRENT_USER, key, L"number", raw);
    const int32_t number = status == ERROR_SUCCESS ? static_cast<int32_t>(raw) : 0;
    LOGA(LOG_INFO, "BVSetOutSideProxyScript: get %s zone number finished, result=%d, number=%d.\n",
         prefix, static_cast<int>(status), static_cast<int>(number));
    size_t count = number > 0 ? static_cast<size_t>(number) : 0;
    if (count > kMaxZones) {
        LOGA(LOG_WARNING, "BVSetOutSideProxyScript: %d %s zones, the %d beyond %d are ignored.\n",
             static_cast<int>(number), prefix, static_cast<int>(count - kMaxZones),
             static_cast<int>(kMaxZones));
        count = kMaxZones;
    }
    list.zones.reserve(count);
    const std::wstring widePrefix = WideFromCodePage(prefix, CP_ACP);
    for (size_t i = 0; i < count; ++i) {
        const std::wstring name = FormatW(L"%s_%u", widePrefix.c_str(), static_cast<unsigned>(i));
        wchar_t buffer[kZoneValueChars] = {};
        const LSTATUS read = ReadRegistryText(HKEY_CURRENT_USER, key, name.c_str(), buffer,
                                              kZoneValueChars);
        const std::string value = read == ERROR_SUCCESS ? CodePageFromWide(buffer, CP_THREAD_ACP) : "";
        LOGA(LOG_INFO, "BVSetOutSideProxyScript: get %s zone message, regname=%s_%u, value:%s, ret:%d\n",
             prefix, prefix, static_cast<unsigned>(i), value.c_str(), static_cast<int>(read));
        list.zones.push_back(ParseZoneValue(value, address, mask));
        LOGA(LOG_INFO, "BVSetOutSideProxyScript: Set %s zone, ip=%s, mask=%s.\n", prefix,
             address.c_str(), mask.c_str());
    }
}

void RunClearIEProxySettingsCommand(const FrontDoorCommand&) {
    LOGW(LOG_INFO, L"clearIEProxySettings start...\n");
    CBrowserProxySetting setting{};
    setting.OnClearIEProxySettings(L"");
    setting.OnClearIEProxySettings(kVpnDialUpEntry);
    for (int i = 0; i < kDialUpNumbered; ++i) {
        setting.OnClearIEProxySettings(FormatW(L"%s_%d", kVpnDialUpEntry, i).c_str());
    }
}

void RunInsideProxyCommand(const FrontDoorCommand& command) {
    if (command.argc < 5) return;
    LOGW(LOG_INFO, L"insideproxy start: support split tunnel\n");
    CBrowserProxySetting setting{};
    const wchar_t* action = command.argv[2];
    if (ContainsNoCase(action, L"resume")) {
        // Once the change is undone (by an earlier resume of either kind) the
        // capture is stale or reset to direct, and the live settings are the
        // user's own: putting the capture back would overwrite them.
        const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
        if (ini.Get(ProxyIni::Key::IEProxyShouldResume, 0) != 1) {
            LOGW(LOG_INFO, L"insideproxy: no change of the browser settings to put back\n");
            return;
        }
        setting.OnResumeIE(true);
        return;
    }
    if (!ContainsNoCase(action, L"set")) return;
    std::string url;
    if (!NarrowArgument(command.argv[4], "insideproxy", url)) return;
    setting.OnClear(kProxyConfDirVPN);
    // Without a capture the user's own settings could not be put back. A
    // capture refused because an earlier change is still to be undone is
    // no loss: the one held is the user's, and the new script replaces the
    // earlier one on top of it.
    if (!setting.OnSave(true, L"", L"", false, kProxyConfDirVPN) &&
        ProxyIni::Reader(ProxyIni::IniPath(kProxyConfDirVPN))
                .Get(ProxyIni::Key::IEProxyShouldResume, 0) != 1) {
        LOGW(LOG_WARNING, L"insideproxy: the browser settings were not saved, they are not changed\n");
        return;
    }
    setting.OnSetBrowserSetting(url.c_str());
}

void RunSetOutSideProxyScriptCommand(const FrontDoorCommand& command) {
    if (command.argc < 4) return;
    ZoneList include, exclude;
    std::string address, mask;
    ReadZoneList(kIncludeKey, "include", include, address, mask);
    ReadZoneList(kExcludeKey, "exclude", exclude, address, mask);
    ::SHDeleteKeyW(HKEY_CURRENT_USER, kIncludeKey);
    ::SHDeleteKeyW(HKEY_CURRENT_USER, kExcludeKey);

    const bool fullTunnel = ContainsNoCase(command.argv[2], L"FullTunnel");
    if (fullTunnel) {
        LOGA(LOG_INFO, "BVSetOutSideProxyScript: Brevanto client connect with full tunnel.\n");
    }
    std::string host;
    if (!NarrowArgument(command.argv[3], "BVSetOutSideProxyScript", host)) return;
    LOGA(LOG_INFO, "BVSetOutSideProxyScript: Start generate script, vsite host=%s.\n",
         EscapeForLog(host).c_str());

    CBrowserProxySetting setting{};
    const std::string script = SaveAndModifyBrowserProxyConf(setting);
    if (!setting.OnGenerateScriptAndSetBV(host.c_str(), include, exclude, fullTunnel ? 1 : 0,
                                          script.c_str())) {
        return;
    }
    if (fullTunnel) {
        setting.OnSetResumeFlagBVDial(1);
    } else {
        setting.OnSetResumeFlag(1);
    }
    StartHTTPProxy(1);
}

void RunResumeOutSideProxyScriptCommand(const FrontDoorCommand&) {
    if (IsProcessExistByName(kLocalProxyProgram)) StopProcessByName(kLocalProxyProgram);
    CBrowserProxySetting setting{};
    // A restore that fails keeps its flag and the capture, for the next run.
    ResumeChangedSettings(setting);
}

void RunSaveProxyInfoCommand(const FrontDoorCommand& command) {
    if (command.argc != 3) return;
    LOGW(LOG_INFO, L"Pelkora: start detect proxy info, host=%s.\n", command.argv[2]);
    DetectProxyInfo(command.argv[2]);
}

void RunSaveForBrevantoCommand(const FrontDoorCommand& command) {
    if (command.argc != 3) return;
    LOGW(LOG_INFO, L"Pelkora: start detect proxy info, host=%s.\n", command.argv[2]);
    DetectProxyInfo(command.argv[2]);
    SaveProxyInfoToReg();
}

void RunSaveProxyFormCommand(const FrontDoorCommand& command) {
    if (command.argc != 3) return;
    HOXInit().OnSave(command.argv[1], command.argv[2]);
}
