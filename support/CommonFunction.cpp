#include "CommonFunction.h"

#include <shlobj.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <climits>
#include <cwchar>

#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"

ArchitectureInfo ArchitectureFromProcessor(WORD processorArchitecture) {
    switch (processorArchitecture) {
        case PROCESSOR_ARCHITECTURE_INTEL: return {0, kArchX86};
        case PROCESSOR_ARCHITECTURE_IA64: return {1, kArchIA64};
        case PROCESSOR_ARCHITECTURE_AMD64: return {1, kArchX64};
        default: return {0, kArchOther};
    }
}

namespace {

ArchitectureInfo QueryArchitecture() {
    SYSTEM_INFO info{};
    Owners::UniqueLibrary kernel32(::LoadLibraryW(L"Kernel32.dll"));
    using NativeInfoFn = void(WINAPI*)(SYSTEM_INFO*);
    NativeInfoFn native = nullptr;
    if (kernel32) {
        native = reinterpret_cast<NativeInfoFn>(reinterpret_cast<void*>(
            ::GetProcAddress(kernel32.get(), "GetNativeSystemInfo")));
    }
    if (native) {
        native(&info);
    } else {
        ::GetSystemInfo(&info);
    }
    return ArchitectureFromProcessor(info.wProcessorArchitecture);
}

bool ReadsEnablePrintRequest(const wchar_t* subKey) {
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS status = ::SHGetValueW(HKEY_LOCAL_MACHINE, subKey, L"EnablePrintRequest",
                                         &type, &value, &size);
    // Only a DWORD holding the switch value counts.
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD) &&
           value == kEnablePrintRequestValue;
}

}  // namespace

int Is64BitOS() { return QueryArchitecture().is64BitOS; }

int GetNativeArchitecture() { return QueryArchitecture().nativeArchitecture; }

int IsEnablePrintRequest() {
    if (ReadsEnablePrintRequest(L"SOFTWARE\\VPN\\Install Manager")) return 1;
    if (Is64BitOS() == 1 && ReadsEnablePrintRequest(L"SOFTWARE\\Wow6432Node\\VPN\\Install Manager")) {
        return 1;
    }
    return 0;
}

// ---- Code-page conversion -------------------------------------------------

namespace {

// A zero inside the length, other than one closing it, makes the text
// unconvertible: the converted form would not be the text the caller meant.
template <class Char>
bool HasInnerZero(const Char* text, int length) {
    for (int i = 0; i + 1 < length; ++i) {
        if (text[i] == 0) return true;
    }
    return false;
}

}  // namespace

int ConvertMultiByteToWide(const char* text, int length, std::wstring& out, UINT codePage) {
    if (!text || length <= 0) return -1;
    DWORD error = ERROR_INSUFFICIENT_BUFFER;
    std::wstring converted;
    if (HasInnerZero(text, length) ||
        !TryWideFromCodePage(std::string_view(text, static_cast<size_t>(length)), codePage,
                             converted, error)) {
        LOGW(LOG_ERROR, L"utilitylib: Convert multibyte to wide char failed. Error = %d\n",
             static_cast<int>(error));
        out.clear();
        return -1;
    }
    out = std::move(converted);
    return static_cast<int>(out.size());
}

int ConvertWideToMultiByte(const wchar_t* text, int length, std::string& out, UINT codePage) {
    if (!text || length <= 0) return -1;
    DWORD error = ERROR_INSUFFICIENT_BUFFER;
    std::string converted;
    if (HasInnerZero(text, length) ||
        !TryCodePageFromWide(std::wstring_view(text, static_cast<size_t>(length)), codePage,
                             converted, error)) {
        LOGW(LOG_ERROR, L"utilitylib: Convert wide char to multi-byte failed. Error = %d\n",
             static_cast<int>(error));
        out.clear();
        return -1;
    }
    out = std::move(converted);
    return static_cast<int>(out.size());
}

int StringToWString(const std::string& narrow, std::wstring& wide) {
    if (narrow.size() > INT_MAX) return 0;
    std::wstring converted;
    if (ConvertMultiByteToWide(narrow.data(), static_cast<int>(narrow.size()), converted, 936) ==
        -1) {
        return 0;
    }
    wide.assign(converted.c_str());
    return 1;
}

