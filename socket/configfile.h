// Settings files of the gateway transport: Configure.ini and the
// client-certificate filters it holds.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Owners.h"

// <common application data>\VPN\Configure.ini
std::wstring GetConfigFilePath();

class Configuration {
public:
    Configuration();
    explicit Configuration(std::wstring path);
    virtual ~Configuration() = default;
    Configuration(const Configuration&) = delete;
    Configuration& operator=(const Configuration&) = delete;

    virtual bool Load() { return true; }
    virtual bool Save() { return true; }

    const std::wstring& Path() const { return m_path; }

protected:
    Owners::UniqueHandle m_handle;
    std::wstring m_path;
};

// Section Global_Configuration of Configure.ini.
class CertConfiguration : public Configuration {
public:
    using Configuration::Configuration;

    bool Load() override;
    bool Save() override;

    uint16_t certPath = 1;
    bool conditionAnd = false;
    bool noSelecting = false;
    std::wstring filterName;
    std::wstring filterProvider;
    bool certPathPresent = false;
    bool conditionAndPresent = false;
    bool noSelectingPresent = false;
    bool filterNamePresent = false;
    bool filterProviderPresent = false;
};
