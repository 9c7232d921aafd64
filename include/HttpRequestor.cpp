#include "HttpRequestor.h"

#include <winhttp.h>

#include <cstring>
#include <cwchar>

#include "BypassList.h"
#include "Loglib.h"
#include "Owners.h"
#include "ProxyTransport.h"
#include "StringUtil.h"
#include "System.h"

namespace {

constexpr wchar_t kAgent[] = L"ZazuruRedozo Http Agent 1.0";
constexpr DWORD kCallbackNotifications = 0x7E4C00;

int WinHttpErrorNumber(DWORD error) { return static_cast<int>(error) - 12000; }

void LogUrlFailure(const wchar_t* format, DWORD error, const wchar_t* url) {
    LOGW(LOG_WARNING, format, WinHttpErrorNumber(error), url);
}

BSTR ByteBstr(std::string_view bytes) {
    return ::SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
}

}  // namespace

// One request's state, the request handle's context value. WinHTTP's
// handle-closing notification frees it.
struct HttpRequestContext {
    HINTERNET connect = nullptr;
    HINTERNET request = nullptr;
    std::string requestBody;
    std::string responseBody;
    std::vector<std::wstring> setCookies;
    RequestCompleteCallback callback = nullptr;
    void* callbackContext = nullptr;
    uint32_t maxBodyLength = 0;
    uint32_t* supportedSchemes = nullptr;
    std::string readBuffer;  // the bytes of the read in flight
    int64_t expectedLength = -1;  // Content-Length of the final reply, -1 when none
    bool headRequest = false;
    bool completed = false;
};

// ---- Registry helpers -------------------------------------------------------

bool SetRegDwordValue(HKEY root, const wchar_t* subKey, const wchar_t* name, uint32_t value) {
    Owners::UniqueRegKey key;
    if (::RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    const DWORD data = value;
    return ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                            sizeof data) == ERROR_SUCCESS;
}

bool SetRegStringValue(HKEY root, const wchar_t* subKey, const wchar_t* name, const wchar_t* value) {
    if (!value) return false;
    Owners::UniqueRegKey key;
    if (::RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    const DWORD bytes = static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes) ==
           ERROR_SUCCESS;
}

std::wstring GetRegStringValue(HKEY root, const wchar_t* subKey, const wchar_t* name,
                               const wchar_t* defaultValue) {
    const std::wstring fallback = defaultValue ? defaultValue : L"";
    Owners::UniqueRegKey key;
    if (::RegOpenKeyExW(root, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return fallback;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size % sizeof(wchar_t) != 0 || size == 0)
        return fallback;
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                           &size) != ERROR_SUCCESS ||
        size % sizeof(wchar_t) != 0 || size == 0 || size / sizeof(wchar_t) > text.size() ||
        text[size / sizeof(wchar_t) - 1] != L'\0')
        return fallback;
    text.resize(size / sizeof(wchar_t) - 1);
    return text;
}

std::wstring TruncateLogTextW(std::wstring_view text, size_t limit) {
    if (text.size() <= limit) return std::wstring(text);
    return std::wstring(text.substr(0, limit < 3 ? 0 : limit - 3)) + L"...";
}

std::string TruncateLogTextA(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    return std::string(text.substr(0, limit < 3 ? 0 : limit - 3)) + "...";
}

// ---- Result codes -----------------------------------------------------------

HRESULT HttpStatusResult(uint32_t status) {
    if (status >= 200 && status <= 206) return S_OK;
    if (status == 404) return kHttpResultNotFound;
    if (status >= 400 && status <= 505) return static_cast<HRESULT>(0x80500000u + status - 386u);
    return kHttpResultOther;
}

HRESULT HttpRequestErrorResult(uint32_t winHttpError) {
    if (winHttpError >= 12001 && winHttpError <= 12156)
        return static_cast<HRESULT>(0x80500000u + winHttpError - 11883u);
    return kHttpResultOther;
}

// ---- ProxyConfig ------------------------------------------------------------

