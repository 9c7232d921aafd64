// Proxy detection for the client: the worker's restore and capture, the
// process-wide record filled from Proxy.ini, a worker slower than the wait,
// the registry copy for the installed client and the saveproxy hand-off.
#include <winsock2.h>
#include <windows.h>
#include <shlwapi.h>
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "BrowserProxySetting.h"
#include "BrowserProxyTestSupport.h"
#include "CommonFunction.h"
#include "ProxyCredentials.h"
#include "ProxyDetection.h"
#include "ProxyInfo.h"
#include "ProxyIniTestSupport.h"
#include "ProxySettingsFake.h"
#include "StringUtil.h"
#include "WinHttpTestSupport.h"

using namespace BrowserProxyTest;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

namespace K = ProxyIni::Key;

ConnectionProxyOptions Lan(DWORD flags, const std::wstring& url, const std::wstring& server,
                           const std::wstring& bypass) {
    ConnectionProxyOptions o;
    o.flags = flags;
    o.autoConfigUrl = url;
    o.proxyServer = server;
    o.proxyBypass = bypass;
    return o;
}

std::wstring PacUrl(const std::wstring& testCase, const std::wstring& answer) {
    return WinHttpTest::HttpDoubleUrl(L"/pac-case/" + testCase + L"/" + ReplaceAll(answer, L" ", L"%20"));
}

class ProxyDetectionTest : public ProxyIniTest::UserTempTest {
protected:
    void SetUp() override {
        UserTempTest::SetUp();
        std::memset(&g_ProxyInfo, 0, sizeof(g_ProxyInfo));
    }
    void TearDown() override {
        ResetProxyInfo(g_ProxyInfo);
        UserTempTest::TearDown();
    }
    ScopedProxyConfFiles m_files;
    FakeProxySettingsStore m_store;
};

TEST_F(ProxyDetectionTest, RecordFromTheFreshCapture) {
    struct Case {
        const char* why;
        ConnectionProxyOptions lan;
        bool useProxy;
        std::wstring host;
        uint32_t port;
    };
    const Case cases[] = {
        {"named proxy", Lan(3, L"", L"proxy.corp:8080", L""), true, L"proxy.corp", 8080},
        {"per-scheme list gives its https entry", Lan(3, L"", L"http=a.corp:80;https=b.corp:443", L""),
         true, L"b.corp", 443},
        {"per-scheme list without https", Lan(3, L"", L"http=a.corp:80;ftp=c.corp:21", L""), false,
         L"", 0},
        {"scheme prefix", Lan(3, L"", L"http://p.corp:3128", L""), true, L"p.corp", 3128},
        {"gateway in the bypass list", Lan(3, L"", L"proxy.corp:8080", L"<local>;*.example.com"),
         false, L"", 0},
        {"port 0", Lan(3, L"", L"proxy.corp:0", L""), false, L"", 0},
        {"port not a number", Lan(3, L"", L"proxy.corp:x", L""), false, L"", 0},
        {"port beyond 65535", Lan(3, L"", L"proxy.corp:70000", L""), false, L"", 0},
        {"host beyond the record", Lan(3, L"", std::wstring(127, L'h') + L":80", L""), false, L"", 0},
        // Its https entry ends past the 259th character, where a cut read
        // would leave the port 84.
        {"long per-scheme list",
         Lan(3, L"", L"ftp=" + std::wstring(113, L'f') + L":21;http=" + std::wstring(114, L'h') +
                         L":80;https=b.corp:8443",
             L""),
         true, L"b.corp", 8443},
        {"script evaluated", Lan(5, PacUrl(L"detect-script", L"PROXY s.corp:8081"), L"", L""), true,
         L"s.corp", 8081},
        {"script that cannot be evaluated",
         Lan(5, WinHttpTest::HttpDoubleUrl(L"/status/404"), L"", L""), false, L"", 0},
        {"direct", Lan(1, L"", L"proxy.corp:8080", L""), false, L"", 0},
    };
    ASSERT_EQ(SaveProxyInfo(L"alice", L"Secret#1", L"CORP", 1, 0), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        m_store.connections[L""] = c.lan;
        DetectProxyInfo(L"gw.example.com");
        EXPECT_EQ(g_ProxyInfo.bUseProxy, c.useProxy ? 1u : 0u);
        EXPECT_EQ(g_ProxyInfo.proxySetType, c.useProxy ? 3u : 1u);
        EXPECT_EQ(g_ProxyInfo.proxyAuthType, 1u);
        EXPECT_EQ(std::wstring(g_ProxyInfo.proxyHost), c.host);
        EXPECT_EQ(g_ProxyInfo.proxyPort, c.port);
        // The saved credentials come along whatever the proxy.
        EXPECT_STREQ(g_ProxyInfo.proxyUser, L"alice");
        EXPECT_STREQ(g_ProxyInfo.proxyPassword, L"Secret#1");
        EXPECT_STREQ(g_ProxyInfo.proxyDomain, L"CORP");
    }
    EXPECT_STREQ(g_VsiteHost, L"gw.example.com");
    EXPECT_THAT(LogText(), Not(HasSubstr("Secret#1")));
}

