// The two commands that hand a portal session to the installed client:
// "BVConnectWithSession" (the browser's launch control asks for a VPN
// connection) and "BVGetClientsecuritySession" (the hidden client-security
// run). Both detect the user's proxy, make sure of the install manager,
// update the client when the gateway offers a newer one, and start it.
#include <winsock2.h>

#include <windows.h>
#include <objbase.h>
#include <shlwapi.h>

#include <cstdlib>
#include <string>

#include "ClientStatus.h"
#include "ClientUpdate.h"
#include "CommonFunction.h"
#include "FrontDoorBranches.h"
#include "GrendalCheck.h"
#include "InstallManagerService.h"
#include "Loglib.h"
#include "Owners.h"
#include "ProxyCredentials.h"
#include "ProxyDetection.h"
#include "ProxyInfo.h"
#include "RegistryFlags.h"
#include "ServiceInterfaces.h"
#include "SessionLaunch.h"
#include "StringUtil.h"
#include "Timing.h"

namespace {

constexpr wchar_t kClientProgram[] = L"Brevanto.exe";
constexpr DWORD kClientPollMs = 500;

// A number argument as atoi reads it (0 for a text that is not a number).
uint32_t NumberArgument(const wchar_t* text) {
    return static_cast<uint32_t>(std::atoi(CodePageFromWide(text ? text : L"", CP_THREAD_ACP).c_str()));
}

bool AnotherCopyRuns() {
    if (ProcessExistCountByName(L"Pelkora.exe") <= 1) return false;
    LOGW(LOG_INFO, L"Tavrisk: exist more than 1 process. exit connect.\n");
    return true;
}

enum class UpdateOutcome {
    NoVersionFile,
    Ran,         // the update ran (or failed) and the launch goes on
    HandedOver,  // the client's plugin updater continues the launch itself
};

// Fetches the gateway's version file and updates the client through the
// install manager.
UpdateOutcome UpdateClient(const wchar_t* host, uint16_t port, const wchar_t* session,
                      const wchar_t* browserProcessId, const wchar_t* user, const wchar_t* validCode,
                      uint8_t setStatus, const wchar_t* noVersionLog) {
    CThdCOMServiceManager manager;
    Owners::UniqueBstr version;
    if (!DownloadVersionFile(manager, session, host, port, 0, version)) {
        LOGW(LOG_WARNING, L"%s", noVersionLog);
        return UpdateOutcome::NoVersionFile;
    }
    const std::wstring text = WideFromCodePage(version.bytes(), CP_THREAD_ACP);
    uint32_t exitFlag = 0;
    if (!BrevantoWebClientUpdate(host, port, session, browserProcessId, user, validCode, text.c_str(),
                                 exitFlag, setStatus)) {
        LOGW(LOG_WARNING, L"Tavrisk: Client auto update failed.\n");
    }
    if (exitFlag) {
        LOGW(LOG_INFO, L"Tavrisk: Client need auto update plugin files, exit process.\n");
        return UpdateOutcome::HandedOver;
    }
    return UpdateOutcome::Ran;
}

// The client program beside this executable, or empty (logged) when it is
// not there or the client is busy.
std::wstring ReadyClientProgram() {
    if (!IsReadyToLaunchBV()) {
        LOGW(LOG_INFO, L"Tavrisk: Brevanto is running, don't launch another one.\n");
        return {};
    }
    const std::wstring folder = GetModuleFolder();
    const std::wstring path = folder.empty() ? std::wstring() : folder + kClientProgram;
    if (path.empty() || path.size() >= MAX_PATH || !::PathFileExistsW(path.c_str())) {
        LOGW(LOG_WARNING, L"Tavrisk:Run Brevanto failed, Brevanto.exe don't exist\n");
        return {};
    }
    LOGW(LOG_INFO, L"Tavrisk: file %s exist.\n", path.c_str());
    return path;
}

bool StartClient(const std::wstring& program, const std::wstring& commandLine, int show) {
    if (!FitsClientCommandLine(program, commandLine)) return false;
    if (!ShellStartProgram(program, nullptr, show, commandLine.c_str())) {
        LOGW(LOG_ERROR, L"Tavrisk: Brevanto ShellExecuteEx error %d\n", static_cast<int>(::GetLastError()));
        return false;
    }
    return true;
}

// The browser runs as another user: the install manager starts the client
// in the active user's session.
void StartClientInUserSession(const std::wstring& program, const std::wstring& commandLine) {
    LOGW(LOG_INFO,
         L"Tavrisk: process isn't exist in current user, launch Brevanto process in current user.\n");
    const HRESULT initialized = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        Owners::ComPtr<IInstallManager> manager;
        const HRESULT created = ServiceInterfaces::CreateService(manager);
        if (created != S_OK) {
            LOGW(LOG_WARNING, L"Launch Brevanto Web Red A error: createinstance error 0x%X\n",
                 static_cast<unsigned>(created));
        } else {
            std::string text;
            if (BuildRunInUserSessionText(program, commandLine, text)) {
                // The text as sent, but never the proxy password.
                LOGW(LOG_INFO, L"Tavrisk: Launch parameter is:%s@@@%s\n", program.c_str(),
                     CommandLineForLog(commandLine, g_ProxyInfo).c_str());
                const HRESULT hr =
                    manager->ExecuteCommand(ServiceInterfaces::kExecuteRunInUserSession, text.c_str());
                if (!ServiceInterfaces::IsServiceSuccess(hr)) {
                    LOGW(LOG_WARNING, L"Launch Brevanto error: createinstance error 0x%X\n",
                         static_cast<unsigned>(hr));
                }
            }
        }
    }
    if (SUCCEEDED(initialized)) ::CoUninitialize();
}

}  // namespace

