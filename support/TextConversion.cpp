#include "TextConversion.h"

#include <climits>
#include <cwchar>

#include "Loglib.h"
#include "StringUtil.h"

// Log lines of this topic keep the source name of the utilities it came from.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"CommonFunction.cpp"

namespace {

// A zero inside the length, other than one closing it, makes the text
// unconvertible: the converted form would not be the text the caller meant.
template <class Char>
bool HasInnerZero(const Char* text, int length) {
    for (int i = 0; i + 1 < length; ++i) {
        if (text[i] == 0) return true;
    }
    return false;
}

}  // namespace

int ConvertMultiByteToWide(const char* text, int length, std::wstring& out, UINT codePage) {
    if (!text || length <= 0) return -1;
    DWORD error = ERROR_INSUFFICIENT_BUFFER;
    std::wstring converted;
    if (HasInnerZero(text, length) ||
        !TryWideFromCodePage(std::string_view(text, static_cast<size_t>(length)), codePage,
                             converted, error)) {
        LOGW(LOG_ERROR, L"utilitylib: Convert multibyte to wide char failed. Error = %d\n",
             static_cast<int>(error));
        out.clear();
        return -1;
    }
    out = std::move(converted);
    return static_cast<int>(out.size());
}

int ConvertWideToMultiByte(const wchar_t* text, int length, std::string& out, UINT codePage) {
    if (!text || length <= 0) return -1;
    DWORD error = ERROR_INSUFFICIENT_BUFFER;
    std::string converted;
    if (HasInnerZero(text, length) ||
        !TryCodePageFromWide(std::wstring_view(text, static_cast<size_t>(length)), codePage,
                             converted, error)) {
        LOGW(LOG_ERROR, L"utilitylib: Convert wide char to multi-byte failed. Error = %d\n",
             static_cast<int>(error));
        out.clear();
        return -1;
    }
    out = std::move(converted);
    return static_cast<int>(out.size());
}

int StringToWString(const std::string& narrow, std::wstring& wide) {
    if (narrow.size() > INT_MAX) return 0;
    std::wstring converted;
    if (ConvertMultiByteToWide(narrow.data(), static_cast<int>(narrow.size()), converted, 936) ==
        -1) {
        return 0;
    }
    wide.assign(converted.c_str());
    return 1;
}

int WStringToString(const std::wstring& wide, std::string& narrow, UINT codePage) {
    if (wide.size() > INT_MAX) return 0;
    std::string converted;
    if (ConvertWideToMultiByte(wide.data(), static_cast<int>(wide.size()), converted, codePage) ==
        -1) {
        return 0;
    }
    narrow.assign(converted.c_str());
    return 1;
}

void TrimSpaces(wchar_t* text) {
    if (!text) return;
    size_t end = std::wcslen(text);
    while (end > 0 && text[end - 1] == L' ') --end;
    size_t begin = 0;
    while (begin < end && text[begin] == L' ') ++begin;
    std::wmemmove(text, text + begin, end - begin);
    text[end - begin] = L'\0';
}
