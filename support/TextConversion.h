// The utilities' code-page conversions and blank trimming; they convert
// through StringUtil and log their failures.
#pragma once

#include <windows.h>

#include <string>

// Converts length bytes (or characters) of text; the result holds exactly the
// converted characters. -1 for a null or empty text, a text with a zero
// inside its length (a single zero at its very end is converted with it), or
// a failed conversion; out is cleared then.
int ConvertMultiByteToWide(const char* text, int length, std::wstring& out, UINT codePage);
int ConvertWideToMultiByte(const wchar_t* text, int length, std::string& out, UINT codePage);
// Code page 936 to UTF-16 and UTF-16 to the ANSI code page (by default); the
// text up to its first zero. 0 and the target unchanged on failure (an empty
// text is such a case).
int StringToWString(const std::string& narrow, std::wstring& wide);
int WStringToString(const std::wstring& wide, std::string& narrow, UINT codePage = CP_ACP);
// Removes U+0020 blanks (only those) from both ends, in place.
void TrimSpaces(wchar_t* text);
