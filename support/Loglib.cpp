#include "Loglib.h"

#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "FaultGuard.h"
#include "Owners.h"
#include "StringUtil.h"
#include "Timing.h"

using Owners::UniqueHandle;
using Owners::UniqueLibrary;

const LogModuleEntry g_LogModuleTable[kModuleTableRows] = {
    {L"All Modules", 0, LOG_INFO},   {L"Brevanto", 1, LOG_INFO},
    {L"corvd", 2, LOG_INFO},         {L"Stolvex", 3, LOG_INFO},
    {L"BrevantoHttpd", 4, LOG_INFO}, {L"Grendal", 5, LOG_INFO},
    {L"Ossiden", 6, LOG_INFO},       {L"Tarquel", 7, LOG_INFO},
    {L"ClientInstaller", 8, LOG_INFO}, {L"PluginUpdater", 9, LOG_INFO},
    {L"Tavrisk", 10, LOG_INFO},      {L"LogViewer", 11, LOG_INFO},
    {L"LaunchControl", 12, LOG_INFO}, {L"CertHelper", 13, LOG_INFO},
    {L"TunnelDriver", 14, LOG_INFO}, {L"HostChecker", 15, LOG_INFO},
    {L"Uninstaller", 16, LOG_INFO},  {L"Diagnostics", 17, LOG_INFO},
};

namespace {

struct LevelName {
    wchar_t name[20];
    uint32_t level;
};
const LevelName kLevelNames[4] = {
    {L"OFF", 0}, {L"ERROR", 1}, {L"WARNING", 2}, {L"INFO", 3}};

const wchar_t* NameOfLevel(int32_t level) {
    for (const LevelName& row : kLevelNames) {
        if (static_cast<int32_t>(row.level) == level) return row.name;
    }
    return L"";
}

const LogObjectNames kNames[3] = {
    {L"{DF01D48B-25C4-475C-ADDC-6CCC9774D2B9}", L"{2E70B03D-AD9E-44CD-8EFE-6FAF86FD8452}",
     L"{1F39B147-695E-44F9-8317-DBD24301C43E}", L"{0E119489-4375-40AF-AA16-0E3A3EB9AAB8}",
     L"{FB7093BA-9B7C-471C-A80D-506EBBB30E8E}", L"{EE052CA6-A8E9-46D8-A967-E132AF70C5B1}"},
    {L"{D8C8A25C-F839-4EE0-A149-346039474C00}", L"{5B762122-5A07-44ED-A1B2-A0A9DFC86495}",
     L"{D79B4EA8-F18B-41C6-8725-D6C2B4072C12}", L"{C245645A-FD24-4E32-8D6A-7D3E29E090A6}",
     L"{A228AA67-78BE-4BAC-AD4E-CFD785521218}", L"{688AD2D2-CAA9-4E4F-B760-687D5EF290A5}"},
    {L"Global\\{44749BB3-5E85-4546-AD4C-D83984AE4620}",
     L"Global\\{774C56BB-1DC2-44A0-86DE-86C34D9C9606}",
     L"Global\\{D31D155D-921C-4614-BA12-C0FB6DEFE793}",
     L"Global\\{BDE85753-7650-4465-8953-05DF26DEAD2F}",
     L"Global\\{9559D1AB-9264-48C7-998D-793F1219E423}",
     L"Global\\{FF396BA0-BA83-4526-8DDE-A768B79FE75B}"},
};

constexpr uint32_t kRouteFile = 1;
constexpr uint32_t kRouteViewer = 16;

std::atomic<IntegrityLevelSource> g_integritySource{nullptr};

// Statements this thread has open (the lock is recursive). A statement opens
// inside another one when an argument of the outer statement calls code that
// logs; the outer statement's state is kept here meanwhile and put back when
// the inner one ends, so the outer line is written with its own file, line,
// level and route (after the inner line).
thread_local int t_openStatements = 0;
constexpr int kMaxNestedStatements = 4;
struct OuterStatement {
    uint32_t routeFlags;
    int32_t line;
    int32_t level;
    wchar_t sourceFile[260];
};
thread_local OuterStatement t_outerStatements[kMaxNestedStatements];

const wchar_t kFaultPrefixW[] = L"This log message will cause a crash, ignore it - \"";
const char kFaultPrefixA[] = "This log message will cause a crash, ignore it - \"";

std::wstring ExecutableBaseName() {
    wchar_t name[260] = {};
    if (::GetModuleBaseNameW(::GetCurrentProcess(), nullptr, name, 259) == 0) {
        return L"Unknown Moudle";
    }
    return name;
}

template <class Char>
void CopyTruncated(Char* target, size_t maxChars, const Char* source) {
    size_t i = 0;
    for (; source && source[i] && i < maxChars; ++i) target[i] = source[i];
    target[i] = 0;
}

}  // namespace

