#include "TlsGateway.h"

#include <wincrypt.h>

#include "IOCPDataTransport.h"
#include "QuarloIOCPSocket.h"
#include "QuarloSocketIOPool.h"
#include "SockAddr.h"
#include "StringUtil.h"
#include "TestSupport.h"

namespace TlsTest {

namespace {

std::wstring WindowsPath(const std::string& linuxPath) {
    std::wstring path = L"Z:" + WideFromCodePage(linuxPath, CP_UTF8);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

const std::string kScratch = QUARLO_TLS_SCRATCH_LINUX;

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

void WriteText(const std::wstring& path, const std::string& text) {
    Owners::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line still being written
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Owner of the test connections; never destroyed, like the pool whose
// completions may still reach it.
class ClientSocket : public QuarloSocket::CIOCPClientSocket {
public:
    ClientSocket() : CIOCPClientSocket(&QuarloSocket::ProcessIOPool(), 4, 10, 16384, 16) {}
    void ReadCompleted(QuarloSocket::CSocketConnection*, QuarloSocket::CIOBuffer*, DWORD) override {}
    void WriteCompleted(QuarloSocket::CSocketConnection*, QuarloSocket::CIOBuffer*) override {}
};

}  // namespace

TlsGateway::TlsGateway(const GatewayOptions& options) {
    static LONG counter = 0;
    // Wine gives every test program the same process id, and tests in other
    // worker slots start gateways at the same moment: the folder is claimed
    // by creating it, and a name already taken is passed over.
    ::CreateDirectoryW(WindowsPath(kScratch).c_str(), nullptr);
    std::string dir;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        dir = kScratch + "/run-" + std::to_string(::GetCurrentProcessId()) + "-" +
              std::to_string(::GetTickCount64()) + "-" + std::to_string(::InterlockedIncrement(&counter));
        if (::CreateDirectoryW(WindowsPath(dir).c_str(), nullptr) || ::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    m_dir = WindowsPath(dir);

    std::string args = " " + Quote(std::string(QUARLO_TEST_DOUBLES_LINUX) + "/tls_gateway.py") +
                       " --cert-dir " + Quote(kScratch + "/certs") + " --ready-file " +
                       Quote(dir + "/ready") + " --log " + Quote(dir + "/log") +
                       " --accept-timeout 20 --io-timeout 20 --tls " + options.tls +
                       " --connections " + std::to_string(options.connections);
    if (options.pseudoHello) args += " --pseudo-hello";
    if (options.emptyFragments) args += " --empty-fragments";
    if (options.stallHandshake) args += " --stall-handshake";
    if (options.retryHandshake) args += " --retry-handshake";
    if (!options.greeting.empty()) args += " --greeting " + Quote(options.greeting);
    if (!options.script.empty()) {
        WriteText(m_dir + L"\\script.json", options.script);
        args += " --script " + Quote(dir + "/script.json");
    }
    if (options.http) {
        m_logs = false;
        ::CreateDirectoryW(Root().c_str(), nullptr);
        args = " " + Quote(std::string(QUARLO_TEST_DOUBLES_LINUX) + "/gateway.py") + " --root " +
               Quote(dir + "/root") + " --cert-dir " + Quote(kScratch + "/certs") + " --ready-file " +
               Quote(dir + "/ready") + " --log " + Quote(dir + "/log") + " --posts " +
               Quote(dir + "/posts") + " --accept-timeout 20 --io-timeout 20 --tls " + options.tls +
               " --connections " + std::to_string(options.connections);
        if (options.plain) args += " --plain";
        if (!options.session.empty()) args += " --session " + Quote(options.session);
        if (!options.renewSession.empty()) args += " --renew-session " + Quote(options.renewSession);
        if (!options.fault.empty()) args += " --fault " + options.fault;
    }
    if (options.renegotiate) {
        m_logs = false;
        args = " " + Quote(std::string(QUARLO_TEST_DOUBLES_LINUX) + "/tls_renegotiate.sh") + " " +
               Quote(kScratch + "/certs") + " " + Quote(dir + "/ready");
    }
    // Wine runs a Linux program, but hands back no process handle for it.
    TestSupport::StartProcess((options.renegotiate ? L"Z:\\bin\\sh" : L"Z:\\usr\\bin\\python3") +
                              WideFromCodePage(args, CP_UTF8));

    const std::wstring ready = m_dir + L"\\ready";
    for (int i = 0; i < 300 && m_port == 0; ++i) {
        const std::string text = TestSupport::ReadTextFile(ready);
        if (!text.empty()) m_port = static_cast<uint16_t>(std::atoi(text.c_str()));
        if (m_port == 0) ::Sleep(50);
    }
}

TlsGateway::~TlsGateway() {
    if (m_port && m_logs) WaitForLine("exit", 5000);
    for (const wchar_t* name : {L"ready", L"log", L"script.json", L"posts"})
        ::DeleteFileW((m_dir + L"\\" + name).c_str());
    ::RemoveDirectoryW(m_dir.c_str());
}

std::string TlsGateway::Posts() const { return TestSupport::ReadTextFile(m_dir + L"\\posts"); }

std::vector<std::string> TlsGateway::Lines() const {
    return SplitLines(TestSupport::ReadTextFile(m_dir + L"\\log"));
}

bool TlsGateway::HasLine(const std::string& line) const {
    for (const std::string& l : Lines()) {
        if (l == line) return true;
    }
    return false;
}

std::string TlsGateway::WaitForLine(const std::string& prefix, DWORD timeoutMs) const {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        for (const std::string& l : Lines()) {
            if (l.compare(0, prefix.size(), prefix) == 0) return l;
        }
        if (::GetTickCount64() >= end) return "";
        ::Sleep(20);
    }
}

std::vector<unsigned char> TlsGateway::CertificateDer() {
    const std::string pem = TestSupport::ReadTextFile(WindowsPath(kScratch + "/certs/gateway-cert.pem"));
    DWORD size = 0;
    if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                nullptr, &size, nullptr, nullptr))
        return {};
    std::vector<unsigned char> der(size);
    ::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                           der.data(), &size, nullptr, nullptr);
    der.resize(size);
    return der;
}

QuarloSocket::ITunnelDataTransport* ConnectPlain(uint16_t port, DWORD retryMs) {
    static ClientSocket* const owner = new ClientSocket();
    QuarloSocket::SockAddr address(QuarloSocket::SockAddrPort(port), QuarloSocket::SockAddrHost("127.0.0.1"),
                                   AF_INET);
    const ULONGLONG end = ::GetTickCount64() + retryMs;
    QuarloSocket::CSocketConnection* connection = nullptr;
    while (!(connection = owner->Connect(address, nullptr)) && ::GetTickCount64() < end) ::Sleep(50);
    if (!connection) return nullptr;
    auto* transport = new QuarloSocket::CIOCPDataTransport(connection);
    connection->Release();
    return transport;
}

}  // namespace TlsTest
