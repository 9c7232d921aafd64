// The process-wide proxy record.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "ProxyInfo.h"

namespace {

TEST(ProxyInfoRecord, StartsDirectSoAnUntouchedRecordNeverNamesAnEmptyProxy) {
    EXPECT_EQ(g_ProxyInfo.proxySetType, kProxySetDirect);
    EXPECT_EQ(g_ProxyInfo.proxyAuthType, PROXY_TYPE_AUTO);
    EXPECT_EQ(g_ProxyInfo.bUseProxy, 0u);
    EXPECT_EQ(g_ProxyInfo.proxyPort, 0u);
    EXPECT_STREQ(g_ProxyInfo.proxyHost, L"");
    EXPECT_STREQ(g_ProxyInfo.proxyUser, L"");
    EXPECT_STREQ(g_ProxyInfo.proxyPassword, L"");
    EXPECT_STREQ(g_ProxyInfo.proxyDomain, L"");
}

TEST(ProxyInfoRecord, ResetClearsEveryFieldBackToDirect) {
    ProxyInfo info{};
    info.proxySetType = kProxySetNamed;
    info.proxyAuthType = PROXY_TYPE_NTLM;
    info.proxyPort = 3128;
    info.bUseProxy = 1;
    ASSERT_TRUE(SetProxyInfoText(info.proxyHost, L"[fe80::1]"));
    ASSERT_TRUE(SetProxyInfoText(info.proxyPassword, L"secret"));
    ResetProxyInfo(info);
    EXPECT_EQ(info.proxySetType, kProxySetDirect);
    EXPECT_EQ(info.proxyAuthType, PROXY_TYPE_AUTO);
    EXPECT_EQ(info.proxyPort, 0u);
    EXPECT_EQ(info.bUseProxy, 0u);
    EXPECT_STREQ(info.proxyHost, L"");
    EXPECT_STREQ(info.proxyPassword, L"");
}

TEST(ProxyInfoRecord, TextsBeyondTheBoundAreRefusedNotCut) {
    ProxyInfo info{};
    const std::wstring fits(127, L'h');
    EXPECT_TRUE(SetProxyInfoText(info.proxyHost, fits));
    EXPECT_EQ(std::wstring(info.proxyHost), fits);
    EXPECT_FALSE(SetProxyInfoText(info.proxyHost, std::wstring(128, L'h')));
    EXPECT_STREQ(info.proxyHost, L"");
    // The detection writers allow 126 characters.
    EXPECT_TRUE(SetProxyInfoText(info.proxyUser, std::wstring(126, L'u'), 126));
    EXPECT_FALSE(SetProxyInfoText(info.proxyUser, fits, 126));
    EXPECT_STREQ(info.proxyUser, L"");
    // A bound beyond the field is the field's.
    EXPECT_FALSE(SetProxyInfoText(info.proxyDomain, std::wstring(128, L'd'), 500));
}

}  // namespace
