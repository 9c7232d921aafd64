// Requests to the VPN client that already runs: show its window, or stop the
// VPN when the user disconnects or logs out in the browser. Each is one JSON
// datagram to the client's UDP port on 127.0.0.1; the client answers
// nothing and nobody waits.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

constexpr uint16_t kDefaultLocalClientPort = 65432;

// The low 16 bits of HKCU "Software\Brevanto\L3VPN" port, or 65432 when the
// value cannot be read.
uint16_t LocalClientPort();

// The texts of the two requests as JsonCpp's styled writer gives them: a
// member per line, 3 blanks of indent per level, " : " between name and
// value, members by name, LF line ends and a final LF.
std::string ShowDDCommandText();
// "flags" 16384 only when the user disconnects (bLogout 0).
std::string StopVpnCommandText(DWORD bLogout);

// Sends the text as one datagram (no terminator) to 127.0.0.1 and the
// client's port. Returns what sendto returned: the byte count, or -1 when no
// socket could be made or the send failed.
int LocalClientCommand(const std::string& text);

// "show dd": the running client shows its window.
void BVWebShowDD();
// "stop vpn", unless another stop is under way (BrevantoWebDuringDisconnect);
// removes the client-security result file afterwards.
void BVStopVPN(DWORD bLogout);
