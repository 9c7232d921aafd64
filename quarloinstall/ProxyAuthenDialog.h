// The modal dialogs that ask the user for the proxy's user name, password
// and domain when the proxy refuses the gateway tunnel for want of
// credentials: an English one and a Chinese one (language 2052), the same
// behaviour over their own templates (ProxyAuthenDialog.rci) in the
// program's own module.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The ids and texts that tell the two dialogs apart.
struct ProxyAuthenDialogResources {
    int dialogId;
    int usernameId;
    int passwordId;
    int domainId;
    int domainLabelId;
    const wchar_t* caption;
    const wchar_t* usernameEmpty;
    const wchar_t* passwordEmpty;
    const wchar_t* domainEmpty;
};

class CProxyAuthenDialogBase {
public:
    virtual ~CProxyAuthenDialogBase();
    CProxyAuthenDialogBase(const CProxyAuthenDialogBase&) = delete;
    CProxyAuthenDialogBase& operator=(const CProxyAuthenDialogBase&) = delete;

    // Runs the dialog modally, owned by the process's active window (normally
    // none). IDOK once valid credentials were entered, IDCANCEL when the user
    // cancelled or closed it, -1 when the dialog could not be shown (its
    // template is missing, for one). With bDisableDomain set the domain
    // field is greyed out and not asked for.
    INT_PTR Show(uint32_t bDisableDomain);

    // What OK stored, trimmed of blanks. A field keeps its earlier value
    // until OK gets past its check.
    std::wstring GetUsername() const { return m_strUsername; }
    std::wstring GetPassword() const { return m_strPassword; }
    std::wstring GetDomain() const { return m_strDomain; }

protected:
    explicit CProxyAuthenDialogBase(const ProxyAuthenDialogResources& resources);

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL ProcessWindowMessage(HWND dialog, UINT message, WPARAM wParam);
    void OnInitDialog(HWND dialog);
    void OnOK(HWND dialog);
    // Reads at most maxChars characters of the field and trims them; false
    // (after telling the user) when nothing is left.
    bool ReadField(HWND dialog, HWND field, int maxChars, const wchar_t* emptyMessage,
                   std::wstring& out);

    const ProxyAuthenDialogResources& m_resources;
    HWND m_hUsername = nullptr;
    HWND m_hPassword = nullptr;
    HWND m_hDomain = nullptr;
    HWND m_hDomainLabel = nullptr;
    std::wstring m_strUsername;
    std::wstring m_strPassword;
    std::wstring m_strDomain;
    int32_t m_bDisableDomain = 0;
};

// Resource 129, language 1033.
class CProxyAuthenDialog : public CProxyAuthenDialogBase {
public:
    CProxyAuthenDialog();
};

// Resource 130, language 2052.
class CProxyAuthenDialog_Chinese : public CProxyAuthenDialogBase {
public:
    CProxyAuthenDialog_Chinese();
};
