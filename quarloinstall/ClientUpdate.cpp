#include <winsock2.h>

#include "ClientUpdate.h"

#include <objbase.h>
#include <shlwapi.h>

#include <string>

#include "ClientStatus.h"
#include "CommonFunction.h"
#include "Loglib.h"
#include "ProxyInfo.h"
#include "QuarloInstall.h"
#include "ServiceInterfaces.h"
#include "SharedNames.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"
#include "utility.h"

#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"InstallThreads.cpp"

namespace {

using Owners::ComPtr;
using Owners::UniqueBstr;
using ServiceInterfaces::CreateService;

constexpr DWORD kServiceRenewalWaitMs = 300000;
constexpr DWORD kInstallationWaitMs = 180000;
constexpr int kUpdateProgramPolls = 11;

// State bits of CheckClientComponents.
constexpr LONG kBitServiceAndDriver = 0x04;
constexpr LONG kBitCore = 0x08;
constexpr LONG kBitQt = 0x10;
constexpr LONG kBitPlugin = 0x20;
constexpr LONG kBitClientSecurityUtility = 0x40;
constexpr LONG kBitClientSecurityPackage = 0x80;

bool IsEmptyText(const wchar_t* text) { return !text || !*text; }

// A null text goes to the service as a null BSTR.
UniqueBstr OptionalBstr(const wchar_t* text) {
    return text ? UniqueBstr::FromText(text) : UniqueBstr();
}

std::wstring InstallManagerDir() {
    wchar_t dir[MAX_PATH] = {};
    GetInstallManagerDir(dir, 0);
    return dir;
}

// "<install-manager folder>\<file>"; empty (logged) when it does not fit a
// path, so no cut path is ever handed to the service.
std::wstring InstallManagerFile(const wchar_t* file) {
    std::wstring path = InstallManagerDir() + L"\\" + file;
    if (path.size() >= MAX_PATH) {
        LOGW(LOG_ERROR, L"BrevantoWebClientUpdate: path of %s is longer than %d characters.\n",
             file, MAX_PATH - 1);
        path.clear();
    }
    return path;
}

// A text for the service's 8-bit interface in the thread's code page: exact
// or refused (logged), never best-fitted or cut.
bool ServiceText(const std::wstring& text, const wchar_t* what, std::string& out) {
    if (ExactCodePageFromWide(text, CP_THREAD_ACP, out)) return true;
    LOGW(LOG_ERROR,
         L"BrevantoWebClientUpdate: the %s has characters the ANSI code page cannot hold, it is "
         L"not sent.\n",
         what);
    return false;
}

HRESULT HandOverVersion(IInstallManager& manager, const wchar_t* version) {
    const ProxyInfo& proxy = g_ProxyInfo;
    return manager.SetVersionXML(
        OptionalBstr(version).get(), static_cast<LONG>(proxy.proxySetType),
        static_cast<LONG>(proxy.proxyAuthType), UniqueBstr::FromText(proxy.proxyHost).get(),
        static_cast<LONG>(proxy.proxyPort), static_cast<SHORT>(proxy.bUseProxy),
        UniqueBstr::FromText(proxy.proxyUser).get(),
        UniqueBstr::FromText(proxy.proxyPassword).get(),
        UniqueBstr::FromText(proxy.proxyDomain).get());
}

HRESULT CheckComponents(IInstallManager& manager, const wchar_t* product, LONG& state) {
    state = 0;
    return manager.CheckClientComponents(UniqueBstr::FromText(product).get(), &state);
}

void RemoveServiceFile(IInstallManager& manager, const std::wstring& path) {
    if (path.empty()) return;
    if (manager.RemoveLocalFile(UniqueBstr::FromText(path.c_str()).get()) != S_OK) {
        LOGW(LOG_INFO, L"Remove file %s failed.\n", path.c_str());
    }
}

// Unpacks a cabinet of the install-manager folder; false (logged) when it
// could not be.
bool UnpackCabinet(IInstallManager& manager, const std::wstring& cabinet) {
    if (!cabinet.empty() && manager.UnpackCab(UniqueBstr::FromText(cabinet.c_str()).get()) == S_OK) {
        return true;
    }
    LOGW(LOG_ERROR, L"BrevantoWebClientUpdate: unpack cab %s.\n", cabinet.c_str());
    return false;
}

// The update's connection to the install manager; without it nothing of the
// client is renewed, which the log says once.
bool ConnectForUpdate(ComPtr<IInstallManager>& manager) {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const HRESULT hr = CreateService(manager);
    if (hr == S_OK) return true;
    LOGW(LOG_WARNING,
         L"BrevantoWebClientUpdate: Connect to installmanager failed, ret is %x, cancel "
         L"update client.\n",
         static_cast<unsigned>(hr));
    return false;
}

// The service renews itself and sets the completion event when its new
// instance runs. False when the renewed service cannot be asked; manager is
// then the new instance (or empty).
bool RenewInstallManager(ComPtr<IInstallManager>& manager, const wchar_t* host, uint32_t port,
                         const wchar_t* session, const wchar_t* version, uint8_t bSetStatus) {
    LOGW(LOG_INFO, L"BrevantoWebClientUpdate: HOX need to be updated\n");
    if (bSetStatus) SetVPNStatus(kVPNStatusInstallManager);
    const std::wstring wide =
        FormatW(L"Address=%s@@@Port=%d@@@Session=%s", host ? host : L"", static_cast<int>(port),
                session ? session : L"");
    std::string text;
    if (!ServiceText(wide, L"renewal command", text)) {
        LOGW(LOG_WARNING, L"BrevantoWebClientUpdate : failed update HOX\n");
        return true;
    }
    // Exists before the service is asked, so a renewal that ends at once
    // still finds it to set.
    const Owners::UniqueHandle done(::CreateEventW(nullptr, FALSE, FALSE, kCompletionEventName));
    const HRESULT hr = manager->ExecuteCommand(ServiceInterfaces::kExecuteRenewService, text.c_str());
    LOGW(LOG_INFO, L"HOX update itself finished, ret:%x\n", static_cast<unsigned>(hr));
    if (hr != S_OK ||
        !SleepWithMessageLoop(kCompletionEventName, kServiceRenewalWaitMs, QS_ALLINPUT)) {
        LOGW(LOG_WARNING, L"BrevantoWebClientUpdate : failed update HOX\n");
        return true;
    }
    LOGW(LOG_INFO, L"BrevantoWebClientUpdate: update HOX success\n");
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // The old instance belongs to the service that was replaced: released
    // before the new one is made.
    if (CreateService(manager) != S_OK) {
        LOGW(LOG_WARNING, L"BrevantoWebClientUpdate: failed call installmanager.\n");
        return false;
    }
    if (HandOverVersion(*manager.get(), version) != S_OK) {
        LOGW(LOG_WARNING, L"BrevantoWebClientUpdate:SetVersionXML error.\n");
        return false;
    }
    return true;
}

// Has the service fetch a part's cabinet into its folder. False (logged) when
// it did not: whatever an earlier update left under that name is not this
// update's and must not be unpacked, installed or run.
bool FetchCabinet(const wchar_t* cabinet, const wchar_t* host, uint32_t port, const wchar_t* session) {
    if (DownloadFileToLocalDirectory(cabinet, host, static_cast<uint16_t>(port), session)) return true;
    LOGW(LOG_WARNING, L"BrevantoWebClientUpdate: %s was not downloaded, this part is not renewed.\n",
         cabinet);
    return false;
}

void InstallClientSecurityCabinet(IInstallManager& manager, const wchar_t* cabinet,
                                  const wchar_t* host, uint32_t port, const wchar_t* session) {
    if (!FetchCabinet(cabinet, host, port, session)) return;
    const std::wstring path = InstallManagerFile(cabinet);
    std::string text;
    if (path.empty() || !ServiceText(path, L"cabinet path", text)) return;
    manager.ExecuteCommand(ServiceInterfaces::kExecuteInstallClientSecurity, text.c_str());
}

// One field of the plugin updater's command line: as it is, or quoted when
// blanks or quotes would split it (an empty field stays absent, as the
// launch expects of an empty user).
std::wstring PluginArgument(const wchar_t* text) {
    const std::wstring value = text ? text : L"";
    if (value.find_first_of(L" \t\"") == std::wstring::npos) return value;
    return QuoteCommandLineArgument(value.c_str());
}

// Renews the plugin; exitFlag 1 when its updater was started, which goes on
// with the launch itself.
void UpdatePlugin(IInstallManager& manager, const wchar_t* host, uint32_t port,
                  const wchar_t* session, const wchar_t* browserProcessId, const wchar_t* user,
                  uint32_t& exitFlag, uint8_t bSetStatus) {
    if (bSetStatus) SetVPNStatus(kVPNStatusPlugin);
    LOGW(LOG_INFO, L"BrevantoWebClientUpdate: update plugin files.\n");
    constexpr const wchar_t* kCabinet = L"zem_bv_plugin.cab";
    constexpr const wchar_t* kUpdater = L"Brevanto_Plugin.exe";
    if (!FetchCabinet(kCabinet, host, port, session)) return;
    if (!UnpackCabinet(manager, InstallManagerFile(kCabinet))) return;
    const std::wstring command =
        L"-BVConnectWithSession " + PluginArgument(host) + L" " +
        std::to_wstring(static_cast<int>(port)) + L" " + PluginArgument(session) + L" " +
        PluginArgument(browserProcessId) + L" " + PluginArgument(user);
    LOGW(LOG_INFO, L"BrevantoWebClientUpdate: launch command:%s\n", command.c_str());
    if (RunUpdateProgram(kUpdater, command.c_str())) {
        exitFlag = 1;
    } else {
        LOGW(LOG_WARNING,
             L"BrevantoWebClientUpdate: the plugin updater was not started, the launch goes on.\n");
    }
    RemoveServiceFile(manager, InstallManagerFile(kUpdater));
}

void UpdateServiceAndDriver(IInstallManager& manager, const wchar_t* host, uint32_t port,
                            const wchar_t* session, uint8_t bSetStatus) {
    if (bSetStatus) SetVPNStatus(kVPNStatusServiceAndDriver);
    LOGW(LOG_INFO, L"BrevantoWebClientUpdate: update ossiden and TDI.\n");
    const wchar_t* cabinet = Is64BitOS() ? L"zem_bv_x64.cab" : L"zem_bv.cab";
    if (!FetchCabinet(cabinet, host, port, session)) return;
    const Owners::UniqueHandle installed = CreateInstallationEvent();
    const UniqueBstr empty = UniqueBstr::FromText(L"");
    const HRESULT hr =
        manager.Install(UniqueBstr::FromText(ServiceInterfaces::kProductBrevanto).get(),
                        empty.get(), 0, empty.get(), empty.get(), empty.get(), 0, 0);
    if (hr == S_OK && SleepWithMessageLoop(ServiceInterfaces::kInstallationEventName,
                                           kInstallationWaitMs, QS_ALLINPUT)) {
        LOGW(LOG_INFO, L"update ossiden successfully.\n");
    } else {
        LOGW(LOG_INFO, L"update ossiden failed.\n");
    }
    RemoveServiceFile(manager, InstallManagerFile(cabinet));
}

// A part whose cabinet carries its own updater program.
struct ProgramUpdate {
    uint32_t status;
    const wchar_t* startLine;
    const wchar_t* cabinet;
    const wchar_t* program;
};
constexpr ProgramUpdate kCoreUpdate{kVPNStatusCore, L"BrevantoWebClientUpdate: update Core files.\n",
                                    L"zem_bv_core.cab", L"BVCoreUpdate.exe"};
constexpr ProgramUpdate kQtUpdate{kVPNStatusQt, L"BrevantoWebClientUpdate: update QT dll file.\n",
                                  L"zem_bv_qt.cab", L"BVQTDllUpdate.exe"};

void UpdateWithProgram(IInstallManager& manager, const ProgramUpdate& part, const wchar_t* host,
                       uint32_t port, const wchar_t* session, uint8_t bSetStatus) {
    if (bSetStatus) SetVPNStatus(part.status);
    LOGW(LOG_INFO, part.startLine);
    if (!FetchCabinet(part.cabinet, host, port, session)) return;
    if (UnpackCabinet(manager, InstallManagerFile(part.cabinet))) {
        RunUpdateProgram(part.program, L"");
    }
    RemoveServiceFile(manager, InstallManagerFile(part.program));
}

}  // namespace

