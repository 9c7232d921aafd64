#include <gtest/gtest.h>

#include <aclapi.h>

#include <atomic>
#include <string>
#include <thread>

#include "CommonFunction.h"
#include "FileReplace.h"
#include "INIFile.h"
#include "Owners.h"
#include "StringUtil.h"
#include "TestSupport.h"

using TestSupport::TempDir;

namespace {

struct ParseCase {
    const char* name;
    const wchar_t* text;
    IniSections expected;
};

const ParseCase kParseCases[] = {
    {"blank before equals stays in the key",
     L"[S]\r\na = b\r\nc=d\r\n",
     {{L"S", {{L"a ", L"b"}, {L"c", L"d"}}}}},
    {"pairs before the first header join it",
     L"x=1\n[S]\ny=2\n",
     {{L"S", {{L"x", L"1"}, {L"y", L"2"}}}}},
    {"pairs after an empty header join the next section",
     L"[]\nx=1\n[S]\ny=2",
     {{L"S", {{L"x", L"1"}, {L"y", L"2"}}}}},
    {"repeated header keeps its last occurrence",
     L"[S]\na=1\nb=2\n[T]\nc=3\n[S]\nb=9\n",
     {{L"S", {{L"b", L"9"}}}, {L"T", {{L"c", L"3"}}}}},
    {"repeated key keeps the last value", L"[S]\na=1\na=2\n", {{L"S", {{L"a", L"2"}}}}},
    {"comment line is skipped",
     L"[S]\r\n  ; a=comment\r\nk=v\r\n",
     {{L"S", {{L"k", L"v"}}}}},
    {"empty value is dropped", L"[S]\nk=\nj=1\n", {{L"S", {{L"j", L"1"}}}}},
    {"empty key is dropped", L"[S]\n=v\n", {{L"S", {}}}},
    {"last line without a line break", L"[S]\nk=v", {{L"S", {{L"k", L"v"}}}}},
    {"last line without equals is dropped", L"[S]\nk=v\nlonely", {{L"S", {{L"k", L"v"}}}}},
    {"line without equals runs into the next key",
     L"[S]\nab\ncd=1\n",
     {{L"S", {{L"ab\ncd", L"1"}}}}},
    {"header followed by a pair loses the pair's first character",
     L"[S]key=v\n",
     {{L"S", {{L"ey", L"v"}}}}},
    {"blanks after equals are skipped, trailing ones kept; tabs stay",
     L"[S]\n\tk=  v w  \n",
     {{L"S", {{L"\tk", L"v w  "}}}}},
    {"names are case-sensitive", L"[S]\nK=1\nk=2\n", {{L"S", {{L"K", L"1"}, {L"k", L"2"}}}}},
    {"section name keeps blanks", L"[ A b ]\nk=v\n", {{L" A b ", {{L"k", L"v"}}}}},
    {"unterminated header takes the pending pairs", L"x=1\n[S", {{L"S", {{L"x", L"1"}}}}},
    {"header at the very end", L"[S]", {{L"S", {}}}},
    {"pairs without any header are lost", L"a=1\nb=2\n", {}},
    {"empty text", L"", {}},
};

}  // namespace

TEST(IniParser, ParsesEveryCaseOfTheTable) {
    for (const ParseCase& c : kParseCases) {
        EXPECT_EQ(ParseIniText(c.text), c.expected) << c.name;
    }
}

TEST(IniParser, TextModeFoldsCrLfAndStopsAtCtrlZ) {
    EXPECT_EQ(TextModeBytes("a\r\nb\rc\n"), "a\nb\rc\n");
    EXPECT_EQ(TextModeBytes(std::string("k=v\x1a" "rest", 8)), "k=v");
    EXPECT_EQ(TextModeBytes("end\r"), "end\r");
}

TEST(IniParser, SerializesSortedWithCrLfAndDropsUnconvertibleTexts) {
    const IniSections sections{{L"b", {{L"z", L"1"}, {L"a", L"2"}}}, {L"A", {}}};
    EXPECT_EQ(SerializeIni(sections, 1252), "[A]\r\n[b]\r\na=2\r\nz=1\r\n");
    EXPECT_EQ(SerializeIni({{L"S", {{L"k", L"caf\u00e9"}}}}, 1252), "[S]\r\nk=caf\xe9\r\n");
}

