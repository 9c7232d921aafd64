// The proxy-authentication dialogs, driven as a user would from a second
// thread while the test's main thread runs the modal loop: find the dialog,
// fill the fields, press the buttons, answer the message boxes.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ProxyAuthenDialog.h"
#include "ProxyAuthenDialogIds.h"

namespace {

struct DialogKind {
    const char* name;
    bool chinese;
    int user, password, domain;
    std::wstring caption;
    std::wstring messages[3];  // user name, password, domain empty
};

const DialogKind kEnglish{"English",
                          false,
                          IDC_PROXY_USERNAME,
                          IDC_PROXY_PASSWORD,
                          IDC_PROXY_DOMAIN,
                          L"Proxy Authentication",
                          {L"Username can not be null", L"Password can not be null",
                           L"Domain can not be null"}};
const DialogKind kChinese{"Chinese",
                          true,
                          IDC_PROXY_CN_USERNAME,
                          IDC_PROXY_CN_PASSWORD,
                          IDC_PROXY_CN_DOMAIN,
                          L"代理认证",
                          {L"用户名不能为空", L"密码不能为空", L"域名不能为空"}};

std::unique_ptr<CProxyAuthenDialogBase> MakeDialog(const DialogKind& kind) {
    if (kind.chinese) return std::make_unique<CProxyAuthenDialog_Chinese>();
    return std::make_unique<CProxyAuthenDialog>();
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    ::GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring ClassName(HWND window) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

// Dialog-class windows of this process with the caption.
std::vector<HWND> DialogWindows(const std::wstring& caption) {
    struct Search {
        std::wstring caption;
        std::vector<HWND> found;
    } search{caption, {}};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD pid = 0;
            ::GetWindowThreadProcessId(window, &pid);
            if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(window) &&
                ClassName(window) == L"#32770" && WindowText(window) == s->caption)
                s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitFor(const std::function<HWND()>& find, DWORD timeoutMs = 30000) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (::GetTickCount64() < end) {
        if (HWND window = find()) return window;
        ::Sleep(30);
    }
    return nullptr;
}

HWND FindAuthDialog(const DialogKind& kind) {
    return WaitFor([&]() -> HWND {
        for (HWND window : DialogWindows(kind.caption))
            if (::GetDlgItem(window, kind.user)) return window;
        return nullptr;
    });
}

// The message box the dialog owns.
HWND FindMessageBox(HWND dialog, DWORD timeoutMs = 5000) {
    return WaitFor(
        [&]() -> HWND {
            for (HWND window : DialogWindows(WindowText(dialog)))
                if (window != dialog && ::GetWindow(window, GW_OWNER) == dialog) return window;
            return nullptr;
        },
        timeoutMs);
}

void Press(HWND dialog, int id) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

void Fill(HWND dialog, int id, const std::wstring& text) {
    ::SendMessageW(::GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

struct Observed {
    bool found = false;
    bool domainEnabled = false;
    std::wstring boxCaption, boxText;
    bool openAfterBox = false;
};

// Shows the dialog while the script drives it from another thread; the
// script gets the dialog and what it observes goes into observed.
INT_PTR ShowDriven(CProxyAuthenDialogBase& dialog, const DialogKind& kind, uint32_t disableDomain,
                   Observed& observed, const std::function<void(HWND, Observed&)>& script) {
    std::thread driver([&] {
        HWND window = FindAuthDialog(kind);
        observed.found = window != nullptr;
        if (!window) return;
        observed.domainEnabled = ::IsWindowEnabled(::GetDlgItem(window, kind.domain)) != FALSE;
        script(window, observed);
    });
    const INT_PTR result = dialog.Show(disableDomain);
    driver.join();
    return result;
}

// Answers the message box the dialog shows and records it; then looks
// whether the dialog stayed.
void AnswerBox(HWND window, Observed& observed) {
    HWND box = FindMessageBox(window);
    if (!box) return;
    observed.boxCaption = WindowText(box);
    wchar_t text[256] = {};
    ::GetDlgItemTextW(box, 0xFFFF, text, 256);
    observed.boxText = text;
    Press(box, IDOK);
    WaitFor([&]() -> HWND { return ::IsWindow(box) ? nullptr : window; });
    ::Sleep(200);
    observed.openAfterBox = ::IsWindow(window) && ::IsWindowVisible(window);
}

struct FillCase {
    const char* name;
    std::wstring user, password, domain;
    uint32_t disableDomain;
    int message;  // -1: accepted; else the index of the message shown
    std::wstring storedUser, storedPassword, storedDomain;
};

const std::wstring k300(300, L'x');

const FillCase kFillCases[] = {
    {"TrimmedValuesAreReturned", L"  alice  ", L"  s3cret ", L" CORP ", 0, -1, L"alice", L"s3cret",
     L"CORP"},
    {"BlankUserNameIsRefused", L"    ", L"pw", L"CORP", 0, 0, L"", L"", L""},
    {"EmptyPasswordIsRefused", L"bob", L"", L"CORP", 0, 1, L"bob", L"", L""},
    {"BlankDomainIsRefused", L"bob", L" pw", L"   ", 0, 2, L"bob", L"pw", L""},
    {"DisabledDomainAcceptsEmpty", L"bob", L"pw", L"", 1, -1, L"bob", L"pw", L""},
    {"DisabledDomainIsNotRead", L"bob", L"pw", L"CORP", 1, -1, L"bob", L"pw", L""},
    {"LongFieldsAreCutToTheirBuffers", k300, k300, k300, 0, -1, std::wstring(259, L'x'),
     std::wstring(258, L'x'), std::wstring(258, L'x')},
    // Only U+0020 blanks are trimmed.
    {"TabsAreKept", L"\tcarol", L"pw\t", L"D", 0, -1, L"\tcarol", L"pw\t", L"D"},
};

void PrintTo(const DialogKind& kind, std::ostream* out) { *out << kind.name; }
void PrintTo(const FillCase& c, std::ostream* out) { *out << c.name; }

class ProxyAuthenFillTest
    : public ::testing::TestWithParam<std::tuple<DialogKind, FillCase>> {};

TEST_P(ProxyAuthenFillTest, OkValidatesTheFields) {
    const auto& [kind, c] = GetParam();
    auto dialog = MakeDialog(kind);
    Observed observed;
    const INT_PTR result =
        ShowDriven(*dialog, kind, c.disableDomain, observed, [&](HWND window, Observed& seen) {
            Fill(window, kind.user, c.user);
            Fill(window, kind.password, c.password);
            Fill(window, kind.domain, c.domain);
            Press(window, IDOK);
            if (c.message < 0) return;
            AnswerBox(window, seen);
            Press(window, IDCANCEL);
        });
    ASSERT_TRUE(observed.found);
    EXPECT_EQ(observed.domainEnabled, c.disableDomain == 0);
    if (c.message < 0) {
        EXPECT_EQ(result, IDOK);
    } else {
        EXPECT_EQ(observed.boxCaption, kind.caption);
        EXPECT_EQ(observed.boxText, kind.messages[c.message]);
        EXPECT_TRUE(observed.openAfterBox);
        EXPECT_EQ(result, IDCANCEL);
    }
    // A refused OK keeps what the checks before it stored.
    EXPECT_EQ(dialog->GetUsername(), c.storedUser);
    EXPECT_EQ(dialog->GetPassword(), c.storedPassword);
    EXPECT_EQ(dialog->GetDomain(), c.storedDomain);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ProxyAuthenFillTest,
    ::testing::Combine(::testing::Values(kEnglish, kChinese), ::testing::ValuesIn(kFillCases)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

TEST(ProxyAuthenDialog, ARefusedOkCanBeCorrected) {
    CProxyAuthenDialog dialog;
    Observed observed;
    const INT_PTR result = ShowDriven(dialog, kEnglish, 0, observed, [&](HWND window, Observed& seen) {
        Fill(window, IDC_PROXY_PASSWORD, L"pw");
        Fill(window, IDC_PROXY_DOMAIN, L"CORP");
        Press(window, IDOK);
        AnswerBox(window, seen);
        Fill(window, IDC_PROXY_USERNAME, L" dave");
        Press(window, IDOK);
    });
    EXPECT_EQ(observed.boxText, L"Username can not be null");
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dialog.GetUsername(), L"dave");
    EXPECT_EQ(dialog.GetPassword(), L"pw");
    EXPECT_EQ(dialog.GetDomain(), L"CORP");
}

struct CancelCase {
    const char* name;
    std::function<void(HWND)> act;
};

void PrintTo(const CancelCase& c, std::ostream* out) { *out << c.name; }

class ProxyAuthenCancelTest : public ::testing::TestWithParam<CancelCase> {};

TEST_P(ProxyAuthenCancelTest, EndsWithCancelAndStoresNothing) {
    CProxyAuthenDialog dialog;
    Observed observed;
    const INT_PTR result = ShowDriven(dialog, kEnglish, 0, observed, [&](HWND window, Observed&) {
        Fill(window, IDC_PROXY_USERNAME, L"erin");
        Fill(window, IDC_PROXY_PASSWORD, L"pw");
        Fill(window, IDC_PROXY_DOMAIN, L"CORP");
        GetParam().act(window);
    });
    ASSERT_TRUE(observed.found);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dialog.GetUsername(), L"");
    EXPECT_EQ(dialog.GetPassword(), L"");
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ProxyAuthenCancelTest,
    ::testing::Values(
        CancelCase{"CancelButton",
                   [](HWND window) { ::PostMessageW(::GetDlgItem(window, IDCANCEL), BM_CLICK, 0, 0); }},
        CancelCase{"EscapeKey",
                   [](HWND window) {
                       HWND edit = ::GetDlgItem(window, IDC_PROXY_PASSWORD);
                       ::PostMessageW(edit, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
                   }},
        CancelCase{"CloseBox",
                   [](HWND window) { ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProxyAuthenDialog, EnterInAFieldIsOk) {
    CProxyAuthenDialog dialog;
    Observed observed;
    const INT_PTR result = ShowDriven(dialog, kEnglish, 1, observed, [&](HWND window, Observed&) {
        Fill(window, IDC_PROXY_USERNAME, L"frank");
        Fill(window, IDC_PROXY_PASSWORD, L"pw");
        ::PostMessageW(::GetDlgItem(window, IDC_PROXY_PASSWORD), WM_KEYDOWN, VK_RETURN, 0x001C0001);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dialog.GetUsername(), L"frank");
}

// The templates: every control in template order with its id, text, class,
// place and size in dialog units; the dialog's own size and styles.
struct ControlCase {
    int id;
    const wchar_t* className;
    std::wstring text;
    RECT units;  // x, y, width, height
};

struct Layout {
    const DialogKind* kind;
    std::vector<ControlCase> controls;
};

const Layout kLayouts[] = {
    {&kEnglish,
     {{IDOK, L"Button", L"OK", {43, 112, 50, 14}},
      {IDCANCEL, L"Button", L"Cancel", {143, 112, 50, 14}},
      {1009, L"Static", L"Please input proxy authentication information:", {16, 14, 215, 12}},
      {1000, L"Edit", L"", {100, 35, 90, 14}},
      {1001, L"Edit", L"", {100, 58, 90, 14}},
      {1011, L"Edit", L"", {100, 81, 90, 14}},
      {1002, L"Static", L"Username:", {38, 37, 58, 8}},
      {1003, L"Static", L"Password:", {38, 60, 58, 8}},
      {1010, L"Static", L"  Domain:", {38, 83, 58, 8}}}},
    {&kChinese,
     {{IDOK, L"Button", L"确定", {43, 112, 50, 14}},
      {IDCANCEL, L"Button", L"取消", {143, 112, 50, 14}},
      {1008, L"Static", L"请输入代理的认证信息:", {16, 14, 212, 12}},
      {1004, L"Edit", L"", {100, 35, 90, 14}},
      {1005, L"Edit", L"", {100, 58, 90, 14}},
      {1013, L"Edit", L"", {100, 81, 90, 14}},
      {1006, L"Static", L"用户名:", {47, 37, 47, 8}},
      {1007, L"Static", L"密  码:", {47, 60, 47, 8}},
      {1012, L"Static", L"域  名:", {47, 83, 47, 8}}}},
};

struct ObservedControl {
    int id;
    std::wstring className, text;
    RECT pixels;
    LONG style;
    LONG exStyle;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.kind->name; }

class ProxyAuthenLayoutTest : public ::testing::TestWithParam<Layout> {};

TEST_P(ProxyAuthenLayoutTest, TemplateHasTheControlsInOrder) {
    const Layout& layout = GetParam();
    auto dialog = MakeDialog(*layout.kind);
    Observed observed;
    std::vector<ObservedControl> controls;
    RECT client{}, expectedClient{0, 0, 245, 150};
    LONG style = 0, exStyle = 0;
    std::vector<RECT> expected;
    ShowDriven(*dialog, *layout.kind, 0, observed, [&](HWND window, Observed&) {
        ::GetClientRect(window, &client);
        ::MapDialogRect(window, &expectedClient);
        style = ::GetWindowLongW(window, GWL_STYLE);
        exStyle = ::GetWindowLongW(window, GWL_EXSTYLE);
        for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            RECT box{};
            ::GetWindowRect(child, &box);
            ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&box), 2);
            controls.push_back({::GetDlgCtrlID(child), ClassName(child), WindowText(child), box,
                                ::GetWindowLongW(child, GWL_STYLE),
                                ::GetWindowLongW(child, GWL_EXSTYLE)});
        }
        for (const ControlCase& c : layout.controls) {
            // The dialog manager maps the place and the size each on its own.
            RECT units = c.units;
            ::MapDialogRect(window, &units);
            expected.push_back({units.left, units.top, units.left + units.right,
                                units.top + units.bottom});
        }
        Press(window, IDCANCEL);
    });
    ASSERT_TRUE(observed.found);
    EXPECT_EQ(client.right, expectedClient.right);
    EXPECT_EQ(client.bottom, expectedClient.bottom);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), WS_POPUP | WS_CAPTION | WS_SYSMENU);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
    EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME);
    ASSERT_EQ(controls.size(), layout.controls.size());
    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlCase& want = layout.controls[i];
        const ObservedControl& got = controls[i];
        SCOPED_TRACE(want.id);
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(_wcsicmp(got.className.c_str(), want.className), 0) << got.className.c_str();
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(got.pixels.left, expected[i].left);
        EXPECT_EQ(got.pixels.top, expected[i].top);
        EXPECT_EQ(got.pixels.right, expected[i].right);
        EXPECT_EQ(got.pixels.bottom, expected[i].bottom);
        if (got.className == L"Edit") {
            // The dialog manager draws a bordered edit box with the sunken edge.
            EXPECT_TRUE((got.style & WS_BORDER) || (got.exStyle & WS_EX_CLIENTEDGE));
            EXPECT_TRUE(got.style & WS_TABSTOP);
            EXPECT_TRUE(got.style & ES_AUTOHSCROLL);
            EXPECT_EQ((got.style & ES_PASSWORD) != 0, i == 4);
        }
        if (got.className == L"Button") {
            EXPECT_TRUE(got.style & WS_TABSTOP);
            EXPECT_EQ((got.style & 0xF) == BS_DEFPUSHBUTTON, want.id == IDOK);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Templates, ProxyAuthenLayoutTest, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.kind->name); });

POINT Centre(const RECT& r) { return {(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

TEST(ProxyAuthenDialog, IsOwnedByTheActiveWindowAndCentredOnIt) {
    HWND owner = ::CreateWindowExW(0, L"Static", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 60,
                                   700, 500, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    ::SetActiveWindow(owner);
    ASSERT_EQ(::GetActiveWindow(), owner);
    CProxyAuthenDialog dialog;
    Observed observed;
    HWND seenOwner = nullptr;
    RECT box{};
    ShowDriven(dialog, kEnglish, 0, observed, [&](HWND window, Observed&) {
        seenOwner = ::GetWindow(window, GW_OWNER);
        ::GetWindowRect(window, &box);
        Press(window, IDCANCEL);
    });
    RECT ownerBox{};
    ::GetWindowRect(owner, &ownerBox);
    ::DestroyWindow(owner);
    EXPECT_EQ(seenOwner, owner);
    EXPECT_NEAR(Centre(box).x, Centre(ownerBox).x, 2);
    EXPECT_NEAR(Centre(box).y, Centre(ownerBox).y, 2);
}

TEST(ProxyAuthenDialog, WithoutAnOwnerIsCentredOnTheWorkArea) {
    ASSERT_EQ(::GetActiveWindow(), nullptr);
    CProxyAuthenDialog_Chinese dialog;
    Observed observed;
    HWND seenOwner = reinterpret_cast<HWND>(1);
    RECT box{};
    ShowDriven(dialog, kChinese, 0, observed, [&](HWND window, Observed&) {
        seenOwner = ::GetWindow(window, GW_OWNER);
        ::GetWindowRect(window, &box);
        Press(window, IDCANCEL);
    });
    RECT work{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(seenOwner, nullptr);
    EXPECT_NEAR(Centre(box).x, Centre(work).x, 2);
    EXPECT_NEAR(Centre(box).y, Centre(work).y, 2);
}

}  // namespace
