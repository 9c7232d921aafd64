// The Proxy.ini accessor: file creation, readers' defaults and bounds, the
// capture reset, and updates from several threads and processes.
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Owners.h"
#include "ProxyIniTestSupport.h"
#include "StringUtil.h"

namespace {

using namespace ProxyIni;
using ProxyIniTest::UserTempTest;

std::wstring Path(const std::wstring& folder) { return folder + L"\\Proxy.ini"; }

void WriteFile(const std::wstring& path, const std::string& bytes) {
    Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                            nullptr));
}

class ProxyIniUpdate : public UserTempTest {};

// Every integrity level opens the file: no DACL at all, not an empty one.
bool HasNullDacl(const std::wstring& path) {
    PACL dacl = reinterpret_cast<PACL>(1);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    Owners::UniqueLocalMem owner(descriptor);
    return dacl == nullptr;
}

TEST_F(ProxyIniUpdate, CreatesTheFolderAndAFileWithoutDacl) {
    const std::wstring path = IniPath(0);
    ASSERT_EQ(path, Path(ConfDir(L"VPN")));
    ASSERT_TRUE(CreateFileIfMissing(path, L"Writer"));
    if (!HasNullDacl(path) && TestSupport::RunningUnderWine()) {
        GTEST_SKIP() << "Wine: a file created with a NULL DACL reads back with a default DACL";
    }
    EXPECT_TRUE(HasNullDacl(path));
    ASSERT_EQ(Update(path, L"Writer", Create::CreateIfMissing,
                     [](Editor& e) { e.Set(Key::IEProxyShouldResumeDial, 1); }),
              UpdateResult::Saved);
    EXPECT_EQ(Reader(path).Get(Key::IEProxyShouldResumeDial, 0), 1);
    EXPECT_TRUE(HasNullDacl(path));  // the atomic save keeps it
}

TEST_F(ProxyIniUpdate, ExistingOnlyWritersNeverCreateTheFile) {
    const std::wstring path = IniPath(0);
    bool edited = false;
    EXPECT_EQ(Update(path, L"Writer", Create::ExistingOnly, [&](Editor&) { edited = true; }),
              UpdateResult::Missing);
    EXPECT_FALSE(edited);
    EXPECT_FALSE(TestSupport::FileExists(path));
    EXPECT_FALSE(TestSupport::FileExists(ConfDir(L"VPN")));
}

TEST_F(ProxyIniUpdate, AFileThatCannotBeCreatedIsNotWritten) {
    // "Low" is a file, so neither the folder nor the file can be made.
    WriteFile(m_temp.File(L"Low"), "x");
    bool edited = false;
    EXPECT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing, [&](Editor&) { edited = true; }),
              UpdateResult::NotCreated);
    EXPECT_FALSE(edited);
    const std::string log = LogText();
    EXPECT_NE(log.find("Writer: create dir " + CodePageFromWide(ConfDir(L"VPN")) + " failed, error is "),
              std::string::npos) << log;
    EXPECT_NE(log.find("Writer: Create configure file failed. File = " +
                       CodePageFromWide(IniPath(0)) + ". Error = "),
              std::string::npos) << log;
}

TEST_F(ProxyIniUpdate, AFileThatCannotBeReadOrWrittenKeepsItsKeys) {
    ASSERT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing,
                     [](Editor& e) { e.Set(Key::IEProxyServer, L"proxy:8080"); }),
              UpdateResult::Saved);
    const std::vector<unsigned char> before = TestSupport::ReadFileBytes(IniPath(0));
    {
        // Held open by someone who shares nothing: the load fails, and
        // saving the empty object would wipe the captured server.
        Owners::UniqueHandle exclusive(::CreateFileW(IniPath(0).c_str(), GENERIC_READ, 0, nullptr,
                                                     OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(exclusive);
        EXPECT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing,
                         [](Editor& e) { e.Set(Key::IEProxyShouldResume, 1); }),
                  UpdateResult::NotSaved);
        EXPECT_NE(::GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    EXPECT_EQ(TestSupport::ReadFileBytes(IniPath(0)), before);

    ASSERT_TRUE(::SetFileAttributesW(IniPath(0).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing,
                     [](Editor& e) { e.Set(Key::IEProxyShouldResume, 1); }),
              UpdateResult::NotSaved);
    EXPECT_NE(::GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    ::SetFileAttributesW(IniPath(0).c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(TestSupport::ReadFileBytes(IniPath(0)), before);
}

// A copy that holds the file's lock is waited for: its keys are in the file
// before the waiting update loads it.
TEST_F(ProxyIniUpdate, WaitsForTheHolderOfTheLock) {
    const std::wstring path = IniPath(0);
    Owners::UniqueHandle held(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        Owners::UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, LockNameFor(path).c_str()));
        ::SetEvent(held.get());
        ::Sleep(300);
        Update(path, L"Holder", Create::CreateIfMissing,
               [](Editor& e) { e.Set(Key::ProxySSLHost, L"first"); });
        ::ReleaseMutex(mutex.get());
    });
    ASSERT_EQ(::WaitForSingleObject(held.get(), 10000), WAIT_OBJECT_0);
    std::wstring seen;
    EXPECT_EQ(Update(path, L"Waiter", Create::CreateIfMissing,
                     [&](Editor& e) {
                         seen = e.Get(Key::ProxySSLHost, kShortUnits);
                         e.Set(Key::ProxySSLPort, L"3128");
                     }),
              UpdateResult::Saved);
    holder.join();
    EXPECT_EQ(seen, L"first");
    const TunnelProxy tunnel = ReadTunnelProxy(Reader(path));
    EXPECT_EQ(tunnel.host, L"first");
    EXPECT_EQ(tunnel.port, L"3128");
}

