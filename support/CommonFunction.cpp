#include "CommonFunction.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <cwchar>
#include <vector>

#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"

namespace {

const wchar_t* TextOrEmpty(const wchar_t* text) { return text ? text : L""; }

bool FileExists(const std::wstring& path) {
    return !path.empty() && ::PathFileExistsW(path.c_str()) != FALSE;
}

// A process's lifetime under CreateProcessW: both handles closed on return.
bool StartProcessAndWait(std::wstring commandLine, DWORD waitMs, const STARTUPINFOW& startup,
                         DWORD* exitCode) {
    STARTUPINFOW si = startup;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &si, &pi)) {
        return false;
    }
    Owners::UniqueHandle process(pi.hProcess);
    Owners::UniqueHandle thread(pi.hThread);
    thread.reset();
    Timing::WaitForObject(process.get(), waitMs);
    if (exitCode) {
        *exitCode = 0;
        ::GetExitCodeProcess(process.get(), exitCode);
    }
    return true;
}

InstalledCopyFolders RealInstalledCopyFolders() {
    InstalledCopyFolders folders;
    wchar_t buffer[MAX_PATH] = {};
    if (::GetSystemDirectoryW(buffer, MAX_PATH)) folders.systemDir = buffer;
    buffer[0] = 0;
    if (::GetWindowsDirectoryW(buffer, MAX_PATH)) folders.windowsDir = buffer;
    folders.userTempDir = GetActiveUserTempDir();
    folders.is64BitOS = Is64BitOS() != 0;
    return folders;
}

InstalledCopyFoldersSource g_copyFolders = RealInstalledCopyFolders;

constexpr size_t kCOMServiceParametersMax = 1039;
constexpr size_t kRegistrationCommandMax = 259;
constexpr size_t kBhttpdCommandMax = 519;

}  // namespace

HANDLE GetProcessByName(const wchar_t* name, DWORD access) {
    Owners::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        LOGW(LOG_ERROR, L"GetProcessByName, Failed to call CreateToolhelp32Snapshot, error: %u\n",
             ::GetLastError());
        return nullptr;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot.get(), &entry)) {
        LOGW(LOG_ERROR, L"GetProcessByName, Failed to call Process32First, error: %u\n",
             ::GetLastError());
        return nullptr;
    }
    do {
        if (!EqualsAsciiNoCase(entry.szExeFile, TextOrEmpty(name))) continue;
        // Only the first process of the name is tried.
        HANDLE process = ::OpenProcess(access, FALSE, entry.th32ProcessID);
        if (!process) {
            LOGW(LOG_ERROR, L"GetProcessByName, Failed to open process (%s), error:%u\n",
                 entry.szExeFile, ::GetLastError());
        }
        return process;
    } while (::Process32NextW(snapshot.get(), &entry));
    return nullptr;
}

int IsProcessRunning(const wchar_t* name) {
    Owners::UniqueHandle process(GetProcessByName(name, SYNCHRONIZE | PROCESS_TERMINATE));
    return process ? 1 : 0;
}

bool StopProcessByName(const wchar_t* name) {
    Owners::UniqueHandle process(GetProcessByName(name, SYNCHRONIZE | PROCESS_TERMINATE));
    if (!process) {
        LOGW(LOG_INFO, L"StopProcessByName, process %s is not running.\n", TextOrEmpty(name));
        return true;
    }
    const BOOL terminated = ::TerminateProcess(process.get(), 1);
    const DWORD terminateError = ::GetLastError();
    // Termination only starts the end; a restart must not race the old instance.
    if (Timing::WaitForObject(process.get(), 10000) == WAIT_OBJECT_0) {
        LOGW(LOG_INFO, L"StopProcessByName, %s has been terminated.\n", TextOrEmpty(name));
        return true;
    }
    LOGW(LOG_WARNING, L"StopProcessByName, we cannot stop process %s, error is %d\n",
         TextOrEmpty(name), terminated ? static_cast<int>(::GetLastError())
                                       : static_cast<int>(terminateError));
    return false;
}

