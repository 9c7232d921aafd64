// The standalone copy table (package folders beside the test program) and
// the links of all users, read back through the shell-link object.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "CommonFunction.h"
#include "MsiDeployment.h"
#include "Owners.h"
#include "StringUtil.h"
#include "System.h"
#include "TestSupport.h"

using TestSupport::ScopedRegistryKey;

namespace {

constexpr const wchar_t* kCompany = L"Quarlo Unit Test Co";

std::string Narrow(const std::wstring& text) { return CodePageFromWide(text, CP_UTF8); }

bool WriteText(const std::wstring& path, const std::string& text) {
    Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                               nullptr);
}

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    return ::SHGetFolderPathW(nullptr, csidl, nullptr, 0, path) == S_OK ? path : L"";
}

struct Link {
    std::wstring target, description, icon;
};

bool ReadLink(const std::wstring& path, Link& link) {
    Owners::ComPtr<IShellLinkW> shellLink;
    Owners::ComPtr<IPersistFile> file;
    if (::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                           shellLink.put_void()) != S_OK ||
        shellLink->QueryInterface(IID_IPersistFile, file.put_void()) != S_OK ||
        file->Load(path.c_str(), STGM_READ) != S_OK)
        return false;
    wchar_t text[MAX_PATH] = {};
    int index = 0;
    shellLink->GetPath(text, MAX_PATH, nullptr, 0);
    link.target = text;
    shellLink->GetDescription(text, MAX_PATH);
    link.description = text;
    shellLink->GetIconLocation(text, MAX_PATH, &index);
    link.icon = text;
    return true;
}

// The files of a folder that match a pattern.
size_t CountFiles(const std::wstring& folder, const std::wstring& pattern) {
    WIN32_FIND_DATAW data{};
    Owners::UniqueFindFile find(::FindFirstFileW((folder + L"\\" + pattern).c_str(), &data));
    if (!find) return 0;
    size_t n = 1;
    while (::FindNextFileW(find.get(), &data)) ++n;
    return n;
}

class DeploymentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        m_installManager.SetString(L"CompanyName", kCompany);
        wchar_t dir[MAX_PATH] = {};
        GetSSLVPNClientDir(dir, 0);
        m_standalone = dir;
        GetBrevantoClientDir(dir, 0);
        m_client = dir;
        wchar_t programFiles[MAX_PATH] = {};
        GetProgramFilesCompanyDir(programFiles);
        m_companyDir = programFiles;
    }
    void TearDown() override {
        EmptyDirectory(m_companyDir.c_str());
        for (const std::wstring& path : m_remove) EmptyDirectory(path.c_str());
    }

    ScopedRegistryKey m_installManager{HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager"};
    TestSupport::ScopedTestLog m_log{TestSupport::MakeTime(2031, 7, 8, 9, 10, 11, 12)};
    std::wstring m_standalone, m_client, m_companyDir;
    std::vector<std::wstring> m_remove;
};

}  // namespace

TEST_F(DeploymentTest, StandaloneFilesComeFromTheArchitecturesFoldersAndBothRsaVariants) {
    ASSERT_EQ(Is64BitOS(), 1) << "the table below is the 64-bit one";
    const std::wstring own = GetModuleFolder();
    ASSERT_FALSE(own.empty());
    for (const wchar_t* folder : {L"Standalone64bit", L"Standalone32bit", L"RSA64bit", L"RSA32bit"}) {
        ASSERT_TRUE(::CreateDirectoryW((own + folder).c_str(), nullptr) ||
                    ::GetLastError() == ERROR_ALREADY_EXISTS);
        m_remove.push_back(own + folder);
    }
    for (const wchar_t* file : {L"Omrelle_X64.dll", L"Omrelle.dll", L"Lothric.exe", L"Fennick.dll",
                                L"QuarloVPNApi.dll"}) {
        ASSERT_TRUE(WriteText(own + L"Standalone64bit\\" + file, "64 " + Narrow(file)));
        ASSERT_TRUE(WriteText(own + L"Standalone32bit\\" + file, "32 " + Narrow(file)));
    }
    for (const wchar_t* variant : {L"RSA64bit", L"RSA32bit"}) {
        for (const wchar_t* file : {L"Dunmeral.exe", L"stauto32.dll"}) {
            ASSERT_TRUE(WriteText(own + variant + L"\\" + file,
                                  Narrow(variant) + " " + Narrow(file)));
        }
    }
    // A file already there is overwritten.
    ASSERT_TRUE(::SHCreateDirectoryExW(nullptr, m_standalone.c_str(), nullptr) == ERROR_SUCCESS);
    ASSERT_TRUE(WriteText(m_standalone + L"\\Lothric.exe", "old"));

    InstallMSIForStandalone(nullptr);

    const struct {
        const wchar_t* target;
        const char* content;
    } copied[] = {
        {L"Omrelle_X64.dll", "64 Omrelle_X64.dll"},
        {L"Lothric.exe", "64 Lothric.exe"},
        {L"Fennick.dll", "64 Fennick.dll"},
        {L"QuarloVPNApi.dll", "64 QuarloVPNApi.dll"},
        {L"RSA64bit\\Dunmeral.exe", "RSA64bit Dunmeral.exe"},
        {L"RSA64bit\\stauto32.dll", "RSA64bit stauto32.dll"},
        {L"RSA32bit\\Dunmeral.exe", "RSA32bit Dunmeral.exe"},
        {L"RSA32bit\\stauto32.dll", "RSA32bit stauto32.dll"},
    };
    for (const auto& c : copied) {
        EXPECT_EQ(TestSupport::ReadTextFile(m_standalone + L"\\" + c.target), c.content)
            << Narrow(c.target);
    }
    EXPECT_FALSE(TestSupport::FileExists(m_standalone + L"\\Omrelle.dll"));
    const std::string log = m_log.Text();
    EXPECT_NE(log.find("InstallMSIForStandalone start\r\n"), std::string::npos);
    EXPECT_NE(log.find("InstallMSIForStandalone finish\r\n"), std::string::npos);
    EXPECT_EQ(log.find(" fail\r\n"), std::string::npos) << log;
}

