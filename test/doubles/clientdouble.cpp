// Stands in for the installed client programs (Brevanto.exe, corvd.exe,
// Stolvex.exe, BrevantoHttpd.exe, installed copies of Tavrisk.exe and
// Pelkora.exe, the updaters): copy it under the name the code looks for.
//
// Every start appends one entry to "<exe path>.journal" (UTF-8):
//   pid=<process id>
//   cwd=<working folder>
//   cmd=<raw command line>
//   show=<wShowWindow>   only when the starter set STARTF_USESHOWWINDOW
//   argc=<count from CommandLineToArgvW, program name included>
//   arg1=<first argument> ... argN=<last>
//   end
//
// What it does then is read from "<exe path>.behave" (key=value lines):
//   exit=<code>     exit code (default 0)
//   stay=<ms>       keep running that long before exiting; "forever" never ends
//   event=<name>    open that existing event and set it (before staying)
//   register=<dll>  call the DLL's DllRegisterServer first (an installing
//                   copy that registers a COM server, the COM double)
//   hkcu_dword=<key>\<value>=<number>  write that DWORD under HKCU first
//                   (the tunnel daemon leaving its state)
//   match=<text>    the following keys apply only when the raw command line
//                   contains <text>; the first matching section wins over
//                   the keys before any match line
// Without a side file the name decides: a name containing "_exit<N>" exits
// with N, one containing "_stay" runs until killed; otherwise it exits 0.
//
// Named Grendal.exe it is also the install-manager service's registration:
// "/service" creates the service "Grendal" (display name "Grendal",
// ImagePath the quoted path of this copy; an existing entry is pointed at
// this copy) and, when QUARLO_COMDOUBLE_DLL names the COM double, registers
// its classes; "/UnregServer" deletes the service and unregisters them. A
// registration that fails exits with 5 (after the journal entry).
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

struct Behaviour {
    DWORD exitCode = 0;
    DWORD stayMs = 0;
    std::wstring eventName;
    std::wstring registerDll;
    std::wstring hkcuDword;
};

void Apply(Behaviour& b, const std::wstring& key, const std::wstring& value) {
    if (key == L"exit") b.exitCode = static_cast<DWORD>(std::wcstol(value.c_str(), nullptr, 10));
    else if (key == L"stay") b.stayMs = value == L"forever" ? INFINITE : std::wcstoul(value.c_str(), nullptr, 10);
    else if (key == L"event") b.eventName = value;
    else if (key == L"register") b.registerDll = value;
    else if (key == L"hkcu_dword") b.hkcuDword = value;
}

void RegisterDll(const std::wstring& path) {
    HMODULE dll = ::LoadLibraryW(path.c_str());
    if (!dll) return;
    using Entry = HRESULT(STDAPICALLTYPE*)();
    if (auto entry = reinterpret_cast<Entry>(
            reinterpret_cast<void*>(::GetProcAddress(dll, "DllRegisterServer"))))
        entry();
    ::FreeLibrary(dll);
}

// "<key>\<value>=<number>"
void WriteUserDword(const std::wstring& spec) {
    const size_t eq = spec.find_last_of(L'=');
    const size_t slash = spec.find_last_of(L'\\', eq);
    if (eq == std::wstring::npos || slash == std::wstring::npos) return;
    const std::wstring key = spec.substr(0, slash), name = spec.substr(slash + 1, eq - slash - 1);
    const DWORD value = std::wcstoul(spec.c_str() + eq + 1, nullptr, 0);
    HKEY handle = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          &handle, nullptr) != ERROR_SUCCESS)
        return;
    ::RegSetValueExW(handle, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof(value));
    ::RegCloseKey(handle);
}

bool ReadSideFile(const std::wstring& path, const std::wstring& commandLine, Behaviour& out) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read) bytes.append(chunk, read);
    ::CloseHandle(file);

    Behaviour defaults;
    Behaviour section;
    bool inSection = false, sectionMatches = false, matched = false;
    size_t pos = 0;
    while (pos <= bytes.size() && !matched) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) end = bytes.size();
        std::wstring line = Wide(bytes.substr(pos, end - pos));
        pos = end + 1;
        while (!line.empty() && (line.back() == L'\r' || line.back() == L' ')) line.pop_back();
        const size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) continue;
        const std::wstring key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == L"match") {
            if (sectionMatches) { matched = true; break; }
            inSection = true;
            sectionMatches = commandLine.find(value) != std::wstring::npos;
            section = defaults;
            continue;
        }
        if (!inSection) Apply(defaults, key, value);
        else if (sectionMatches) Apply(section, key, value);
    }
    out = sectionMatches ? section : defaults;
    return true;
}