int WStringToString(const std::wstring& wide, std::string& narrow, UINT codePage) {
    if (wide.size() > INT_MAX) return 0;
    std::string converted;
    if (ConvertWideToMultiByte(wide.data(), static_cast<int>(wide.size()), converted, codePage) ==
        -1) {
        return 0;
    }
    narrow.assign(converted.c_str());
    return 1;
}

void TrimSpaces(wchar_t* text) {
    if (!text) return;
    size_t end = std::wcslen(text);
    while (end > 0 && text[end - 1] == L' ') --end;
    size_t begin = 0;
    while (begin < end && text[begin] == L' ') ++begin;
    std::wmemmove(text, text + begin, end - begin);
    text[end - begin] = L'\0';
}

// ---- Files ------------------------------------------------------------------

namespace {

bool IsGoneError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::wstring SpareName(const wchar_t* path) {
    return FormatW(L"%s_%d_old", path, static_cast<int>(static_cast<DWORD>(Timing::TickCount())));
}

}  // namespace

int RemoveFile(const wchar_t* path) {
    LOGW(LOG_INFO, L"RemoveFile: Remove %s\n", path);
    const std::wstring spare = SpareName(path);
    if (::DeleteFileW(path) || IsGoneError(::GetLastError())) return 1;
    LOGW(LOG_INFO, L"RemoveFile:Delete file %s failed. Error = %d.\n", path,
         static_cast<int>(::GetLastError()));
    if (!::MoveFileW(path, spare.c_str())) {
        LOGW(LOG_INFO, L"RemoveFile: Rename file %s to %s failed. Error = %d.\n", path,
             spare.c_str(), static_cast<int>(::GetLastError()));
        return 0;
    }
    ::MoveFileExW(spare.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return 1;
}

int ForceRemoveFile(const wchar_t* path) {
    if (::DeleteFileW(path) || IsGoneError(::GetLastError())) return 1;
    LOGW(LOG_WARNING, L"ForceRemoveFile:Delete file %s failed. Error = %d.\n", path,
         static_cast<int>(::GetLastError()));
    // Wide names throughout: the path may hold characters outside the ANSI
    // code page.
    const std::wstring spare = SpareName(path);
    if (!::MoveFileW(path, spare.c_str())) {
        LOGW(LOG_ERROR, L"ForceRemoveFile: Rename file %s failed. Error = %d.\n", path,
             static_cast<int>(::GetLastError()));
        return 0;
    }
    if (::MoveFileExW(spare.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        LOGW(LOG_WARNING, L"RemoveFile(): MoveFileEx() %s successfully,Need to reboot computer.\n",
             spare.c_str());
    } else {
        LOGW(LOG_WARNING, L"ForceRemoveFile: MoveFileEx() %s failed. Error = %d.\n", spare.c_str(),
             static_cast<int>(::GetLastError()));
    }
    return 1;
}

int EmptyDirectory(const wchar_t* folder) {
    constexpr size_t kMaxFolderPath = MAX_PATH - 1;
    constexpr size_t kMaxFilePath = 499;
    const std::wstring base(folder ? folder : L"");
    const std::wstring pattern = base + L"\\*.*";
    if (base.empty() || pattern.size() > kMaxFolderPath) return 0;
    WIN32_FIND_DATAW entry{};
    Owners::UniqueFindFile listing(::FindFirstFileW(pattern.c_str(), &entry));
    if (!listing) return 0;
    do {
        const std::wstring path = base + L"\\" + entry.cFileName;
        const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (isDirectory && entry.cFileName[0] == L'.') continue;
        if (path.size() > (isDirectory ? kMaxFolderPath : kMaxFilePath)) {
            // Acting on a cut path could hit another file.
            LOGW(LOG_WARNING, L"EmptyDirectory: skip %s, the path is too long\n", path.c_str());
            continue;
        }
        if (isDirectory && isLink) {
            // A junction or directory link: remove the link, never what it
            // points to.
            if (!::RemoveDirectoryW(path.c_str())) {
                LOGW(LOG_INFO, L"EmptyDirectory: %s failed, error is %d\n", path.c_str(),
                     static_cast<int>(::GetLastError()));
            }
        } else if (isDirectory) {
            if (EmptyDirectory(path.c_str()) == 0) return 0;
        } else if (RemoveFile(path.c_str()) == 0) {
            LOGW(LOG_WARNING, L"EmptyDirectory: remove file %s failed, add to reboot delele list\n",
                 path.c_str());
        }
    } while (::FindNextFileW(listing.get(), &entry));
    listing.reset();
    if (!::RemoveDirectoryW(folder)) {
        LOGW(LOG_INFO, L"EmptyDirectory: %s failed, error is %d\n", folder,
             static_cast<int>(::GetLastError()));
    }
    return 1;
}

int CreateShortcut(const wchar_t* target, const wchar_t* link, const wchar_t* description,
                   const wchar_t* icon) {
    Owners::ComPtr<IShellLinkW> shellLink;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IShellLinkW, shellLink.put_void());
    if (FAILED(hr) || !shellLink) {
        LOGA(LOG_WARNING, "CreateShortcut(): failed call CoCreateInstance, error: %u\n",
             static_cast<unsigned>(hr));
        return 0;
    }
    LOGW(LOG_INFO, L"path:%s\n", target);
    hr = shellLink->SetPath(target);
    if (FAILED(hr)) {
        LOGW(LOG_WARNING, L"SetPath failed, error:%0x\n", static_cast<unsigned>(hr));
        return 0;
    }
    LOGW(LOG_INFO, L"SetDescription:%s\n", description);
    hr = shellLink->SetDescription(description);
    if (FAILED(hr)) {
        LOGW(LOG_WARNING, L"SetDescription failed, error:%0x\n", static_cast<unsigned>(hr));
        return 0;
    }
    if (icon) {
        const HRESULT iconResult = shellLink->SetIconLocation(icon, 0);
        if (FAILED(iconResult)) {
            LOGW(LOG_WARNING, L"CreateShortcut: fail call IconPath, error:%0x\n",
                 static_cast<unsigned>(iconResult));
        }
    }
    Owners::ComPtr<IPersistFile> persist;
    hr = shellLink->QueryInterface(IID_IPersistFile, persist.put_void());
    if (FAILED(hr) || !persist) {
        LOGA(LOG_WARNING, "CreateShortcut: failed call QueryInterface, error: %u\n",
             static_cast<unsigned>(hr));
    } else {
        hr = persist->Save(link, TRUE);
        if (FAILED(hr)) {
            LOGA(LOG_WARNING, "CreateShortcut: failed save shortcut of %S to %S, error: %u\n",
                 target, link, static_cast<unsigned>(hr));
        }
    }
    if (SUCCEEDED(hr)) return 1;
    LOGA(LOG_WARNING, "CreateShortcut(): failed create shortcut of %S, error: %u\n", target,
         static_cast<unsigned>(hr));
    return 0;
}

namespace {

bool WriteAll(HANDLE file, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(
            bytes.size() - done < 0x10000000 ? bytes.size() - done : 0x10000000);
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return ::FlushFileBuffers(file) != FALSE;
}

int WriteInPlace(const wchar_t* path, std::string_view bytes) {
    Owners::UniqueHandle file(::CreateFileW(path, GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    return WriteAll(file.get(), bytes) ? 1 : 0;
}

}  // namespace

int WriteWholeFileAtomic(const wchar_t* path, std::string_view bytes) {
    if (!path || !*path) return 0;
    const DWORD attributes = ::GetFileAttributesW(path);
    // Neither a folder nor a read-only file may be written over.
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
        return 0;
    }
    const std::wstring temp = FormatW(L"%s.%lu_%lu.tmp", path, ::GetCurrentProcessId(),
                                      ::GetCurrentThreadId());
    Owners::UniqueHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return WriteInPlace(path, bytes);  // no room for a file beside it
    const bool written = WriteAll(file.get(), bytes);
    file.reset();
    if (!written) {
        ::DeleteFileW(temp.c_str());
        return 0;
    }
    // ReplaceFileW keeps the original's security descriptor and attributes.
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (::MoveFileExW(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING)) return 1;
    } else if (::ReplaceFileW(path, temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                              nullptr, nullptr)) {
        return 1;
    }
    const DWORD error = ::GetLastError();
    ::DeleteFileW(temp.c_str());
    LOGW(LOG_INFO, L"utilitylib: replace %s failed, error is %d, write it in place\n", path,
         static_cast<int>(error));
    return WriteInPlace(path, bytes);
}

// ---- Registry flags ---------------------------------------------------------

namespace {
constexpr const wchar_t* kInstallManagerKey = L"SOFTWARE\\VPN\\Install Manager";
constexpr const wchar_t* kVpn2Key = L"SOFTWARE\\VPN\\VPN2";
}  // namespace

LSTATUS ReadRegistryDword(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD& value) {
    DWORD buffer = 0;
    DWORD size = sizeof(buffer);
    const LSTATUS status = ::SHGetValueW(root, subKey, name, nullptr, &buffer, &size);
    value = status == ERROR_SUCCESS ? buffer : 0;
    return status;
}

LSTATUS ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name, wchar_t* buffer,
                         DWORD capacity) {
    if (!buffer || capacity == 0) return ERROR_INVALID_PARAMETER;
    buffer[0] = L'\0';
    // One spare character, so a text stored without its terminator is still
    // terminated inside the buffer.
    std::wstring read(capacity + 1, L'\0');
    DWORD size = (capacity + 1) * sizeof(wchar_t);
    const LSTATUS status = ::SHGetValueW(root, subKey, name, nullptr, read.data(), &size);
    if (status != ERROR_SUCCESS) return status;
    read[size / sizeof(wchar_t) < capacity ? size / sizeof(wchar_t) : capacity] = L'\0';
    const size_t length = std::wcslen(read.c_str());
    const size_t kept = length < capacity - 1 ? length : capacity - 1;
    std::wmemcpy(buffer, read.c_str(), kept);
    buffer[kept] = L'\0';
    return status;
}

