// In-process COM server that stands in for the three outside services:
// the install manager (IInstallManager), the VPN service (IOssiden) and the
// MSI install manager (ITarquel). Its tables are laid out here slot by slot,
// independently of the product's declarations, so that a caller whose
// declaration is off by one slot lands in an "unexpected" placeholder and
// the journal shows it.
//
// Registration: DllRegisterServer writes the three classes under
// HKLM\Software\Classes\CLSID with InprocServer32 = this DLL and
// ThreadingModel=Both (no cross-apartment marshalling of the custom
// interfaces); DllUnregisterServer removes them. Unit tests register through
// TestSupport::ComDouble (test/unit/ComDouble.h); system tests can run
// "regsvr32 /s comdouble.dll" in their prefix.
//
// Control key: HKCU\Software\QuarloTest\ComDouble (read on every call, so a
// test may change it between calls and across processes).
//   Journal (REG_SZ)   journal file; default %TEMP%\QuarloComDouble.journal
//   sub-keys IInstallManager, IOssiden, ITarquel, each with:
//     Mode (REG_SZ)            "NotRegistered": DllGetClassObject answers
//                              REGDB_E_CLASSNOTREG; "CreateFails": every
//                              creation fails with CreateResult
//     CreateResult (DWORD)     HRESULT of a failed creation (default E_FAIL)
//     CreateFailures (DWORD)   the first N creations fail with CreateResult
//                              (counted across processes in CreateCount)
//     <Method> (DWORD|REG_SZ)  result of that method, e.g. "UnpackCab"=0x80004005;
//                              a REG_SZ "0x80004005,0" is a script: one entry
//                              per call (cursor "<Method>.Calls"), the last
//                              repeats. Default 0. A failing result does no work.
//   IInstallManager only:
//     State<product id> (DWORD|REG_SZ)  CheckClientComponents states of that
//                              product, e.g. "State{5E6DDEA8-...}"="1,0";
//                              default 0. A failing call stores 0x0BADBAD0.
//     CompletionEventDelay (DWORD)  ExecuteCommand(6): ms until it sets
//                              CompletionEvent; 0 (default) before it returns,
//                              0xFFFFFFFF never
//     InstallEventDelay (DWORD)     Install: the same for the installation event
//     RunInUserSession (DWORD)      1: ExecuteCommand(7) starts "%s@@@%s"
//                              (program, command line); default 0, journal only
//     StopProcesses (DWORD)    1: StopProcessByName ends the processes of that
//                              name in this prefix; default 0, journal only
//     UnpackPlaces (DWORD)     UnpackCab of a present cabinet places the
//                              updater its name stands for beside it
//                              (zem_bv_plugin.cab: Brevanto_Plugin.exe,
//                              zem_bv_core.cab: BVCoreUpdate.exe,
//                              zem_bv_qt.cab: BVQTDllUpdate.exe); default 1.
//                              A missing cabinet answers 0x80070002 unless
//                              "UnpackCab" says otherwise.
//     UpdaterProgram (REG_SZ)  what is placed; default clientdouble.exe beside
//                              this DLL
//     GatewayFile<file name> (REG_BINARY|REG_SZ)  bytes DownloadGatewayFile
//                              stores as <local folder>\<file name>; default
//                              "gateway file <file name>\n"
//     DownloadFileToLocalBytes (REG_BINARY|REG_SZ)  the bytes of the BSTR
//                              DownloadFileToLocal hands out; default empty
//   CopyLocalFile copies, RemoveLocalFile deletes and WriteRegValue writes the
//   HKLM REG_SZ value for real; their failure is the Win32 error as HRESULT.
//
// Journal: UTF-8 lines, fields separated by a tab, "\" "\t" "\n" "\r"
// escaped as \\ \t \n \r; a null BSTR reads <null>:
//   IInstallManager.Create	result=0x00000000
//   IInstallManager.CheckClientComponents	product={...}	state=1	result=0x00000000
//   IInstallManager.ExecuteCommand	code=6	text=Address=...	result=0x00000000
//   IInstallManager.SetEvent	name=Global\{5D1F...}	found=1   (found=0: nobody created it)
//   IInstallManager.Slot12	unexpected        (a placeholder slot was called)
//   IInstallManager.Release                    (the object's last reference went)
// Every method line lists its arguments in order under the names of the
// declaration, then state/text outputs, then result.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>
#include <tlhelp32.h>

#include <array>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

