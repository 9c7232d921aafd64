#include "INIFile.h"

#include <cwchar>
#include <cwctype>

#include "CommonFunction.h"
#include "Loglib.h"
#include "StringUtil.h"

IniSections ParseIniText(std::wstring_view text) {
    IniSections sections;
    IniKeys keys;
    std::wstring name;
    const size_t n = text.size();
    size_t pos = 0;
    auto storeSection = [&] {
        // Only a named section takes the pairs; before the first header (or
        // after "[]") they wait for the next name.
        if (name.empty()) return;
        sections[name] = std::move(keys);
        keys.clear();
        name.clear();
    };
    while (pos < n) {
        const wchar_t c = text[pos];
        if (c == L' ' || c == L'\r' || c == L'\n') {
            ++pos;
        } else if (c == L';') {
            while (pos < n && text[pos] != L'\r' && text[pos] != L'\n') ++pos;
        } else if (c == L'[') {
            storeSection();
            ++pos;
            while (pos < n && text[pos] != L']') name += text[pos++];
            if (pos >= n || pos + 1 >= n) break;
            pos += 2;  // the "]" and whatever follows it
        } else {
            std::wstring key;
            while (pos < n && text[pos] != L'=') key += text[pos++];
            if (pos >= n) break;  // no "=": the partial key is dropped
            ++pos;
            while (pos < n && text[pos] == L' ') ++pos;
            std::wstring value;
            while (pos < n && text[pos] != L'\r' && text[pos] != L'\n') value += text[pos++];
            if (!key.empty() && !value.empty()) keys[key] = std::move(value);
            if (pos < n) ++pos;
        }
    }
    storeSection();
    return sections;
}

std::string TextModeBytes(std::string_view raw) {
    std::string result;
    result.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\x1a') break;
        if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        result += c;
    }
    return result;
}

bool DecodeIniBytes(std::string_view bytes, std::wstring& text) {
    // One zero closing the file is what some writers leave; any other zero
    // means the file is not the text that was written.
    if (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
    if (bytes.find('\0') != std::string_view::npos) return false;
    std::wstring result;
    result.reserve(bytes.size());
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = bytes.size();
        const std::string_view line = bytes.substr(pos, end - pos);
        std::wstring decoded;
        if (!ExactWideFromCodePage(line, 936, decoded) &&
            !ExactWideFromCodePage(line, CP_ACP, decoded)) {
            decoded = WideFromCodePage(line, 936);
        }
        result += decoded;
        if (end < bytes.size()) result += static_cast<wchar_t>(bytes[end]);
        pos = end + 1;
    }
    text = std::move(result);
    return true;
}

namespace {

bool HasLineBreakOrEnd(std::wstring_view text) {
    return text.find_first_of(L"\r\n\x1a") != std::wstring_view::npos;
}

}  // namespace

bool IsStorableIniSection(std::wstring_view section) {
    return !section.empty() && !HasLineBreakOrEnd(section) &&
           section.find(L']') == std::wstring_view::npos;
}

bool IsStorableIniKey(std::wstring_view key) {
    return !key.empty() && key[0] != L' ' && key[0] != L';' && key[0] != L'[' &&
           !HasLineBreakOrEnd(key) && key.find(L'=') == std::wstring_view::npos;
}

bool IsStorableIniValue(std::wstring_view value) { return !HasLineBreakOrEnd(value); }

std::string SerializeIni(const IniSections& sections, UINT codePage) {
    std::string out;
    auto put = [&](const std::wstring& text) {
        std::string narrow;
        if (WStringToString(text, narrow, codePage)) out += narrow;
    };
    for (const auto& [section, keys] : sections) {
        out += '[';
        put(section);
        out += "]\r\n";
        for (const auto& [key, value] : keys) {
            put(key);
            out += '=';
            put(value);
            out += "\r\n";
        }
    }
    return out;
}