LogIntegrityClass IntegrityClassOf(DWORD integrityRid) {
    if (integrityRid == 0x1000) return LogIntegrityClass::Low;
    if (integrityRid == 0x2000) return LogIntegrityClass::Medium;
    return LogIntegrityClass::Other;
}

const LogObjectNames& LogObjectNamesFor(LogIntegrityClass integrityClass) {
    return kNames[static_cast<int>(integrityClass)];
}

const wchar_t* const kLogViewerPresentEvent = L"Global\\{31BAC838-B1E7-45EE-9340-E2DE874CDE0E}";

IntegrityLevelSource SetIntegrityLevelSourceForTest(IntegrityLevelSource source) {
    return g_integritySource.exchange(source, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------------------
// OS queries without logging

int32_t OSGenerationFromVersion(const OSVERSIONINFOEXW& v, bool isAtLeast10) {
    const bool workstation = v.wProductType == VER_NT_WORKSTATION;
    if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        return v.dwMinorVersion != 0 ? 0 : -1;
    }
    if (v.dwPlatformId != VER_PLATFORM_WIN32_NT) return -1;
    const DWORD major = v.dwMajorVersion;
    const DWORD minor = v.dwMinorVersion;
    if (major == 5) {
        if (minor == 0) return 1;
        if (minor == 1) return 2;
        if (minor == 2) return workstation ? 2 : 3;
        return -1;
    }
    if (major == 6) {
        if (minor == 0) return workstation ? 4 : 5;
        if (minor == 1) return workstation ? 6 : 5;
        if (minor == 2 || minor == 3) return isAtLeast10 ? 8 : 7;
        return -1;
    }
    if (major >= 7) return workstation ? 8 : 5;
    return -1;
}

bool IsOSVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor) {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    static std::atomic<bool> looked{false};
    static std::atomic<RtlGetVersionFn> rtlGetVersion{nullptr};
    if (!looked.load(std::memory_order_acquire)) {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        RtlGetVersionFn fn = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                         ::GetProcAddress(ntdll, "RtlGetVersion")))
                                   : nullptr;
        rtlGetVersion.store(fn, std::memory_order_release);
        looked.store(true, std::memory_order_release);
    }
    RtlGetVersionFn fn = rtlGetVersion.load(std::memory_order_acquire);
    if (!fn) return false;
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (fn(&version) != 0) return false;
    if (version.dwMajorVersion != major) return version.dwMajorVersion > major;
    if (version.dwMinorVersion != minor) return version.dwMinorVersion > minor;
    return version.wServicePackMajor >= servicePackMajor;
}

int32_t GetOSVersionNoLog() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return -1;
    const bool is62or63 = version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                          version.dwMajorVersion == 6 &&
                          (version.dwMinorVersion == 2 || version.dwMinorVersion == 3);
    return OSGenerationFromVersion(version, is62or63 && IsOSVersionAtLeast(10, 0, 0));
}

DWORD GetProcessIntegrityLevel() {
    if (GetOSVersionNoLog() < 4) return 0x3000;
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_QUERY_SOURCE,
                            token.put())) {
        return 0x1000;
    }
    DWORD rid = 0x1000;
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenIntegrityLevel, nullptr, 0, &size) &&
        ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
        std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
        if (buffer && ::GetTokenInformation(token.get(), TokenIntegrityLevel, buffer.get(), size,
                                            &size)) {
            auto* label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer.get());
            PUCHAR count = ::GetSidSubAuthorityCount(label->Label.Sid);
            if (count && *count > 0) rid = *::GetSidSubAuthority(label->Label.Sid, *count - 1);
        }
    }
    return rid;
}

