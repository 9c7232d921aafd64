// Launch-command lists, the stored password and the web-session flag that
// the installer shares with the installed client through the registry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "utility.h"

// Most commands read from one list; more are logged and ignored.
constexpr DWORD kMaxLaunchCommands = 1000;

// Reads the connected (or disconnected) list and deletes it from the
// registry, so that a list runs at most once.
void GetLaunchCommandList(CommandList& list, bool bConnected);

// The key table shared with the installed client.
extern const int32_t PasswordKeyTable[32];
// Four lower-case hex digits per byte of the text.
std::string EncodePassword(std::string_view text);
// The plain text of an encoded one, up to its first zero byte; trailing
// digits that make no whole group are ignored.
std::string DecodePassword(const char* encoded);
// Stores the text as the client's EncodePassword value.
void BVSavePassword(const std::string& text);
// 1: the client is launched without a portal session; 0 also deletes the
// web-login values.
void SetWebNoSessionFlag(DWORD flag);