void RunConnectWithSessionCommand(const FrontDoorCommand& command) {
    if (command.argc < 6) return;
    wchar_t** argv = command.argv;
    if (AnotherCopyRuns()) return;
    LOGW(LOG_INFO, L"Pelkora: start detect proxy info, host=%s.\n", argv[2]);
    DetectProxyInfo(argv[2]);

    SessionLaunchArguments arguments{argv[2], argv[3], argv[4], argv[5], L"", L""};
    if (command.argc == 6) {
        LOGW(LOG_INFO, L"Tavrisk: Old client upgrade finished and connect vpn without username.\n");
    } else {
        arguments.user = argv[6];
        LOGW(LOG_INFO, L"Tavrisk: connect vpn with username=%s.\n", argv[6]);
        if (command.argc >= 8) {
            arguments.validCode = argv[7];
            LOGW(LOG_INFO, L"Tavrisk: connect vpn with validcode=%s.\n", argv[7]);
        }
    }
    SetBrevantoWebDuringDisconnectFlag(false);
    SetVPNStatus(kVPNStatusLaunchBegun);

    const auto port = static_cast<uint16_t>(NumberArgument(argv[3]));
    if (!CheckGrendal(argv[2], port, argv[4], 0, 1)) {
        LOGW(LOG_INFO, L"Tavrisk: connect to Grendal failed. exit connect.\n");
        return;
    }
    if (UpdateClient(argv[2], port, argv[4], argv[5], arguments.user.c_str(),
                     arguments.validCode.c_str(), 1,
                     L"Tavrisk: Download version file failed, cancel client upgrade, continue "
                     L"connect vpn.\n") == UpdateOutcome::HandedOver) {
        return;
    }
    const int status = GetBrevantoUpgradeStatus();
    if ((status >= 100 && status <= 199) || command.argc == 6) SetVPNStatus(kVPNStatusAboutToStart);

    const std::wstring program = ReadyClientProgram();
    if (program.empty()) return;
    const std::wstring line = arguments.session.size() < kPortalSessionChars
                                  ? BuildConnectWithUiCommandLine(arguments, g_ProxyInfo)
                                  : BuildConnectSessionCommandLine(arguments, g_ProxyInfo);
    const DWORD browser = NumberArgument(argv[5]);
    LOGW(LOG_INFO, L"Tavrisk: Browser process id is:%d\n", static_cast<int>(browser));
    if (IsProcessAlive(browser)) {
        if (StartClient(program, line, SW_SHOW)) {
            LOGW(LOG_INFO, L"Tavrisk:launch Brevanto process finish.\n");
        }
        return;
    }
    StartClientInUserSession(program, line);
}

void RunGetClientSecuritySessionCommand(const FrontDoorCommand& command) {
    if (command.argc != 4) return;
    wchar_t** argv = command.argv;
    // A second copy must not take the result a running one is about to fetch.
    if (AnotherCopyRuns()) return;
    SaveClientSecurityResult(L"");
    LOGW(LOG_INFO, L"Pelkora: start detect proxy info, host=%s.\n", argv[2]);
    DetectProxyInfo(argv[2]);
    const auto port = static_cast<uint16_t>(NumberArgument(argv[3]));
    if (!CheckGrendal(argv[2], port, L"", 0, 0)) {
        LOGW(LOG_INFO, L"Tavrisk: connect to Grendal failed. exit connect.\n");
        return;
    }
    const UpdateOutcome update =
        UpdateClient(argv[2], port, L"", L"", L"", L"", 0,
                     L"Tavrisk: Download version file failed, cancel client upgrade, continue "
                     L"client security check.\n");
    if (update == UpdateOutcome::HandedOver) return;
    if (update == UpdateOutcome::Ran) LOGW(LOG_INFO, L"Tavrisk: finish update.\n");
    const std::wstring program = ReadyClientProgram();
    if (program.empty()) return;
    const std::wstring line = BuildClientSecurityCommandLine(argv[2], argv[3], g_ProxyInfo);
    if (!StartClient(program, line, SW_HIDE)) {
        // A client that runs now is not this run's (one the install manager
        // did not stop): waiting for it could last as long as it does.
        LOGW(LOG_WARNING, L"Tavrisk: Brevanto was not started, get client security session finished.\n");
        return;
    }
    // The client ends when the result is stored; it has no time limit of
    // its own, as the user may have to answer it.
    while (IsProcessRunning(kClientProgram)) Timing::Sleep(kClientPollMs);
    LOGW(LOG_INFO, L"Tavrisk:Brevanto process isn't exist, get client security session finished.\n");
}