namespace {

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    EXPECT_EQ(WriteWholeFileAtomic(path.c_str(), bytes), 1);
}

std::string ReadBytes(const std::wstring& path) {
    const auto bytes = TestSupport::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(IniFile, ReadsCodePage936AndRoundTripsThroughSave) {
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    // "\u4e2d\u6587" in code page 936.
    WriteBytes(path, "[Proxy]\r\nname=\xd6\xd0\xce\xc4\r\nport=8080\r\n");
    {
        INIFile ini(path.c_str());
        EXPECT_TRUE(ini.IsLoaded());
        wchar_t buffer[32] = {};
        EXPECT_EQ(ini.GetString(L"Proxy", L"name", buffer, 32, L"x"), 2);
        EXPECT_STREQ(buffer, L"\u4e2d\u6587");
        EXPECT_EQ(ini.GetInt(L"Proxy", L"port", 0), 8080);
        EXPECT_EQ(ini.GetInt(L"proxy", L"port", -7), -7);  // case-sensitive
        ini.SetString(L"Proxy", L"name", L"plain");
        ini.SetString(L"Proxy", L"gone", L"");
        ini.SetInt(L"New", L"min", INT_MIN);
        EXPECT_EQ(ini.Save(), 1);
    }
    EXPECT_EQ(ReadBytes(path),
              "[New]\r\nmin=-2147483648\r\n[Proxy]\r\ngone=\r\nname=plain\r\nport=8080\r\n");
    INIFile again(path.c_str());
    wchar_t buffer[32] = {};
    EXPECT_EQ(again.GetString(L"Proxy", L"gone", buffer, 32, L"dflt"), 4);
    EXPECT_STREQ(buffer, L"dflt");
    EXPECT_EQ(again.GetInt(L"New", L"min", 0), INT_MIN);
    EXPECT_EQ(again.GetString(L"New", L"min", buffer, 32, L""), 11);
    // Nothing but the file itself is left in the folder.
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW(dir.File(L"*.tmp").c_str(), &entry);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
}

TEST(IniFile, GetStringCutsButReportsTheFullLength) {
    TempDir dir;
    INIFile ini(dir.File(L"missing.ini").c_str());
    EXPECT_FALSE(ini.IsLoaded());
    ini.SetString(L"S", L"k", L"abcdef");
    wchar_t buffer[8] = {L'#', L'#', L'#', L'#', L'#', L'#', L'#', 0};
    EXPECT_EQ(ini.GetString(L"S", L"k", buffer, 4, L""), 6);
    EXPECT_STREQ(buffer, L"abc");
    // No room, or a negative size: nothing is copied.
    wchar_t untouched[4] = {L'x', L'y', L'z', 0};
    EXPECT_EQ(ini.GetString(L"S", L"k", untouched, 0, L""), 6);
    EXPECT_EQ(ini.GetString(L"S", L"k", untouched, -5, L""), 6);
    EXPECT_STREQ(untouched, L"xyz");
    EXPECT_EQ(ini.GetString(L"S", L"none", buffer, 8, L"dflt"), 4);
    EXPECT_STREQ(buffer, L"dflt");
}

TEST(IniFile, GetIntReadsLikeADecimalPrefixAndClamps) {
    TempDir dir;
    INIFile ini(dir.File(L"n.ini").c_str());
    const struct {
        const wchar_t* text;
        int expected;
    } cases[] = {{L"42", 42},           {L"  -17x", -17},         {L"+5", 5},
                 {L"abc", 0},           {L"99999999999", INT_MAX}, {L"-99999999999", INT_MIN},
                 {L"2147483647", INT_MAX}};
    for (const auto& c : cases) {
        ini.SetString(L"S", L"k", c.text);
        EXPECT_EQ(ini.GetInt(L"S", L"k", 1), c.expected) << c.text;
    }
}

TEST(IniFile, ZeroByteInsideTheFileFailsTheLoadAndIsNeverSavedOver) {
    TempDir dir;
    const std::wstring inner = dir.File(L"inner.ini");
    const std::string corrupt("[S]\r\na=1\0\r\nb=2\r\n[T]\r\nc=3\r\n", 26);
    WriteBytes(inner, corrupt);
    {
        INIFile a(inner.c_str());
        EXPECT_FALSE(a.IsLoaded());
        EXPECT_TRUE(a.LoadFailed());
        EXPECT_EQ(a.GetInt(L"S", L"a", -1), -1);
        // A save of one key would drop every other section and key.
        EXPECT_EQ(a.SetInt(L"OUTSIDE_PROXY_CONFIG", L"Resume", 1), 1);
        EXPECT_EQ(a.Save(), 0);
    }
    EXPECT_EQ(ReadBytes(inner), corrupt);

    // One zero closing the file is no fault.
    const std::wstring trailing = dir.File(L"trailing.ini");
    WriteBytes(trailing, std::string("[S]\r\na=1\0", 9));
    INIFile b(trailing.c_str());
    EXPECT_TRUE(b.IsLoaded());
    EXPECT_EQ(b.GetInt(L"S", L"a", -1), 1);

    // A missing file is no failure: the first save creates it.
    const std::wstring fresh = dir.File(L"fresh.ini");
    INIFile c(fresh.c_str());
    EXPECT_FALSE(c.IsLoaded());
    EXPECT_FALSE(c.LoadFailed());
    c.SetInt(L"S", L"k", 5);
    EXPECT_EQ(c.Save(), 1);
    EXPECT_EQ(ReadBytes(fresh), "[S]\r\nk=5\r\n");
}

TEST(IniFile, AFileHeldWithoutReadSharingFailsTheLoadAndIsKept) {
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    WriteBytes(path, "[S]\r\nk=old\r\n");
    Owners::UniqueHandle exclusive(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(exclusive);
    INIFile ini(path.c_str());
    EXPECT_TRUE(ini.LoadFailed());
    ini.SetString(L"S", L"j", L"new");
    EXPECT_EQ(ini.Save(), 0);
    exclusive.reset();
    EXPECT_EQ(ReadBytes(path), "[S]\r\nk=old\r\n");
}

TEST(IniDecode, EachLineIsDecodedOnItsOwn) {
    const struct {
        const char* name;
        std::string bytes;
        bool ok;
        const wchar_t* text;
    } cases[] = {
        {"code page 936", "k=\xd6\xd0\xce\xc4\nj=1", true, L"k=\u4e2d\u6587\nj=1"},
        // 0xE9 is a lead byte in 936: it must not take the line break.
        {"ANSI byte before a line break", "k=caf\xe9\nj=1\n", true, L"k=caf\u00e9\nj=1\n"},
        {"ANSI byte before a lone CR", "k=\xe9\rj=1", true, L"k=\u00e9\rj=1"},
        {"zero inside", std::string("k=1\0\nj=2", 9), false, L""},
        {"zero closing the file", std::string("k=1\0", 4), true, L"k=1"},
        {"empty", "", true, L""},
    };
    for (const auto& c : cases) {
        std::wstring text = L"untouched";
        EXPECT_EQ(DecodeIniBytes(c.bytes, text), c.ok) << c.name;
        EXPECT_EQ(text, c.ok ? std::wstring(c.text) : std::wstring(L"untouched")) << c.name;
    }
}

TEST(IniFile, AValueOutsideAsciiNeverSwallowsTheNextKey) {
    if (::GetACP() == 936) GTEST_SKIP() << "the ANSI code page is 936: nothing to mix up";
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    {
        INIFile ini(path.c_str());
        // Sorted: "a" ends with a byte above 0x7F right before the line break.
        ini.SetString(L"S", L"a", L"caf\u00e9");
        ini.SetString(L"S", L"b", L"next");
        ini.SetString(L"S", L"c", L"\u00e9t\u00e9");
        ASSERT_EQ(ini.Save(), 1);
    }
    INIFile again(path.c_str());
    wchar_t buffer[32] = {};
    EXPECT_EQ(again.GetString(L"S", L"b", buffer, 32, L"lost"), 4);
    EXPECT_STREQ(buffer, L"next");
    again.GetString(L"S", L"a", buffer, 32, L"lost");
    EXPECT_STREQ(buffer, L"caf\u00e9");
    again.GetString(L"S", L"c", buffer, 32, L"lost");
    EXPECT_STREQ(buffer, L"\u00e9t\u00e9");
}

TEST(IniFile, RefusesNamesKeysAndValuesThatWouldChangeOtherKeys) {
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    INIFile ini(path.c_str());
    ASSERT_EQ(ini.SetString(L"S", L"keep", L"1"), 1);
    const struct {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* value;
    } refused[] = {
        {L"S", L"v", L"x\r\nkeep=2"},   {L"S", L"v", L"x\n[T]"},  {L"S", L"v", L"x\ry"},
        {L"S", L"v", L"x\x1ay"},         {L"S", L"keep=2", L"x"},   {L"S", L"k\ney", L"x"},
        {L"S", L";k", L"x"},              {L"S", L"[T]", L"x"},      {L"S", L" k", L"x"},
        {L"S", L"", L"x"},                {L"S]\r\nkeep", L"k", L"x"}, {L"S]", L"k", L"x"},
        {L"", L"k", L"x"},                {L"S\nT", L"k", L"x"},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(ini.SetString(c.section, c.key, c.value), 0) << c.section << L"/" << c.key;
    }
    EXPECT_EQ(ini.SetInt(L"S", L"a=b", 3), 0);
    EXPECT_EQ(ini.SetString(nullptr, L"k", L"x"), 0);
    // What the format holds is still accepted.
    EXPECT_EQ(ini.SetString(L" A b ", L"k ]x;[", L" v=w ;[x] "), 1);
    EXPECT_EQ(ini.SetString(L"S", L"empty", L""), 1);
    ASSERT_EQ(ini.Save(), 1);
    EXPECT_EQ(ReadBytes(path), "[ A b ]\r\nk ]x;[= v=w ;[x] \r\n[S]\r\nempty=\r\nkeep=1\r\n");
}

TEST(IniFile, OverlongPathGivesAnEmptyObjectThatCannotSave) {
    const std::wstring path = L"C:\\" + std::wstring(300, L'a') + L".ini";
    INIFile ini(path.c_str());
    EXPECT_FALSE(ini.IsLoaded());
    ini.SetString(L"S", L"k", L"v");
    EXPECT_EQ(ini.Save(), 0);
}

TEST(IniFile, SaveFailureIsReportedAndLeavesTheFileIntact) {
    TempDir dir;
    const std::wstring path = dir.File(L"ro.ini");
    WriteBytes(path, "[S]\r\nk=old\r\n");
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    INIFile ini(path.c_str());
    ini.SetString(L"S", L"k", L"new");
    EXPECT_EQ(ini.Save(), 0);
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadBytes(path), "[S]\r\nk=old\r\n");

    // A folder where the file should be: nothing can be written.
    const std::wstring folder = dir.File(L"folder.ini");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    INIFile onFolder(folder.c_str());
    onFolder.SetString(L"S", L"k", L"v");
    EXPECT_EQ(onFolder.Save(), 0);
}

TEST(IniFile, SaveKeepsTheFilesNullDacl) {
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    WriteBytes(path, "[S]\r\nk=v\r\n");
    ASSERT_EQ(::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                      nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    auto daclIsNull = [&](bool& isNull) {
        PACL dacl = reinterpret_cast<PACL>(1);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD status = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                                     DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                     &dacl, nullptr, &descriptor);
        isNull = status == ERROR_SUCCESS && dacl == nullptr;
        if (descriptor) ::LocalFree(descriptor);
        return status == ERROR_SUCCESS;
    };
    bool before = false;
    ASSERT_TRUE(daclIsNull(before));
    if (!before) GTEST_SKIP() << "Wine keeps no NULL DACL on files";
    INIFile ini(path.c_str());
    ini.SetString(L"S", L"k", L"w");
    ASSERT_EQ(ini.Save(), 1);
    bool after = false;
    ASSERT_TRUE(daclIsNull(after));
    EXPECT_TRUE(after);
}

namespace {

// Holds a file open the way fopen and most readers do: read and write
// sharing, no delete sharing, so that a replace of it fails while it is open.
class Reader {
public:
    explicit Reader(const std::wstring& path)
        : m_file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    bool open() const { return static_cast<bool>(m_file); }
    void CloseAfter(DWORD ms) {
        m_closer = std::thread([this, ms] {
            ::Sleep(ms);
            m_file.reset();
        });
    }
    ~Reader() {
        if (m_closer.joinable()) m_closer.join();
    }

private:
    Owners::UniqueHandle m_file;
    std::thread m_closer;
};

// The names of the save's own files left beside Proxy.ini, if any. (Wine's
// ReplaceFileW leaves files "rf*.tmp" of its own behind when it fails.)
std::string CompanionsLeft(const TempDir& dir) {
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW(dir.File(L"Proxy.ini.*_*.tmp").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return "";
    std::string names;
    do {
        names += CodePageFromWide(entry.cFileName, CP_UTF8) + " ";
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return names;
}

}  // namespace

TEST(FileReplace, WaitsForAReaderThatLetsGoAndThenReplacesWhole) {
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    WriteBytes(path, "old");
    Reader reader(path);
    ASSERT_TRUE(reader.open());
    reader.CloseAfter(300);
    EXPECT_EQ(WriteWholeFileAtomic(path.c_str(), "new content"), 1);
    EXPECT_EQ(ReadBytes(path), "new content");
    EXPECT_EQ(CompanionsLeft(dir), "");
}

TEST(FileReplace, AReaderThatNeverLetsGoFailsTheSaveAndKeepsTheOldContent) {
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    WriteBytes(path, "[S]\r\nk=old\r\n");
    {
        Reader reader(path);
        ASSERT_TRUE(reader.open());
        reader.CloseAfter(kReplaceRetryMs + 1500);
        INIFile ini(path.c_str());
        ini.SetString(L"S", L"k", L"new");
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(ini.Save(), 0);
        EXPECT_GE(::GetTickCount64() - start, kReplaceRetryMs - 100);
        // Never written in place, not even for a moment.
        EXPECT_EQ(ReadBytes(path), "[S]\r\nk=old\r\n");
    }
    EXPECT_EQ(CompanionsLeft(dir), "");
}

TEST(FileReplace, ReadersNeverSeeACutFileWhileSavesRun) {
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    const std::string a(200000, 'a'), b(300000, 'b');
    WriteBytes(path, a);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!done) {
            Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) continue;
            std::string bytes;
            char chunk[65536];
            DWORD got = 0;
            while (::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
                bytes.append(chunk, got);
            }
            file.reset();
            ++reads;
            if (bytes != a && bytes != b) ++torn;
            ::Sleep(2);
        }
    });
    int saved = 0;
    for (int i = 0; i < 40; ++i) saved += WriteWholeFileAtomic(path.c_str(), i % 2 ? a : b);
    done = true;
    reader.join();
    EXPECT_EQ(saved, 40);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(CompanionsLeft(dir), "");
}

