// Downloads from and reports to the gateway: each call opens its own TLS
// tunnel through the tunnel factory, runs one exchange and closes it.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <cstdint>

#include "TunnelDataTransport.h"

struct ProxyInfo;

namespace QuarloSocket {

// A tunnel for downloads: through the proxy record whenever one is given
// (the factory then decides by its proxySetType), with the registry's
// client-authentication flag; else straight to each resolved address.
// nullptr with *error set to the factory's code.
ITunnelDataTransport* CreateSSLTransport(uint32_t* error, const char* host, uint16_t port, ProxyInfo* info);
// A tunnel for the report: through the proxy only when the record says it is
// in use; never with client authentication.
ITunnelDataTransport* CreateTunnel(uint32_t* error, const char* host, uint16_t port, ProxyInfo* info);

// 0 with the file appended to *body; 2 the exchange failed (also when a
// text could not stand in the request: nothing is sent then); 3 it ended on
// another target; any other value is the tunnel's TransportError, also in
// *error (103 when the host has no address).
int32_t DownLoadFileToBSTR(uint32_t* error, const char* session, const char* host, const char* file,
                           uint16_t port, BSTR* body, ProxyInfo* info, const wchar_t* lpDownloadURL);
// The report post; results as for DownLoadFileToBSTR, the reply body
// appended to *reply.
int32_t PostCallHome(uint32_t* error, const char* host, uint16_t port, const char* path,
                     const char* authorization, const char* json, BSTR* reply, ProxyInfo* info);

}  // namespace QuarloSocket