TEST_F(ProxyIniUpdate, ALockThatIsNeverFreedIsPassedAfterTheWait) {
    const std::wstring path = IniPath(0);
    Owners::UniqueHandle held(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Owners::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        Owners::UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, LockNameFor(path).c_str()));
        ::SetEvent(held.get());
        ::WaitForSingleObject(done.get(), 30000);
        ::ReleaseMutex(mutex.get());
    });
    ASSERT_EQ(::WaitForSingleObject(held.get(), 10000), WAIT_OBJECT_0);
    m_clock.SetWaitCap(50);  // stands for the full wait
    EXPECT_EQ(Update(path, L"Waiter", Create::CreateIfMissing,
                     [](Editor& e) { e.Set(Key::IEProxyShouldResume, 1); }),
              UpdateResult::Saved);
    ::SetEvent(done.get());
    holder.join();
    EXPECT_EQ(Reader(path).Get(Key::IEProxyShouldResume, 0), 1);
    EXPECT_NE(LogText().find("Waiter: lock of " + CodePageFromWide(path) + " not free after 10000 ms"),
              std::string::npos);
}

// Two copies of the program update one file at once, each a key of its own
// and a shared counter: nothing is lost.
TEST_F(ProxyIniUpdate, TwoProcessesAtOnceLoseNoKeys) {
    const std::wstring path = IniPath(0);
    const std::wstring eventName = L"Local\\proxyini-start-" + std::to_wstring(::GetCurrentProcessId());
    Owners::UniqueHandle start(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(start);
    constexpr int kCount = 60;
    const std::wstring writer = TestSupport::TestBinDir() + L"\\proxyiniwriter.exe";
    Owners::UniqueHandle a(TestSupport::StartProcess(
        FormatW(L"\"%s\" \"%s\" A %d %s", writer.c_str(), path.c_str(), kCount, eventName.c_str())));
    Owners::UniqueHandle b(TestSupport::StartProcess(
        FormatW(L"\"%s\" \"%s\" B %d %s", writer.c_str(), path.c_str(), kCount, eventName.c_str())));
    ASSERT_TRUE(a && b);
    ::Sleep(500);  // both are waiting on the event by now, or start right after it
    ::SetEvent(start.get());
    for (HANDLE process : {a.get(), b.get()}) {
        ASSERT_EQ(::WaitForSingleObject(process, 90000), WAIT_OBJECT_0);
        DWORD code = 99;
        ::GetExitCodeProcess(process, &code);
        EXPECT_EQ(code, 0u);
    }
    const Reader file(path);
    EXPECT_EQ(file.Get(IntKey{kOutsideSection, L"Writes"}, 0), 2 * kCount);
    int missing = 0;
    for (int i = 0; i < kCount; ++i) {
        for (const wchar_t* prefix : {L"A", L"B"}) {
            const std::wstring name = prefix + std::to_wstring(i);
            if (file.Get(IntKey{kOutsideSection, name.c_str()}, -1) != i) ++missing;
        }
    }
    EXPECT_EQ(missing, 0);
}

class ProxyIniRecords : public UserTempTest {};

TEST_F(ProxyIniRecords, MissingKeysReadAsEachReadersDefault) {
    ASSERT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing, nullptr), UpdateResult::Saved);
    for (const bool exists : {true, false}) {
        SCOPED_TRACE(exists ? "empty file" : "no file");
        if (!exists) {
            ASSERT_TRUE(::DeleteFileW(IniPath(0).c_str()));
        }
        const Reader file(IniPath(0));
        EXPECT_EQ(file.Exists(), exists);
        // The restore puts back "direct"; detection sees no proxy bits.
        EXPECT_EQ(ReadSavedIESettings(file).flags, 1u);
        EXPECT_EQ(ReadSavedIESettings(file).autoDiscoveryFlags, 0u);
        EXPECT_EQ(ReadIEProxyForDetection(file, kBypassUnits).flags, 0);
        EXPECT_EQ(ReadSavedFFSettings(file).running, 0);
        EXPECT_EQ(ReadSavedFFSettings(file).type, 0);
        EXPECT_EQ(ReadTunnelProxy(file).scriptRunning, 0);
        EXPECT_EQ(ReadTunnelProxy(file).host, L"");
        EXPECT_EQ(ReadTunnelProxyPortNumber(file), 0);
    }
}

