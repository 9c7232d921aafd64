// The loop that lets a gateway download through a proxy that asks for
// credentials (errors 802 and 803): the first refusal retries with the
// credentials saved in Proxy.ini, the next three ask the user in the
// proxy-authentication dialog, a fifth (or a cancelled dialog) ends with a
// message box that closes itself after 20 seconds. English, or Chinese for
// language 2052. Every download that may meet such a proxy runs through it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ProxyInfo.h"

// What OK in the dialog does with the entered credentials besides using
// them for the next attempt.
enum class ProxyCredentialsOnOk {
    Use,
    UseAndSave,  // also stored in Proxy.ini's outside section (user or password given)
};

struct ProxyCredentialLoopSettings {
    uint32_t languageId;                // 2052 shows the Chinese dialog and texts
    const wchar_t* boxCaption;          // caption of the timed message box
    const wchar_t* tooManyRefusalsLog;  // the ERROR line of the fifth refusal, "\n" included
    ProxyCredentialsOnOk onOk;
};

enum class ProxyCredentialLoopResult {
    Downloaded,       // an attempt returned 0
    Failed,           // an attempt failed with an error other than 802 and 803
    TooManyRefusals,  // the fifth refusal; the user was told
    Cancelled,        // the dialog was not confirmed; the user was told
};

// One download with the credentials now in the record. 0 on success;
// otherwise nonzero with the cause in error (802 and 803 are the proxy's
// refusals). The attempt logs its own failure.
using ProxyDownloadAttempt = std::function<int32_t(uint32_t& error)>;

// Runs attempts until one succeeds or the loop ends. A refusal sets
// info.bUseProxy; saved and entered credentials go into info (user and
// password, the domain only for 803 or from the dialog). lastError, when
// given, receives the error of the last failed attempt (0 after success).
ProxyCredentialLoopResult RunProxyCredentialLoop(const ProxyDownloadAttempt& attempt,
                                                 const ProxyCredentialLoopSettings& settings,
                                                 ProxyInfo& info, uint32_t* lastError = nullptr);

// The language the dialogs follow: the given id, or the system's default
// language when its low 16 bits are 0.
uint32_t ProxyDialogLanguage(uint32_t languageId);
constexpr bool IsChineseProxyDialogLanguage(uint32_t languageId) { return languageId == 2052; }

// What the loop shows the user. The real one runs the dialogs and the timed
// box; tests install another.
class IProxyCredentialUi {
public:
    virtual ~IProxyCredentialUi() = default;
    // IDOK with the entered texts, anything else when the user did not confirm.
    virtual INT_PTR AskCredentials(bool chinese, bool disableDomain, std::wstring& user,
                                   std::wstring& password, std::wstring& domain) = 0;
    // The waiting form: returns when the user closed the box or it timed out.
    virtual void ShowTimedBox(const wchar_t* text, const wchar_t* caption) = 0;
};
// Installs a UI for a test (nullptr: the real one); returns the one replaced.
IProxyCredentialUi* SetProxyCredentialUiForTest(IProxyCredentialUi* ui);
