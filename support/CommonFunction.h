// Generic support utilities (bitness, the debug switch, ...).
#pragma once

#include <windows.h>

// Native processor architecture codes.
constexpr int kArchOther = 0;
constexpr int kArchX86 = 1;
constexpr int kArchX64 = 2;
constexpr int kArchIA64 = 3;

struct ArchitectureInfo {
    int is64BitOS;
    int nativeArchitecture;
};
// Maps a PROCESSOR_ARCHITECTURE_* value.
ArchitectureInfo ArchitectureFromProcessor(WORD processorArchitecture);

int Is64BitOS();
int GetNativeArchitecture();

// The value that switches the debug logging on.
constexpr DWORD kEnablePrintRequestValue = 7315;
int IsEnablePrintRequest();

#include <string>
#include <string_view>

// ---- Code-page conversion -------------------------------------------------

// Converts length bytes (or characters) of text; the result holds exactly the
// converted characters. -1 for a null or empty text, a text with a zero
// inside its length (a single zero at its very end is converted with it), or
// a failed conversion; out is cleared then.
int ConvertMultiByteToWide(const char* text, int length, std::wstring& out, UINT codePage);
int ConvertWideToMultiByte(const wchar_t* text, int length, std::string& out, UINT codePage);
// Code page 936 to UTF-16 and UTF-16 to the ANSI code page (by default); the
// text up to its first zero. 0 and the target unchanged on failure (an empty
// text is such a case).
int StringToWString(const std::string& narrow, std::wstring& wide);
int WStringToString(const std::wstring& wide, std::string& narrow, UINT codePage = CP_ACP);
// Removes U+0020 blanks (only those) from both ends, in place.
void TrimSpaces(wchar_t* text);

// ---- Files ------------------------------------------------------------------

// 1 when the file is gone or moved aside and scheduled for deletion at reboot.
int RemoveFile(const wchar_t* path);
// 1 unless the file could be neither deleted nor moved aside.
int ForceRemoveFile(const wchar_t* path);
// Empties and removes a folder tree. Links inside it are removed, never
// followed. 1 unless a folder's listing cannot be started.
int EmptyDirectory(const wchar_t* folder);
// Saves a shell shortcut (COM must be initialised); icon may be null.
int CreateShortcut(const wchar_t* target, const wchar_t* link, const wchar_t* description,
                   const wchar_t* icon);
// Replaces a file's content through a temporary file beside it, so that no
// failure or interruption leaves a partly written file; falls back to writing
// in place only where the replace cannot be done. 1 when all was written.
int WriteWholeFileAtomic(const wchar_t* path, std::string_view bytes);

// ---- Registry flags ---------------------------------------------------------

// Reads a DWORD into a zeroed buffer; ERROR_SUCCESS only when it fitted.
LSTATUS ReadRegistryDword(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD& value);
// Reads a text value of at most capacity - 1 characters, always terminated
// (a stored text that fills the buffer without a terminator is cut to fit).
LSTATUS ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name, wchar_t* buffer,
                         DWORD capacity);

// Accepted values of the flags; anything else gives the default.
int ProxyListenPortFromValue(LSTATUS status, DWORD value);
int SSLProtoFromValue(LSTATUS status, DWORD value);
int MachineCertFlagFromValue(LSTATUS status, DWORD value);
int IsOneFromValue(LSTATUS status, DWORD value);

int GetSSLProtoFlag();
int GetBVStatus();
int GetVPN2Value(const char* name);
int GetLocalMachineCertPathFlag();
int GetBrevantoCommandLineFlag();
int IsBrevantoWebDuringDisconnect();
void SetBrevantoWebDuringDisconnectFlag(bool flag);
int GetBrevantoUpgradeStatus();
int GetProxyListenPort();
int IsEnableClientAuth();
void WriteServiceNameToSafeModeReg(const wchar_t* keyPath);
// The running client's UDP port (65432 when missing).
int GetBrevantoUdpPort();

// ---- Processes, COM services and started programs ----

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
void SetInstalledCopyFoldersSourceForTest(InstalledCopyFoldersSource source);

// The folder of this program's own executable, with a final backslash;
// empty when its path does not fit MAX_PATH.
std::wstring GetModuleFolder();
// ShellExecuteExW of a program without waiting; false (last error kept)
// when it could not be started.
bool ShellStartProgram(const std::wstring& path, const wchar_t* verb, int show);

void StartHTTPProxy(unsigned int clientType);
int LaunchBrevantohttpd();
int CreateBhttpdProcessWithPort(const wchar_t* executable, const wchar_t* logFile, int port);
