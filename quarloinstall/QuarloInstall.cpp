#include "QuarloInstall.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cwchar>

#include "CommonFunction.h"
#include "FrontDoorBranches.h"
#include "Loglib.h"
#include "Owners.h"
#include "SharedNames.h"


namespace {

enum class Gate { AtLeast, Exactly };

struct KeywordRow {
    FrontDoorRow row;
    const wchar_t* keyword;
    Gate gate;
    int argc;
};

// Rows 1 to 17: keyword found anywhere in argv[1], case-insensitive.
constexpr KeywordRow kLeadingRows[] = {
    {FrontDoorRow::CallHome, L"callhome", Gate::AtLeast, 2},
    {FrontDoorRow::ClearIEProxySettings, L"clearIEProxySettings", Gate::AtLeast, 2},
    {FrontDoorRow::InsideProxy, L"insideproxy", Gate::AtLeast, 5},
    {FrontDoorRow::LaunchBhttpd, L"LaunchBhttpd", Gate::AtLeast, 2},
    {FrontDoorRow::RestartBrevanto, L"RestartBrevanto", Gate::AtLeast, 2},
    {FrontDoorRow::SetOutSideProxyScript, L"BVSetOutSideProxyScript", Gate::AtLeast, 4},
    {FrontDoorRow::ResumeOutSideProxyScript, L"BVResumeOutSideProxyScript", Gate::Exactly, 2},
    {FrontDoorRow::ConnectCmd, L"BVConnectcmd", Gate::Exactly, 2},
    {FrontDoorRow::DisconnectCmd, L"BVDisconnectcmd", Gate::Exactly, 2},
    {FrontDoorRow::WebShowDD, L"BVWebShowDD", Gate::Exactly, 2},
    {FrontDoorRow::DetectNetwork, L"DetectNetwork", Gate::Exactly, 4},
    {FrontDoorRow::ConnectWithSession, L"BVConnectWithSession", Gate::AtLeast, 6},
    {FrontDoorRow::DisconnectSession, L"BVDisconnectSession", Gate::Exactly, 2},
    {FrontDoorRow::LogoutSession, L"BVLogoutSession", Gate::Exactly, 2},
    {FrontDoorRow::SavePassword, L"BVSavePassword", Gate::AtLeast, 2},
    {FrontDoorRow::SaveProxyInfo, L"BVSaveProxyInfo", Gate::Exactly, 3},
    {FrontDoorRow::GetClientSecuritySession, L"BVGetClientsecuritySession", Gate::Exactly, 4},
};

// Rows 21 to 27, tested only with exactly 2 arguments.
constexpr KeywordRow kTrailingRows[] = {
    {FrontDoorRow::InstallForMSI, L"InstallForMSI", Gate::Exactly, 2},
    {FrontDoorRow::InstallBrevantoMSI, L"InstallBrevantoMSI", Gate::Exactly, 2},
    {FrontDoorRow::CallMsiService, L"callmsiservice", Gate::Exactly, 2},
    {FrontDoorRow::RunCORVD, L"RunCORVD", Gate::Exactly, 2},
    {FrontDoorRow::UpdateForMSI, L"updateformsi", Gate::Exactly, 2},
    {FrontDoorRow::UpdateBrevanto, L"updateBrevanto", Gate::Exactly, 2},
    {FrontDoorRow::UpdateStandaloneMSI, L"updatestandalonemsi", Gate::Exactly, 2},
};

bool GatePasses(const KeywordRow& row, int argc) {
    return row.gate == Gate::AtLeast ? argc >= row.argc : argc == row.argc;
}

bool ContainsKeyword(const wchar_t* argument, const wchar_t* keyword) {
    return argument && ::StrStrIW(argument, keyword) != nullptr;
}

// A PAC script URL or path: tested before the keyword rows so that a URL
// that happens to contain a keyword is still saved as the proxy script.
bool LooksLikeScriptLocation(const wchar_t* argument) {
    return argument && (std::wcsstr(argument, L"://") != nullptr ||
                        std::wcschr(argument, L'\\') != nullptr);
}

}  // namespace

FrontDoorRow RouteCommand(int argc, const wchar_t* const* argv, const FrontDoorVariant& variant) {
    if (argc < 2 || !argv || !argv[1]) return FrontDoorRow::NoMatch;
    const wchar_t* argument = argv[1];
    if (argc == 3 && LooksLikeScriptLocation(argument)) return FrontDoorRow::SaveProxyForm;
    for (const KeywordRow& row : kLeadingRows) {
        if (row.row == FrontDoorRow::ClearIEProxySettings && !variant.withClearIEProxySettings) {
            continue;
        }
        if (GatePasses(row, argc) && ContainsKeyword(argument, row.keyword)) return row.row;
    }
    if (argc >= 7) return FrontDoorRow::InstallBlock;
    if (argc == 3) {
        return ContainsKeyword(argument, L"SaveforBrevanto") ? FrontDoorRow::SaveForBrevanto
                                                             : FrontDoorRow::SaveProxyForm;
    }
    for (const KeywordRow& row : kTrailingRows) {
        if (GatePasses(row, argc) && ContainsKeyword(argument, row.keyword)) return row.row;
    }
    return FrontDoorRow::NoMatch;
}

const wchar_t* KeywordOfRow(FrontDoorRow row) {
    for (const KeywordRow& r : kLeadingRows) {
        if (r.row == row) return r.keyword;
    }
    for (const KeywordRow& r : kTrailingRows) {
        if (r.row == row) return r.keyword;
    }
    switch (row) {
        case FrontDoorRow::InstallBlock: return L"install";
        case FrontDoorRow::SaveForBrevanto: return L"SaveforBrevanto";
        case FrontDoorRow::SaveProxyForm: return L"saveproxy";
        default: return L"";
    }
}

