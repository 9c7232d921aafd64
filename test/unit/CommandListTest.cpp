#include <gtest/gtest.h>

#include <shlwapi.h>

#include <atomic>
#include <string>
#include <vector>

#include "CommonFunction.h"
#include "InstallThreads.h"
#include "TestSupport.h"
#include "utility.h"

using TestSupport::ScopedRegistryKey;
using TestSupport::TempDir;

namespace {
constexpr const wchar_t* kConnectedKey = L"SOFTWARE\\VPN\\VPN2\\ConnectedCMD";
constexpr const wchar_t* kDisconnectedKey = L"SOFTWARE\\VPN\\VPN2\\DisconnectedCMD";

bool KeyExists(HKEY root, const wchar_t* subKey) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
}

std::vector<std::wstring> Texts(const CommandList& list) {
    std::vector<std::wstring> texts;
    for (const auto& entry : list) texts.emplace_back(entry.c_str());
    return texts;
}

using TestSupport::RecordFile;

std::wstring Recorder() { return TestSupport::TestBinDir() + L"\\recorder.exe"; }

}  // namespace

TEST(LaunchCommand, SplitsEveryCaseOfTheTable) {
    const struct {
        const wchar_t* command;
        bool split;
        int position;
        const wchar_t* program;
        const wchar_t* parameters;
    } cases[] = {
        {L"D:\\Tools\\App.EXE /Q", true, 12, L"D:\\Tools\\App.EXE ", L"/Q"},
        {L"'D:\\Program Files\\App.exe' /x", true, 21, L"\"D:\\Program Files\\App.exe\"", L" /x"},
        {L"notepad.exe", false, -1, L"notepad.exe", L""},
        {L"a.exe 'quoted arg'", true, 1, L"a.exe ", L"\"quoted arg\""},
        {L"run.exe b.exe c", true, 3, L"run.exe ", L"b.exe c"},
        {L"C:\\x\\job.bat arg", false, -1, L"C:\\x\\job.bat arg", L""},
        {L"it's.exe", false, -1, L"it's.exe", L""},
        {L"'C:\\A B\\x.exe' 'One Arg'", true, 9, L"\"C:\\A B\\x.exe\"", L" \"One Arg\""},
    };
    for (const auto& c : cases) {
        const CommandSplit s = SplitLaunchCommand(c.command);
        EXPECT_EQ(s.split, c.split) << c.command;
        EXPECT_EQ(s.position, c.position) << c.command;
        EXPECT_EQ(s.program, c.program) << c.command;
        EXPECT_EQ(s.parameters, c.parameters) << c.command;
    }
}

TEST(LaunchCommandList, ReadsPresentValuesInOrderAndDeletesTheKey) {
    ScopedRegistryKey key(HKEY_CURRENT_USER, kConnectedKey);
    key.SetDword(L"number", 3);
    key.SetString(L"LaunchCommand00", L"first.exe");
    key.SetString(L"LaunchCommand02", L"third.exe /a");
    key.SetString(L"LaunchCommand03", L"beyond.exe");
    CommandList list;
    list.push_back(Owners::UniqueBstr::FromText(L"stale"));
    GetLaunchCommandList(list, true);
    EXPECT_EQ(Texts(list), (std::vector<std::wstring>{L"first.exe", L"third.exe /a"}));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kConnectedKey));
}

TEST(LaunchCommandList, ACommandThatDoesNotFitIsSkippedNeverRunCut) {
    TestSupport::ScopedTestLog log(TestSupport::MakeTime(2031, 3, 4, 5, 6, 7, 8));
    ScopedRegistryKey key(HKEY_CURRENT_USER, kConnectedKey);
    key.SetDword(L"number", 3);
    const std::wstring longest = L"fits.exe " + std::wstring(510, L'a');  // 519 characters
    key.SetString(L"LaunchCommand00", longest);
    key.SetString(L"LaunchCommand01", L"cut.exe " + std::wstring(512, L'b'));  // 520
    key.SetString(L"LaunchCommand02", L"after.exe");
    CommandList list;
    GetLaunchCommandList(list, true);
    EXPECT_EQ(Texts(list), (std::vector<std::wstring>{longest, L"after.exe"}));
    EXPECT_NE(log.Text().find("GetLaunchCommandList :launch command LaunchCommand01 is longer "
                              "than 519 characters, it is not run.\r\n"),
              std::string::npos)
        << log.Text();
}

