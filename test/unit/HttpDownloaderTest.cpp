// The file downloader: the tunnel path through the gateway exchange (a
// double here), the WinHTTP path against the HTTP double, and the files it
// leaves in a folder.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <iterator>
#include <string>
#include <vector>

#include "HttpDownloader.h"
#include "Owners.h"
#include "TestSupport.h"
#include "WinHttpTestSupport.h"

using TestSupport::ScopedRegistryKey;
using TestSupport::TempDir;
using WinHttpTest::HttpDoubleUrl;

namespace {

std::string Bytes(BSTR body) {
    return body ? std::string(reinterpret_cast<const char*>(body), ::SysStringByteLen(body)) : "<none>";
}

Owners::UniqueBstr ByteBuffer(const std::string& bytes) {
    return Owners::UniqueBstr(::SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size())));
}

std::string Pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i % 256);
    return bytes;
}

std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    Owners::UniqueFindFile find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find.get(), &data));
    return names;
}

// What the tunnel path handed to the gateway exchange, and its answer.
struct GatewayCall {
    int calls = 0;
    std::string session, host, file;
    uint16_t port = 0;
    ProxyInfo* info = nullptr;
    std::wstring prefix;
    int32_t result = 0;
    std::string bytes = "file-bytes";
};
GatewayCall* g_call = nullptr;

int32_t FakeGatewayDownload(uint32_t* error, const char* session, const char* host, const char* file,
                            uint16_t port, BSTR* body, ProxyInfo* info, const wchar_t* prefix) {
    GatewayCall& call = *g_call;
    ++call.calls;
    call.session = session;
    call.host = host;
    call.file = file;
    call.port = port;
    call.info = info;
    call.prefix = prefix ? prefix : L"<none>";
    if (call.result != 0) {
        if (call.result != 2 && call.result != 3) *error = static_cast<uint32_t>(call.result);
        return call.result;
    }
    const std::string joined = (*body ? Bytes(*body) : std::string()) + call.bytes;
    if (*body) ::SysFreeString(*body);
    *body = ::SysAllocStringByteLen(joined.data(), static_cast<UINT>(joined.size()));
    return 0;
}

class Downloader : public testing::Test {
protected:
    void SetUp() override {
        g_call = &call;
        SetGatewayFileDownload(&FakeGatewayDownload);
        ASSERT_EQ(downloader.Init(L"gw.example.com", true), S_OK);
    }
    void TearDown() override {
        SetGatewayFileDownload(nullptr);
        g_call = nullptr;
    }
    int32_t ToFolder(const std::wstring& folder, const std::wstring& name, uint32_t& error) {
        return downloader.DownloadFileToLocalDirectory(L"KZsession=abc", L"OEM.ini", 443, folder.c_str(),
                                                       name.c_str(), nullptr, nullptr, &error, &info,
                                                       L"/prefix/");
    }

    ScopedRegistryKey installManager{HKEY_LOCAL_MACHINE, kProxyConfigKey};
    GatewayCall call;
    ProxyInfo info{};
    CHttpDownloader downloader;
};

TEST_F(Downloader, TunnelPathAppendsTheFileAndPassesTheRequestOn) {
    Owners::UniqueBstr body;
    uint32_t error = 77;
    EXPECT_EQ(downloader.DownloadFileToBSTR(L"KZsession=abc", L"version.xml", 8443, nullptr, nullptr,
                                            body.put(), &error, &info,
                                            L"/prx/000/http/localhost/client_sec/l3vpn/"),
              0);
    EXPECT_EQ(Bytes(body.get()), "file-bytes");
    EXPECT_EQ(call.calls, 1);
    EXPECT_EQ(call.session, "KZsession=abc");
    EXPECT_EQ(call.host, "gw.example.com");
    EXPECT_EQ(call.file, "version.xml");
    EXPECT_EQ(call.port, 8443);
    EXPECT_EQ(call.info, &info);
    EXPECT_EQ(call.prefix, L"/prx/000/http/localhost/client_sec/l3vpn/");
    EXPECT_EQ(error, 77u);
}

