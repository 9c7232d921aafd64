// Proxy.ini: the state file of the browser-proxy code, and its companions.
// Every reader and writer of the file goes through this header; nobody else
// spells a section or key name.
//
// The file outlives the process: later commands (and later runs after a
// crash) read what earlier ones wrote. Several copies of the program may run
// at once (the user's copy, an elevated copy, one started by the service), so
// every load-modify-save runs under a named mutex of the file and saves
// atomically: two writers never lose each other's keys and a reader never
// sees a torn file. Readers take no lock.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class INIFile;

namespace ProxyIni {

// ---- Files ----------------------------------------------------------------
// Every caller uses folder kind 0 (kProxyConfDirVPN) unless it says otherwise.

std::wstring IniPath(unsigned int kind);        // Proxy.ini of the configuration folder
std::wstring BackupIniPath(unsigned int kind);  // Proxy_backup.ini beside it
// Proxy.ini of the "ClientSecurity" folder (only Result is kept there).
std::wstring ClientSecurityIniPath(unsigned int kind);
// The auto-configuration scripts of the kind-0 folder.
std::wstring PacPath();         // Proxy.pac, the tunnel's script
std::wstring BackupPacPath();   // Proxy_Backup.pac, the user's own local script
std::wstring AutoPacPath();     // ProxyAuto.pac, the outside script fetched for evaluation

// ---- Sections and keys --------------------------------------------------

inline constexpr wchar_t kOutsideSection[] = L"OUTSIDE_PROXY_CONFIG";
inline constexpr wchar_t kInsideSection[] = L"INSIDE_PROXY_CONFIG";

struct IntKey {
    const wchar_t* section;
    const wchar_t* name;
};
struct TextKey {
    const wchar_t* section;
    const wchar_t* name;
};

// Reader bounds in UTF-16 units, terminator included: a value reaches a
// reader cut to bound - 1 characters.
inline constexpr size_t kShortUnits = 260;
inline constexpr size_t kUrlUnits = 1024;
inline constexpr size_t kBypassUnits = 4096;
inline constexpr size_t kPasswordUnits = 1040;
// No bound: the whole value (sealed texts are never read cut).
inline constexpr size_t kWholeValue = static_cast<size_t>(-1);

// Keys of OUTSIDE_PROXY_CONFIG. Missing keys read as the reader's default
// (integers) or the empty text; the typed readers below fix each reader's
// default and bound.
namespace Key {
// Captured Internet Explorer LAN settings (INTERNET_PER_CONN_*).
inline constexpr IntKey IEProxyAutoFlag{kOutsideSection, L"IE_Proxy_Auto_Flag"};
inline constexpr IntKey IEProxyFlag{kOutsideSection, L"IE_Proxy_Flag"};  // a captured 0 is stored as 1
inline constexpr TextKey IEProxyScript{kOutsideSection, L"IE_Proxy_Script"};
inline constexpr TextKey IEProxyServer{kOutsideSection, L"IE_Proxy_Server"};
inline constexpr TextKey IEProxyByPass{kOutsideSection, L"IE_Proxy_ByPass"};
// Restore flags (1: must be put back).
inline constexpr IntKey IEProxyShouldResume{kOutsideSection, L"IE_Proxy_Should_Resume"};
inline constexpr IntKey IEProxyShouldResumeDial{kOutsideSection, L"IE_Proxy_Should_Resume_Dial"};
inline constexpr IntKey FFProxyShouldResume{kOutsideSection, L"FF_Proxy_Should_Resume"};
// Captured Firefox settings.
inline constexpr IntKey FFBrowserRunning{kOutsideSection, L"FF_Browser_Running"};
inline constexpr IntKey FFProxyFlag{kOutsideSection, L"FF_Proxy_Flag"};  // 3: preference absent
inline constexpr TextKey FFProxyScript{kOutsideSection, L"FF_Proxy_Script"};
inline constexpr TextKey FFProxyServer{kOutsideSection, L"FF_Proxy_Server"};
inline constexpr TextKey FFProxyByPass{kOutsideSection, L"FF_Proxy_ByPass"};
// The proxy of the tunnel to the gateway (an evaluated script's answer, or
// Firefox's SSL proxy). Running 1: host and port are a script's result,
// possibly empty when the evaluation failed.
inline constexpr IntKey ProxyScriptRunning{kOutsideSection, L"Proxy_Script_Running"};
inline constexpr TextKey ProxySSLHost{kOutsideSection, L"Proxy_SSL_Host"};
inline constexpr TextKey ProxySSLPort{kOutsideSection, L"Proxy_SSL_Port"};  // decimal digits
// The URL automatic detection found at capture time.
inline constexpr TextKey ProxyAutoURL{kOutsideSection, L"Proxy_Auto_URL"};
// Client-security result, protected text; only in the two client-security
// copies of Proxy.ini, read by nothing in this program.
inline constexpr TextKey Result{kOutsideSection, L"Result"};
}  // namespace Key

// Credential keys of the outside (outside != 0) or inside section.
TextKey UserNameKey(unsigned int outside);
TextKey PassWordKey(unsigned int outside);  // protected text
TextKey DomainKey(unsigned int outside);

// ---- Reading --------------------------------------------------------------

// One snapshot of a Proxy.ini. A missing file is an empty store (every key
// reads as its default) and is not logged here: each reader logs it in its
// own words.
class Reader {
public:
    explicit Reader(const std::wstring& path);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool Exists() const { return m_exists; }
    const std::wstring& Path() const { return m_path; }
    int Get(IntKey key, int defaultValue) const;
    // The value (empty when missing) cut to bound - 1 characters.
    std::wstring Get(TextKey key, size_t bound) const;

private:
    std::wstring m_path;
    bool m_exists = false;
    std::unique_ptr<INIFile> m_file;
};

// ---- Writing --------------------------------------------------------------

// Changes of one transaction, applied to the file as loaded under the lock;
// reads see the loaded values and the changes made so far.
class Editor {
public:
    explicit Editor(INIFile& file) : m_file(file) {}
    int Get(IntKey key, int defaultValue) const;
    std::wstring Get(TextKey key, size_t bound) const;
    void Set(IntKey key, int value);
    // An empty text removes the value: it reads back as the empty default.
    void Set(TextKey key, std::wstring_view value);

private:
    INIFile& m_file;
};

enum class Create {
    ExistingOnly,     // OnClear, the resume-flag writers: a missing file stays missing
    CreateIfMissing,  // the first writers: create the folder and the NULL-DACL file
};

enum class UpdateResult {
    Saved,
    Missing,     // ExistingOnly and there is no file; nothing written
    NotCreated,  // the file could not be created; nothing written
    NotSaved,    // the save failed; the file keeps its earlier content
};

// One load-modify-save of the file at path: takes the file's named mutex
// (bounded wait; a holder that does not let go within it is passed by with a
// warning, never waited for forever), creates the file when asked and
// missing, loads it, runs edit, saves atomically and lets go.
//
// writer names the operation in the creation messages (INFO "<writer>:
// create dir %s failed, error is %d, maybe it is exist here.\n", ERROR
// "<writer>: Get low security level failed\n", ERROR "<writer>: Create
// configure file failed. File = %s. Error = %d\n"). A failed save is not
// logged here, as its message differs by writer: NotSaved comes back with
// the save's error as the thread's last error.
//
// edit runs under the lock, so whatever else must see the same state (a
// backup copy of the file) belongs in it. It must not open another
// Update on the same file.
UpdateResult Update(const std::wstring& path, const wchar_t* writer, Create create,
                    const std::function<void(Editor&)>& edit);

// Creates the folder of path with its parents and the empty file with a NULL
// DACL, logging failures as Update does; true when the file exists after.
bool CreateFileIfMissing(const std::wstring& path, const wchar_t* writer);

// How long Update waits for the file's mutex, and the mutex's name (one per
// file, in the Global namespace so copies in other sessions share it).
inline constexpr DWORD kLockWaitMs = 10000;
std::wstring LockNameFor(const std::wstring& path);

// ---- Typed records --------------------------------------------------------

// The Internet Explorer capture (CBrowserProxySetting::OnSave).
struct IECapture {
    DWORD autoDiscoveryFlags = 0;
    DWORD flags = 1;
    std::wstring script, server, bypass;
    std::wstring autoUrl;  // what automatic detection found
};
// The Firefox capture.
struct FFCapture {
    int type = 3;
    std::wstring script, server, bypass;
};
// The proxy of the tunnel to the gateway.
struct TunnelProxy {
    int scriptRunning = 0;
    std::wstring host;
    std::wstring port;  // decimal text as stored
};

// Writes the capture keys: IE_*, IE_Proxy_Should_Resume = 0,
// Proxy_Script_Running, Proxy_Auto_URL, Proxy_SSL_Host/Port. Flags 0 are
// written as 1.
void WriteIECapture(Editor& edit, const IECapture& capture, const TunnelProxy& tunnel);
// FF_Browser_Running = 1, FF_*, FF_Proxy_Should_Resume = 0, Proxy_Auto_URL
// empty, and the tunnel keys.
void WriteFFCapture(Editor& edit, const FFCapture& capture, const TunnelProxy& tunnel);
// Proxy_Script_Running, Proxy_SSL_Host, Proxy_SSL_Port (HOXInit::OnSave).
void WriteTunnelProxy(Editor& edit, const TunnelProxy& tunnel);

// OnClear's reset: IE_Proxy_Auto_Flag 0, IE_Proxy_Flag 1, IE texts empty,
// Proxy_Script_Running 0, FF_Browser_Running 0, FF_Proxy_Flag 0, FF texts
// empty, Proxy_SSL_Host/Port empty. The restore flags, Proxy_Auto_URL, the
// credentials and Result are kept.
void ResetCaptureKeys(Editor& edit);

// OnClear's file work for a folder kind: when Proxy.ini is missing, INFO
// "OnClear: file %s is not exist\n" and false; otherwise, under the lock,
// copy it over Proxy_backup.ini (WARNING "copy file %s to %s success\n" or
// "copy file %s to %s failed, error:%d\n"), then ResetCaptureKeys and save
// (a failed save is not reported). The caller removes ProxyAuto.pac.
bool ClearCapturedSettings(unsigned int kind);

// Saved Internet Explorer settings as the restore and the PAC generator read
// them (GetSavedUserIEProxySettings): flags default 1, auto flags default 0,
// texts in 1024 units (bypass 4096). The restore reads them whole
// (kWholeValue): it puts back exactly what the capture found.
IECapture ReadSavedIESettings(const Reader& file, size_t urlUnits = kUrlUnits,
                              size_t bypassUnits = kBypassUnits);
// The Internet Explorer proxy as detection reads it (DetectProxyInfo,
// SaveProxyInfoToReg): flags default 0, server in serverUnits (whole for
// detection, which picks one entry of it; 260 for the registry copy),
// bypass in bypassUnits.
struct IEProxyForDetection {
    int flags = 0;
    std::wstring server;
    std::wstring bypass;
};
IEProxyForDetection ReadIEProxyForDetection(const Reader& file, size_t bypassUnits,
                                            size_t serverUnits = kShortUnits);
// Saved Firefox settings (GetSavedUserFFProxySettings and its kin):
// running and type default 0, texts in 1024 units (bypass 4096).
struct SavedFFSettings {
    int running = 0;
    int type = 0;
    std::wstring script, server, bypass;
};
SavedFFSettings ReadSavedFFSettings(const Reader& file);
// The stored tunnel proxy: running default 0, host and port in 260 units.
TunnelProxy ReadTunnelProxy(const Reader& file);
// Proxy_SSL_Port read as an integer (default 0), as SaveProxyInfoToReg
// reads it.
int ReadTunnelProxyPortNumber(const Reader& file);

}  // namespace ProxyIni
