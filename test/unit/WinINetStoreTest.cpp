// The real per-connection store on what the platform keeps here (a manual
// proxy of the LAN), and the gaps that make the fake store necessary.
#include <winsock2.h>
#include <windows.h>
#include <shlwapi.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "BrowserProxySetting.h"
#include "BrowserProxyTestSupport.h"
#include "ProxySettingsStore.h"
#include "StringUtil.h"
#include "TestSupport.h"

namespace {

constexpr wchar_t kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Leaves the prefix's own proxy off, whatever a test set: the script
// downloads of the other tests go through it.
class WinINetStoreTest : public ::testing::Test {
protected:
    void TearDown() override {
        ConnectionProxyOptions direct;
        direct.flags = 1;
        direct.proxyServer = L"";
        direct.proxyBypass = L"";
        direct.autoConfigUrl = L"";
        WinINetProxySettingsStore().Set(L"", direct, OptionForm::Wide);
        ::SHDeleteValueW(HKEY_CURRENT_USER, kInternetSettings, L"ProxyServer");
        ::SHDeleteValueW(HKEY_CURRENT_USER, kInternetSettings, L"ProxyOverride");
        DWORD off = 0;
        ::SHSetValueW(HKEY_CURRENT_USER, kInternetSettings, L"ProxyEnable", REG_DWORD, &off,
                      sizeof(off));
    }
    static ConnectionProxyOptions Manual(const std::wstring& server) {
        ConnectionProxyOptions o;
        o.flags = 1 | 2;
        o.proxyServer = server;
        o.proxyBypass = L"<local>";
        return o;
    }
    IProxySettingsStore& m_store = WinINetProxySettingsStore();
};

TEST_F(WinINetStoreTest, ManualLanProxyRoundTripsInBothForms) {
    for (OptionForm form : {OptionForm::Wide, OptionForm::Narrow}) {
        SCOPED_TRACE(form == OptionForm::Wide ? "wide" : "narrow");
        const std::wstring server = form == OptionForm::Wide ? L"smoke.wide:8080" : L"smoke.narrow:3128";
        ASSERT_TRUE(m_store.Set(L"", Manual(server), form)) << ::GetLastError();
        EXPECT_TRUE(m_store.SettingsChanged());
        ConnectionProxyOptions read;
        ASSERT_TRUE(m_store.Query(L"", read)) << ::GetLastError();
        EXPECT_TRUE(read.flags & 2);
        EXPECT_EQ(read.proxyServer.value_or(L""), server);
    }
    ConnectionProxyOptions direct;
    direct.flags = 1;
    ASSERT_TRUE(m_store.Set(L"", direct, OptionForm::Wide));
    ConnectionProxyOptions read;
    ASSERT_TRUE(m_store.Query(L"", read));
    EXPECT_FALSE(read.flags & 2);
}

TEST_F(WinINetStoreTest, CaptureReadsTheRealLanSettings) {
    ASSERT_TRUE(m_store.Set(L"", Manual(L"capture.real:8081"), OptionForm::Wide));
    CBrowserProxySetting setting{};
    uint32_t flags = 0;
    wchar_t server[1024] = {};
    EXPECT_EQ(setting.OnDetectProxySetting(nullptr, &flags, nullptr, server, nullptr, nullptr), 0)
        << "a named proxy needs no script";
    EXPECT_TRUE(flags & 2);
    EXPECT_STREQ(server, L"capture.real:8081");
}

TEST_F(WinINetStoreTest, WhatThePlatformDoesNotKeep) {
    ASSERT_TRUE(m_store.Set(L"", Manual(L"lan.only:1"), OptionForm::Wide));
    ConnectionProxyOptions dialUp = Manual(L"dial.up:2");
    dialUp.autoConfigUrl = L"http://127.0.0.1:1/Proxy.pac";
    dialUp.flags = 1 | 4;
    ASSERT_TRUE(m_store.Set(kVpnDialUpEntry, dialUp, OptionForm::Wide));
    ConnectionProxyOptions lan;
    ASSERT_TRUE(m_store.Query(L"", lan));
    char url[1024] = {};
    const bool detected = m_store.DetectAutoProxyUrl(url, sizeof(url), 3);
    const bool refreshed = m_store.Refresh();
    if (TestSupport::RunningUnderWine() &&
        (lan.proxyServer.value_or(L"") != L"lan.only:1" || !lan.autoConfigUrl || !refreshed || !detected)) {
        GTEST_SKIP() << "Wine: per-connection options ignore the connection name, the "
                        "auto-configuration URL and the discovery flags; INTERNET_OPTION_REFRESH "
                        "fails; DetectAutoProxyUrl is a stub";
    }
    EXPECT_EQ(lan.proxyServer.value_or(L""), L"lan.only:1") << "the dial-up entry is its own";
    EXPECT_TRUE(refreshed);
}

// The engine is given the callback table; where it uses it, a name only
// the test's resolver knows resolves.
TEST(ScriptEngineCallbacksTest, EngineUsesTheSystemsResolver) {
    BrowserProxyTest::ResolverDouble resolver;
    resolver.honourNumericHint = true;
    resolver.names["only.known.to.the.callback"] = "10.20.30.40";
    TestSupport::TempDir folder;
    const std::wstring file = folder.File(L"resolve.pac");
    std::ofstream(file.c_str(), std::ios::binary)
        << "function FindProxyForURL(url, host) {\n"
           "  if (isResolvable(\"only.known.to.the.callback\")) return \"PROXY cb.corp:1\";\n"
           "  return \"DIRECT\";\n}\n";
    CBrowserProxySetting setting{};
    char host[260] = {};
    uint16_t port = 0;
    uint8_t socks = 0;
    const std::string path = CodePageFromWide(file, CP_THREAD_ACP);
    const int32_t result = setting.ParseProxyHostAndPort(path.c_str(), "gw.example.com", host,
                                                         &port, &socks, 0);
    if (result == 0 && TestSupport::RunningUnderWine()) {
        GTEST_SKIP() << "Wine: jsproxy evaluates PAC scripts but ignores the callback table";
    }
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(host, "cb.corp");
}

}  // namespace