void ProxyConfig::Load() {
    DWORD type = 0, value = 0, size = sizeof value;
    Owners::UniqueRegKey key;
    accessType = 1;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProxyConfigKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS &&
        ::RegQueryValueExW(key.get(), L"ProxyConfig_AccessType", nullptr, &type,
                           reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value)
        accessType = value;
    proxyList = GetRegStringValue(HKEY_LOCAL_MACHINE, kProxyConfigKey, L"ProxyConfig_Host", L"");
    bypassList = GetRegStringValue(HKEY_LOCAL_MACHINE, kProxyConfigKey, L"ProxyConfig_Bypass", L"");
}

void ProxyConfig::Save() const {
    SetRegDwordValue(HKEY_LOCAL_MACHINE, kProxyConfigKey, L"ProxyConfig_AccessType", accessType);
    SetRegStringValue(HKEY_LOCAL_MACHINE, kProxyConfigKey, L"ProxyConfig_Host", proxyList.c_str());
    SetRegStringValue(HKEY_LOCAL_MACHINE, kProxyConfigKey, L"ProxyConfig_Bypass", bypassList.c_str());
}

void ProxyConfig::CopyFrom(const ProxyConfig& other) {
    accessType = other.accessType;
    proxyList = other.proxyList;
    bypassList = other.bypassList;
}

HRESULT QueryActiveUserProxyConfig(ProxyConfig& out, const wchar_t* host) {
    const ConsoleUserImpersonation user(L"QueryActiveUserProxyConfig");
    if (user.failed()) return E_ACCESSDENIED;

    QuarloSocket::IEProxySettings settings;
    DWORD error = 0;
    if (!QuarloSocket::ReadIEProxySettings(settings, error)) {
        LOGW(LOG_WARNING,
             L"ProxyConfigHelper: WinHttpGetIEProxyConfigForCurrentUser Failed: WinHttpError = %d\n",
             WinHttpErrorNumber(error));
        return HRESULT_FROM_WIN32(error);
    }
    if (settings.bypass && host) {
        LOGW(LOG_INFO, L"QueryActiveUserProxyConfig:bypass:%s ,remote address:%s\n",
             settings.bypass->c_str(), host);
        if (IncludeInBypass(settings.bypass->c_str(), host)) {
            LOGW(LOG_INFO,
                 L"QueryActiveUserProxyConfig dest server ip:%s is in the proxy bypass list, so will "
                 L"be not used proxy\n",
                 host);
            return S_OK;
        }
    }
    if (!settings.autoConfigUrl) {
        if (settings.proxy) {
            out.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            out.proxyList = *settings.proxy;
            out.bypassList = settings.bypass.value_or(L"");
        }
        return S_OK;
    }

    std::wstring url = L"https://" + std::wstring(host ? host : L"");
    if (url.size() > 259) url.resize(259);
    LOGW(LOG_WARNING, L"URL:%s\n", url.c_str());
    QuarloSocket::ScriptProxyAnswer answer;
    const bool ok = QuarloSocket::GetProxyFromScript(kAgent, url, settings.autoConfigUrl->c_str(),
                                                     answer, error);
    LOGW(LOG_INFO, L"WinHttpGetProxyForUrl: iRet:%d, host:%s,lpszAutoConfigUrl:%s,bypass:%s\n",
         ok ? 1 : 0, answer.proxy.value_or(L"").c_str(), settings.autoConfigUrl->c_str(),
         answer.bypass.value_or(L"").c_str());
    if (!ok) {
        LOGW(LOG_WARNING, L"ProxyConfigHelper: WinHttpGetProxyForUrl Failed: WinHttpError = %d\n",
             WinHttpErrorNumber(error));
        return HRESULT_FROM_WIN32(error);
    }
    out.accessType = answer.accessType;
    if (answer.proxy) out.proxyList = *answer.proxy;
    if (answer.bypass) out.bypassList = *answer.bypass;
    return S_OK;
}

// ---- HttpRequestor ----------------------------------------------------------

HttpRequestor::~HttpRequestor() {
    // The session closes before the settings its callbacks may still read.
    m_session.reset();
}