TEST_F(Downloader, TunnelPathNeverSendsTextsTheCodePageCannotHold) {
    const struct {
        const wchar_t* session;
        const wchar_t* file;
    } cases[] = {{L"KZsession=\u041f", L"version.xml"}, {L"KZsession=abc", L"\u0141\u00f3d\u017a.xml"}};
    for (const auto& c : cases) {
        Owners::UniqueBstr body;
        uint32_t error = 0;
        EXPECT_EQ(downloader.DownloadFileToBSTR(c.session, c.file, 443, nullptr, nullptr, body.put(),
                                                &error, &info, L""),
                  1);
        EXPECT_EQ(error, 2u);
    }
    EXPECT_EQ(call.calls, 0);
}

TEST_F(Downloader, TunnelPathKeepsTheCallersBytes) {
    Owners::UniqueBstr body = ByteBuffer("pre|");
    BSTR raw = body.release();
    uint32_t error = 0;
    EXPECT_EQ(downloader.DownloadFileToBSTR(L"s", L"f", 443, nullptr, nullptr, &raw, &error, &info, L""), 0);
    body.reset(raw);
    EXPECT_EQ(Bytes(body.get()), "pre|file-bytes");
}

TEST_F(Downloader, TunnelFailuresGiveOneWithTheCause) {
    for (int32_t cause : {802, 803, 2, 3, 103}) {
        SCOPED_TRACE(cause);
        call.result = cause;
        Owners::UniqueBstr body = ByteBuffer("pre|");
        BSTR raw = body.release();
        uint32_t error = 0;
        EXPECT_EQ(downloader.DownloadFileToBSTR(L"s", L"f", 443, nullptr, nullptr, &raw, &error, &info, L""),
                  1);
        body.reset(raw);
        EXPECT_EQ(error, static_cast<uint32_t>(cause));
        EXPECT_EQ(Bytes(body.get()), "pre|");
    }
}

TEST_F(Downloader, TheBuiltInExchangeFailsWithTheTunnelsCodeWhenNoTunnelOpens) {
    SetGatewayFileDownload(nullptr);
    BSTR raw = nullptr;
    uint32_t error = 0;
    // No gateway host and a named proxy without a host: no tunnel can open.
    EXPECT_EQ(downloader.DownloadFileToBSTR(L"s", L"f", 443, nullptr, nullptr, &raw, &error, &info, L""), 1);
    EXPECT_EQ(error, 103u);
    EXPECT_EQ(raw, nullptr);
}

TEST_F(Downloader, FolderAndParentsAreCreatedAndTheQueryDropped) {
    TempDir temp;
    const std::wstring folder = temp.File(L"a\\b\\c");
    uint32_t error = 0;
    ASSERT_EQ(ToFolder(folder, L"OEM.ini?v=3&x=1", error), 0);
    EXPECT_EQ(TestSupport::ReadTextFile(folder + L"\\OEM.ini"), "file-bytes");
    EXPECT_EQ(FolderEntries(folder), std::vector<std::wstring>{L"OEM.ini"});
    // A trailing backslash is kept as it is.
    ASSERT_EQ(ToFolder(temp.path() + L"\\", L"second.ini", error), 0);
    EXPECT_TRUE(TestSupport::FileExists(temp.File(L"second.ini")));
}

TEST_F(Downloader, EmptyBodyWritesAnEmptyFile) {
    TempDir temp;
    call.bytes.clear();
    uint32_t error = 0;
    ASSERT_EQ(ToFolder(temp.path(), L"empty.xml", error), 0);
    EXPECT_TRUE(TestSupport::FileExists(temp.File(L"empty.xml")));
    EXPECT_TRUE(TestSupport::ReadFileBytes(temp.File(L"empty.xml")).empty());
}

