// The zones of a split tunnel as the installed client leaves them in the
// registry, read by the command that generates the tunnel's PAC script.
#pragma once

#include <string>
#include <string_view>

#include "PacScript.h"

// One zone value ("virip=<address>@mask=<mask>"). A part the value lacks
// keeps what the previous zone had, so address and mask carry over from
// one call to the next (both start empty). A text that is not an IPv4
// address stores INADDR_NONE.
ZoneEntry ParseZoneValue(std::string_view value, std::string& address, std::string& mask);

// Reads the zones under HKCU\<key> ("number", then "<prefix>_0" ...) into
// list, at most kMaxZones of them (the rest is logged), with the previous
// parts carried as ParseZoneValue says. The key is left in place.
void ReadZoneList(const wchar_t* key, const char* prefix, ZoneList& list, std::string& address,
                  std::string& mask);
