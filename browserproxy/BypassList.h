// Matching of a destination server against an Internet Explorer proxy
// bypass list ("a.b;*.c.d;<local>"), so that the gateway is reached direct
// when the user's settings exempt it from the proxy.
#pragma once

#include <cstdint>

// 1 when the destination matches an entry of the list, 0 otherwise or when
// either input is null. Both texts are compared in the thread's code page.
int32_t IncludeInBypass(const wchar_t* bypassList, const wchar_t* destination);

// True for texts treated as address literals: bracketed, holding a ':'
// (so "name:port" counts too), or made of digits and dots only.
bool IsIPAddressString(const char* text);

// 1 when both texts have the same number of '.'-separated fragments and each
// pair is equal without regard to case or one of the two is "*"; also 1 for
// the destination "all".
int32_t IsMatchedByWildcard(const char* entry, const char* destination);
