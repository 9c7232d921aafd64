#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CommonFunction.h"
#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "TestSupport.h"

using namespace TestSupport;

namespace {

std::wstring ExecutableName() {
    wchar_t name[260] = {};
    ::GetModuleBaseNameW(::GetCurrentProcess(), nullptr, name, 259);
    return name;
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LogInit(kTavriskModuleId), 1);
        m_path = CLogContext::Instance().LogFolder() + L"2031-06-15.txt";
        ::DeleteFileW(m_path.c_str());
    }
    void TearDown() override {
        LogUninit();
        ::DeleteFileW(m_path.c_str());
        ::DeleteFileW((CLogContext::Instance().LogFolder() + L"2031-06-16.txt").c_str());
    }

    // The start of a file line of this thread, up to the message.
    std::wstring Head(const wchar_t* level, int line, const wchar_t* date = L"06/15/31") const {
        return FormatW(L"%s 14:03:07.042 P-%lu: T-%lu: Tavrisk: (%s): LoglibTest.cpp:%d  <%s> ",
                       date, ::GetCurrentProcessId(), ::GetCurrentThreadId(), level, line,
                       ExecutableName().c_str());
    }
    std::wstring FileText() const { return ReadUtf16File(m_path); }

    FixedTimeSource m_clock{MakeTime(2031, 6, 15, 14, 3, 7, 42)};
    ScopedHook<Timing::ITimeSource*> m_clockHook{Timing::SetSourceForTest, &m_clock};
    std::wstring m_path;
};

}  // namespace

TEST_F(LogFileTest, WritesTheDailyLineByteForByte) {
    const int line = __LINE__ + 1;
    LOGW(LOG_INFO, L"DownLoadFile: got %d bytes from %s\n", 512, L"gateway");
    const std::wstring expected = Head(L"INFO", line) + L"DownLoadFile: got 512 bytes from gateway\r\n";

    const std::vector<unsigned char> bytes = ReadFileBytes(m_path);
    ASSERT_EQ(bytes.size(), expected.size() * 2) << "UTF-16LE without byte-order mark";
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(bytes[2 * i], expected[i] & 0xFF) << "at " << i;
        EXPECT_EQ(bytes[2 * i + 1], expected[i] >> 8) << "at " << i;
    }
}

// Files that hold one topic of a longer source keep that source's name in
// their lines; a file that names nothing logs under its own name.
TEST_F(LogFileTest, SourceNameOfSplitFilesIsTheirOriginal) {
    const struct {
        void (*statement)();
        const wchar_t* message;
        const wchar_t* source;
    } cases[] = {
        {[] { RemoveFile(L"C:\\no-such-folder\\gone.txt"); }, L"RemoveFile: Remove ",
         L"CommonFunction.cpp"},
        {[] {
             std::wstring out;
             ConvertMultiByteToWide("a\0b", 3, out, 1252);
         },
         L"utilitylib: Convert multibyte", L"CommonFunction.cpp"},
        {[] { GetBrevantoCommandLineFlag(); }, L"GetBrevantoCommandLineFlag: value:",
         L"CommonFunction.cpp"},
        {[] { LOGW(LOG_INFO, L"own name\n"); }, L"own name", L"LoglibTest.cpp"},
    };
    for (const auto& c : cases) {
        c.statement();
        const std::wstring text = FileText();
        const size_t at = text.find(c.message);
        ASSERT_NE(at, std::wstring::npos) << c.message;
        const size_t newline = text.rfind(L'\n', at);
        const size_t begin = newline == std::wstring::npos ? 0 : newline + 1;
        const std::wstring line = text.substr(begin, at - begin);
        EXPECT_NE(line.find(std::wstring(L"): ") + c.source + L":"), std::wstring::npos)
            << c.message << " in " << CodePageFromWide(line, CP_UTF8);
    }
}

TEST_F(LogFileTest, LevelNamesLineBreaksAndContinuedLines) {
    const int first = __LINE__ + 1;
    LOGW(LOG_ERROR, L"a\nb\n");
    const int second = __LINE__ + 1;
    LOGW(LOG_WARNING, L"no line break");
    const int third = __LINE__ + 1;
    LOGA(LOG_INFO, "narrow %s %d\n", "text", 3);
    EXPECT_EQ(FileText(), Head(L"ERROR", first) + L"a\r\nb\r\n" + Head(L"WARNING", second) +
                              L"no line break" + Head(L"INFO", third) + L"narrow text 3\r\n");
}

