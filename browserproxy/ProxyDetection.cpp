#include <winsock2.h>
#include <windows.h>
#include <shlwapi.h>

#include "ProxyDetection.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "BrowserProxySetting.h"
#include "BrowserProxyState.h"
#include "BypassList.h"
#include "CommonFunction.h"
#include "Loglib.h"
#include "Owners.h"
#include "ProxyCredentials.h"
#include "ProxyInfo.h"
#include "ProxyIni.h"
#include "ProxyString.h"
#include "SharedNames.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"

wchar_t g_VsiteHost[260] = {};

namespace {

constexpr size_t kProxyHostMaxChars = 126;

// Workers started and not yet ended.
std::atomic<int> g_runningWorkers{0};

// A port text as detection reads it: leading decimal digits, 1 to 65535;
// 0 otherwise.
uint16_t PortFromText(const std::wstring& text) {
    const std::string narrow = CodePageFromWide(text, CP_THREAD_ACP);
    if (narrow.empty() || narrow[0] < '0' || narrow[0] > '9') return 0;
    unsigned long value = 0;
    for (char c : narrow) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) return 0;
    }
    return static_cast<uint16_t>(value);
}

// The named proxy of a server text: the host and port that apply to the
// tunnel (an HTTPS connection), or an empty host.
void ServerTextProxy(const std::wstring& server, std::wstring& host, std::wstring& port) {
    std::string narrowHost;
    uint16_t value = 0;
    if (SplitProxyText(CodePageFromWide(server, CP_THREAD_ACP), narrowHost, value) !=
        ProxyTextKind::Found) {
        return;
    }
    host = WideFromCodePage(narrowHost, CP_THREAD_ACP);
    port = value ? FormatW(L"%d", value) : L"";
}

// What detection reads of Proxy.ini: the captured IE proxy and the tunnel
// proxy of the last script evaluation.
struct DetectionState {
    bool exists = false;
    ProxyIni::IEProxyForDetection saved;
    ProxyIni::TunnelProxy tunnel;
};

DetectionState ReadDetectionState() {
    DetectionState state;
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    state.exists = ini.Exists();
    if (!state.exists) return state;
    // The server text whole: a list cut inside the entry that is picked
    // from it would name another port or no proxy.
    state.saved =
        ProxyIni::ReadIEProxyForDetection(ini, ProxyIni::kBypassUnits, ProxyIni::kWholeValue);
    state.tunnel = ProxyIni::ReadTunnelProxy(ini);
    return state;
}

void RegisterExitHold() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(HoldProxyIniForExit); });
}

}  // namespace

void HoldProxyIniForExit() {
    if (g_runningWorkers.load() == 0) return;
    const std::wstring path = ProxyIni::IniPath(kProxyConfDirVPN);
    if (path.empty()) return;
    // Kept until the process ends: the worker's next save waits for it and
    // never starts.
    HANDLE lock = ::CreateMutexW(nullptr, FALSE, ProxyIni::LockNameFor(path).c_str());
    if (!lock) return;
    LOGW(LOG_INFO, L"DetectProxyInfo: the proxy-saving worker still runs, exit waits for its save\n");
    Timing::WaitForObject(lock, ProxyIni::kLockWaitMs);
}

DWORD WINAPI SaveProxySettingsThreadProc(void*) {
    CBrowserProxySetting setting{};
    // A restore that failed leaves this program's settings live: capturing
    // them now would record the tunnel's script as the user's own.
    if (ResumeChangedSettings(setting)) {
        setting.OnSave(true, L"", g_VsiteHost, false, kProxyConfDirVPN);
    } else {
        LOGW(LOG_WARNING, L"Standalone: earlier settings not restored, nothing captured\n");
    }
    Owners::UniqueHandle finished(::OpenEventW(EVENT_ALL_ACCESS, FALSE, kSaveFinishedEventName));
    if (finished) {
        LOGW(LOG_INFO, L"Standalone: send message to save finished...\n");
        ::SetEvent(finished.get());
    } else {
        LOGW(LOG_WARNING, L"Standalone: the hEvent is NULL\n");
    }
    g_runningWorkers.fetch_sub(1);
    return 0;
}

