#include "TestSupport.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>

#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"

namespace TestSupport {

SYSTEMTIME MakeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                    WORD milliseconds) {
    SYSTEMTIME t{};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = milliseconds;
    return t;
}

std::vector<unsigned char> ReadFileBytes(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return bytes;
    unsigned char buffer[8192];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.insert(bytes.end(), buffer, buffer + read);
    }
    return bytes;
}

std::wstring ReadUtf16File(const std::wstring& path) {
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
}

std::string ReadTextFile(const std::wstring& path) {
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DayLog::Open() {
    if (LogInit(kTavriskModuleId) != 1) return false;
    m_path = CLogContext::Instance().LogFolder() + m_day + L".txt";
    Clear();
    return true;
}

void DayLog::Close() {
    LogUninit();
    Clear();
}

void DayLog::Clear() const {
    if (!m_path.empty()) ::DeleteFileW(m_path.c_str());
}

std::string DayLog::Text() const { return CodePageFromWide(ReadUtf16File(m_path), CP_UTF8); }

HANDLE StartProcess(const std::wstring& commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        return nullptr;
    }
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

bool ReturnsWithoutABox(void (*call)(void*), void* context, DWORD timeoutMs) {
    struct Call {
        void (*call)(void*);
        void* context;
    } run{call, context};
    DWORD threadId = 0;
    Owners::UniqueHandle thread(::CreateThread(
        nullptr, 0,
        [](void* c) -> DWORD {
            auto* r = static_cast<Call*>(c);
            r->call(r->context);
            return 0;
        },
        &run, 0, &threadId));
    if (!thread) return false;
    if (::WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0) return true;
    ::EnumThreadWindows(
        threadId,
        [](HWND window, LPARAM) -> BOOL {
            ::PostMessageW(window, WM_CLOSE, 0, 0);
            return TRUE;
        },
        0);
    // The call still uses run and the caller's context: it must end before
    // they go, or the test process ends here rather than run on with them.
    if (::WaitForSingleObject(thread.get(), timeoutMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "a call that showed a box did not end once it was closed\n");
        std::abort();
    }
    return false;
}

int RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    Owners::UniqueHandle process(StartProcess(commandLine));
    if (!process) return -1;
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

namespace {
std::wstring Backslashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}
}  // namespace

std::wstring TestBinDir() { return Backslashes(QUARLO_TEST_BIN_DIR); }
std::wstring BinDir() { return Backslashes(QUARLO_BIN_DIR); }

bool RunningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TempDir::TempDir() {
    wchar_t base[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    wchar_t name[64];
    _snwprintf(name, 64, L"qtest-%lu-%ld", ::GetCurrentProcessId(),
               ::InterlockedIncrement(&counter));
    m_path = std::wstring(base) + name;
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

TempDir::~TempDir() {
    std::wstring from = m_path;
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    ::SHFileOperationW(&op);
}

ScopedRegistryKey::ScopedRegistryKey(HKEY root, std::wstring subKey)
    : m_root(root), m_subKey(std::move(subKey)) {
    ::SHDeleteKeyW(m_root, m_subKey.c_str());
}

ScopedRegistryKey::~ScopedRegistryKey() { ::SHDeleteKeyW(m_root, m_subKey.c_str()); }

void ScopedRegistryKey::SetDword(const wchar_t* name, DWORD value) {
    ::SHSetValueW(m_root, m_subKey.c_str(), name, REG_DWORD, &value, sizeof(value));
}

void ScopedRegistryKey::SetString(const wchar_t* name, const std::wstring& value) {
    ::SHSetValueW(m_root, m_subKey.c_str(), name, REG_SZ, value.c_str(),
                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

ScopedTestLog::ScopedTestLog(const SYSTEMTIME& day)
    : m_clock(day), m_clockHook(Timing::SetSourceForTest, &m_clock) {
    LogInit(kTavriskModuleId);
    m_path = CLogContext::Instance().LogFolder() +
             FormatW(L"%04u-%02u-%02u.txt", static_cast<unsigned>(day.wYear),
                     static_cast<unsigned>(day.wMonth), static_cast<unsigned>(day.wDay));
    ::DeleteFileW(m_path.c_str());
}

ScopedTestLog::~ScopedTestLog() {
    LogUninit();
    ::DeleteFileW(m_path.c_str());
}

std::string ScopedTestLog::Text() const {
    return CodePageFromWide(ReadUtf16File(m_path), CP_UTF8);
}

}  // namespace TestSupport
