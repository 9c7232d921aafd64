#include "ProxyIni.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

#include "INIFile.h"
#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"

namespace ProxyIni {

namespace {

std::wstring InProxyConfDir(const wchar_t* name) {
    const std::wstring folder = GetCurrentUserProxyConfDir(kProxyConfDirVPN);
    // Without a console user there is no folder; never name a file at the root.
    return folder.empty() ? std::wstring() : folder + L"\\" + name;
}

std::wstring ReadText(INIFile& file, TextKey key, size_t bound) {
    const int length = file.GetString(key.section, key.name, nullptr, 0, L"");
    if (length <= 0 || bound == 0) return {};
    size_t keep = static_cast<size_t>(length);
    if (bound != kWholeValue && keep > bound - 1) keep = bound - 1;
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    file.GetString(key.section, key.name, buffer.data(), length + 1, L"");
    return std::wstring(buffer.data(), keep);
}

bool FileExists(const std::wstring& path) {
    return !path.empty() && ::PathFileExistsW(path.c_str());
}

// The file's mutex for the length of one update.
class FileLock {
public:
    FileLock(const std::wstring& path, const wchar_t* writer) {
        SECURITY_ATTRIBUTES attributes{};
        SECURITY_DESCRIPTOR descriptor{};
        // Copies at every integrity level and in every session take the
        // same lock; the handle is not handed to child processes.
        const bool nullDacl = InitNullDaclSecurityAttributes(&attributes, &descriptor) != 0;
        attributes.bInheritHandle = FALSE;
        m_mutex.reset(::CreateMutexW(nullDacl ? &attributes : nullptr, FALSE,
                                     LockNameFor(path).c_str()));
        if (!m_mutex) {
            LOGW(LOG_WARNING, L"%s: no lock for %s, error is %d\n", writer, path.c_str(),
                 static_cast<int>(::GetLastError()));
            return;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) SetNullDaclAndLowLabel(m_mutex.get());
        const DWORD wait = Timing::WaitForObject(m_mutex.get(), kLockWaitMs);
        // An abandoned mutex is owned now; its holder died, and its save was
        // atomic, so the file is whole.
        m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        if (!m_owned) {
            LOGW(LOG_WARNING, L"%s: lock of %s not free after %u ms, going on without it\n",
                 writer, path.c_str(), static_cast<unsigned>(kLockWaitMs));
        }
    }
    ~FileLock() {
        if (m_owned) ::ReleaseMutex(m_mutex.get());
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    Owners::UniqueHandle m_mutex;
    bool m_owned = false;
};

}  // namespace

std::wstring IniPath(unsigned int kind) { return GetProxyIniPath(kind); }
std::wstring BackupIniPath(unsigned int kind) { return GetProxyBackupIniPath(kind); }
std::wstring ClientSecurityIniPath(unsigned int kind) { return GetClientSecurityProxyIniPath(kind); }
std::wstring PacPath() { return InProxyConfDir(L"Proxy.pac"); }
std::wstring BackupPacPath() { return InProxyConfDir(L"Proxy_Backup.pac"); }
std::wstring AutoPacPath() { return InProxyConfDir(L"ProxyAuto.pac"); }

TextKey UserNameKey(unsigned int outside) {
    return {outside ? kOutsideSection : kInsideSection, L"UserName"};
}
TextKey PassWordKey(unsigned int outside) {
    return {outside ? kOutsideSection : kInsideSection, L"PassWord"};
}
TextKey DomainKey(unsigned int outside) {
    return {outside ? kOutsideSection : kInsideSection, L"Domain"};
}

std::wstring LockNameFor(const std::wstring& path) {
    // Object names take no backslash after the namespace.
    return L"Global\\QuarloVPN.ProxyIni." + ReplaceAll(ToLowerW(path), L"\\", L"/");
}

// ---- Reader -----------------------------------------------------------------

Reader::Reader(const std::wstring& path) : m_path(path) {
    // INIFile logs a missing file as a failure; here it is an empty store.
    m_exists = FileExists(path);
    if (m_exists) m_file = std::make_unique<INIFile>(path.c_str());
}

Reader::~Reader() = default;

int Reader::Get(IntKey key, int defaultValue) const {
    return m_file ? m_file->GetInt(key.section, key.name, defaultValue) : defaultValue;
}

std::wstring Reader::Get(TextKey key, size_t bound) const {
    return m_file ? ReadText(*m_file, key, bound) : std::wstring();
}

// ---- Editor -----------------------------------------------------------------

int Editor::Get(IntKey key, int defaultValue) const {
    return m_file.GetInt(key.section, key.name, defaultValue);
}

std::wstring Editor::Get(TextKey key, size_t bound) const { return ReadText(m_file, key, bound); }

void Editor::Set(IntKey key, int value) { m_file.SetInt(key.section, key.name, value); }

void Editor::Set(TextKey key, std::wstring_view value) {
    m_file.SetString(key.section, key.name, std::wstring(value).c_str());
}

// ---- Update -----------------------------------------------------------------

bool CreateFileIfMissing(const std::wstring& path, const wchar_t* writer) {
    if (FileExists(path)) return true;
    std::wstring folder = path;
    const size_t slash = folder.find_last_of(L'\\');
    folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
    const int created = folder.empty() ? ERROR_PATH_NOT_FOUND
                                       : ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (created != ERROR_SUCCESS) {
        LOGW(LOG_INFO, L"%s: create dir %s failed, error is %d, maybe it is exist here.\n", writer,
             folder.c_str(), created);
    }
    SECURITY_ATTRIBUTES attributes{};
    SECURITY_DESCRIPTOR descriptor{};
    const bool nullDacl = InitNullDaclSecurityAttributes(&attributes, &descriptor) != 0;
    if (!nullDacl) LOGW(LOG_ERROR, L"%s: Get low security level failed\n", writer);
    Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ, nullDacl ? &attributes : nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        LOGW(LOG_ERROR, L"%s: Create configure file failed. File = %s. Error = %d\n", writer,
             path.c_str(), static_cast<int>(::GetLastError()));
        return false;
    }
    return true;
}

UpdateResult Update(const std::wstring& path, const wchar_t* writer, Create create,
                    const std::function<void(Editor&)>& edit) {
    FileLock lock(path, writer);
    if (!FileExists(path)) {
        if (create == Create::ExistingOnly) return UpdateResult::Missing;
        if (!CreateFileIfMissing(path, writer)) return UpdateResult::NotCreated;
    }
    INIFile file(path.c_str());
    if (!file.IsLoaded()) {
        // Saving now would replace every key of the file with the few this
        // writer sets.
        const DWORD error = ::GetLastError();
        LOGW(LOG_WARNING, L"%s: %s could not be read, not written, error is %d\n", writer,
             path.c_str(), static_cast<int>(error));
        ::SetLastError(error ? error : ERROR_READ_FAULT);
        return UpdateResult::NotSaved;
    }
    Editor editor(file);
    if (edit) edit(editor);
    if (!file.Save()) {
        if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_WRITE_FAULT);
        return UpdateResult::NotSaved;
    }
    return UpdateResult::Saved;
}

