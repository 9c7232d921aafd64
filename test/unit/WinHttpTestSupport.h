// Fixtures of the WinHTTP and proxy-discovery tests: the loopback HTTP
// double, the console user's Internet Explorer settings and the console-user
// seam.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "System.h"
#include "TestSupport.h"

namespace WinHttpTest {

// Port of the HTTP double (fixture httpdouble); 0 when it is not running.
unsigned HttpDoublePort();
// "http://127.0.0.1:<port><path>".
std::wstring HttpDoubleUrl(const std::wstring& path);
std::string HttpDoubleAddress();  // "127.0.0.1:<port>"

// DefaultConnectionSettings flags.
constexpr DWORD kIEDirect = 1;
constexpr DWORD kIEProxy = 2;
constexpr DWORD kIEAutoConfigUrl = 4;

// The current user's Internet Explorer connection settings for one test;
// the Connections key is removed before and after.
class IESettings {
public:
    IESettings();
    void Set(DWORD flags, const std::string& proxy, const std::string& bypass,
             const std::string& autoConfigUrl);

private:
    TestSupport::ScopedRegistryKey m_key;
};

// The console-user calls of a LocalSystem process, scripted by the test.
class ConsoleUser {
public:
    ConsoleUser();
    ~ConsoleUser();
    bool consoleTokenAvailable = true;   // WTSQueryUserToken of the console session
    bool listAvailable = true;            // WTSEnumerateSessionsW succeeds
    bool listEmpty = false;               // ... but gives no list
    std::vector<WTS_SESSION_INFOW> sessions;
    std::vector<DWORD> activeTokenSessions;  // sessions whose token can be had
    bool tokenIsNotAToken = false;        // hand out a handle impersonation refuses
    std::vector<ULONG> tokenQueries;

    // True when the calling thread impersonates anybody.
    static bool ThreadImpersonates();

private:
    static ConsoleUser* s_current;
    static int IsLocalSystem();
    static DWORD WINAPI ConsoleSession();
    static BOOL WINAPI QueryToken(ULONG session, PHANDLE token);
    static BOOL WINAPI Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* list, DWORD* count);
    static void WINAPI FreeList(PVOID);
    ConsoleUserSystem m_system;
    TestSupport::ScopedHook<const ConsoleUserSystem*> m_installed{SetConsoleUserSystemForTest, &m_system};
};

}  // namespace WinHttpTest