int ProxyListenPortFromValue(LSTATUS status, DWORD value) {
    if (status != ERROR_SUCCESS) return 60202;
    if ((value >= 1 && value <= 65534) || value == 70000) return static_cast<int>(value);
    return 60202;
}

int SSLProtoFromValue(LSTATUS status, DWORD value) {
    return status == ERROR_SUCCESS && value >= 1 && value <= 16 ? static_cast<int>(value) : 0;
}

int MachineCertFlagFromValue(LSTATUS status, DWORD value) {
    return status == ERROR_SUCCESS && (value == 1 || value == 2) ? static_cast<int>(value) : 0;
}

int IsOneFromValue(LSTATUS status, DWORD value) {
    return status == ERROR_SUCCESS && value == 1 ? 1 : 0;
}

int GetSSLProtoFlag() {
    DWORD value = 0;
    const LSTATUS status = ReadRegistryDword(HKEY_LOCAL_MACHINE, kInstallManagerKey, L"sslproto",
                                             value);
    return SSLProtoFromValue(status, value);
}

int GetBVStatus() {
    DWORD value = 0;
    ReadRegistryDword(HKEY_LOCAL_MACHINE, kVpn2Key, L"BVStatus", value);
    return static_cast<int>(value);
}

int GetVPN2Value(const char* name) {
    if (!name) return 0;
    DWORD value = 0;
    ReadRegistryDword(HKEY_LOCAL_MACHINE, kVpn2Key, WideFromCodePage(name).c_str(), value);
    return static_cast<int>(value);
}

