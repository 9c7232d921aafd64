#include <winsock2.h>

#include "ClientStatus.h"

#include <objbase.h>
#include <shlwapi.h>

#include <string>

#include "ClientUpdate.h"
#include "CommonFunction.h"
#include "Loglib.h"
#include "Owners.h"
#include "ServiceInterfaces.h"
#include "SharedNames.h"
#include "System.h"
#include "Timing.h"
#include "utility.h"

// The launcher's operations share one source name in the log.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"InstallThreads.cpp"

namespace {

constexpr const wchar_t* kCorvd = L"corvd.exe";
constexpr const wchar_t* kBrevanto = L"Brevanto.exe";
constexpr DWORD kInstallationWaitMs = 180000;

// What the two client products differ in.
// The installation's connection to the install manager, logged once when it
// is not there.
bool ConnectForInstall(Owners::ComPtr<IInstallManager>& manager) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HRESULT hr = ServiceInterfaces::CreateService(manager);
    if (hr == S_OK) return true;
    LOGW(LOG_ERROR, L"NSIS installer: createinstance error 0x%X\n", static_cast<unsigned>(hr));
    return false;
}

struct ClientProduct {
    const wchar_t* id;
    const wchar_t* startLine;
    const wchar_t* currentLine;
    const wchar_t* waitLine;
    const wchar_t* finishedLine;
};

void InstallProduct(const ClientProduct& product) {
    LOGW(LOG_INFO, product.startLine);
    Owners::ComPtr<IInstallManager> manager;
    if (!ConnectForInstall(manager)) return;
    LONG state = 0;
    HRESULT hr = manager->CheckClientComponents(Owners::UniqueBstr::FromText(product.id).get(), &state);
    if (hr != S_OK) {
        LOGW(LOG_ERROR, L"Callback Func: run failed, error is %x\n", static_cast<unsigned>(hr));
        return;
    }
    if (state == 0) {
        LOGW(LOG_INFO, product.currentLine);
        return;
    }
    const LANGID language = ::GetUserDefaultLangID();
    LOGW(LOG_INFO, L"NSIS: get language ID: %d\n", static_cast<int>(language));
    // Held until the wait ends, so the service's signal has an event to land on.
    const Owners::UniqueHandle installed = CreateInstallationEvent();
    const Owners::UniqueBstr empty = Owners::UniqueBstr::FromText(L"");
    hr = manager->Install(Owners::UniqueBstr::FromText(product.id).get(), empty.get(), 0,
                          empty.get(), empty.get(), empty.get(), language, 0);
    if (hr != S_OK) {
        LOGW(LOG_ERROR, L"NSIS installer: Install() error 0x%X\n", static_cast<unsigned>(hr));
        return;
    }
    LOGW(LOG_INFO, product.waitLine);
    SleepWithMessageLoop(ServiceInterfaces::kInstallationEventName, kInstallationWaitMs,
                         QS_ALLINPUT);
    LOGW(LOG_INFO, product.finishedLine);
}

}  // namespace

Owners::UniqueHandle CreateInstallationEvent() {
    Owners::UniqueHandle event(
        ::CreateEventW(nullptr, FALSE, FALSE, ServiceInterfaces::kInstallationEventName));
    if (!event) {
        LOGW(LOG_WARNING, L"CreateInstallationEvent: create event failed, error is %d\n",
             static_cast<int>(::GetLastError()));
        return event;
    }
    // An event that existed may still hold the signal of an earlier
    // installation, which would end this wait before the installation ends.
    ::ResetEvent(event.get());
    return event;
}

int32_t ClientStatusForDaemonValue(DWORD value) {
    switch (value) {
        case 0: return kClientNotRunning;
        case 1:
        case 6: return 1;
        case 2: return kClientConnectFailed;
        case 3:
        case 38:
        case 39: return 2;
        case 4: return 6;
        case 7: return 4;
        default: return kClientDisconnected;  // 5, 8 to 37 and above 39
    }
}

void StartCORVD() {
    if (IsProcessExistByName(kCorvd)) {
        LOGW(LOG_INFO, L"StartCORVD: corvd exist, do nothing\n");
        return;
    }
    wchar_t dir[MAX_PATH] = {};
    GetBrevantoClientDir(dir, 0);
    std::wstring path = std::wstring(dir) + L"\\" + kCorvd;
    if (path.size() >= MAX_PATH || !::PathFileExistsW(path.c_str())) {
        LOGW(LOG_INFO, L"StartCORVD: file corvd.exe is not exist, exit.\n");
        return;
    }
    LOGW(LOG_INFO, L"StartCORVD: file %s exist.\n", path.c_str());
    DWORD debug = 0;
    const LSTATUS read = ReadRegistryDword(HKEY_CURRENT_USER, kVpn2Key, L"debug", debug);
    if (read != ERROR_SUCCESS) debug = 0;
    LOGW(LOG_INFO, L"StartCORVD: debug flag:%d, ret:%d\n", static_cast<int>(debug),
         static_cast<int>(read));

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = debug == 1 ? SW_SHOW : SW_HIDE;
    PROCESS_INFORMATION started{};
    wchar_t commandLine[1] = {L'\0'};
    if (::CreateProcessW(path.c_str(), commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &started)) {
        Owners::UniqueHandle process(started.hProcess), thread(started.hThread);
    } else {
        LOGW(LOG_INFO, L"CreateProcess failed for %s, error:%d\n", path.c_str(),
             static_cast<int>(::GetLastError()));
    }
    Timing::Sleep(1000);
    if (IsProcessExistByName(kCorvd)) {
        LOGW(LOG_INFO, L"StartCORVD: corvd exist\n");
        return;
    }
    LOGW(LOG_INFO, L"StartCORVD: corvd is not exist, sleep 1000 again.\n");
    Timing::Sleep(1000);
}

