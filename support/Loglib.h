// The log library: daily log files in the per-machine log folder and the
// hand-off of statements to a live log viewer through a shared section.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

enum LogLevel : int32_t {
    LOG_OFF = 0,
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_INFO = 3,
    LOG_VERBOSE = 4,
};

// This program's row of the module table.
constexpr int32_t kTavriskModuleId = 10;
constexpr int32_t kModuleTableRows = 18;
constexpr int32_t kSharedModuleRows = 50;
constexpr size_t kLogMessageChars = 4096;
// Longest message that is logged; longer ones are dropped.
constexpr size_t kLogMessageMaxLength = 4094;

// Cross-process layout of the shared section (little-endian, packed by
// construction: every field is 2- or 4-byte aligned at its offset).
struct LogRecord {
    wchar_t sourceFile[260];
    wchar_t executable[260];
    uint32_t line;
    uint32_t processId;
    uint32_t threadId;
    uint32_t moduleId;
    uint32_t level;
    SYSTEMTIME localTime;
    wchar_t message[kLogMessageChars];
};
static_assert(offsetof(LogRecord, executable) == 520);
static_assert(offsetof(LogRecord, line) == 1040);
static_assert(offsetof(LogRecord, level) == 1056);
static_assert(offsetof(LogRecord, localTime) == 1060);
static_assert(offsetof(LogRecord, message) == 1076);
static_assert(sizeof(LogRecord) == 9268);

struct LogModuleEntry {
    wchar_t name[20];
    uint32_t moduleId;
    int32_t level;
};
static_assert(sizeof(LogModuleEntry) == 48);

struct LogSharedSection {
    LogRecord record;
    LogModuleEntry modules[kSharedModuleRows];
};
static_assert(offsetof(LogSharedSection, modules) == 9268);
static_assert(sizeof(LogSharedSection) == 11668);

// The static module table (rows 0 to 17; row n has module id n, level 3).
extern const LogModuleEntry g_LogModuleTable[kModuleTableRows];

// Integrity classes of the named objects.
enum class LogIntegrityClass { Low, Medium, Other };
LogIntegrityClass IntegrityClassOf(DWORD integrityRid);

// Names of the named objects of one integrity class.
struct LogObjectNames {
    const wchar_t* section;
    const wchar_t* readyEvent;
    const wchar_t* wantsRecordsEvent;
    const wchar_t* slotFreeEvent;
    const wchar_t* recordReadyEvent;
    const wchar_t* fileGuardEvent;
};
const LogObjectNames& LogObjectNamesFor(LogIntegrityClass integrityClass);
extern const wchar_t* const kLogViewerPresentEvent;

class CLogContext {
public:
    // The process-wide context. It is built on first use (so that it exists
    // before any other static initialiser may log) and never destroyed:
    // threads that outlive static destruction may still call the library.
    static CLogContext& Instance();

    int Init(int32_t moduleId);
    void Uninit();
    int Begin(int32_t level, const wchar_t* sourceFile, uint32_t line);
    void Leave();
    void WriteW(const wchar_t* format, va_list args);
    void WriteA(const char* format, va_list args);

    int OpenSharedSection();
    uint32_t IsViewerWantingRecords();
    void PublishToViewer();

    bool IsInitialised() const { return m_initialised.load(std::memory_order_acquire) != 0; }
    DWORD IntegrityRid() const { return m_integrityRid; }
    std::wstring LogFolder() const;

private:
    CLogContext();
    void RouteMessage(int ok);
    void WriteLogLine();
    void FillRecord(LogRecord* record) const;
    std::wstring BuildLogLine(const LogRecord& record) const;
    int32_t ModuleLevel() const;

    // State of the statement being built; written only under the lock.
    std::atomic<int32_t> m_moduleId{kModuleTableRows};
    int32_t m_level = LOG_VERBOSE;
    int32_t m_line = -1;
    wchar_t m_sourceFile[260] = {};
    uint32_t m_routeFlags = 0;

    // Resources: once acquired they stay for the life of the process, so a
    // statement racing LogUninit never touches a freed buffer, view or lock.
    wchar_t* m_message = nullptr;
    HANDLE m_section = nullptr;
    HANDLE m_readyEvent = nullptr;
    std::atomic<LogSharedSection*> m_view{nullptr};
    CRITICAL_SECTION m_lock;

    std::atomic<int> m_initialised{0};
    DWORD m_integrityRid = 0x1000;
    std::wstring m_logFolder;
    std::wstring m_executable;
    std::atomic<uint32_t> m_viewerWantsRecords{0};
};

int LogInit(int32_t moduleId);
void LogUninit();
int LogBegin(int32_t level, const wchar_t* sourceFile, uint32_t line);
void LogWriteW(const wchar_t* format, ...);
void LogWriteA(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));
void LogEnd();

int32_t GetOSVersionNoLog();
// The OS generation for a version record; isAtLeast10 tells whether the true
// version is 10.0 or later (6.2 and 6.3 are what Windows reports to programs
// without a compatibility manifest).
int32_t OSGenerationFromVersion(const OSVERSIONINFOEXW& version, bool isAtLeast10);
bool IsOSVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor);
std::wstring GetLogFolder();
DWORD GetProcessIntegrityLevel();
int SetNullDaclAndLowLabel(HANDLE object);

// The integrity level comes from the process token unless a test installs
// another source (processes under test all read as high integrity).
using IntegrityLevelSource = DWORD (*)();
IntegrityLevelSource SetIntegrityLevelSourceForTest(IntegrityLevelSource source);

// Bare file name of a source path, at compile time.
constexpr const wchar_t* LogSourceName(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'/' || *p == L'\\') name = p + 1;
    }
    return name;
}

#define QLOG_WIDEN2(x) L##x
#define QLOG_WIDEN(x) QLOG_WIDEN2(x)

// The source file name a statement logs: the file's own name by default. A
// file named after what it holds, or one topic split out of a longer file,
// keeps the name its log lines have always carried by redefining it after
// its includes (so statements in the headers it includes keep theirs):
//   #undef QLOG_SOURCE_FILE
//   #define QLOG_SOURCE_FILE L"CommonFunction.cpp"
#define QLOG_SOURCE_FILE LogSourceName(QLOG_WIDEN(__FILE__))

// The statement form: the caller's last-error value survives the statement,
// and message arguments are evaluated only when the statement is logged.
#define QLOG_STATEMENT(writer, level, ...)                                        \
    do {                                                                          \
        const DWORD qlogSavedError_ = ::GetLastError();                           \
        static constexpr const wchar_t* qlogSource_ = QLOG_SOURCE_FILE;           \
        if (LogBegin((level), qlogSource_, __LINE__)) {                           \
            writer(__VA_ARGS__);                                                  \
            LogEnd();                                                             \
        }                                                                         \
        ::SetLastError(qlogSavedError_);                                          \
    } while (0)

#define LOGW(level, ...) QLOG_STATEMENT(LogWriteW, level, __VA_ARGS__)
#define LOGA(level, ...) QLOG_STATEMENT(LogWriteA, level, __VA_ARGS__)
