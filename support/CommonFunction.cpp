#include "CommonFunction.h"

#include <shlwapi.h>

#include "Owners.h"

ArchitectureInfo ArchitectureFromProcessor(WORD processorArchitecture) {
    switch (processorArchitecture) {
        case PROCESSOR_ARCHITECTURE_INTEL: return {0, kArchX86};
        case PROCESSOR_ARCHITECTURE_IA64: return {1, kArchIA64};
        case PROCESSOR_ARCHITECTURE_AMD64: return {1, kArchX64};
        default: return {0, kArchOther};
    }
}

namespace {

ArchitectureInfo QueryArchitecture() {
    SYSTEM_INFO info{};
    Owners::UniqueLibrary kernel32(::LoadLibraryW(L"Kernel32.dll"));
    using NativeInfoFn = void(WINAPI*)(SYSTEM_INFO*);
    NativeInfoFn native = nullptr;
    if (kernel32) {
        native = reinterpret_cast<NativeInfoFn>(reinterpret_cast<void*>(
            ::GetProcAddress(kernel32.get(), "GetNativeSystemInfo")));
    }
    if (native) {
        native(&info);
    } else {
        ::GetSystemInfo(&info);
    }
    return ArchitectureFromProcessor(info.wProcessorArchitecture);
}

bool ReadsEnablePrintRequest(const wchar_t* subKey) {
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS status = ::SHGetValueW(HKEY_LOCAL_MACHINE, subKey, L"EnablePrintRequest",
                                         &type, &value, &size);
    // Only a DWORD holding the switch value counts.
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD) &&
           value == kEnablePrintRequestValue;
}

}  // namespace

int Is64BitOS() { return QueryArchitecture().is64BitOS; }

int GetNativeArchitecture() { return QueryArchitecture().nativeArchitecture; }

int IsEnablePrintRequest() {
    if (ReadsEnablePrintRequest(L"SOFTWARE\\VPN\\Install Manager")) return 1;
    if (Is64BitOS() == 1 && ReadsEnablePrintRequest(L"SOFTWARE\\Wow6432Node\\VPN\\Install Manager")) {
        return 1;
    }
    return 0;
}