HMODULE g_module = nullptr;
LONG g_liveObjects = 0;
LONG g_locks = 0;
LONG g_pendingThreads = 0;

// The services' identities, as the outside world publishes them.
constexpr CLSID kInstallManagerClsid = {
    0xCB33EE85, 0xE9E2, 0x4167, {0xAF, 0x1D, 0xA6, 0x51, 0x94, 0xB2, 0x87, 0xCB}};
constexpr IID kInstallManagerIid = {
    0x98A80149, 0xE794, 0x4A0B, {0xA4, 0x16, 0x17, 0x4A, 0xE6, 0x82, 0x87, 0x8F}};
constexpr CLSID kOssidenClsid = {
    0xE0887FB2, 0xC690, 0x41D1, {0x8B, 0x91, 0x86, 0xAF, 0x31, 0x8B, 0xF9, 0xC6}};
constexpr IID kOssidenIid = {
    0xBD8F07EA, 0x9670, 0x4545, {0x85, 0x65, 0x25, 0x8B, 0xA5, 0x4E, 0x2E, 0x60}};
constexpr CLSID kTarquelClsid = {
    0x7BA0AE03, 0x0EEC, 0x47BF, {0xB2, 0xB9, 0x01, 0xA8, 0xD7, 0x5E, 0x1E, 0xF2}};
constexpr IID kTarquelIid = {
    0x1F4E6CDB, 0x306D, 0x42E6, {0xB7, 0x7A, 0x77, 0x29, 0x17, 0xFB, 0xD8, 0x82}};

constexpr const wchar_t* kControlKey = L"Software\\QuarloTest\\ComDouble";
constexpr const wchar_t* kCompletionEventName = L"Global\\{5D1FCC03-950B-4327-8CB7-4BF229ABB286}";
constexpr const wchar_t* kInstallationEventName =
    L"Global\\msi_4200F78E-949C-404A-906E-654900611585";
constexpr DWORD kNever = 0xFFFFFFFF;
constexpr LONG kStateAfterFailure = 0x0BADBAD0;

enum class Service { InstallManager, Ossiden, Tarquel };

struct ServiceInfo {
    const wchar_t* name;
    const CLSID* clsid;
    const IID* iid;
    size_t slots;
};
const ServiceInfo kServices[] = {
    {L"IInstallManager", &kInstallManagerClsid, &kInstallManagerIid, 30},
    {L"IOssiden", &kOssidenClsid, &kOssidenIid, 48},
    {L"ITarquel", &kTarquelClsid, &kTarquelIid, 8},
};
const ServiceInfo& Info(Service s) { return kServices[static_cast<int>(s)]; }

// ---- Text -------------------------------------------------------------------

std::string Utf8(const wchar_t* text, size_t length) {
    if (!length) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr,
                          nullptr);
    return out;
}
std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }

std::wstring FromAnsi(const char* text) {
    if (!text || !*text) return {};
    const int size = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(size, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), size);
    out.resize(size - 1);
    return out;
}

std::wstring Text(BSTR text) { return text ? std::wstring(text, ::SysStringLen(text)) : L""; }

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// One journal line under construction.
class Line {
public:
    Line(Service service, const char* method) {
        m_text = Utf8(std::wstring(Info(service).name)) + "." + method;
    }
    Line& Field(const char* name, const std::string& utf8) {
        m_text += std::string("\t") + name + "=" + Escape(utf8);
        return *this;
    }
    Line& Bstr(const char* name, BSTR text) {
        return text ? Field(name, Utf8(text, ::SysStringLen(text))) : Raw(name, "<null>");
    }
    Line& Number(const char* name, long long value) { return Field(name, std::to_string(value)); }
    Line& Result(HRESULT hr) { return Field("result", Hex(static_cast<DWORD>(hr))); }
    Line& Word(const char* word) {
        m_text += std::string("\t") + word;
        return *this;
    }
    void Write();

private:
    Line& Raw(const char* name, const char* text) {
        m_text += std::string("\t") + name + "=" + text;
        return *this;
    }
    std::string m_text;
};

// ---- Control key --------------------------------------------------------------