void EnsureCorvdRunning() {
    if (IsProcessExistByName(kCorvd)) return;
    Owners::ComPtr<IOssiden> service;
    HRESULT hr = ServiceInterfaces::CreateService(service);
    if (hr != S_OK) {
        LOGW(LOG_WARNING, L"SetDomainList: Create instance failed. Error = 0x%x, try again\n",
             static_cast<unsigned>(hr));
        if (hr == CO_E_NOTINITIALIZED) {
            ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ServiceInterfaces::CreateService(service);
        }
    }
    if (service) service->PrepareCorvd();
    StartCORVD();
}

void InstallBrevantoClient(CThdCOMServiceManager*) {
    InstallProduct({ServiceInterfaces::kProductBrevanto, L"InstallBrevantoClient: start...\n",
                    L"Brevanto already installed\n",
                    L"InstallBrevantoClient: start SleepWithMessageLoop...\n",
                    L"InstallBrevantoClient: finished\n"});
}

void InstallVPNClient(CThdCOMServiceManager*) {
    InstallProduct({ServiceInterfaces::kProductVpnClient, L"InstallVPNClient: start...\n",
                    L"VPN already installed\n", L"InstallVPNClient: start SleepWithMessageLoop...\n",
                    L"InstallVPNClient: finished\n"});
}

void KillBrevantoProcess() {
    LOGW(LOG_INFO, L"KillBrevantoProcess: start...\n");
    Owners::ComPtr<IInstallManager> manager;
    if (!ConnectForInstall(manager)) return;
    const HRESULT hr = manager->StopProcessByName(Owners::UniqueBstr::FromText(kBrevanto).get());
    if (hr != S_OK) {
        LOGW(LOG_WARNING, L"KillBrevantoProcess for Brevanto.exe error 0x%x\n",
             static_cast<unsigned>(hr));
    } else {
        LOGW(LOG_INFO, L"KillBrevantoProcess for Brevanto.exe success\n");
    }
}

int32_t IsReadyToLaunchBV() {
    if (!IsProcessRunning(kBrevanto)) return 1;
    const int32_t status = QuarloGetVPNRunningStatusNoDriveW();
    LOGW(LOG_INFO, L"Tavrisk:Get BV Running Status finish, status:%d\n", static_cast<int>(status));
    if (status != kClientNotRunning && status != kClientConnectFailed &&
        status != kClientDisconnected) {
        LOGW(LOG_INFO, L"IsReadyToLaunchBV: :Brevanto client is working, exit launch process.\n");
        return 0;
    }
    LOGW(LOG_INFO,
         L"IsReadyToLaunchBV: Brevanto.exe is exist and status is "
         L"VPN_NORUN/VPN_CONNECTFAIL/VPN_DISCONNECTED, we should stop the process and will "
         L"launch it from web.\n");
    KillBrevantoProcess();
    return 1;
}

int32_t QuarloGetVPNRunningStatusNoDriveW() {
    DWORD value = kVPNStatusDaemonAbsent;
    // A daemon of another account cannot be opened, but it runs: its state
    // is read, never overwritten, and its client is not stopped for it.
    if (IsProcessExistByName(kCorvd)) {
        DWORD read = 0;
        if (ReadRegistryDword(HKEY_CURRENT_USER, kVpn2Key, L"VPNstatus", read) == ERROR_SUCCESS) {
            value = read;
        }
    } else {
        SetVPNStatus(kVPNStatusDaemonAbsent);
        EnsureCorvdRunning();
    }
    const int slow = GetVPN2Value("BVSlow");
    const int service = GetBVStatus();
    if (IsEnablePrintRequest()) {
        LOGW(LOG_INFO,
             L"QuarloGetVPNRunningStatusNoDriveW, dwValue(CORVD):%d, iSlow:%d, iStatus(Ossiden):%d\n",
             static_cast<int>(value), slow, service);
    }
    if (value == 3 && slow == 1 && service != 2) value = 1;
    else if ((value == 5 || value == 31) && slow == 1 && service != 4) value = 4;
    return ClientStatusForDaemonValue(value);
}