TEST_F(LogFileTest, NarrowTextIsConvertedFromTheAnsiCodePage) {
    const std::string narrow = CodePageFromWide(L"caf\u00e9 \u00fc", CP_ACP);
    const int line = __LINE__ + 1;
    LOGA(LOG_INFO, "%s\n", narrow.c_str());
    EXPECT_EQ(FileText(), Head(L"INFO", line) + L"caf\u00e9 \u00fc\r\n");
}

namespace {

int g_helperLine = 0;

// A helper that logs, as message arguments sometimes are.
int LoggingHelper(int depth) {
    g_helperLine = __LINE__ + 1;
    LOGW(LOG_ERROR, L"helper %d\n", depth > 0 ? LoggingHelper(depth - 1) : 0);
    return depth + 1;
}

}  // namespace

TEST_F(LogFileTest, AStatementWhoseArgumentLogsKeepsItsOwnFileLineAndLevel) {
    const int line = __LINE__ + 1;
    LOGW(LOG_WARNING, L"outer %d\n", LoggingHelper(1));
    // The inner lines come first, each with its own head; the outer one is
    // written as written.
    EXPECT_EQ(FileText(), Head(L"ERROR", g_helperLine) + L"helper 0\r\n" +
                              Head(L"ERROR", g_helperLine) + L"helper 1\r\n" +
                              Head(L"WARNING", line) + L"outer 2\r\n");
    // The statements are closed: another thread can log.
    std::thread other([] { LOGW(LOG_INFO, L"other thread\n"); });
    other.join();
    EXPECT_NE(FileText().find(L"other thread"), std::wstring::npos);
}

TEST_F(LogFileTest, VerboseAndOffStatementsNeverReachTheFile) {
    EXPECT_EQ(LogBegin(LOG_VERBOSE, L"x.cpp", 1), 0) << "level 4 without a viewer";
    EXPECT_EQ(LogBegin(LOG_OFF, L"x.cpp", 1), 0) << "level 0 without a viewer";
    LOGW(LOG_VERBOSE, L"verbose\n");
    LOGW(LOG_OFF, L"off\n");
    EXPECT_FALSE(FileExists(m_path));
    // No lock is held after a refused statement: another thread can log.
    std::thread other([] { LOGW(LOG_INFO, L"other thread\n"); });
    other.join();
    EXPECT_NE(FileText().find(L"other thread"), std::wstring::npos);
}

TEST_F(LogFileTest, MessagesUpTo4094CharactersAreLoggedLongerOnesDropped) {
    const std::wstring fits(4094, L'x');
    const std::wstring tooLong(4095, L'y');
    LOGW(LOG_INFO, L"%s", fits.c_str());
    LOGW(LOG_INFO, L"%s", tooLong.c_str());
    const std::string narrowTooLong(4095, 'z');
    LOGA(LOG_INFO, "%s", narrowTooLong.c_str());
    const std::string narrowFits(4094, 'n');
    LOGA(LOG_INFO, "%s", narrowFits.c_str());
    const std::wstring text = FileText();
    EXPECT_NE(text.find(fits), std::wstring::npos);
    EXPECT_EQ(text.find(L'y'), std::wstring::npos);
    EXPECT_EQ(text.find(L'z'), std::wstring::npos);
    EXPECT_NE(text.find(std::wstring(4094, L'n')), std::wstring::npos);
}

TEST_F(LogFileTest, AFaultingFormatIsReplacedByAWarningThatQuotesIt) {
    const wchar_t* bad = reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(16));
    const int first = __LINE__ + 1;
    LOGW(LOG_ERROR, L"DownLoadFile: host %s\n", bad);
    const char* badNarrow = reinterpret_cast<const char*>(static_cast<uintptr_t>(16));
    const int second = __LINE__ + 1;
    LOGA(LOG_INFO, "callhome: %s", badNarrow);
    const int third = __LINE__ + 1;
    LOGW(LOG_INFO, L"still logging\n");
    EXPECT_EQ(FileText(),
              Head(L"WARNING", first) +
                  L"This log message will cause a crash, ignore it - \"DownLoadFile: host %s\"\r\n" +
                  Head(L"WARNING", second) +
                  L"This log message will cause a crash, ignore it - \"callhome: %s\"\r\n" +
                  Head(L"INFO", third) + L"still logging\r\n");
}

