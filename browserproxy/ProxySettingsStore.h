// The system's per-connection proxy settings (the LAN and each dial-up or
// VPN entry) and automatic proxy discovery, behind one narrow interface. The
// real store is WinINet's; tests install a store of their own, because the
// platform here keeps neither connection names nor auto-configuration URLs.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// The five per-connection options that every query and set carries. A set
// passes an absent text as a null value, which is not an empty text.
struct ConnectionProxyOptions {
    std::optional<std::wstring> autoConfigUrl;
    DWORD autoDiscoveryFlags = 0;
    DWORD flags = 1;  // PROXY_TYPE_DIRECT
    std::optional<std::wstring> proxyServer;
    std::optional<std::wstring> proxyBypass;

    bool operator==(const ConnectionProxyOptions&) const = default;
};

// Which of the platform's two calls carries a set: the narrow one gets its
// texts (and the connection name) in the thread's code page.
enum class OptionForm { Narrow, Wide };

class IProxySettingsStore {
public:
    virtual ~IProxySettingsStore() = default;
    // Reads the five options of a connection (empty name: the LAN). False
    // with the last error set when the query failed.
    virtual bool Query(const std::wstring& connection, ConnectionProxyOptions& options) = 0;
    // Sets all five options of a connection in one call. False with the last
    // error set when the set failed.
    virtual bool Set(const std::wstring& connection, const ConnectionProxyOptions& options,
                     OptionForm form) = 0;
    // The pair that makes running programs reread the settings.
    virtual bool SettingsChanged() = 0;
    virtual bool Refresh() = 0;
    // Automatic discovery (DHCP and DNS, as the flags say) of a script URL
    // into a narrow buffer; false with the last error set when none is found.
    virtual bool DetectAutoProxyUrl(char* url, DWORD size, DWORD detectFlags) = 0;
};

// The process's store (WinINet by default).
IProxySettingsStore& ProxySettingsStore();
// Installs a store for a test (nullptr: the real one); returns the one it
// replaces.
IProxySettingsStore* SetProxySettingsStoreForTest(IProxySettingsStore* store);

// The WinINet store itself, for the test that checks what the platform keeps.
IProxySettingsStore& WinINetProxySettingsStore();