TEST_F(Downloader, ReadOnlyEarlierCopyIsReplaced) {
    TempDir temp;
    const std::wstring path = temp.File(L"cab.cab");
    {
        Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ::WriteFile(file.get(), "old content", 11, &written, nullptr);
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    uint32_t error = 0;
    ASSERT_EQ(ToFolder(temp.path(), L"cab.cab", error), 0);
    EXPECT_EQ(TestSupport::ReadTextFile(path), "file-bytes");
    EXPECT_EQ(FolderEntries(temp.path()), std::vector<std::wstring>{L"cab.cab"});
}

TEST_F(Downloader, RefusedDownloadWritesNothing) {
    TempDir temp;
    const std::wstring folder = temp.File(L"work");
    call.result = 803;
    uint32_t error = 0;
    EXPECT_EQ(ToFolder(folder, L"cab.cab", error), 1);
    EXPECT_EQ(error, 803u);
    EXPECT_FALSE(TestSupport::FileExists(folder + L"\\cab.cab"));
}

TEST_F(Downloader, NamesThatLeaveTheFolderAreRefused) {
    TempDir temp;
    const std::wstring folder = temp.File(L"work");
    const wchar_t* names[] = {L"..\\evil.cab", L"sub/evil.cab", L"C:evil.cab", L"..", L".",
                              L"?v=1", L"a*b", L"cab.cab:stream",
                              // names the file system would change or map to a device
                              L"cab.cab.", L"cab.cab ", L"CON", L"nul.txt", L"com1", L"a\x01b"};
    for (size_t i = 0; i < std::size(names); ++i) {
        const wchar_t* name = names[i];
        SCOPED_TRACE(testing::Message() << "name index " << i);
        uint32_t error = 0;
        EXPECT_EQ(ToFolder(folder, name, error), HRESULT_FROM_WIN32(ERROR_INVALID_NAME));
    }
    EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(Downloader, OverlongPathIsRefusedNotCut) {
    TempDir temp;
    const std::wstring folder = temp.path() + L"\\" + std::wstring(250 - temp.path().size(), L'd');
    uint32_t error = 0;
    EXPECT_EQ(ToFolder(folder, L"cabinet-with-a-long-name.cab", error),
              HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(Downloader, FailedWriteReportsItsErrorAndLeavesNoFile) {
    TempDir temp;
    // A folder of that name cannot be replaced by the file.
    ASSERT_TRUE(::CreateDirectoryW(temp.File(L"taken.cab").c_str(), nullptr));
    uint32_t error = 0;
    const int32_t result = ToFolder(temp.path(), L"taken.cab", error);
    EXPECT_NE(result, 0);
    EXPECT_EQ(static_cast<uint32_t>(result) & 0xFFFF0000u, 0x80070000u);
    EXPECT_EQ(FolderEntries(temp.path()), std::vector<std::wstring>{L"taken.cab"});

    // A folder that cannot be created (a file stands in its place).
    const std::wstring blocked = temp.File(L"blocked");
    Owners::UniqueHandle(::CreateFileW(blocked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_NE(ToFolder(blocked, L"cab.cab", error), 0);
    EXPECT_FALSE(TestSupport::FileExists(blocked + L"\\cab.cab"));
}

TEST(DownloadCookie, CompletionHandsOverTheBodyAndItsReference) {
    auto* cookie = new CHttpDownloader::HttpRequestCookie;
    cookie->AddRef();
    CHttpDownloader::OnRequestComplete(0, nullptr, nullptr, cookie);
    EXPECT_EQ(::WaitForSingleObject(cookie->event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(cookie->errorCode, 0);
    ASSERT_NE(cookie->body, nullptr);
    EXPECT_EQ(::SysStringByteLen(cookie->body), 0u);
    EXPECT_EQ(cookie->RefCount(), 1);

    cookie->AddRef();
    Owners::UniqueBstr body = ByteBuffer("ignored");
    CHttpDownloader::OnRequestComplete(0x80070002, body.get(), nullptr, cookie);
    EXPECT_EQ(cookie->errorCode, static_cast<int32_t>(0x80070002));
    EXPECT_EQ(cookie->Release(), 0);
}

// Waits that never see the completion.
class NeverCompletes : public TestSupport::FixedTimeSource {
public:
    NeverCompletes() : FixedTimeSource(TestSupport::MakeTime(2021, 6, 15, 14, 3, 7, 42)) {}
    DWORD WaitForAnyObject(DWORD, const HANDLE*, DWORD) override {
        ++waits;
        return WAIT_TIMEOUT;
    }
    int waits = 0;
};

class WinHttpDownloader : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(WinHttpTest::HttpDoublePort(), 0u) << "HTTP double not running";
        ieSettings.Set(WinHttpTest::kIEDirect, "", "", "");
        ASSERT_EQ(downloader.Init(L"127.0.0.1", false), S_OK);
        downloader.SetWinHttpMode(true);
    }
    int32_t Fetch(const std::wstring& url, BSTR* body, HANDLE stop = nullptr) {
        return downloader.DownloadFileToBSTR(nullptr, url.c_str(), 0, stop, nullptr, body, &error,
                                             nullptr, nullptr);
    }

    ScopedRegistryKey installManager{HKEY_LOCAL_MACHINE, kProxyConfigKey};
    WinHttpTest::IESettings ieSettings;
    CHttpDownloader downloader;
    uint32_t error = 0;
};

TEST_F(WinHttpDownloader, ReplacesTheBufferWithTheBody) {
    Owners::UniqueBstr body = ByteBuffer("old");
    BSTR raw = body.release();
    EXPECT_EQ(Fetch(HttpDoubleUrl(L"/bytes/70000"), &raw), 0);
    body.reset(raw);
    EXPECT_TRUE(Bytes(body.get()) == Pattern(70000));
    EXPECT_EQ(error, 0u);
}

TEST_F(WinHttpDownloader, FailuresReturnTheirCodeAndKeepTheBuffer) {
    Owners::UniqueBstr body = ByteBuffer("old");
    BSTR raw = body.release();
    EXPECT_EQ(Fetch(HttpDoubleUrl(L"/status/404"), &raw), static_cast<int32_t>(0x80070002));
    EXPECT_EQ(Fetch(HttpDoubleUrl(L"/drop"), &raw),
              static_cast<int32_t>(HttpRequestErrorResult(ERROR_WINHTTP_CONNECTION_ERROR)));
    EXPECT_EQ(Fetch(L"ftp://127.0.0.1/x", &raw), HRESULT_FROM_WIN32(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
    body.reset(raw);
    EXPECT_EQ(Bytes(body.get()), "old");
}

TEST_F(WinHttpDownloader, StopEventEndsTheWait) {
    Owners::UniqueHandle stop(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    BSTR raw = nullptr;
    EXPECT_EQ(Fetch(HttpDoubleUrl(L"/bytes/10"), &raw, stop.get()), E_ABORT);
    EXPECT_EQ(raw, nullptr);
}

TEST_F(WinHttpDownloader, WaitThatNeverCompletesIsATimeOutNotAnEmptyFile) {
    NeverCompletes clock;
    const TestSupport::ScopedHook scoped(Timing::SetSourceForTest, &clock);
    Owners::UniqueBstr body = ByteBuffer("old");
    BSTR raw = body.release();
    EXPECT_EQ(Fetch(HttpDoubleUrl(L"/bytes/10"), &raw), kDownloadTimedOut);
    body.reset(raw);
    EXPECT_EQ(clock.waits, static_cast<int>(kDownloadWaitSlices));
    EXPECT_EQ(Bytes(body.get()), "old");
}

TEST_F(WinHttpDownloader, DownloadsIntoAFolder) {
    TempDir temp;
    EXPECT_EQ(downloader.DownloadFileToLocalDirectory(nullptr, HttpDoubleUrl(L"/bytes/4096?v=2").c_str(), 0,
                                                      temp.path().c_str(), L"image.png?v=2", nullptr,
                                                      nullptr, &error, nullptr, nullptr),
              0);
    const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(temp.File(L"image.png"));
    EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == Pattern(4096));
}

}  // namespace