TEST_F(LogFileTest, TheCallersLastErrorSurvivesAndReachesTheMessage) {
    ::SetLastError(1234);
    const int line = __LINE__ + 1;
    LOGW(LOG_ERROR, L"failed, error %lu\n", ::GetLastError());
    EXPECT_EQ(::GetLastError(), 1234u);
    EXPECT_EQ(FileText(), Head(L"ERROR", line) + L"failed, error 1234\r\n");

    ::SetLastError(87);
    EXPECT_EQ(LogBegin(LOG_INFO, L"x.cpp", 1), 1);
    EXPECT_EQ(::GetLastError(), 87u) << "LogBegin keeps the last-error value";
    LogEnd();

    LogUninit();
    ::SetLastError(5);
    EXPECT_EQ(LogBegin(LOG_ERROR, L"x.cpp", 1), 0) << "nothing is logged after LogUninit";
    LOGW(LOG_ERROR, L"after uninit\n");
    EXPECT_EQ(::GetLastError(), 5u);
    EXPECT_EQ(FileText().find(L"after uninit"), std::wstring::npos);
}

namespace {

// Whether the access that a file's DACL grants Everyone (the world SID)
// includes all of the mask; false when the DACL cannot be read.
bool EveryoneMay(const std::wstring& path, DWORD mask) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    Owners::UniqueLocalMem owner(descriptor);
    if (!dacl) return true;  // a NULL DACL grants everything
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                    &everyone)) {
        return false;
    }
    DWORD granted = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), everyone)) {
            granted |= allowed->Mask;
        }
    }
    ::FreeSid(everyone);
    return (granted & mask) == mask;
}

// Whether a DACL given to a new file is the one it gets (Wine derives the
// file's security from the host's file modes instead).
bool NewFilesKeepTheirDacl(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;WD)", SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return false;
    }
    Owners::UniqueLocalMem owner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    file.reset();
    const bool kept = EveryoneMay(path, FILE_ALL_ACCESS);
    ::DeleteFileW(path.c_str());
    return kept;
}

}  // namespace

// An elevated copy (or a service of the family) often writes the day's first
// line; the user's own copies must still be able to add theirs.
TEST_F(LogFileTest, ADailyFileItCreatesTakesEveryUsersLines) {
    if (!NewFilesKeepTheirDacl(CLogContext::Instance().LogFolder() + L"dacl-probe.txt")) {
        GTEST_SKIP() << "Wine gives a new file no DACL of the caller's choice";
    }
    LOGW(LOG_INFO, L"the first line of the day\n");
    ASSERT_NE(FileText().find(L"the first line of the day"), std::wstring::npos);
    EXPECT_TRUE(EveryoneMay(m_path, FILE_GENERIC_READ | FILE_GENERIC_WRITE));
}

TEST_F(LogFileTest, LinesOfDifferentDaysGoToDifferentFiles) {
    LOGW(LOG_INFO, L"first day\n");
    m_clock.SetTime(MakeTime(2031, 6, 16, 14, 3, 7, 42));
    const int line = __LINE__ + 1;
    LOGW(LOG_INFO, L"second day\n");
    const std::wstring next = CLogContext::Instance().LogFolder() + L"2031-06-16.txt";
    EXPECT_EQ(ReadUtf16File(next), Head(L"INFO", line, L"06/16/31") + L"second day\r\n");
    EXPECT_EQ(FileText().find(L"second day"), std::wstring::npos);
}

TEST(LogInitTest, AcceptsModulesWithARowOfTheNameTable) {
    for (int32_t id : {-1, 0, 18, 19, 50}) {
        EXPECT_EQ(LogInit(id), 0) << id;
        EXPECT_FALSE(CLogContext::Instance().IsInitialised()) << id;
    }
    EXPECT_EQ(LogInit(kTavriskModuleId), 1);
    EXPECT_EQ(LogInit(3), 1) << "already initialised";
    LogUninit();
    EXPECT_FALSE(CLogContext::Instance().IsInitialised());
}

