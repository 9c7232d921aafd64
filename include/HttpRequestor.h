// An asynchronous HTTP client on WinHTTP with its saved proxy settings, the
// proxy that the console user would use, and small registry helpers.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Owners.h"
#include "SharedNames.h"

// ---- Registry helpers -------------------------------------------------------

// Creates or opens the key for writing; true when the value was written.
bool SetRegDwordValue(HKEY root, const wchar_t* subKey, const wchar_t* name, uint32_t value);
// REG_SZ with its terminator; false for a missing text.
bool SetRegStringValue(HKEY root, const wchar_t* subKey, const wchar_t* name, const wchar_t* value);
// A REG_SZ or REG_EXPAND_SZ value (not expanded) of even length that ends in
// a NUL character; otherwise the default.
std::wstring GetRegStringValue(HKEY root, const wchar_t* subKey, const wchar_t* name,
                               const wchar_t* defaultValue);

// The text itself when it has at most limit characters, else its first
// limit - 3 characters and "...".
std::wstring TruncateLogTextW(std::wstring_view text, size_t limit);
std::string TruncateLogTextA(std::string_view text, size_t limit);

// ---- Result codes -----------------------------------------------------------

constexpr HRESULT kHttpResultNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kHttpResultOther = static_cast<HRESULT>(0x80500009);
// The code a request completes with for a final HTTP status: 0 for 200 to 206.
HRESULT HttpStatusResult(uint32_t status);
// The code of a request error WinHTTP reported (12001..12156 have their own).
HRESULT HttpRequestErrorResult(uint32_t winHttpError);

// ---- ProxyConfig --------------------------------------------------------------

constexpr const wchar_t* kProxyConfigKey = kInstallManagerKey;

// The WinHTTP proxy settings of a requestor, kept in HKLM between runs.
// Every value saves itself when it ends.
class ProxyConfig {
public:
    ProxyConfig() = default;
    ~ProxyConfig() { Save(); }
    ProxyConfig(const ProxyConfig&) = delete;
    ProxyConfig& operator=(const ProxyConfig&) = delete;

    void Load();
    void Save() const;
    void CopyFrom(const ProxyConfig& other);

    uint32_t accessType = 1;  // WINHTTP_ACCESS_TYPE_NO_PROXY
    std::wstring proxyList;
    std::wstring bypassList;
};

// The console user's WinHTTP proxy for host (impersonating that user when
// the process runs as LocalSystem). 0 also when the host is in the bypass
// list, with out unchanged; an automatic configuration URL wins over a
// static proxy, and its failure leaves out unchanged.
HRESULT QueryActiveUserProxyConfig(ProxyConfig& out, const wchar_t* host);

// ---- HttpRequestor --------------------------------------------------------

// Runs once per request, on a WinHTTP thread: the code (0 or a failure of
// the table above), the body (a byte BSTR, never null; the callee copies
// what it keeps), the Set-Cookie values seen, the caller's context.
using RequestCompleteCallback = void (*)(int32_t code, BSTR body,
                                         const std::vector<std::wstring>* setCookies,
                                         void* context);

struct HttpRequestContext;

class HttpRequestor {
public:
    HttpRequestor() = default;
    ~HttpRequestor();
    HttpRequestor(const HttpRequestor&) = delete;
    HttpRequestor& operator=(const HttpRequestor&) = delete;

    // Opens the asynchronous session; unless noProxyQuery, fills the proxy
    // settings from the console user's proxy for host.
    HRESULT Init(const wchar_t* host, bool noProxyQuery);

    // Starts a request; the callback reports its end. A failure to start is
    // returned here and the callback does not run. maxBodyLength 0 means no
    // limit; supportedSchemes (may be null) receives the proxy's schemes of
    // a 407.
    HRESULT SendRequest(const wchar_t* url, const wchar_t* verb, const wchar_t* extraHeaders,
                        const void* body, uint32_t bodyLength, RequestCompleteCallback callback,
                        void* callbackContext, uint32_t maxBodyLength, uint32_t proxyAuthScheme,
                        const wchar_t* proxyUser, const wchar_t* proxyPassword,
                        uint32_t* supportedSchemes);

    // Every request then carries "Cookie: auth=<cookie>".
    void SetAuthCookie(const wchar_t* cookie) { m_authCookie = cookie ? cookie : L""; }

    ProxyConfig& proxyConfig() { return m_proxyConfig; }
    const std::wstring& host() const { return m_host; }

    static void CALLBACK StatusCallback(void* handle, DWORD_PTR context, DWORD status,
                                        void* information, DWORD length);
    static void CompleteRequest(int32_t code, HttpRequestContext* context);

protected:
    Owners::UniqueWinHttp m_session;
    std::wstring m_host;
    std::wstring m_authCookie;
    ProxyConfig m_proxyConfig;
    bool m_noProxyQuery = false;
};

// Value of a header of a request (WinHttpQueryHeaders); empty when missing.
std::wstring QueryHttpHeader(void* request, DWORD infoLevel, const wchar_t* name, DWORD* index);
