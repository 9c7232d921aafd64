// The report ("callhome") to the receiver that the installed client
// configured under HKCU "Software\VPN\CallHome": a small JSON text posted
// with Basic authorization over the gateway tunnel, through the configured
// proxy when there is one.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>
#include <string_view>

struct ProxyInfo;

constexpr const wchar_t* kCallHomeKey = L"Software\\VPN\\CallHome";

// Where the report goes. The URL's first 8 characters (the secure-web
// scheme with its colon and slashes) are dropped; the rest is the host, an
// optional ":port" and the path from the first '/'. A URL without that
// scheme, without a '/' after it, with an empty host or with a port that is
// not a decimal number from 1 to 65535 has no host (nothing can be posted);
// without a port (or with an empty one) the port is 443.
struct CallHomeTarget {
    std::string host;
    uint16_t port = 443;
    std::string path;
};
CallHomeTarget SplitCallHomeUrl(std::string_view url);

// {"server_domain":"...","server_info":"..."} without blanks; '"', '\' and
// control characters in the values are escaped, every other byte is kept.
std::string CallHomeBody(std::string_view domain, std::string_view info);

// One post of the report through the stored WinHTTP proxy settings (loaded
// for the post and saved back after it); the reply joins *reply. The result
// is that of the post: 0, 2 (the exchange failed), 3 (redirected elsewhere)
// or the tunnel's TransportError when no tunnel could be built.
int32_t SendCallHome(const char* host, uint16_t port, const char* path, const char* authorization,
                     const char* json, BSTR* reply, ProxyInfo* info);

// The "callhome" command: reads the settings, fills the process's proxy
// record with the proxy to use and posts the report. When a tunnel through
// the proxy cannot be built the report goes once more, directly; a report
// that reached the receiver is never posted twice.
void CallHome();