TEST_F(ProxyIniRecords, LongValuesReachEachReaderCutToItsBound) {
    const std::wstring longText(5000, L'x');
    ASSERT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing,
                     [&](Editor& e) {
                         for (TextKey key : {Key::IEProxyServer, Key::IEProxyByPass, Key::IEProxyScript,
                                             Key::ProxyAutoURL, Key::FFProxyServer,
                                             Key::FFProxyByPass, Key::ProxySSLHost}) {
                             e.Set(key, longText);
                         }
                     }),
              UpdateResult::Saved);
    const Reader file(IniPath(0));
    const IECapture saved = ReadSavedIESettings(file);
    const IEProxyForDetection detection = ReadIEProxyForDetection(file, kBypassUnits);
    const IEProxyForDetection registry = ReadIEProxyForDetection(file, kShortUnits);
    struct Case {
        const char* reader;
        size_t length;
        size_t expected;
    } cases[] = {
        {"restore server", saved.server.size(), 1023},
        {"restore bypass", saved.bypass.size(), 4095},
        {"restore script", saved.script.size(), 1023},
        {"restore auto URL", saved.autoUrl.size(), 1023},
        {"detection server", detection.server.size(), 259},
        {"detection bypass", detection.bypass.size(), 4095},
        {"registry bypass", registry.bypass.size(), 259},
        {"Firefox server", ReadSavedFFSettings(file).server.size(), 1023},
        {"Firefox bypass", ReadSavedFFSettings(file).bypass.size(), 4095},
        {"tunnel host", ReadTunnelProxy(file).host.size(), 259},
        {"whole value", file.Get(Key::IEProxyServer, kWholeValue).size(), 5000},
    };
    for (const Case& c : cases) EXPECT_EQ(c.length, c.expected) << c.reader;
}

TEST_F(ProxyIniRecords, CapturesWriteTheirKeysAndLeaveTheOthers) {
    ASSERT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing,
                     [](Editor& e) {
                         e.Set(Key::IEProxyShouldResumeDial, 1);
                         e.Set(Key::IEProxyShouldResume, 1);
                         e.Set(Key::FFProxyShouldResume, 1);
                     }),
              UpdateResult::Saved);
    IECapture ie;
    ie.flags = 0;  // what a query of a connection with no flags gives
    ie.autoDiscoveryFlags = 5;
    ie.server = L"ftp=a:1;http=b:2";
    ie.autoUrl = L"http://wpad/wpad.dat";
    ASSERT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing,
                     [&](Editor& e) { WriteIECapture(e, ie, {1, L"pac-proxy", L"8080"}); }),
              UpdateResult::Saved);
    {
        const Reader file(IniPath(0));
        const IECapture saved = ReadSavedIESettings(file);
        EXPECT_EQ(saved.flags, 1u);
        EXPECT_EQ(file.Get(Key::IEProxyFlag, -1), 1);
        EXPECT_EQ(saved.autoDiscoveryFlags, 5u);
        EXPECT_EQ(saved.server, ie.server);
        EXPECT_EQ(saved.autoUrl, ie.autoUrl);
        EXPECT_EQ(file.Get(Key::IEProxyShouldResume, -1), 0);
        EXPECT_EQ(file.Get(Key::IEProxyShouldResumeDial, -1), 1);
        EXPECT_EQ(file.Get(Key::FFProxyShouldResume, -1), 1);
        EXPECT_EQ(ReadTunnelProxyPortNumber(file), 8080);
        EXPECT_EQ(ReadTunnelProxy(file).scriptRunning, 1);
    }
    ASSERT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing,
                     [&](Editor& e) { WriteFFCapture(e, {1, L"", L"h:1", L"local"}, {0, L"h", L"1"}); }),
              UpdateResult::Saved);
    const Reader file(IniPath(0));
    const SavedFFSettings ff = ReadSavedFFSettings(file);
    EXPECT_EQ(ff.running, 1);
    EXPECT_EQ(ff.type, 1);
    EXPECT_EQ(ff.server, L"h:1");
    EXPECT_EQ(file.Get(Key::FFProxyShouldResume, -1), 0);
    EXPECT_EQ(file.Get(Key::ProxyAutoURL, kUrlUnits), L"");
    EXPECT_EQ(file.Get(Key::IEProxyServer, kUrlUnits), ie.server);
    EXPECT_EQ(file.Get(Key::IEProxyShouldResumeDial, -1), 1);
}