int GetLocalMachineCertPathFlag() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_LOCAL_MACHINE, kVpn2Key, L"MachineCertFlag", value);
    LOGW(LOG_INFO, L"GetLocalMachineCertPathFlag: value:%d, ret:%d\n", static_cast<int>(value),
         static_cast<int>(status));
    return MachineCertFlagFromValue(status, value);
}

int GetBrevantoCommandLineFlag() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_CURRENT_USER, kVpn2Key, L"BVCommandLineFlag", value);
    LOGW(LOG_INFO, L"GetBrevantoCommandLineFlag: value:%d, ret:%d\n", static_cast<int>(value),
         static_cast<int>(status));
    return static_cast<int>(value);
}

int IsBrevantoWebDuringDisconnect() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_CURRENT_USER, kVpn2Key, L"BrevantoWebDuringDisconnect", value);
    LOGW(LOG_INFO,
         L"IsBrevantoWebDuringDisconnect: Get Brevanto web during disconnect flag:%d, result=%d\n",
         static_cast<int>(value), static_cast<int>(status));
    return IsOneFromValue(status, value);
}

void SetBrevantoWebDuringDisconnectFlag(bool flag) {
    const DWORD value = flag ? 1 : 0;
    const LSTATUS status = ::SHSetValueW(HKEY_CURRENT_USER, kVpn2Key,
                                         L"BrevantoWebDuringDisconnect", REG_DWORD, &value,
                                         sizeof(value));
    LOGW(LOG_INFO,
         L"SetBrevantoWebDuringDisconnectFlag: Brevanto web during disconnect flag:%d, "
         L"result=%d\n",
         static_cast<int>(value), static_cast<int>(status));
}