InstallBlockCommand InstallBlockCommandOf(const wchar_t* argv1) {
    if (!argv1) return InstallBlockCommand::None;
    if (std::wcscmp(argv1, L"install") == 0) return InstallBlockCommand::Install;
    if (std::wcscmp(argv1, L"update") == 0) return InstallBlockCommand::Update;
    if (std::wcscmp(argv1, L"remove") == 0) return InstallBlockCommand::Remove;
    return InstallBlockCommand::None;
}

void SignalCompletionEvent() {
    Owners::UniqueHandle event(::OpenEventW(EVENT_ALL_ACCESS, FALSE, kCompletionEventName));
    if (!event) {
        LOGW(LOG_WARNING, L"Install Grendal: the hEvent is NULL\n");
        return;
    }
    LOGW(LOG_INFO, L"Tavrisk: send message to OCX...\n");
    ::SetEvent(event.get());
}

namespace {

void RunRow(FrontDoorRow row, const FrontDoorCommand& command) {
    switch (row) {
        case FrontDoorRow::CallHome:
            LOGW(LOG_INFO, L"Brevanto client callhome start...\n");
            RunCallHomeCommand(command);
            break;
        case FrontDoorRow::ClearIEProxySettings: RunClearIEProxySettingsCommand(command); break;
        case FrontDoorRow::InsideProxy: RunInsideProxyCommand(command); break;
        case FrontDoorRow::LaunchBhttpd: RunLaunchBhttpdCommand(command); break;
        case FrontDoorRow::RestartBrevanto: RunRestartBrevantoCommand(command); break;
        case FrontDoorRow::SetOutSideProxyScript: RunSetOutSideProxyScriptCommand(command); break;
        case FrontDoorRow::ResumeOutSideProxyScript:
            RunResumeOutSideProxyScriptCommand(command);
            break;
        case FrontDoorRow::ConnectCmd: RunConnectCmdCommand(command); break;
        case FrontDoorRow::DisconnectCmd: RunDisconnectCmdCommand(command); break;
        case FrontDoorRow::WebShowDD: RunWebShowDDCommand(command); break;
        case FrontDoorRow::DetectNetwork: RunDetectNetworkCommand(command); break;
        case FrontDoorRow::ConnectWithSession: RunConnectWithSessionCommand(command); break;
        case FrontDoorRow::DisconnectSession: RunDisconnectSessionCommand(command); break;
        case FrontDoorRow::LogoutSession: RunLogoutSessionCommand(command); break;
        case FrontDoorRow::SavePassword: RunSavePasswordCommand(command); break;
        case FrontDoorRow::SaveProxyInfo: RunSaveProxyInfoCommand(command); break;
        case FrontDoorRow::GetClientSecuritySession:
            RunGetClientSecuritySessionCommand(command);
            break;
        case FrontDoorRow::InstallBlock: {
            const InstallBlockCommand which = InstallBlockCommandOf(command.argv[1]);
            if (which != InstallBlockCommand::None) RunInstallBlockCommand(command, which);
            // The block always ends with the log shut down and the signal.
            LogUninit();
            SignalCompletionEvent();
            break;
        }
        case FrontDoorRow::SaveForBrevanto: RunSaveForBrevantoCommand(command); break;
        case FrontDoorRow::SaveProxyForm:
            RunSaveProxyFormCommand(command);
            SignalCompletionEvent();
            break;
        case FrontDoorRow::InstallForMSI: RunInstallForMSICommand(command); break;
        case FrontDoorRow::InstallBrevantoMSI: RunInstallBrevantoMSICommand(command); break;
        case FrontDoorRow::CallMsiService: RunCallMsiServiceCommand(command); break;
        case FrontDoorRow::RunCORVD: RunRunCORVDCommand(command); break;
        case FrontDoorRow::UpdateForMSI: RunUpdateForMSICommand(command); break;
        case FrontDoorRow::UpdateBrevanto:
            RunUpdateBrevantoCommand(command);
            SignalCompletionEvent();
            break;
        case FrontDoorRow::UpdateStandaloneMSI: RunUpdateStandaloneMSICommand(command); break;
        case FrontDoorRow::NoMatch: SignalCompletionEvent(); break;
    }
}

}  // namespace

int RunFrontDoor(const wchar_t* rawCommandLine, const FrontDoorVariant& variant) {
    LogInit(kTavriskModuleId);
    if (IsEnablePrintRequest()) {
        LOGW(LOG_INFO, L"Tavrisk: cmdline is %s\n", rawCommandLine ? rawCommandLine : L"(null)");
    }
    if (rawCommandLine && rawCommandLine[0] == L'\0') {
        LOGW(LOG_INFO, L"Tavrisk: the cmd is null\n");
        SignalCompletionEvent();
        return 0;
    }

    int argc = 0;
    const Owners::UniqueLocalMem args(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    wchar_t** const argv = static_cast<wchar_t**>(args.get());
    if (!argv) argc = 1;  // nothing could be split: only the program itself
    LOGW(LOG_INFO, L"Tavrisk:argc:%d\n", argc);

    const FrontDoorCommand command{argc, argv, rawCommandLine};
    const FrontDoorRow row = argv ? RouteCommand(argc, argv, variant) : FrontDoorRow::NoMatch;
    RunRow(row, command);
    return 0;
}
