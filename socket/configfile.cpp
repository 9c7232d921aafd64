#include "configfile.h"

#include <shlobj.h>

#include <cwchar>

#include "Loglib.h"

namespace {

constexpr const wchar_t* kSection = L"Global_Configuration";

std::wstring ReadKey(const std::wstring& path, const wchar_t* key) {
    wchar_t text[1024] = {};
    ::GetPrivateProfileStringW(kSection, key, L"", text, 1024, path.c_str());
    return text;
}

long ToNumber(const std::wstring& text) { return std::wcstol(text.c_str(), nullptr, 10); }

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::wstring GetConfigFilePath() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder))) return L"";
    return std::wstring(folder) + L"\\" + L"VPN" + L"\\Configure.ini";
}

Configuration::Configuration() : m_path(GetConfigFilePath()) {}
Configuration::Configuration(std::wstring path) : m_path(std::move(path)) {}

bool CertConfiguration::Load() {
    LOGW(LOG_INFO, L"CertConfiguration: start to Load\n");
    certPathPresent = conditionAndPresent = noSelectingPresent = false;
    filterNamePresent = filterProviderPresent = false;
    if (!FileExists(m_path)) return true;

    const std::wstring certPathText = ReadKey(m_path, L"Cert_Path");
    if (!certPathText.empty()) {
        certPath = static_cast<uint16_t>(ToNumber(certPathText));
        certPathPresent = certPath <= 2;
    }
    const std::wstring andText = ReadKey(m_path, L"Condition_And");
    if (!andText.empty()) {
        conditionAndPresent = true;
        conditionAnd = ToNumber(andText) != 0;
    }
    const std::wstring noSelectText = ReadKey(m_path, L"No_Selecting");
    if (!noSelectText.empty()) {
        noSelectingPresent = true;
        noSelecting = ToNumber(noSelectText) != 0;
    }
    filterName = ReadKey(m_path, L"Filter_Name");
    filterNamePresent = !filterName.empty();
    filterProvider = ReadKey(m_path, L"Filter_Provider");
    filterProviderPresent = !filterProvider.empty();
    return true;
}

bool CertConfiguration::Save() {
    LOGW(LOG_INFO, L"CertConfiguration: start to Save\n");
    if (!FileExists(m_path)) {
        size_t cut = m_path.rfind(L'/');
        if (cut == std::wstring::npos) cut = m_path.rfind(L'\\');
        const std::wstring folder = cut == std::wstring::npos ? m_path : m_path.substr(0, cut);
        LOGW(LOG_ERROR, L"path: %s\n", folder.c_str());
        ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    }
    const wchar_t* file = m_path.c_str();
    const std::wstring certPathText = certPathPresent ? std::to_wstring(certPath) : L"0";
    ::WritePrivateProfileStringW(kSection, L"Cert_Path", certPathText.c_str(), file);
    ::WritePrivateProfileStringW(kSection, L"Condition_And",
                                 conditionAndPresent && conditionAnd ? L"1" : L"0", file);
    ::WritePrivateProfileStringW(kSection, L"No_Selecting",
                                 noSelectingPresent && noSelecting ? L"1" : L"0", file);
    ::WritePrivateProfileStringW(kSection, L"Filter_Name",
                                 filterNamePresent ? filterName.c_str() : L"", file);
    ::WritePrivateProfileStringW(kSection, L"Filter_Provider",
                                 filterProviderPresent ? filterProvider.c_str() : L"", file);
    return true;
}