class Key {
public:
    explicit Key(const std::wstring& path) {
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ | KEY_SET_VALUE,
                            &m_key) != ERROR_SUCCESS)
            m_key = nullptr;
    }
    ~Key() {
        if (m_key) ::RegCloseKey(m_key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    bool Dword(const std::wstring& name, DWORD& value) const {
        DWORD type = 0, size = sizeof(value);
        return m_key &&
               ::RegQueryValueExW(m_key, name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
               type == REG_DWORD;
    }
    DWORD DwordOr(const std::wstring& name, DWORD fallback) const {
        DWORD value = 0;
        return Dword(name, value) ? value : fallback;
    }
    // The raw data and its type; false when the value is missing.
    bool Data(const std::wstring& name, DWORD& type, std::vector<BYTE>& data) const {
        DWORD size = 0;
        if (!m_key || ::RegQueryValueExW(m_key, name.c_str(), nullptr, &type, nullptr, &size) !=
                          ERROR_SUCCESS)
            return false;
        data.assign(size, 0);
        return ::RegQueryValueExW(m_key, name.c_str(), nullptr, &type, data.data(), &size) ==
               ERROR_SUCCESS;
    }
    std::wstring String(const std::wstring& name) const {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (!Data(name, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        return text;
    }
    // REG_BINARY as it is; REG_SZ in the ANSI code page.
    bool Bytes(const std::wstring& name, std::string& bytes) const {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (!Data(name, type, data)) return false;
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::wstring text = String(name);
            const int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(),
                                                   static_cast<int>(text.size()), nullptr, 0,
                                                   nullptr, nullptr);
            bytes.assign(size, '\0');
            ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                  bytes.data(), size, nullptr, nullptr);
        } else {
            bytes.assign(data.begin(), data.end());
        }
        return true;
    }
    void SetDword(const std::wstring& name, DWORD value) const {
        if (m_key)
            ::RegSetValueExW(m_key, name.c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&value), sizeof(value));
    }
    // A DWORD, or the next entry of a comma-separated script; the script's
    // last entry repeats.
    DWORD Next(const std::wstring& name, DWORD fallback) const {
        DWORD value = 0;
        if (Dword(name, value)) return value;
        const std::wstring script = String(name);
        if (script.empty()) return fallback;
        std::vector<DWORD> entries;
        const wchar_t* p = script.c_str();
        while (*p) {
            wchar_t* end = nullptr;
            const DWORD entry = std::wcstoul(p, &end, 0);
            if (end == p) break;
            entries.push_back(entry);
            p = end;
            while (*p == L',' || *p == L' ') ++p;
        }
        if (entries.empty()) return fallback;
        const std::wstring cursorName = name + L".Calls";
        const DWORD cursor = DwordOr(cursorName, 0);
        SetDword(cursorName, cursor + 1);
        return entries[cursor < entries.size() ? cursor : entries.size() - 1];
    }

private:
    HKEY m_key = nullptr;
};

Key ServiceKey(Service s) { return Key(std::wstring(kControlKey) + L"\\" + Info(s).name); }

std::wstring ModuleFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(g_module, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::mutex g_journalLock;

void Line::Write() {
    std::wstring path = Key(kControlKey).String(L"Journal");
    if (path.empty()) {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + L"QuarloComDouble.journal";
    }
    const std::string entry = m_text + "\n";
    std::lock_guard<std::mutex> guard(g_journalLock);
    // Other processes may append too: one write per line, retried while the
    // file is held.
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ::WriteFile(file, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
            ::CloseHandle(file);
            return;
        }
        // Only a file another process holds is worth waiting for.
        if (::GetLastError() != ERROR_SHARING_VIOLATION) return;
        ::Sleep(10);
    }
}

// ---- Events -------------------------------------------------------------------

void SetNamedEvent(Service service, const wchar_t* name) {
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (event) {
        ::SetEvent(event);
        ::CloseHandle(event);
    }
    Line(service, "SetEvent").Field("name", Utf8(std::wstring(name))).Number("found", event != nullptr).Write();
}

struct DelayedEvent {
    Service service;
    const wchar_t* name;
    DWORD delay;
};

DWORD WINAPI DelayedEventThread(void* parameter) {
    DelayedEvent job = *static_cast<DelayedEvent*>(parameter);
    delete static_cast<DelayedEvent*>(parameter);
    ::Sleep(job.delay);
    SetNamedEvent(job.service, job.name);
    ::InterlockedDecrement(&g_pendingThreads);
    // The thread holds its own reference to the DLL (see SetEventAfter).
    ::FreeLibraryAndExitThread(g_module, 0);
}

