// The WinHTTP client: registry helpers, result codes, the saved proxy
// settings and requests against the loopback HTTP double.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "HttpRequestor.h"
#include "Owners.h"
#include "TestSupport.h"
#include "WinHttpTestSupport.h"

using TestSupport::ScopedRegistryKey;
using WinHttpTest::HttpDoubleUrl;
using WinHttpTest::IESettings;

namespace {

constexpr wchar_t kScratchKey[] = L"Software\\VPN\\QuarloHttpTest";

TEST(RegistryValueHelpers, WriteAndReadBackOnlyWellFormedTexts) {
    ScopedRegistryKey scratch(HKEY_CURRENT_USER, kScratchKey);
    EXPECT_EQ(GetRegStringValue(HKEY_CURRENT_USER, kScratchKey, L"missing", L"dflt"), L"dflt");
    EXPECT_TRUE(SetRegDwordValue(HKEY_CURRENT_USER, kScratchKey, L"number", 7315));
    EXPECT_TRUE(SetRegStringValue(HKEY_CURRENT_USER, kScratchKey, L"text", L"proxy:80"));
    EXPECT_FALSE(SetRegStringValue(HKEY_CURRENT_USER, kScratchKey, L"none", nullptr));
    EXPECT_TRUE(SetRegStringValue(HKEY_CURRENT_USER, kScratchKey, L"empty", L""));
    DWORD number = 0, size = sizeof number;
    EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, kScratchKey, L"number", RRF_RT_REG_DWORD, nullptr,
                             &number, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(number, 7315u);
    EXPECT_EQ(GetRegStringValue(HKEY_CURRENT_USER, kScratchKey, L"text", L"dflt"), L"proxy:80");
    EXPECT_EQ(GetRegStringValue(HKEY_CURRENT_USER, kScratchKey, L"empty", L"dflt"), L"");

    struct Raw {
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> bytes;
        const wchar_t* read;
    } raws[] = {
        {L"expand", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}, L"%X%"},
        {L"dword", REG_DWORD, {1, 0, 0, 0}, L"dflt"},
        {L"odd", REG_SZ, {'a', 0, 0}, L"dflt"},
        {L"binary", REG_BINARY, {'a', 0, 0, 0}, L"dflt"},
    };
    for (const Raw& raw : raws) {
        SCOPED_TRACE(testing::Message() << "value " << static_cast<int>(raw.type));
        ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kScratchKey, raw.name, raw.type, raw.bytes.data(),
                                    static_cast<DWORD>(raw.bytes.size())),
                  ERROR_SUCCESS);
        EXPECT_EQ(GetRegStringValue(HKEY_CURRENT_USER, kScratchKey, raw.name, L"dflt"), raw.read);
    }
}

TEST(RegistryValueHelpers, UnterminatedTextReadsAsTheDefault) {
    ScopedRegistryKey scratch(HKEY_CURRENT_USER, kScratchKey);
    const BYTE bytes[] = {'a', 0, 'b', 0};
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kScratchKey, L"raw", REG_SZ, bytes, sizeof bytes),
              ERROR_SUCCESS);
    Owners::UniqueRegKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kScratchKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    DWORD size = 0;
    ::RegQueryValueExW(key.get(), L"raw", nullptr, nullptr, nullptr, &size);
    if (size != sizeof bytes)
        GTEST_SKIP() << "Wine reports an unterminated REG_SZ with a terminator added (" << size << " bytes)";
    EXPECT_EQ(GetRegStringValue(HKEY_CURRENT_USER, kScratchKey, L"raw", L"dflt"), L"dflt");
}

TEST(LogTextTruncation, KeepsShortTextsAndMarksCutOnes) {
    const std::wstring url(100, L'u');
    EXPECT_EQ(TruncateLogTextW(url, 80), std::wstring(77, L'u') + L"...");
    EXPECT_EQ(TruncateLogTextW(std::wstring(80, L'u'), 80), std::wstring(80, L'u'));
    EXPECT_EQ(TruncateLogTextA(std::string(129, 'b'), 128), std::string(125, 'b') + "...");
    EXPECT_EQ(TruncateLogTextA("body", 128), "body");
}

