#include "System.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <userenv.h>
#include <winhttp.h>

#include <cwchar>
#include <string>

#include "Platform.h"
#include "INIFile.h"
#include "Loglib.h"
#include "Owners.h"
#include "SharedNames.h"

OSGenerationFinding OSGenerationForSystem(const OSVERSIONINFOEXW& v, WORD processorArchitecture,
                                          bool isServerR2, bool isAtLeast10) {
    const bool workstation = v.wProductType == VER_NT_WORKSTATION;
    if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (v.dwMinorVersion == 0) return {-1, 0, nullptr};
        return {0, LOG_INFO, L"utilitylib: The OS is windows 98!\n"};
    }
    if (v.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        return {-1, LOG_ERROR,
                L"utilitylib: The OS is unknown. PlatformID = %d. MajorVersion = %d. "
                L"MinorVersion = %d.\n"};
    }
    if (v.dwMajorVersion < 5) return {-1, 0, nullptr};
    if (v.dwMajorVersion == 5) {
        switch (v.dwMinorVersion) {
            case 0: return {1, LOG_INFO, L"utilitylib: The OS is windows 2000!\n"};
            case 1: return {2, LOG_INFO, L"utilitylib: The OS is windows XP!\n"};
            case 2:
                if (workstation && processorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) {
                    return {2, LOG_INFO, L"utilitylib: The OS is windows XP 64bit!\n"};
                }
                if (isServerR2) {
                    return {3, LOG_INFO, L"utilitylib: The OS is Windows Server 2003 R2!\n"};
                }
                return {3, LOG_INFO, L"utilitylib: The OS is Windows Server 2003!\n"};
            default: return {-1, 0, nullptr};
        }
    }
    if (v.dwMajorVersion == 6) {
        if (v.dwMinorVersion == 0) {
            return workstation ? OSGenerationFinding{4, LOG_INFO, L"utilitylib: The OS is vista!\n"}
                               : OSGenerationFinding{5, LOG_INFO,
                                                     L"utilitylib: The OS is Windows Server 2008!\n"};
        }
        if (v.dwMinorVersion == 1) {
            return workstation
                       ? OSGenerationFinding{6, LOG_INFO, L"utilitylib: The OS is windows 7!\n"}
                       : OSGenerationFinding{5, LOG_INFO,
                                             L"utilitylib: The OS is Windows Server 2008 R2!\n"};
        }
        return isAtLeast10 ? OSGenerationFinding{8, LOG_INFO, L"utilitylib: The OS is windows 10!\n"}
                           : OSGenerationFinding{7, LOG_INFO, L"utilitylib: The OS is windows 8!\n"};
    }
    return workstation
               ? OSGenerationFinding{8, LOG_INFO, L"utilitylib: The OS is Windows 10!\n"}
               : OSGenerationFinding{5, LOG_INFO,
                                     L"utilitylib: The OS is Windows Server 2008 2008 2008!\n"};
}

int32_t GetOSVersion() {
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return -1;
    const bool mayBe10 = version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                         version.dwMajorVersion == 6 && version.dwMinorVersion >= 2;
    const OSGenerationFinding found =
        OSGenerationForSystem(version, system.wProcessorArchitecture,
                              ::GetSystemMetrics(SM_SERVERR2) != 0,
                              mayBe10 && IsOSVersionAtLeast(10, 0, 0));
    if (found.message) {
        LOGW(found.logLevel, found.message, static_cast<int>(version.dwPlatformId),
             static_cast<int>(version.dwMajorVersion), static_cast<int>(version.dwMinorVersion));
    }
    return found.generation;
}

int IsUserLocalSystem() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0,
                                    0, &sid)) {
        return 0;
    }
    BOOL member = FALSE;
    const BOOL checked = ::CheckTokenMembership(nullptr, sid, &member);
    ::FreeSid(sid);
    return checked && member ? 1 : 0;
}

