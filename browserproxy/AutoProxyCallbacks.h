// The name-resolution and subnet callbacks that the automatic-proxy script
// engine calls while it evaluates a PAC script, and the table it gets them
// in. They keep no state and may run on any thread.
#pragma once

#include <windows.h>

// The platform's table: the four helpers, then five extended slots the
// engine must not need (left empty).
struct AutoProxyHelperTable {
    BOOL(WINAPI* IsResolvable)(LPSTR host);
    DWORD(WINAPI* GetIPAddress)(LPSTR address, LPDWORD size);
    DWORD(WINAPI* ResolveHostName)(LPSTR host, LPSTR address, LPDWORD size);
    BOOL(WINAPI* IsInNet)(LPSTR address, LPSTR destination, LPSTR mask);
    void* extended[5];
};
// The record the engine is handed: its only field points to the table.
struct AutoProxyHelperRecord {
    const AutoProxyHelperTable* table;
};
extern const AutoProxyHelperRecord g_AutoProxyHelpers;

// 1 when the host resolves.
BOOL WINAPI IsResolvable(LPSTR host);
// This machine's own address as text: 0, or 12004 when its name cannot be
// read, else as ResolveHostName.
DWORD WINAPI GetIPAddress(LPSTR address, LPDWORD size);
// A numeric host is copied (122 and the size needed when it does not fit);
// a name gives its first IPv4 address as text. 0, 8 (no memory) or 12007.
DWORD WINAPI ResolveHostName(LPSTR host, LPSTR address, LPDWORD size);
// 1 when the dotted address masked with the mask equals the destination; 0
// when the address or the destination is not a dotted IPv4 address.
BOOL WINAPI IsInNet(LPSTR address, LPSTR destination, LPSTR mask);
