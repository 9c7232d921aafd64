// Facts about the platform and raw registry reads: they keep no state, log
// nothing and may be called from any thread, so every other file may use
// them.
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

// Reads a DWORD into a zeroed buffer; ERROR_SUCCESS only when it fitted.
LSTATUS ReadRegistryDword(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD& value);
// Reads a text value of at most capacity - 1 characters, always terminated.
// A longer text is never cut: ERROR_MORE_DATA and an empty buffer.
LSTATUS ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name, wchar_t* buffer,
                         DWORD capacity);