TEST_F(ProxyDetectionTest, NoProxyIniLeavesTheResetState) {
    // The configuration folder cannot be made below a file.
    const std::wstring notAFolder = m_temp.File(L"file");
    ::CloseHandle(::CreateFileW(notAFolder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ::SetEnvironmentVariableW(L"TMP", (notAFolder + L"\\").c_str());
    ::SetEnvironmentVariableW(L"TEMP", (notAFolder + L"\\").c_str());
    m_store.connections[L""] = Lan(3, L"", L"proxy.corp:8080", L"");
    g_ProxyInfo.bUseProxy = 1;
    wcscpy(g_ProxyInfo.proxyUser, L"stale");
    DetectProxyInfo(L"gw.example.com");
    EXPECT_EQ(g_ProxyInfo.bUseProxy, 0u);
    EXPECT_EQ(g_ProxyInfo.proxySetType, 1u);
    EXPECT_STREQ(g_ProxyInfo.proxyUser, L"");
    EXPECT_THAT(LogText(), HasSubstr("GetSavedUserIEProxySettings: No proxy setting on IE."));
}

TEST_F(ProxyDetectionTest, EarlierTunnelIsRestoredBeforeTheCapture) {
    // A tunnel ended without its resume command: the LAN still points at
    // the local script, and Proxy.ini holds the user's own settings.
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::IEProxyFlag, 3);
        e.Set(K::IEProxyServer, L"user.proxy:8080");
        e.Set(K::IEProxyShouldResume, 1);
    });
    m_store.connections[L""] = Lan(5, L"http://127.0.0.1:51234/Proxy.pac", L"", L"");

    m_store.failSet = [](const std::wstring&) { return true; };
    DetectProxyInfo(L"gw.example.com");
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 1) << "a failed restore keeps its flag";
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"user.proxy:8080") << "and the user's capture";
    EXPECT_EQ(m_files.GetInt(K::IEProxyFlag), 3);
    EXPECT_STREQ(g_ProxyInfo.proxyHost, L"user.proxy") << "the outside proxy is still known";

    m_store.failSet = nullptr;
    DetectProxyInfo(L"gw.example.com");
    EXPECT_EQ(m_store.connections[L""].proxyServer, L"user.proxy:8080");
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 0);
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"user.proxy:8080") << "captured afresh";
    EXPECT_EQ(g_ProxyInfo.proxyPort, 8080u);
}

using TestSupport::FastClock;