TEST(HttpResultCodes, FollowTheStatusAndErrorTables) {
    const struct {
        uint32_t status;
        uint32_t code;
    } statuses[] = {{200, 0},          {201, 0},          {203, 0},          {204, 0},
                    {205, 0},          {206, 0},          {404, 0x80070002}, {400, 0x8050000E},
                    {407, 0x80500015}, {500, 0x80500072}, {505, 0x80500077}, {304, 0x80500009},
                    {302, 0x80500009}, {100, 0x80500009}, {506, 0x80500009}, {207, 0x80500009}};
    for (const auto& c : statuses) {
        EXPECT_EQ(static_cast<uint32_t>(HttpStatusResult(c.status)), c.code) << "status " << c.status;
    }
    const struct {
        uint32_t error;
        uint32_t code;
    } errors[] = {{12001, 0x80500076}, {12029, 0x80500092}, {12156, 0x80500111},
                  {12000, 0x80500009}, {12157, 0x80500009}, {5, 0x80500009}};
    for (const auto& c : errors) {
        EXPECT_EQ(static_cast<uint32_t>(HttpRequestErrorResult(c.error)), c.code) << "error " << c.error;
    }
}

// The saved settings live beside other install-manager values; each test
// starts and ends without the key.
class SavedProxyConfig : public testing::Test {
protected:
    ScopedRegistryKey installManager{HKEY_LOCAL_MACHINE, kProxyConfigKey};
    IESettings ieSettings;

    static uint32_t SavedAccessType() {
        DWORD value = 0, size = sizeof value;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, kProxyConfigKey, L"ProxyConfig_AccessType",
                           RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
            return 0xFFFFFFFF;
        return value;
    }
    static std::wstring Saved(const wchar_t* name) {
        return GetRegStringValue(HKEY_LOCAL_MACHINE, kProxyConfigKey, name, L"<missing>");
    }
    void Store(uint32_t accessType, const wchar_t* host, const wchar_t* bypass) {
        installManager.SetDword(L"ProxyConfig_AccessType", accessType);
        installManager.SetString(L"ProxyConfig_Host", host);
        installManager.SetString(L"ProxyConfig_Bypass", bypass);
    }
};

TEST_F(SavedProxyConfig, MissingOrMistypedValuesLoadAsNoProxy) {
    {
        ProxyConfig config;
        config.accessType = 9;
        config.proxyList = L"stale";
        config.Load();
        EXPECT_EQ(config.accessType, 1u);
        EXPECT_EQ(config.proxyList, L"");
        EXPECT_EQ(config.bypassList, L"");
    }
    installManager.SetString(L"ProxyConfig_AccessType", L"3");
    ProxyConfig config;
    config.Load();
    EXPECT_EQ(config.accessType, 1u);
}

TEST_F(SavedProxyConfig, LoadsAndSavesBackWhenItEnds) {
    Store(3, L"saved.corp:8080", L"*.local");
    {
        ProxyConfig config;
        config.Load();
        EXPECT_EQ(config.accessType, 3u);
        EXPECT_EQ(config.proxyList, L"saved.corp:8080");
        EXPECT_EQ(config.bypassList, L"*.local");
        config.proxyList = L"changed.corp:3128";
        config.bypassList = L"";
    }
    EXPECT_EQ(SavedAccessType(), 3u);
    EXPECT_EQ(Saved(L"ProxyConfig_Host"), L"changed.corp:3128");
    EXPECT_EQ(Saved(L"ProxyConfig_Bypass"), L"");
}

TEST_F(SavedProxyConfig, InitTakesTheConsoleUsersStaticProxy) {
    ASSERT_NE(WinHttpTest::HttpDoublePort(), 0u);
    Store(1, L"", L"");
    ieSettings.Set(WinHttpTest::kIEProxy, "ie.corp:3128", "*.internal", "");
    {
        HttpRequestor requestor;
        requestor.proxyConfig().Load();
        ASSERT_EQ(requestor.Init(L"gw.example.com", false), S_OK);
        EXPECT_EQ(requestor.proxyConfig().accessType, static_cast<uint32_t>(WINHTTP_ACCESS_TYPE_NAMED_PROXY));
        EXPECT_EQ(requestor.proxyConfig().proxyList, L"ie.corp:3128");
        EXPECT_EQ(requestor.proxyConfig().bypassList, L"*.internal");
        EXPECT_EQ(requestor.host(), L"gw.example.com");
    }
    EXPECT_EQ(SavedAccessType(), 3u);
    EXPECT_EQ(Saved(L"ProxyConfig_Host"), L"ie.corp:3128");
}

