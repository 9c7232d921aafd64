#include "StringUtil.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cwctype>
#include <utility>

std::wstring WideFromCodePage(std::string_view text, UINT codePage) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring result(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), length, result.data(), needed);
    return result;
}

std::string CodePageFromWide(std::wstring_view text, UINT codePage) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int length = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string result(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), needed, nullptr,
                          nullptr);
    return result;
}

namespace {
template <class Char>
std::basic_string<Char> ReplaceAllT(std::basic_string_view<Char> text,
                                     std::basic_string_view<Char> from,
                                     std::basic_string_view<Char> to) {
    std::basic_string<Char> result(text);
    if (from.empty()) return result;
    size_t position = 0;
    while ((position = result.find(from, position)) != std::basic_string<Char>::npos) {
        result.replace(position, from.size(), to);
        position += to.size();
    }
    return result;
}
}  // namespace

std::wstring ReplaceAll(std::wstring_view text, std::wstring_view from, std::wstring_view to) {
    return ReplaceAllT(text, from, to);
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    return ReplaceAllT(text, from, to);
}

int CountFormatted(const wchar_t* format, va_list args) { return _vscwprintf(format, args); }
int CountFormatted(const char* format, va_list args) { return _vscprintf(format, args); }
void FormatInto(wchar_t* buffer, size_t size, const wchar_t* format, va_list args) {
    _vsnwprintf(buffer, size, format, args);
}
void FormatInto(char* buffer, size_t size, const char* format, va_list args) {
    _vsnprintf(buffer, size, format, args);
}

namespace {

template <class Char>
std::basic_string<Char> FormatVT(const Char* format, va_list args) {
    va_list counting;
    va_copy(counting, args);
    const int length = CountFormatted(format, counting);
    va_end(counting);
    if (length <= 0) return {};
    std::basic_string<Char> result(static_cast<size_t>(length) + 1, Char(0));
    FormatInto(result.data(), result.size(), format, args);
    result.resize(static_cast<size_t>(length));
    return result;
}
}  // namespace

std::wstring FormatVW(const wchar_t* format, va_list args) { return FormatVT(format, args); }

std::string FormatVA(const char* format, va_list args) { return FormatVT(format, args); }

std::wstring FormatW(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring result = FormatVW(format, args);
    va_end(args);
    return result;
}

std::string FormatA(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string result = FormatVA(format, args);
    va_end(args);
    return result;
}

bool TryWideFromCodePage(std::string_view text, UINT codePage, std::wstring& out, DWORD& error) {
    error = ERROR_SUCCESS;
    if (text.empty() || text.size() > INT_MAX) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        error = ::GetLastError();
        return false;
    }
    std::wstring result(static_cast<size_t>(needed), L'\0');
    if (::MultiByteToWideChar(codePage, 0, text.data(), length, result.data(), needed) != needed) {
        error = ::GetLastError();
        return false;
    }
    out = std::move(result);
    return true;
}

bool TryCodePageFromWide(std::wstring_view text, UINT codePage, std::string& out, DWORD& error) {
    error = ERROR_SUCCESS;
    if (text.empty() || text.size() > INT_MAX) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        error = ::GetLastError();
        return false;
    }
    std::string result(static_cast<size_t>(needed), '\0');
    if (::WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), needed, nullptr,
                              nullptr) != needed) {
        error = ::GetLastError();
        return false;
    }
    out = std::move(result);
    return true;
}

namespace {

template <class Char>
Char LowerAsciiOf(Char c) {
    return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <class Char>
bool EqualsNoCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAsciiOf(a[i]) != LowerAsciiOf(b[i])) return false;
    }
    return true;
}

}  // namespace

char AsciiLower(char c) { return LowerAsciiOf(c); }

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b) { return EqualsNoCase(a, b); }

bool StartsWithAsciiNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool ContainsAsciiNoCase(std::string_view text, std::string_view part) {
    if (part.size() > text.size()) return false;
    for (size_t i = 0; i + part.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, part.size()), part)) return true;
    }
    return false;
}

std::wstring ToLowerW(std::wstring_view text) {
    std::wstring result(text);
    for (wchar_t& c : result) c = static_cast<wchar_t>(std::towlower(c));
    return result;
}

std::string TrimWhiteSpace(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    size_t first = 0, last = text.size();
    while (first < last && blank(text[first])) ++first;
    while (last > first && blank(text[last - 1])) --last;
    return std::string(text.substr(first, last - first));
}

std::string MaskedForLog(std::string_view) {
    // Nothing of the text itself: the last digits of an encoded password
    // are its last character XOR a key every copy of the program holds.
    return "******";
}

bool ExactWideFromCodePage(std::string_view text, UINT codePage, std::wstring& out) {
    if (text.size() > INT_MAX) return false;
    if (text.empty()) {
        out.clear();
        return true;
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    std::wstring result(static_cast<size_t>(needed), L'\0');
    if (::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, result.data(),
                              needed) != needed) {
        return false;
    }
    out = std::move(result);
    return true;
}

namespace {

// Code pages for which WideCharToMultiByte takes neither flags nor the
// used-default-character report.
bool TakesNoConversionFlags(UINT codePage) {
    return codePage == CP_UTF7 || codePage == CP_UTF8 || codePage == 42 || codePage == 54936 ||
           (codePage >= 50220 && codePage <= 50229) || (codePage >= 57002 && codePage <= 57011);
}

}  // namespace

bool ExactCodePageFromWide(std::wstring_view text, UINT codePage, std::string& out) {
    if (text.size() > INT_MAX) return false;
    if (text.empty()) {
        out.clear();
        return true;
    }
    const int length = static_cast<int>(text.size());
    const bool plain = TakesNoConversionFlags(codePage);
    const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS
                        : plain            ? 0
                                           : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultReport = plain ? nullptr : &usedDefault;
    const int needed = ::WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0,
                                             nullptr, usedDefaultReport);
    if (needed <= 0 || usedDefault) return false;
    std::string result(static_cast<size_t>(needed), '\0');
    if (::WideCharToMultiByte(codePage, flags, text.data(), length, result.data(), needed,
                              nullptr, usedDefaultReport) != needed ||
        usedDefault) {
        return false;
    }
    // A conversion that honours neither flag nor report still shows itself
    // here: only an exact one reads back as the same text.
    std::wstring back;
    if (!ExactWideFromCodePage(result, codePage, back) || back != text) return false;
    out = std::move(result);
    return true;
}

std::string EscapeForLog(std::string_view text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 0xF];
        } else {
            out += ch;
        }
    }
    return out;
}

bool IsHeaderText(std::string_view text) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool IsRequestTargetText(std::string_view text) {
    return IsHeaderText(text) && text.find(' ') == std::string_view::npos;
}
