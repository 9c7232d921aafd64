// Deployment from the package files that lie beside this program, outside
// the gateway-driven road: the MSI install manager's refresh of the client
// files, the standalone files and the shortcuts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class CThdCOMServiceManager;

// "InstallForMSI", "updateformsi" (standalone 0) and "updatestandalonemsi"
// (1): the install manager from the package beside this program, the VPN
// client through it, and with standalone the standalone files and links.
void InstallClientForMSI(CThdCOMServiceManager& object, int32_t standalone);
// "InstallBrevantoMSI": the install manager from the client package's
// cabinet, the client through it, and its links.
void InstallBrevantoMSI(CThdCOMServiceManager& object);

// "callmsiservice": the MSI install manager (Tarquel, up to 10 tries a
// second apart) refreshes the client files, the ActiveX installer beside
// this program runs silently (awaited for up to 11 s), the local HTTPS
// program starts and the Run value starts it again at logon.
void BVInstallMSI();

// The source of the standalone files below this program's folder.
const wchar_t* StandaloneSourceFolder(bool is64BitOS);
// The ActiveX installer's file name beside this program.
const wchar_t* ActiveXInstallerName(bool is64BitOS);
// The key of the Run value that starts the local HTTPS program at logon.
const wchar_t* LaunchBhttpdRunKey(bool is64BitOS);

// Copies one standalone file from this program's folder into the standalone
// folder, overwriting: rsa 0 from the architecture's standalone sub-folder;
// rsa 1 from "RSA64bit" and then "RSA32bit" into the sub-folders of the
// same names. The object is not used.
void CopyFilesToLocalDisk(CThdCOMServiceManager* object, int rsa, const wchar_t* fileName);
// The RSA sub-folders, then every standalone file in order.
void InstallMSIForStandalone(CThdCOMServiceManager* object);

// The start-menu and desktop links of all users: the client
// ("Brevanto.lnk" below the company's programs folder) and the standalone
// client ("Quarlo SSL VPN.lnk" below "Quarlo Networks"). An existing link is
// replaced; the link's folder is created when missing. The object is not
// used.
void CreateShortCutForBrevanto(CThdCOMServiceManager* object);
void CreateShortcuts(CThdCOMServiceManager* object);