namespace {

std::wstring LogFolderFor(DWORD integrityRid, bool mayLog) {
    if (integrityRid == 0x1000) {
        UniqueLibrary shell32(::LoadLibraryW(L"Shell32.dll"));
        if (shell32) {
            using KnownFolderFn = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
            auto fn = reinterpret_cast<KnownFolderFn>(reinterpret_cast<void*>(
                ::GetProcAddress(shell32.get(), "SHGetKnownFolderPath")));
            if (fn) {
                // {A520A1A4-1780-4FF6-BD18-167343C5AF16}
                static const GUID kLocalAppDataLow = {
                    0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
                PWSTR path = nullptr;
                const HRESULT hr = fn(kLocalAppDataLow, 0, nullptr, &path);
                Owners::UniqueCoTaskMem owner(path);
                if (SUCCEEDED(hr) && path) return std::wstring(path) + L"\\VPN\\Log\\";
            }
        }
        // No low folder: fall back to the common application-data folder.
    }
    wchar_t path[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path);
    if (FAILED(hr)) {
        if (mayLog) {
            LOGW(LOG_WARNING, L"log lib: Get AllUser APP data folder failed. Error = 0x%x\n",
                 static_cast<unsigned>(hr));
        }
        return L"";
    }
    return std::wstring(path) + L"\\VPN\\Log\\";
}

}  // namespace

std::wstring GetLogFolder() {
    return LogFolderFor(CLogContext::Instance().IntegrityRid(), true);
}

int SetNullDaclAndLowLabel(HANDLE object) {
    if (!object) return 0;
    if (::SetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr) != ERROR_SUCCESS) {
        return 0;
    }
    if (GetOSVersionNoLog() < 4) return 1;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", 1,
                                                                &descriptor, nullptr)) {
        return 0;
    }
    Owners::UniqueLocalMem owner(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (!::GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted)) return 0;
    return ::SetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr,
                             nullptr, nullptr, sacl) == ERROR_SUCCESS
               ? 1
               : 0;
}

// ---------------------------------------------------------------------------
// The context

CLogContext& CLogContext::Instance() {
    alignas(CLogContext) static unsigned char storage[sizeof(CLogContext)];
    static CLogContext* const instance = new (storage) CLogContext();
    return *instance;
}

CLogContext::CLogContext() { ::InitializeCriticalSection(&m_lock); }

std::wstring CLogContext::LogFolder() const { return m_logFolder; }

int CLogContext::Init(int32_t moduleId) {
    if (IsInitialised()) return 1;
    // Module ids 1 to 17 have a row in the name table.
    if (moduleId < 1 || moduleId >= kModuleTableRows) return 0;

    ::EnterCriticalSection(&m_lock);
    IntegrityLevelSource source = g_integritySource.load(std::memory_order_acquire);
    const DWORD rid = source ? source() : GetProcessIntegrityLevel();
    const LogIntegrityClass integrityClass = IntegrityClassOf(rid);
    // Each integrity class has its own section; one opened for another class
    // stays mapped, as a statement of another thread may still read it.
    if (!m_view || IntegrityClassOf(m_integrityRid) != integrityClass) {
        m_integrityRid = rid;
        m_view = nullptr;
        if (!OpenSharedSection()) {
            ::LeaveCriticalSection(&m_lock);
            return 0;
        }
    }
    m_integrityRid = rid;
    if (!m_message) {
        m_message = new (std::nothrow) wchar_t[kLogMessageChars];
        if (!m_message) {
            ::LeaveCriticalSection(&m_lock);
            return 0;
        }
    }
    std::memset(m_message, 0, kLogMessageChars * sizeof(wchar_t));
    m_logFolder = LogFolderFor(rid, false);
    m_executable = ExecutableBaseName();
    if (!m_logFolder.empty()) {
        ::SHPathPrepareForWriteW(nullptr, nullptr, m_logFolder.c_str(), SHPPFW_DIRCREATE);
    }
    m_moduleId = moduleId;
    m_initialised.store(1, std::memory_order_release);
    ::LeaveCriticalSection(&m_lock);
    return 1;
}

void CLogContext::Uninit() {
    if (!IsInitialised()) return;
    ::EnterCriticalSection(&m_lock);
    m_initialised.store(0, std::memory_order_release);
    m_moduleId = kModuleTableRows;
    m_level = LOG_VERBOSE;
    m_line = -1;
    m_sourceFile[0] = 0;
    m_routeFlags = 0;
    ::LeaveCriticalSection(&m_lock);
}

int32_t CLogContext::ModuleLevel() const {
    const int32_t moduleId = m_moduleId.load(std::memory_order_acquire);
    LogSharedSection* view = m_view.load(std::memory_order_acquire);
    if (!view || moduleId < 0 || moduleId >= kSharedModuleRows) return LOG_OFF;
    // The viewer may change the level at any time.
    return static_cast<volatile const int32_t&>(view->modules[moduleId].level);
}