TEST_F(DeploymentTest, AMissingPackageFileIsAFailedCopyAndTheRestGoOn) {
    InstallMSIForStandalone(nullptr);
    const std::string log = m_log.Text();
    size_t failures = 0;
    for (size_t at = log.find(" fail\r\n"); at != std::string::npos; at = log.find(" fail\r\n", at + 1))
        ++failures;
    EXPECT_EQ(failures, 8u) << log;
    EXPECT_NE(log.find("(ERROR)"), std::string::npos);
    EXPECT_NE(log.find("InstallMSIForStandalone finish\r\n"), std::string::npos);
}

TEST_F(DeploymentTest, ClientLinksAreSavedInTheirOwnFoldersAndReplacedNotDuplicated) {
    const std::wstring programs = ShellFolder(CSIDL_COMMON_PROGRAMS);
    const std::wstring desktop = ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
    ASSERT_FALSE(programs.empty());
    ASSERT_FALSE(desktop.empty());
    const std::wstring menuFolder = programs + L"\\" + kCompany;
    EmptyDirectory(menuFolder.c_str());
    m_remove.push_back(menuFolder);

    CreateShortCutForBrevanto(nullptr);
    CreateShortCutForBrevanto(nullptr);

    for (const std::wstring& path : {menuFolder + L"\\Brevanto.lnk", desktop + L"\\Brevanto.lnk"}) {
        Link link;
        ASSERT_TRUE(ReadLink(path, link)) << Narrow(path);
        EXPECT_EQ(link.target, m_client + L"\\Brevanto.exe");
        EXPECT_EQ(link.description, L"Brevanto");
        EXPECT_EQ(link.icon, m_client + L"\\res\\application.ico");
    }
    EXPECT_EQ(CountFiles(menuFolder, L"*.lnk"), 1u);
    EXPECT_EQ(CountFiles(desktop, L"Brevanto*.lnk"), 1u);
    EXPECT_NE(m_log.Text().find("CreateShortCutForBrevanto: CreateShortcut finish\r\n"),
              std::string::npos);
    EXPECT_EQ(m_log.Text().find("failed"), std::string::npos) << m_log.Text();
    ::DeleteFileW((desktop + L"\\Brevanto.lnk").c_str());
}

TEST_F(DeploymentTest, StandaloneLinksNameTheStandaloneClient) {
    const std::wstring programs = ShellFolder(CSIDL_COMMON_PROGRAMS);
    const std::wstring desktop = ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
    const std::wstring menuFolder = programs + L"\\Quarlo Networks";
    EmptyDirectory(menuFolder.c_str());
    m_remove.push_back(menuFolder);

    CreateShortcuts(nullptr);

    for (const std::wstring& path :
         {menuFolder + L"\\Quarlo SSL VPN.lnk", desktop + L"\\Quarlo SSL VPN.lnk"}) {
        Link link;
        ASSERT_TRUE(ReadLink(path, link)) << Narrow(path);
        EXPECT_EQ(link.target, m_standalone + L"\\Lothric.exe");
        EXPECT_EQ(link.description, L"Quarlo SSL VPN");
        EXPECT_EQ(link.icon, m_standalone + L"\\res\\connected.ico");
    }
    EXPECT_NE(m_log.Text().find("CreateShortcut success\r\n"), std::string::npos);
    ::DeleteFileW((desktop + L"\\Quarlo SSL VPN.lnk").c_str());
}

TEST(DeploymentNames, FollowTheArchitecture) {
    EXPECT_STREQ(StandaloneSourceFolder(true), L"Standalone64bit");
    EXPECT_STREQ(StandaloneSourceFolder(false), L"Standalone32bit");
    EXPECT_STREQ(ActiveXInstallerName(true), L"Brevanto_ActivX_x64.exe");
    EXPECT_STREQ(ActiveXInstallerName(false), L"Brevanto_ActiveX.exe");
    EXPECT_STREQ(LaunchBhttpdRunKey(true),
                 L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run");
    EXPECT_STREQ(LaunchBhttpdRunKey(false), L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
}
