#include "ProxyCredentials.h"

#include <shlwapi.h>

#include <atomic>
#include <cstring>

#include "Loglib.h"
#include "Owners.h"
#include "ProxyIni.h"
#include "StringUtil.h"
#include "System.h"

namespace {

constexpr DataProtectionApi kRealDataProtection{&::CryptProtectData, &::CryptUnprotectData};
std::atomic<const DataProtectionApi*> g_dataProtection{&kRealDataProtection};

const DataProtectionApi& DataProtection() { return *g_dataProtection.load(); }

// The last error as an HRESULT. A failure that left no error code is still a
// failure: E_FAIL, never S_OK.
HRESULT LastErrorResult() {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SUCCESS) return E_FAIL;
    if (static_cast<HRESULT>(error) < 0) return static_cast<HRESULT>(error);
    return HRESULT_FROM_WIN32(error);
}

// Overwrites a copy of a secret before its memory is given back.
template <class Text>
void Wipe(Text& text) {
    if (!text.empty()) ::SecureZeroMemory(text.data(), text.size() * sizeof(text[0]));
    text.clear();
}

// Narrow text of the thread's code page with its NUL, sealed.
HRESULT ProtectNarrow(const std::wstring& text, std::string& base64) {
    std::string narrow = CodePageFromWide(text, CP_THREAD_ACP);
    const HRESULT hr =
        ProtectDataToBase64(narrow.c_str(), static_cast<int32_t>(narrow.size() + 1), base64);
    Wipe(narrow);
    return hr;
}

// Copies a value into an output of kProxyInfoTextUnits; a longer value is
// refused, as a cut user name or password is never the right one.
void CopyOut(wchar_t (&out)[kProxyInfoTextUnits], const std::wstring& value, const wchar_t* name) {
    if (!SetProxyInfoText(out, value)) {
        LOGW(LOG_WARNING, L"GetProxyInfo: %s has %d characters, more than %d, not used\n", name,
             static_cast<int>(value.size()), static_cast<int>(kProxyInfoTextUnits - 1));
    }
}

}  // namespace

const DataProtectionApi* SetDataProtectionApiForTest(const DataProtectionApi* api) {
    return g_dataProtection.exchange(api ? api : &kRealDataProtection);
}

HRESULT ProtectDataToBase64(const void* data, int32_t length, std::string& base64) {
    base64.clear();
    if (!data || length <= 0) return E_INVALIDARG;
    DATA_BLOB input{static_cast<DWORD>(length), static_cast<BYTE*>(const_cast<void*>(data))};
    DATA_BLOB sealed{};
    if (!DataProtection().protect(&input, L"QuarloVPN", nullptr, nullptr, nullptr,
                                  CRYPTPROTECT_LOCAL_MACHINE, &sealed)) {
        return LastErrorResult();
    }
    Owners::UniqueLocalMem sealedOwner(sealed.pbData);
    constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD size = 0;
    if (!::CryptBinaryToStringA(sealed.pbData, sealed.cbData, kFlags, nullptr, &size) || size == 0) {
        return LastErrorResult();
    }
    std::string text(size, '\0');
    if (!::CryptBinaryToStringA(sealed.pbData, sealed.cbData, kFlags, text.data(), &size)) {
        return LastErrorResult();
    }
    text.resize(size);  // the written length, without the terminator
    base64 = std::move(text);
    return S_OK;
}

HRESULT UnprotectDataFromBase64(const char* base64, std::vector<BYTE>& data) {
    data.clear();
    if (!base64) return E_INVALIDARG;
    const DWORD length = static_cast<DWORD>(std::strlen(base64));
    DWORD size = 0;
    if (!::CryptStringToBinaryA(base64, length, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                                nullptr)) {
        return LastErrorResult();
    }
    std::vector<BYTE> blob(size);
    if (!::CryptStringToBinaryA(base64, length, CRYPT_STRING_BASE64, blob.data(), &size, nullptr,
                                nullptr)) {
        return LastErrorResult();
    }
    DATA_BLOB input{size, blob.data()};
    DATA_BLOB plain{};
    if (!DataProtection().unprotect(&input, nullptr, nullptr, nullptr, nullptr, 0, &plain)) {
        return LastErrorResult();
    }
    Owners::UniqueLocalMem plainOwner(plain.pbData);
    data.assign(plain.pbData, plain.pbData + plain.cbData);
    ::SecureZeroMemory(plain.pbData, plain.cbData);
    return S_OK;
}

HRESULT ProtectStringToBase64(const std::wstring& text, std::wstring& base64) {
    std::string sealed;
    const HRESULT hr = ProtectNarrow(text, sealed);
    base64 = SUCCEEDED(hr) ? WideFromCodePage(sealed, CP_THREAD_ACP) : std::wstring();
    return hr;
}

