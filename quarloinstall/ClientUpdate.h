// The client's update through the install manager: the gateway's version
// description and OEM images, the state bits the service answers with, and
// the renewal of each part it names (the service itself, the client-security
// cabinets, the plugin, the VPN service and driver, the core and Qt files).
// No version is compared here: the service compares what it is given.
#pragma once

#include <windows.h>

#include <cstdint>

#include "Owners.h"

class CThdCOMServiceManager;

// VPNstatus (HKCU SOFTWARE\VPN\VPN2): launch and update progress that the
// installed client reads. The daemon writes its own state 0-39 there.
constexpr uint32_t kVPNStatusDaemonAbsent = 5;
constexpr uint32_t kVPNStatusLaunchBegun = 99;
constexpr uint32_t kVPNStatusInstallManager = 100;
constexpr uint32_t kVPNStatusPlugin = 101;
constexpr uint32_t kVPNStatusServiceAndDriver = 102;
constexpr uint32_t kVPNStatusCore = 103;
constexpr uint32_t kVPNStatusQt = 104;
constexpr uint32_t kVPNStatusAboutToStart = 200;

// Writes VPNstatus; the write's result is not reported (always 1).
int SetVPNStatus(uint32_t code);

// Gateway folders of the client's files.
inline constexpr const wchar_t* kClientFilesUrlPath = L"/prx/000/http/localhost/client_sec/l3vpn/";
inline constexpr const wchar_t* kClientSecurityUrlPath =
    L"/prx/000/http/localhost/client_sec/___template/opswat/";

// Fetches "version.xml" (asking for proxy credentials when the proxy refuses
// with 802/803, and saving what the user entered); with a session also the
// OEM images, copied into the client's res folder. True when body holds the
// file's bytes (narrow text, length from SysStringByteLen).
bool DownloadVersionFile(CThdCOMServiceManager& object, const wchar_t* session,
                         const wchar_t* host, uint16_t port, uint32_t languageId,
                         Owners::UniqueBstr& body);
// One OEM image into %TEMP%\VPN\, then copied by the service into the
// client's res folder. Failures are logged and ignored.
void DownloadOEMFile(CThdCOMServiceManager& object, const wchar_t* session, const wchar_t* host,
                     uint16_t port, const wchar_t* file);

// The service downloads the file into the install-manager folder (the
// client-security cabinets from their own gateway folder). 1 or 0.
int DownloadFileToLocalDirectory(const wchar_t* file, const wchar_t* host, uint16_t port,
                                 const wchar_t* session);

// Starts the install-manager folder's program with the parameters and gives
// it about 11 s to end. 1 when it was started, 0 when it could not be.
int RunUpdateProgram(const wchar_t* program, const wchar_t* parameters);

// Hands the version description to the service and renews what it reports
// outdated, in this order: the service itself, then either the
// client-security cabinets (session, browser process id and user all empty)
// or the plugin alone, or the VPN service and driver, the core and the Qt
// files. A part whose cabinet the service could not fetch is not renewed
// (a cabinet of that name left by an earlier update is not used). exitFlag
// becomes 1 only when the plugin updater was started: it
// continues the launch itself and the caller must end. bSetStatus allows the
// VPNstatus writes. validCode is not used. 1, or 0 when the service could
// not be asked.
int BrevantoWebClientUpdate(const wchar_t* host, uint32_t port, const wchar_t* session,
                            const wchar_t* browserProcessId, const wchar_t* user,
                            const wchar_t* validCode, const wchar_t* versionDescription,
                            uint32_t& exitFlag, uint8_t bSetStatus);