TEST(LogFolderTest, FollowsTheIntegrityClass) {
    // Processes under Wine all read as high integrity; the class is injected.
    std::wstring low, medium;
    {
        const ScopedHook integrity(SetIntegrityLevelSourceForTest, []() -> DWORD { return 0x1000; });
        ASSERT_EQ(LogInit(kTavriskModuleId), 1);
        low = CLogContext::Instance().LogFolder();
        LogUninit();
    }
    {
        const ScopedHook integrity(SetIntegrityLevelSourceForTest, []() -> DWORD { return 0x2000; });
        ASSERT_EQ(LogInit(kTavriskModuleId), 1);
        medium = CLogContext::Instance().LogFolder();
        EXPECT_EQ(GetLogFolder(), medium);
        // The medium class has its own section.
        Owners::UniqueHandle section(::OpenFileMappingW(
            FILE_MAP_READ, FALSE, LogObjectNamesFor(LogIntegrityClass::Medium).section));
        EXPECT_TRUE(section);
        LogUninit();
    }

    wchar_t common[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common)));
    EXPECT_EQ(medium, std::wstring(common) + L"\\VPN\\Log\\");
    EXPECT_NE(low, medium);
    EXPECT_NE(low.find(L"LocalLow"), std::wstring::npos) << std::string(low.begin(), low.end());
    EXPECT_EQ(low.substr(low.size() - 9), L"\\VPN\\Log\\");
    EXPECT_EQ(::GetFileAttributesW(low.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY))
        << "LogInit creates the folder";
}

TEST(LogObjectNamesTest, ThreeNameClassesByIntegrityRid) {
    EXPECT_EQ(IntegrityClassOf(0x1000), LogIntegrityClass::Low);
    EXPECT_EQ(IntegrityClassOf(0x2000), LogIntegrityClass::Medium);
    for (DWORD rid : {0x0u, 0x1001u, 0x2100u, 0x3000u, 0x4000u}) {
        EXPECT_EQ(IntegrityClassOf(rid), LogIntegrityClass::Other) << rid;
    }
    EXPECT_STREQ(LogObjectNamesFor(LogIntegrityClass::Other).section,
                 L"Global\\{44749BB3-5E85-4546-AD4C-D83984AE4620}");
    EXPECT_STREQ(LogObjectNamesFor(LogIntegrityClass::Low).fileGuardEvent,
                 L"{EE052CA6-A8E9-46D8-A967-E132AF70C5B1}");
    EXPECT_STREQ(LogObjectNamesFor(LogIntegrityClass::Medium).recordReadyEvent,
                 L"{A228AA67-78BE-4BAC-AD4E-CFD785521218}");
}

TEST_F(LogFileTest, ConcurrentThreadsNeverMixTheirLinesOrRoutes) {
    constexpr int kThreads = 8;
    constexpr int kLines = 60;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                // Verbose statements interleave with file statements: their
                // refused routes must never leak into another thread's line.
                LOGW(LOG_VERBOSE, L"verbose %d %d\n", t, i);
                LOGW(LOG_INFO, L"thread %d line %d\n", t, i);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const std::wstring text = FileText();
    size_t lines = 0;
    for (size_t pos = 0; (pos = text.find(L"\r\n", pos)) != std::wstring::npos; pos += 2) ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
    EXPECT_EQ(text.find(L"verbose"), std::wstring::npos);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_NE(text.find(FormatW(L"thread %d line %d\r\n", t, kLines - 1)), std::wstring::npos);
    }
}

TEST_F(LogFileTest, ShuttingDownWhileOtherThreadsLogIsSafe) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&stop] {
            while (!stop.load()) LOGW(LOG_INFO, L"busy\n");
        });
    }
    for (int round = 0; round < 50; ++round) {
        LogUninit();
        ASSERT_EQ(LogInit(kTavriskModuleId), 1);
    }
    LogUninit();
    stop.store(true);
    for (std::thread& thread : threads) thread.join();
    const std::wstring text = FileText();
    // Every line that was written is whole.
    for (size_t pos = 0; (pos = text.find(L"06/15/31 ", pos)) != std::wstring::npos; ++pos) {
        const size_t end = text.find(L"\r\n", pos);
        ASSERT_NE(end, std::wstring::npos);
        EXPECT_EQ(text.substr(end - 4, 4), L"busy");
    }
}
