#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <string>

#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "TestSupport.h"

using namespace TestSupport;

namespace {

// The section of this process's class, mapped for the test to change levels.
class SharedTable {
public:
    SharedTable() {
        m_section.reset(::OpenFileMappingW(
            FILE_MAP_ALL_ACCESS, FALSE,
            LogObjectNamesFor(IntegrityClassOf(CLogContext::Instance().IntegrityRid())).section));
        if (m_section) {
            m_view.reset(::MapViewOfFile(m_section.get(), FILE_MAP_ALL_ACCESS, 0, 0,
                                         sizeof(LogSharedSection)));
        }
    }
    ~SharedTable() {
        if (m_view) Modules()[kTavriskModuleId].level = LOG_INFO;
    }
    LogModuleEntry* Modules() { return static_cast<LogSharedSection*>(m_view.get())->modules; }
    bool ok() const { return static_cast<bool>(m_view); }

private:
    Owners::UniqueHandle m_section;
    Owners::UniqueView m_view;
};

class LogViewerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(LogInit(kTavriskModuleId), 1); }
    void TearDown() override { LogUninit(); }

    // Starts the fake viewer and waits until its events exist.
    HANDLE StartViewer(const std::wstring& options, int records, int timeoutMs) {
        const std::wstring command = L"\"" + TestBinDir() + L"\\fakeviewer.exe\" other \"" +
                                     m_records + L"\" \"" + m_ready + L"\" " +
                                     std::to_wstring(records) + L" " +
                                     std::to_wstring(timeoutMs) + L" " + options;
        HANDLE process = StartProcess(command);
        for (int i = 0; i < 200 && process && !FileExists(m_ready); ++i) ::Sleep(50);
        return process;
    }

    TempDir m_dir;
    std::wstring m_records = m_dir.File(L"records.txt");
    std::wstring m_ready = m_dir.File(L"ready");
};

std::wstring TodaysLogFile() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return CLogContext::Instance().LogFolder() +
           FormatW(L"%04u-%02u-%02u.txt", now.wYear, now.wMonth, now.wDay);
}

std::string ExecutableName() {
    wchar_t name[260] = {};
    ::GetModuleBaseNameW(::GetCurrentProcess(), nullptr, name, 259);
    return CodePageFromWide(name, CP_UTF8);
}

}  // namespace

TEST(LogSection, HasTheStaticModuleRowsAndTheCrossProcessLayout) {
    ASSERT_EQ(LogInit(kTavriskModuleId), 1);
    SharedTable table;
    ASSERT_TRUE(table.ok());
    for (int row = 0; row < kModuleTableRows; ++row) {
        EXPECT_EQ(table.Modules()[row].moduleId, static_cast<uint32_t>(row));
        EXPECT_EQ(table.Modules()[row].level, LOG_INFO);
        EXPECT_STREQ(table.Modules()[row].name, g_LogModuleTable[row].name);
    }
    EXPECT_STREQ(table.Modules()[0].name, L"All Modules");
    EXPECT_STREQ(table.Modules()[10].name, L"Tavrisk");
    for (int row = kModuleTableRows; row < kSharedModuleRows; ++row) {
        EXPECT_EQ(table.Modules()[row].name[0], L'\0');
        EXPECT_EQ(table.Modules()[row].level, 0);
    }
    LogUninit();
}

TEST_F(LogViewerTest, AWaitingViewerReceivesEveryStatementItsLevelsAllow) {
    SharedTable table;
    ASSERT_TRUE(table.ok());
    Owners::UniqueHandle viewer(StartViewer(L"", 3, 30000));
    ASSERT_TRUE(viewer);
    ASSERT_TRUE(FileExists(m_ready));

    const int first = __LINE__ + 1;
    LOGW(LOG_INFO, L"to viewer %d\n", 1);
    const int second = __LINE__ + 1;
    LOGW(LOG_OFF, L"level zero\n");
    LOGW(LOG_VERBOSE, L"verbose dropped\n");
    table.Modules()[kTavriskModuleId].level = LOG_VERBOSE;
    const int third = __LINE__ + 1;
    LOGA(LOG_VERBOSE, "verbose %s\n", "now");

    ASSERT_EQ(::WaitForSingleObject(viewer.get(), 30000), WAIT_OBJECT_0);
    const std::string exe = ExecutableName();
    const std::string expected =
        "10|3|" + std::to_string(first) + "|LogViewerTest.cpp|" + exe + "|to viewer 1\\n\n" +
        "10|0|" + std::to_string(second) + "|LogViewerTest.cpp|" + exe + "|level zero\\n\n" +
        "10|4|" + std::to_string(third) + "|LogViewerTest.cpp|" + exe + "|verbose now\\n\n";
    EXPECT_EQ(ReadTextFile(m_records), expected);
}

TEST_F(LogViewerTest, AViewerThatWantsNoRecordsGetsNoneAndTheFileStillDoes) {
    Owners::UniqueHandle viewer(StartViewer(L"nowants", 1, 2500));
    ASSERT_TRUE(viewer);
    const std::wstring marker = FormatW(L"viewer wants nothing %lu\n", ::GetTickCount());
    LOGW(LOG_INFO, L"%s", marker.c_str());
    ASSERT_EQ(::WaitForSingleObject(viewer.get(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(ReadTextFile(m_records), "");
    EXPECT_NE(ReadUtf16File(TodaysLogFile()).find(ReplaceAll(marker, L"\n", L"\r\n")),
              std::wstring::npos);
}

TEST_F(LogViewerTest, SharedLevelsGateTheFileAndSurviveAnotherProcess) {
    SharedTable table;
    ASSERT_TRUE(table.ok());
    table.Modules()[kTavriskModuleId].level = LOG_OFF;
    const std::wstring marker = FormatW(L"gated %lu\n", ::GetTickCount());
    LOGW(LOG_ERROR, L"%s", marker.c_str());
    EXPECT_EQ(ReadUtf16File(TodaysLogFile()).find(marker.substr(0, marker.size() - 1)),
              std::wstring::npos);

    // A second process finds the section and keeps the level set in it:
    // with WARNING it writes its warning but not its INFO lines.
    table.Modules()[kTavriskModuleId].level = LOG_WARNING;
    // Process ids are reused: only lines written after this point count.
    const size_t before = ReadUtf16File(TodaysLogFile()).size();
    Owners::UniqueHandle child(StartProcess(L"\"" + BinDir() + L"\\Pelkora.exe\" nothing"));
    ASSERT_TRUE(child);
    const DWORD pid = ::GetProcessId(child.get());
    ASSERT_EQ(::WaitForSingleObject(child.get(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(table.Modules()[kTavriskModuleId].level, LOG_WARNING);
    const std::wstring text = ReadUtf16File(TodaysLogFile()).substr(before);
    const std::wstring tag = FormatW(L"P-%lu: ", pid);
    EXPECT_NE(text.find(tag), std::wstring::npos);
    size_t lines = 0;
    for (size_t pos = 0; (pos = text.find(tag, pos)) != std::wstring::npos; ++pos) {
        ++lines;
        const size_t end = text.find(L"\r\n", pos);
        EXPECT_NE(text.substr(pos, end - pos).find(L"(WARNING)"), std::wstring::npos)
            << std::string(text.begin() + pos, text.begin() + end);
    }
    EXPECT_EQ(lines, 1u) << "only the missing-event warning";
}