int IsProcessAlive(DWORD processId) {
    Owners::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    return process ? 1 : 0;
}

namespace {

// Walks the process list; stops at the first match unless counting.
int CountProcesses(const wchar_t* name, bool all, const char* caller) {
    Owners::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        LOGA(LOG_WARNING, "%s: failed to call CreateToolhelp32Snapshot, error %u\n", caller,
             static_cast<unsigned>(::GetLastError()));
        return 0;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot.get(), &entry)) {
        LOGA(LOG_WARNING, "%s: failed to call Process32First, error %u\n", caller,
             static_cast<unsigned>(::GetLastError()));
        return 0;
    }
    int count = 0;
    do {
        if (EqualsAsciiNoCase(entry.szExeFile, TextOrEmpty(name))) {
            ++count;
            if (!all) break;
        }
    } while (::Process32NextW(snapshot.get(), &entry));
    return count;
}

}  // namespace

int IsProcessExistByName(const wchar_t* name) {
    return CountProcesses(name, false, "IsProcessExistByName") ? 1 : 0;
}

int ProcessExistCountByName(const wchar_t* name) {
    return CountProcesses(name, true, "ProcessExistCountByName");
}

int IsCOMServiceExist(const wchar_t* name) {
    Owners::UniqueServiceHandle manager(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return 0;
    bool listed = false;
    DWORD needed = 0, returned = 0, resume = 0;
    constexpr DWORD kAllTypes = 0x3F;
    if (!::EnumServicesStatusW(manager.get(), kAllTypes, SERVICE_STATE_ALL, nullptr, 0, &needed,
                               &returned, &resume) &&
        ::GetLastError() == ERROR_MORE_DATA && resume == 0 && needed > 0) {
        std::wstring storage((needed + sizeof(wchar_t) - 1) / sizeof(wchar_t), L'\0');
        auto* services = reinterpret_cast<ENUM_SERVICE_STATUSW*>(storage.data());
        if (::EnumServicesStatusW(manager.get(), kAllTypes, SERVICE_STATE_ALL, services, needed,
                                  &needed, &returned, &resume)) {
            for (DWORD i = 0; i < returned; ++i) {
                if (services[i].lpDisplayName &&
                    std::wcscmp(services[i].lpDisplayName, TextOrEmpty(name)) == 0) {
                    LOGW(LOG_INFO,
                         L"IsCOMServiceExist: the services %s exist, next query is from reg\n",
                         TextOrEmpty(name));
                    listed = true;
                }
            }
        }
    }
    manager.reset();
    if (!listed) return 0;

    const std::wstring keyPath = FormatW(L"SYSTEM\\CurrentControlSet\\Services\\%s", TextOrEmpty(name));
    Owners::UniqueRegKey key;
    const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.put());
    if (status != ERROR_SUCCESS) {
        LOGW(LOG_ERROR, L"IsCOMServiceExist: open reg %s failed, ret it %d\n", keyPath.c_str(),
             static_cast<int>(status));
        return 0;
    }
    LOGW(LOG_INFO, L"IsCOMServiceExist: service %s exist\n", TextOrEmpty(name));
    return 1;
}

