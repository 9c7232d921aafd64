// The platform's PAC engine (jsproxy.dll) as the tests' oracle: loads a
// script file and answers FindProxyForURL for one URL and host. A script
// that does not parse, or whose entry function throws, gives no answer.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <optional>
#include <string>

#include "AutoProxyCallbacks.h"

namespace PacEngine {

// The answer for (url, host), or nothing when the engine cannot be loaded or
// the script does not run; why goes to error.
inline std::optional<std::string> Evaluate(const std::string& scriptPath, const std::string& url,
                                           const std::string& host, std::string* error = nullptr) {
    const auto fail = [error](const std::string& why) {
        if (error) *error = why + " (error " + std::to_string(::GetLastError()) + ")";
        return std::optional<std::string>();
    };
    HMODULE engine = ::LoadLibraryW(L"jsproxy.dll");
    if (!engine) return fail("jsproxy.dll cannot be loaded");
    struct Unload {
        HMODULE module;
        ~Unload() { ::FreeLibrary(module); }
    } unload{engine};
    const auto initialize = reinterpret_cast<pfnInternetInitializeAutoProxyDll>(
        reinterpret_cast<void*>(::GetProcAddress(engine, "InternetInitializeAutoProxyDll")));
    const auto getProxyInfo = reinterpret_cast<pfnInternetGetProxyInfo>(
        reinterpret_cast<void*>(::GetProcAddress(engine, "InternetGetProxyInfo")));
    const auto deinitialize = reinterpret_cast<pfnInternetDeInitializeAutoProxyDll>(
        reinterpret_cast<void*>(::GetProcAddress(engine, "InternetDeInitializeAutoProxyDll")));
    if (!initialize || !getProxyInfo || !deinitialize) return fail("engine entry points missing");
    std::string file = scriptPath;
    auto* helpers = reinterpret_cast<AutoProxyHelperFunctions*>(
        const_cast<AutoProxyHelperRecord*>(&g_AutoProxyHelpers));
    if (!initialize(0, file.data(), nullptr, helpers, nullptr)) return fail("script not loaded");
    std::string urlCopy = url, hostCopy = host;
    char* answer = nullptr;
    DWORD length = 0;
    const BOOL ran = getProxyInfo(urlCopy.c_str(), static_cast<DWORD>(urlCopy.size() + 1),
                                  hostCopy.data(), static_cast<DWORD>(hostCopy.size() + 1),
                                  &answer, &length);
    std::optional<std::string> result;
    if (ran && answer) result = std::string(answer, ::strnlen(answer, length));
    if (answer) ::GlobalFree(answer);
    deinitialize(nullptr, 0);
    if (!ran) return fail("script did not run");
    return result;
}

}  // namespace PacEngine