// ---- Typed records ----------------------------------------------------------

void WriteTunnelProxy(Editor& edit, const TunnelProxy& tunnel) {
    edit.Set(Key::ProxyScriptRunning, tunnel.scriptRunning);
    edit.Set(Key::ProxySSLHost, tunnel.host);
    edit.Set(Key::ProxySSLPort, tunnel.port);
}

void WriteIECapture(Editor& edit, const IECapture& capture, const TunnelProxy& tunnel) {
    edit.Set(Key::IEProxyAutoFlag, static_cast<int>(capture.autoDiscoveryFlags));
    // Flags 0 would read back as "nothing captured" in the restore.
    edit.Set(Key::IEProxyFlag, capture.flags ? static_cast<int>(capture.flags) : 1);
    edit.Set(Key::IEProxyScript, capture.script);
    edit.Set(Key::IEProxyServer, capture.server);
    edit.Set(Key::IEProxyByPass, capture.bypass);
    edit.Set(Key::IEProxyShouldResume, 0);
    edit.Set(Key::ProxyAutoURL, capture.autoUrl);
    WriteTunnelProxy(edit, tunnel);
}

void WriteFFCapture(Editor& edit, const FFCapture& capture, const TunnelProxy& tunnel) {
    edit.Set(Key::FFBrowserRunning, 1);
    edit.Set(Key::FFProxyFlag, capture.type);
    edit.Set(Key::FFProxyScript, capture.script);
    edit.Set(Key::FFProxyServer, capture.server);
    edit.Set(Key::FFProxyByPass, capture.bypass);
    edit.Set(Key::FFProxyShouldResume, 0);
    edit.Set(Key::ProxyAutoURL, L"");
    WriteTunnelProxy(edit, tunnel);
}