TEST(LaunchCommandList, KeyIsDeletedAlsoWithoutACount) {
    for (const bool withZero : {true, false}) {
        ScopedRegistryKey key(HKEY_CURRENT_USER, kDisconnectedKey);
        if (withZero) key.SetDword(L"number", 0);
        key.SetString(L"LaunchCommand00", L"x.exe");
        CommandList list;
        GetLaunchCommandList(list, false);
        EXPECT_TRUE(list.empty());
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kDisconnectedKey));
    }
}

TEST(LaunchCommandList, HugeCountIsCappedAndThreeDigitIndexesAreRead) {
    ScopedRegistryKey key(HKEY_CURRENT_USER, kConnectedKey);
    key.SetDword(L"number", 0xFFFFFFFF);
    key.SetString(L"LaunchCommand05", L"five.exe");
    key.SetString(L"LaunchCommand123", L"many.exe");
    key.SetString(L"LaunchCommand999", L"last.exe");
    key.SetString(L"LaunchCommand1000", L"capped.exe");
    CommandList list;
    GetLaunchCommandList(list, true);
    EXPECT_EQ(Texts(list), (std::vector<std::wstring>{L"five.exe", L"many.exe", L"last.exe"}));
}

TEST(LaunchCommandList, OverlongStoredTextIsCutAndTerminated) {
    ScopedRegistryKey key(HKEY_CURRENT_USER, kConnectedKey);
    key.SetDword(L"number", 1);
    key.SetString(L"LaunchCommand00", std::wstring(600, L'a'));
    CommandList list;
    GetLaunchCommandList(list, true);
    // Too long for the value buffer: the read fails and the entry is skipped.
    EXPECT_TRUE(list.empty());
}

TEST(CommandListExecute, RunsProgramsWithTheirOwnCaseOfArguments) {
    RecordFile record;
    CommandList list;
    list.push_back(Owners::UniqueBstr::FromText((Recorder() + L" /Q Mixed").c_str()));
    list.push_back(Owners::UniqueBstr::FromText((L"'" + Recorder() + L"' 'Two Words'").c_str()));
    EXPECT_EQ(CommandListExecute(list), 1);
    const std::string lines = record.Lines(2);
    EXPECT_NE(lines.find("/Q Mixed"), std::string::npos) << lines;
    EXPECT_NE(lines.find("\"Two Words\""), std::string::npos) << lines;
}

TEST(CommandListExecute, BatchFilesGoToTheCommandProcessor) {
    RecordFile record;
    const std::wstring batch = record.dir().File(L"job.bat");
    const std::wstring marker = record.dir().File(L"ran.txt");
    {
        const std::string body = "@echo %1 > \"" + CodePageFromWide(marker) + "\"\r\n";
        ASSERT_EQ(WriteWholeFileAtomic(batch.c_str(), body), 1);
    }
    CommandList list;
    list.push_back(Owners::UniqueBstr::FromText((batch + L" hello").c_str()));
    EXPECT_EQ(CommandListExecute(list), 1);
    EXPECT_TRUE(TestSupport::FileExists(marker));

    // A folder whose name the ANSI code page cannot hold is the folder run.
    const std::wstring folder = record.dir().File(L"\u0141\u00f3d\u017a");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring otherMarker = record.dir().File(L"ran-too.txt");
    {
        const std::string body = "@echo %1 > \"" + CodePageFromWide(otherMarker) + "\"\r\n";
        ASSERT_EQ(WriteWholeFileAtomic((folder + L"\\job.bat").c_str(), body), 1);
    }
    CommandList wide;
    wide.push_back(Owners::UniqueBstr::FromText((folder + L"\\job.bat hello").c_str()));
    EXPECT_EQ(CommandListExecute(wide), 1);
    EXPECT_TRUE(TestSupport::FileExists(otherMarker));

    CommandList unknown;
    unknown.push_back(Owners::UniqueBstr::FromText(L"Z:\\no\\such\\program.exe /x"));
    EXPECT_EQ(CommandListExecute(unknown), 0);
    EXPECT_EQ(CommandListExecute(CommandList{}), 1);
}

