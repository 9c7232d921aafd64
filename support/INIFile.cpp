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
    if (Load() == 0) {
        LOGW(LOG_ERROR, L"utilitylib: Init file failed!\n");
    } else {
        m_loaded = 1;
    }
}

int INIFile::ReadWholeFile(const wchar_t* path, std::wstring& text) {
    Owners::UniqueHandle file(::CreateFileW(path, GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    std::string raw;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        raw.append(chunk, got);
    }
    // An empty or unconvertible file reads as empty text; the load still succeeds.
    StringToWString(TextModeBytes(raw), text);
    return 1;
}

int INIFile::Load() {
    Owners::SectionLock lock(m_lock);
    std::wstring text;
    if (ReadWholeFile(m_path, text) == 0) return 0;
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

void INIFile::SetInt(const wchar_t* section, const wchar_t* key, int value) {
    SetString(section, key, FormatW(L"%d", value).c_str());
}

void INIFile::SetString(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    if (!section || !key) return;
    Owners::SectionLock lock(m_lock);
    m_sections[section][key] = value ? value : L"";
}

int INIFile::Save() {
    Owners::SectionLock lock(m_lock);
    if (!m_path[0]) return 0;
    return WriteWholeFileAtomic(m_path, SerializeIni(m_sections, CP_ACP));
}
