// What the client operations' tests share: the outside services' COM
// double, a company of the test's own (so the install-manager and client
// folders are the test's alone), the client's registry keys, a fast clock for
// the long waits and the log of one day.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <shlwapi.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "ClientDoubles.h"
#include "ComDouble.h"
#include "CommonFunction.h"
#include "Owners.h"
#include "StringUtil.h"
#include "System.h"
#include "TestSupport.h"

namespace ClientTest {

using TestSupport::ComDouble;

inline constexpr const wchar_t* kVpn2 = L"SOFTWARE\\VPN\\VPN2";

// The double's journal lines of one service, each cut to its method name.
inline std::vector<std::string> Methods(const ComDouble& services, const std::string& service) {
    std::vector<std::string> methods;
    for (const std::string& line : services.Journal()) {
        if (line.compare(0, service.size() + 1, service + ".") != 0) continue;
        const size_t tab = line.find('\t');
        methods.push_back(line.substr(service.size() + 1,
                                      tab == std::string::npos ? std::string::npos
                                                               : tab - service.size() - 1));
    }
    return methods;
}

// The value of one field of a journal line ("" when absent), unescaped.
inline std::string Field(const std::string& line, const std::string& name) {
    const std::string key = "\t" + name + "=";
    const size_t at = line.find(key);
    if (at == std::string::npos) return {};
    const size_t start = at + key.size();
    const size_t end = line.find('\t', start);
    const std::string raw = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string value;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            value += raw[i];
            continue;
        }
        const char next = raw[++i];
        value += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return value;
}

class ClientFixture : public ::testing::Test {
protected:
    static constexpr const wchar_t* kCompletionEvent = L"Global\\{5D1FCC03-950B-4327-8CB7-4BF229ABB286}";
    static constexpr const wchar_t* kInstallationEvent =
        L"Global\\msi_4200F78E-949C-404A-906E-654900611585";

    explicit ClientFixture(DWORD waitCap = 20) : m_clock(Day(), waitCap) {}

    static SYSTEMTIME Day() { return TestSupport::MakeTime(2032, 7, 14, 10, 0, 0, 0); }

    void SetUp() override {
        ASSERT_TRUE(m_services.registered());
        m_company.SetString(L"CompanyName", L"Quarlo Client Test Co");
        wchar_t dir[MAX_PATH] = {};
        GetProgramFilesCompanyDir(dir);
        m_root = dir;
        GetInstallManagerDir(dir, 0);
        m_imDir = dir;
        GetBrevantoClientDir(dir, 0);
        m_clientDir = dir;
        ASSERT_NE(m_root.find(L"Quarlo Client Test Co"), std::wstring::npos);
        for (const std::wstring& d : {m_root, m_imDir, m_clientDir}) {
            ASSERT_TRUE(::CreateDirectoryW(d.c_str(), nullptr) ||
                        ::GetLastError() == ERROR_ALREADY_EXISTS);
        }
        Timing::SetSourceForTest(&m_clock);
    }

    void TearDown() override {
        // Through the start's own handle: a process may be out of reach by name.
        for (auto& process : m_started) {
            ::TerminateProcess(process.get(), 0);
            ::WaitForSingleObject(process.get(), 5000);
        }
        for (const wchar_t* name : {L"corvd.exe", L"Brevanto.exe", L"Tavrisk.exe", L"BVCoreUpdate.exe",
                                    L"BVQTDllUpdate.exe", L"Brevanto_Plugin.exe"}) {
            StopAll(name);
        }
        m_started.clear();
        Timing::SetSourceForTest(&m_log.clock());
        EmptyDirectory(m_root.c_str());
    }

    static void StopAll(const wchar_t* name) {
        for (int i = 0; i < 20 && IsProcessExistByName(name); ++i) StopProcessByName(name);
    }

    // Starts a copy of the client double under that name in the folder and
    // waits until it runs.
    std::wstring StartDouble(const std::wstring& folder, const wchar_t* name,
                             const std::string& behaviour = "stay=forever\n") {
        const std::wstring path = TestSupport::InstallClientDouble(folder, name, behaviour);
        m_started.emplace_back(TestSupport::StartProcess(L"\"" + path + L"\""));
        EXPECT_EQ(TestSupport::WaitForClientDoubleStarts(path, 1).size(), 1u);
        return path;
    }

    bool ReadUserDword(const wchar_t* name, DWORD& value) const {
        return ReadRegistryDword(HKEY_CURRENT_USER, kVpn2, name, value) == ERROR_SUCCESS;
    }
    // VPNstatus, or -1 when it is not there.
    long long VPNStatus() const {
        DWORD value = 0;
        return ReadUserDword(L"VPNstatus", value) ? static_cast<long long>(value) : -1;
    }
    std::string LogText() const { return m_log.Text(); }

    TestSupport::ScopedTestLog m_log{Day()};
    TestSupport::FastClock m_clock;
    ComDouble m_services;
    TestSupport::ScopedRegistryKey m_company{HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager"};
    TestSupport::ScopedRegistryKey m_userVpn2{HKEY_CURRENT_USER, kVpn2};
    TestSupport::ScopedRegistryKey m_machineVpn2{HKEY_LOCAL_MACHINE, kVpn2};
    std::wstring m_root, m_imDir, m_clientDir;
    TestSupport::TempDir m_dir;
    std::vector<Owners::UniqueHandle> m_started;
};

}  // namespace ClientTest