void SetEventAfter(Service service, const wchar_t* name, DWORD delay) {
    if (delay == kNever) return;
    if (delay == 0) {
        SetNamedEvent(service, name);
        return;
    }
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&SetEventAfter), &self);
    ::InterlockedIncrement(&g_pendingThreads);
    HANDLE thread = ::CreateThread(nullptr, 0, DelayedEventThread,
                                   new DelayedEvent{service, name, delay}, 0, nullptr);
    if (thread) {
        ::CloseHandle(thread);
    } else {
        ::InterlockedDecrement(&g_pendingThreads);
        ::FreeLibrary(self);
        SetNamedEvent(service, name);
    }
}

// ---- Objects --------------------------------------------------------------------

struct Object {
    void* const* table;
    LONG refs;
    Service service;
};

Object* Self(void* p) { return static_cast<Object*>(p); }

HRESULT Result(Service service, const wchar_t* method) {
    return static_cast<HRESULT>(ServiceKey(service).Next(method, S_OK));
}

HRESULT STDMETHODCALLTYPE QueryInterfaceSlot(void* self, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, *Info(Self(self)->service).iid)) {
        ::InterlockedIncrement(&Self(self)->refs);
        *out = self;
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE AddRefSlot(void* self) {
    return static_cast<ULONG>(::InterlockedIncrement(&Self(self)->refs));
}

ULONG STDMETHODCALLTYPE ReleaseSlot(void* self) {
    const LONG refs = ::InterlockedDecrement(&Self(self)->refs);
    if (refs == 0) {
        Line(Self(self)->service, "Release").Write();
        delete Self(self);
        ::InterlockedDecrement(&g_liveObjects);
    }
    return static_cast<ULONG>(refs);
}

template <Service S, size_t N>
HRESULT STDMETHODCALLTYPE UnexpectedSlot(void*) {
    Line(S, ("Slot" + std::to_string(N)).c_str()).Word("unexpected").Write();
    return E_NOTIMPL;
}

// ---- IInstallManager ------------------------------------------------------------

constexpr Service kIM = Service::InstallManager;

HRESULT STDMETHODCALLTYPE CheckClientComponents(void*, BSTR product, LONG* state) {
    const HRESULT hr = Result(kIM, L"CheckClientComponents");
    LONG value = kStateAfterFailure;
    if (hr == S_OK) value = static_cast<LONG>(ServiceKey(kIM).Next(L"State" + Text(product), 0));
    if (state) *state = value;
    Line(kIM, "CheckClientComponents").Bstr("product", product).Number("state", value).Result(hr).Write();
    return hr;
}

HRESULT STDMETHODCALLTYPE DownloadFileToLocal(void*, BSTR url, BSTR* text) {
    const HRESULT hr = Result(kIM, L"DownloadFileToLocal");
    std::string bytes;
    if (hr == S_OK) ServiceKey(kIM).Bytes(L"DownloadFileToLocalBytes", bytes);
    if (text)
        *text = hr == S_OK ? ::SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()))
                           : nullptr;
    Line(kIM, "DownloadFileToLocal").Bstr("url", url).Number("bytes", static_cast<long long>(bytes.size())).Result(hr).Write();
    return hr;
}

HRESULT Win32Result(BOOL ok) {
    return ok ? S_OK : HRESULT_FROM_WIN32(::GetLastError());
}

HRESULT STDMETHODCALLTYPE CopyLocalFile(void*, BSTR source, BSTR target) {
    HRESULT hr = Result(kIM, L"CopyLocalFile");
    if (hr == S_OK) hr = Win32Result(::CopyFileW(Text(source).c_str(), Text(target).c_str(), FALSE));
    Line(kIM, "CopyLocalFile").Bstr("source", source).Bstr("target", target).Result(hr).Write();
    return hr;
}

HRESULT STDMETHODCALLTYPE SetVersionXML(void*, BSTR version, LONG proxySetType, LONG proxyAuthType,
                                        BSTR proxyHost, LONG proxyPort, SHORT bUseProxy,
                                        BSTR proxyUser, BSTR proxyPassword, BSTR proxyDomain) {
    const HRESULT hr = Result(kIM, L"SetVersionXML");
    Line(kIM, "SetVersionXML")
        .Bstr("version", version)
        .Number("proxySetType", proxySetType)
        .Number("proxyAuthType", proxyAuthType)
        .Bstr("proxyHost", proxyHost)
        .Number("proxyPort", proxyPort)
        .Number("bUseProxy", bUseProxy)
        .Bstr("proxyUser", proxyUser)
        .Bstr("proxyPassword", proxyPassword)
        .Bstr("proxyDomain", proxyDomain)
        .Result(hr)
        .Write();
    return hr;
}