void DetectProxyInfo(const wchar_t* gatewayHost) {
    const std::wstring host = gatewayHost ? gatewayHost : L"";
    CopyCut(g_VsiteHost, sizeof(g_VsiteHost) / sizeof(g_VsiteHost[0]), host);
    LOGW(LOG_INFO, L"DetectProxyInfo: detect proxy info start, vsite host=%s.\n", g_VsiteHost);

    // The event is for waiters in other processes; this thread waits for
    // the worker itself, so a signal meant for someone else cannot end the
    // wait early.
    Owners::UniqueHandle finished(::CreateEventW(nullptr, FALSE, FALSE, kSaveFinishedEventName));
    // A worker that outlives the wait may be anywhere in its reset and
    // capture; detection then goes on with the state from before it.
    const DetectionState before = ReadDetectionState();
    bool workerEnded = false;
    g_runningWorkers.fetch_add(1);
    Owners::UniqueHandle worker(
        ::CreateThread(nullptr, 0, SaveProxySettingsThreadProc, nullptr, 0, nullptr));
    if (!worker) {
        g_runningWorkers.fetch_sub(1);
        LOGW(LOG_ERROR, L"DetectProxyInfo: the proxy-saving worker cannot start, error is %d\n",
             static_cast<int>(::GetLastError()));
    } else if (Timing::WaitWithMessageLoop(worker.get(), kSaveWorkerWaitMs, QS_ALLINPUT)) {
        workerEnded = true;
    } else {
        LOGW(LOG_WARNING, L"DetectProxyInfo: the proxy-saving worker did not end in %u ms\n",
             static_cast<unsigned>(kSaveWorkerWaitMs));
        RegisterExitHold();
    }
    worker.reset();

    ResetProxyInfo(g_ProxyInfo);
    wchar_t user[kProxyInfoTextUnits] = {}, password[kProxyInfoTextUnits] = {},
            domain[kProxyInfoTextUnits] = {};
    if (GetProxyInfo(user, password, domain, 1, kProxyConfDirVPN) == 1) {
        SetProxyInfoText(g_ProxyInfo.proxyUser, user);
        SetProxyInfoText(g_ProxyInfo.proxyPassword, password);
        SetProxyInfoText(g_ProxyInfo.proxyDomain, domain);
    }
    ::SecureZeroMemory(password, sizeof(password));

    const DetectionState state = workerEnded ? ReadDetectionState() : before;
    std::wstring proxyHost, proxyPort;
    bool candidate = false;
    bool bypassed = false;
    if (!state.exists) {
        LOGW(LOG_INFO, L"GetSavedUserIEProxySettings: No proxy setting on IE.\n");
    } else {
        const ProxyIni::IEProxyForDetection& saved = state.saved;
        LOGW(LOG_INFO, L"GetSavedUserIEProxySettings: IE proxy setting flag=%d.\n", saved.flags);
        if (saved.flags & 2) {
            ServerTextProxy(saved.server, proxyHost, proxyPort);
            candidate = true;
        } else if (saved.flags & (4 | 8)) {
            proxyHost = state.tunnel.host;
            proxyPort = state.tunnel.port;
            candidate = true;
        }
        LOGW(LOG_INFO, L"Get proxy info from ini file finished, host:%s, port:%s.\n",
             proxyHost.c_str(), proxyPort.c_str());
        LOGW(LOG_INFO, L"DetectProxyInfo: IE proxy setting ByPass info=%s, host info=%s.\n",
             saved.bypass.c_str(), g_VsiteHost);
        if (IncludeInBypass(saved.bypass.c_str(), g_VsiteHost)) {
            LOGW(LOG_INFO,
                 L"DetectProxyInfo:%s is in the proxy bypass list, so will be not used proxy\n",
                 g_VsiteHost);
            bypassed = true;
        }
    }
    const uint16_t port = PortFromText(proxyPort);
    if (candidate && !proxyHost.empty() && port > 0 && !bypassed &&
        SetProxyInfoText(g_ProxyInfo.proxyHost, proxyHost, kProxyHostMaxChars)) {
        g_ProxyInfo.bUseProxy = 1;
        g_ProxyInfo.proxySetType = kProxySetNamed;
        g_ProxyInfo.proxyPort = port;
    }
    LOGW(LOG_INFO,
         L"Start Brevanto vpn info: proxyAuth:%d, proxySetType:%d, proxyHost:%s, proxyPort:%d,proxy username:%s, proxy domain:%s\n",
         g_ProxyInfo.bUseProxy, g_ProxyInfo.proxySetType, g_ProxyInfo.proxyHost,
         g_ProxyInfo.proxyPort, g_ProxyInfo.proxyUser, g_ProxyInfo.proxyDomain);
}

