// Fixture of the Proxy.ini tests: the user's temporary folder is a fresh
// folder of the test (so every configuration folder and Proxy.ini lands in
// it), and the log goes to a day of its own.
#pragma once

#include <winsock2.h>
#include <windows.h>

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
        for (const wchar_t* name : {L"TMP", L"TEMP"}) {
            wchar_t old[MAX_PATH] = {};
            ::GetEnvironmentVariableW(name, old, MAX_PATH);
            m_saved.push_back(old);
            ::SetEnvironmentVariableW(name, (m_temp.path() + L"\\").c_str());
        }
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(L"TMP", m_saved[0].c_str());
        ::SetEnvironmentVariableW(L"TEMP", m_saved[1].c_str());
        LoggedTest::TearDown();
    }
    // The configuration folder of a kind below the test's temporary folder
    // (Wine reports Windows 7, so "Low" is inserted).
    std::wstring ConfDir(const wchar_t* name) const { return m_temp.path() + L"\\Low\\" + name; }
    std::wstring RawValue(const std::wstring& path, ProxyIni::TextKey key) const {
        return ProxyIni::Reader(path).Get(key, ProxyIni::kWholeValue);
    }

    TestSupport::TempDir m_temp;
    std::vector<std::wstring> m_saved;
};

}  // namespace ProxyIniTest