int SetVPNStatus(uint32_t code) {
    const DWORD value = code;
    ::SHSetValueW(HKEY_CURRENT_USER, kVpn2Key, L"VPNstatus", REG_DWORD, &value, sizeof(value));
    return 1;
}

int DownloadFileToLocalDirectory(const wchar_t* file, const wchar_t* host, uint16_t port,
                                 const wchar_t* session) {
    ComPtr<IInstallManager> manager;
    if (!ConnectForUpdate(manager)) return 0;
    const std::wstring folder = InstallManagerDir();
    LOGW(LOG_INFO, L"DownloadFileToLocalDirectory :start download file=%s\n", file ? file : L"");
    const bool clientSecurity =
        file && (::StrStrIW(file, L"Wystanutil.cab") || ::StrStrIW(file, L"Wystanhi.cab"));
    const HRESULT hr = manager->DownloadGatewayFile(
        OptionalBstr(file).get(), OptionalBstr(host).get(), port, OptionalBstr(session).get(),
        UniqueBstr::FromText(folder.c_str()).get(), 0,
        UniqueBstr::FromText(clientSecurity ? kClientSecurityUrlPath : kClientFilesUrlPath).get());
    if (hr == S_OK) return 1;
    LOGW(LOG_ERROR, L"DownloadFileToLocalDirectory %s failed, error is %x\n", file ? file : L"",
         static_cast<unsigned>(hr));
    return 0;
}