int CLogContext::Begin(int32_t level, const wchar_t* sourceFile, uint32_t line) {
    if (!IsInitialised()) return 0;
    const DWORD savedError = ::GetLastError();
    int result = 0;
    const int32_t moduleLevel = ModuleLevel();
    if (level <= moduleLevel) {
        // The route is decided for this statement alone and stored only once
        // the lock is held.
        uint32_t route = 0;
        if (IsViewerWantingRecords() && moduleLevel >= level) route |= kRouteViewer;
        if (level >= LOG_ERROR && level <= LOG_INFO) route |= kRouteFile;
        if (route != 0) {
            ::EnterCriticalSection(&m_lock);
            if (IsInitialised() && t_openStatements <= kMaxNestedStatements) {
                if (t_openStatements > 0) {
                    OuterStatement& outer = t_outerStatements[t_openStatements - 1];
                    outer.routeFlags = m_routeFlags;
                    outer.line = m_line;
                    outer.level = m_level;
                    std::memcpy(outer.sourceFile, m_sourceFile, sizeof(m_sourceFile));
                }
                m_routeFlags = route;
                std::memset(m_sourceFile, 0, sizeof(m_sourceFile));
                CopyTruncated(m_sourceFile, 258, sourceFile);
                m_line = static_cast<int32_t>(line);
                m_level = level;
                ++t_openStatements;
                result = 1;
            } else {
                ::LeaveCriticalSection(&m_lock);
            }
        }
    }
    ::SetLastError(savedError);
    return result;
}

void CLogContext::Leave() {
    if (t_openStatements <= 0) return;
    --t_openStatements;
    if (t_openStatements > 0) {
        const OuterStatement& outer = t_outerStatements[t_openStatements - 1];
        m_routeFlags = outer.routeFlags;
        m_line = outer.line;
        m_level = outer.level;
        std::memcpy(m_sourceFile, outer.sourceFile, sizeof(m_sourceFile));
    }
    ::LeaveCriticalSection(&m_lock);
}

namespace {

// Formatting of one message, run under the fault guard.
template <class Char>
struct FormatJob {
    const Char* format;
    va_list args;
    Char* buffer;
    int length;
};

template <class Char>
void RunFormatJob(void* context) {
    auto* job = static_cast<FormatJob<Char>*>(context);
    va_list counting;
    va_copy(counting, job->args);
    job->length = CountFormatted(job->format, counting);
    va_end(counting);
    if (job->length >= 0 && static_cast<size_t>(job->length) <= kLogMessageMaxLength) {
        FormatInto(job->buffer, kLogMessageMaxLength + 1, job->format, job->args);
    }
}

template <class Char>
size_t FaultText(Char* buffer, const Char* prefix, const Char* format) {
    // prefix, the format without its final line feed, then "\"\n", cut to the limit.
    static const Char kEmpty[1] = {0};
    std::basic_string<Char> text(prefix);
    std::basic_string<Char> body(format ? format : kEmpty);
    if (!body.empty() && body.back() == Char('\n')) body.pop_back();
    text += body;
    text += Char('"');
    text += Char('\n');
    if (text.size() > kLogMessageMaxLength) text.resize(kLogMessageMaxLength);
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(Char));
    return text.size();
}

}  // namespace

void CLogContext::WriteW(const wchar_t* format, va_list args) {
    if (!m_message || t_openStatements <= 0) return;
    std::memset(m_message, 0, kLogMessageChars * sizeof(wchar_t));
    FormatJob<wchar_t> job{format, {}, m_message, -1};
    va_copy(job.args, args);
    const bool completed = format && CallWithFaultGuard(RunFormatJob<wchar_t>, &job);
    va_end(job.args);
    if (completed && job.length >= 0) {
        if (static_cast<size_t>(job.length) <= kLogMessageMaxLength) RouteMessage(1);
        return;  // too long: dropped
    }
    std::memset(m_message, 0, kLogMessageChars * sizeof(wchar_t));
    FaultText(m_message, kFaultPrefixW, format);
    RouteMessage(0);
}

