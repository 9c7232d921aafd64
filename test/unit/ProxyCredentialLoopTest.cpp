// The proxy-credential loop: scripted refusals and user answers, credentials
// saved in the test's own Proxy.ini; one case drives the real dialogs and the
// timed box under the harness's display.
#include <winsock2.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ProxyAuthenDialogIds.h"
#include "ProxyCredentialLoop.h"
#include "ProxyCredentialUiDouble.h"
#include "ProxyCredentials.h"
#include "ProxyIniTestSupport.h"
#include "StringUtil.h"

namespace {

using ::testing::ElementsAre;

using Answer = TestSupport::ScriptedProxyCredentialUi::Answer;
using ScriptedUi = TestSupport::ScriptedProxyCredentialUi;

// Each attempt answers the next code of the script (the last repeats) and
// records the credentials it was given.
struct ScriptedDownload {
    explicit ScriptedDownload(std::vector<uint32_t> script) : errors(std::move(script)) {}
    std::vector<uint32_t> errors;  // 0: the download succeeds
    ProxyInfo* info = nullptr;
    std::vector<std::wstring> seen;  // "user/password/domain" of each attempt

    int32_t operator()(uint32_t& error) {
        const size_t at = seen.size() < errors.size() ? seen.size() : errors.size() - 1;
        seen.push_back(std::wstring(info->proxyUser) + L"/" + info->proxyPassword + L"/" +
                       info->proxyDomain);
        error = errors[at];
        return error == 0 ? 0 : 1;
    }
};

const wchar_t kTooMany[] = L"Proxy authentication failed and more than three times, test.\n";
const wchar_t kEnglishTooMany[] =
    L"Caption|Proxy authentication failed and more than three times, exit current VPN connection";
const wchar_t kChineseTooMany[] = L"Caption|代理认证失败，并且达到最大尝试次数，退出当前VPN连接";
const wchar_t kEnglishCancel[] =
    L"Caption|Proxy authentication canceled by user, exit current VPN connection";
const wchar_t kChineseCancel[] = L"Caption|用户取消了代理认证，退出当前VPN连接";

class ProxyCredentialLoopTest : public ProxyIniTest::UserTempTest {
protected:
    void SetUp() override {
        UserTempTest::SetUp();
        ResetProxyInfo(m_info);
    }
    ProxyCredentialLoopResult Run(ScriptedDownload& download, uint32_t language,
                                  ProxyCredentialsOnOk onOk, uint32_t* lastError = nullptr) {
        download.info = &m_info;
        return RunProxyCredentialLoop(std::ref(download), {language, L"Caption", kTooMany, onOk},
                                      m_info, lastError);
    }
    ProxyInfo m_info{};
    ScriptedUi m_ui;
};

struct RefusalCase {
    const char* name;
    uint32_t error;
    uint32_t language;
    bool chinese;
};
const RefusalCase kRefusalCases[] = {
    {"BasicEnglish", 802, 1033, false},
    {"NtlmEnglish", 803, 1033, false},
    {"BasicChinese", 802, 2052, true},
    {"NtlmChinese", 803, 2052, true},
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class ProxyRefusalTest : public ProxyCredentialLoopTest,
                         public ::testing::WithParamInterface<RefusalCase> {};

// Saved credentials first, then three dialogs, then the box; the domain is
// asked for (and taken from the saved ones) only when NTLM refused.
TEST_P(ProxyRefusalTest, SavedCredentialsThenThreeDialogsThenTheBox) {
    const RefusalCase& c = GetParam();
    ASSERT_EQ(SaveProxyInfo(L"saved", L"savedpw", L"SAVEDOM", 1, 0), 1);
    m_ui.answers = {{IDOK, L"u1", L"p1", L"d1"}, {IDOK, L"u2", L"p2", L""}, {IDOK, L"u3", L"p3", L"d3"}};
    ScriptedDownload download({c.error});
    uint32_t lastError = 0;

    EXPECT_EQ(Run(download, c.language, ProxyCredentialsOnOk::Use, &lastError),
              ProxyCredentialLoopResult::TooManyRefusals);

    const std::wstring savedDomain = c.error == 803 ? L"SAVEDOM" : L"";
    EXPECT_THAT(download.seen, ElementsAre(L"//", L"saved/savedpw/" + savedDomain, L"u1/p1/d1",
                                           L"u2/p2/", L"u3/p3/d3"));
    const ScriptedUi::Asked asked{c.chinese, c.error == 802};
    EXPECT_THAT(m_ui.asked, ElementsAre(asked, asked, asked));
    EXPECT_THAT(m_ui.boxes, ElementsAre(c.chinese ? kChineseTooMany : kEnglishTooMany));
    EXPECT_EQ(m_info.bUseProxy, 1u);
    EXPECT_EQ(lastError, c.error);
    EXPECT_EQ(LogCount("(ERROR)"), 1u);
    EXPECT_EQ(LogCount("Proxy authentication failed and more than three times, test."), 1u);
    EXPECT_EQ(LogCount(FormatA("Tavrisk: bDisableDomain is %d", c.error == 802 ? 1 : 0)), 4u);
    // Use does not store what the user entered.
    wchar_t user[kProxyInfoTextUnits] = {}, password[kProxyInfoTextUnits] = {},
            domain[kProxyInfoTextUnits] = {};
    ASSERT_EQ(GetProxyInfo(user, password, domain, 1, 0), 1);
    EXPECT_STREQ(user, L"saved");
}

TEST_P(ProxyRefusalTest, CancelEndsTheLoopWithTheBox) {
    const RefusalCase& c = GetParam();
    m_ui.answers = {{IDOK, L"u1", L"p1", L"d1"}, {IDCANCEL, L"", L"", L""}};
    ScriptedDownload download({c.error});

    EXPECT_EQ(Run(download, c.language, ProxyCredentialsOnOk::UseAndSave),
              ProxyCredentialLoopResult::Cancelled);

    // No Proxy.ini: the first refusal changes nothing and retries.
    EXPECT_THAT(download.seen, ElementsAre(L"//", L"//", L"u1/p1/d1"));
    EXPECT_EQ(m_ui.asked.size(), 2u);
    EXPECT_THAT(m_ui.boxes, ElementsAre(c.chinese ? kChineseCancel : kEnglishCancel));
    EXPECT_EQ(LogCount("Proxy authentication canceled by user, exit current VPN connection"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Refusals, ProxyRefusalTest, ::testing::ValuesIn(kRefusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What OK does: the entered credentials go to the next attempt, and are
// stored in the outside section only when the caller asked for it.
TEST_F(ProxyCredentialLoopTest, UseAndSaveStoresTheEnteredCredentials) {
    for (const auto onOk : {ProxyCredentialsOnOk::Use, ProxyCredentialsOnOk::UseAndSave}) {
        SCOPED_TRACE(onOk == ProxyCredentialsOnOk::Use ? "Use" : "UseAndSave");
        ::DeleteFileW(ProxyIni::IniPath(0).c_str());
        ResetProxyInfo(m_info);
        m_ui.answers = {{IDOK, L"alice", L"pw", L"CORP"}};
        ScriptedDownload download({803, 803, 0});

        EXPECT_EQ(Run(download, 1033, onOk), ProxyCredentialLoopResult::Downloaded);

        EXPECT_THAT(download.seen, ElementsAre(L"//", L"//", L"alice/pw/CORP"));
        EXPECT_TRUE(m_ui.boxes.empty());
        wchar_t user[kProxyInfoTextUnits] = {}, password[kProxyInfoTextUnits] = {},
                domain[kProxyInfoTextUnits] = {};
        const int32_t found = GetProxyInfo(user, password, domain, 1, 0);
        if (onOk == ProxyCredentialsOnOk::Use) {
            EXPECT_EQ(found, 0);
        } else {
            ASSERT_EQ(found, 1);
            EXPECT_STREQ(user, L"alice");
            EXPECT_STREQ(password, L"pw");
            EXPECT_STREQ(domain, L"CORP");
        }
    }
    EXPECT_EQ(LogCount("proxy host:, port:0, bUseProxy:1."), 1u);
}

TEST_F(ProxyCredentialLoopTest, SuccessAndOtherErrorsEndAtOnce) {
    struct Case {
        uint32_t error;
        ProxyCredentialLoopResult result;
    };
    for (const Case c : {Case{0, ProxyCredentialLoopResult::Downloaded},
                         Case{2, ProxyCredentialLoopResult::Failed},
                         Case{10060, ProxyCredentialLoopResult::Failed}}) {
        SCOPED_TRACE(c.error);
        ScriptedDownload download({c.error});
        uint32_t lastError = 99;
        EXPECT_EQ(Run(download, 1033, ProxyCredentialsOnOk::UseAndSave, &lastError), c.result);
        EXPECT_EQ(download.seen.size(), 1u);
        EXPECT_EQ(lastError, c.error);
    }
    EXPECT_TRUE(m_ui.asked.empty());
    EXPECT_TRUE(m_ui.boxes.empty());
    EXPECT_EQ(m_info.bUseProxy, 0u);
}

// A credential the record cannot hold whole is left out, never cut.
TEST_F(ProxyCredentialLoopTest, OverlongEnteredUserIsNotCut) {
    m_ui.answers = {{IDOK, std::wstring(200, L'u'), L"pw", L"D"}};
    ScriptedDownload download({802, 802, 0});
    EXPECT_EQ(Run(download, 1033, ProxyCredentialsOnOk::Use), ProxyCredentialLoopResult::Downloaded);
    EXPECT_EQ(download.seen.back(), L"/pw/D");
    EXPECT_EQ(LogCount("the proxy user name is longer than 127 characters"), 1u);
}

TEST(ProxyDialogLanguageTest, ZeroLowWordTakesTheSystemLanguage) {
    EXPECT_EQ(ProxyDialogLanguage(0), ::GetSystemDefaultLangID());
    EXPECT_EQ(ProxyDialogLanguage(0x10000), ::GetSystemDefaultLangID());
    EXPECT_EQ(ProxyDialogLanguage(2052), 2052u);
    EXPECT_TRUE(IsChineseProxyDialogLanguage(2052));
    EXPECT_FALSE(IsChineseProxyDialogLanguage(1033));
}

// ---- The real dialogs and box, driven from a second thread ----------------

std::wstring WindowText(HWND window) {
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    return text;
}

// A visible dialog-class window of this process with the caption.
HWND FindDialog(const std::wstring& caption, DWORD timeoutMs = 30000) {
    struct Search {
        const std::wstring& caption;
        HWND found;
    };
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (::GetTickCount64() < end) {
        Search search{caption, nullptr};
        ::EnumWindows(
            [](HWND window, LPARAM context) -> BOOL {
                auto* s = reinterpret_cast<Search*>(context);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(window, &pid);
                wchar_t name[32] = {};
                ::GetClassNameW(window, name, 32);
                if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(window) &&
                    std::wstring(name) == L"#32770" && WindowText(window) == s->caption) {
                    s->found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        ::Sleep(30);
    }
    return nullptr;
}

void Press(HWND window, int id) {
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(window, id)));
}

// Chinese: the 802 dialog with its domain greyed out, OK with credentials,
// the next refusal's dialog cancelled, and the box the user closes.
TEST_F(ProxyCredentialLoopTest, RealChineseDialogAndBox) {
    SetProxyCredentialUiForTest(nullptr);
    struct Seen {
        bool firstFound = false, domainEnabled = true, secondFound = false, boxFound = false;
        std::wstring boxText;
    } seen;
    std::thread user([&] {
        HWND dialog = FindDialog(L"代理认证");
        seen.firstFound = dialog != nullptr;
        if (!dialog) return;
        seen.domainEnabled = ::IsWindowEnabled(::GetDlgItem(dialog, IDC_PROXY_CN_DOMAIN)) != FALSE;
        ::SetDlgItemTextW(dialog, IDC_PROXY_CN_USERNAME, L" bob ");
        ::SetDlgItemTextW(dialog, IDC_PROXY_CN_PASSWORD, L"pw");
        Press(dialog, IDOK);
        for (int i = 0; i < 200 && ::IsWindow(dialog); ++i) ::Sleep(20);
        HWND second = FindDialog(L"代理认证");
        seen.secondFound = second != nullptr;
        if (second) Press(second, IDCANCEL);
        for (int i = 0; second && i < 200 && ::IsWindow(second); ++i) ::Sleep(20);
        HWND box = FindDialog(L"Caption");
        seen.boxFound = box != nullptr;
        if (!box) return;
        wchar_t text[256] = {};
        ::GetDlgItemTextW(box, 0xFFFF, text, 256);
        seen.boxText = text;
        Press(box, IDOK);
    });
    ScriptedDownload download({802});
    const ProxyCredentialLoopResult result =
        Run(download, 2052, ProxyCredentialsOnOk::Use);
    user.join();
    SetProxyCredentialUiForTest(&m_ui);

    ASSERT_TRUE(seen.firstFound);
    EXPECT_FALSE(seen.domainEnabled);
    EXPECT_TRUE(seen.secondFound);
    ASSERT_TRUE(seen.boxFound);
    EXPECT_EQ(seen.boxText, L"用户取消了代理认证，退出当前VPN连接");
    EXPECT_EQ(result, ProxyCredentialLoopResult::Cancelled);
    EXPECT_THAT(download.seen, ElementsAre(L"//", L"//", L"bob/pw/"));
}

}  // namespace