class SlowWorkerTest : public ProxyDetectionTest {
protected:
    void SetUp() override {
        ProxyDetectionTest::SetUp();
        m_release.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_store.connections[L""] = Lan(3, L"", L"new.proxy:3128", L"");
        // The capture's query hangs until the test lets it go.
        m_store.beforeQuery = [this] { ::WaitForSingleObject(m_release.get(), 60000); };
        ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
            e.Set(K::IEProxyFlag, 2);
            e.Set(K::IEProxyServer, L"old.proxy:8080");
        });
        m_finished.reset(::CreateEventW(nullptr, FALSE, FALSE, kSaveFinishedEventName));
        Timing::SetSourceForTest(&m_fast);
    }
    void TearDown() override {
        ::SetEvent(m_release.get());
        // The worker must be done with the store before it goes.
        if (!m_workerDone) ::WaitForSingleObject(m_finished.get(), 20000);
        Timing::SetSourceForTest(m_source);
        ProxyDetectionTest::TearDown();
    }
    FastClock m_fast{TestSupport::MakeTime(2032, 5, 11, 8, 30, 0, 0)};
    Owners::UniqueHandle m_release, m_finished;
    bool m_workerDone = false;
};

TEST_F(SlowWorkerTest, DetectionGoesOnWithWhatProxyIniHeldAndTheWorkerFinishesLater) {
    DetectProxyInfo(L"gw.example.com");
    EXPECT_GE(m_fast.waits.load(), 30) << "a bounded wait in slices that pump messages";
    EXPECT_STREQ(g_ProxyInfo.proxyHost, L"old.proxy");
    EXPECT_THAT(LogText(), HasSubstr("DetectProxyInfo: the proxy-saving worker did not end in 30000 ms"));

    ::SetEvent(m_release.get());
    ASSERT_EQ(::WaitForSingleObject(m_finished.get(), 20000), WAIT_OBJECT_0);
    m_workerDone = true;
    EXPECT_EQ(m_files.GetText(K::IEProxyServer), L"new.proxy:3128");
}