TEST_F(ProxyIniRecords, ClearResetsTheCaptureAndKeepsFlagsCredentialsAndResult) {
    ASSERT_EQ(Update(IniPath(0), L"Writer", Create::CreateIfMissing,
                     [](Editor& e) {
                         WriteIECapture(e, {4, 2, L"http://s/p.pac", L"p:1", L"*.local", L"http://wpad"},
                                        {1, L"tunnel", L"3128"});
                         WriteFFCapture(e, {2, L"http://ff.pac", L"f:2", L"<local>"}, {1, L"tunnel", L"3128"});
                         e.Set(Key::ProxyAutoURL, L"http://wpad");
                         e.Set(Key::IEProxyShouldResume, 1);
                         e.Set(Key::IEProxyShouldResumeDial, 1);
                         e.Set(Key::FFProxyShouldResume, 1);
                         e.Set(UserNameKey(1), L"alice");
                         e.Set(PassWordKey(1), L"c2VhbGVk");
                         e.Set(DomainKey(1), L"CORP");
                         e.Set(UserNameKey(0), L"inside");
                         e.Set(Key::Result, L"cmVzdWx0");
                     }),
              UpdateResult::Saved);
    const std::vector<unsigned char> before = TestSupport::ReadFileBytes(IniPath(0));
    ASSERT_TRUE(ClearCapturedSettings(0));
    EXPECT_EQ(TestSupport::ReadFileBytes(BackupIniPath(0)), before);

    const Reader file(IniPath(0));
    struct IntCase {
        IntKey key;
        int expected;
    } ints[] = {
        {Key::IEProxyAutoFlag, 0}, {Key::IEProxyFlag, 1}, {Key::ProxyScriptRunning, 0},
        {Key::FFBrowserRunning, 0}, {Key::FFProxyFlag, 0},
        // kept
        {Key::IEProxyShouldResume, 1}, {Key::IEProxyShouldResumeDial, 1}, {Key::FFProxyShouldResume, 1},
    };
    for (const IntCase& c : ints) {
        EXPECT_EQ(file.Get(c.key, -7), c.expected) << CodePageFromWide(c.key.name);
    }
    struct TextCase {
        TextKey key;
        const wchar_t* expected;
    } texts[] = {
        {Key::IEProxyScript, L""}, {Key::IEProxyServer, L""}, {Key::IEProxyByPass, L""},
        {Key::FFProxyScript, L""}, {Key::FFProxyServer, L""}, {Key::FFProxyByPass, L""},
        {Key::ProxySSLHost, L""}, {Key::ProxySSLPort, L""},
        // kept
        {Key::ProxyAutoURL, L"http://wpad"}, {UserNameKey(1), L"alice"}, {PassWordKey(1), L"c2VhbGVk"},
        {DomainKey(1), L"CORP"}, {UserNameKey(0), L"inside"}, {Key::Result, L"cmVzdWx0"},
    };
    for (const TextCase& c : texts) {
        EXPECT_EQ(file.Get(c.key, kWholeValue), c.expected) << CodePageFromWide(c.key.name);
    }
    EXPECT_NE(LogText().find("copy file " + CodePageFromWide(IniPath(0)) + " to " +
                             CodePageFromWide(BackupIniPath(0)) + " success"),
              std::string::npos);
}

TEST_F(ProxyIniRecords, ClearOnAMissingFileCreatesNothing) {
    EXPECT_FALSE(ClearCapturedSettings(0));
    EXPECT_FALSE(TestSupport::FileExists(IniPath(0)));
    EXPECT_FALSE(TestSupport::FileExists(BackupIniPath(0)));
    EXPECT_NE(LogText().find("OnClear: file " + CodePageFromWide(IniPath(0)) + " is not exist"),
              std::string::npos);
}

TEST_F(ProxyIniRecords, CompanionFilesLieBesideProxyIni) {
    EXPECT_EQ(BackupIniPath(0), ConfDir(L"VPN") + L"\\Proxy_backup.ini");
    EXPECT_EQ(PacPath(), ConfDir(L"VPN") + L"\\Proxy.pac");
    EXPECT_EQ(BackupPacPath(), ConfDir(L"VPN") + L"\\Proxy_Backup.pac");
    EXPECT_EQ(AutoPacPath(), ConfDir(L"VPN") + L"\\ProxyAuto.pac");
    EXPECT_EQ(IniPath(1), Path(ConfDir(L"MyClientSecurity")));
    EXPECT_EQ(ClientSecurityIniPath(1), Path(ConfDir(L"ClientSecurity")));
}

}  // namespace
