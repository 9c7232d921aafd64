// Pointing the browser at the tunnel's script, resetting connections to
// direct, and putting the user's captured settings back, with the flags in
// Proxy.ini that say what must be put back.
#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

#include "BrowserProxySetting.h"
#include "BrowserProxyState.h"
#include "CommonFunction.h"
#include "Loglib.h"
#include "ProxyIni.h"
#include "System.h"
#include "ProxySettingsStore.h"
#include "StringUtil.h"

namespace {

constexpr size_t kUrlBytes = 1024;
constexpr DWORD kDirectAndScript = PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL;  // 5
constexpr DWORD kDirectAndDetect = PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_DETECT;     // 9

// Dial-up names whose proxy this process set; nothing adds to it.
std::vector<std::string> g_PPPConnectionList;

// Makes running programs reread the settings; a failure of the first call
// does not skip the second.
void RefreshSettings(bool logSuccess) {
    IProxySettingsStore& store = ProxySettingsStore();
    if (!store.SettingsChanged()) {
        LOGW(LOG_ERROR, L"SetProxySettings: failed to set INTERNET_OPTION_SETTINGS_CHANGED option\n");
    } else if (logSuccess) {
        LOGW(LOG_INFO, L"InternetSetOption: INTERNET_OPTION_SETTINGS_CHANGED success\n");
    }
    if (!store.Refresh()) {
        LOGW(LOG_ERROR, L"SetProxySettings: failed to set INTERNET_OPTION_REFRESH option\n");
    } else if (logSuccess) {
        LOGW(LOG_INFO, L"InternetSetOption: INTERNET_OPTION_REFRESH success\n");
    }
}

ConnectionProxyOptions DirectWithEmptyTexts(DWORD autoDiscoveryFlags) {
    ConnectionProxyOptions options;
    options.autoConfigUrl = L"";
    options.autoDiscoveryFlags = autoDiscoveryFlags;
    options.flags = PROXY_TYPE_DIRECT;
    options.proxyServer = L"";
    options.proxyBypass = L"";
    return options;
}

// Points a connection at a script URL. The restore flag that undoes the
// change is written first: a run that dies between the two must still leave
// the next restore its instruction. A set that fails puts the flag back.
int32_t PointAtScript(CBrowserProxySetting& setting, bool dialUp, const std::string& url) {
    const ProxyIni::IntKey flagKey =
        dialUp ? ProxyIni::Key::IEProxyShouldResumeDial : ProxyIni::Key::IEProxyShouldResume;
    const int before = ProxyIni::Reader(ProxyIni::IniPath(kProxyConfDirVPN)).Get(flagKey, 0);
    const int32_t recorded =
        dialUp ? setting.OnSetResumeFlagBVDial(1) : setting.OnSetResumeFlag(1);
    if (!recorded) {
        LOGW(LOG_WARNING, L"OnSetBrowserSetting: the restore flag cannot be recorded, settings unchanged\n");
        return 0;
    }
    ConnectionProxyOptions options;
    options.autoConfigUrl = WideFromCodePage(url.substr(0, kUrlBytes - 1), CP_THREAD_ACP);
    options.autoDiscoveryFlags = 0;
    options.flags = kDirectAndScript;
    const std::wstring connection = dialUp ? kVpnDialUpEntry : L"";
    if (!ProxySettingsStore().Set(connection, options, OptionForm::Narrow)) {
        const DWORD error = ::GetLastError();
        LOGW(LOG_WARNING, L"OnSetBrowserSetting failed, error is %d\n", static_cast<int>(error));
        LOGW(LOG_WARNING, L"OnSetBrowserSetting: return false\n");
        if (before != 1) dialUp ? setting.OnSetResumeFlagBVDial(0) : setting.OnSetResumeFlag(0);
        return 0;
    }
    RefreshSettings(false);
    return 1;
}

// One resume-flag key of an existing Proxy.ini set to a value.
int32_t WriteFlags(const wchar_t* writer, std::vector<ProxyIni::IntKey> keys, uint32_t flag) {
    const std::wstring path = ProxyIni::IniPath(kProxyConfDirVPN);
    const ProxyIni::UpdateResult result =
        ProxyIni::Update(path, writer, ProxyIni::Create::ExistingOnly, [&](ProxyIni::Editor& e) {
            for (const ProxyIni::IntKey& key : keys) e.Set(key, static_cast<int>(flag));
        });
    if (result == ProxyIni::UpdateResult::Missing) {
        LOGW(LOG_WARNING, L"%s: file %s is not exist\n", writer, path.c_str());
        return 0;
    }
    if (result != ProxyIni::UpdateResult::Saved) {
        LOGW(LOG_WARNING, L"%s failed to write to disk, error is %d\n", writer,
             static_cast<int>(::GetLastError()));
        return 0;
    }
    return 1;
}

}  // namespace

