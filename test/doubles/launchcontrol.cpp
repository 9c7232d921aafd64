// Stands in for the browser launch control (Prevkin.dll): copy it under that
// name. Each registration or unregistration appends one line to
// "<dll path>.journal" (UTF-8): "register" or "unregister", then a tab and
// the command line of the process that asked (regsvr32's).
#include <windows.h>

#include <string>

namespace {

HMODULE g_module = nullptr;

std::string Utf8(const wchar_t* text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(size - 1, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

HRESULT Record(const char* what) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(g_module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 8) return E_FAIL;
    const std::wstring journal = std::wstring(path) + L".journal";
    const std::string line = std::string(what) + "\t" + Utf8(::GetCommandLineW()) + "\n";
    HANDLE file = ::CreateFileW(journal.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return E_FAIL;
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
    return S_OK;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return Record("register"); }
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return Record("unregister"); }