namespace {

constexpr const wchar_t* kDefaultCompanyName = L"Quarlo Networks";

void CopyOut(wchar_t* out, const std::wstring& text) {
    const size_t kept = text.size() < MAX_PATH - 1 ? text.size() : MAX_PATH - 1;
    std::wmemcpy(out, text.c_str(), kept);
    out[kept] = L'\0';
}

std::wstring Expand(const wchar_t* variable) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD got = ::ExpandEnvironmentStringsW(variable, buffer, MAX_PATH);
    if (got == 0 || got > MAX_PATH) return variable;
    return buffer;
}

bool IsDirectory(const std::wstring& path) {
    WIN32_FIND_DATAW entry{};
    Owners::UniqueFindFile found(::FindFirstFileW(path.c_str(), &entry));
    return found && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring CompanyName() {
    wchar_t name[MAX_PATH] = {};
    GetCompanyName(name);
    return name;
}

void FamilyDir(wchar_t* path, int x86, const wchar_t* folder) {
    wchar_t root[MAX_PATH] = {};
    if (x86) {
        GetProgramFilesX86CompanyDir(root);
    } else {
        GetProgramFilesCompanyDir(root);
    }
    CopyOut(path, std::wstring(root) + L"\\" + folder);
}

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

void GetCompanyName(wchar_t* name) {
    wchar_t read[MAX_PATH] = {};
    const LSTATUS status =
        ReadRegistryText(HKEY_LOCAL_MACHINE, kInstallManagerKey, L"CompanyName", read, MAX_PATH);
    const size_t length = std::wcslen(read);
    CopyOut(name, status == ERROR_SUCCESS && length >= 1 && length <= 127 ? read
                                                                          : kDefaultCompanyName);
}

int IsCompanyNameExistInReg() {
    wchar_t read[MAX_PATH] = {};
    const LSTATUS status =
        ReadRegistryText(HKEY_LOCAL_MACHINE, kInstallManagerKey, L"CompanyName", read, MAX_PATH);
    LOGW(LOG_INFO, L"IsCompanyNameExistInReg: company name is %s, ret is %d\n", read,
         static_cast<int>(status));
    return status == ERROR_SUCCESS && read[0] != L'\0' ? 1 : 0;
}

void GetProgramFilesCompanyDir(wchar_t* path) {
    std::wstring root;
    if (Is64BitOS()) {
        root = Expand(L"%ProgramW6432%");
        if (!IsDirectory(root)) root.clear();
    }
    if (root.empty()) root = Expand(L"%ProgramFiles%");
    if (::StrStrIW(root.c_str(), L"%ProgramW6432%") || ::StrStrIW(root.c_str(), L"%ProgramFiles%")) {
        root = L"C:\\Program Files";
    }
    CopyOut(path, root + L"\\" + CompanyName());
}

void GetProgramFilesX86CompanyDir(wchar_t* path) {
    std::wstring root = Expand(L"%ProgramFiles%");
    if (Is64BitOS()) {
        if (!::StrStrIW(root.c_str(), L"x86")) root = L"C:\\Program Files (x86)";
    } else if (::StrStrIW(root.c_str(), L"%ProgramFiles%")) {
        root = L"C:\\Program Files";
    }
    CopyOut(path, root + L"\\" + CompanyName());
}

void GetInstallManagerDir(wchar_t* path, int x86) { FamilyDir(path, x86, L"Install Manager"); }
void GetSSLVPNClientDir(wchar_t* path, int x86) { FamilyDir(path, x86, L"SSL VPN Client"); }
void GetBrevantoClientDir(wchar_t* path, int x86) { FamilyDir(path, x86, L"Brevanto VPN Client"); }

void GetApplicationName(wchar_t* name) {
    std::wstring value;
    wchar_t dir[MAX_PATH] = {};
    GetInstallManagerDir(dir, 0);
    std::wstring path = std::wstring(dir) + L"\\OEM.ini";
    if (!FileExists(path)) {
        GetSSLVPNClientDir(dir, 0);
        path = std::wstring(dir) + L"\\res\\OEM.ini";
        if (!FileExists(path)) {
            CopyOut(name, L"SSL VPN");
            return;
        }
    }
    wchar_t read[MAX_PATH] = {};
    INIFile ini(path.c_str());
    ini.GetString(L"Startup", L"ApplicationName", read, MAX_PATH, L"");
    const size_t length = std::wcslen(read);
    CopyOut(name, length == 0 || length > 256 ? L"SSL VPN" : read);
    LOGW(LOG_INFO, L"GetApplicationName: %s\n", name);
}

void GetOEMValue(const wchar_t* iniPath, const wchar_t* section, const wchar_t* key,
                 wchar_t* value, int size) {
    if (!iniPath || !FileExists(iniPath)) {
        LOGW(LOG_INFO, L"GetOEMValue: file %s is not exist\n", iniPath ? iniPath : L"");
        return;
    }
    INIFile ini(iniPath);
    ini.GetString(section, key, value, size, L"");
}

// ---- Per-user configuration folders and the WinHTTP file download ----

namespace {

const ConsoleUserSystem kRealConsoleUser{IsUserLocalSystem, ::WTSGetActiveConsoleSessionId,
                                         ::WTSQueryUserToken, ::WTSEnumerateSessionsW,
                                         ::WTSFreeMemory};
const ConsoleUserSystem* g_consoleUser = &kRealConsoleUser;

std::wstring ProcessTempPath() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
    if (length == 0 || length > MAX_PATH) return {};
    return buffer;
}

std::wstring ConfDir(unsigned int kind, const wchar_t* (*nameOf)(unsigned int)) {
    const std::wstring temp = GetActiveUserTempDir();
    // No console user: no folder, so no path can fall back to a drive root.
    if (temp.empty()) return {};
    return ConfigurationDirFor(temp, GetOSVersion(), nameOf(kind));
}

std::wstring FileIn(const std::wstring& folder, const wchar_t* name) {
    return folder.empty() ? std::wstring() : folder + L"\\" + name;
}


}  // namespace

