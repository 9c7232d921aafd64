// Stateless queries about the machine: the OS generation, LocalSystem, the
// product family's install folders and the names kept in the registry and in
// OEM.ini.
#pragma once

#include <windows.h>

#include <cstdint>

// What GetOSVersion found: the generation, and the line it logs (a format
// taking the platform id, major and minor version; null for no line).
struct OSGenerationFinding {
    int32_t generation;
    int32_t logLevel;
    const wchar_t* message;
};
// isServerR2 is GetSystemMetrics(SM_SERVERR2) != 0; isAtLeast10 tells that
// the true version is 10.0 or later.
OSGenerationFinding OSGenerationForSystem(const OSVERSIONINFOEXW& version,
                                          WORD processorArchitecture, bool isServerR2,
                                          bool isAtLeast10);

int32_t GetOSVersion();
int IsUserLocalSystem();

// Out parameters hold MAX_PATH characters.
void GetCompanyName(wchar_t* name);
int IsCompanyNameExistInReg();
void GetProgramFilesCompanyDir(wchar_t* path);
void GetProgramFilesX86CompanyDir(wchar_t* path);
void GetInstallManagerDir(wchar_t* path, int x86);
void GetSSLVPNClientDir(wchar_t* path, int x86);
void GetBrevantoClientDir(wchar_t* path, int x86);
void GetApplicationName(wchar_t* name);
// Copies the value (empty when the key is missing) into value, at most
// size - 1 characters and a terminator; leaves value alone when the file
// does not exist.
void GetOEMValue(const wchar_t* iniPath, const wchar_t* section, const wchar_t* key,
                 wchar_t* value, int size);

// ---- Per-user configuration folders and the WinHTTP file download ----

#include <wtsapi32.h>

#include <string>

#include "Owners.h"

// The folder below the user's temporary folder (ProxyConfDirKind).
constexpr unsigned int kProxyConfDirVPN = 0;
constexpr unsigned int kProxyConfDirClientSecurity = 1;
constexpr unsigned int kProxyConfDirSessionExtension = 3;

// The console user's temporary folder with a final backslash; empty when no
// user session can be found.
std::wstring GetActiveUserTempDir();
// Configuration folders (not created), no final backslash; empty without a
// console user session.
std::wstring GetCurrentUserProxyConfDir(unsigned int kind);
std::wstring GetCurrentUserClientSecurityDir(unsigned int kind);
// The folder's Proxy.ini or Proxy_backup.ini; empty when the folder is.
std::wstring GetProxyIniPath(unsigned int kind);
std::wstring GetProxyBackupIniPath(unsigned int kind);
std::wstring GetClientSecurityProxyIniPath(unsigned int kind);

// The configuration folder for a temporary folder (final backslash) and an
// OS generation: "Low\" on Vista and later unless the last component already
// says Low, then the folder name.
std::wstring ConfigurationDirFor(const std::wstring& tempDir, int32_t osVersion,
                                 const wchar_t* folderName);
const wchar_t* ProxyConfDirName(unsigned int kind);
const wchar_t* ClientSecurityDirName(unsigned int kind);

int InitNullDaclSecurityAttributes(SECURITY_ATTRIBUTES* attributes, SECURITY_DESCRIPTOR* descriptor);
std::wstring GetAllUserAppDataFolder();

// Largest body DownloadByWinHttpOpen takes (PAC scripts are a few KiB).
constexpr DWORD kMaxWinHttpDownloadBytes = 4 * 1024 * 1024;

// 1 when the URL's body arrived whole with status 200 and is in the file; a
// body larger than kMaxWinHttpDownloadBytes fails the download.
unsigned long long DownloadToProxyConfFile(const wchar_t* url, const wchar_t* filePath);
unsigned long long DownloadByWinHttpOpen(const wchar_t* url, const wchar_t* filePath);

// The calls that find the console user. Wine cannot show a LocalSystem
// process or a console session, so tests replace them; nullptr restores the
// real ones.
struct ConsoleUserSystem {
    int (*isUserLocalSystem)();
    DWORD(WINAPI* activeConsoleSessionId)();
    BOOL(WINAPI* queryUserToken)(ULONG session, PHANDLE token);
    BOOL(WINAPI* enumerateSessions)(HANDLE server, DWORD reserved, DWORD version,
                                    PWTS_SESSION_INFOW* sessions, DWORD* count);
    void(WINAPI* freeMemory)(PVOID memory);
};
const ConsoleUserSystem* SetConsoleUserSystemForTest(const ConsoleUserSystem* system);

// Impersonates the console user on the calling thread when the process runs
// as LocalSystem: the token of the active console session, else that of the
// first active session that gives one. Reverts and closes the token when it
// ends. caller names the operation in the session-id line.
class ConsoleUserImpersonation {
public:
    enum class State {
        NotNeeded,          // not LocalSystem: the process's own user applies
        Impersonating,
        NoSessionList,      // no token and the sessions could not be listed
        NoToken,
        ImpersonateFailed,
    };
    static bool Needed();
    explicit ConsoleUserImpersonation(const wchar_t* caller);
    ~ConsoleUserImpersonation();
    ConsoleUserImpersonation(const ConsoleUserImpersonation&) = delete;
    ConsoleUserImpersonation& operator=(const ConsoleUserImpersonation&) = delete;

    State state() const { return m_state; }
    bool failed() const { return m_state != State::NotNeeded && m_state != State::Impersonating; }
    HANDLE token() const { return m_token.get(); }

private:
    State m_state = State::NotNeeded;
    Owners::UniqueHandle m_token;
};
