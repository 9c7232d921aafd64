// The user's proxy for the gateway, found before the program talks to the
// gateway or starts the client: a fresh capture of the Internet Explorer
// settings on a worker thread, then the process-wide ProxyInfo filled from
// Proxy.ini; the same proxy handed to the installed client through the
// registry; and the receiving end of the "saveproxy" hand-off.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The gateway host of the current command (at most 259 characters).
extern wchar_t g_VsiteHost[260];

// "Global\SaveFinished{...}": set by the worker when its capture is saved,
// for waiters in other processes (the name has no closing brace).
constexpr wchar_t kSaveFinishedEventName[] =
    L"Global\\SaveFinished{631094A1-F766-4601-83CD-6DA91B6E4C58";
// How long the main thread waits for the worker, pumping its messages.
constexpr DWORD kSaveWorkerWaitMs = 30000;

// Captures afresh (restoring first what an earlier tunnel left changed) and
// fills g_ProxyInfo: the reset state, the saved outside credentials, and
// the outside proxy when one applies to the gateway. A worker that outlives
// the wait goes on; the process then does not end inside one of its saves.
void DetectProxyInfo(const wchar_t* gatewayHost);
// The worker: restore, reset and capture, then the finished event.
DWORD WINAPI SaveProxySettingsThreadProc(void* unused);

// Writes the outside proxy ("host:port", the raw server text, or empty) as
// AutoProxy for the installed client.
void SaveProxyInfoToReg();
void SaveProxyInfoForBV(const wchar_t* value);

// Run at process exit while a worker that outlived the wait is still
// going: takes the Proxy.ini lock (bounded), so the process ends between the
// worker's saves, never inside one.
void HoldProxyIniForExit();

class HOXInit {
public:
    // Evaluates the script for the gateway and stores the answer (empty when
    // there is none) as the tunnel proxy in Proxy.ini, with
    // Proxy_Script_Running 1, for the copy that waits for it.
    void OnSave(const wchar_t* scriptUrl, const wchar_t* gatewayHost);
};
