#include "Platform.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "Owners.h"
#include "SharedNames.h"

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
    if (ReadsEnablePrintRequest(kInstallManagerKey)) return 1;
    if (Is64BitOS() == 1 && ReadsEnablePrintRequest(kInstallManagerKeyWow64)) {
        return 1;
    }
    return 0;
}

LSTATUS ReadRegistryDword(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD& value) {
    DWORD buffer = 0;
    DWORD size = sizeof(buffer);
    const LSTATUS status = ::SHGetValueW(root, subKey, name, nullptr, &buffer, &size);
    value = status == ERROR_SUCCESS ? buffer : 0;
    return status;
}

LSTATUS ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name, wchar_t* buffer,
                         DWORD capacity) {
    if (!buffer || capacity == 0) return ERROR_INVALID_PARAMETER;
    buffer[0] = L'\0';
    // One spare character, so that a text stored without its terminator is
    // still measured whole.
    std::wstring read(capacity + 1, L'\0');
    DWORD size = (capacity + 1) * sizeof(wchar_t);
    const LSTATUS status = ::SHGetValueW(root, subKey, name, nullptr, read.data(), &size);
    if (status != ERROR_SUCCESS) return status;
    read[size / sizeof(wchar_t) < capacity ? size / sizeof(wchar_t) : capacity] = L'\0';
    const size_t length = std::wcslen(read.c_str());
    // A cut text is another text (a cut command line runs something else).
    if (length >= capacity) return ERROR_MORE_DATA;
    std::wmemcpy(buffer, read.c_str(), length + 1);
    return status;
}
