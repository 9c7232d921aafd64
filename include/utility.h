// Launch-command lists and the message-pumping wait of the launcher.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <string>
#include <string_view>
#include <vector>

#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "Timing.h"

// Command texts in the order the client stored them.
using CommandList = std::vector<Owners::UniqueBstr>;

// How a stored command line is handed to the shell.
struct CommandSplit {
    bool split = false;
    int position = -1;       // of the separator in the command, -1 when not split
    std::wstring program;    // the file for the shell (the whole command when not split)
    std::wstring parameters;
};

// Splits after ".exe " (or ".exe'" for a single-quoted path without ".exe "),
// found case-insensitively; program and parameters keep the command's own
// case. Single quotes at the ends of either part become double quotes.
inline CommandSplit SplitLaunchCommand(std::wstring_view command) {
    CommandSplit result;
    const std::wstring lower = ToLowerW(command);
    std::wstring_view separator = L".exe ";
    if (lower.find(L'\'') != std::wstring::npos && lower.find(L".exe ") == std::wstring::npos) {
        separator = L".exe'";
    }
    const size_t found = lower.find(separator);
    if (found == std::wstring::npos) {
        result.program = command;
        return result;
    }
    // towlower maps one unit to one unit, so positions in the lower-case copy
    // are positions in the command.
    const size_t end = found + separator.size();
    result.split = true;
    result.position = static_cast<int>(found);
    result.program = command.substr(0, end);
    result.parameters = command.substr(end);
    if (!result.program.empty() && result.program.front() == L'\'') result.program.front() = L'"';
    if (!result.program.empty() && result.program.back() == L'\'') result.program.back() = L'"';
    if (result.parameters.find(L'\'') != std::wstring::npos) {
        // The blank after ".exe'" belongs to the parameters; the quote that
        // opens them follows it, and must pair with the closing one.
        const size_t first = result.parameters.find_first_not_of(L' ');
        if (result.parameters[first] == L'\'') result.parameters[first] = L'"';
        if (result.parameters.back() == L'\'') result.parameters.back() = L'"';
    }
    return result;
}

// How long the list waits for a command it handed to the command
// processor. A batch file may run on for ever: the list and the program go
// on after this while it runs.
constexpr DWORD kCommandProcessorWaitMs = 60000;

// Runs the text as the runtime's system() does ("<command processor> /c
// <text>"), the wide text as it stands, and waits for its end waitMs at
// most. False when the command processor could not be started.
inline bool RunInCommandProcessor(const std::wstring& text, DWORD waitMs) {
    wchar_t found[MAX_PATH] = {};
    std::wstring processor;
    const DWORD length = ::GetEnvironmentVariableW(L"ComSpec", found, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        processor = found;
    } else {
        const UINT system = ::GetSystemDirectoryW(found, MAX_PATH);
        if (system == 0 || system >= MAX_PATH) return false;
        processor = std::wstring(found) + L"\\cmd.exe";
    }
    std::wstring commandLine = L"\"" + processor + L"\" /c " + text;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &started)) {
        return false;
    }
    const Owners::UniqueHandle thread(started.hThread);
    const Owners::UniqueHandle process(started.hProcess);
    if (Timing::WaitForObject(process.get(), waitMs) != WAIT_OBJECT_0) {
        LOGW(LOG_WARNING, L"CommandListExecute: %s still runs after %u ms, the list goes on\n",
             text.c_str(), static_cast<unsigned>(waitMs));
    }
    return true;
}

// Runs every command through the shell, with the open-with dialog for files
// without a program and the command processor for batch files. 1 unless the
// last command that failed to start was given up.
inline int CommandListExecute(const CommandList& list) {
    int overall = 1;
    for (const Owners::UniqueBstr& entry : list) {
        const std::wstring command = entry.c_str();
        const CommandSplit split = SplitLaunchCommand(command);
        HINSTANCE started =
            ::ShellExecuteW(nullptr, L"open", split.program.c_str(),
                            split.split ? split.parameters.c_str() : nullptr, nullptr,
                            SW_SHOWNORMAL);
        INT_PTR result = reinterpret_cast<INT_PTR>(started);
        LOGW(LOG_INFO, L"RunCommand: start to execute cmd: %s, parameter:%s ret is %d\n",
             split.program.c_str(), split.parameters.c_str(), static_cast<int>(result));
        if (result == SE_ERR_NOASSOC) {
            const std::wstring openAs = L"shell32.dll OpenAs_RunDLL " + command;
            started = ::ShellExecuteW(nullptr, L"open", L"RunDLL32.exe", openAs.c_str(), nullptr,
                                      SW_SHOWNORMAL);
            result = reinterpret_cast<INT_PTR>(started);
        }
        if (result > 32) continue;
        LOGW(LOG_WARNING,
             L"CommandListExecute failed, ret is %d, index:%d, pCommand:%s, app.GetBuffer:%s\n",
             static_cast<int>(result), split.position, command.c_str(), split.program.c_str());
        const std::wstring& text = split.program;
        if (::StrStrIW(text.c_str(), L".bat") || ::StrStrIW(text.c_str(), L"gpupdate /target")) {
            LOGW(LOG_INFO, L"we have to call system to run the bat file\n");
            if (RunInCommandProcessor(text, kCommandProcessorWaitMs)) {
                overall = 1;
            } else {
                LOGW(LOG_WARNING, L"CommandListExecute: the command processor did not start, "
                                  L"error is %d\n",
                     static_cast<int>(::GetLastError()));
                overall = 0;
            }
        } else {
            overall = 0;
        }
    }
    LOGW(LOG_INFO, L"CommandListExecute finished, ret is %d\n", overall);
    return overall;
}

// Waits for the named auto-reset event (created or opened here) while it
// dispatches this thread's window messages, one wait of at most 1,000 ms at a
// time. INFINITE means no limit. False on time-out or when no event is had.
inline bool SleepWithMessageLoop(const wchar_t* eventName, DWORD timeoutMs, DWORD wakeMask) {
    Owners::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, eventName));
    if (!event) {
        LOGW(LOG_WARNING, L"SleepWithMessageLoop: hEvent is NULL, error is %d\n",
             static_cast<int>(::GetLastError()));
        return false;
    }
    LOGW(LOG_INFO, L"Create event %s success\n", eventName);
    if (!Timing::WaitWithMessageLoop(event.get(), timeoutMs, wakeMask)) return false;
    LOGW(LOG_INFO, L"SleepWithMessageLoop: i received the message: %s\n", eventName);
    return true;
}