void SaveProxyInfoForBV(const wchar_t* value) {
    const std::wstring text = value ? value : L"";
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    const LSTATUS status =
        ::SHSetValueW(HKEY_CURRENT_USER, kVpn2Key, L"AutoProxy", REG_SZ, text.c_str(), bytes);
    LOGW(LOG_INFO, L"SaveProxyInfoForBV finished, ret:%d, value:%s.\n", static_cast<int>(status),
         text.c_str());
    if (Is64BitOS()) {
        ::SHSetValueW(HKEY_CURRENT_USER, kVpn2KeyWow64, L"AutoProxy", REG_SZ, text.c_str(), bytes);
    }
}

void SaveProxyInfoToReg() {
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) {
        LOGW(LOG_WARNING, L"SaveProxyInfoToReg: file %s is not exist.\n", ini.Path().c_str());
        SaveProxyInfoForBV(L"");
        return;
    }
    // The bypass list is read as whole as detection reads it, so the client
    // is never told to use a proxy that this program bypasses.
    const ProxyIni::IEProxyForDetection saved =
        ProxyIni::ReadIEProxyForDetection(ini, ProxyIni::kBypassUnits);
    LOGW(LOG_INFO, L"SaveProxyInfoToReg: IE proxy setting ByPass info=%s, host info=%s.\n",
         saved.bypass.c_str(), g_VsiteHost);
    if (IncludeInBypass(saved.bypass.c_str(), g_VsiteHost)) {
        LOGW(LOG_INFO,
             L"SaveProxyInfoToReg:%s is in the proxy bypass list, so will be not used proxy\n",
             g_VsiteHost);
        SaveProxyInfoForBV(L"");
        return;
    }
    LOGW(LOG_INFO, L"SaveProxyInfoToReg: IE proxy setting flag=%d.\n", saved.flags);
    std::wstring value;
    if (saved.flags & 2) {
        value = saved.server;
    } else if (saved.flags & (4 | 8)) {
        const ProxyIni::TunnelProxy tunnel = ProxyIni::ReadTunnelProxy(ini);
        const int port = ProxyIni::ReadTunnelProxyPortNumber(ini);
        if (!tunnel.host.empty() && port >= 1 && port <= 65535) {
            value = FormatW(L"%s:%d", tunnel.host.c_str(), port);
        }
    } else {
        LOGW(LOG_INFO, L"SaveProxyInfoToReg: No proxy setting on IE.\n");
    }
    SaveProxyInfoForBV(value.c_str());
}

void HOXInit::OnSave(const wchar_t* scriptUrl, const wchar_t* gatewayHost) {
    const std::string url = CodePageFromWide(scriptUrl ? scriptUrl : L"", CP_THREAD_ACP);
    const std::string gateway = CodePageFromWide(gatewayHost ? gatewayHost : L"", CP_THREAD_ACP);
    const std::wstring path = ProxyIni::IniPath(kProxyConfDirVPN);
    if (!ProxyIni::CreateFileIfMissing(path, L"HOXInit::OnSave")) return;

    CBrowserProxySetting setting{};
    char host[kProxyHostBufferBytes] = {};
    uint16_t port = 0;
    uint8_t socks = 0;
    ProxyIni::TunnelProxy tunnel;
    tunnel.scriptRunning = 1;
    if (setting.ParseProxyHostAndPort(url.c_str(), gateway.c_str(), host, &port, &socks, 0) == 1) {
        LOGA(LOG_INFO, "IE ParseProxyHostAndPortForURL: success:%s:%d\n", host, port);
        tunnel.host = WideFromCodePage(host, CP_THREAD_ACP);
        tunnel.port = FormatW(L"%d", port);
    } else {
        LOGW(LOG_WARNING, L"IE ParseProxyHostAndPortForURL failed\n");
    }
    // Written also without an answer, so the waiting copy sees one.
    const ProxyIni::UpdateResult result =
        ProxyIni::Update(path, L"HOXInit::OnSave", ProxyIni::Create::CreateIfMissing,
                         [&](ProxyIni::Editor& e) { ProxyIni::WriteTunnelProxy(e, tunnel); });
    if (result == ProxyIni::UpdateResult::NotSaved) {
        LOGW(LOG_WARNING, L"HOXInit::OnSave: failed to write to disk, error is %d\n",
             static_cast<int>(::GetLastError()));
    }
}
