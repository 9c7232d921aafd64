// The proxy that the user's PAC script names for the tunnel to the gateway:
// a stored earlier result, an installed copy of the program that evaluates
// it (COM-server mode), or the platform's script engine here.
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>
#include <urlmon.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "AutoProxyCallbacks.h"
#include "BrowserProxySetting.h"
#include "CommonFunction.h"
#include "Loglib.h"
#include "Owners.h"
#include "ProxyIni.h"
#include "ProxyString.h"
#include "SharedNames.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"

namespace {

constexpr DWORD kSaveProxyWaitMs = 30000;
constexpr size_t kEngineTextBytes = 260;

using InitializeFn = pfnInternetInitializeAutoProxyDll;
using GetProxyInfoFn = pfnInternetGetProxyInfo;
using DeInitializeFn = pfnInternetDeInitializeAutoProxyDll;

// The stored script result: true (with host and port) only when a script
// result is recorded; found tells whether it names a host.
bool ReadStoredResult(const ProxyIni::Reader& ini, char* host, uint16_t* port, bool& found) {
    const ProxyIni::TunnelProxy stored = ProxyIni::ReadTunnelProxy(ini);
    LOGA(LOG_INFO, "ParseProxyHostAndPortForURL:  proxy script running is %d\n",
         stored.scriptRunning);
    if (stored.scriptRunning != 1) return false;
    const std::string narrowHost = CodePageFromWide(stored.host, CP_THREAD_ACP);
    const std::string narrowPort = CodePageFromWide(stored.port, CP_THREAD_ACP);
    found = !narrowHost.empty() && narrowHost.size() < kProxyHostBufferBytes;
    uint16_t value = 0;
    if (found) {
        std::memcpy(host, narrowHost.c_str(), narrowHost.size() + 1);
        value = static_cast<uint16_t>(std::strtoul(narrowPort.c_str(), nullptr, 10));
        if (port) *port = value;
    }
    LOGA(LOG_INFO, "ParseProxyHostAndPortForURL: find %s:%d\n", found ? host : "", value);
    return true;
}

bool FileExistsA(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The temporary file that receives the script; removed with the object.
class ScriptFile {
public:
    ScriptFile() {
        char folder[MAX_PATH] = {};
        char name[MAX_PATH] = {};
        const DWORD length = ::GetTempPathA(MAX_PATH, folder);
        if (length == 0 || length >= MAX_PATH) return;
        if (::GetTempFileNameA(folder, "pro", 0, name) == 0) return;
        // Only the unique name is wanted: the download creates the file.
        ::DeleteFileA(name);
        m_path = name;
    }
    ~ScriptFile() {
        if (!m_path.empty()) ::DeleteFileA(m_path.c_str());
    }
    ScriptFile(const ScriptFile&) = delete;
    ScriptFile& operator=(const ScriptFile&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Keeps a copy of a downloaded script for the front door's script command.
void KeepDownloadedCopy(const std::string& temporary) {
    const std::wstring source = WideFromCodePage(temporary, CP_THREAD_ACP);
    const std::wstring target = ProxyIni::AutoPacPath();
    if (const size_t slash = target.rfind(L'\\'); slash != std::wstring::npos) {
        ::SHCreateDirectoryExW(nullptr, target.substr(0, slash).c_str(), nullptr);
    }
    if (!target.empty() && ::CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        LOGW(LOG_INFO, L"copy file %s to %s success\n", source.c_str(), target.c_str());
    } else {
        LOGW(LOG_INFO, L"copy file %s to %s failed,error:%d\n", source.c_str(), target.c_str(),
             static_cast<int>(::GetLastError()));
    }
}

// Brings the script into the temporary file: downloaded, fetched again
// through WinHTTP, or copied from a local path. False only when the road
// must end here (an http:// script that neither download could fetch).
bool FetchScript(const std::string& url, const std::string& temporary) {
    const HRESULT hr = ::URLDownloadToFileA(nullptr, url.c_str(), temporary.c_str(), 0, nullptr);
    if (SUCCEEDED(hr)) {
        LOGA(LOG_INFO, "ParseProxyAndSet: script downloaded.\n");
        KeepDownloadedCopy(temporary);
        return true;
    }
    LOGA(LOG_INFO, "ParseProxyAndSet: script %s is not downloaded by URLDownloadToFileA, hr(0x%x).\n",
         url.c_str(), static_cast<unsigned>(hr));
    if (url.find("http://") != std::string::npos) {
        const std::wstring wideUrl = WideFromCodePage(url, CP_THREAD_ACP);
        const std::wstring wideFile = WideFromCodePage(temporary, CP_THREAD_ACP);
        if (DownloadToProxyConfFile(wideUrl.c_str(), wideFile.c_str()) != 1) {
            LOGA(LOG_INFO, "ParseProxyAndSet: script %s is not downloaded by WinHttpOpen\n",
                 url.c_str());
            return false;
        }
        KeepDownloadedCopy(temporary);
        return true;
    }
    std::string path;
    if (const size_t at = url.find("file://"); at != std::string::npos) {
        path = url.substr(at + 7, kEngineTextBytes - 1);
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
        LOGA(LOG_INFO, "ParseProxyAndSet: non-URL script transformed '%s'.\n", path.c_str());
    } else {
        path = url.substr(0, kEngineTextBytes - 1);
    }
    if (::CopyFileA(path.c_str(), temporary.c_str(), FALSE)) {
        LOGA(LOG_INFO, "ParseProxyAndSet: script was copied.\n");
    } else {
        LOGA(LOG_WARNING, "ParseProxyAndSet: failed to copy script %s to %s (%d).\n", path.c_str(),
             temporary.c_str(), static_cast<int>(::GetLastError()));
    }
    return true;
}

// The engine's answer for the gateway: 1 with a proxy, 0 for DIRECT or a
// malformed answer.
int32_t InterpretAnswer(const std::string& answer, char* host, uint16_t* port, uint8_t* socks) {
    // Only the first entry counts: "PROXY a:80; DIRECT" names a.
    const std::string first = answer.substr(0, answer.find(';'));
    if (first.size() > 5 && first.compare(0, 5, "PROXY") == 0) {
        LOGA(LOG_INFO, "ParseProxyAndSet: PROXY found.\n");
        return ParseProxyString(first.c_str() + 5, host, port);
    }
    if (first.size() > 5 && first.compare(0, 5, "SOCKS") == 0) {
        LOGA(LOG_INFO, "ParseProxyAndSet: SOCKS found.\n");
        if (socks) *socks = 1;
        return ParseProxyString(first.c_str() + 5, host, port);
    }
    if (first.find("DIRECT") != std::string::npos) {
        LOGA(LOG_INFO, "ParseProxyAndSet: no proxy == direct access.\n");
        return 0;
    }
    LOGA(LOG_ERROR, "ParseProxyAndSet: incorrectly formatted proxy string: '%s'.\n",
         answer.c_str());
    return 0;
}

// One evaluation of the script for "https://<gateway>" with the engine,
// loaded for this call only.
int32_t EvaluateScript(const char* scriptUrl, const char* gatewayHost, char* host, uint16_t* port,
                       uint8_t* socks) {
    Owners::UniqueLibrary engine(::LoadLibraryW(L"jsproxy.dll"));
    if (!engine) {
        LOGA(LOG_ERROR, "ParseProxyAndSet: failed to load jsproxy.dll: %d\n",
             static_cast<int>(::GetLastError()));
        return 0;
    }
    const auto initialize = reinterpret_cast<InitializeFn>(
        reinterpret_cast<void*>(::GetProcAddress(engine.get(), "InternetInitializeAutoProxyDll")));
    const auto getProxyInfo = reinterpret_cast<GetProxyInfoFn>(
        reinterpret_cast<void*>(::GetProcAddress(engine.get(), "InternetGetProxyInfo")));
    const auto deinitialize = reinterpret_cast<DeInitializeFn>(reinterpret_cast<void*>(
        ::GetProcAddress(engine.get(), "InternetDeInitializeAutoProxyDll")));
    if (!initialize || !getProxyInfo) {
        LOGA(LOG_ERROR, "ParseProxyAndSet: failed in GetProcAddress: %d\n",
             static_cast<int>(::GetLastError()));
        return 0;
    }
    const ScriptFile script;
    LOGA(LOG_INFO, "ParseProxyAndSet: script is being download to %s.\n", script.path().c_str());
    if (script.path().empty() || !FetchScript(scriptUrl, script.path())) return 0;
    if (!FileExistsA(script.path())) {
        LOGA(LOG_WARNING, "File %s is not exist\n", script.path().c_str());
        return 0;
    }
    std::string fileName = script.path();
    auto* helpers = reinterpret_cast<AutoProxyHelperFunctions*>(
        const_cast<AutoProxyHelperRecord*>(&g_AutoProxyHelpers));
    if (!initialize(0, fileName.data(), nullptr, helpers, nullptr)) {
        LOGA(LOG_WARNING, "ParseProxyAndSet: failed to init script file '%s', error:%d\n",
             fileName.c_str(), static_cast<int>(::GetLastError()));
        return 0;
    }
    // The engine keeps the script until it is told to let go; it must be
    // before the library is unloaded.
    struct EngineSession {
        DeInitializeFn deinitialize;
        ~EngineSession() {
            if (deinitialize) deinitialize(nullptr, 0);
        }
    } session{deinitialize};

    // The engine is given the lengths of real buffers of that size.
    char url[kEngineTextBytes] = {};
    char urlHost[kEngineTextBytes] = {};
    const std::string target = std::string("https://") + gatewayHost;
    std::memcpy(url, target.c_str(), std::min(target.size(), sizeof(url) - 1));
    std::memcpy(urlHost, gatewayHost, std::min(std::strlen(gatewayHost), sizeof(urlHost) - 1));
    LOGA(LOG_INFO, "ParseProxyAndSet: url '%s', host '%s'.\n", url, urlHost);
    char* answerText = nullptr;
    DWORD answerLength = 0;
    if (!getProxyInfo(url, sizeof(url), urlHost, sizeof(urlHost), &answerText, &answerLength)) {
        LOGA(LOG_ERROR, "ParseProxyAndSet: failed to execute script file '%s', error:%d.\n",
             fileName.c_str(), static_cast<int>(::GetLastError()));
        return 0;
    }
    Owners::UniqueGlobalMem answerOwner(answerText);
    const std::string answer =
        answerText ? std::string(answerText, ::strnlen(answerText, answerLength)) : std::string();
    LOGA(LOG_INFO, "ParseProxyAndSet: proxy: '%s'. 0x%x %d\n", answer.c_str(),
         static_cast<unsigned>(reinterpret_cast<uintptr_t>(answerText)),
         static_cast<int>(answerLength));
    return InterpretAnswer(answer, host, port, socks);
}

// Hands the evaluation to an installed copy, which stores its answer in
// Proxy.ini, and reads that answer back.
int32_t EvaluateInInstalledCopy(const char* scriptUrl, const char* gatewayHost, char* host,
                                uint16_t* port) {
    LOGA(LOG_INFO,
         "ParseProxyHostAndPortForURL: i am com server, i will call Tavrisk.exe to parse proxy info\n");
    Owners::UniqueHandle done(::CreateEventW(nullptr, FALSE, FALSE, kCompletionEventName));
    if (!done) {
        LOGA(LOG_WARNING, "SleepWithMessageLoop: hEvent is NULL, error is %d\n",
             static_cast<int>(::GetLastError()));
        return 0;
    }
    const std::wstring url = WideFromCodePage(scriptUrl, CP_THREAD_ACP);
    const std::wstring gateway = WideFromCodePage(gatewayHost, CP_THREAD_ACP);
    if (!HandleCOMService(url.c_str(), L"saveproxy", gateway.c_str(), false, 0, L"", 1, 0, 0,
                          L"", 0, L"", L"", L"")) {
        LOGA(LOG_ERROR, "DetectVPNAndInstall: install Grendal failed\n");
        return 0;
    }
    Timing::WaitForObject(done.get(), kSaveProxyWaitMs);
    LOGA(LOG_INFO, "i receive the event save proxy info finished\n");
    done.reset();
    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    bool found = false;
    return ReadStoredResult(ini, host, port, found) && found ? 1 : 0;
}

}  // namespace

int32_t CBrowserProxySetting::ParseProxyHostAndPort(const char* scriptUrl, const char* gatewayHost,
                                                    char* host, uint16_t* port, uint8_t* socks,
                                                    uint8_t comServer) {
    LOGA(LOG_INFO, "ParseProxyHostAndPort: non-URL script.\n");
    if (!scriptUrl || !gatewayHost || !host) return 0;

    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (ini.Exists()) {
        LOGW(LOG_WARNING, L"ParseProxyHostAndPortForURL: file %s exist.\n", ini.Path().c_str());
        bool found = false;
        if (ReadStoredResult(ini, host, port, found)) return found ? 1 : 0;
    }
    if (comServer) return EvaluateInInstalledCopy(scriptUrl, gatewayHost, host, port);

    const int32_t result = EvaluateScript(scriptUrl, gatewayHost, host, port, socks);
    LOGA(LOG_INFO, "ParseProxyHostAndPort: %s\n", result ? "success" : "failed");
    return result;
}
