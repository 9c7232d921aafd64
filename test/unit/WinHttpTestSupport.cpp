#include "WinHttpTestSupport.h"

#include <shlwapi.h>

#include <cstdlib>
#include <cstring>

namespace WinHttpTest {

namespace {
constexpr wchar_t kConnectionsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

void AppendDword(std::vector<unsigned char>& blob, DWORD value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    blob.insert(blob.end(), bytes, bytes + sizeof value);
}

void AppendText(std::vector<unsigned char>& blob, const std::string& text) {
    AppendDword(blob, static_cast<DWORD>(text.size()));
    blob.insert(blob.end(), text.begin(), text.end());
}
}  // namespace

unsigned HttpDoublePort() {
    const std::string text = TestSupport::ReadTextFile(std::wstring(QUARLO_HTTP_DOUBLE_DIR) + L"/port");
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

std::string HttpDoubleAddress() { return "127.0.0.1:" + std::to_string(HttpDoublePort()); }

std::wstring HttpDoubleUrl(const std::wstring& path) {
    return L"http://127.0.0.1:" + std::to_wstring(HttpDoublePort()) + path;
}

IESettings::IESettings() : m_key(HKEY_CURRENT_USER, kConnectionsKey) {}

void IESettings::Set(DWORD flags, const std::string& proxy, const std::string& bypass,
                     const std::string& autoConfigUrl) {
    std::vector<unsigned char> blob;
    AppendDword(blob, 0x46);
    AppendDword(blob, 1);
    AppendDword(blob, flags);
    AppendText(blob, proxy);
    AppendText(blob, bypass);
    AppendText(blob, autoConfigUrl);
    blob.resize(blob.size() + 32, 0);
    ::SHSetValueW(HKEY_CURRENT_USER, kConnectionsKey, L"DefaultConnectionSettings", REG_BINARY,
                  blob.data(), static_cast<DWORD>(blob.size()));
}

ConsoleUser* ConsoleUser::s_current = nullptr;

ConsoleUser::ConsoleUser()
    : m_system{&ConsoleUser::IsLocalSystem, &ConsoleUser::ConsoleSession, &ConsoleUser::QueryToken,
               &ConsoleUser::Enumerate, &ConsoleUser::FreeList} {
    s_current = this;
}

ConsoleUser::~ConsoleUser() { s_current = nullptr; }

bool ConsoleUser::ThreadImpersonates() {
    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
    ::CloseHandle(token);
    return true;
}

int ConsoleUser::IsLocalSystem() { return 1; }

DWORD WINAPI ConsoleUser::ConsoleSession() { return 1; }

BOOL WINAPI ConsoleUser::QueryToken(ULONG session, PHANDLE token) {
    ConsoleUser& self = *s_current;
    self.tokenQueries.push_back(session);
    bool available = session == 1 ? self.consoleTokenAvailable : false;
    for (DWORD s : self.activeTokenSessions) available = available || s == session;
    if (!available) {
        ::SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    if (self.tokenIsNotAToken) {
        *token = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        return TRUE;
    }
    // The process's own token stands in for the console user's.
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
}

BOOL WINAPI ConsoleUser::Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* list, DWORD* count) {
    ConsoleUser& self = *s_current;
    if (!self.listAvailable) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *list = self.listEmpty ? nullptr : self.sessions.data();
    *count = self.listEmpty ? 0 : static_cast<DWORD>(self.sessions.size());
    return TRUE;
}

void WINAPI ConsoleUser::FreeList(PVOID) {}

}  // namespace WinHttpTest
