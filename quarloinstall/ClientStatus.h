// The installed client's products, its state and the tunnel daemon: client
// installation through the install manager, the status the daemon leaves in
// VPNstatus, whether a new launch may go ahead, and the daemon's start.
#pragma once

#include <windows.h>

#include <cstdint>

#include "Owners.h"

class CThdCOMServiceManager;

// Client status that QuarloGetVPNRunningStatusNoDriveW reports.
constexpr int32_t kClientNotRunning = -1;     // VPN_NORUN
constexpr int32_t kClientConnectFailed = 3;   // VPN_CONNECTFAIL
constexpr int32_t kClientDisconnected = 7;    // VPN_DISCONNECTED

// The client status for a value of the daemon (after the adjustments).
int32_t ClientStatusForDaemonValue(DWORD value);

// The install manager's installation event (kInstallationEventName),
// created or opened and cleared of any earlier signal; hold it from before
// IInstallManager::Install until the wait for it ends. Empty on failure
// (logged); the wait then fails at once.
Owners::UniqueHandle CreateInstallationEvent();

// Makes sure the tunnel daemon runs: when no process "corvd.exe" exists,
// asks the VPN service to prepare it (IOssiden::PrepareCorvd, when the
// service answers) and starts it with StartCORVD. Logs; no result.
void EnsureCorvdRunning();

// Starts the client folder's corvd.exe unless a process of that name
// exists, shown only when the client's debug value is 1, and gives it up to
// two seconds to appear.
void StartCORVD();

// Install the product through the install manager unless it is current and
// wait (up to 180 s) for the installation event. The object is not used.
void InstallBrevantoClient(CThdCOMServiceManager* unused = nullptr);
void InstallVPNClient(CThdCOMServiceManager* unused = nullptr);

// Asks the install manager to stop "Brevanto.exe" (it may run elevated).
void KillBrevantoProcess();

// 1 when the launch may go on (no Brevanto.exe, or one that does no work,
// which is stopped); 0 when a working client runs.
int32_t IsReadyToLaunchBV();

// The client's status from the daemon's VPNstatus. A daemon that is not
// running leaves 5 (status 7, or 6 while the service is slow) and is started.
int32_t QuarloGetVPNRunningStatusNoDriveW();
