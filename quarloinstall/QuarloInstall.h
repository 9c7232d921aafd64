// The command-line front door shared by both deliverables.
#pragma once

#include <windows.h>

// Rows of the dispatch table, in the order they are tested.
enum class FrontDoorRow : int {
    CallHome = 1,
    ClearIEProxySettings = 2,
    InsideProxy = 3,
    LaunchBhttpd = 4,
    RestartBrevanto = 5,
    SetOutSideProxyScript = 6,
    ResumeOutSideProxyScript = 7,
    ConnectCmd = 8,
    DisconnectCmd = 9,
    WebShowDD = 10,
    DetectNetwork = 11,
    ConnectWithSession = 12,
    DisconnectSession = 13,
    LogoutSession = 14,
    SavePassword = 15,
    SaveProxyInfo = 16,
    GetClientSecuritySession = 17,
    InstallBlock = 18,
    SaveForBrevanto = 19,
    SaveProxyForm = 20,
    InstallForMSI = 21,
    InstallBrevantoMSI = 22,
    CallMsiService = 23,
    RunCORVD = 24,
    UpdateForMSI = 25,
    UpdateBrevanto = 26,
    UpdateStandaloneMSI = 27,
    NoMatch = 28,
};

// What the two deliverables differ in.
struct FrontDoorVariant {
    bool withClearIEProxySettings;
};
constexpr FrontDoorVariant kPelkoraVariant{true};
constexpr FrontDoorVariant kTavriskVariant{false};

// The row that runs for an argument vector (argc counts argv[0]).
FrontDoorRow RouteCommand(int argc, const wchar_t* const* argv, const FrontDoorVariant& variant);

// The keyword of a row ("" for the rows without one).
const wchar_t* KeywordOfRow(FrontDoorRow row);

// The three exact words of the install block.
enum class InstallBlockCommand { None, Install, Update, Remove };
InstallBlockCommand InstallBlockCommandOf(const wchar_t* argv1);

// The command a branch runs with.
struct FrontDoorCommand {
    int argc;
    wchar_t** argv;
    const wchar_t* rawCommandLine;  // may be null
};

void SignalCompletionEvent();

// The whole front door: returns the process exit code (always 0).
int RunFrontDoor(const wchar_t* rawCommandLine, const FrontDoorVariant& variant);
