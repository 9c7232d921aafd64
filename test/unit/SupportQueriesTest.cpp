#include <gtest/gtest.h>

#include <shlwapi.h>

#include <cwchar>

#include "CommonFunction.h"
#include "Loglib.h"
#include "StringUtil.h"
#include "TestSupport.h"

TEST(WideFormatting, PercentSInAWideFormatIsAWideString) {
    wchar_t buffer[64] = {};
    _snwprintf(buffer, 64, L"[%s|%S|%d]", L"wide", "narrow", 7);
    EXPECT_STREQ(buffer, L"[wide|narrow|7]");
    EXPECT_EQ(FormatW(L"%s=%u", L"key", 42u), L"key=42");
    EXPECT_EQ(FormatA("%s=%S", "narrow", L"wide"), "narrow=wide");
}

TEST(StringConversion, ReplaceAllScansOnAfterEachReplacement) {
    EXPECT_EQ(ReplaceAll(std::wstring_view(L"a\nb\n"), L"\n", L"\r\n"), L"a\r\nb\r\n");
    EXPECT_EQ(ReplaceAll(std::wstring_view(L"aaa"), L"a", L"aa"), L"aaaaaa");
    EXPECT_EQ(ReplaceAll(std::wstring_view(L"abc"), L"", L"x"), L"abc");
    EXPECT_EQ(ReplaceAll(std::string_view("x--y"), "-", ""), "xy");
}

TEST(StringConversion, CodePagesRoundTripAndKeepEmbeddedZeros) {
    const std::string latin1("caf\xe9\0x", 6);
    const std::wstring wide = WideFromCodePage(latin1, 1252);
    EXPECT_EQ(wide, std::wstring(L"caf\u00e9\0x", 6));
    EXPECT_EQ(CodePageFromWide(wide, 1252), latin1);
    EXPECT_EQ(CodePageFromWide(L"\u4e2d", CP_UTF8), "\xe4\xb8\xad");
    EXPECT_EQ(WideFromCodePage("", CP_UTF8), L"");
}

namespace {
OSVERSIONINFOEXW Version(DWORD platform, DWORD major, DWORD minor, BYTE productType) {
    OSVERSIONINFOEXW v{};
    v.dwOSVersionInfoSize = sizeof(v);
    v.dwPlatformId = platform;
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.wProductType = productType;
    return v;
}
}  // namespace

TEST(OSGeneration, MapsEveryVersionOfTheTable) {
    constexpr BYTE ws = VER_NT_WORKSTATION;
    constexpr BYTE srv = VER_NT_SERVER;
    struct Case {
        DWORD platform, major, minor;
        BYTE product;
        bool atLeast10;
        int32_t expected;
    } cases[] = {
        {1, 4, 10, ws, false, 0},  {1, 4, 90, ws, false, 0},  {1, 4, 0, ws, false, -1},
        {2, 5, 0, ws, false, 1},   {2, 5, 1, ws, false, 2},   {2, 5, 2, ws, false, 2},
        {2, 5, 2, srv, false, 3},  {2, 5, 3, ws, false, -1},  {2, 6, 0, ws, false, 4},
        {2, 6, 0, srv, false, 5},  {2, 6, 1, ws, false, 6},   {2, 6, 1, srv, false, 5},
        {2, 6, 2, ws, false, 7},   {2, 6, 3, srv, false, 7},  {2, 6, 2, ws, true, 8},
        {2, 6, 3, ws, true, 8},    {2, 6, 4, ws, false, -1},  {2, 10, 0, ws, false, 8},
        {2, 10, 0, srv, false, 5}, {2, 4, 0, ws, false, -1},  {0, 10, 0, ws, false, -1},
        {3, 10, 0, ws, false, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OSGenerationFromVersion(Version(c.platform, c.major, c.minor, c.product),
                                          c.atLeast10),
                  c.expected)
            << c.platform << " " << c.major << "." << c.minor << " product " << int(c.product);
    }
}

TEST(OSGeneration, RunningWindowsIsRecognised) {
    // Wine reports Windows 7 unless configured otherwise.
    const int32_t generation = GetOSVersionNoLog();
    EXPECT_GE(generation, 4);
    EXPECT_TRUE(IsOSVersionAtLeast(5, 1, 0));
    EXPECT_FALSE(IsOSVersionAtLeast(99, 0, 0));
}

TEST(Architecture, MapsTheProcessorArchitecture) {
    struct Case {
        WORD arch;
        int is64, native;
    } cases[] = {{PROCESSOR_ARCHITECTURE_INTEL, 0, 1},
                 {PROCESSOR_ARCHITECTURE_AMD64, 1, 2},
                 {PROCESSOR_ARCHITECTURE_IA64, 1, 3},
                 {PROCESSOR_ARCHITECTURE_ARM, 0, 0},
                 {PROCESSOR_ARCHITECTURE_UNKNOWN, 0, 0}};
    for (const Case& c : cases) {
        const ArchitectureInfo info = ArchitectureFromProcessor(c.arch);
        EXPECT_EQ(info.is64BitOS, c.is64) << c.arch;
        EXPECT_EQ(info.nativeArchitecture, c.native) << c.arch;
    }
    EXPECT_EQ(Is64BitOS(), 1);
    EXPECT_EQ(GetNativeArchitecture(), kArchX64);
}

TEST(DebugSwitch, OnlyADwordOf7315UnderEitherKeySwitchesItOn) {
    using TestSupport::ScopedRegistryKey;
    const wchar_t* native = L"SOFTWARE\\VPN\\Install Manager";
    const wchar_t* wow = L"SOFTWARE\\Wow6432Node\\VPN\\Install Manager";
    {
        ScopedRegistryKey a(HKEY_LOCAL_MACHINE, native), b(HKEY_LOCAL_MACHINE, wow);
        EXPECT_EQ(IsEnablePrintRequest(), 0) << "missing";
        a.SetDword(L"EnablePrintRequest", 7315);
        EXPECT_EQ(IsEnablePrintRequest(), 1) << "native key";
        a.SetDword(L"EnablePrintRequest", 7316);
        EXPECT_EQ(IsEnablePrintRequest(), 0) << "other value";
        b.SetDword(L"EnablePrintRequest", 7315);
        EXPECT_EQ(IsEnablePrintRequest(), 1) << "Wow6432Node key on 64-bit Windows";
        b.SetDword(L"EnablePrintRequest", 1);
        a.SetString(L"EnablePrintRequest", L"7315");
        EXPECT_EQ(IsEnablePrintRequest(), 0) << "a string is not the switch";
        const ULONGLONG q = 7315;
        ::SHSetValueW(HKEY_LOCAL_MACHINE, native, L"EnablePrintRequest", REG_QWORD, &q, sizeof(q));
        EXPECT_EQ(IsEnablePrintRequest(), 0) << "a QWORD is not the switch";
        const DWORD binary = 7315;
        ::SHSetValueW(HKEY_LOCAL_MACHINE, native, L"EnablePrintRequest", REG_BINARY, &binary,
                      sizeof(binary));
        EXPECT_EQ(IsEnablePrintRequest(), 0) << "binary bytes of 7315 are not the switch";
    }
}
