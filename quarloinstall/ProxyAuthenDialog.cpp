#include "ProxyAuthenDialog.h"

#include "TextConversion.h"
#include "ProxyAuthenDialogIds.h"

namespace {

const ProxyAuthenDialogResources kEnglish = {
    IDD_PROXY_AUTHEN,
    IDC_PROXY_USERNAME,
    IDC_PROXY_PASSWORD,
    IDC_PROXY_DOMAIN,
    IDC_PROXY_DOMAIN_LABEL,
    L"Proxy Authentication",
    L"Username can not be null",
    L"Password can not be null",
    L"Domain can not be null",
};

const ProxyAuthenDialogResources kChinese = {
    IDD_PROXY_AUTHEN_CHINESE,
    IDC_PROXY_CN_USERNAME,
    IDC_PROXY_CN_PASSWORD,
    IDC_PROXY_CN_DOMAIN,
    IDC_PROXY_CN_DOMAIN_LABEL,
    L"\u4EE3\u7406\u8BA4\u8BC1",              // 代理认证
    L"\u7528\u6237\u540D\u4E0D\u80FD\u4E3A\u7A7A",  // 用户名不能为空
    L"\u5BC6\u7801\u4E0D\u80FD\u4E3A\u7A7A",        // 密码不能为空
    L"\u57DF\u540D\u4E0D\u80FD\u4E3A\u7A7A",        // 域名不能为空
};

// Centres the dialog on its owner, or on the work area of its monitor when
// it has none (or the owner is hidden or minimised).
void CenterOnParent(HWND dialog) {
    RECT box{};
    if (!::GetWindowRect(dialog, &box)) return;
    HWND parent = ::GetParent(dialog);
    RECT area{};
    if (parent && ::IsWindowVisible(parent) && !::IsIconic(parent)) {
        ::GetWindowRect(parent, &area);
    } else {
        MONITORINFO monitor{};
        monitor.cbSize = sizeof(monitor);
        if (!::GetMonitorInfoW(::MonitorFromWindow(dialog, MONITOR_DEFAULTTOPRIMARY), &monitor))
            return;
        area = monitor.rcWork;
    }
    const LONG width = box.right - box.left, height = box.bottom - box.top;
    LONG left = area.left + (area.right - area.left - width) / 2;
    LONG top = area.top + (area.bottom - area.top - height) / 2;
    // Keep the caption on the screen.
    if (left < area.left) left = area.left;
    if (top < area.top) top = area.top;
    ::SetWindowPos(dialog, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

CProxyAuthenDialogBase::CProxyAuthenDialogBase(const ProxyAuthenDialogResources& resources)
    : m_resources(resources) {}

CProxyAuthenDialogBase::~CProxyAuthenDialogBase() {
    // The password should not outlive the question in freed memory.
    if (!m_strPassword.empty())
        ::SecureZeroMemory(m_strPassword.data(), m_strPassword.size() * sizeof(wchar_t));
}

CProxyAuthenDialog::CProxyAuthenDialog() : CProxyAuthenDialogBase(kEnglish) {}
CProxyAuthenDialog_Chinese::CProxyAuthenDialog_Chinese() : CProxyAuthenDialogBase(kChinese) {}

INT_PTR CProxyAuthenDialogBase::Show(uint32_t bDisableDomain) {
    m_bDisableDomain = static_cast<int32_t>(bDisableDomain);
    return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_resources.dialogId),
                             ::GetActiveWindow(), DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CProxyAuthenDialogBase::DialogProc(HWND dialog, UINT message, WPARAM wParam,
                                                    LPARAM lParam) {
    if (message == WM_INITDIALOG) ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    auto* self =
        reinterpret_cast<CProxyAuthenDialogBase*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    return self ? self->ProcessWindowMessage(dialog, message, wParam) : FALSE;
}

BOOL CProxyAuthenDialogBase::ProcessWindowMessage(HWND dialog, UINT message, WPARAM wParam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog(dialog);
            return TRUE;  // the default focus
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                OnOK(dialog);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

void CProxyAuthenDialogBase::OnInitDialog(HWND dialog) {
    m_hUsername = ::GetDlgItem(dialog, m_resources.usernameId);
    m_hPassword = ::GetDlgItem(dialog, m_resources.passwordId);
    m_hDomain = ::GetDlgItem(dialog, m_resources.domainId);
    m_hDomainLabel = ::GetDlgItem(dialog, m_resources.domainLabelId);
    CenterOnParent(dialog);
    if (m_bDisableDomain) ::EnableWindow(m_hDomain, FALSE);
}

bool CProxyAuthenDialogBase::ReadField(HWND dialog, HWND field, int maxChars,
                                       const wchar_t* emptyMessage, std::wstring& out) {
    wchar_t text[MAX_PATH] = {};
    ::GetWindowTextW(field, text, maxChars + 1);
    TrimSpaces(text);
    const bool empty = text[0] == L'\0';
    if (empty) {
        ::MessageBoxW(dialog, emptyMessage, m_resources.caption, MB_ICONEXCLAMATION);
        ::SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
    } else {
        out = text;
    }
    ::SecureZeroMemory(text, sizeof(text));
    return !empty;
}

void CProxyAuthenDialogBase::OnOK(HWND dialog) {
    if (!ReadField(dialog, m_hUsername, 259, m_resources.usernameEmpty, m_strUsername)) return;
    if (!ReadField(dialog, m_hPassword, 258, m_resources.passwordEmpty, m_strPassword)) return;
    if (!m_bDisableDomain &&
        !ReadField(dialog, m_hDomain, 258, m_resources.domainEmpty, m_strDomain))
        return;
    ::EndDialog(dialog, IDOK);
}