const ConsoleUserSystem* SetConsoleUserSystemForTest(const ConsoleUserSystem* system) {
    return std::exchange(g_consoleUser, system ? system : &kRealConsoleUser);
}

bool ConsoleUserImpersonation::Needed() { return g_consoleUser->isUserLocalSystem() != 0; }

ConsoleUserImpersonation::ConsoleUserImpersonation(const wchar_t* caller) {
    if (!Needed()) return;
    const DWORD sessionId = g_consoleUser->activeConsoleSessionId();
    LOGW(LOG_INFO, L"%s: dwSessionId value is %d\n", caller, static_cast<int>(sessionId));
    HANDLE raw = nullptr;
    if (g_consoleUser->queryUserToken(sessionId, &raw)) {
        m_token.reset(raw);
    } else {
        LOGW(LOG_INFO,
             L"WTSQueryUserToken failed: ret value is %d, we should run WTSEnumerateSessions\n",
             static_cast<int>(::GetLastError()));
        PWTS_SESSION_INFOW sessions = nullptr;
        DWORD count = 0;
        if (!g_consoleUser->enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
            LOGW(LOG_ERROR, L"WTSEnumerateSessions failed, error is %d\n",
                 static_cast<int>(::GetLastError()));
            m_state = State::NoSessionList;
            return;
        }
        if (!sessions) {
            LOGW(LOG_ERROR, L"WTSEnumerateSessions failed, pSession is NULL\n");
            m_state = State::NoSessionList;
            return;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (sessions[i].State != WTSActive) continue;
            raw = nullptr;
            if (g_consoleUser->queryUserToken(sessions[i].SessionId, &raw)) {
                m_token.reset(raw);
                break;
            }
        }
        g_consoleUser->freeMemory(sessions);
    }
    if (!m_token) {
        LOGW(LOG_ERROR, L"QueryActiveUserIEProxyConfig: hUserToken.m_h is NULL\n");
        m_state = State::NoToken;
        return;
    }
    if (!::ImpersonateLoggedOnUser(m_token.get())) {
        LOGW(LOG_ERROR, L"QueryActiveUserIEProxyConfig: ImpersonateLoggedOnUser failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        m_state = State::ImpersonateFailed;
        return;
    }
    m_state = State::Impersonating;
}

ConsoleUserImpersonation::~ConsoleUserImpersonation() {
    if (m_state == State::Impersonating) ::RevertToSelf();
}

std::wstring GetActiveUserTempDir() {
    if (!ConsoleUserImpersonation::Needed()) return ProcessTempPath();
    LOGW(LOG_INFO, L"ImpersonatedCurrentUser: IsUserLocalSystem true\n");
    const ConsoleUserImpersonation user(L"GetCurrentUserProxyConfDir");
    switch (user.state()) {
        case ConsoleUserImpersonation::State::NoSessionList: return {};
        case ConsoleUserImpersonation::State::Impersonating: break;
        default: return ProcessTempPath();
    }
    wchar_t expanded[MAX_PATH] = {};
    if (::ExpandEnvironmentStringsForUserW(user.token(), L"%TEMP%", expanded, MAX_PATH)) {
        LOGW(LOG_INFO, L"ExpandEnvironmentStringsForUser success:%s\n", expanded);
        return std::wstring(expanded) + L"\\";
    }
    LOGW(LOG_WARNING, L"ExpandEnvironmentStringsForUser failed, error:%d\n",
         static_cast<int>(::GetLastError()));
    return ProcessTempPath();
}

const wchar_t* ProxyConfDirName(unsigned int kind) {
    switch (kind) {
        case kProxyConfDirClientSecurity: return L"MyClientSecurity";
        case kProxyConfDirSessionExtension: return L"SessionExtension";
        default: return L"VPN";
    }
}

const wchar_t* ClientSecurityDirName(unsigned int kind) {
    return kind == kProxyConfDirClientSecurity ? L"ClientSecurity" : L"VPN";
}

std::wstring ConfigurationDirFor(const std::wstring& tempDir, int32_t osVersion,
                                 const wchar_t* folderName) {
    std::wstring folder = tempDir;
    if (osVersion >= 4 && !::StrStrIW(::PathFindFileNameW(tempDir.c_str()), L"Low")) {
        folder += L"Low\\";
    }
    return folder + folderName;
}

std::wstring GetCurrentUserProxyConfDir(unsigned int kind) { return ConfDir(kind, ProxyConfDirName); }

std::wstring GetCurrentUserClientSecurityDir(unsigned int kind) {
    return ConfDir(kind, ClientSecurityDirName);
}

std::wstring GetProxyIniPath(unsigned int kind) {
    return FileIn(GetCurrentUserProxyConfDir(kind), L"Proxy.ini");
}

std::wstring GetProxyBackupIniPath(unsigned int kind) {
    return FileIn(GetCurrentUserProxyConfDir(kind), L"Proxy_backup.ini");
}

std::wstring GetClientSecurityProxyIniPath(unsigned int kind) {
    return FileIn(GetCurrentUserClientSecurityDir(kind), L"Proxy.ini");
}

int InitNullDaclSecurityAttributes(SECURITY_ATTRIBUTES* attributes, SECURITY_DESCRIPTOR* descriptor) {
    attributes->nLength = sizeof(*attributes);
    attributes->lpSecurityDescriptor = descriptor;
    attributes->bInheritHandle = TRUE;
    if (!::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        LOGW(LOG_ERROR, L"utilitylib: Init security descriptor failed. Error = %d\n",
             static_cast<int>(::GetLastError()));
        return 0;
    }
    if (!::SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
        LOGW(LOG_ERROR, L"utilitylib: Set security descriptor failed. Error = %d\n",
             static_cast<int>(::GetLastError()));
        return 0;
    }
    return 1;
}

std::wstring GetAllUserAppDataFolder() {
    wchar_t folder[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
    if (FAILED(hr)) {
        LOGW(LOG_WARNING, L"utilitylib: Get AllUser App data folder failed. Error = 0x%x\n",
             static_cast<unsigned>(hr));
        return {};
    }
    return folder;
}

unsigned long long DownloadToProxyConfFile(const wchar_t* url, const wchar_t* filePath) {
    const std::wstring path = filePath ? filePath : L"";
    if (path.empty()) {
        LOGW(LOG_WARNING, L"File %s is not exist, return false\n", path.c_str());
        return 0;
    }
    if (!::PathFileExistsW(path.c_str())) {
        const std::wstring folder = GetCurrentUserProxyConfDir(kProxyConfDirVPN);
        if (folder.empty() ||
            ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr) != ERROR_SUCCESS) {
            LOGW(LOG_INFO,
                 L"CBrowserProxySetting::OnSave: create dir, error is %d, maybe it is exist here.\n",
                 static_cast<int>(::GetLastError()));
        }
    }
    ::DeleteFileW(path.c_str());
    SECURITY_ATTRIBUTES attributes{};
    SECURITY_DESCRIPTOR descriptor{};
    if (!InitNullDaclSecurityAttributes(&attributes, &descriptor)) {
        LOGW(LOG_ERROR, L"CBrowserProxySetting::OnSave: Get low security level failed\n");
    }
    {
        // The empty file carries the NULL DACL; the download keeps it when it
        // truncates the file.
        Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ, &attributes, OPEN_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            LOGW(LOG_ERROR,
                 L"CBrowserProxySetting::OnSave: Create configure file failed. File = %s. Error = %d\n",
                 path.c_str(), static_cast<int>(::GetLastError()));
        }
    }
    if (!::PathFileExistsW(path.c_str())) {
        LOGW(LOG_WARNING, L"File %s is not exist, return false\n", path.c_str());
        return 0;
    }
    if (DownloadByWinHttpOpen(url, path.c_str()) == 1) return 1;
    LOGW(LOG_WARNING, L"DownloadByWinHttpOpen failed\n");
    return 0;
}

