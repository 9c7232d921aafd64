#include "ComDouble.h"

#include <shlwapi.h>

namespace TestSupport {

namespace {

constexpr const wchar_t* kControlKey = L"Software\\QuarloTest\\ComDouble";

std::wstring ServiceKey(ComDouble::Service service) {
    static const wchar_t* const kNames[] = {L"IInstallManager", L"IOssiden", L"ITarquel"};
    return std::wstring(kControlKey) + L"\\" + kNames[service];
}

HRESULT CallExport(const char* name) {
    HMODULE dll = ::LoadLibraryW(ComDouble::DllPath().c_str());
    if (!dll) return HRESULT_FROM_WIN32(::GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(dll, name)));
    const HRESULT hr = entry ? entry() : E_NOINTERFACE;
    ::FreeLibrary(dll);
    return hr;
}

}  // namespace

std::wstring ComDouble::DllPath() { return TestBinDir() + L"\\comdouble.dll"; }

ComDouble::ComDouble() {
    ::SHDeleteKeyW(HKEY_CURRENT_USER, kControlKey);
    ::SHSetValueW(HKEY_CURRENT_USER, kControlKey, L"Journal", REG_SZ, m_journal.path().c_str(),
                  static_cast<DWORD>((m_journal.path().size() + 1) * sizeof(wchar_t)));
    Register();
}

ComDouble::~ComDouble() {
    Unregister();
    ::SHDeleteKeyW(HKEY_CURRENT_USER, kControlKey);
    ::DeleteFileW(m_journal.path().c_str());
}

void ComDouble::Register() { m_registered = CallExport("DllRegisterServer") == S_OK; }

void ComDouble::Unregister() {
    CallExport("DllUnregisterServer");
    m_registered = false;
}

void ComDouble::Set(Service service, const std::wstring& name, DWORD value) {
    ::SHSetValueW(HKEY_CURRENT_USER, ServiceKey(service).c_str(), name.c_str(), REG_DWORD, &value,
                  sizeof(value));
}

void ComDouble::Set(Service service, const std::wstring& name, const std::wstring& text) {
    ::SHSetValueW(HKEY_CURRENT_USER, ServiceKey(service).c_str(), name.c_str(), REG_SZ,
                  text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ComDouble::SetBytes(Service service, const std::wstring& name, const std::string& bytes) {
    ::SHSetValueW(HKEY_CURRENT_USER, ServiceKey(service).c_str(), name.c_str(), REG_BINARY,
                  bytes.data(), static_cast<DWORD>(bytes.size()));
}

std::vector<std::string> ComDouble::Journal() const {
    std::vector<std::string> lines;
    const std::string text = ReadTextFile(m_journal.path());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

std::vector<std::string> ComDouble::Calls(const std::string& method) const {
    std::vector<std::string> calls;
    for (const std::string& line : Journal()) {
        if (line == method) calls.emplace_back();
        else if (line.compare(0, method.size() + 1, method + "\t") == 0)
            calls.push_back(line.substr(method.size() + 1));
    }
    return calls;
}

void ComDouble::ClearJournal() const { ::DeleteFileW(m_journal.path().c_str()); }

}  // namespace TestSupport