TEST_F(SavedProxyConfig, InitOfABypassedHostReplacesTheLoadedProxyWithNone) {
    Store(3, L"saved.corp:8080", L"");
    ieSettings.Set(WinHttpTest::kIEProxy, "ie.corp:3128", "gw.example.com", "");
    HttpRequestor requestor;
    requestor.proxyConfig().Load();
    ASSERT_EQ(requestor.Init(L"gw.example.com", false), S_OK);
    EXPECT_EQ(requestor.proxyConfig().accessType, 1u);
    EXPECT_EQ(requestor.proxyConfig().proxyList, L"");
}

TEST_F(SavedProxyConfig, InitTakesTheScriptAnswerOverTheStaticProxy) {
    ASSERT_NE(WinHttpTest::HttpDoublePort(), 0u);
    ieSettings.Set(WinHttpTest::kIEProxy | WinHttpTest::kIEAutoConfigUrl, "static.corp:1", "",
                   "http://" + WinHttpTest::HttpDoubleAddress() + "/pac/PROXY%20pac.corp:8081");
    HttpRequestor requestor;
    ASSERT_EQ(requestor.Init(L"gw.example.com", false), S_OK);
    EXPECT_EQ(requestor.proxyConfig().accessType, static_cast<uint32_t>(WINHTTP_ACCESS_TYPE_NAMED_PROXY));
    EXPECT_EQ(requestor.proxyConfig().proxyList, L"pac.corp:8081");
}

TEST_F(SavedProxyConfig, FailedQueriesKeepTheLoadedSettings) {
    Store(3, L"saved.corp:8080", L"*.local");
    {
        // A script that cannot be fetched; its static proxy is not used.
        ieSettings.Set(WinHttpTest::kIEProxy | WinHttpTest::kIEAutoConfigUrl, "static.corp:1", "",
                       "http://" + WinHttpTest::HttpDoubleAddress() + "/missing.pac");
        HttpRequestor requestor;
        requestor.proxyConfig().Load();
        ASSERT_EQ(requestor.Init(L"gw.example.com", false), S_OK);
        EXPECT_EQ(requestor.proxyConfig().proxyList, L"saved.corp:8080");
    }
    {
        WinHttpTest::ConsoleUser console;
        console.consoleTokenAvailable = false;
        console.listAvailable = false;
        HttpRequestor requestor;
        requestor.proxyConfig().Load();
        ASSERT_EQ(requestor.Init(L"gw.example.com", false), S_OK);
        EXPECT_EQ(requestor.proxyConfig().proxyList, L"saved.corp:8080");
        EXPECT_FALSE(WinHttpTest::ConsoleUser::ThreadImpersonates());
    }
    {
        ieSettings.Set(WinHttpTest::kIEProxy, "ie.corp:3128", "", "");
        HttpRequestor requestor;
        requestor.proxyConfig().Load();
        ASSERT_EQ(requestor.Init(L"gw.example.com", true), S_OK);
        EXPECT_EQ(requestor.proxyConfig().proxyList, L"saved.corp:8080");
    }
    EXPECT_EQ(Saved(L"ProxyConfig_Host"), L"saved.corp:8080");
}

// What one request's completion reported.
struct Completion {
    Owners::UniqueHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    volatile LONG calls = 0;
    int32_t code = -1;
    std::string body;
    std::vector<std::wstring> cookies;

    static void Callback(int32_t code, BSTR body, const std::vector<std::wstring>* cookies, void* self) {
        auto* c = static_cast<Completion*>(self);
        c->code = code;
        c->body = body ? std::string(reinterpret_cast<const char*>(body), ::SysStringByteLen(body)) : "";
        if (cookies) c->cookies = *cookies;
        ::InterlockedIncrement(&c->calls);
        ::SetEvent(c->event.get());
    }
    // A bound against a hang, not a measured time.
    bool Wait() { return ::WaitForSingleObject(event.get(), 60000) == WAIT_OBJECT_0; }
};

std::string Pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i % 256);
    return bytes;
}

