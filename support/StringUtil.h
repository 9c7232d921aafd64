// Text conversions and small string helpers shared by every subsystem.
// All code-page conversions of the system go through these functions.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>
#include <string_view>

// Narrow text in the given code page to UTF-16. The length is taken from the
// view, so embedded zero characters are converted like any other character.
std::wstring WideFromCodePage(std::string_view text, UINT codePage = CP_ACP);

// UTF-16 to narrow text in the given code page; characters the code page
// cannot hold become its default character.
std::string CodePageFromWide(std::wstring_view text, UINT codePage = CP_ACP);

// Strict forms: false, with the system's error code, when the text cannot
// be converted; out is written only on success. The length is the view's.
bool TryWideFromCodePage(std::string_view text, UINT codePage, std::wstring& out, DWORD& error);
bool TryCodePageFromWide(std::wstring_view text, UINT codePage, std::string& out, DWORD& error);

// Exact conversions. ExactWideFromCodePage fails on a byte sequence that is
// not valid in the code page; ExactCodePageFromWide fails when a character
// has no exact form in the code page: no default character, no best fit
// (which would turn "\u0141\u00f3d\u017a" into "L\u00f3dz" in code page 1252), so
// a text handed on for storage or in a request is the text the user gave or
// nothing. An empty text converts to an empty text; out is written only on
// success.
bool ExactWideFromCodePage(std::string_view text, UINT codePage, std::wstring& out);
bool ExactCodePageFromWide(std::wstring_view text, UINT codePage, std::string& out);

// Copy of text with every occurrence of from replaced by to; the scan goes on
// after each inserted replacement. An empty from changes nothing.
std::wstring ReplaceAll(std::wstring_view text, std::wstring_view from, std::wstring_view to);
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// printf-style formatting with the MSVC conventions (%s in a wide format is a
// wide string, %S a narrow one). A failed format gives an empty string.
std::wstring FormatW(const wchar_t* format, ...);
std::wstring FormatVW(const wchar_t* format, va_list args);
std::string FormatA(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));
std::string FormatVA(const char* format, va_list args);

// The length a format gives (without terminator), -1 for a bad format.
int CountFormatted(const wchar_t* format, va_list args);
int CountFormatted(const char* format, va_list args);
// Formats into a buffer of size characters (cut short when it does not fit).
void FormatInto(wchar_t* buffer, size_t size, const wchar_t* format, va_list args);
void FormatInto(char* buffer, size_t size, const char* format, va_list args);
// ASCII letters compared without regard to case, every other character as it
// is: no locale or code page takes part (protocol words, host and file names).
bool EqualsAsciiNoCase(std::string_view a, std::string_view b);
bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b);
bool StartsWithAsciiNoCase(std::string_view text, std::string_view prefix);
bool ContainsAsciiNoCase(std::string_view text, std::string_view part);
char AsciiLower(char c);

// Lower-case copy (the runtime's per-character conversion).
std::wstring ToLowerW(std::wstring_view text);
// Copy without the blanks, tabs and line breaks at both ends.
std::string TrimWhiteSpace(std::string_view text);
// A secret as the log may show it: six stars, none of its characters.
std::string MaskedForLog(std::string_view secret);

// Text from a peer made safe for one log line: control characters (CR and
// LF included), DEL and the backslash become \r, \n, \t, \\ or \xHH,
// so that no peer can start a line of its own in the log.
std::string EscapeForLog(std::string_view text);
// Protocol text that may stand in a header line: no control character (CR,
// LF, NUL, DEL, ...) that could end the line or the request early.
bool IsHeaderText(std::string_view text);
// The same for a request target or a host that becomes part of one: no blank
// either, which would end the target early.
bool IsRequestTargetText(std::string_view text);