int32_t CBrowserProxySetting::OnSetBrowserSetting(int32_t dialUp) {
    const int port = GetProxyListenPort();
    if (port == kNoProxyListenPort) return 0;
    return PointAtScript(*this, dialUp != 0, FormatA(kLocalPacUrlFormat, port, "Proxy.pac"));
}

int32_t CBrowserProxySetting::OnSetBrowserSetting(const char* autoConfigUrl) {
    return PointAtScript(*this, false, autoConfigUrl ? autoConfigUrl : "");
}

void CBrowserProxySetting::OnClearIEProxySettings(const wchar_t* connectionName) {
    LOGW(LOG_INFO, L"OnClearIEProxySettings start...\n");
    if (!ProxySettingsStore().Set(connectionName ? connectionName : L"", DirectWithEmptyTexts(1),
                                  OptionForm::Wide)) {
        LOGW(LOG_ERROR, L"OnClearIEProxySettings: InternetSetOption failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        return;
    }
    LOGW(LOG_INFO, L"InternetSetOption: INTERNET_OPTION_PER_CONNECTION_OPTION success\n");
    RefreshSettings(true);
}

bool ReadSavedUserIESettings(ProxyIni::IECapture& saved, size_t urlUnits, size_t bypassUnits) {
    LOGW(LOG_INFO, L"GetSavedUserIEProxySettings, start\n");
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) {
        LOGW(LOG_WARNING, L"GetSavedUserIEProxySettings: file %s is not exist.\n", ini.Path().c_str());
        return false;
    }
    saved = ProxyIni::ReadSavedIESettings(ini, urlUnits, bypassUnits);
    LOGW(LOG_INFO,
         L"GetSavedUserIEProxySettings: auto flag=%d, proxy flag=%d, script=%s, server=%s, bypass=%s\n",
         static_cast<int>(saved.autoDiscoveryFlags), static_cast<int>(saved.flags),
         saved.script.c_str(), saved.server.c_str(), saved.bypass.c_str());
    return true;
}

int32_t CBrowserProxySetting::GetSavedUserIEProxySettings(uint32_t* autoDiscoveryFlags,
                                                          uint32_t* flags, wchar_t* script,
                                                          wchar_t* server, wchar_t* bypass,
                                                          wchar_t* detectedUrl) {
    ProxyIni::IECapture saved;
    if (!ReadSavedUserIESettings(saved, ProxyIni::kUrlUnits, ProxyIni::kBypassUnits)) return 0;
    if (autoDiscoveryFlags) *autoDiscoveryFlags = saved.autoDiscoveryFlags;
    if (flags) *flags = saved.flags;
    CopyCut(script, ProxyIni::kUrlUnits, saved.script);
    CopyCut(detectedUrl, ProxyIni::kUrlUnits, saved.autoUrl);
    CopyCut(bypass, ProxyIni::kBypassUnits, saved.bypass);
    CopyCut(server, ProxyIni::kUrlUnits, saved.server);
    return 1;
}