int RunUpdateProgram(const wchar_t* program, const wchar_t* parameters) {
    const std::wstring path = InstallManagerDir() + L"\\" + (program ? program : L"");
    if (!ShellStartProgram(path, nullptr, SW_SHOW, parameters)) {
        LOGW(LOG_ERROR, L"BrevantoWebClientUpdate: ShellExecuteEx error %d\n",
             static_cast<int>(::GetLastError()));
        return 0;
    }
    for (int poll = 0; poll < kUpdateProgramPolls; ++poll) {
        if (!IsProcessExistByName(program)) {
            LOGW(LOG_INFO, L"BrevantoWebClientUpdate: update ui file finished.\n");
            return 1;
        }
        Timing::Sleep(1000);
    }
    return 1;
}

int BrevantoWebClientUpdate(const wchar_t* host, uint32_t port, const wchar_t* session,
                            const wchar_t* browserProcessId, const wchar_t* user,
                            const wchar_t*, const wchar_t* versionDescription,
                            uint32_t& exitFlag, uint8_t bSetStatus) {
    exitFlag = 0;
    const bool clientSecurity =
        IsEmptyText(session) && IsEmptyText(browserProcessId) && IsEmptyText(user);
    if (clientSecurity) {
        LOGW(LOG_INFO, L"BrevantoWebClientUpdate: Client check update with ClientSecurity.\n");
    }
    ComPtr<IInstallManager> manager;
    if (!ConnectForUpdate(manager)) return 0;
    HRESULT hr = HandOverVersion(*manager.get(), versionDescription);
    if (hr != S_OK) {
        LOGW(LOG_ERROR, L"BrevantoWebClientUpdate: SetVersionXML error %x\n",
             static_cast<unsigned>(hr));
        return 0;
    }
    LONG state = 0;
    if (CheckComponents(*manager.get(), ServiceInterfaces::kProductInstallManager, state) != S_OK) {
        LOGW(LOG_ERROR, L"BrevantoWebClientUpdate: CheckClientComponents error.\n");
        return 0;
    }
    if (state != 0 &&
        !RenewInstallManager(manager, host, port, session, versionDescription, bSetStatus)) {
        return 0;
    }

    if (clientSecurity) {
        if (CheckComponents(*manager.get(), ServiceInterfaces::kProductClientSecurity, state) != S_OK) {
            LOGW(LOG_ERROR, L"BrevantoWebClientUpdate: CheckClientComponents client security error.\n");
            return 0;
        }
        if (state & kBitClientSecurityUtility) {
            InstallClientSecurityCabinet(*manager.get(), L"Wystanutil.cab", host, port, session);
        }
        if (state & kBitClientSecurityPackage) {
            InstallClientSecurityCabinet(*manager.get(), L"Wystanhi.cab", host, port, session);
        }
        LOGW(LOG_INFO, L"BrevantoWebClientUpdate: finish client security upgrade.\n");
        return 1;
    }

    if (CheckComponents(*manager.get(), ServiceInterfaces::kProductBrevanto, state) != S_OK) {
        LOGW(LOG_INFO,
             L"CheckClientComponents error(Ossiden.exe, Brevanto.exe, corvd.exe, Korrin.dll, TDI).\n");
        return 0;
    }
    if (state & kBitPlugin) {
        // The plugin's updater relaunches the client: the other parts wait
        // for the next launch.
        UpdatePlugin(*manager.get(), host, port, session, browserProcessId, user, exitFlag, bSetStatus);
        return 1;
    }
    if (state & kBitServiceAndDriver) UpdateServiceAndDriver(*manager.get(), host, port, session, bSetStatus);
    if (state & kBitCore) UpdateWithProgram(*manager.get(), kCoreUpdate, host, port, session, bSetStatus);
    if (state & kBitQt) UpdateWithProgram(*manager.get(), kQtUpdate, host, port, session, bSetStatus);
    return 1;
}