HRESULT STDMETHODCALLTYPE Install(void*, BSTR product, BSTR text1, LONG value1, BSTR text2,
                                  BSTR text3, BSTR text4, LONG languageId, LONG value2) {
    const HRESULT hr = Result(kIM, L"Install");
    Line(kIM, "Install")
        .Bstr("product", product)
        .Bstr("text1", text1)
        .Number("value1", value1)
        .Bstr("text2", text2)
        .Bstr("text3", text3)
        .Bstr("text4", text4)
        .Number("languageId", languageId)
        .Number("value2", value2)
        .Result(hr)
        .Write();
    if (hr == S_OK)
        SetEventAfter(kIM, kInstallationEventName, ServiceKey(kIM).DwordOr(L"InstallEventDelay", 0));
    return hr;
}

HRESULT STDMETHODCALLTYPE WriteRegValue(void*, LONG rootKind, LONG valueKind, BSTR key,
                                        BSTR valueName, BSTR text, LONG flags) {
    HRESULT hr = Result(kIM, L"WriteRegValue");
    if (hr == S_OK) {
        HKEY handle = nullptr;
        LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Text(key).c_str(), 0, nullptr, 0,
                                           KEY_SET_VALUE, nullptr, &handle, nullptr);
        if (status == ERROR_SUCCESS) {
            const std::wstring data = Text(text);
            status = ::RegSetValueExW(handle, Text(valueName).c_str(), 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(data.c_str()),
                                      static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
            ::RegCloseKey(handle);
        }
        hr = HRESULT_FROM_WIN32(status);
    }
    Line(kIM, "WriteRegValue")
        .Number("rootKind", rootKind)
        .Number("valueKind", valueKind)
        .Bstr("key", key)
        .Bstr("valueName", valueName)
        .Bstr("text", text)
        .Number("flags", flags)
        .Result(hr)
        .Write();
    return hr;
}

void StopProcesses(const std::wstring& name) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
         more = ::Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name.c_str()) != 0 ||
            entry.th32ProcessID == ::GetCurrentProcessId())
            continue;
        if (HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID)) {
            ::TerminateProcess(process, 1);
            ::CloseHandle(process);
        }
    }
    ::CloseHandle(snapshot);
}

HRESULT STDMETHODCALLTYPE StopProcessByName(void*, BSTR program) {
    const HRESULT hr = Result(kIM, L"StopProcessByName");
    if (hr == S_OK && ServiceKey(kIM).DwordOr(L"StopProcesses", 0) == 1) StopProcesses(Text(program));
    Line(kIM, "StopProcessByName").Bstr("program", program).Result(hr).Write();
    return hr;
}

HRESULT STDMETHODCALLTYPE DownloadGatewayFile(void*, BSTR file, BSTR host, USHORT port, BSTR session,
                                              BSTR folder, LONG flags, BSTR urlPath) {
    HRESULT hr = Result(kIM, L"DownloadGatewayFile");
    if (hr == S_OK) {
        std::string bytes;
        if (!ServiceKey(kIM).Bytes(L"GatewayFile" + Text(file), bytes))
            bytes = "gateway file " + Utf8(Text(file)) + "\n";
        const std::wstring path = Text(folder) + L"\\" + Text(file);
        HANDLE out = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            hr = HRESULT_FROM_WIN32(::GetLastError());
        } else {
            DWORD written = 0;
            hr = Win32Result(::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()),
                                         &written, nullptr));
            ::CloseHandle(out);
        }
    }
    Line(kIM, "DownloadGatewayFile")
        .Bstr("file", file)
        .Bstr("host", host)
        .Number("port", port)
        .Bstr("session", session)
        .Bstr("folder", folder)
        .Number("flags", flags)
        .Bstr("urlPath", urlPath)
        .Result(hr)
        .Write();
    return hr;
}

void RunInUserSession(const std::wstring& text) {
    const size_t split = text.find(L"@@@");
    if (split == std::wstring::npos) return;
    const std::wstring program = text.substr(0, split);
    std::wstring commandLine = L"\"" + program + L"\" " + text.substr(split + 3);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         nullptr, &startup, &process)) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
}