TEST(FileReplace, RemovesOnlyTheCompanionsOfSavesWhoseProcessIsGone) {
    TempDir dir;
    const std::wstring path = dir.File(L"Proxy.ini");
    Owners::UniqueHandle ended(TestSupport::StartProcess(L"cmd.exe /c exit 0"));
    ASSERT_TRUE(ended);
    ASSERT_EQ(::WaitForSingleObject(ended.get(), 30000), WAIT_OBJECT_0);
    const DWORD gone = ::GetProcessId(ended.get());
    ended.reset();
    const std::wstring orphan = ReplaceCompanionName(path.c_str(), gone, 7, L"tmp");
    const std::wstring ours = ReplaceCompanionName(path.c_str(), ::GetCurrentProcessId(), 1, L"tmp");
    const std::wstring other = dir.File(L"Proxy.ini.notes.tmp");
    const std::wstring otherFile = ReplaceCompanionName(dir.File(L"Other.ini").c_str(), gone, 7, L"tmp");
    for (const auto& name : {orphan, ours, other, otherFile}) WriteBytes(name, "x");

    // Without the file itself an orphan may be its only copy: kept.
    RemoveOrphanedReplaceCompanions(path.c_str());
    EXPECT_TRUE(TestSupport::FileExists(orphan));

    EXPECT_EQ(WriteWholeFileAtomic(path.c_str(), "content"), 1);
    EXPECT_FALSE(TestSupport::FileExists(orphan));
    EXPECT_TRUE(TestSupport::FileExists(ours));
    EXPECT_TRUE(TestSupport::FileExists(other));
    EXPECT_TRUE(TestSupport::FileExists(otherFile));
}