Behaviour FromName(const std::wstring& exePath) {
    Behaviour b;
    const size_t slash = exePath.find_last_of(L"\\/");
    const std::wstring name = exePath.substr(slash == std::wstring::npos ? 0 : slash + 1);
    const size_t exitAt = name.find(L"_exit");
    if (exitAt != std::wstring::npos) b.exitCode = std::wcstoul(name.c_str() + exitAt + 5, nullptr, 10);
    if (name.find(L"_stay") != std::wstring::npos) b.stayMs = INFINITE;
    return b;
}

void AppendJournal(const std::wstring& path, const std::string& entry) {
    // Several copies may start at once: append under a retry so no entry is lost.
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ::WriteFile(file, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
            ::CloseHandle(file);
            return;
        }
        ::Sleep(20);
    }
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return path.substr(slash == std::wstring::npos ? 0 : slash + 1);
}

bool CallComDouble(const char* entry) {
    wchar_t dll[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"QUARLO_COMDOUBLE_DLL", dll, MAX_PATH)) return true;
    HMODULE module = ::LoadLibraryW(dll);
    if (!module) return false;
    using Register = HRESULT(STDAPICALLTYPE*)();
    auto call = reinterpret_cast<Register>(::GetProcAddress(module, entry));
    const bool done = call && call() == S_OK;
    ::FreeLibrary(module);
    return done;
}

// The install-manager service's own registration verbs; false when one failed.
bool ServiceRegistration(const std::wstring& exe, const wchar_t* verb) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    bool done = false;
    if (::_wcsicmp(verb, L"/service") == 0) {
        const std::wstring image = L"\"" + exe + L"\"";
        SC_HANDLE service = ::CreateServiceW(manager, L"Grendal", L"Grendal", SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                             SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
        if (!service && ::GetLastError() == ERROR_SERVICE_EXISTS) {
            service = ::OpenServiceW(manager, L"Grendal", SERVICE_ALL_ACCESS);
            if (service &&
                !::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                        SERVICE_NO_CHANGE, image.c_str(), nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr)) {
                ::CloseServiceHandle(service);
                service = nullptr;
            }
        }
        done = service != nullptr && CallComDouble("DllRegisterServer");
        if (service) ::CloseServiceHandle(service);
    } else {
        SC_HANDLE service = ::OpenServiceW(manager, L"Grendal", DELETE);
        done = service != nullptr && ::DeleteService(service);
        if (service) ::CloseServiceHandle(service);
        done = CallComDouble("DllUnregisterServer") && done;
    }
    ::CloseServiceHandle(manager);
    return done;
}

}  // namespace

int wmain() {
    wchar_t exe[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH * 2);
    wchar_t cwd[MAX_PATH * 2] = {};
    ::GetCurrentDirectoryW(MAX_PATH * 2, cwd);
    const std::wstring commandLine = ::GetCommandLineW();

    std::string entry = "pid=" + std::to_string(::GetCurrentProcessId()) + "\n";
    entry += "cwd=" + Utf8(cwd) + "\n";
    entry += "cmd=" + Utf8(commandLine) + "\n";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    if (startup.dwFlags & STARTF_USESHOWWINDOW) {
        entry += "show=" + std::to_string(startup.wShowWindow) + "\n";
    }
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(commandLine.c_str(), &argc);
    entry += "argc=" + std::to_string(argc) + "\n";
    for (int i = 1; argv && i < argc; ++i) {
        entry += "arg" + std::to_string(i) + "=" + Utf8(argv[i]) + "\n";
    }
    const std::wstring verb = argv && argc == 2 ? argv[1] : L"";
    if (argv) ::LocalFree(argv);
    entry += "end\n";
    AppendJournal(std::wstring(exe) + L".journal", entry);

    if (::_wcsicmp(FileNameOf(exe).c_str(), L"Grendal.exe") == 0 &&
        (::_wcsicmp(verb.c_str(), L"/service") == 0 || ::_wcsicmp(verb.c_str(), L"/UnregServer") == 0) &&
        !ServiceRegistration(exe, verb.c_str())) {
        return 5;
    }

    Behaviour behaviour;
    if (!ReadSideFile(std::wstring(exe) + L".behave", commandLine, behaviour)) {
        behaviour = FromName(exe);
    }
    if (!behaviour.registerDll.empty()) RegisterDll(behaviour.registerDll);
    if (!behaviour.hkcuDword.empty()) WriteUserDword(behaviour.hkcuDword);
    if (!behaviour.eventName.empty()) {
        HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, behaviour.eventName.c_str());
        if (event) {
            ::SetEvent(event);
            ::CloseHandle(event);
        }
    }
    if (behaviour.stayMs) ::Sleep(behaviour.stayMs);
    return static_cast<int>(behaviour.exitCode);
}