class WinHttpRequests : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(WinHttpTest::HttpDoublePort(), 0u) << "HTTP double not running";
        ieSettings.Set(WinHttpTest::kIEDirect, "", "", "");
        ASSERT_EQ(requestor.Init(L"127.0.0.1", false), S_OK);
    }
    HRESULT Get(const std::wstring& url, Completion& done, uint32_t maxBody = 0,
                uint32_t scheme = 0, const wchar_t* user = nullptr, const wchar_t* password = nullptr,
                uint32_t* schemes = nullptr) {
        return requestor.SendRequest(url.c_str(), L"GET", nullptr, nullptr, 0, &Completion::Callback,
                                     &done, maxBody, scheme, user, password, schemes);
    }
    void UseDoubleAsProxy() {
        requestor.proxyConfig().accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        requestor.proxyConfig().proxyList = L"127.0.0.1:" + std::to_wstring(WinHttpTest::HttpDoublePort());
    }

    ScopedRegistryKey installManager{HKEY_LOCAL_MACHINE, kProxyConfigKey};
    IESettings ieSettings;
    HttpRequestor requestor;
};

TEST_F(WinHttpRequests, FinalStatusesCompleteWithTheirCodes) {
    const struct {
        const wchar_t* path;
        uint32_t code;
        const char* body;
    } cases[] = {
        {L"/status/200", 0, "status 200"},
        {L"/status/206", 0, "status 206"},
        {L"/status/204", 0, ""},
        {L"/status/205", 0, ""},
        {L"/status/404", 0x80070002, ""},
        {L"/status/500", 0x80500072, ""},
        {L"/status/304", 0x80500009, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "path " << std::string(c.path, c.path + wcslen(c.path)));
        Completion done;
        ASSERT_EQ(Get(HttpDoubleUrl(c.path), done), S_OK);
        ASSERT_TRUE(done.Wait());
        EXPECT_EQ(static_cast<uint32_t>(done.code), c.code);
        EXPECT_EQ(done.body, c.body);
        EXPECT_EQ(done.calls, 1);
    }
}

TEST_F(WinHttpRequests, LargeBodyArrivesWhole) {
    Completion done;
    ASSERT_EQ(Get(HttpDoubleUrl(L"/bytes/300000"), done), S_OK);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.code, 0);
    EXPECT_EQ(done.body.size(), 300000u);
    EXPECT_TRUE(done.body == Pattern(300000));
}

TEST_F(WinHttpRequests, AChunkedBodyBesideAContentLengthIsTakenWhole) {
    Completion done;
    ASSERT_EQ(Get(HttpDoubleUrl(L"/chunked"), done), S_OK);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.code, 0);
    EXPECT_EQ(done.body, "chunked body");
}

TEST_F(WinHttpRequests, MaximumBodyLengthEndsTheReadEarly) {
    Completion done;
    ASSERT_EQ(Get(HttpDoubleUrl(L"/bytes/2000000"), done, 1000), S_OK);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.code, 0);
    EXPECT_GE(done.body.size(), 1000u);
    EXPECT_LT(done.body.size(), 2000000u);
    EXPECT_TRUE(done.body == Pattern(done.body.size()));
}

TEST_F(WinHttpRequests, PostSendsItsBodyAndHeaders) {
    Completion done;
    const std::string json = "{\"a\":1}";
    ASSERT_EQ(requestor.SendRequest(HttpDoubleUrl(L"/post").c_str(), L"POST",
                                    L"Content-Type: application/json\r\n", json.data(),
                                    static_cast<uint32_t>(json.size()), &Completion::Callback, &done, 0,
                                    0, nullptr, nullptr, nullptr),
              S_OK);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.code, 0);
    EXPECT_EQ(done.body, "posted {\"a\":1}");
}

TEST_F(WinHttpRequests, AuthCookieRidesOnEveryRequestAndOthersStayOff) {
    Completion first;
    ASSERT_EQ(Get(HttpDoubleUrl(L"/cookies"), first), S_OK);
    ASSERT_TRUE(first.Wait());
    EXPECT_EQ(first.code, 0);
    EXPECT_EQ(first.cookies, (std::vector<std::wstring>{L"first=1; Path=/", L"second=2; Path=/"}));

    requestor.SetAuthCookie(L"token42");
    Completion echo;
    ASSERT_EQ(Get(HttpDoubleUrl(L"/echo?x=1"), echo), S_OK);
    ASSERT_TRUE(echo.Wait());
    EXPECT_EQ(echo.body.rfind("GET /echo?x=1 HTTP/1.1\r\n", 0), 0u) << echo.body;
    EXPECT_NE(echo.body.find("Cookie: auth=token42"), std::string::npos) << echo.body;
    EXPECT_EQ(echo.body.find("first=1"), std::string::npos) << echo.body;
}