void CLogContext::WriteA(const char* format, va_list args) {
    if (!m_message || t_openStatements <= 0) return;
    std::unique_ptr<char[]> scratch(new (std::nothrow) char[kLogMessageChars]);
    if (!scratch) return;
    std::memset(scratch.get(), 0, kLogMessageChars);
    std::memset(m_message, 0, kLogMessageChars * sizeof(wchar_t));
    FormatJob<char> job{format, {}, scratch.get(), -1};
    va_copy(job.args, args);
    const bool completed = format && CallWithFaultGuard(RunFormatJob<char>, &job);
    va_end(job.args);
    int ok = 1;
    int length = job.length;
    if (completed && length >= 0) {
        if (static_cast<size_t>(length) > kLogMessageMaxLength) return;  // dropped
    } else {
        std::memset(scratch.get(), 0, kLogMessageChars);
        length = static_cast<int>(FaultText(scratch.get(), kFaultPrefixA, format));
        ok = 0;
    }
    if (length > 0) {
        ::MultiByteToWideChar(CP_ACP, 0, scratch.get(), length, m_message,
                              static_cast<int>(kLogMessageChars) - 1);
    }
    RouteMessage(ok);
}

void CLogContext::RouteMessage(int ok) {
    if (!IsInitialised()) return;
    if (!ok) m_level = LOG_WARNING;
    if (m_routeFlags & kRouteFile) WriteLogLine();
    if (m_routeFlags & kRouteViewer) PublishToViewer();
}

void CLogContext::FillRecord(LogRecord* record) const {
    std::memset(record, 0, sizeof(*record));
    CopyTruncated(record->sourceFile, 259, m_sourceFile);
    CopyTruncated(record->message, kLogMessageChars - 1, m_message);
    CopyTruncated(record->executable, 259, m_executable.c_str());
    record->line = static_cast<uint32_t>(m_line);
    record->processId = ::GetCurrentProcessId();
    record->threadId = ::GetCurrentThreadId();
    record->moduleId = static_cast<uint32_t>(m_moduleId);
    record->level = static_cast<uint32_t>(m_level);
    Timing::LocalTime(&record->localTime);
}

std::wstring CLogContext::BuildLogLine(const LogRecord& r) const {
    const SYSTEMTIME& t = r.localTime;
    wchar_t head[160];
    const int headLength = _snwprintf(
        head, 160, L"%02u/%02u/%02u %02u:%02u:%02u.%03u P-%u: T-%u: ", unsigned(t.wMonth),
        unsigned(t.wDay), unsigned(t.wYear % 100), unsigned(t.wHour), unsigned(t.wMinute),
        unsigned(t.wSecond), unsigned(t.wMilliseconds), unsigned(r.processId),
        unsigned(r.threadId));
    wchar_t lineText[16];
    _snwprintf(lineText, 16, L"%u ", unsigned(r.line));

    std::wstring line;
    line.reserve(256 + kLogMessageChars);
    line.append(head, headLength > 0 ? static_cast<size_t>(headLength) : 0);
    const int32_t moduleId = m_moduleId;
    if (moduleId >= 0 && moduleId < kModuleTableRows) line += g_LogModuleTable[moduleId].name;
    line += L": (";
    line += NameOfLevel(static_cast<int32_t>(r.level));
    line += L"): ";
    line += ::PathFindFileNameW(r.sourceFile);
    line += L":";
    line += lineText;
    line += L" <";
    line += r.executable;
    line += L"> ";
    line += ReplaceAll(r.message, L"\n", L"\r\n");
    return line;
}

namespace {

// The security of a daily file that this program creates. The log folder is
// shared by every account and elevation: a file made with the folder's
// inherited security is writable by its creator only (an elevated copy owns
// it then), and every line the user's own copies write that day would be
// lost. Everyone may read and write it; only the system and administrators
// may do more. Null (the folder's security) when it cannot be built.
SECURITY_ATTRIBUTES* DailyFileSecurity() {
    // Built once, before any thread can use it; kept for the life of the
    // process, as the context is.
    static SECURITY_ATTRIBUTES attributes = [] {
        SECURITY_ATTRIBUTES made{};
        made.nLength = sizeof(made);
        made.bInheritHandle = FALSE;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;WD)", SDDL_REVISION_1,
                &made.lpSecurityDescriptor, nullptr)) {
            made.lpSecurityDescriptor = nullptr;
        }
        return made;
    }();
    return attributes.lpSecurityDescriptor ? &attributes : nullptr;
}

}  // namespace

