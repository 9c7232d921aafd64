// Stands in for the live log viewer: creates the viewer events of one
// integrity class, frees the record slot and captures the records it is
// handed, one line each, to an output file (UTF-8):
//   <module id>|<level>|<line>|<source file>|<executable>|<message>
//
// usage: fakeviewer.exe <low|medium|other> <out-file> <ready-file> <records> <timeout-ms>
//                       [nowants] [level=<module>:<level> ...]
// The ready file is written once the events exist; the viewer ends after
// <records> records or the time-out. nowants leaves the wants-records event
// out. A level option sets that module's row of the shared table (the section
// must already exist).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "Loglib.h"
#include "StringUtil.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 6) {
        std::fwprintf(stderr, L"usage: fakeviewer.exe class out ready records timeout\n");
        return 2;
    }
    const std::wstring cls = argv[1];
    const LogIntegrityClass integrityClass = cls == L"low"      ? LogIntegrityClass::Low
                                             : cls == L"medium" ? LogIntegrityClass::Medium
                                                                : LogIntegrityClass::Other;
    const LogObjectNames& names = LogObjectNamesFor(integrityClass);
    const int wanted = _wtoi(argv[4]);
    const DWORD timeout = static_cast<DWORD>(_wtoi(argv[5]));
    bool wants = true;
    for (int i = 6; i < argc; ++i) {
        std::wstring option = argv[i];
        if (option == L"nowants") wants = false;
        if (option.rfind(L"level=", 0) == 0) {
            int module = 0, level = 0;
            if (swscanf(option.c_str() + 6, L"%d:%d", &module, &level) == 2) {
                HANDLE section = ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, names.section);
                if (!section) return 4;
                auto* view = static_cast<LogSharedSection*>(
                    ::MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LogSharedSection)));
                if (!view) return 4;
                view->modules[module].level = level;
                ::UnmapViewOfFile(view);
                ::CloseHandle(section);
            }
        }
    }

    HANDLE present = ::CreateEventW(nullptr, TRUE, TRUE, kLogViewerPresentEvent);
    HANDLE wantsEvent = wants ? ::CreateEventW(nullptr, TRUE, TRUE, names.wantsRecordsEvent)
                              : nullptr;
    HANDLE slotFree = ::CreateEventW(nullptr, FALSE, TRUE, names.slotFreeEvent);
    HANDLE recordReady = ::CreateEventW(nullptr, FALSE, FALSE, names.recordReadyEvent);
    if (!present || !slotFree || !recordReady) return 3;

    FILE* ready = _wfopen(argv[3], L"wb");
    if (ready) std::fclose(ready);

    FILE* out = _wfopen(argv[2], L"wb");
    if (!out) return 3;
    int captured = 0;
    const ULONGLONG deadline = ::GetTickCount64() + timeout;
    while (captured < wanted) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) break;
        if (::WaitForSingleObject(recordReady, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
            break;
        }
        HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, names.section);
        if (section) {
            auto* view = static_cast<const LogSharedSection*>(
                ::MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(LogSharedSection)));
            if (view) {
                const LogRecord& r = view->record;
                std::wstring row = std::to_wstring(r.moduleId) + L"|" + std::to_wstring(r.level) +
                                   L"|" + std::to_wstring(r.line) + L"|" + r.sourceFile + L"|" +
                                   r.executable + L"|" + ReplaceAll(r.message, L"\n", L"\\n") +
                                   L"\n";
                const std::string utf8 = CodePageFromWide(row, CP_UTF8);
                std::fwrite(utf8.data(), 1, utf8.size(), out);
                std::fflush(out);
                ::UnmapViewOfFile(view);
            }
            ::CloseHandle(section);
        }
        ++captured;
        ::SetEvent(slotFree);
    }
    std::fclose(out);
    if (wantsEvent) ::CloseHandle(wantsEvent);
    ::CloseHandle(present);
    ::CloseHandle(slotFree);
    ::CloseHandle(recordReady);
    return 0;
}