int GetBrevantoUpgradeStatus() {
    DWORD value = 0;
    const LSTATUS status = ReadRegistryDword(HKEY_CURRENT_USER, kVpn2Key, L"VPNstatus", value);
    LOGW(LOG_INFO, L"GetBrevantoUpgradeStatus: Get Brevanto upgrade status:%d, result=%d\n",
         static_cast<int>(value), static_cast<int>(status));
    return static_cast<int>(value);
}

int GetProxyListenPort() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_CURRENT_USER, kInstallManagerKey, L"proxylistenport", value);
    LOGW(LOG_INFO, L"GetProxyListenPort: Get proxy listen port:%d, result=%d\n",
         static_cast<int>(value), static_cast<int>(status));
    return ProxyListenPortFromValue(status, value);
}

int IsEnableClientAuth() {
    DWORD value = 0;
    const LSTATUS status = ReadRegistryDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\ClientAuthFlag",
                                             L"EnableClientAuth", value);
    LOGW(LOG_INFO, L"IsEnableClientAuth: SHGetValue finished, ret:%d, Flag:%d\n",
         static_cast<int>(status), static_cast<int>(value));
    return IsOneFromValue(status, value);
}

void WriteServiceNameToSafeModeReg(const wchar_t* keyPath) {
    static const wchar_t kService[] = L"Service";
    const LSTATUS status = ::SHSetValueW(HKEY_LOCAL_MACHINE, keyPath, nullptr, REG_SZ, kService,
                                         sizeof(kService));
    LOGW(LOG_INFO, L"WriteServiceNameToSafeModeReg: Write reg %s(safe mode) finished, ret is %d\n",
         keyPath, static_cast<int>(status));
}

int GetBrevantoUdpPort() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_CURRENT_USER, L"Software\\Brevanto\\L3VPN", L"port", value);
    return status == ERROR_SUCCESS ? static_cast<int>(value) : 65432;
}

// ---- Processes, COM services and started programs ----

namespace {

bool SameExecutableName(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        wchar_t ca = *a, cb = *b;
        if (ca >= L'A' && ca <= L'Z') ca = static_cast<wchar_t>(ca - L'A' + L'a');
        if (cb >= L'A' && cb <= L'Z') cb = static_cast<wchar_t>(cb - L'A' + L'a');
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

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
        if (!SameExecutableName(entry.szExeFile, TextOrEmpty(name))) continue;
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
        if (SameExecutableName(entry.szExeFile, TextOrEmpty(name))) {
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

void SetInstalledCopyFoldersSourceForTest(InstalledCopyFoldersSource source) {
    g_copyFolders = source ? source : RealInstalledCopyFolders;
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
    std::wstring path = folders.systemDir + L"\\" + built.executable;
    if (!FileExists(path)) {
        if (folders.is64BitOS) {
            path = folders.windowsDir + L"\\SysWOW64\\" + built.executable;
            if (!FileExists(path)) path = folders.userTempDir + built.executable;
        } else {
            path = folders.userTempDir + built.executable;
        }
        // Without a user temporary folder the last candidate would be a
        // relative name; it must never be looked up in the working folder.
        if (folders.userTempDir.empty() || !FileExists(path)) {
            LOGW(LOG_ERROR, L"HandleCOMService: failed, because %s is not exist\n", path.c_str());
            return false;
        }
    }
    LOGW(LOG_INFO, L"HandleCOMService: %s exist\n", path.c_str());

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = doNotWait == 0 ? SEE_MASK_NOCLOSEPROCESS : 0;
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

bool ShellStartProgram(const std::wstring& path, const wchar_t* verb, int show) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.lpVerb = verb;
    info.lpFile = path.c_str();
    info.lpParameters = L"";
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
