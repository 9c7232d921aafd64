#include "ProxySettingsStore.h"

#include <wininet.h>

#include <atomic>

#include "Owners.h"
#include "StringUtil.h"

namespace {

using UniqueGlobalText = Owners::UniqueGlobalMem;

// A text that WinINet handed out (GlobalFree'd), or absent.
std::optional<std::wstring> TakeText(wchar_t* text) {
    UniqueGlobalText owner(text);
    if (!text) return std::nullopt;
    return std::wstring(text);
}

class WinINetStore : public IProxySettingsStore {
public:
    bool Query(const std::wstring& connection, ConnectionProxyOptions& options) override {
        INTERNET_PER_CONN_OPTIONW entries[5] = {};
        entries[0].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
        entries[1].dwOption = INTERNET_PER_CONN_AUTODISCOVERY_FLAGS;
        entries[2].dwOption = INTERNET_PER_CONN_FLAGS;
        entries[3].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
        entries[4].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
        std::wstring name = connection;
        INTERNET_PER_CONN_OPTION_LISTW list{};
        list.dwSize = sizeof(list);
        list.pszConnection = connection.empty() ? nullptr : name.data();
        list.dwOptionCount = 5;
        list.pOptions = entries;
        DWORD size = sizeof(list);
        if (!::InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list,
                                    &size)) {
            return false;
        }
        options.autoConfigUrl = TakeText(entries[0].Value.pszValue);
        options.autoDiscoveryFlags = entries[1].Value.dwValue;
        options.flags = entries[2].Value.dwValue;
        options.proxyBypass = TakeText(entries[3].Value.pszValue);
        options.proxyServer = TakeText(entries[4].Value.pszValue);
        return true;
    }

    bool Set(const std::wstring& connection, const ConnectionProxyOptions& options,
             OptionForm form) override {
        if (form == OptionForm::Wide) return SetWide(connection, options);
        return SetNarrow(connection, options);
    }

    bool SettingsChanged() override {
        return ::InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0) != FALSE;
    }
    bool Refresh() override {
        return ::InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0) != FALSE;
    }
    bool DetectAutoProxyUrl(char* url, DWORD size, DWORD detectFlags) override {
        return ::DetectAutoProxyUrl(url, size, detectFlags) != FALSE;
    }

private:
    // One set carries all five options, so the settings are never half
    // changed. Text is the form's string type; absent texts go as null.
    template <class Option, class List, class Text>
    static bool SetList(Text name, Text url, Text server, Text bypass, bool hasName,
                        const ConnectionProxyOptions& options,
                        BOOL(WINAPI* set)(HINTERNET, DWORD, LPVOID, DWORD)) {
        Option entries[5] = {};
        entries[0].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
        entries[0].Value.pszValue = options.autoConfigUrl ? url.data() : nullptr;
        entries[1].dwOption = INTERNET_PER_CONN_AUTODISCOVERY_FLAGS;
        entries[1].Value.dwValue = options.autoDiscoveryFlags;
        entries[2].dwOption = INTERNET_PER_CONN_FLAGS;
        entries[2].Value.dwValue = options.flags;
        entries[3].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
        entries[3].Value.pszValue = options.proxyServer ? server.data() : nullptr;
        entries[4].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
        entries[4].Value.pszValue = options.proxyBypass ? bypass.data() : nullptr;
        List list{};
        list.dwSize = sizeof(list);
        list.pszConnection = hasName ? name.data() : nullptr;
        list.dwOptionCount = 5;
        list.pOptions = entries;
        return set(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list)) != FALSE;
    }

    static bool SetWide(const std::wstring& connection, const ConnectionProxyOptions& options) {
        return SetList<INTERNET_PER_CONN_OPTIONW, INTERNET_PER_CONN_OPTION_LISTW>(
            connection, options.autoConfigUrl.value_or(L""), options.proxyServer.value_or(L""),
            options.proxyBypass.value_or(L""), !connection.empty(), options, ::InternetSetOptionW);
    }

    static bool SetNarrow(const std::wstring& connection, const ConnectionProxyOptions& options) {
        const auto narrow = [](const std::optional<std::wstring>& text) {
            return CodePageFromWide(text.value_or(L""), CP_THREAD_ACP);
        };
        return SetList<INTERNET_PER_CONN_OPTIONA, INTERNET_PER_CONN_OPTION_LISTA>(
            narrow(connection), narrow(options.autoConfigUrl), narrow(options.proxyServer),
            narrow(options.proxyBypass), !connection.empty(), options, ::InternetSetOptionA);
    }
};

WinINetStore g_winINetStore;
std::atomic<IProxySettingsStore*> g_store{&g_winINetStore};

}  // namespace

IProxySettingsStore& ProxySettingsStore() { return *g_store.load(); }
IProxySettingsStore& WinINetProxySettingsStore() { return g_winINetStore; }
IProxySettingsStore* SetProxySettingsStoreForTest(IProxySettingsStore* store) {
    return g_store.exchange(store ? store : &g_winINetStore);
}