void CLogContext::WriteLogLine() {
    const LogObjectNames& names = LogObjectNamesFor(IntegrityClassOf(m_integrityRid));
    UniqueHandle guard(::CreateEventW(nullptr, TRUE, TRUE, names.fileGuardEvent));
    if (!guard) return;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) SetNullDaclAndLowLabel(guard.get());
    if (Timing::WaitForObject(guard.get(), 1000) != WAIT_OBJECT_0) return;

    LogRecord record;
    FillRecord(&record);
    wchar_t fileName[32];
    _snwprintf(fileName, 32, L"%02u-%02u-%02u.txt", unsigned(record.localTime.wYear),
               unsigned(record.localTime.wMonth), unsigned(record.localTime.wDay));
    const std::wstring path = m_logFolder + fileName;

    // Another process appending its line holds the file for a moment; wait a
    // little for it instead of losing this line. The pause is real time even
    // under a test clock: it waits for another process, not for the program.
    UniqueHandle file;
    for (int attempt = 0; attempt < 100; ++attempt) {
        file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                 DailyFileSecurity(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
        if (file || ::GetLastError() != ERROR_SHARING_VIOLATION) break;
        ::Sleep(10);
    }
    if (!file) return;

    const std::wstring line = BuildLogLine(record);
    LARGE_INTEGER zero{};
    ::SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
    DWORD written = 0;
    ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)),
                &written, nullptr);
    ::SetEvent(guard.get());
}

int CLogContext::OpenSharedSection() {
    const LogObjectNames& names = LogObjectNamesFor(IntegrityClassOf(m_integrityRid));
    UniqueHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              sizeof(LogSharedSection), names.section));
    if (!section) return 0;
    const bool isNew = ::GetLastError() != ERROR_ALREADY_EXISTS;
    if (isNew) SetNullDaclAndLowLabel(section.get());
    Owners::UniqueView view(::MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                            sizeof(LogSharedSection)));
    if (!view) return 0;
    auto* shared = static_cast<LogSharedSection*>(view.get());
    if (isNew) std::memcpy(shared->modules, g_LogModuleTable, sizeof(g_LogModuleTable));
    UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, names.readyEvent));
    if (!ready) return 0;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) SetNullDaclAndLowLabel(ready.get());
    ::SetEvent(ready.get());
    // Kept for the life of the process (see the field comment).
    m_section = section.release();
    m_readyEvent = ready.release();
    m_view.store(static_cast<LogSharedSection*>(view.release()), std::memory_order_release);
    return 1;
}

uint32_t CLogContext::IsViewerWantingRecords() {
    {
        UniqueHandle present(::OpenEventW(EVENT_ALL_ACCESS, FALSE, kLogViewerPresentEvent));
        if (!present) {
            m_viewerWantsRecords.store(0);
            return 0;
        }
    }
    if (m_viewerWantsRecords.load() == 1) return 1;
    const LogObjectNames& names = LogObjectNamesFor(IntegrityClassOf(m_integrityRid));
    UniqueHandle wants(::OpenEventW(EVENT_ALL_ACCESS, FALSE, names.wantsRecordsEvent));
    if (!wants) return 0;
    if (Timing::WaitForObject(wants.get(), 100) == WAIT_OBJECT_0) m_viewerWantsRecords.store(1);
    return m_viewerWantsRecords.load();
}

void CLogContext::PublishToViewer() {
    const LogObjectNames& names = LogObjectNamesFor(IntegrityClassOf(m_integrityRid));
    UniqueHandle slotFree(::OpenEventW(EVENT_ALL_ACCESS, FALSE, names.slotFreeEvent));
    UniqueHandle recordReady(::OpenEventW(EVENT_ALL_ACCESS, FALSE, names.recordReadyEvent));
    LogSharedSection* view = m_view.load(std::memory_order_acquire);
    if (!slotFree || !recordReady || !view) return;
    if (Timing::WaitForObject(slotFree.get(), 1000) != WAIT_OBJECT_0) return;
    FillRecord(&view->record);
    ::SetEvent(recordReady.get());
}

// ---------------------------------------------------------------------------
// The free functions

int LogInit(int32_t moduleId) { return CLogContext::Instance().Init(moduleId); }

void LogUninit() { CLogContext::Instance().Uninit(); }

int LogBegin(int32_t level, const wchar_t* sourceFile, uint32_t line) {
    return CLogContext::Instance().Begin(level, sourceFile, line);
}

void LogWriteW(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CLogContext::Instance().WriteW(format, args);
    va_end(args);
}

void LogWriteA(const char* format, ...) {
    va_list args;
    va_start(args, format);
    CLogContext::Instance().WriteA(format, args);
    va_end(args);
}

void LogEnd() { CLogContext::Instance().Leave(); }