HRESULT HttpRequestor::Init(const wchar_t* host, bool noProxyQuery) {
    m_noProxyQuery = noProxyQuery;
    m_session.reset();
    m_session.reset(::WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (!m_session) {
        const DWORD error = ::GetLastError();
        LOGW(LOG_WARNING, L"WinHttpOpen Failed: WinHttpError = %d\n", WinHttpErrorNumber(error));
        return HRESULT_FROM_WIN32(error);
    }
    ::WinHttpSetTimeouts(m_session.get(), 60000, 300000, 3600000, 3600000);
    if (::WinHttpSetStatusCallback(m_session.get(), &HttpRequestor::StatusCallback, kCallbackNotifications,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        LOGW(LOG_WARNING, L"WinHttpSetStatusCallback Failed: WinHttpError = %d\n",
             WinHttpErrorNumber(::GetLastError()));
    }
    m_host = host ? host : L"";
    if (!noProxyQuery) {
        ProxyConfig found;
        const HRESULT hr = QueryActiveUserProxyConfig(found, m_host.c_str());
        if (hr == S_OK) {
            m_proxyConfig.CopyFrom(found);
        } else {
            LOGW(LOG_WARNING, L"QueryActiveUserProxyConfig Failed: hr = 0x%08X\n",
                 static_cast<unsigned>(hr));
        }
    }
    return S_OK;
}

HRESULT HttpRequestor::SendRequest(const wchar_t* url, const wchar_t* verb,
                                   const wchar_t* extraHeaders, const void* body,
                                   uint32_t bodyLength, RequestCompleteCallback callback,
                                   void* callbackContext, uint32_t maxBodyLength,
                                   uint32_t proxyAuthScheme, const wchar_t* proxyUser,
                                   const wchar_t* proxyPassword, uint32_t* supportedSchemes) {
    const wchar_t* const urlText = url ? url : L"";
    wchar_t hostName[256] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = hostName;
    parts.dwHostNameLength = 256;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(urlText, 0, 0, &parts)) {
        const DWORD error = ::GetLastError();
        LogUrlFailure(L"WinHttpCrackUrl Failed: WinHttpError = %d, Url = %s\n", error, urlText);
        return HRESULT_FROM_WIN32(error);
    }
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    Owners::UniqueWinHttp connect(::WinHttpConnect(m_session.get(), hostName, parts.nPort, 0));
    if (!connect) {
        const DWORD error = ::GetLastError();
        LogUrlFailure(L"WinHttpConnect Failed: WinHttpError = %d, Url = %s\n", error, urlText);
        return HRESULT_FROM_WIN32(error);
    }
    // The path runs to the end of the URL, so it carries the query too.
    const wchar_t* path = parts.lpszUrlPath && *parts.lpszUrlPath ? parts.lpszUrlPath : nullptr;
    Owners::UniqueWinHttp request(::WinHttpOpenRequest(connect.get(), verb, path, L"HTTP/1.1",
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                               secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        const DWORD error = ::GetLastError();
        LogUrlFailure(L"WinHttpOpenRequest Failed: WinHttpError = %d, Url = %s\n", error, urlText);
        return HRESULT_FROM_WIN32(error);
    }
    if (secure) {
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                      SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
        if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
            const DWORD error = ::GetLastError();
            LogUrlFailure(L"WinHttpSetOption Failed: WinHttpError = %d, Url = %s\n", error, urlText);
            return HRESULT_FROM_WIN32(error);
        }
    }
    if (!m_noProxyQuery && m_proxyConfig.accessType != WINHTTP_ACCESS_TYPE_NO_PROXY) {
        WINHTTP_PROXY_INFO proxy{};
        proxy.dwAccessType = m_proxyConfig.accessType;
        proxy.lpszProxy = m_proxyConfig.proxyList.data();
        proxy.lpszProxyBypass = m_proxyConfig.bypassList.empty() ? nullptr : m_proxyConfig.bypassList.data();
        if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_PROXY, &proxy, sizeof proxy)) {
            LogUrlFailure(L"WinHttpSetOption WINHTTP_OPTION_PROXY Failed: WinHttpError = %d, Url = %s\n",
                          ::GetLastError(), urlText);
        }
        if (proxyAuthScheme != 0 &&
            !::WinHttpSetCredentials(request.get(), WINHTTP_AUTH_TARGET_PROXY, proxyAuthScheme,
                                     proxyUser ? proxyUser : L"", proxyPassword ? proxyPassword : L"",
                                     nullptr)) {
            LogUrlFailure(L"WinHttpSetCredentials Failed: WinHttpError = %d, Url = %s\n",
                          ::GetLastError(), urlText);
        }
    }
    DWORD feature = WINHTTP_DISABLE_COOKIES;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature)) {
        const DWORD error = ::GetLastError();
        LogUrlFailure(L"WinHttpSetOption Failed: WinHttpError = %d, Url = %s\n", error, urlText);
        return HRESULT_FROM_WIN32(error);
    }
    if (!m_authCookie.empty()) {
        const std::wstring cookie = FormatW(L"Cookie: auth=%s", m_authCookie.c_str());
        if (!::WinHttpAddRequestHeaders(request.get(), cookie.c_str(), static_cast<DWORD>(-1),
                                        WINHTTP_ADDREQ_FLAG_ADD)) {
            LogUrlFailure(L"WinHttpAddRequestHeaders Failed: WinHttpError = %d, Url = %s\n",
                          ::GetLastError(), urlText);
        }
    }

    auto* context = new HttpRequestContext;
    context->connect = connect.get();
    context->request = request.get();
    context->callback = callback;
    context->callbackContext = callbackContext;
    context->maxBodyLength = maxBodyLength;
    context->supportedSchemes = supportedSchemes;
    context->headRequest = verb && EqualsAsciiNoCase(std::wstring_view(verb), L"HEAD");
    if (body && bodyLength != 0) context->requestBody.assign(static_cast<const char*>(body), bodyLength);
    // From here the handle-closing notification of the request frees it.
    DWORD_PTR contextValue = reinterpret_cast<DWORD_PTR>(context);
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &contextValue,
                            sizeof contextValue)) {
        const DWORD error = ::GetLastError();
        delete context;
        LogUrlFailure(L"WinHttpSetOption Failed: WinHttpError = %d, Url = %s\n", error, urlText);
        return HRESULT_FROM_WIN32(error);
    }
    const std::string logBody = context->requestBody.empty()
                                    ? std::string("(null)")
                                    : TruncateLogTextA(context->requestBody.c_str(), 128);
    void* const sendBody = context->requestBody.empty() ? WINHTTP_NO_REQUEST_DATA
                                                        : context->requestBody.data();
    const DWORD sendLength = static_cast<DWORD>(context->requestBody.size());
    if (!::WinHttpSendRequest(request.get(),
                              extraHeaders ? extraHeaders : WINHTTP_NO_ADDITIONAL_HEADERS,
                              extraHeaders ? static_cast<DWORD>(-1) : 0, sendBody, sendLength,
                              sendLength, contextValue)) {
        const DWORD error = ::GetLastError();
        // Closing the request hands the context to the closing notification.
        context->completed = true;
        LogUrlFailure(L"WinHttpSendRequest Failed: WinHttpError = %d, Url = %s\n", error, urlText);
        request.reset();
        connect.reset();
        return HRESULT_FROM_WIN32(error);
    }
    // The request now belongs to the callbacks, which close both handles.
    static_cast<void>(request.release());
    static_cast<void>(connect.release());
    LOGA(LOG_INFO, "WinHttpSendRequest Succ: %S %S (Headers = %S, Body = %s, BodyLength = %d)\n",
         verb ? verb : L"", TruncateLogTextW(urlText, 80).c_str(), extraHeaders ? extraHeaders : L"",
         logBody.c_str(), static_cast<int>(bodyLength));
    return S_OK;
}