TEST_F(SlowWorkerTest, ExitHoldsTheProxyIniLockSoNoSaveRunsAfterIt) {
    DetectProxyInfo(L"gw.example.com");
    Owners::UniqueHandle held(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Owners::UniqueHandle leave(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // The exit path, on a thread of its own, which keeps the lock until it ends.
    std::thread exiting([&] {
        HoldProxyIniForExit();
        ::SetEvent(held.get());
        ::WaitForSingleObject(leave.get(), 30000);
    });
    ASSERT_EQ(::WaitForSingleObject(held.get(), 20000), WAIT_OBJECT_0);
    ::SetEvent(m_release.get());
    EXPECT_EQ(::WaitForSingleObject(m_finished.get(), 1500), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the worker's save waits for the exit";
    EXPECT_NE(m_files.GetText(K::IEProxyServer), L"new.proxy:3128") << "capture not saved";
    ::SetEvent(leave.get());
    exiting.join();
    EXPECT_EQ(::WaitForSingleObject(m_finished.get(), 20000), WAIT_OBJECT_0)
        << "once the lock is let go the save runs";
    m_workerDone = true;
}

// ---- Registry copy for the client ----------------------------------------

class AutoProxyRegistryTest : public ProxyDetectionTest {
protected:
    std::wstring Value(const wchar_t* key) {
        wchar_t text[512] = L"<none>";
        DWORD size = sizeof(text);
        if (::SHGetValueW(HKEY_CURRENT_USER, key, L"AutoProxy", nullptr, text, &size) != ERROR_SUCCESS) {
            return L"<none>";
        }
        return text;
    }
    TestSupport::ScopedRegistryKey m_vpn2{HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2"};
    TestSupport::ScopedRegistryKey m_wow{HKEY_CURRENT_USER, L"SOFTWARE\\Wow6432Node\\VPN\\VPN2"};
};

TEST_F(AutoProxyRegistryTest, ValueTable) {
    wcscpy(g_VsiteHost, L"gw.example.com");
    struct Case {
        const char* why;
        int flags;
        std::wstring server, bypass, host, port;
        std::wstring expected;
    };
    const std::wstring longBypass = std::wstring(300, L'x') + L";gw.example.com";
    const Case cases[] = {
        {"named proxy: the server text as stored", 2, L"http=a:80;https=b:443", L"", L"", L"",
         L"http=a:80;https=b:443"},
        {"script result", 4, L"", L"", L"s.corp", L"8081", L"s.corp:8081"},
        {"automatic detection result", 8, L"", L"", L"s.corp", L"8081", L"s.corp:8081"},
        {"script result without port", 4, L"", L"", L"s.corp", L"", L""},
        {"script result without host", 4, L"", L"", L"", L"8081", L""},
        {"no proxy flag", 1, L"p:1", L"", L"s.corp", L"1", L""},
        {"bypassed gateway", 2, L"p:1", L"*.example.com", L"", L"", L""},
        {"bypass entry beyond the first 260 characters", 2, L"p:1", longBypass, L"", L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ScopedProxyConfFiles::Write([&](ProxyIni::Editor& e) {
            e.Set(K::IEProxyFlag, c.flags);
            e.Set(K::IEProxyServer, c.server);
            e.Set(K::IEProxyByPass, c.bypass);
            e.Set(K::ProxySSLHost, c.host);
            e.Set(K::ProxySSLPort, c.port);
        });
        SaveProxyInfoToReg();
        EXPECT_EQ(Value(L"SOFTWARE\\VPN\\VPN2"), c.expected);
        EXPECT_EQ(Value(L"SOFTWARE\\Wow6432Node\\VPN\\VPN2"), c.expected);
    }
    ScopedProxyConfFiles::Remove();
    SaveProxyInfoToReg();
    EXPECT_EQ(Value(L"SOFTWARE\\VPN\\VPN2"), L"") << "no Proxy.ini: written empty";
    DWORD type = 0, size = 0;
    ::SHGetValueW(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2", L"AutoProxy", &type, nullptr, &size);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 2u) << "the terminator is written";
}

// ---- The saveproxy hand-off ---------------------------------------------

TEST_F(ProxyDetectionTest, SaveproxyHandOffStoresTheAnswerOrItsAbsence) {
    HOXInit().OnSave(PacUrl(L"hox", L"PROXY h.corp:3130").c_str(), L"gw.example.com");
    EXPECT_EQ(m_files.GetInt(K::ProxyScriptRunning), 1);
    EXPECT_EQ(m_files.GetText(K::ProxySSLHost), L"h.corp");
    EXPECT_EQ(m_files.GetText(K::ProxySSLPort), L"3130");

    ScopedProxyConfFiles::Remove();
    HOXInit().OnSave(WinHttpTest::HttpDoubleUrl(L"/status/404").c_str(), L"gw.example.com");
    EXPECT_EQ(m_files.GetInt(K::ProxyScriptRunning), 1) << "an answer, though empty";
    EXPECT_EQ(m_files.GetText(K::ProxySSLHost), L"");
}

InstalledCopyFolders g_copyFolders;
InstalledCopyFolders CopyFolders() { return g_copyFolders; }

TEST_F(ProxyDetectionTest, ComServerModeHandsTheEvaluationToAnInstalledCopy) {
    TestSupport::TempDir system;
    ASSERT_TRUE(::CopyFileW((TestSupport::TestBinDir() + L"\\saveproxycopy.exe").c_str(),
                            system.File(L"Tavrisk.exe").c_str(), FALSE));
    g_copyFolders = {system.path(), system.path(), L"", true};
    SetInstalledCopyFoldersSourceForTest(CopyFolders);
    CBrowserProxySetting setting{};
    char host[260] = {};
    uint16_t port = 0;
    uint8_t socks = 0;
    const std::string url = CodePageFromWide(PacUrl(L"com-server", L"PROXY c.corp:3131"), CP_THREAD_ACP);
    EXPECT_EQ(setting.ParseProxyHostAndPort(url.c_str(), "gw.example.com", host, &port, &socks, 1), 1);
    EXPECT_STREQ(host, "c.corp");
    EXPECT_EQ(port, 3131);

    // A copy that cannot be started answers no proxy.
    ScopedProxyConfFiles::Remove();
    g_copyFolders = {m_temp.path() + L"\\none", m_temp.path() + L"\\none", L"", false};
    EXPECT_EQ(setting.ParseProxyHostAndPort(url.c_str(), "gw.example.com", host, &port, &socks, 1), 0);
    EXPECT_THAT(LogText(), HasSubstr("DetectVPNAndInstall: install Grendal failed"));
    SetInstalledCopyFoldersSourceForTest(nullptr);
}

}  // namespace