bool CBrowserProxySetting::OnResumeIE(bool onlyIE) {
    // Whole texts: a list cut to a reader's buffer would stay cut in the
    // user's settings.
    ProxyIni::IECapture saved;
    if (!ReadSavedUserIESettings(saved, ProxyIni::kWholeValue, ProxyIni::kWholeValue)) {
        LOGW(LOG_WARNING, L"GetSavedUserIEProxySettings failed\n");
        return false;
    }
    LOGW(LOG_INFO, L"GetSavedUserIEProxySettings success\n");
    DWORD flags = saved.flags;
    if (flags == 0) flags = PROXY_TYPE_DIRECT;
    if (flags == PROXY_TYPE_DIRECT && saved.autoDiscoveryFlags == 5) flags = kDirectAndDetect;
    ConnectionProxyOptions options;
    options.autoConfigUrl = saved.script;
    options.autoDiscoveryFlags = saved.autoDiscoveryFlags;
    options.flags = flags;
    options.proxyServer = saved.server;
    options.proxyBypass = saved.bypass;
    if (!ProxySettingsStore().Set(L"", options, OptionForm::Wide)) {
        LOGW(LOG_ERROR, L"OnResume: InternetSetOption failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        return false;
    }
    LOGW(LOG_INFO, L"InternetSetOption: INTERNET_OPTION_PER_CONNECTION_OPTION success\n");
    RefreshSettings(true);
    if (onlyIE) {
        // The LAN-only restore undoes the whole of a LAN change, so nothing
        // is left for a later restore to put back.
        OnSetResumeFlag(0);
        return true;
    }
    UnsetPPPInsideProxy();
    RestoreProxyPacFile();
    return true;
}

void CBrowserProxySetting::OnResumeIEDial() {
    LOGW(LOG_INFO, L"OnResumeIEDial start\n");
    IProxySettingsStore& store = ProxySettingsStore();
    if (!store.Set(kVpnDialUpEntry, DirectWithEmptyTexts(0), OptionForm::Wide)) {
        LOGW(LOG_ERROR, L"OnResumeIEDial: InternetSetOption failed, error is %d\n",
             static_cast<int>(::GetLastError()));
    } else {
        LOGW(LOG_INFO, L"OnResumeIEDial: INTERNET_OPTION_PER_CONNECTION_OPTION success\n");
    }
    if (!store.SettingsChanged()) {
        LOGW(LOG_ERROR, L"OnResumeIEDial: failed to set INTERNET_OPTION_SETTINGS_CHANGED option\n");
    } else {
        LOGW(LOG_INFO, L"OnResumeIEDial: INTERNET_OPTION_SETTINGS_CHANGED success\n");
    }
    if (!store.Refresh()) {
        LOGW(LOG_ERROR, L"OnResumeIEDial: failed to set INTERNET_OPTION_REFRESH option\n");
    } else {
        LOGW(LOG_INFO, L"OnResumeIEDial: INTERNET_OPTION_REFRESH success\n");
    }
    RestoreProxyPacFile();
}

void RestoreProxyPacFile() {
    const std::wstring backup = ProxyIni::BackupPacPath(), target = ProxyIni::PacPath();
    if (::GetFileAttributesW(backup.c_str()) != INVALID_FILE_ATTRIBUTES) {
        LOGW(LOG_INFO, L"file %s exist\n", backup.c_str());
        if (!::CopyFileW(backup.c_str(), target.c_str(), FALSE)) {
            LOGW(LOG_ERROR, L"copy file from %s to %s failed, error is %d\n", backup.c_str(),
                 target.c_str(), static_cast<int>(::GetLastError()));
            return;
        }
        if (!RemoveFile(backup.c_str())) {
            LOGW(LOG_WARNING, L"remove file %s failed, error is %d\n", backup.c_str(),
                 static_cast<int>(::GetLastError()));
        }
        return;
    }
    LOGW(LOG_INFO, L"file %s not exist\n", backup.c_str());
    if (!RemoveFile(target.c_str())) {
        LOGW(LOG_WARNING, L"remove file %s failed, error is %d\n", target.c_str(),
             static_cast<int>(::GetLastError()));
    }
}

bool CBrowserProxySetting::OnResume() {
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) {
        LOGW(LOG_WARNING, L"OnResume: file %s is not exist.\n", ini.Path().c_str());
        return false;
    }
    bool restored = true;
    const int ieFlag = ini.Get(ProxyIni::Key::IEProxyShouldResume, 0);
    LOGW(LOG_INFO, L"OnResumeIE: flag: %d\n", ieFlag);
    if (ieFlag == 1) restored = OnResumeIE(false) && restored;
    const int ffFlag = ini.Get(ProxyIni::Key::FFProxyShouldResume, 0);
    LOGW(LOG_INFO, L"OnResumeFF: flag: %d\n", ffFlag);
    if (ffFlag == 1) restored = OnResumeFF() && restored;
    return restored;
}

void CBrowserProxySetting::OnResumeBVLan() {
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) {
        LOGW(LOG_WARNING, L"OnResumeBVLan: file %s is not exist.\n", ini.Path().c_str());
        return;
    }
    const int flag = ini.Get(ProxyIni::Key::IEProxyShouldResumeDial, 0);
    LOGW(LOG_INFO, L"OnResumeBVLan: flag: %d\n", flag);
    if (flag == 1) OnResumeIEDial();
}

