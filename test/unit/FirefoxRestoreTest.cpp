// Firefox restore: the install record in either registry view, the page
// argument, and Firefox (the recorder double) started with it.
#include <winsock2.h>
#include <windows.h>
#include <shlwapi.h>
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <fstream>
#include <string>

#include "BrowserProxySetting.h"
#include "BrowserProxyTestSupport.h"
#include "CommonFunction.h"
#include "ProxyIniTestSupport.h"
#include "ProxySettingsFake.h"

using namespace BrowserProxyTest;
using ::testing::HasSubstr;

namespace {

namespace K = ProxyIni::Key;

constexpr wchar_t kFirefox64[] = L"SOFTWARE\\Mozilla\\Mozilla Firefox";
constexpr wchar_t kFirefox32[] = L"SOFTWARE\\Wow6432Node\\Mozilla\\Mozilla Firefox";

std::wstring Recorder() { return TestSupport::TestBinDir() + L"\\recorder.exe"; }

class FirefoxRestoreTest : public ProxyIniTest::UserTempTest {
protected:
    void Install(const wchar_t* root, const std::wstring& exe) {
        const std::wstring version = L"128.0 (x64 en-US)";
        ::SHSetValueW(HKEY_LOCAL_MACHINE, root, L"CurrentVersion", REG_SZ, version.c_str(),
                      static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
        const std::wstring main = std::wstring(root) + L"\\" + version + L"\\Main";
        ::SHSetValueW(HKEY_LOCAL_MACHINE, main.c_str(), L"PathToExe", REG_SZ, exe.c_str(),
                      static_cast<DWORD>((exe.size() + 1) * sizeof(wchar_t)));
    }
    void RecordFirefox(int type, const std::wstring& script) {
        ScopedProxyConfFiles::Write([&](ProxyIni::Editor& e) {
            e.Set(K::FFBrowserRunning, 1);
            e.Set(K::FFProxyFlag, type);
            e.Set(K::FFProxyScript, script);
            e.Set(K::FFProxyShouldResume, 1);
        });
    }
    static void WritePac(const std::wstring& path, const char* text) {
        std::ofstream(path.c_str(), std::ios::binary) << text;
    }
    TestSupport::ScopedRegistryKey m_key64{HKEY_LOCAL_MACHINE, kFirefox64};
    TestSupport::ScopedRegistryKey m_key32{HKEY_LOCAL_MACHINE, kFirefox32};
    ScopedProxyConfFiles m_files;
    FakeProxySettingsStore m_store;
    CBrowserProxySetting m_setting{};
};

TEST_F(FirefoxRestoreTest, InstallRecordOfThe32BitViewOnly) {
    ASSERT_EQ(Is64BitOS(), 1);
    EXPECT_EQ(m_setting.GetFFAppPath(), L"");
    Install(kFirefox64, Recorder());
    EXPECT_EQ(m_setting.GetFFAppPath(), L"") << "the 64-bit view is not looked at";
    Install(kFirefox32, Recorder() + L".missing");
    EXPECT_EQ(m_setting.GetFFAppPath(), L"") << "recorded program does not exist";
    Install(kFirefox32, Recorder());
    EXPECT_EQ(m_setting.GetFFAppPath(), Recorder());
}

TEST_F(FirefoxRestoreTest, PageArgumentCarriesTheScriptAsAQueryValue) {
    std::wstring folder = GetModuleFolder();
    folder.pop_back();
    EXPECT_EQ(m_setting.GetFFProxyChangeParameters(L"http://pac.corp/a b.pac?x=1&y=2#f", 2, true),
              L"\"file:///" + folder +
                  L"\\changeProxy.html?pac_path=http%3A%2F%2Fpac.corp%2Fa%20b.pac%3Fx%3D1%26y%3D2%23f"
                  L"&type=2\"");
    EXPECT_EQ(m_setting.GetFFProxyChangeParameters(L"C:\\p.pac", 1, false),
              L"\"file:///" + folder + L"\\changeProxy.html?pac_path=file:///C%3A%5Cp.pac&type=1\"");
}

TEST_F(FirefoxRestoreTest, RecordedChangeIsReadBack) {
    EXPECT_EQ(m_setting.IfFFBrowserProxySettingNeedChange(), 0) << "no Proxy.ini";
    RecordFirefox(3, L"");
    EXPECT_EQ(m_setting.IfFFBrowserProxySettingNeedChange(), 0) << "type 3 records no change";
    RecordFirefox(2, L"http://pac.corp/p.pac");
    EXPECT_EQ(m_setting.IfFFBrowserProxySettingNeedChange(), 1);
    uint32_t type = 0;
    wchar_t script[1024] = {};
    EXPECT_EQ(m_setting.GetSavedUserFFProxySettings(&type, script, nullptr, nullptr), 1);
    EXPECT_EQ(type, 2u);
    EXPECT_STREQ(script, L"http://pac.corp/p.pac");
}

TEST_F(FirefoxRestoreTest, ResumeStartsFirefoxWithThePageAndRestoresProxyPac) {
    Install(kFirefox32, Recorder());
    TestSupport::RecordFile record;
    RecordFirefox(2, L"http://pac.corp/p.pac?a=1&b=2");
    WritePac(ProxyIni::PacPath(), "tunnel");
    WritePac(ProxyIni::BackupPacPath(), "user's own");
    EXPECT_TRUE(m_setting.OnResume());
    const std::string line = record.Lines(1);
    EXPECT_THAT(line, HasSubstr("changeProxy.html?pac_path=http%3A%2F%2Fpac.corp%2Fp.pac%3Fa%3D1%26b%3D2&type=2"));
    EXPECT_EQ(TestSupport::ReadTextFile(ProxyIni::PacPath()), "user's own");
    EXPECT_EQ(m_store.Sets().size(), 0u) << "the IE flag is not set: LAN untouched";
}

TEST_F(FirefoxRestoreTest, AFirefoxTheShellCannotStartFailsWithoutAnErrorBox) {
    const std::wstring broken = m_temp.path() + L"\\firefox.exe";
    std::ofstream(broken.c_str(), std::ios::binary) << "not a program";
    Install(kFirefox32, broken);
    RecordFirefox(2, L"http://pac.corp/p.pac");
    WritePac(ProxyIni::PacPath(), "tunnel");
    WritePac(ProxyIni::BackupPacPath(), "user's own");
    bool resumed = true;
    EXPECT_TRUE(TestSupport::ReturnsWithoutABox([&] { resumed = m_setting.OnResumeFF(); }))
        << "the resume waited on a box";
    EXPECT_FALSE(resumed);
    EXPECT_THAT(LogText(), HasSubstr("OnResumeFF: ShellExecuteEx failed"));
    EXPECT_EQ(TestSupport::ReadTextFile(ProxyIni::PacPath()), "tunnel")
        << "the tunnel's script stays while Firefox may still use it";
}

TEST_F(FirefoxRestoreTest, WithoutFirefoxThereIsNothingToRestore) {
    RecordFirefox(1, L"");
    WritePac(ProxyIni::PacPath(), "tunnel");
    EXPECT_TRUE(m_setting.OnResumeFF());
    EXPECT_EQ(TestSupport::ReadTextFile(ProxyIni::PacPath()), "tunnel");
    EXPECT_THAT(LogText(), HasSubstr("GetFFAppPath: can not find value: CurrentVersion"));
}

TEST_F(FirefoxRestoreTest, RecordedChangeRestoresBothBrowsersAndClearsBothFlags) {
    Install(kFirefox32, Recorder());
    TestSupport::RecordFile record;
    ScopedProxyConfFiles::Write([](ProxyIni::Editor& e) {
        e.Set(K::FFBrowserRunning, 1);
        e.Set(K::FFProxyFlag, 1);
        e.Set(K::IEProxyServer, L"user:8080");
        e.Set(K::IEProxyFlag, 3);
    });
    EXPECT_EQ(m_setting.OnSetResumeFlag(1), 1);
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 1) << "the LAN was changed too";
    EXPECT_TRUE(ResumeChangedSettings(m_setting));
    EXPECT_THAT(record.Lines(1), HasSubstr("changeProxy.html?pac_path=&type=1"));
    ASSERT_EQ(m_store.Sets().size(), 1u);
    EXPECT_EQ(m_store.Sets()[0].options.proxyServer, L"user:8080");
    EXPECT_EQ(m_files.GetInt(K::IEProxyShouldResume), 0);
    EXPECT_EQ(m_files.GetInt(K::FFProxyShouldResume), 0);
}

}  // namespace