TEST(CommandListExecute, ABatchFileThatRunsOnHoldsNeitherTheListNorTheProgram) {
    TestSupport::ScopedTestLog log(TestSupport::MakeTime(2031, 3, 6, 5, 6, 7, 8));
    log.clock().SetWaitCap(300);  // the bounded wait for the command processor ends at once
    RecordFile record;
    const std::wstring batch = record.dir().File(L"long.bat");
    {
        // The batch file runs a program that sleeps for two minutes.
        const std::string body = "@\"" + CodePageFromWide(Recorder()) +
                                 "\" -signal Local\\QuarloNobodyWaits 120000\r\n";
        ASSERT_EQ(WriteWholeFileAtomic(batch.c_str(), body), 1);
    }
    struct Run {
        CommandList list;
        std::atomic<int> result{-1};
    } run;
    run.list.push_back(Owners::UniqueBstr::FromText((batch + L" hello").c_str()));
    run.list.push_back(Owners::UniqueBstr::FromText((Recorder() + L" /after").c_str()));
    Owners::UniqueHandle thread(::CreateThread(
        nullptr, 0,
        [](void* context) -> DWORD {
            auto* r = static_cast<Run*>(context);
            r->result = CommandListExecute(r->list);
            return 0;
        },
        &run, 0, nullptr));
    ASSERT_TRUE(thread);
    const bool returned = ::WaitForSingleObject(thread.get(), 20000) == WAIT_OBJECT_0;
    const std::string lines = record.Lines(1);
    // The sleeper is this test's own; the list must not wait for it.
    StopProcessByName(L"recorder.exe");
    if (!returned) ::WaitForSingleObject(thread.get(), 30000);
    EXPECT_TRUE(returned) << "the list waited for the batch file to end";
    EXPECT_EQ(run.result.load(), 1);
    EXPECT_NE(lines.find("/after"), std::string::npos) << lines;
    EXPECT_NE(log.Text().find("hello still runs after 60000 ms, the list goes on\r\n"),
              std::string::npos)
        << log.Text();
}

TEST(SleepWithMessageLoop, TimeOutZeroReturnsAtOnce) {
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(SleepWithMessageLoop(L"Local\\QuarloSleepZero", 0, QS_ALLINPUT));
    EXPECT_LT(::GetTickCount() - start, 500u);
}

TEST(SleepWithMessageLoop, SeesAnEventSetByAnotherProcessWithinASecond) {
    const wchar_t* name = L"Global\\QuarloSleepTestEvent";
    // Created here first, so the other process only opens it.
    Owners::UniqueHandle keep(::CreateEventW(nullptr, FALSE, FALSE, name));
    Owners::UniqueHandle child(
        TestSupport::StartProcess(L"\"" + Recorder() + L"\" -signal " + name + L" 300"));
    ASSERT_TRUE(child);
    const DWORD start = ::GetTickCount();
    EXPECT_TRUE(SleepWithMessageLoop(name, INFINITE, QS_ALLINPUT));
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 1500u);
    ::WaitForSingleObject(child.get(), 10000);
}

TEST(SleepWithMessageLoop, DispatchesMessagesWhileWaitingAndTimesOut) {
    static int timerCalls = 0;
    timerCalls = 0;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 100, [](HWND, UINT, UINT_PTR, DWORD) {
        ++timerCalls;
    });
    ASSERT_NE(timer, 0u);
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_NULL, 0, 0);
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(SleepWithMessageLoop(L"Local\\QuarloSleepTimeout", 1500, QS_ALLINPUT));
    const DWORD elapsed = ::GetTickCount() - start;
    ::KillTimer(nullptr, timer);
    EXPECT_GE(elapsed, 1400u);
    EXPECT_LT(elapsed, 3000u);
    EXPECT_GE(timerCalls, 2);
}

