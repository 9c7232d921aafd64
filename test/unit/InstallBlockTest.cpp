// The install block's arguments, its cabinet choice and the client
// authentication switched on for one operation and put back as it was.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "InstallBlock.h"
#include "Platform.h"
#include "TestSupport.h"

using TestSupport::ScopedRegistryKey;

namespace {

constexpr const wchar_t* kClientAuthKey = L"SOFTWARE\\VPN\\ClientAuthFlag";

struct Value {
    bool present = false;
    DWORD type = 0;
    std::string data;
};

Value ReadClientAuth() {
    Value v;
    char data[64] = {};
    DWORD size = sizeof(data);
    v.present = ::SHGetValueW(HKEY_LOCAL_MACHINE, kClientAuthKey, L"EnableClientAuth", &v.type, data,
                              &size) == ERROR_SUCCESS;
    if (v.present) v.data.assign(data, size);
    return v;
}

std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

}  // namespace

TEST(InstallBlockArguments, ProxyFieldsCountFromElevenArgumentsWithTheFlagOn) {
    const struct {
        std::vector<const wchar_t*> argv;
        bool useProxy;
        const wchar_t* host;
        uint16_t proxyPort;
        const wchar_t* user;
        const wchar_t* password;
        const wchar_t* domain;
    } cases[] = {
        {{L"x", L"install", L"Grendal", L"gw", L"443", L"sid", L"0"}, false, L"", 0, L"", L"", L""},
        {{L"x", L"install", L"Grendal", L"gw", L"443", L"sid", L"0", L"1", L"px", L"8080"},
         false, L"", 0, L"", L"", L""},
        {{L"x", L"install", L"Grendal", L"gw", L"443", L"sid", L"0", L"1", L"px", L"8080", L"al"},
         true, L"px", 8080, L"al", L"", L""},
        {{L"x", L"install", L"Grendal", L"gw", L"443", L"sid", L"0", L"1", L"px", L"8080", L"al",
          L"pw"},
         true, L"px", 8080, L"al", L"pw", L""},
        {{L"x", L"install", L"Grendal", L"gw", L"443", L"sid", L"0", L"1", L"px", L"8080", L"al",
          L"pw", L"CORP"},
         true, L"px", 8080, L"al", L"pw", L"CORP"},
        {{L"x", L"install", L"Grendal", L"gw", L"443", L"sid", L"0", L"0", L"px", L"8080", L"al",
          L"pw", L"CORP"},
         false, L"", 0, L"", L"", L""},
        {{L"x", L"install", L"Grendal", L"gw", L"443", L"sid", L"0", L"1", L"", L"8080", L"al"},
         false, L"", 8080, L"al", L"", L""},
        {{L"x", L"install", L"Grendal", L"gw", L"443", L"sid", L"0", L"yes", L"px", L"8080", L"al"},
         false, L"", 0, L"", L"", L""},
    };
    for (const auto& c : cases) {
        const auto args = ParseInstallBlockArguments(static_cast<int>(c.argv.size()), c.argv.data());
        const std::string name = "argc " + std::to_string(c.argv.size());
        EXPECT_EQ(args.component, L"Grendal") << name;
        EXPECT_EQ(args.host, L"gw") << name;
        EXPECT_EQ(args.port, 443) << name;
        EXPECT_EQ(args.session, L"sid") << name;
        EXPECT_EQ(args.UseProxy(), c.useProxy) << name;
        EXPECT_EQ(args.proxyHost, c.host) << name;
        EXPECT_EQ(args.proxyPort, c.proxyPort) << name;
        EXPECT_EQ(args.proxyUser, c.user) << name;
        EXPECT_EQ(args.proxyPassword, c.password) << name;
        EXPECT_EQ(args.proxyDomain, c.domain) << name;
    }
    const wchar_t* odd[] = {L"x", L"update", L"BVGrendal", L"gw", L"port", L"", L"2052x"};
    const auto args = ParseInstallBlockArguments(7, odd);
    EXPECT_EQ(args.port, 0);
    EXPECT_EQ(args.languageId, 2052u);
    EXPECT_EQ(args.session, L"");
}

TEST(InstallBlockCabinet, ByComponentAndArchitecture) {
    EXPECT_STREQ(InstallManagerCabinetName(L"Grendal", kArchX64), L"zem_manager_x64.cab");
    EXPECT_STREQ(InstallManagerCabinetName(L"Grendal", kArchX86), L"zem_manager.cab");
    EXPECT_STREQ(InstallManagerCabinetName(L"Grendal", kArchIA64), L"zem_manager.cab");
    EXPECT_STREQ(InstallManagerCabinetName(L"BVGrendal", kArchX64), L"zem_manager_bv_x64.cab");
    EXPECT_STREQ(InstallManagerCabinetName(L"BVGrendal", kArchOther), L"zem_manager_bv.cab");
    EXPECT_EQ(InstallManagerCabinetName(L"grendal", kArchX64), nullptr);
    EXPECT_EQ(InstallManagerCabinetName(L"Other", kArchX64), nullptr);
}

TEST(ClientAuthForOperation, IsOnForTheScopeAndPutBackExactlyAsItWas) {
    const struct {
        const char* name;
        bool present;
        DWORD type;
        std::string data;
        bool changes;
    } cases[] = {
        {"absent", false, 0, "", true},
        {"off", true, REG_DWORD, Dword(0), true},
        {"another number", true, REG_DWORD, Dword(2), true},
        {"a text", true, REG_SZ, std::string("1\0\0\0", 4), true},
        {"on", true, REG_DWORD, Dword(1), false},
    };
    for (const auto& c : cases) {
        ScopedRegistryKey key(HKEY_LOCAL_MACHINE, kClientAuthKey);
        if (c.present)
            ::SHSetValueW(HKEY_LOCAL_MACHINE, kClientAuthKey, L"EnableClientAuth", c.type,
                          c.data.data(), static_cast<DWORD>(c.data.size()));
        {
            const ScopedClientAuthForOperation scope;
            EXPECT_EQ(scope.changed(), c.changes) << c.name;
            const Value during = ReadClientAuth();
            EXPECT_TRUE(during.present) << c.name;
            EXPECT_EQ(during.type, static_cast<DWORD>(REG_DWORD)) << c.name;
            EXPECT_EQ(during.data, Dword(1)) << c.name;
        }
        const Value after = ReadClientAuth();
        EXPECT_EQ(after.present, c.present) << c.name;
        EXPECT_EQ(after.type, c.type) << c.name;
        EXPECT_EQ(after.data, c.data) << c.name;
    }
}
