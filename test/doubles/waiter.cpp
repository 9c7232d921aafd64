// Stands in for the browser's launch control: creates the completion event,
// starts a program with a raw command line, waits for it to end and reports
// the exit code and whether the event was set.
//
// usage: waiter.exe [-t timeout-ms] [-e event-name] [-r tail-file] <program> [raw tail]
// The tail is passed on verbatim after one separating blank, so empty
// arguments and odd spacing reach the program exactly as given; -r reads it
// from a UTF-16LE file instead (for tails a Unix shell would re-quote).
// Output (stdout): "exit=<code> signalled=<0|1> pid=<pid>"; exit code 0 when
// the program ended, 3 when it did not end in time, 2 on usage errors.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Returns the position just after the token that starts at p (quotes group).
const wchar_t* SkipToken(const wchar_t* p) {
    bool quoted = false;
    for (; *p; ++p) {
        if (*p == L'"') quoted = !quoted;
        else if (!quoted && (*p == L' ' || *p == L'\t')) break;
    }
    return p;
}

const wchar_t* SkipBlanks(const wchar_t* p) {
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

std::wstring Unquote(const wchar_t* begin, const wchar_t* end) {
    std::wstring token;
    for (const wchar_t* p = begin; p < end; ++p) {
        if (*p != L'"') token += *p;
    }
    return token;
}

}  // namespace

int wmain() {
    const wchar_t* p = SkipBlanks(SkipToken(::GetCommandLineW()));
    DWORD timeout = 120000;
    std::wstring tailFile;
    std::wstring eventName = L"Global\\{5D1FCC03-950B-4327-8CB7-4BF229ABB286}";
    for (;;) {
        if (std::wcsncmp(p, L"-t ", 3) == 0) {
            p = SkipBlanks(p + 3);
            const wchar_t* end = SkipToken(p);
            timeout = static_cast<DWORD>(std::wcstoul(Unquote(p, end).c_str(), nullptr, 10));
            p = SkipBlanks(end);
        } else if (std::wcsncmp(p, L"-e ", 3) == 0) {
            p = SkipBlanks(p + 3);
            const wchar_t* end = SkipToken(p);
            eventName = Unquote(p, end);
            p = SkipBlanks(end);
        } else if (std::wcsncmp(p, L"-r ", 3) == 0) {
            p = SkipBlanks(p + 3);
            const wchar_t* end = SkipToken(p);
            tailFile = Unquote(p, end);
            p = SkipBlanks(end);
        } else {
            break;
        }
    }
    if (!*p) {
        std::fwprintf(stderr, L"usage: waiter.exe [-t ms] [-e event] <program> [tail]\n");
        return 2;
    }
    const wchar_t* programEnd = SkipToken(p);
    const std::wstring program = Unquote(p, programEnd);
    std::wstring commandLine = L"\"" + program + L"\"";
    if (*programEnd) commandLine += programEnd;  // keeps the blank and the tail verbatim
    if (!tailFile.empty()) {
        FILE* file = _wfopen(tailFile.c_str(), L"rb");
        if (!file) {
            std::fwprintf(stderr, L"waiter: cannot read %ls\n", tailFile.c_str());
            return 2;
        }
        std::wstring tail;
        wchar_t c;
        while (std::fread(&c, sizeof(c), 1, file) == 1) tail += c;
        std::fclose(file);
        commandLine += L" " + tail;
    }

    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, eventName.c_str());
    if (!event) {
        std::fwprintf(stderr, L"waiter: cannot create the event (%lu)\n", ::GetLastError());
        return 2;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        std::fwprintf(stderr, L"waiter: cannot start %ls (%lu)\n", program.c_str(),
                      ::GetLastError());
        ::CloseHandle(event);
        return 2;
    }
    const DWORD waited = ::WaitForSingleObject(process.hProcess, timeout);
    DWORD exitCode = 259;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    const bool signalled = ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    std::printf("exit=%lu signalled=%d pid=%lu\n", exitCode, signalled ? 1 : 0,
                process.dwProcessId);
    std::fflush(stdout);
    if (waited != WAIT_OBJECT_0) ::TerminateProcess(process.hProcess, 1);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(event);
    return waited == WAIT_OBJECT_0 ? 0 : 3;
}
