// The utilities of the launcher and installer. The processes, COM services
// and started programs are declared here; the other topics have files of
// their own, included here so that callers need only this header.
#pragma once

#include <windows.h>

#include <string>

#include "FileUtil.h"
#include "Platform.h"
#include "RegistryFlags.h"
#include "TextConversion.h"

// The first process whose executable name matches (ASCII case folded),
// opened with the access; null when none matches or it cannot be opened.
HANDLE GetProcessByName(const wchar_t* name, DWORD access);
int IsProcessRunning(const wchar_t* name);
// True when no such process runs or it was stopped and has ended.
bool StopProcessByName(const wchar_t* name);
int IsProcessAlive(DWORD processId);
int IsProcessExistByName(const wchar_t* name);
int ProcessExistCountByName(const wchar_t* name);

// Present when both the service list (by display name) and the service's
// registry key (by name) know it.
int IsCOMServiceExist(const wchar_t* name);
bool InstallCOMService(const wchar_t* executable, const wchar_t* argument);
bool RemoveCOMService(const wchar_t* executable, int flag);

// Starts an installed copy of this program with a command for it.
bool HandleCOMService(const wchar_t* component, const wchar_t* action, const wchar_t* host,
                      bool elevate, unsigned short port, const wchar_t* session, int doNotWait,
                      unsigned int number, unsigned int proxyFlag, const wchar_t* proxyHost,
                      unsigned short proxyPort, const wchar_t* proxyUser,
                      const wchar_t* proxyPassword, const wchar_t* proxyDomain);

// The parameters HandleCOMService gives the copy; empty when they do not fit.
// Every text field is quoted, so an empty one stays an argument of its own.
struct COMServiceParameters {
    std::wstring executable;  // "Tavrisk.exe" or "Pelkora.exe"
    std::wstring parameters;
    std::wstring forLog;      // the same with the proxy password masked
    bool fits = true;
};
COMServiceParameters BuildCOMServiceParameters(
    const wchar_t* component, const wchar_t* action, const wchar_t* host, unsigned short port,
    const wchar_t* session, unsigned int number, unsigned int proxyFlag, const wchar_t* proxyHost,
    unsigned short proxyPort, const wchar_t* proxyUser, const wchar_t* proxyPassword,
    const wchar_t* proxyDomain);

// One argument as CommandLineToArgvW reads it back: in double quotes, with
// quotes and the backslashes before them escaped.
std::wstring QuoteCommandLineArgument(const wchar_t* text);

// Where installed copies of this program are looked for. The real folders
// are used unless a test installs another source.
struct InstalledCopyFolders {
    std::wstring systemDir;    // no final backslash
    std::wstring windowsDir;   // no final backslash
    std::wstring userTempDir;  // with a final backslash, may be empty
    bool is64BitOS = false;
};
using InstalledCopyFoldersSource = InstalledCopyFolders (*)();
InstalledCopyFoldersSource SetInstalledCopyFoldersSourceForTest(InstalledCopyFoldersSource source);

// The folder of this program's own executable, with a final backslash;
// empty when its path does not fit MAX_PATH.
std::wstring GetModuleFolder();
// ShellExecuteExW of a program without waiting and without error boxes;
// false (last error kept) when it could not be started.
bool ShellStartProgram(const std::wstring& path, const wchar_t* verb, int show,
                       const wchar_t* parameters = L"", ULONG mask = 0);

void StartHTTPProxy(unsigned int clientType);
int LaunchBrevantohttpd();
int CreateBhttpdProcessWithPort(const wchar_t* executable, const wchar_t* logFile, int port);
