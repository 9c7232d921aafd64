// The user's proxy credentials in Proxy.ini, and the protection that keeps
// the password (and the client-security result) out of plain text: sealed
// with the data protection API for this machine (any account here can
// unseal it, no other computer can) and stored as base64 without line
// breaks.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ProxyInfo.h"

// Seals length bytes into base64 text. E_INVALIDARG for no data or a length
// of 0 or less; a failed seal or encoding gives the HRESULT of the last
// error (E_FAIL when the platform left none) and an empty text.
HRESULT ProtectDataToBase64(const void* data, int32_t length, std::string& base64);
// Unseals base64 text. E_INVALIDARG for no text; failures as above, with no
// bytes handed out.
HRESULT UnprotectDataFromBase64(const char* base64, std::vector<BYTE>& data);
// Seals the text in the thread's code page with its terminating NUL; the
// output is the base64 text, or empty when sealing failed.
HRESULT ProtectStringToBase64(const std::wstring& text, std::wstring& base64);

// Stores user, sealed password and domain in the outside (outside != 0) or
// inside section of the kind's Proxy.ini, creating the file when missing;
// the other keys of the file are kept. 1 when they were written, 0 when the
// file could not be created or saved.
int32_t SaveProxyInfo(const wchar_t* user, const wchar_t* password, const wchar_t* domain,
                      uint32_t outside, uint32_t kind);
// Reads them back. 0 (outputs untouched) when the file is missing, else 1.
// A password that cannot be unsealed reads as empty while user and domain
// are still returned. A value longer than an output holds (127 characters)
// leaves that output empty rather than cut.
int32_t GetProxyInfo(wchar_t (&user)[kProxyInfoTextUnits], wchar_t (&password)[kProxyInfoTextUnits],
                     wchar_t (&domain)[kProxyInfoTextUnits], uint32_t outside, uint32_t kind);

// Seals result into Result of the kind-1 Proxy.ini, then hands the sealed
// text to SaveOldClientSecurityResult.
void SaveClientSecurityResult(const wchar_t* result);
// Stores the already sealed text as Result of the kind-1 client-security
// Proxy.ini.
void SaveOldClientSecurityResult(std::wstring protectedResult);

// The data protection calls. Tests replace them to reach the failure roads
// the real calls do not take on demand; nullptr restores the real ones.
struct DataProtectionApi {
    BOOL(WINAPI* protect)(DATA_BLOB* in, LPCWSTR description, DATA_BLOB* entropy, PVOID reserved,
                          CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out);
    BOOL(WINAPI* unprotect)(DATA_BLOB* in, LPWSTR* description, DATA_BLOB* entropy,
                            PVOID reserved, CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags,
                            DATA_BLOB* out);
};
const DataProtectionApi* SetDataProtectionApiForTest(const DataProtectionApi* api);