TEST(PasswordEncoding, EncodesFourDigitsPerByteAndDecodesBack) {
    EXPECT_EQ(EncodePassword(""), "");
    const std::string one = EncodePassword("A");
    EXPECT_EQ(one, FormatA("%04x", static_cast<unsigned>(0x41 ^ PasswordKeyTable[0]) & 0xFFFF));
    // Byte 32 uses entry 0 again.
    const std::string encoded = EncodePassword(std::string(33, 'A'));
    ASSERT_EQ(encoded.size(), 132u);
    EXPECT_EQ(encoded.substr(128), one);
    // 0x80 and above sign-extend: the first two digits differ from the byte
    // with the same low seven bits.
    const std::string high = EncodePassword("\xC1");
    EXPECT_NE(high.substr(0, 2), one.substr(0, 2));
    EXPECT_EQ(DecodePassword(high.c_str()), "\xC1");
    EXPECT_EQ(DecodePassword(nullptr), "");
    EXPECT_EQ(DecodePassword("abc"), "");
    EXPECT_EQ(DecodePassword((EncodePassword("xy") + "f").c_str()), "xy");
    // A decoded zero byte ends the plain text.
    EXPECT_EQ(DecodePassword(EncodePassword(std::string("a\0b", 3)).c_str()), "a");
}

TEST(PasswordEncoding, RoundTripsAnyLengthWithoutZeroBytes) {
    for (size_t length : {1u, 31u, 32u, 255u, 256u, 257u, 5000u}) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text += static_cast<char>(1 + (i * 37) % 255);
        const std::string encoded = EncodePassword(text);
        EXPECT_EQ(encoded.size(), 4 * length);
        EXPECT_EQ(DecodePassword(encoded.c_str()), text) << length;
    }
}

TEST(StoredPassword, TheLogGivesAwayNoDigitOfTheStoredText) {
    ScopedRegistryKey vpn2(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2");
    ScopedRegistryKey installManager(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager");
    TestSupport::ScopedTestLog log(TestSupport::MakeTime(2031, 3, 5, 5, 6, 7, 8));
    const std::string encoded = EncodePassword("Secret1");
    // The last two digits of a group are its byte XOR the key's low byte:
    // with the fixed table they name the password's last character.
    const unsigned lastGroup = std::stoul(encoded.substr(encoded.size() - 4), nullptr, 16);
    ASSERT_EQ((lastGroup ^ PasswordKeyTable[6]) & 0xFF, static_cast<unsigned>('1'));
    BVSavePassword(encoded);
    const std::string text = log.Text();
    EXPECT_NE(text.find("BVSavePassword finished, ret:0, value:******.\r\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find(encoded.substr(encoded.size() - 2) + ".\r\n"), std::string::npos) << text;
}

TEST(StoredPassword, SavesTheTextWithItsTerminatorAndTheSessionFlag) {
    ScopedRegistryKey vpn2(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2");
    BVSavePassword("");
    DWORD type = 0;
    char buffer[64] = {};
    DWORD size = sizeof(buffer);
    ASSERT_EQ(::SHGetValueA(HKEY_CURRENT_USER, "SOFTWARE\\VPN\\VPN2", "EncodePassword", &type,
                            buffer, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 1u);

    ScopedRegistryKey aaa(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2\\AAA");
    aaa.SetString(L"token", L"t");
    SetWebNoSessionFlag(1);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2\\AAA"));
    DWORD flag = 7;
    EXPECT_EQ(ReadRegistryDword(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2", L"BVWebNoSession", flag),
              ERROR_SUCCESS);
    EXPECT_EQ(flag, 1u);
    SetWebNoSessionFlag(0);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2\\AAA"));
    ReadRegistryDword(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2", L"BVWebNoSession", flag);
    EXPECT_EQ(flag, 0u);
}