unsigned long long DownloadByWinHttpOpen(const wchar_t* url, const wchar_t* filePath) {
    if (!url) {
        LOGW(LOG_WARNING, L"DownloadByWinHttpOpen: url NULL\n");
        return 0;
    }
    LOGW(LOG_INFO, L"DownloadByWinHttpOpen: url:%s\n", url);

    wchar_t hostName[260] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = hostName;
    parts.dwHostNameLength = 260;
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url, 0, 0, &parts)) {
        LOGW(LOG_INFO, L"WinHttpCrackUrl failed, error::%d\n", static_cast<int>(::GetLastError()));
        return 0;
    }
    // The path runs to the end of the URL, so it includes any query.
    const std::wstring urlPath = parts.lpszUrlPath ? parts.lpszUrlPath : L"/";

    Owners::UniqueWinHttp session(::WinHttpOpen(L"Quarlo Networks VPN User", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    Owners::UniqueWinHttp connection;
    if (session) connection.reset(::WinHttpConnect(session.get(), hostName, parts.nPort, 0));
    LOGW(LOG_INFO, L"WinHttpOpen finished, port:%d, host:%s, url:%s\n", parts.nPort, hostName,
         urlPath.c_str());
    Owners::UniqueWinHttp request;
    if (connection) {
        request.reset(::WinHttpOpenRequest(connection.get(), L"GET", urlPath.c_str(), L"HTTP/1.1",
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           parts.nScheme == INTERNET_SCHEME_HTTPS
                                               ? WINHTTP_FLAG_SECURE : 0));
    }
    if (!request) {
        LOGW(LOG_WARNING, L"WinHttpOpenRequest failed, error:%d\n", static_cast<int>(::GetLastError()));
        return 0;
    }
    LOGW(LOG_INFO, L"WinHttpOpenRequest success.\n");

    const BOOL sent = ::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                           WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    DWORD feature = WINHTTP_DISABLE_COOKIES;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof(feature))) {
        LOGW(LOG_WARNING, L"WinHttpSetOption failed, error:%d\n", static_cast<int>(::GetLastError()));
        return 0;
    }
    if (!sent || !::WinHttpReceiveResponse(request.get(), nullptr)) {
        LOGW(LOG_WARNING, L"Error %d has occurred.\n", static_cast<int>(::GetLastError()));
        LOGW(LOG_INFO, L"DownloadByWinHttpOpen finished\n");
        return 0;
    }

    // An error page or a body that broke off must not become the script: the
    // body is gathered first and written only when it is whole and the status is 200.
    DWORD status = 0, size = sizeof(status);
    ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    DWORD contentLength = 0;
    size = sizeof(contentLength);
    const bool hasLength = ::WinHttpQueryHeaders(
        request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
        WINHTTP_HEADER_NAME_BY_INDEX, &contentLength, &size, WINHTTP_NO_HEADER_INDEX);
    // A PAC address can name any server: a body that does not end must not
    // take the process's memory.
    if (hasLength && contentLength > kMaxWinHttpDownloadBytes) {
        LOGW(LOG_WARNING,
             L"DownloadByWinHttpOpen: the body of %u bytes is larger than %u bytes, the download "
             L"is given up\n",
             static_cast<unsigned>(contentLength), static_cast<unsigned>(kMaxWinHttpDownloadBytes));
        LOGW(LOG_INFO, L"DownloadByWinHttpOpen finished\n");
        return 0;
    }
    std::string body;
    bool whole = true;
    for (;;) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request.get(), &available)) {
            LOGW(LOG_WARNING, L"Error %u in WinHttpQueryDataAvailable.\n", ::GetLastError());
            whole = false;
            break;
        }
        if (available == 0) break;
        if (body.size() + available > kMaxWinHttpDownloadBytes) {
            LOGW(LOG_WARNING,
                 L"DownloadByWinHttpOpen: the body is larger than %u bytes, the download is "
                 L"given up\n",
                 static_cast<unsigned>(kMaxWinHttpDownloadBytes));
            LOGW(LOG_INFO, L"DownloadByWinHttpOpen finished\n");
            return 0;
        }
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), chunk.data(), available, &read)) {
            LOGW(LOG_WARNING, L"Error %u in WinHttpReadData.\n", ::GetLastError());
            whole = false;
            break;
        }
        chunk.resize(read);
        LOGA(LOG_INFO, "Winhttp download success: \n%s\n", chunk.c_str());
        body += chunk;
        if (read == 0) break;
    }
    if (hasLength && body.size() != contentLength) whole = false;
    // As before, a reply without a body is no script either.
    if (status != HTTP_STATUS_OK || !whole || body.empty()) {
        LOGW(LOG_WARNING,
             L"DownloadByWinHttpOpen: status %u, %u of %u bytes, the file is not written\n",
             status, static_cast<unsigned>(body.size()), hasLength ? contentLength : 0u);
        LOGW(LOG_INFO, L"DownloadByWinHttpOpen finished\n");
        return 0;
    }

    unsigned long long result = 0;
    ::SetFileAttributesW(filePath, FILE_ATTRIBUTE_NORMAL);
    Owners::UniqueHandle file(::CreateFileW(filePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        LOGW(LOG_WARNING, L"open file failed, error:%d\n", static_cast<int>(::GetLastError()));
    } else {
        DWORD written = 0;
        if (!::WriteFile(file.get(), body.data(), static_cast<DWORD>(body.size()), &written, nullptr) ||
            written != body.size()) {
            LOGW(LOG_WARNING, L"WriteFile failed, error:%d\n", static_cast<int>(::GetLastError()));
        } else {
            result = 1;
        }
        if (!::FlushFileBuffers(file.get())) {
            LOGW(LOG_WARNING, L"FlushFileBuffers failed, error:%d\n",
                 static_cast<int>(::GetLastError()));
        }
    }
    LOGW(LOG_INFO, L"DownloadByWinHttpOpen finished\n");
    return result;
}
