// The system's own INI reader and writer (Proxy.ini, OEM.ini, ...). The whole
// file is parsed when the object is built; getters and setters work on memory
// and Save writes the whole file back. Files are read in code page 936 and
// written in the ANSI code page; there is no escaping, so texts that would
// not read back as written are refused when set.
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

// The text of a file's bytes (after TextModeBytes). Files are written in the
// ANSI code page and read in code page 936; each line is decoded on its own,
// so a byte that is a lead byte in one code page and a whole character in the
// other can never take the line break after it. A line that is not valid
// code page 936 is read in the ANSI code page (the one Save writes). False
// for a zero byte anywhere but at the very end: such a file cannot be read
// as what was written.
bool DecodeIniBytes(std::string_view bytes, std::wstring& text);

// The bytes Save writes (CR LF line ends, texts in the given code page).
std::string SerializeIni(const IniSections& sections, UINT codePage);

// Whether a section name, key or value can be stored without changing other
// keys on the next load: a line break or a U+001A (which ends the file for a
// text-mode reader) in any of them, an "=" in a key, a "]" in a section
// name, an empty name or key, or a key that starts like a blank, a comment
// (";") or a header ("[") would add, lose or overwrite other keys.
bool IsStorableIniSection(std::wstring_view section);
bool IsStorableIniKey(std::wstring_view key);
bool IsStorableIniValue(std::wstring_view value);

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
    // 1 when set; 0 (logged, nothing changed) for a null section or key, or a
    // name, key or value that the file cannot hold (IsStorableIni...).
    int SetInt(const wchar_t* section, const wchar_t* key, int value);
    int SetString(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    // 1 when the whole file was written, 0 otherwise. The file is replaced
    // atomically, so a failed or interrupted save leaves the old content.
    // A file that exists but could not be read (or decoded) is never saved
    // over: what it holds would be lost.
    int Save();

    bool IsLoaded() const { return m_loaded != 0; }
    // The file exists but the constructor could not read or decode it.
    bool LoadFailed() const { return m_loadFailed != 0; }

private:
    // 1 loaded; 0 not loaded, with missing set when the file does not exist.
    int Load(bool& missing);
    static int ReadWholeFile(const wchar_t* path, std::wstring& text, bool& missing);
    const std::wstring* Find(const wchar_t* section, const wchar_t* key) const;

    Owners::CriticalSection m_lock;
    wchar_t m_path[MAX_PATH] = {};
    IniSections m_sections;
    int m_loaded = 0;
    int m_loadFailed = 0;
};