TEST_F(WinHttpRequests, RedirectIsFollowedAndItsCookieKept) {
    Completion done;
    ASSERT_EQ(Get(HttpDoubleUrl(L"/redirect"), done), S_OK);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.code, 0);
    EXPECT_EQ(done.body, "final");
    if (done.cookies.empty()) GTEST_SKIP() << "Wine reports no Set-Cookie headers of a redirect reply";
    EXPECT_EQ(done.cookies, std::vector<std::wstring>{L"redirected=yes"});
}

TEST_F(WinHttpRequests, NamedProxyCarriesTheRequest) {
    UseDoubleAsProxy();
    Completion done;
    ASSERT_EQ(Get(L"http://gateway.invalid/file.cab", done), S_OK);
    ASSERT_TRUE(done.Wait());
    if (done.code == HttpRequestErrorResult(ERROR_WINHTTP_NAME_NOT_RESOLVED))
        GTEST_SKIP() << "Wine ignores WINHTTP_OPTION_PROXY on a request handle";
    EXPECT_EQ(done.code, 0);
    EXPECT_EQ(done.body, "proxied http://gateway.invalid/file.cab");
}

TEST_F(WinHttpRequests, NoProxyQueryFlagSetsNoProxy) {
    HttpRequestor direct;
    ASSERT_EQ(direct.Init(L"127.0.0.1", true), S_OK);
    direct.proxyConfig().accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    direct.proxyConfig().proxyList = L"127.0.0.1:1";
    Completion done;
    ASSERT_EQ(direct.SendRequest(HttpDoubleUrl(L"/echo").c_str(), L"GET", nullptr, nullptr, 0,
                                 &Completion::Callback, &done, 0, 0, nullptr, nullptr, nullptr),
              S_OK);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.code, 0);
    EXPECT_EQ(done.body.rfind("GET /echo HTTP/1.1", 0), 0u) << done.body;
}

TEST_F(WinHttpRequests, ProxyRefusalReportsItsSchemes) {
    Completion done;
    uint32_t schemes = 0;
    ASSERT_EQ(Get(HttpDoubleUrl(L"/proxyauth"), done, 0, 0, nullptr, nullptr, &schemes), S_OK);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(static_cast<uint32_t>(done.code), 0x80500015u);
    EXPECT_EQ(schemes, static_cast<uint32_t>(WINHTTP_AUTH_SCHEME_BASIC | WINHTTP_AUTH_SCHEME_NTLM));
}

TEST_F(WinHttpRequests, ProxyCredentialsAreSetForTheProxy) {
    UseDoubleAsProxy();
    Completion done;
    const std::wstring url = HttpDoubleUrl(L"/proxyauth");
    ASSERT_EQ(Get(url, done, 0, WINHTTP_AUTH_SCHEME_BASIC, L"alice", L"Secret#1"), S_OK);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.code, 0);
    // "proxied" and the target as the proxy saw it (Wine sends the path only).
    EXPECT_EQ(done.body.rfind("proxied ", 0), 0u) << done.body;
    EXPECT_NE(done.body.find("/proxyauth"), std::string::npos) << done.body;
}

TEST_F(WinHttpRequests, TransportFailuresCompleteWithRequestErrorCodes) {
    // The connection ends after 10 of 1,000 bytes.
    Completion dropped;
    ASSERT_EQ(Get(HttpDoubleUrl(L"/drop"), dropped), S_OK);
    ASSERT_TRUE(dropped.Wait());
    EXPECT_EQ(static_cast<uint32_t>(dropped.code),
              static_cast<uint32_t>(HttpRequestErrorResult(ERROR_WINHTTP_CONNECTION_ERROR)));

    Completion refused;
    ASSERT_EQ(Get(L"http://127.0.0.1:1/", refused), S_OK);
    ASSERT_TRUE(refused.Wait());
    EXPECT_EQ(static_cast<uint32_t>(refused.code),
              static_cast<uint32_t>(HttpRequestErrorResult(ERROR_WINHTTP_CANNOT_CONNECT)));
    EXPECT_EQ(refused.calls, 1);
}

TEST_F(WinHttpRequests, UnusableUrlFailsAtOnceWithoutACallback) {
    Completion done;
    EXPECT_EQ(Get(L"ftp://127.0.0.1/file", done), HRESULT_FROM_WIN32(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
    EXPECT_EQ(Get(L"not a url", done), HRESULT_FROM_WIN32(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
    EXPECT_EQ(done.calls, 0);
}

}  // namespace
