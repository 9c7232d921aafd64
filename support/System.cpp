#include "System.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "CommonFunction.h"
#include "INIFile.h"
#include "Loglib.h"
#include "Owners.h"

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
constexpr const wchar_t* kInstallManagerKey = L"SOFTWARE\\VPN\\Install Manager";

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