HRESULT STDMETHODCALLTYPE ExecuteCommand(void*, LONG code, const char* text) {
    const HRESULT hr = Result(kIM, L"ExecuteCommand");
    Line(kIM, "ExecuteCommand")
        .Number("code", code)
        .Field("text", text ? Utf8(FromAnsi(text)) : std::string("<null>"))
        .Result(hr)
        .Write();
    if (hr != S_OK) return hr;
    const Key key = ServiceKey(kIM);
    if (code == 6) SetEventAfter(kIM, kCompletionEventName, key.DwordOr(L"CompletionEventDelay", 0));
    if (code == 7 && text && key.DwordOr(L"RunInUserSession", 0) == 1) RunInUserSession(FromAnsi(text));
    return hr;
}

HRESULT STDMETHODCALLTYPE RemoveLocalFile(void*, BSTR path) {
    HRESULT hr = Result(kIM, L"RemoveLocalFile");
    if (hr == S_OK) hr = Win32Result(::DeleteFileW(Text(path).c_str()));
    Line(kIM, "RemoveLocalFile").Bstr("path", path).Result(hr).Write();
    return hr;
}

const wchar_t* UpdaterFor(const std::wstring& cabinetName) {
    static const std::pair<const wchar_t*, const wchar_t*> kUpdaters[] = {
        {L"zem_bv_plugin.cab", L"Brevanto_Plugin.exe"},
        {L"zem_bv_core.cab", L"BVCoreUpdate.exe"},
        {L"zem_bv_qt.cab", L"BVQTDllUpdate.exe"},
    };
    for (const auto& [cabinet, updater] : kUpdaters)
        if (_wcsicmp(cabinet, cabinetName.c_str()) == 0) return updater;
    return nullptr;
}

HRESULT STDMETHODCALLTYPE UnpackCab(void*, BSTR cabinet) {
    const Key key = ServiceKey(kIM);
    const std::wstring path = Text(cabinet);
    const bool present = ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    HRESULT hr = static_cast<HRESULT>(
        key.Next(L"UnpackCab", present ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    std::string placed;
    if (hr == S_OK && present && key.DwordOr(L"UnpackPlaces", 1) == 1) {
        const size_t slash = path.find_last_of(L'\\');
        const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash);
        if (const wchar_t* updater = UpdaterFor(path.substr(slash + 1))) {
            std::wstring source = key.String(L"UpdaterProgram");
            if (source.empty()) source = ModuleFolder() + L"\\clientdouble.exe";
            const std::wstring target = folder + L"\\" + updater;
            hr = Win32Result(::CopyFileW(source.c_str(), target.c_str(), FALSE));
            placed = Utf8(target);
        }
    }
    Line line(kIM, "UnpackCab");
    line.Bstr("cabinet", cabinet);
    if (!placed.empty()) line.Field("placed", placed);
    line.Result(hr).Write();
    return hr;
}

// ---- IOssiden, ITarquel -------------------------------------------------------------

HRESULT STDMETHODCALLTYPE PrepareCorvd(void*) {
    const HRESULT hr = Result(Service::Ossiden, L"PrepareCorvd");
    Line(Service::Ossiden, "PrepareCorvd").Result(hr).Write();
    return hr;
}

HRESULT STDMETHODCALLTYPE UpdateMSI(void*, LONG kind, BSTR text) {
    const HRESULT hr = Result(Service::Tarquel, L"UpdateMSI");
    Line(Service::Tarquel, "UpdateMSI").Number("kind", kind).Bstr("text", text).Result(hr).Write();
    return hr;
}

// ---- Tables ---------------------------------------------------------------------------

template <Service S, size_t... I>
std::array<void*, sizeof...(I)> Placeholders(std::index_sequence<I...>) {
    return {reinterpret_cast<void*>(&UnexpectedSlot<S, I>)...};
}

template <Service S, size_t N>
std::array<void*, N> BaseTable() {
    std::array<void*, N> table = Placeholders<S>(std::make_index_sequence<N>{});
    table[0] = reinterpret_cast<void*>(&QueryInterfaceSlot);
    table[1] = reinterpret_cast<void*>(&AddRefSlot);
    table[2] = reinterpret_cast<void*>(&ReleaseSlot);
    return table;
}

template <class F>
void* Fn(F f) {
    return reinterpret_cast<void*>(f);
}

void* const* Table(Service service) {
    static const std::array<void*, 30> installManager = [] {
        auto t = BaseTable<Service::InstallManager, 30>();
        t[11] = Fn(&CheckClientComponents);
        t[16] = Fn(&DownloadFileToLocal);
        t[17] = Fn(&CopyLocalFile);
        t[19] = Fn(&SetVersionXML);
        t[22] = Fn(&Install);
        t[23] = Fn(&WriteRegValue);
        t[24] = Fn(&StopProcessByName);
        t[26] = Fn(&DownloadGatewayFile);
        t[27] = Fn(&ExecuteCommand);
        t[28] = Fn(&RemoveLocalFile);
        t[29] = Fn(&UnpackCab);
        return t;
    }();
    static const std::array<void*, 48> ossiden = [] {
        auto t = BaseTable<Service::Ossiden, 48>();
        t[47] = Fn(&PrepareCorvd);
        return t;
    }();
    static const std::array<void*, 8> tarquel = [] {
        auto t = BaseTable<Service::Tarquel, 8>();
        t[7] = Fn(&UpdateMSI);
        return t;
    }();
    switch (service) {
        case Service::InstallManager: return installManager.data();
        case Service::Ossiden: return ossiden.data();
        case Service::Tarquel: return tarquel.data();
    }
    return nullptr;
}

// ---- Class factories ----------------------------------------------------------------------

class Factory : public IClassFactory {
public:
    explicit Factory(Service service) : m_service(service) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // The factories are static: their references keep only the module.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        const Key key = ServiceKey(m_service);
        const HRESULT failure = static_cast<HRESULT>(key.DwordOr(L"CreateResult", E_FAIL));
        const DWORD count = key.DwordOr(L"CreateCount", 0);
        key.SetDword(L"CreateCount", count + 1);
        HRESULT hr = S_OK;
        if (_wcsicmp(key.String(L"Mode").c_str(), L"CreateFails") == 0 ||
            count < key.DwordOr(L"CreateFailures", 0))
            hr = failure;
        auto* object = new Object{Table(m_service), 1, m_service};
        ::InterlockedIncrement(&g_liveObjects);
        if (hr == S_OK) hr = QueryInterfaceSlot(object, iid, out);
        Line(m_service, "Create").Result(hr).Write();
        if (hr == S_OK) ReleaseSlotQuiet(object);
        else FreeQuiet(object);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) ::InterlockedIncrement(&g_locks);
        else ::InterlockedDecrement(&g_locks);
        return S_OK;
    }

