#include <gtest/gtest.h>

#include <objbase.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CommonFunction.h"
#include "INIFile.h"
#include "StringUtil.h"
#include "System.h"
#include "TestSupport.h"

using TestSupport::ScopedRegistryKey;
using TestSupport::TempDir;

namespace {
void Touch(const std::wstring& path, const std::string& bytes = "x") {
    ASSERT_EQ(WriteWholeFileAtomic(path.c_str(), bytes), 1);
}
std::wstring FindSpare(const TempDir& dir, const std::wstring& name) {
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW(dir.File(name + L"_*_old").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return L"";
    ::FindClose(find);
    return entry.cFileName;
}
}  // namespace

TEST(CodePageConversion, SizesFromTheLengthAndRefusesInnerZeros) {
    const char unterminated[3] = {'x', 'y', 'z'};
    const struct {
        const char* text;
        int length;
        int expected;
        const wchar_t* converted;
    } cases[] = {
        {"ab", 2, 2, L"ab"},           {unterminated, 3, 3, L"xyz"}, {"ab\0", 3, 3, L"ab"},
        {"a\0b", 3, -1, L""},          {"a\0\0", 3, -1, L""},        {nullptr, 3, -1, L""},
        {"ab", 0, -1, L""},            {"abc", 1, 1, L"a"},
    };
    for (const auto& c : cases) {
        std::wstring out = L"old";
        EXPECT_EQ(ConvertMultiByteToWide(c.text, c.length, out, 1252), c.expected) << c.length;
        if (c.expected > 0) {
            EXPECT_STREQ(out.c_str(), c.converted);
        }
    }
    std::string narrow;
    EXPECT_EQ(ConvertWideToMultiByte(L"a\0b", 3, narrow, 1252), -1);
    EXPECT_EQ(ConvertWideToMultiByte(L"caf\u00e9", 4, narrow, 1252), 4);
    EXPECT_EQ(narrow, "caf\xe9");

    std::wstring wide = L"keep";
    EXPECT_EQ(StringToWString("", wide), 0);
    EXPECT_EQ(wide, L"keep");
    EXPECT_EQ(StringToWString("\xd6\xd0\xce\xc4", wide), 1);
    EXPECT_EQ(wide, L"\u4e2d\u6587");
}

TEST(CodePageConversion, ExactConversionRefusesEveryReplacedCharacter) {
    const struct {
        const wchar_t* text;
        UINT codePage;
        bool ok;
        const char* bytes;
    } cases[] = {
        {L"caf\u00e9", 1252, true, "caf\xe9"},
        {L"\u0141\u00f3d\u017a", 1252, false, ""},  // best fit would give "L\xf3dz"
        {L"\u041f\u0430\u0440\u043e\u043b\u044c", 1252, false, ""},  // would give "??????"
        {L"\u041f\u0430", 1251, true, "\xcf\xe0"},
        {L"\u4e2d\u6587", 936, true, "\xd6\xd0\xce\xc4"},
        {L"a?b", 1252, true, "a?b"},               // a real question mark stays
        {L"x\xd800y", CP_UTF8, false, ""},        // a lone surrogate
        {L"\u00e9", CP_UTF8, true, "\xc3\xa9"},
        {L"", 1252, true, ""},
    };
    for (const auto& c : cases) {
        std::string out = "untouched";
        EXPECT_EQ(ExactCodePageFromWide(c.text, c.codePage, out), c.ok) << c.codePage;
        EXPECT_EQ(out, c.ok ? std::string(c.bytes) : std::string("untouched")) << c.codePage;
    }
    std::wstring wide = L"untouched";
    EXPECT_FALSE(ExactWideFromCodePage("\xd6", 936, wide));  // a lead byte alone
    EXPECT_EQ(wide, L"untouched");
    EXPECT_TRUE(ExactWideFromCodePage("\xd6\xd0", 936, wide));
    EXPECT_EQ(wide, L"\u4e2d");
}

TEST(TrimSpaces, RemovesOnlyBlanksAtBothEnds) {
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {{L"  a b  ", L"a b"}, {L"    ", L""}, {L"\tx\t", L"\tx\t"}, {L"", L""}, {L"z", L"z"}};
    for (const auto& c : cases) {
        wchar_t buffer[32] = {};
        wcscpy(buffer, c.in);
        TrimSpaces(buffer);
        EXPECT_STREQ(buffer, c.out) << c.in;
    }
    TrimSpaces(nullptr);
}

TEST(RemoveFile, MissingFileIsGoneAndAHeldFileIsMovedAsideForReboot) {
    TempDir dir;
    EXPECT_EQ(RemoveFile(dir.File(L"missing.dll").c_str()), 1);
    EXPECT_EQ(FindSpare(dir, L"missing.dll"), L"");
    for (const std::wstring name : {L"held.dll", L"\u4e2d\u6587.dll"}) {
        const std::wstring path = dir.File(name);
        Touch(path);
        // A read-only file cannot be deleted but can be renamed.
        ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        const std::function<int(const wchar_t*)> removers[] = {RemoveFile, ForceRemoveFile};
        EXPECT_EQ(removers[name == L"held.dll" ? 0 : 1](path.c_str()), 1) << name.size();
        EXPECT_FALSE(TestSupport::FileExists(path));
        const std::wstring spare = FindSpare(dir, name);
        ASSERT_NE(spare, L"");
        ::SetFileAttributesW(dir.File(spare).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(EmptyDirectory, RemovesTheTreeButSkipsDotFolders) {
    TempDir dir;
    const std::wstring root = dir.File(L"tree");
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((root + L"\\.cache").c_str(), nullptr));
    Touch(root + L"\\a.txt");
    Touch(root + L"\\.hidden");
    Touch(root + L"\\sub\\b.txt");
    Touch(root + L"\\.cache\\c.txt");
    EXPECT_EQ(EmptyDirectory(root.c_str()), 1);
    EXPECT_FALSE(TestSupport::FileExists(root + L"\\a.txt"));
    EXPECT_FALSE(TestSupport::FileExists(root + L"\\.hidden"));
    EXPECT_FALSE(TestSupport::FileExists(root + L"\\sub"));
    EXPECT_TRUE(TestSupport::FileExists(root + L"\\.cache\\c.txt"));
    EXPECT_EQ(EmptyDirectory(dir.File(L"absent").c_str()), 0);
    Touch(dir.File(L"plain.txt"));
    EXPECT_EQ(EmptyDirectory(dir.File(L"plain.txt").c_str()), 0);
    EXPECT_TRUE(TestSupport::FileExists(dir.File(L"plain.txt")));
}

TEST(EmptyDirectory, RemovesALinkWithoutEmptyingItsTarget) {
    TempDir dir;
    const std::wstring outside = dir.File(L"outside");
    const std::wstring root = dir.File(L"tree");
    ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
    Touch(outside + L"\\keep.txt");
    const std::wstring link = root + L"\\link";
    if (!::CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "Wine cannot create a directory symbolic link here (error "
                     << ::GetLastError() << ")";
    }
    if (!(::GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
        GTEST_SKIP() << "Wine does not report the link as a reparse point";
    }
    EXPECT_EQ(EmptyDirectory(root.c_str()), 1);
    EXPECT_TRUE(TestSupport::FileExists(outside + L"\\keep.txt"));
    EXPECT_FALSE(TestSupport::FileExists(root));
}

namespace {

// Wine cannot make directory links: the folders named here read as links
// when EmptyDirectory opens them, as if they had been swapped for one.
std::vector<std::wstring> g_linkFolders;
DWORD LinkAttributesFor(HANDLE, const wchar_t* path) {
    for (const std::wstring& link : g_linkFolders) {
        if (::lstrcmpiW(link.c_str(), path) == 0) {
            return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        }
    }
    return FILE_ATTRIBUTE_DIRECTORY;
}

class FolderLinks {
public:
    explicit FolderLinks(std::vector<std::wstring> links)
        : m_links(SetOpenedFolderAttributesSourceForTest, LinkAttributesFor) {
        g_linkFolders = std::move(links);
    }
    ~FolderLinks() { g_linkFolders.clear(); }

private:
    TestSupport::ScopedHook<OpenedFolderAttributesSource> m_links;
};

}  // namespace

TEST(EmptyDirectory, NeverEntersAFolderThatIsALinkWhenItIsOpened) {
    TempDir dir;
    const std::wstring root = dir.File(L"tree");
    for (const wchar_t* sub : {L"", L"\\normal", L"\\swapped", L"\\normal\\deeper"}) {
        ASSERT_TRUE(::CreateDirectoryW((root + sub).c_str(), nullptr));
    }
    Touch(root + L"\\normal\\a.txt");
    Touch(root + L"\\normal\\deeper\\b.txt");
    Touch(root + L"\\swapped\\keep.txt");
    {
        // The folder given is itself a link: nothing below it is touched.
        FolderLinks links({root});
        EXPECT_EQ(EmptyDirectory(root.c_str()), 1);
        EXPECT_TRUE(TestSupport::FileExists(root + L"\\normal\\a.txt"));
        EXPECT_TRUE(TestSupport::FileExists(root + L"\\swapped\\keep.txt"));
    }
    {
        FolderLinks links({root + L"\\swapped"});
        EXPECT_EQ(EmptyDirectory(root.c_str()), 1);
    }
    EXPECT_FALSE(TestSupport::FileExists(root + L"\\normal"));
    // The link is removed, never what it points to (here the real folder
    // stays, as it is not empty).
    EXPECT_TRUE(TestSupport::FileExists(root + L"\\swapped\\keep.txt"));
}

TEST(EmptyDirectory, AFolderBeingEmptiedCannotBeRenamedOrReplaced) {
    TempDir dir;
    const std::wstring root = dir.File(L"tree");
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
    Touch(root + L"\\sub\\a.txt");
    // While the walk is in the sub-folder, the source of its attributes tries
    // to move both folders away (the first step of a swap for a link).
    static std::wstring s_root;
    static std::vector<DWORD> s_moveErrors;
    s_root = root;
    s_moveErrors.clear();
    std::optional<TestSupport::ScopedHook<OpenedFolderAttributesSource>> swapper;
    swapper.emplace(SetOpenedFolderAttributesSourceForTest, [](HANDLE, const wchar_t* path) -> DWORD {
        if (std::wstring(path) == s_root + L"\\sub") {
            for (const std::wstring& from : {s_root + L"\\sub", s_root}) {
                const BOOL moved = ::MoveFileW(from.c_str(), (from + L"_moved").c_str());
                s_moveErrors.push_back(moved ? 0 : ::GetLastError());
                if (moved) ::MoveFileW((from + L"_moved").c_str(), from.c_str());
            }
        }
        return FILE_ATTRIBUTE_DIRECTORY;
    });
    const int result = EmptyDirectory(root.c_str());
    swapper.reset();
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(TestSupport::FileExists(root));
    ASSERT_EQ(s_moveErrors.size(), 2u);
    if (s_moveErrors[0] == 0 || s_moveErrors[1] == 0) {
        GTEST_SKIP() << "Wine lets an open folder be renamed although it was opened without "
                        "delete sharing";
    }
    EXPECT_NE(s_moveErrors[0], 0u);
    EXPECT_NE(s_moveErrors[1], 0u);
}

TEST(CreateShortcut, SavesALinkWithAndWithoutIcon) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    TempDir dir;
    const std::wstring target = dir.File(L"target.exe");
    Touch(target);
    EXPECT_EQ(CreateShortcut(target.c_str(), dir.File(L"a.lnk").c_str(), L"desc", nullptr), 1);
    EXPECT_EQ(CreateShortcut(target.c_str(), dir.File(L"b.lnk").c_str(), L"desc", target.c_str()),
              1);
    EXPECT_TRUE(TestSupport::FileExists(dir.File(L"a.lnk")));
    EXPECT_TRUE(TestSupport::FileExists(dir.File(L"b.lnk")));
    EXPECT_EQ(CreateShortcut(target.c_str(), dir.File(L"no\\such\\c.lnk").c_str(), L"d", nullptr),
              0);
    ::CoUninitialize();
}

TEST(RegistryFlags, MappersKeepTheirRangesAndDefaults) {
    const struct {
        int (*map)(LSTATUS, DWORD);
        LSTATUS status;
        DWORD value;
        int expected;
    } cases[] = {
        {ProxyListenPortFromValue, ERROR_SUCCESS, 8080, 8080},
        {ProxyListenPortFromValue, ERROR_SUCCESS, 65534, 65534},
        {ProxyListenPortFromValue, ERROR_SUCCESS, 65535, 60202},
        {ProxyListenPortFromValue, ERROR_SUCCESS, 0, 60202},
        {ProxyListenPortFromValue, ERROR_SUCCESS, 70000, 70000},
        {ProxyListenPortFromValue, ERROR_FILE_NOT_FOUND, 0, 60202},
        {SSLProtoFromValue, ERROR_SUCCESS, 16, 16},
        {SSLProtoFromValue, ERROR_SUCCESS, 17, 0},
        {SSLProtoFromValue, ERROR_SUCCESS, 1, 1},
        {MachineCertFlagFromValue, ERROR_SUCCESS, 2, 2},
        {MachineCertFlagFromValue, ERROR_SUCCESS, 3, 0},
        {IsOneFromValue, ERROR_SUCCESS, 1, 1},
        {IsOneFromValue, ERROR_SUCCESS, 2, 0},
        {IsOneFromValue, ERROR_MORE_DATA, 1, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.map(c.status, c.value), c.expected) << c.value;
    }
}

TEST(RegistryFlags, ReadersUseTheirKeysAndValues) {
    ScopedRegistryKey imLm(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager");
    ScopedRegistryKey vpn2Lm(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\VPN2");
    ScopedRegistryKey vpn2Cu(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2");
    ScopedRegistryKey imCu(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\Install Manager");
    ScopedRegistryKey auth(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\ClientAuthFlag");
    ScopedRegistryKey l3(HKEY_CURRENT_USER, L"Software\\Brevanto\\L3VPN");
    EXPECT_EQ(GetProxyListenPort(), 60202);
    EXPECT_EQ(GetBrevantoUdpPort(), 65432);
    EXPECT_EQ(GetSSLProtoFlag(), 0);
    imLm.SetDword(L"sslproto", 12);
    vpn2Lm.SetDword(L"BVStatus", 77);
    vpn2Lm.SetDword(L"BVSlow", 5);
    vpn2Lm.SetDword(L"MachineCertFlag", 1);
    vpn2Cu.SetDword(L"BVCommandLineFlag", 9);
    vpn2Cu.SetDword(L"VPNstatus", 4);
    imCu.SetDword(L"proxylistenport", 70000);
    auth.SetDword(L"EnableClientAuth", 1);
    l3.SetDword(L"port", 4000);
    EXPECT_EQ(GetSSLProtoFlag(), 12);
    EXPECT_EQ(GetBVStatus(), 77);
    EXPECT_EQ(GetVPN2Value("BVSlow"), 5);
    EXPECT_EQ(GetLocalMachineCertPathFlag(), 1);
    EXPECT_EQ(GetBrevantoCommandLineFlag(), 9);
    EXPECT_EQ(GetBrevantoUpgradeStatus(), 4);
    EXPECT_EQ(GetProxyListenPort(), 70000);
    EXPECT_EQ(IsEnableClientAuth(), 1);
    EXPECT_EQ(GetBrevantoUdpPort(), 4000);
    SetBrevantoWebDuringDisconnectFlag(true);
    EXPECT_EQ(IsBrevantoWebDuringDisconnect(), 1);
    SetBrevantoWebDuringDisconnectFlag(false);
    EXPECT_EQ(IsBrevantoWebDuringDisconnect(), 0);
    // A short text fits the DWORD buffer and is read as its bytes.
    imCu.SetString(L"proxylistenport", L"a");
    EXPECT_EQ(GetProxyListenPort(), 0x61);
    imCu.SetString(L"proxylistenport", L"abc");
    EXPECT_EQ(GetProxyListenPort(), 60202);
}

TEST(RegistryFlags, TextsAreTerminatedInTheBufferAndNeverCut) {
    ScopedRegistryKey key(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\QuarloTextTest");
    HKEY raw = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\QuarloTextTest", 0, nullptr,
                                0, KEY_SET_VALUE, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    const wchar_t eight[] = L"abcdefgh";
    ::RegSetValueExW(raw, L"exact", 0, REG_SZ, reinterpret_cast<const BYTE*>(eight), 16);
    ::RegSetValueExW(raw, L"seven", 0, REG_SZ, reinterpret_cast<const BYTE*>(eight), 14);
    ::RegCloseKey(raw);
    key.SetString(L"long", L"abcdefghij");
    const struct {
        const wchar_t* name;
        LSTATUS status;
        const wchar_t* text;
    } cases[] = {
        {L"seven", ERROR_SUCCESS, L"abcdefg"},  // unterminated, fits with its terminator
        {L"exact", ERROR_MORE_DATA, L""},       // unterminated, one character too many
        {L"long", ERROR_MORE_DATA, L""},        // terminated, too long
        {L"missing", ERROR_FILE_NOT_FOUND, L""},
    };
    for (const auto& c : cases) {
        wchar_t buffer[9];
        wmemset(buffer, L'#', 9);
        EXPECT_EQ(ReadRegistryText(HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\QuarloTextTest", c.name,
                                   buffer, 8),
                  c.status)
            << c.name;
        EXPECT_STREQ(buffer, c.text) << c.name;
    }
}

TEST(CompanyName, AcceptsOneTo127CharactersAndBuildsTheFolders) {
    ScopedRegistryKey im(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager");
    wchar_t name[MAX_PATH] = {};
    const struct {
        std::wstring stored;
        bool present;
        std::wstring expected;
        int exists;
    } cases[] = {{L"", false, L"Quarlo Networks", 0},
                 {L"", true, L"Quarlo Networks", 0},
                 {std::wstring(127, L'c'), true, std::wstring(127, L'c'), 1},
                 {std::wstring(128, L'c'), true, L"Quarlo Networks", 1},
                 {L"Acme", true, L"Acme", 1}};
    for (const auto& c : cases) {
        if (c.present) im.SetString(L"CompanyName", c.stored);
        GetCompanyName(name);
        EXPECT_EQ(name, c.expected) << c.stored.size();
        EXPECT_EQ(IsCompanyNameExistInReg(), c.exists) << c.stored.size();
    }
    wchar_t expanded[MAX_PATH] = {};
    ::ExpandEnvironmentStringsW(Is64BitOS() ? L"%ProgramW6432%" : L"%ProgramFiles%", expanded,
                                MAX_PATH);
    wchar_t dir[MAX_PATH] = {};
    GetBrevantoClientDir(dir, 0);
    EXPECT_EQ(std::wstring(dir), std::wstring(expanded) + L"\\Acme\\Brevanto VPN Client");
}

TEST(OEMValues, ReadsTheApplicationNameAndFitsTheCallersBuffer) {
    TempDir dir;
    const std::wstring ini = dir.File(L"OEM.ini");
    Touch(ini, "[Startup]\r\nApplicationName=My Portal Client\r\n");
    wchar_t small[5] = {L'#', 0};
    GetOEMValue(ini.c_str(), L"Startup", L"ApplicationName", small, 5);
    EXPECT_STREQ(small, L"My P");
    wchar_t untouched[8] = L"same";
    GetOEMValue(dir.File(L"none.ini").c_str(), L"Startup", L"ApplicationName", untouched, 8);
    EXPECT_STREQ(untouched, L"same");
    GetOEMValue(ini.c_str(), L"Startup", L"Other", untouched, 8);
    EXPECT_STREQ(untouched, L"");
}

TEST(OSGeneration, GetOSVersionMapsEveryRowOfItsTable) {
    constexpr BYTE ws = VER_NT_WORKSTATION;
    constexpr BYTE srv = VER_NT_SERVER;
    constexpr WORD amd64 = PROCESSOR_ARCHITECTURE_AMD64;
    constexpr WORD x86 = PROCESSOR_ARCHITECTURE_INTEL;
    const struct {
        DWORD platform, major, minor;
        BYTE product;
        WORD arch;
        bool r2, atLeast10;
        int32_t expected;
    } cases[] = {
        {1, 4, 0, ws, x86, false, false, -1},   {1, 4, 10, ws, x86, false, false, 0},
        {0, 3, 1, ws, x86, false, false, -1},   {2, 4, 0, ws, x86, false, false, -1},
        {2, 5, 0, ws, x86, false, false, 1},    {2, 5, 1, ws, x86, false, false, 2},
        {2, 5, 2, ws, amd64, false, false, 2},  {2, 5, 2, ws, x86, false, false, 3},
        {2, 5, 2, srv, amd64, true, false, 3},  {2, 5, 3, ws, x86, false, false, -1},
        {2, 6, 0, ws, x86, false, false, 4},    {2, 6, 0, srv, x86, false, false, 5},
        {2, 6, 1, ws, x86, false, false, 6},    {2, 6, 1, srv, x86, false, false, 5},
        {2, 6, 2, ws, x86, false, false, 7},    {2, 6, 3, ws, x86, false, true, 8},
        {2, 6, 2, srv, x86, false, true, 8},    {2, 6, 2, srv, x86, false, false, 7},
        {2, 6, 4, ws, x86, false, false, 7},    {2, 10, 0, ws, x86, false, false, 8},
        {2, 10, 0, srv, x86, false, false, 5},
    };
    for (const auto& c : cases) {
        OSVERSIONINFOEXW v{};
        v.dwPlatformId = c.platform;
        v.dwMajorVersion = c.major;
        v.dwMinorVersion = c.minor;
        v.wProductType = c.product;
        EXPECT_EQ(OSGenerationForSystem(v, c.arch, c.r2, c.atLeast10).generation, c.expected)
            << c.platform << " " << c.major << "." << c.minor << " " << int(c.product);
    }
    EXPECT_EQ(GetOSVersion(), 6);  // a new Wine prefix reports Windows 7
    EXPECT_EQ(IsUserLocalSystem(), 0);
}