void ResetCaptureKeys(Editor& edit) {
    edit.Set(Key::IEProxyAutoFlag, 0);
    edit.Set(Key::IEProxyFlag, 1);
    edit.Set(Key::IEProxyScript, L"");
    edit.Set(Key::IEProxyServer, L"");
    edit.Set(Key::IEProxyByPass, L"");
    edit.Set(Key::ProxyScriptRunning, 0);
    edit.Set(Key::FFBrowserRunning, 0);
    edit.Set(Key::FFProxyFlag, 0);
    edit.Set(Key::FFProxyScript, L"");
    edit.Set(Key::FFProxyServer, L"");
    edit.Set(Key::FFProxyByPass, L"");
    edit.Set(Key::ProxySSLHost, L"");
    edit.Set(Key::ProxySSLPort, L"");
}

bool ClearCapturedSettings(unsigned int kind) {
    const std::wstring path = IniPath(kind);
    if (!FileExists(path)) {
        LOGW(LOG_INFO, L"OnClear: file %s is not exist\n", path.c_str());
        return false;
    }
    const std::wstring backup = BackupIniPath(kind);
    const UpdateResult result = Update(path, L"OnClear", Create::ExistingOnly, [&](Editor& edit) {
        // Under the lock, so the copy is the state the reset starts from.
        if (::CopyFileW(path.c_str(), backup.c_str(), FALSE)) {
            LOGW(LOG_WARNING, L"copy file %s to %s success\n", path.c_str(), backup.c_str());
        } else {
            LOGW(LOG_WARNING, L"copy file %s to %s failed, error:%d\n", path.c_str(),
                 backup.c_str(), static_cast<int>(::GetLastError()));
        }
        ResetCaptureKeys(edit);
    });
    return result != UpdateResult::Missing;
}

IECapture ReadSavedIESettings(const Reader& file, size_t urlUnits, size_t bypassUnits) {
    IECapture saved;
    saved.autoDiscoveryFlags = static_cast<DWORD>(file.Get(Key::IEProxyAutoFlag, 0));
    saved.flags = static_cast<DWORD>(file.Get(Key::IEProxyFlag, 1));
    saved.script = file.Get(Key::IEProxyScript, urlUnits);
    saved.autoUrl = file.Get(Key::ProxyAutoURL, urlUnits);
    saved.bypass = file.Get(Key::IEProxyByPass, bypassUnits);
    saved.server = file.Get(Key::IEProxyServer, urlUnits);
    return saved;
}

IEProxyForDetection ReadIEProxyForDetection(const Reader& file, size_t bypassUnits,
                                            size_t serverUnits) {
    IEProxyForDetection proxy;
    proxy.flags = file.Get(Key::IEProxyFlag, 0);
    proxy.server = file.Get(Key::IEProxyServer, serverUnits);
    proxy.bypass = file.Get(Key::IEProxyByPass, bypassUnits);
    return proxy;
}

SavedFFSettings ReadSavedFFSettings(const Reader& file) {
    SavedFFSettings saved;
    saved.running = file.Get(Key::FFBrowserRunning, 0);
    saved.type = file.Get(Key::FFProxyFlag, 0);
    saved.script = file.Get(Key::FFProxyScript, kUrlUnits);
    saved.server = file.Get(Key::FFProxyServer, kUrlUnits);
    saved.bypass = file.Get(Key::FFProxyByPass, kBypassUnits);
    return saved;
}

TunnelProxy ReadTunnelProxy(const Reader& file) {
    TunnelProxy tunnel;
    tunnel.scriptRunning = file.Get(Key::ProxyScriptRunning, 0);
    tunnel.host = file.Get(Key::ProxySSLHost, kShortUnits);
    tunnel.port = file.Get(Key::ProxySSLPort, kShortUnits);
    return tunnel;
}

int ReadTunnelProxyPortNumber(const Reader& file) {
    return file.Get(IntKey{Key::ProxySSLPort.section, Key::ProxySSLPort.name}, 0);
}

}  // namespace ProxyIni
