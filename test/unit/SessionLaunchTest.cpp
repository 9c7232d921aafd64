// The texts of a session launch: the validcode values, the client's command
// lines with their proxy part, the AAA values the client reads and the
// install manager's launch text.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Platform.h"
#include "SessionLaunch.h"
#include "TestSupport.h"

namespace {

constexpr wchar_t kVpn2[] = L"SOFTWARE\\VPN\\VPN2";
constexpr wchar_t kAAA[] = L"Software\\VPN\\VPN2\\AAA";

ProxyInfo Proxy(uint32_t use, const wchar_t* host, uint32_t port, const wchar_t* user,
                const wchar_t* password, const wchar_t* domain) {
    ProxyInfo info{};
    ResetProxyInfo(info);
    info.bUseProxy = use;
    SetProxyInfoText(info.proxyHost, host);
    info.proxyPort = port;
    SetProxyInfoText(info.proxyUser, user);
    SetProxyInfoText(info.proxyPassword, password);
    SetProxyInfoText(info.proxyDomain, domain);
    return info;
}

// The arguments the client reads back from its command line.
std::vector<std::wstring> ArgumentsOf(const std::wstring& commandLine) {
    const std::wstring line = L"Brevanto.exe " + commandLine;
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> arguments(argv + 1, argv + count);
    ::LocalFree(argv);
    return arguments;
}

std::map<std::wstring, std::wstring> AAAValues() {
    std::map<std::wstring, std::wstring> values;
    for (const wchar_t* name : {L"txt1", L"txt2", L"username", L"token", L"method"}) {
        wchar_t buffer[600] = {};
        if (ReadRegistryText(HKEY_CURRENT_USER, kAAA, name, buffer, 600) == ERROR_SUCCESS) {
            values[name] = buffer;
        }
    }
    return values;
}

class SessionLaunchTest : public ::testing::Test {
protected:
    TestSupport::ScopedRegistryKey m_vpn2{HKEY_CURRENT_USER, kVpn2};
    ProxyInfo m_direct = Proxy(0, L"", 0, L"", L"", L"");
};

TEST(ValidCodeTest, KeysAndTheTxt1Rule) {
    const struct {
        const wchar_t* text;
        const wchar_t* txt1;
        const wchar_t* txt2;  // null: absent
        const wchar_t* token;
        const wchar_t* method;
    } cases[] = {
        {L"txt1=a@txt2=b@token=c@method=d@", L"a", L"b", L"c", L"d"},
        {L"txt1=a@txt2=b@token=c@method=d", L"a", L"b", L"c", L""},
        {L"txt1=a", L"", nullptr, nullptr, nullptr},
        {L"", L"", nullptr, nullptr, nullptr},
        {L"first@txt2=x=y@", L"first", L"x=y", nullptr, nullptr},
        {L"pre=v@txt1=a@", L"a", nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const ValidCodeValues v = ParseValidCode(c.text);
        EXPECT_EQ(v.txt1, c.txt1) << c.text;
        for (auto [field, want] : {std::pair{&v.txt2, c.txt2}, std::pair{&v.token, c.token},
                                   std::pair{&v.method, c.method}}) {
            if (!want) {
                EXPECT_FALSE(field->has_value()) << c.text;
            } else {
                EXPECT_EQ(field->value_or(L"<absent>"), want) << c.text;
            }
        }
    }
}

TEST_F(SessionLaunchTest, ConnectWithUiLineAndAAAValues) {
    const SessionLaunchArguments args{L"gw.example.com", L"443", L"short", L"4711", L"alice",
                                      L"txt1=a@txt2=b@token=c@method=d@"};
    EXPECT_EQ(BuildConnectWithUiCommandLine(args, m_direct),
              L"-connectwithui gw.example.com 443 \"alice\" a 0 0 0 0 d");
    const std::map<std::wstring, std::wstring> want{
        {L"txt1", L"a"}, {L"txt2", L"b"}, {L"username", L"alice"}, {L"token", L"c"}, {L"method", L"d"}};
    EXPECT_EQ(AAAValues(), want);
    DWORD flag = 7;
    EXPECT_EQ(ReadRegistryDword(HKEY_CURRENT_USER, kVpn2, L"BVWebNoSession", flag), ERROR_SUCCESS);
    EXPECT_EQ(flag, 1u);
}

TEST_F(SessionLaunchTest, ValuesTheClientCannotHoldAreRefusedNeverCut) {
    const std::wstring txt2Max(256, L'x'), token64(64, L't'), method64(64, L'm');
    const SessionLaunchArguments args{L"gw", L"443", L"s", L"1", L"u",
                                      L"txt1=a@txt2=" + txt2Max + L"@token=" + token64 +
                                          L"@method=" + method64 + L"@"};
    EXPECT_EQ(BuildConnectWithUiCommandLine(args, m_direct), L"-connectwithui gw 443 \"u\" a 0 0 0 0");
    EXPECT_TRUE(AAAValues().empty());
    // One character less of each fits.
    const SessionLaunchArguments fits{L"gw", L"443", L"s", L"1", L"u",
                                      L"txt1=a@txt2=" + txt2Max.substr(1) + L"@token=" +
                                          token64.substr(1) + L"@method=" + method64.substr(1) + L"@"};
    EXPECT_EQ(BuildConnectWithUiCommandLine(fits, m_direct),
              L"-connectwithui gw 443 \"u\" a 0 0 0 0 " + method64.substr(1));
    EXPECT_EQ(AAAValues().size(), 5u);
}

TEST_F(SessionLaunchTest, EmptyOrUncutValidcodeGivesTestAndNoAAA) {
    for (const wchar_t* code : {L"", L"txt1=a"}) {
        const SessionLaunchArguments args{L"gw", L"443", L"s", L"1", L"", code};
        EXPECT_EQ(BuildConnectWithUiCommandLine(args, m_direct), L"-connectwithui gw 443 \"\" test 0 0 0 0");
        EXPECT_TRUE(AAAValues().empty());
    }
}

TEST_F(SessionLaunchTest, ConnectSessionLineRemovesTheAAAKey) {
    BuildConnectWithUiCommandLine({L"gw", L"443", L"s", L"1", L"u", L"txt1=a@txt2=b@"}, m_direct);
    ASSERT_FALSE(AAAValues().empty());
    const SessionLaunchArguments args{L"gw.example.com", L"443", L"0123456789", L"4711", L"a \"b\"",
                                      L"txt1=a@"};
    EXPECT_EQ(BuildConnectSessionCommandLine(args, m_direct),
              L"-connectsession gw.example.com 443 0123456789 4711 username=\"a \\\"b\\\"\" validcode=txt1=a@");
    EXPECT_TRUE(AAAValues().empty());
}

TEST_F(SessionLaunchTest, ProxyPartOfEachLine) {
    const ProxyInfo withDomain = Proxy(1, L"proxy.corp", 8080, L"u", L"pw", L"CORP");
    const ProxyInfo noPassword = Proxy(1, L"proxy.corp", 8080, L"u", L"", L"");
    const ProxyInfo notInUse = Proxy(0, L"proxy.corp", 8080, L"u", L"pw", L"");
    const SessionLaunchArguments shortSession{L"gw", L"443", L"s", L"1", L"u", L""};
    const SessionLaunchArguments portal{L"gw", L"443", L"0123456789", L"1", L"u", L""};
    EXPECT_EQ(BuildConnectWithUiCommandLine(shortSession, withDomain),
              L"-connectwithui gw 443 \"u\" test 0 0 0 0 proxy.corp:8080 proxyusername=CORP\\u proxypassword=pw");
    EXPECT_EQ(BuildConnectSessionCommandLine(portal, noPassword),
              L"-connectsession gw 443 0123456789 1 username=\"u\" validcode= proxy.corp 8080");
    EXPECT_EQ(BuildClientSecurityCommandLine(L"gw", L"443", withDomain),
              L"-getclientsecuritysession gw 443 proxy.corp 8080 proxyusername=CORP\\u proxypassword=pw");
    EXPECT_EQ(BuildClientSecurityCommandLine(L"gw", L"443", notInUse), L"-getclientsecuritysession gw 443");
}

// A value with a blank or a quote (a password, a validcode, a user name)
// stays one argument and adds none; a one-word value stands as it is.
TEST_F(SessionLaunchTest, EveryValueStaysOneArgumentOfItsOwn) {
    const ProxyInfo proxy = Proxy(1, L"proxy.corp", 8080, L"u", L"p w\"x", L"CORP");
    const SessionLaunchArguments portal{L"gw", L"443", L"0123456789", L"1", L"Ann \"Lee\"",
                                        L"txt1=a b@ proxypassword=evil"};
    EXPECT_EQ(ArgumentsOf(BuildConnectSessionCommandLine(portal, proxy)),
              (std::vector<std::wstring>{L"-connectsession", L"gw", L"443", L"0123456789", L"1",
                                         L"username=Ann \"Lee\"", L"validcode=txt1=a b@ proxypassword=evil",
                                         L"proxy.corp", L"8080", L"proxyusername=CORP\\u",
                                         L"proxypassword=p w\"x"}));
    const SessionLaunchArguments shortSession{L"", L"443", L"s", L"1", L"u",
                                              L"txt1=a b@method=one two@"};
    EXPECT_EQ(ArgumentsOf(BuildConnectWithUiCommandLine(shortSession, proxy)),
              (std::vector<std::wstring>{L"-connectwithui", L"", L"443", L"u", L"a b", L"0", L"0",
                                         L"0", L"0", L"proxy.corp:8080", L"proxyusername=CORP\\u",
                                         L"proxypassword=p w\"x", L"one two"}));
}

TEST(SessionLaunchLogTest, TheProxyPasswordNeverReachesTheLog) {
    ProxyInfo proxy{};
    ResetProxyInfo(proxy);
    proxy.bUseProxy = 1;
    proxy.proxyPort = 3128;
    SetProxyInfoText(proxy.proxyHost, L"p");
    SetProxyInfoText(proxy.proxyUser, L"u");
    for (const wchar_t* password : {L"secret", L"with blank"}) {
        SetProxyInfoText(proxy.proxyPassword, password);
        const std::wstring line = BuildClientSecurityCommandLine(L"gw", L"443", proxy);
        EXPECT_EQ(CommandLineForLog(line, proxy),
                  L"-getclientsecuritysession gw 443 p 3128 proxyusername=u proxypassword=*****");
    }
    SetProxyInfoText(proxy.proxyPassword, L"");
    EXPECT_EQ(CommandLineForLog(L"-x proxypassword=", proxy), L"-x proxypassword=");
}

TEST(ClientCommandLineTest, ALineNoProcessCanTakeIsRefused) {
    const std::wstring program = L"C:\\p\\Brevanto.exe";
    // The quoted program, a blank and the line, without the terminator.
    const std::wstring fits(kProcessCommandLineChars - program.size() - 3, L'x');
    EXPECT_TRUE(FitsClientCommandLine(program, fits));
    EXPECT_FALSE(FitsClientCommandLine(program, fits + L"x"));
}

TEST(RunInUserSessionTextTest, LongTextIsRefused) {
    std::string text;
    ASSERT_TRUE(BuildRunInUserSessionText(L"C:\\p\\Brevanto.exe", L"-connectsession gw", text));
    EXPECT_EQ(text, "C:\\p\\Brevanto.exe@@@-connectsession gw");
    const std::wstring program = L"C:\\p\\Brevanto.exe";
    const std::wstring fits(kRunInUserSessionChars - program.size() - 3, L'x');
    EXPECT_TRUE(BuildRunInUserSessionText(program, fits, text));
    EXPECT_EQ(text.size(), kRunInUserSessionChars);
    EXPECT_FALSE(BuildRunInUserSessionText(program, fits + L"x", text));
}

}  // namespace
