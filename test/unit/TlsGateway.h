// The TLS gateway double (test/doubles/tls_gateway.py) or the HTTP/1.1
// gateway double (test/doubles/gateway.py) run from a unit test, and a plain
// transport connected to it. Wine starts the Linux interpreter
// without a process handle, so the double ends on its own: after its
// connections, or when nobody connects in time.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TunnelDataTransport.h"

namespace TlsTest {

struct GatewayOptions {
    std::string tls = "1.2";         // "1.2" or "1.0"
    bool pseudoHello = false;        // read and log the 104-byte pseudo-hello first
    bool emptyFragments = false;     // TLS 1.0: an empty record ahead of each CBC record
    bool stallHandshake = false;     // read the ClientHello and answer nothing
    bool retryHandshake = false;     // a failed handshake is followed by one more
    std::string greeting{};          // plain text sent with the last handshake message
    std::string script{};            // JSON steps; none: echo
    int connections = 1;
    // In place of the double: a server that asks for a renegotiation 2 s
    // after it started and then sends "after\n" (tls_renegotiate.sh).
    bool renegotiate = false;
    // In place of the echo double: the HTTP/1.1 gateway, serving the files of
    // Root() and recording posts (its log lines are JSON, one per request).
    bool http = false;
    bool plain = false;          // http: plain TCP in place of TLS
    std::string session{};       // http: the KZsession token it demands
    std::string renewSession{};  // http: the token its first reply hands out
    std::string fault{};         // http: a fault for every GET
};

class TlsGateway {
public:
    explicit TlsGateway(const GatewayOptions& options);
    // Waits (a few seconds at most) for the double to end.
    ~TlsGateway();
    TlsGateway(const TlsGateway&) = delete;
    TlsGateway& operator=(const TlsGateway&) = delete;

    bool started() const { return m_port != 0; }
    uint16_t port() const { return m_port; }
    // The double's event lines so far.
    std::vector<std::string> Lines() const;
    bool HasLine(const std::string& line) const;
    // The first line that starts with prefix, "" when none came in time.
    std::string WaitForLine(const std::string& prefix, DWORD timeoutMs = 10000) const;
    // http: the folder of the gateway's files (Windows path) and what the
    // posts brought, head and body byte for byte.
    std::wstring Root() const { return m_dir + L"\\root"; }
    std::string Posts() const;
    // The gateway's certificate (DER), made once per build folder.
    static std::vector<unsigned char> CertificateDer();

private:
    std::wstring m_dir;  // Windows path of this run's folder
    uint16_t m_port = 0;
    bool m_logs = true;  // the double logs "exit" when it ends
};

// A plain transport over a new loopback connection to the port; nullptr
// when the connection failed (tried for retryMs). The caller owns the one
// reference.
QuarloSocket::ITunnelDataTransport* ConnectPlain(uint16_t port, DWORD retryMs = 0);

}  // namespace TlsTest