void HttpRequestor::CompleteRequest(int32_t code, HttpRequestContext* context) {
    if (!context || context->completed) return;
    context->completed = true;
    if (context->callback) {
        const Owners::UniqueBstr body(ByteBstr(context->responseBody));
        context->callback(code, body.get(), &context->setCookies, context->callbackContext);
    }
    // The context may be freed as soon as the request handle closes.
    HINTERNET connect = context->connect;
    ::WinHttpCloseHandle(context->request);
    ::WinHttpCloseHandle(connect);
}

namespace {

void AppendSetCookies(HINTERNET request, std::vector<std::wstring>& cookies) {
    for (DWORD index = 0;;) {
        const DWORD before = index;
        std::wstring cookie = QueryHttpHeader(request, WINHTTP_QUERY_SET_COOKIE,
                                              WINHTTP_HEADER_NAME_BY_INDEX, &index);
        if (cookie.empty() || index == before) break;
        cookies.push_back(std::move(cookie));
    }
}

void QueryMoreData(HINTERNET request, HttpRequestContext* context) {
    if (!::WinHttpQueryDataAvailable(request, nullptr)) {
        const DWORD error = ::GetLastError();
        LOGW(LOG_WARNING, L"WinHttpQueryDataAvailable Failed: Context = 0x%08X, WinHttpError = %d\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(context)), WinHttpErrorNumber(error));
        HttpRequestor::CompleteRequest(HRESULT_FROM_WIN32(error), context);
    }
}

bool IsSuccessStatus(uint32_t status) { return status >= 200 && status <= 206; }

// The last transfer coding of every Transfer-Encoding field is chunked.
bool IsChunkedReply(HINTERNET request) {
    std::wstring codings;
    for (DWORD index = 0;;) {
        const DWORD before = index;
        const std::wstring value = QueryHttpHeader(request, WINHTTP_QUERY_TRANSFER_ENCODING,
                                                   WINHTTP_HEADER_NAME_BY_INDEX, &index);
        if (value.empty() || index == before) break;
        if (!codings.empty()) codings += L',';
        codings += value;
    }
    const size_t comma = codings.rfind(L',');
    std::wstring last = comma == std::wstring::npos ? codings : codings.substr(comma + 1);
    while (!last.empty() && (last.front() == L' ' || last.front() == L'\t')) last.erase(0, 1);
    while (!last.empty() && (last.back() == L' ' || last.back() == L'\t')) last.pop_back();
    return EqualsAsciiNoCase(last, L"chunked");
}

void OnHeadersAvailable(HINTERNET request, HttpRequestContext* context) {
    const std::wstring statusText =
        QueryHttpHeader(request, WINHTTP_QUERY_STATUS_CODE, WINHTTP_HEADER_NAME_BY_INDEX, nullptr);
    const uint32_t status = static_cast<uint32_t>(std::wcstoul(statusText.c_str(), nullptr, 10));
    const unsigned id = static_cast<unsigned>(reinterpret_cast<uintptr_t>(context));
    if (IsSuccessStatus(status)) {
        AppendSetCookies(request, context->setCookies);
        DWORD length = 0, size = sizeof length;
        // A chunked body ends with its last chunk; a Content-Length beside
        // the chunks counts for nothing.
        if (!context->headRequest && !IsChunkedReply(request) &&
            ::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX))
            context->expectedLength = length;
        QueryMoreData(request, context);
        return;
    }
    LOGW(LOG_WARNING, L"Http Response Error: Context = 0x%08X, Http Status Code = %d\n", id,
         static_cast<int>(status));
    if (status == HTTP_STATUS_PROXY_AUTH_REQ) {
        DWORD supported = 0, first = 0, target = 0;
        if (::WinHttpQueryAuthSchemes(request, &supported, &first, &target)) {
            LOGW(LOG_INFO,
                 L"WinHttpQueryAuthSchemes: dwFirstSchema is %d, dwAuthTargets is %x, "
                 L"dwSupportedAuthSchemes is %x\n",
                 static_cast<int>(first), static_cast<unsigned>(target),
                 static_cast<unsigned>(supported));
            if (target == WINHTTP_AUTH_TARGET_PROXY && context->supportedSchemes)
                *context->supportedSchemes = supported;
        } else {
            LOGW(LOG_WARNING, L"WinHttpQueryAuthSchemes in callback failed: WinHttpError = %d\n",
                 static_cast<int>(::GetLastError()));
        }
    }
    HttpRequestor::CompleteRequest(HttpStatusResult(status), context);
}

}  // namespace