bool InstallCOMService(const wchar_t* executable, const wchar_t* argument) {
    const std::wstring command =
        FormatW(L"\"%s\" /%s", TextOrEmpty(executable), TextOrEmpty(argument));
    if (command.empty() || command.size() > kRegistrationCommandMax) {
        LOGW(LOG_ERROR, L"InstallCOMService: command line too long, not started: %s\n",
             command.c_str());
        return false;
    }
    LOGW(LOG_INFO, L"InstallCOMService: cmd %s\n", command.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!StartProcessAndWait(command, 30000, startup, nullptr)) {
        LOGA(LOG_ERROR, "InstallCOMService: CreateProcess failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        return false;
    }
    return true;
}

bool RemoveCOMService(const wchar_t* executable, int flag) {
    const std::wstring command = FormatW(L"\"%s\" /UnregServer", TextOrEmpty(executable));
    if (command.empty() || command.size() > kRegistrationCommandMax) {
        LOGW(LOG_ERROR, L"RemoveCOMService: command line too long, not started: %s\n",
             command.c_str());
        return false;
    }
    LOGW(LOG_INFO, L"RemoveCOMService: cmd %s\n", command.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    std::wstring line = command;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &pi)) {
        LOGW(LOG_ERROR, L"RemoveCOMService: CreateProcess failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        return false;
    }
    Owners::UniqueHandle process(pi.hProcess);
    Owners::UniqueHandle thread(pi.hThread);
    LOGW(LOG_INFO, L"RemoveCOMService: wait process return value.\n");
    Timing::WaitForObject(process.get(), 30000);
    LOGW(LOG_INFO, L"RemoveCOMService: process return value finished.\n");
    process.reset();
    thread.reset();
    if (flag) LOGW(LOG_INFO, L"RemoveCOMService: success.\n");
    else LOGW(LOG_INFO, L"RemoveCOMService: no need wait then exit.\n");
    return true;
}

std::wstring QuoteCommandLineArgument(const wchar_t* text) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t* p = TextOrEmpty(text); *p; ++p) {
        if (*p == L'\\') {
            ++backslashes;
            continue;
        }
        if (*p == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted += *p;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

COMServiceParameters BuildCOMServiceParameters(
    const wchar_t* component, const wchar_t* action, const wchar_t* host, unsigned short port,
    const wchar_t* session, unsigned int number, unsigned int proxyFlag, const wchar_t* proxyHost,
    unsigned short proxyPort, const wchar_t* proxyUser, const wchar_t* proxyPassword,
    const wchar_t* proxyDomain) {
    COMServiceParameters result;
    const std::wstring hostText = TextOrEmpty(host), sessionText = TextOrEmpty(session);
    if (hostText.empty() && sessionText.empty()) {
        result.executable = L"Pelkora.exe";
        result.parameters = result.forLog = L"-updateBrevanto";
        return result;
    }
    result.executable = L"Tavrisk.exe";
    const auto q = [](const wchar_t* text) { return QuoteCommandLineArgument(text); };
    const wchar_t* actionText = TextOrEmpty(action);
    if (::StrStrIW(actionText, L"saveproxy")) {
        result.parameters = q(component) + L" " + q(host);
    } else if (::StrStrIW(actionText, L"remove")) {
        result.parameters = L" " + q(FormatW(L"-%s", actionText).c_str()) + L" " +
                            q(FormatW(L"-%s", TextOrEmpty(component)).c_str());
    } else {
        const std::wstring head = q(action) + L" " + q(component) + L" " + q(host) + L" " +
                                  FormatW(L"%d", port) + L" " + q(session) + L" " +
                                  FormatW(L"%d", static_cast<int>(number));
        if (proxyFlag) {
            const std::wstring before = head + L" " + FormatW(L"%d", static_cast<int>(proxyFlag)) +
                                        L" " + q(proxyHost) + L" " + FormatW(L"%d", proxyPort) +
                                        L" " + q(proxyUser) + L" ";
            const std::wstring after = L" " + q(proxyDomain);
            result.parameters = before + q(proxyPassword) + after;
            // The log must never carry the proxy password.
            result.forLog = before + q(L"******") + after;
        } else {
            result.parameters = head;
        }
    }
    if (result.forLog.empty()) result.forLog = result.parameters;
    if (result.parameters.size() > kCOMServiceParametersMax) {
        result.fits = false;
        result.parameters.clear();
    }
    return result;
}

InstalledCopyFoldersSource SetInstalledCopyFoldersSourceForTest(InstalledCopyFoldersSource source) {
    return std::exchange(g_copyFolders, source ? source : RealInstalledCopyFolders);
}

bool HandleCOMService(const wchar_t* component, const wchar_t* action, const wchar_t* host,
                      bool elevate, unsigned short port, const wchar_t* session, int doNotWait,
                      unsigned int number, unsigned int proxyFlag, const wchar_t* proxyHost,
                      unsigned short proxyPort, const wchar_t* proxyUser,
                      const wchar_t* proxyPassword, const wchar_t* proxyDomain) {
    const COMServiceParameters built =
        BuildCOMServiceParameters(component, action, host, port, session, number, proxyFlag,
                                  proxyHost, proxyPort, proxyUser, proxyPassword, proxyDomain);
    if (built.executable == L"Pelkora.exe") {
        LOGW(LOG_INFO, L"HandleCOMService: Brevanto do Grendal upgrade.\n");
    }
    if (!built.fits) {
        LOGW(LOG_ERROR, L"HandleCOMService: parameter is too long, not started: %s\n",
             built.forLog.c_str());
        return false;
    }
    LOGW(LOG_INFO, L"HandleCOMService: parameter is %s\n", built.forLog.c_str());

    const InstalledCopyFolders folders = g_copyFolders();
    // A folder that could not be found gives no candidate: its name alone
    // would be looked up relative to the working folder.
    std::vector<std::wstring> candidates;
    if (!folders.systemDir.empty()) candidates.push_back(folders.systemDir + L"\\" + built.executable);
    if (folders.is64BitOS && !folders.windowsDir.empty()) {
        candidates.push_back(folders.windowsDir + L"\\SysWOW64\\" + built.executable);
    }
    if (!folders.userTempDir.empty()) candidates.push_back(folders.userTempDir + built.executable);
    std::wstring path;
    for (const std::wstring& candidate : candidates) {
        if (FileExists(candidate)) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) {
        LOGW(LOG_ERROR, L"HandleCOMService: failed, because %s is not exist\n",
             candidates.empty() ? built.executable.c_str() : candidates.back().c_str());
        return false;
    }
    LOGW(LOG_INFO, L"HandleCOMService: %s exist\n", path.c_str());

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No error box (the elevation prompt is no error box): nobody may sit
    // at this program, and a box would hold the command and its waiter.
    info.fMask = SEE_MASK_FLAG_NO_UI | (doNotWait == 0 ? SEE_MASK_NOCLOSEPROCESS : 0);
    info.lpVerb = elevate ? L"runas" : nullptr;
    info.lpFile = path.c_str();
    info.lpParameters = built.parameters.c_str();
    info.nShow = SW_SHOW;
    if (!::ShellExecuteExW(&info)) {
        LOGW(LOG_ERROR, L"HandleCOMService: ShellExecuteEx error %d\n",
             static_cast<int>(::GetLastError()));
        return false;
    }
    if (doNotWait != 0) return true;
    Owners::UniqueHandle process(info.hProcess);
    if (!process) {
        LOGW(LOG_INFO, L"HandleCOMService: system doesn't give me the process handle to wait\n");
        return true;
    }
    const DWORD wait = Timing::WaitForObject(process.get(), 300000);
    LOGW(LOG_INFO, L"HandleCOMService: ShellExecuteEx finished\n");
    if (wait != WAIT_OBJECT_0) {
        LOGW(LOG_WARNING, L"HandleCOMService, WaitForSingleObject error %d\n",
             static_cast<int>(wait));
    }
    return true;
}

int CreateBhttpdProcessWithPort(const wchar_t* executable, const wchar_t* logFile, int port) {
    const std::wstring command =
        FormatW(L"\"%s\" -https \"127.0.0.1:%d\" -logfile \"%s\" -logsize 10",
                TextOrEmpty(executable), port, TextOrEmpty(logFile));
    if (command.empty() || command.size() > kBhttpdCommandMax) {
        LOGW(LOG_ERROR, L"CreateBhttpdProcessWithPort: command line too long, not started: %s\n",
             command.c_str());
        return 0;
    }
    LOGW(LOG_INFO, L"CreateBhttpdProcessWithPort: launch parameter:%s \n", command.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    DWORD exitCode = 0;
    if (!StartProcessAndWait(command, 2000, startup, &exitCode)) {
        LOGW(LOG_ERROR, L"CreateBhttpdProcessWithPort: CreateProcess %s failed, error is %d\n",
             command.c_str(), static_cast<int>(::GetLastError()));
        return 0;
    }
    LOGW(LOG_INFO, L"CreateBhttpdProcessWithPort: Process exit code:%d.\n",
         static_cast<int>(exitCode));
    // 3 is the program's answer for a port it cannot use; still running counts as started.
    return exitCode == 3 ? 0 : 1;
}

std::wstring GetModuleFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    ::PathRemoveFileSpecW(path);
    return std::wstring(path) + L"\\";
}

bool ShellStartProgram(const std::wstring& path, const wchar_t* verb, int show,
                       const wchar_t* parameters, ULONG mask) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No error box: nobody sits at this program, a box would hold the command.
    info.fMask = mask | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = verb;
    info.lpFile = path.c_str();
    info.lpParameters = parameters;
    info.nShow = show;
    return ::ShellExecuteExW(&info) != FALSE;
}

void StartHTTPProxy(unsigned int clientType) {
    static const wchar_t kStolvex[] = L"Stolvex.exe";
    LOGW(LOG_INFO, L"StartHTTPProxy: start... client type=%d.\n", static_cast<int>(clientType));
    if (IsProcessExistByName(kStolvex)) {
        LOGW(LOG_INFO, L"StartHTTPProxy: process %s exist, we have to stop it.\n", kStolvex);
        StopProcessByName(kStolvex);
    }
    std::wstring folder;
    if (clientType == 1) {
        wchar_t dir[MAX_PATH] = {};
        GetSSLVPNClientDir(dir, 0);
        folder = std::wstring(dir) + L"\\";
    } else {
        folder = GetModuleFolder();
    }
    // Without a folder the name alone would be looked up in the working folder.
    const std::wstring path = folder.empty() ? std::wstring() : folder + kStolvex;
    if (!FileExists(path) || path.size() >= MAX_PATH) {
        LOGW(LOG_WARNING, L"Src File %s is not exist, exit\n", path.c_str());
        return;
    }
    LOGW(LOG_INFO, L"StartHTTPProxy: ShellExecuteEx: %s\n", path.c_str());
    if (!ShellStartProgram(path, nullptr, SW_HIDE)) {
        LOGW(LOG_WARNING, L"StartHTTPProxy: ShellExecuteEx error %x\n",
             static_cast<unsigned>(::GetLastError()));
    }
    LOGW(LOG_INFO, L"StartHTTPProxy: finished\n");
}

int LaunchBrevantohttpd() {
    if (IsProcessExistByName(L"BrevantoHttpd.exe")) {
        LOGW(LOG_INFO, L"LaunchBrevantohttpd:LaunchBhttpd finished: process exist.\n");
        return 1;
    }
    wchar_t dir[MAX_PATH] = {};
    GetBrevantoClientDir(dir, 0);
    const std::wstring path = std::wstring(dir) + L"\\BrevantoHttpd.exe";
    if (!FileExists(path)) {
        LOGW(LOG_INFO, L"NIS:LaunchBhttpd finished: File %s isn't exist\n", path.c_str());
        return 1;
    }
    SYSTEMTIME now{};
    Timing::LocalTime(&now);
    const std::wstring logFile =
        GetLogFolder() + L"Bhttpd\\" +
        FormatW(L"Bhttpd_%02u_%02u_%02u.txt", static_cast<unsigned>(now.wYear),
                static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay));
    // A port another program holds makes it exit with 3: try the next one.
    for (const int port : {60012, 60014, 60016}) {
        if (CreateBhttpdProcessWithPort(path.c_str(), logFile.c_str(), port)) return 1;
    }
    return 0;
}
