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
