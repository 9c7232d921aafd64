// The tunnel's PAC script (Proxy.pac): the zones of a split tunnel that the
// front door reads from the registry, and the text pieces the generator
// writes. Every text that lands inside a JavaScript literal goes through
// the escapes below, so nothing taken from the command line, the registry
// or the user's settings can end a literal early.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One zone: IPv4 address and mask in network byte order (the first octet of
// the dotted form is the first byte in memory, as inet_addr gives it).
struct ZoneEntry {
    uint32_t address = 0;
    uint32_t mask = 0;
};

// The include or exclude zones of a split tunnel. It lives on the heap and
// travels by reference; the generator uses at most kMaxZones of it.
struct ZoneList {
    std::vector<ZoneEntry> zones;
};
inline constexpr size_t kMaxZones = 10240;

// True for a gateway host made only of host-name or IP-literal characters
// (ASCII letters, digits, '-', '.', ':', '[', ']') and not empty.
bool IsGatewayHostText(std::string_view host);

// The text with '\', '"' and control characters escaped for a JavaScript
// string literal.
std::string EscapeForScriptString(std::string_view text);

// True when a script address is fetched over the network: it begins with
// "http://" or "https://" in any letter case.
bool IsRemoteScriptAddress(std::wstring_view address);
bool IsRemoteScriptAddress(std::string_view address);

// The conditions the generator writes for one bypass list, built into a
// growing text (GenerateBypassScript's work, without the object).
void AppendBypassCondition(std::string& out, std::string_view bypassList);

// The isInNet test line of one zone.
void AppendZoneTest(std::string& out, const ZoneEntry& zone);
