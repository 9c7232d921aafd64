#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QuarloInstall.h"

namespace {

struct RouteCase {
    std::vector<const wchar_t*> args;  // argv[1...]
    FrontDoorRow pelkora;
    FrontDoorRow tavrisk;
};

FrontDoorRow Route(const std::vector<const wchar_t*>& args, const FrontDoorVariant& variant) {
    std::vector<const wchar_t*> argv{L"C:\\Windows\\system32\\Tavrisk.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RouteCommand(static_cast<int>(argv.size()), argv.data(), variant);
}

using R = FrontDoorRow;

const RouteCase kCases[] = {
    // Nothing to dispatch.
    {{}, R::NoMatch, R::NoMatch},
    {{L"nothing"}, R::NoMatch, R::NoMatch},
    // Substring, case-insensitive.
    {{L"callhome"}, R::CallHome, R::CallHome},
    {{L"CALLHOME"}, R::CallHome, R::CallHome},
    {{L"xxcallHomeyy", L"a", L"b", L"c"}, R::CallHome, R::CallHome},
    {{L"-updateBrevanto"}, R::UpdateBrevanto, R::UpdateBrevanto},
    // Only Pelkora has the proxy-clearing row.
    {{L"clearIEProxySettings"}, R::ClearIEProxySettings, R::NoMatch},
    {{L"clearIEProxySettings", L"a", L"b", L"c", L"d", L"e"}, R::ClearIEProxySettings,
     R::InstallBlock},
    // Gates.
    {{L"insideproxy", L"set", L"x"}, R::NoMatch, R::NoMatch},
    {{L"insideproxy", L"set", L"x", L"http://h/p.pac"}, R::InsideProxy, R::InsideProxy},
    {{L"BVSetOutSideProxyScript", L"a", L"b"}, R::SetOutSideProxyScript, R::SetOutSideProxyScript},
    {{L"BVSetOutSideProxyScript", L"a"}, R::SaveProxyForm, R::SaveProxyForm},
    {{L"BVResumeOutSideProxyScript"}, R::ResumeOutSideProxyScript, R::ResumeOutSideProxyScript},
    {{L"BVConnectcmd"}, R::ConnectCmd, R::ConnectCmd},
    {{L"BVConnectcmd", L"x"}, R::SaveProxyForm, R::SaveProxyForm},
    {{L"BVDisconnectcmd"}, R::DisconnectCmd, R::DisconnectCmd},
    {{L"BVWebShowDD"}, R::WebShowDD, R::WebShowDD},
    {{L"DetectNetwork", L"10.0.0.1", L"80"}, R::DetectNetwork, R::DetectNetwork},
    {{L"DetectNetwork", L"10.0.0.1"}, R::SaveProxyForm, R::SaveProxyForm},
    {{L"BVConnectWithSession", L"gw", L"443", L"sid", L"1234"}, R::ConnectWithSession,
     R::ConnectWithSession},
    {{L"BVConnectWithSession", L"gw", L"443", L"sid"}, R::NoMatch, R::NoMatch},
    {{L"BVDisconnectSession"}, R::DisconnectSession, R::DisconnectSession},
    {{L"BVLogoutSession"}, R::LogoutSession, R::LogoutSession},
    {{L"BVSavePassword"}, R::SavePassword, R::SavePassword},
    {{L"BVSavePassword", L"pw", L"extra"}, R::SavePassword, R::SavePassword},
    {{L"BVSaveProxyInfo", L"gw"}, R::SaveProxyInfo, R::SaveProxyInfo},
    {{L"BVGetClientsecuritySession", L"gw", L"443"}, R::GetClientSecuritySession,
     R::GetClientSecuritySession},
    // The install block: exact words are decided inside it; any argv[1] at 7.
    {{L"install", L"BVGrendal", L"gw", L"443", L"sid", L"1033"}, R::InstallBlock, R::InstallBlock},
    {{L"Install", L"BVGrendal", L"gw", L"443", L"sid", L"1033"}, R::InstallBlock, R::InstallBlock},
    {{L"InstallForMSI", L"a", L"b", L"c", L"d", L"e"}, R::InstallBlock, R::InstallBlock},
    {{L"install", L"BVGrendal", L"gw", L"443", L"1033"}, R::NoMatch, R::NoMatch},
    // Three arguments.
    {{L"SaveforBrevanto", L"gw"}, R::SaveForBrevanto, R::SaveForBrevanto},
    {{L"http://gw/proxy.pac", L"gw"}, R::SaveProxyForm, R::SaveProxyForm},
    {{L"-remove", L"-Grendal"}, R::SaveProxyForm, R::SaveProxyForm},
    // A script location wins over a keyword inside it.
    {{L"http://gw/callhome/proxy.pac", L"gw"}, R::SaveProxyForm, R::SaveProxyForm},
    {{L"file://C:\\x\\BVSaveProxyInfo.pac", L"gw"}, R::SaveProxyForm, R::SaveProxyForm},
    {{L"C:\\cfg\\SaveforBrevanto.pac", L"gw"}, R::SaveProxyForm, R::SaveProxyForm},
    // ... but only with exactly three arguments.
    {{L"http://gw/callhome.pac"}, R::CallHome, R::CallHome},
    // Rows 21 to 27 with exactly two arguments.
    {{L"InstallForMSI"}, R::InstallForMSI, R::InstallForMSI},
    {{L"InstallBrevantoMSI"}, R::InstallBrevantoMSI, R::InstallBrevantoMSI},
    {{L"callmsiservice"}, R::CallMsiService, R::CallMsiService},
    {{L"RunCORVD"}, R::RunCORVD, R::RunCORVD},
    {{L"updateformsi"}, R::UpdateForMSI, R::UpdateForMSI},
    {{L"updatestandalonemsi"}, R::UpdateStandaloneMSI, R::UpdateStandaloneMSI},
    {{L"InstallForMSI", L"a", L"b"}, R::NoMatch, R::NoMatch},
    {{L"RunCORVD", L"a", L"b", L"c", L"d"}, R::NoMatch, R::NoMatch},
};

}  // namespace

TEST(FrontDoorRouting, EveryRowWithItsGateAndComparison) {
    for (const RouteCase& c : kCases) {
        std::wstring text;
        for (const wchar_t* a : c.args) text += std::wstring(a) + L" ";
        const std::string label(text.begin(), text.end());
        EXPECT_EQ(Route(c.args, kPelkoraVariant), c.pelkora) << "Pelkora: " << label;
        EXPECT_EQ(Route(c.args, kTavriskVariant), c.tavrisk) << "Tavrisk: " << label;
    }
}

TEST(FrontDoorRouting, InstallBlockComparesExactly) {
    EXPECT_EQ(InstallBlockCommandOf(L"install"), InstallBlockCommand::Install);
    EXPECT_EQ(InstallBlockCommandOf(L"update"), InstallBlockCommand::Update);
    EXPECT_EQ(InstallBlockCommandOf(L"remove"), InstallBlockCommand::Remove);
    EXPECT_EQ(InstallBlockCommandOf(L"Install"), InstallBlockCommand::None);
    EXPECT_EQ(InstallBlockCommandOf(L"install "), InstallBlockCommand::None);
    EXPECT_EQ(InstallBlockCommandOf(L"xinstall"), InstallBlockCommand::None);
    EXPECT_EQ(InstallBlockCommandOf(nullptr), InstallBlockCommand::None);
}

TEST(FrontDoorRouting, NullOrMissingArgumentsMatchNothing) {
    EXPECT_EQ(RouteCommand(1, nullptr, kPelkoraVariant), FrontDoorRow::NoMatch);
    const wchar_t* argv[] = {L"Pelkora.exe", nullptr};
    EXPECT_EQ(RouteCommand(2, argv, kPelkoraVariant), FrontDoorRow::NoMatch);
}