int32_t SaveProxyInfo(const wchar_t* user, const wchar_t* password, const wchar_t* domain,
                      uint32_t outside, uint32_t kind) {
    std::wstring sealed;
    const HRESULT hr = ProtectStringToBase64(password ? password : L"", sealed);
    if (FAILED(hr)) {
        LOGW(LOG_WARNING, L"SaveProxyInfo: protect password failed, error is 0x%x\n",
             static_cast<unsigned>(hr));
    }
    const std::wstring path = ProxyIni::IniPath(kind);
    if (path.empty() || !::PathFileExistsW(path.c_str())) {
        LOGW(LOG_INFO, L"SaveProxyInfo: %s is not exist\n", path.c_str());
    }
    const ProxyIni::UpdateResult result =
        ProxyIni::Update(path, L"SaveProxyInfo", ProxyIni::Create::CreateIfMissing,
                         [&](ProxyIni::Editor& edit) {
                             edit.Set(ProxyIni::UserNameKey(outside), user ? user : L"");
                             edit.Set(ProxyIni::PassWordKey(outside), sealed);
                             edit.Set(ProxyIni::DomainKey(outside), domain ? domain : L"");
                         });
    switch (result) {
        case ProxyIni::UpdateResult::Saved: return 1;
        case ProxyIni::UpdateResult::NotSaved:
            LOGW(LOG_WARNING, L"SaveProxyInfo: failed to write to disk, error is %d\n",
                 static_cast<int>(::GetLastError()));
            return 0;
        default: return 0;
    }
}

int32_t GetProxyInfo(wchar_t (&user)[kProxyInfoTextUnits], wchar_t (&password)[kProxyInfoTextUnits],
                     wchar_t (&domain)[kProxyInfoTextUnits], uint32_t outside, uint32_t kind) {
    const ProxyIni::Reader file(ProxyIni::IniPath(kind));
    if (!file.Exists()) {
        LOGW(LOG_WARNING, L"GetProxyInfo: file %s is not exist.\n", file.Path().c_str());
        return 0;
    }
    const std::wstring userText = file.Get(ProxyIni::UserNameKey(outside), ProxyIni::kShortUnits);
    const std::wstring domainText = file.Get(ProxyIni::DomainKey(outside), ProxyIni::kShortUnits);
    // The sealed text is read whole: a cut one could never be unsealed.
    const std::wstring sealed = file.Get(ProxyIni::PassWordKey(outside), ProxyIni::kWholeValue);
    std::wstring passwordText;
    if (!sealed.empty()) {
        std::vector<BYTE> plain;
        const HRESULT hr =
            UnprotectDataFromBase64(CodePageFromWide(sealed, CP_THREAD_ACP).c_str(), plain);
        if (SUCCEEDED(hr)) {
            size_t length = 0;
            while (length < plain.size() && plain[length] != 0) ++length;
            std::string narrow(reinterpret_cast<const char*>(plain.data()), length);
            passwordText = WideFromCodePage(narrow, CP_THREAD_ACP);
            Wipe(narrow);
            ::SecureZeroMemory(plain.data(), plain.size());
        } else {
            LOGW(LOG_WARNING, L"GetProxyInfo: unprotect password failed, error is 0x%x\n",
                 static_cast<unsigned>(hr));
        }
    }
    CopyOut(user, userText, L"user name");
    CopyOut(password, passwordText, L"password");
    CopyOut(domain, domainText, L"domain");
    Wipe(passwordText);
    if (!user[0] && !password[0] && !domain[0]) LOGW(LOG_INFO, L"GetProxyInfo: all info are null\n");
    LOGW(LOG_INFO, L"GetProxyInfo:uname:%s, pwd:*****, domain:%s\n", user, domain);
    return 1;
}

void SaveClientSecurityResult(const wchar_t* result) {
    std::wstring sealed;
    const HRESULT hr = ProtectStringToBase64(result ? result : L"", sealed);
    if (FAILED(hr)) {
        LOGW(LOG_WARNING, L"SaveClientSecurityResult: protect result failed, error is 0x%x\n",
             static_cast<unsigned>(hr));
    }
    const std::wstring path = ProxyIni::IniPath(kProxyConfDirClientSecurity);
    const ProxyIni::UpdateResult saved =
        ProxyIni::Update(path, L"SaveClientSecurityResult", ProxyIni::Create::CreateIfMissing,
                         [&](ProxyIni::Editor& edit) {
                             LOGW(LOG_INFO, L"SaveClientSecurityResult to %s\n", path.c_str());
                             edit.Set(ProxyIni::Key::Result, sealed);
                         });
    if (saved == ProxyIni::UpdateResult::NotCreated) return;
    if (saved == ProxyIni::UpdateResult::NotSaved) {
        LOGW(LOG_WARNING, L"SaveClientSecurityResult: failed to write to disk, error is %d\n",
             static_cast<int>(::GetLastError()));
    }
    SaveOldClientSecurityResult(std::move(sealed));
}

void SaveOldClientSecurityResult(std::wstring protectedResult) {
    const std::wstring path = ProxyIni::ClientSecurityIniPath(kProxyConfDirClientSecurity);
    const ProxyIni::UpdateResult saved =
        ProxyIni::Update(path, L"SaveOldClientSecurityResult", ProxyIni::Create::CreateIfMissing,
                         [&](ProxyIni::Editor& edit) {
                             LOGW(LOG_INFO, L"SaveOldClientSecurityResult to %s\n", path.c_str());
                             edit.Set(ProxyIni::Key::Result, protectedResult);
                         });
    if (saved == ProxyIni::UpdateResult::NotSaved) {
        LOGW(LOG_WARNING, L"SaveOldClientSecurityResult: failed to write to disk, error is %d\n",
             static_cast<int>(::GetLastError()));
    }
}
