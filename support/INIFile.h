// The system's own INI reader and writer (Proxy.ini, OEM.ini, ...). The whole
// file is parsed when the object is built; getters and setters work on memory
// and Save writes the whole file back. Files are read in code page 936 and
// written in the ANSI code page; there is no escaping.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <string_view>

#include "Owners.h"

using IniKeys = std::map<std::wstring, std::wstring>;
using IniSections = std::map<std::wstring, IniKeys>;

// The parser. Its quirks are the format that stored files rely on: blanks
// before "=" stay in the key, pairs before the first header join the next
// named section, the character after "]" is skipped, a repeated header keeps
// only its last occurrence, empty keys and values are dropped.
IniSections ParseIniText(std::wstring_view text);

// What a stream opened in text mode reads from these bytes: CR LF becomes LF
// and a byte 0x1A ends the file.
std::string TextModeBytes(std::string_view raw);

// The bytes Save writes (CR LF line ends, texts in the given code page).
std::string SerializeIni(const IniSections& sections, UINT codePage);

class INIFile {
public:
    explicit INIFile(const wchar_t* path);
    ~INIFile() = default;
    INIFile(const INIFile&) = delete;
    INIFile& operator=(const INIFile&) = delete;

    int GetInt(const wchar_t* section, const wchar_t* key, int defaultValue);
    // Copies at most size - 1 characters and a terminator (nothing when size
    // is 0 or less); returns the full length of the value or the default.
    int GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer, int size,
                  const wchar_t* defaultValue);
    void SetInt(const wchar_t* section, const wchar_t* key, int value);
    void SetString(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    // 1 when the whole file was written, 0 otherwise. The file is replaced
    // atomically, so a failed or interrupted save leaves the old content.
    int Save();

    bool IsLoaded() const { return m_loaded != 0; }

private:
    int Load();
    static int ReadWholeFile(const wchar_t* path, std::wstring& text);
    const std::wstring* Find(const wchar_t* section, const wchar_t* key) const;

    Owners::CriticalSection m_lock;
    wchar_t m_path[MAX_PATH] = {};
    IniSections m_sections;
    int m_loaded = 0;
};