void CBrowserProxySetting::OnClear(uint32_t folderKind) {
    // The captured settings are the only copy of the user's while a restore
    // is still pending.
    const ProxyIni::Reader ini(ProxyIni::IniPath(folderKind));
    if (ini.Exists() && RestorePending(ini)) {
        LOGW(LOG_WARNING, L"OnClear: a restore is pending, %s is kept\n", ini.Path().c_str());
        return;
    }
    if (!ProxyIni::ClearCapturedSettings(folderKind)) return;
    RemoveFile(ProxyIni::AutoPacPath().c_str());
}

int32_t CBrowserProxySetting::OnSetResumeFlag(uint32_t flag) {
    // The PAC generator changes the LAN settings also when it changes
    // Firefox's, so a recorded Firefox change needs both put back; once a
    // restore is done, neither is left pending.
    if (IfFFBrowserProxySettingNeedChange() == 1 || flag == 0) {
        return WriteFlags(L"OnSetResumeFlag",
                          {ProxyIni::Key::FFProxyShouldResume, ProxyIni::Key::IEProxyShouldResume},
                          flag);
    }
    return WriteFlags(L"OnSetResumeFlag", {ProxyIni::Key::IEProxyShouldResume}, flag);
}

int32_t CBrowserProxySetting::OnSetResumeFlagBVDial(uint32_t flag) {
    return WriteFlags(L"OnSetResumeFlagBVDial", {ProxyIni::Key::IEProxyShouldResumeDial}, flag);
}

int32_t CBrowserProxySetting::IsNeedResume() {
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) {
        LOGW(LOG_WARNING, L"IsNeedResume: file %s is not exist.\n", ini.Path().c_str());
        return 0;
    }
    ProxyIni::IntKey key = ProxyIni::Key::IEProxyShouldResume;
    if (IfFFBrowserProxySettingNeedChange() == 1) {
        LOGW(LOG_INFO, L"FFBrowserProxySettingNeedChange true\n");
        key = ProxyIni::Key::FFProxyShouldResume;
    } else {
        LOGW(LOG_INFO, L"IEBrowserProxySettingNeedChange true\n");
    }
    const int value = ini.Get(key, 0);
    LOGW(LOG_INFO, L"IsNeedResume: iFlag: %d\n", value);
    // Either flag left set means settings of this program are still live;
    // OnResume puts back each one that is set.
    return value == 1 || RestorePending(ini) ? 1 : 0;
}

int32_t CBrowserProxySetting::IsNeedResumeBVDial() {
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) {
        LOGW(LOG_WARNING, L"IsNeedResumeBVDial: file %s is not exist.\n", ini.Path().c_str());
        return 0;
    }
    const int value = ini.Get(ProxyIni::Key::IEProxyShouldResumeDial, 0);
    LOGW(LOG_INFO, L"IsNeedResumeBVDial: iFlag: %d\n", value);
    return value == 1 ? 1 : 0;
}

void UnsetPPPInsideProxy() {
    if (g_PPPConnectionList.empty()) {
        LOGW(LOG_INFO, L"UnsetPPPInsideProxy: don't have ppp adapter\n");
        return;
    }
    for (const std::string& name : g_PPPConnectionList) {
        ConnectionProxyOptions options;
        options.autoDiscoveryFlags = 0;
        options.flags = PROXY_TYPE_DIRECT;
        if (ProxySettingsStore().Set(WideFromCodePage(name, CP_THREAD_ACP), options,
                                     OptionForm::Narrow)) {
            LOGA(LOG_INFO, "UnsetPPPInsideProxy: unset proxy for %s successful\n", name.c_str());
        } else {
            LOGA(LOG_ERROR, "UnsetPPPInsideProxy: unset proxy for %s failed\n", name.c_str());
        }
    }
}

bool ResumeChangedSettings(CBrowserProxySetting& setting) {
    bool clean = true;
    if (setting.IsNeedResume()) {
        if (setting.OnResume() && setting.OnSetResumeFlag(0)) {
            LOGW(LOG_INFO, L"ResumeChangedSettings: the user's settings are back\n");
        } else {
            LOGW(LOG_WARNING,
                 L"ResumeChangedSettings: restore failed, the resume flag is kept and nothing is cleared\n");
            clean = false;
        }
    }
    if (setting.IsNeedResumeBVDial()) {
        setting.OnResumeBVLan();
        setting.OnSetResumeFlagBVDial(0);
    }
    if (!clean) return false;
    setting.OnClear(kProxyConfDirVPN);
    return true;
}
