// The gateway exchange over the plain socket transport against the gateway
// double (a Linux program that Wine starts; it serves one connection).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "DownLoaderManager.h"
#include "IOCPDataTransport.h"
#include "QuarloSocketIOPool.h"
#include "SocketTestSupport.h"
#include "StringUtil.h"
#include "TestSupport.h"

using namespace QuarloSocket;

namespace {

std::wstring WindowsPath(const std::wstring& unixPath) { return L"Z:" + ReplaceAll(unixPath, L"/", L"\\"); }

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// The double tells its port through its ready file and ends after its one
// connection (or a minute without one).
uint16_t StartGateway(const std::wstring& dir, const std::wstring& options) {
    const std::wstring ready = WindowsPath(dir + L"/ready");
    ::DeleteFileW(ready.c_str());
    ::DeleteFileW(WindowsPath(dir + L"/log.jsonl").c_str());
    std::wstring command = L"Z:\\usr\\bin\\python3 \"" + std::wstring(QUARLO_GATEWAY_SCRIPT) + L"\" --plain --root \"" +
                           dir + L"/root\" --ready-file \"" + dir + L"/ready\" --log \"" + dir +
                           L"/log.jsonl\" --connections 1 --accept-timeout 60 " + options;
    // Wine starts a Unix program without handing out a process handle.
    Owners::UniqueHandle(TestSupport::StartProcess(command));
    for (int i = 0; i < 600; ++i) {
        const std::string port = TestSupport::FileExists(ready) ? TestSupport::ReadTextFile(ready) : "";
        if (!port.empty()) return static_cast<uint16_t>(std::stoi(port));
        ::Sleep(50);
    }
    return 0;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

TEST(GatewayEndToEndTest, DownloadsOverThePlainTransportWithRenewalChunksAndAClosingReply) {
    SocketTest::EnsureWinSock();
    const std::wstring dir = std::wstring(QUARLO_GATEWAY_WORK_DIR) + L"/end-to-end";
    ASSERT_TRUE(::SHCreateDirectoryExW(nullptr, WindowsPath(dir + L"/root").c_str(), nullptr) == ERROR_SUCCESS ||
                ::GetLastError() == ERROR_ALREADY_EXISTS);
    const std::string version = "<?xml version=\"1.0\"?><version>1.2.3.4</version>\r\n";
    const std::string cabinet = Pattern(200000);
    ASSERT_TRUE(WriteBytes(WindowsPath(dir + L"/root/version.xml"), version));
    ASSERT_TRUE(WriteBytes(WindowsPath(dir + L"/root/client.cab"), cabinet));
    const uint16_t port = StartGateway(dir, L"--session s1 --renew-session s2");
    ASSERT_NE(port, 0) << "the gateway double did not start";

    SocketTest::RecordingSocket socket(&ProcessIOPool());
    CSocketConnection* connection =
        socket.Connect(SockAddr(SockAddrPort(port), SockAddrHost("127.0.0.1"), AF_INET), nullptr);
    ASSERT_NE(connection, nullptr);
    TransportRef transport(new CIOCPDataTransport(connection));
    connection->Release();

    struct Step {
        const char* file;
        const char* session;
        const std::string* content;
    };
    // The first GET is sent back to itself with a new session; the next two
    // run on the same connection: a chunked reply and one that ends with it.
    const Step steps[] = {
        {"version.xml", "KZsession=s1", &version},
        {"client.cab?fault=chunked", "KZsession=s2", &cabinet},
        {"client.cab?fault=nolength", "KZsession=s2", &cabinet},
    };
    for (const Step& step : steps) {
        std::string request, sent, head, body;
        ASSERT_TRUE(BuildFileGetRequest(kDefaultUrlPrefix, step.file, "localhost", step.session, request));
        const bool ok = DownLoadWeb(transport.get(), request.c_str(), sent, head, body);
        EXPECT_TRUE(ok) << step.file << "\n" << head;
        BSTR buffer = nullptr;
        EXPECT_EQ(FinishGatewayExchange(ok, request, sent, body, &buffer), DownloadResult_Success) << step.file;
        Owners::UniqueBstr owner(buffer);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), ::SysStringByteLen(buffer)), *step.content)
            << step.file;
        if (step.content == &version) {
            EXPECT_NE(sent.find("Cookie: KZsession=s2;KZStandalone=true\r\n"), std::string::npos) << sent;
        }
    }
    transport->Close();
    transport.reset();

    const std::string log = TestSupport::ReadTextFile(WindowsPath(dir + L"/log.jsonl"));
    EXPECT_NE(log.find("\"status\": 302"), std::string::npos) << log;
    EXPECT_EQ(log.find("\"status\": 403"), std::string::npos) << log;
}

}  // namespace
