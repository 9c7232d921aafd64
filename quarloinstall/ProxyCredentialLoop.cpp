#include "ProxyCredentialLoop.h"

#include "Loglib.h"
#include "ProxyAuthenDialog.h"
#include "ProxyCredentials.h"
#include "TimedMessageBox.h"

namespace {

// The proxy refused the tunnel for want of credentials: 802 for Basic (no
// domain), 803 for NTLM.
constexpr uint32_t kProxyAuthBasicRefused = 802;
constexpr uint32_t kProxyAuthNtlmRefused = 803;
// Dialogs shown before the loop gives up.
constexpr int kMaxDialogs = 3;
constexpr UINT kBoxSeconds = 20;

class RealProxyCredentialUi : public IProxyCredentialUi {
public:
    INT_PTR AskCredentials(bool chinese, bool disableDomain, std::wstring& user,
                           std::wstring& password, std::wstring& domain) override {
        CProxyAuthenDialog english;
        CProxyAuthenDialog_Chinese chineseDialog;
        CProxyAuthenDialogBase& dialog =
            chinese ? static_cast<CProxyAuthenDialogBase&>(chineseDialog) : english;
        const INT_PTR result = dialog.Show(disableDomain ? 1 : 0);
        if (result == IDOK) {
            user = dialog.GetUsername();
            password = dialog.GetPassword();
            domain = dialog.GetDomain();
        }
        return result;
    }
    void ShowTimedBox(const wchar_t* text, const wchar_t* caption) override {
        ShowTimedMessageBox(nullptr, text, caption, MB_ICONINFORMATION, kBoxSeconds, 0);
    }
};

RealProxyCredentialUi g_realUi;
IProxyCredentialUi* g_ui = &g_realUi;

// Stores a credential text; a text the record cannot hold whole is refused
// (left empty) rather than cut, and said so.
void StoreCredential(wchar_t (&field)[kProxyInfoTextUnits], const std::wstring& text,
                     const wchar_t* what) {
    if (!SetProxyInfoText(field, text)) {
        LOGW(LOG_WARNING, L"ProxyCredentialLoop: the proxy %s is longer than %u characters, it is "
                          L"not used.\n",
             what, static_cast<unsigned>(kProxyInfoTextUnits - 1));
    }
}

void WipeText(std::wstring& text) {
    if (!text.empty()) ::SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
}

}  // namespace

IProxyCredentialUi* SetProxyCredentialUiForTest(IProxyCredentialUi* ui) {
    IProxyCredentialUi* previous = g_ui == &g_realUi ? nullptr : g_ui;
    g_ui = ui ? ui : &g_realUi;
    return previous;
}

uint32_t ProxyDialogLanguage(uint32_t languageId) {
    if ((languageId & 0xFFFF) == 0) return ::GetSystemDefaultLangID();
    return languageId;
}

ProxyCredentialLoopResult RunProxyCredentialLoop(const ProxyDownloadAttempt& attempt,
                                                 const ProxyCredentialLoopSettings& settings,
                                                 ProxyInfo& info, uint32_t* lastError) {
    const bool chinese = IsChineseProxyDialogLanguage(settings.languageId);
    const wchar_t* caption = settings.boxCaption ? settings.boxCaption : L"";
    int dialogs = 0;
    bool firstRefusal = true;
    for (;;) {
        uint32_t error = 0;
        const int32_t result = attempt(error);
        if (lastError) *lastError = result == 0 ? 0 : error;
        if (result == 0) return ProxyCredentialLoopResult::Downloaded;
        if (error != kProxyAuthBasicRefused && error != kProxyAuthNtlmRefused) {
            return ProxyCredentialLoopResult::Failed;
        }
        if (dialogs >= kMaxDialogs) {
            LOGW(LOG_ERROR, L"%s", settings.tooManyRefusalsLog ? settings.tooManyRefusalsLog : L"");
            g_ui->ShowTimedBox(
                chinese ? L"\u4EE3\u7406\u8BA4\u8BC1\u5931\u8D25\uFF0C\u5E76\u4E14\u8FBE\u5230"
                          L"\u6700\u5927\u5C1D\u8BD5\u6B21\u6570\uFF0C\u9000\u51FA\u5F53\u524D"
                          L"VPN\u8FDE\u63A5"  // 代理认证失败，并且达到最大尝试次数，退出当前VPN连接
                        : L"Proxy authentication failed and more than three times, exit current "
                          L"VPN connection",
                caption);
            return ProxyCredentialLoopResult::TooManyRefusals;
        }
        info.bUseProxy = 1;
        const bool disableDomain = error == kProxyAuthBasicRefused;
        LOGW(LOG_INFO, L"Tavrisk: bDisableDomain is %d\n", disableDomain ? 1 : 0);

        if (firstRefusal) {
            firstRefusal = false;
            wchar_t user[kProxyInfoTextUnits] = {};
            wchar_t password[kProxyInfoTextUnits] = {};
            wchar_t domain[kProxyInfoTextUnits] = {};
            if (GetProxyInfo(user, password, domain, 1, 0)) {
                StoreCredential(info.proxyUser, user, L"user name");
                StoreCredential(info.proxyPassword, password, L"password");
                if (error == kProxyAuthNtlmRefused) StoreCredential(info.proxyDomain, domain, L"domain");
            }
            ::SecureZeroMemory(password, sizeof(password));
            continue;
        }

        ++dialogs;
        std::wstring user, password, domain;
        const INT_PTR answer = g_ui->AskCredentials(chinese, disableDomain, user, password, domain);
        if (answer != IDOK) {
            LOGW(LOG_ERROR, L"Proxy authentication canceled by user, exit current VPN connection\n");
            g_ui->ShowTimedBox(
                chinese ? L"\u7528\u6237\u53D6\u6D88\u4E86\u4EE3\u7406\u8BA4\u8BC1\uFF0C\u9000"
                          L"\u51FA\u5F53\u524DVPN\u8FDE\u63A5"  // 用户取消了代理认证，退出当前VPN连接
                        : L"Proxy authentication canceled by user, exit current VPN connection",
                caption);
            return ProxyCredentialLoopResult::Cancelled;
        }
        StoreCredential(info.proxyUser, user, L"user name");
        StoreCredential(info.proxyPassword, password, L"password");
        StoreCredential(info.proxyDomain, domain, L"domain");
        if (settings.onOk == ProxyCredentialsOnOk::UseAndSave) {
            LOGW(LOG_INFO, L"proxy host:%s, port:%d, bUseProxy:%d.\n", info.proxyHost,
                 static_cast<int>(info.proxyPort), static_cast<int>(info.bUseProxy));
            if (info.proxyUser[0] || info.proxyPassword[0]) {
                SaveProxyInfo(info.proxyUser, info.proxyPassword, info.proxyDomain, 1, 0);
            }
        }
        WipeText(password);
    }
}
