// Proxy texts: the part of a PAC answer after its keyword ("a:80",
// "[fe80::1]:1080") and the server text that Internet Explorer keeps
// ("a:80", "http=a:80;https=b:443", "http://a:80").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Room of the host buffers that carry a proxy host, terminator included.
constexpr size_t kProxyHostBufferBytes = 260;

enum class ProxyTextKind {
    Found,      // a host (and maybe a port)
    NoProxy,    // nothing names a proxy for the gateway's scheme
    Malformed,  // nothing left, an unpaired bracket, or a host that does not fit
};

// The rules, in order: only the first ';'-separated entry counts, unless the
// text is a per-scheme list, which yields its "https=" entry (none: no
// proxy); blanks around it and a scheme prefix are dropped; a bracketed host
// runs through its ']' and its port follows "]:", a plain host ends at ':';
// a host of more than 259 bytes is refused, never cut; a port counts only
// from 1 to 65535 (else it is 0).
ProxyTextKind SplitProxyText(std::string_view text, std::string& host, uint16_t& port);

// The engine answer's text after PROXY or SOCKS: 1 with a host, copied into
// a buffer of kProxyHostBufferBytes, and the port (0 without one). The
// outputs are left alone when there is none.
int32_t ParseProxyString(const char* text, char* host, uint16_t* port);