void CALLBACK HttpRequestor::StatusCallback(void* handle, DWORD_PTR contextValue, DWORD status,
                                            void* information, DWORD length) {
    auto* context = reinterpret_cast<HttpRequestContext*>(contextValue);
    const unsigned id = static_cast<unsigned>(contextValue);
    // Notifications of the session and connect handles carry no context.
    if (!context) return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_HANDLE_CREATED:
        case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
            break;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            if (!::WinHttpReceiveResponse(handle, nullptr)) {
                const DWORD error = ::GetLastError();
                LOGW(LOG_WARNING, L"WinHttpReceiveResponse Failed: Context = 0x%08X, WinHttpError = %d\n",
                     id, WinHttpErrorNumber(error));
                CompleteRequest(HRESULT_FROM_WIN32(error), context);
            }
            break;
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            OnHeadersAvailable(handle, context);
            break;
        case WINHTTP_CALLBACK_STATUS_REDIRECT:
            AppendSetCookies(handle, context->setCookies);
            break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
            const DWORD available = information ? *static_cast<DWORD*>(information) : 0;
            if (available == 0) {
                // A connection that ended early must not pass for a whole body.
                const size_t got = context->responseBody.size();
                if (context->expectedLength >= 0 && got < static_cast<uint64_t>(context->expectedLength)) {
                    LOGW(LOG_WARNING, L"Http Response Error: Context = 0x%08X, body ended at %u of %u bytes\n",
                         id, static_cast<unsigned>(got), static_cast<unsigned>(context->expectedLength));
                    CompleteRequest(HttpRequestErrorResult(ERROR_WINHTTP_CONNECTION_ERROR), context);
                    break;
                }
                CompleteRequest(S_OK, context);
                break;
            }
            context->readBuffer.resize(available);
            if (!::WinHttpReadData(handle, context->readBuffer.data(), available, nullptr)) {
                const DWORD error = ::GetLastError();
                LOGW(LOG_WARNING, L"WinHttpReadData Failed: Context = 0x%08X, WinHttpError = %d\n", id,
                     WinHttpErrorNumber(error));
                context->readBuffer.clear();
                CompleteRequest(HRESULT_FROM_WIN32(error), context);
            }
            break;
        }
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: {
            const size_t got = length < context->readBuffer.size() ? length : context->readBuffer.size();
            context->responseBody.append(context->readBuffer.data(), got);
            context->readBuffer.clear();
            if (context->maxBodyLength != 0 && context->responseBody.size() >= context->maxBodyLength) {
                CompleteRequest(S_OK, context);
                break;
            }
            QueryMoreData(handle, context);
            break;
        }
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(information);
            if (result) {
                LOGW(LOG_WARNING,
                     L"Context = 0x%08X, WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, WinHttpError = %d\n", id,
                     WinHttpErrorNumber(result->dwError));
                CompleteRequest(HttpRequestErrorResult(result->dwError), context);
            } else {
                LOGW(LOG_WARNING, L"Context = 0x%08X, WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, Unknown Error\n",
                     id);
                CompleteRequest(kHttpResultOther, context);
            }
            break;
        }
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            if (handle == context->request) delete context;
            break;
        default:
            LOGW(LOG_WARNING, L"Unknown Callback Event: Context = 0x%08X, Event = %d\n", id,
                 static_cast<int>(status));
            break;
    }
}

std::wstring QueryHttpHeader(void* request, DWORD infoLevel, const wchar_t* name, DWORD* index) {
    DWORD size = 0;
    DWORD probeIndex = index ? *index : 0;
    if (::WinHttpQueryHeaders(request, infoLevel, name, WINHTTP_NO_OUTPUT_BUFFER, &size,
                              index ? &probeIndex : WINHTTP_NO_HEADER_INDEX) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(request, infoLevel, name, value.data(), &size,
                               index ? index : WINHTTP_NO_HEADER_INDEX)) {
        LOGW(LOG_WARNING, L"QueryHttpHeader Error %d\n", static_cast<int>(::GetLastError()));
        return {};
    }
    value.resize(size / sizeof(wchar_t));
    return value;
}
