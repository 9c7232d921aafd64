// Stands in for a program of a launch-command list: appends its own command
// line (one line, UTF-8) to the file named by QUARLO_RECORD_FILE.
//
// recorder.exe -signal <event-name> <delay-ms>: sets that named event after
// the delay instead (for waits on another process).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wcscmp(argv[1], L"-signal") == 0) {
        ::Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
        HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
        if (!event) return 2;
        ::SetEvent(event);
        ::CloseHandle(event);
        return 0;
    }
    wchar_t path[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"QUARLO_RECORD_FILE", path, MAX_PATH)) return 2;
    const wchar_t* line = ::GetCommandLineW();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(std::char_traits<char>::length(utf8.c_str()));
    utf8 += "\n";
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    ::WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    ::CloseHandle(file);
    return 0;
}