private:
    // Drops the creation's own reference; the caller holds one now.
    static void ReleaseSlotQuiet(Object* object) { ::InterlockedDecrement(&object->refs); }
    static void FreeQuiet(Object* object) {
        delete object;
        ::InterlockedDecrement(&g_liveObjects);
    }
    Service m_service;
};

Factory g_factories[] = {Factory(Service::InstallManager), Factory(Service::Ossiden),
                         Factory(Service::Tarquel)};

std::wstring GuidText(const GUID& guid) {
    wchar_t text[64] = {};
    ::StringFromGUID2(guid, text, 64);
    return text;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (int i = 0; i < 3; ++i) {
        const Service service = static_cast<Service>(i);
        if (!::IsEqualCLSID(clsid, *Info(service).clsid)) continue;
        if (_wcsicmp(ServiceKey(service).String(L"Mode").c_str(), L"NotRegistered") == 0) {
            Line(service, "Create").Result(REGDB_E_CLASSNOTREG).Write();
            return REGDB_E_CLASSNOTREG;
        }
        return g_factories[i].QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return g_liveObjects == 0 && g_locks == 0 && g_pendingThreads == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(g_module, path, MAX_PATH);
    for (const ServiceInfo& info : kServices) {
        const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidText(*info.clsid);
        HKEY handle = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key + L"\\InprocServer32").c_str(), 0, nullptr,
                              0, KEY_SET_VALUE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
        const std::wstring both = L"Both";
        LSTATUS status = ::RegSetValueExW(handle, nullptr, 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(path),
                                          static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t)));
        if (status == ERROR_SUCCESS)
            status = ::RegSetValueExW(handle, L"ThreadingModel", 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(both.c_str()),
                                      static_cast<DWORD>((both.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(handle);
        if (status != ERROR_SUCCESS) return SELFREG_E_CLASS;
    }
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    for (const ServiceInfo& info : kServices) {
        const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidText(*info.clsid);
        const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return SELFREG_E_CLASS;
    }
    return S_OK;
}
