// What a session launch hands to the installed client: its command line
// (the gateway, the session and the proxy), the portal's validcode values
// that the client reads from the AAA key, and the text that asks the
// install manager to start it in the user's session. Every text is built
// whole; a value the receiver cannot hold is refused with a log line,
// never cut.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "ProxyInfo.h"

// The values of a validcode text ("txt1=a@txt2=b@token=c@method=d@"). txt1
// is always taken (the first segment's value when its key is missing); the
// others only when their key occurs.
struct ValidCodeValues {
    std::wstring txt1;
    std::optional<std::wstring> txt2, token, method;
};
ValidCodeValues ParseValidCode(std::wstring_view validCode);

// A session identifier of 10 or more characters is a portal session.
constexpr size_t kPortalSessionChars = 10;

struct SessionLaunchArguments {
    std::wstring host, port, session, browserProcessId, user, validCode;
};

// The line of a "-connectwithui" launch (short session): writes the AAA
// values that fit (BVWebNoSession 1 first), refusing with a log line those
// that do not; the method, when written, also ends the line.
std::wstring BuildConnectWithUiCommandLine(const SessionLaunchArguments& arguments,
                                           const ProxyInfo& proxy);
// The line of a "-connectsession" launch (BVWebNoSession 0, the AAA key
// removed).
std::wstring BuildConnectSessionCommandLine(const SessionLaunchArguments& arguments,
                                            const ProxyInfo& proxy);
// The line of the hidden client-security run.
std::wstring BuildClientSecurityCommandLine(const std::wstring& host, const std::wstring& port,
                                            const ProxyInfo& proxy);

// The proxy part of a client command line: " host<joiner>port" and the
// credentials when both are set; empty without a proxy in use. The log
// lines name the command (logPrefix is the text before "with proxy").
std::wstring ProxyPartOfCommandLine(const ProxyInfo& proxy, wchar_t joiner,
                                    const wchar_t* withProxyLog, const wchar_t* withoutProxyLog);

// The line for the log: the proxy password's argument reads
// "proxypassword=*****".
std::wstring CommandLineForLog(const std::wstring& commandLine, const ProxyInfo& proxy);

// The client's start: ShellExecuteEx hands "program" and its command line
// to the process creation, which takes 32,767 characters with the
// terminator. False (logged) for a line longer than that.
constexpr size_t kProcessCommandLineChars = 32766;
bool FitsClientCommandLine(const std::wstring& program, const std::wstring& commandLine);

// The install manager's text for starting program with its command line in
// the user's session ("%s@@@%s" in the thread's code page); false (logged)
// when it exceeds what the service takes or the code page cannot hold it.
constexpr size_t kRunInUserSessionChars = 519;
bool BuildRunInUserSessionText(const std::wstring& program, const std::wstring& commandLine,
                               std::string& text);
