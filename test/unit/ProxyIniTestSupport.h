// Fixture of the Proxy.ini tests: the user's temporary folder is a fresh
// folder of the test (so every configuration folder and Proxy.ini lands in
// it), and the log goes to a day of its own.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "BrowserProxyTestSupport.h"
#include "ProxyIni.h"
#include "TestSupport.h"

namespace ProxyIniTest {

class UserTempTest : public BrowserProxyTest::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        m_tempVariables.emplace(m_temp.path());
    }
    void TearDown() override {
        m_tempVariables.reset();
        LoggedTest::TearDown();
    }
    // The configuration folder of a kind below the test's temporary folder
    // (Wine reports Windows 7, so "Low" is inserted).
    std::wstring ConfDir(const wchar_t* name) const { return m_temp.path() + L"\\Low\\" + name; }
    std::wstring RawValue(const std::wstring& path, ProxyIni::TextKey key) const {
        return ProxyIni::Reader(path).Get(key, ProxyIni::kWholeValue);
    }

    TestSupport::TempDir m_temp;
    std::optional<TestSupport::ScopedTempVariables> m_tempVariables;
};

}  // namespace ProxyIniTest