INIFile::INIFile(const wchar_t* path) {
    if (!path || std::wcslen(path) >= MAX_PATH) return;
    std::wcscpy(m_path, path);
    bool missing = false;
    if (Load(missing) == 0) {
        LOGW(LOG_ERROR, L"utilitylib: Init file failed!\n");
        m_loadFailed = missing ? 0 : 1;
    } else {
        m_loaded = 1;
    }
}

int INIFile::ReadWholeFile(const wchar_t* path, std::wstring& text, bool& missing) {
    missing = false;
    Owners::UniqueHandle file;
    // Another program may hold the file for a moment; the pause is real time
    // even under a test clock, as it waits for another process.
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        file.reset(::CreateFileW(path, GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) break;
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            missing = true;
            return 0;
        }
        if (error != ERROR_SHARING_VIOLATION || ::GetTickCount64() - start >= kReplaceRetryMs) {
            return 0;
        }
        ::Sleep(20);
    }
    std::string raw;
    char chunk[4096];
    DWORD got = 0;
    for (;;) {
        if (!::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr)) return 0;
        if (got == 0) break;
        raw.append(chunk, got);
    }
    return DecodeIniBytes(TextModeBytes(raw), text) ? 1 : 0;
}

int INIFile::Load(bool& missing) {
    Owners::SectionLock lock(m_lock);
    std::wstring text;
    if (ReadWholeFile(m_path, text, missing) == 0) return 0;
    m_sections = ParseIniText(text);
    return 1;
}

const std::wstring* INIFile::Find(const wchar_t* section, const wchar_t* key) const {
    if (!section || !key) return nullptr;
    const auto s = m_sections.find(section);
    if (s == m_sections.end()) return nullptr;
    const auto k = s->second.find(key);
    return k == s->second.end() ? nullptr : &k->second;
}

int INIFile::GetInt(const wchar_t* section, const wchar_t* key, int defaultValue) {
    Owners::SectionLock lock(m_lock);
    const std::wstring* value = Find(section, key);
    if (!value) return defaultValue;
    // wcstol clamps to the 32-bit range (long is 32 bits here).
    static_assert(sizeof(long) == sizeof(int));
    return static_cast<int>(std::wcstol(value->c_str(), nullptr, 10));
}

int INIFile::GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer, int size,
                       const wchar_t* defaultValue) {
    Owners::SectionLock lock(m_lock);
    const std::wstring* value = Find(section, key);
    const std::wstring_view source = value ? std::wstring_view(*value)
                                           : std::wstring_view(defaultValue ? defaultValue : L"");
    if (buffer && size > 0) {
        const size_t count = source.size() < static_cast<size_t>(size - 1)
                                 ? source.size()
                                 : static_cast<size_t>(size - 1);
        std::wmemcpy(buffer, source.data(), count);
        buffer[count] = L'\0';
    }
    return static_cast<int>(source.size());
}

int INIFile::SetInt(const wchar_t* section, const wchar_t* key, int value) {
    return SetString(section, key, FormatW(L"%d", value).c_str());
}

int INIFile::SetString(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    if (!section || !key) return 0;
    const wchar_t* text = value ? value : L"";
    if (!IsStorableIniSection(section) || !IsStorableIniKey(key) || !IsStorableIniValue(text)) {
        // The value is not logged (it may be a secret), the names only with
        // their control characters blanked out, so they cannot forge lines.
        const auto printable = [](std::wstring text) {
            for (wchar_t& c : text) {
                if (c < L' ') c = L'?';
            }
            return text;
        };
        LOGW(LOG_ERROR, L"utilitylib: [%s] %s is not set, the file cannot hold it\n",
             printable(section).c_str(), printable(key).c_str());
        return 0;
    }
    Owners::SectionLock lock(m_lock);
    m_sections[section][key] = text;
    return 1;
}

int INIFile::Save() {
    Owners::SectionLock lock(m_lock);
    if (!m_path[0]) return 0;
    if (m_loadFailed) {
        LOGW(LOG_ERROR, L"utilitylib: %s was not read, it is not saved over\n", m_path);
        return 0;
    }
    return WriteWholeFileAtomic(m_path, SerializeIni(m_sections, CP_ACP));
}
