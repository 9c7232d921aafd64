// The install, update and remove block of the front door: the install-manager
// service put on the machine from the gateway's cabinet, renewed or taken
// away, and the browser launch control removed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The block's arguments (argv[1] to argv[12]). The proxy fields count only
// with at least 11 arguments and a proxy flag of 1; the password needs 12,
// the domain 13. Numbers are decimal, 0 when they are not numbers.
struct InstallBlockArguments {
    std::wstring component;
    std::wstring host;
    uint16_t port = 0;
    std::wstring session;
    uint32_t languageId = 0;
    bool proxyFlag = false;
    std::wstring proxyHost;
    uint16_t proxyPort = 0;
    std::wstring proxyUser;
    std::wstring proxyPassword;
    std::wstring proxyDomain;
    // The flag is on and names a host.
    bool UseProxy() const { return proxyFlag && !proxyHost.empty(); }
};
InstallBlockArguments ParseInstallBlockArguments(int argc, const wchar_t* const* argv);

// The install manager's cabinet for a component ("Grendal" or "BVGrendal")
// and a native architecture; nullptr for any other component.
const wchar_t* InstallManagerCabinetName(const std::wstring& component, int nativeArchitecture);

// Client authentication switched on (HKLM "SOFTWARE\VPN\ClientAuthFlag"
// EnableClientAuth = 1) for the scope of an install or update that found it
// off; the value is put back exactly as it was (type and data), or deleted
// when there was none.
class ScopedClientAuthForOperation {
public:
    ScopedClientAuthForOperation();
    ~ScopedClientAuthForOperation();
    ScopedClientAuthForOperation(const ScopedClientAuthForOperation&) = delete;
    ScopedClientAuthForOperation& operator=(const ScopedClientAuthForOperation&) = delete;

    bool changed() const { return m_changed; }

private:
    bool m_changed = false;
    bool m_existed = false;
    DWORD m_type = 0;
    std::string m_data;
};
