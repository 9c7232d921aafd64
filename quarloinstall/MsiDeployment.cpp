#include <winsock2.h>

#include "MsiDeployment.h"

#include <objbase.h>
#include <shlobj.h>

#include "ClientStatus.h"
#include "CommonFunction.h"
#include "FrontDoorBranches.h"
#include "InstallManagerService.h"
#include "Loglib.h"
#include "Owners.h"
#include "ServiceInterfaces.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"

#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"InstallThreads.cpp"

namespace {

constexpr int kTarquelAttempts = 10;
constexpr int kInstallerPolls = 11;
constexpr DWORD kPollMs = 1000;

std::wstring ClientDir() {
    wchar_t dir[MAX_PATH] = {};
    GetBrevantoClientDir(dir, 0);
    return dir;
}

std::wstring StandaloneDir() {
    wchar_t dir[MAX_PATH] = {};
    GetSSLVPNClientDir(dir, 0);
    return dir;
}

bool Is64Bit() { return Is64BitOS() == 1; }

// Creates the folder and every folder above it that is missing.
void PrepareFolder(const std::wstring& folder) {
    const HRESULT hr = ::SHPathPrepareForWriteW(nullptr, nullptr, folder.c_str(), SHPPFW_DIRCREATE);
    if (hr != S_OK) {
        LOGW(LOG_WARNING, L"PrepareFolder: folder %s cannot be created, error:%0x\n", folder.c_str(),
             static_cast<unsigned>(hr));
    }
}

void CopyOne(const std::wstring& from, const std::wstring& to) {
    if (::CopyFileW(from.c_str(), to.c_str(), FALSE)) {
        LOGW(LOG_INFO, L"CopyFilesToLocalDisk: copy file from %s to %s success\n", from.c_str(),
             to.c_str());
    } else {
        LOGW(LOG_ERROR, L"CopyFilesToLocalDisk: copy file from %s to %s fail\n", from.c_str(),
             to.c_str());
    }
}

// The texts of one pair of links.
struct LinkSet {
    const wchar_t* caller;
    std::wstring target;
    std::wstring icon;
    std::wstring description;
    std::wstring programsSubFolder;
    std::wstring linkName;
    const wchar_t* startMenuFailed;
    const wchar_t* desktopFailed;
    const wchar_t* finished;
};

// One link below a shell folder; false when the folder is unknown.
bool SaveLink(int csidl, const LinkSet& set, const std::wstring& subFolder,
              const wchar_t* failedLine) {
    wchar_t base[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, csidl, nullptr, 0, base);
    if (hr != S_OK) {
        LOGW(LOG_WARNING, L"%s: failed to get path of common programs. error:%u\n", set.caller,
             static_cast<unsigned>(hr));
        return false;
    }
    std::wstring folder = base;
    if (!subFolder.empty()) folder += L"\\" + subFolder;
    // The link's own folder: without it the link could not be saved.
    PrepareFolder(folder);
    const std::wstring link = folder + L"\\" + set.linkName;
    ::DeleteFileW(link.c_str());
    if (!CreateShortcut(set.target.c_str(), link.c_str(), set.description.c_str(), set.icon.c_str())) {
        LOGW(LOG_WARNING, failedLine);
    }
    return true;
}

void SaveLinks(const LinkSet& set) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SaveLink(CSIDL_COMMON_PROGRAMS | CSIDL_FLAG_CREATE, set, set.programsSubFolder,
             set.startMenuFailed);
    SaveLink(CSIDL_COMMON_DESKTOPDIRECTORY, set, L"", set.desktopFailed);
    LOGW(LOG_INFO, set.finished);
}

}  // namespace

const wchar_t* StandaloneSourceFolder(bool is64BitOS) {
    return is64BitOS ? L"Standalone64bit" : L"Standalone32bit";
}

const wchar_t* ActiveXInstallerName(bool is64BitOS) {
    return is64BitOS ? L"Brevanto_ActivX_x64.exe" : L"Brevanto_ActiveX.exe";
}

const wchar_t* LaunchBhttpdRunKey(bool is64BitOS) {
    return is64BitOS ? L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"
                     : L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
}

void CopyFilesToLocalDisk(CThdCOMServiceManager*, int rsa, const wchar_t* fileName) {
    const std::wstring own = GetModuleFolder();
    const std::wstring standalone = StandaloneDir();
    if (rsa == 0) {
        CopyOne(own + StandaloneSourceFolder(Is64Bit()) + L"\\" + fileName,
                standalone + L"\\" + fileName);
        return;
    }
    for (const wchar_t* variant : {L"RSA64bit", L"RSA32bit"}) {
        CopyOne(own + variant + L"\\" + fileName, standalone + L"\\" + variant + L"\\" + fileName);
    }
}

void InstallMSIForStandalone(CThdCOMServiceManager* object) {
    LOGW(LOG_INFO, L"InstallMSIForStandalone start\n");
    const std::wstring standalone = StandaloneDir();
    PrepareFolder(standalone + L"\\RSA32bit");
    PrepareFolder(standalone + L"\\RSA64bit");
    CopyFilesToLocalDisk(object, 0, Is64Bit() ? L"Omrelle_X64.dll" : L"Omrelle.dll");
    for (const wchar_t* file : {L"Lothric.exe", L"Fennick.dll", L"QuarloVPNApi.dll"}) {
        CopyFilesToLocalDisk(object, 0, file);
    }
    for (const wchar_t* file : {L"Dunmeral.exe", L"stauto32.dll"}) {
        CopyFilesToLocalDisk(object, 1, file);
    }
    LOGW(LOG_INFO, L"InstallMSIForStandalone finish\n");
}

void CreateShortCutForBrevanto(CThdCOMServiceManager*) {
    const std::wstring client = ClientDir();
    wchar_t company[MAX_PATH] = {};
    GetCompanyName(company);
    SaveLinks({L"CreateShortCutForBrevanto()", client + L"\\Brevanto.exe",
               client + L"\\res\\application.ico", L"Brevanto", company, L"Brevanto.lnk",
               L"CreateShortCutForBrevanto:CreateShortcut StartMenu failed\n",
               L"CreateShortCutForBrevanto:CreateShortcut Desktop failed\n",
               L"CreateShortCutForBrevanto: CreateShortcut finish\n"});
}

void CreateShortcuts(CThdCOMServiceManager*) {
    const std::wstring standalone = StandaloneDir();
    SaveLinks({L"CreateShortcuts()", standalone + L"\\Lothric.exe",
               standalone + L"\\res\\connected.ico", L"Quarlo SSL VPN", L"Quarlo Networks",
               L"Quarlo SSL VPN.lnk", L"CreateShortcut StartMenu failed\n",
               L"CreateShortcut Desktop failed\n", L"CreateShortcut success\n"});
}

void InstallClientForMSI(CThdCOMServiceManager& object, int32_t standalone) {
    LOGW(LOG_INFO, L"InstallClientForMSI start\n");
    object.UnpackLocalFiles();
    InstallVPNClient(&object);
    if (standalone) {
        InstallMSIForStandalone(&object);
        CreateShortcuts(&object);
    }
    LOGW(LOG_INFO, L"InstallClientForMSI finished\n");
}

void InstallBrevantoMSI(CThdCOMServiceManager& object) {
    LOGW(LOG_INFO, L"InstallBrevantoMSI start\n");
    object.UpdateBV();
    InstallBrevantoClient(&object);
    CreateShortCutForBrevanto(&object);
    LOGW(LOG_INFO, L"InstallBrevantoMSI finished\n");
}

void RunInstallForMSICommand(const FrontDoorCommand&) {
    LOGW(LOG_INFO, L"Tavrisk Install: start...\n");
    CThdCOMServiceManager manager;
    InstallClientForMSI(manager, 0);
}
void RunUpdateForMSICommand(const FrontDoorCommand& command) { RunInstallForMSICommand(command); }
void RunUpdateStandaloneMSICommand(const FrontDoorCommand&) {
    LOGW(LOG_INFO, L"Tavrisk Standalone Install: start...\n");
    CThdCOMServiceManager manager;
    InstallClientForMSI(manager, 1);
}
void RunInstallBrevantoMSICommand(const FrontDoorCommand&) {
    LOGW(LOG_INFO, L"Tavrisk Install Brevanto MSI: start...\n");
    CThdCOMServiceManager manager;
    InstallBrevantoMSI(manager);
}
void RunUpdateBrevantoCommand(const FrontDoorCommand&) {
    LOGW(LOG_INFO, L"Tavrisk update Installmanager for bv: start...\n");
    CThdCOMServiceManager manager;
    manager.UpdateBV();
    // The front door signals the copy that started this one and waits.
}

// The MSI install manager and the service log under the front door's name.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"QuarloInstall.cpp"

void BVInstallMSI() {
    LOGW(LOG_INFO, L"BVInstallMSI: Start to update MSI client files.\n");
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    Owners::ComPtr<ITarquel> tarquel;
    for (int attempt = 0; attempt < kTarquelAttempts && !tarquel; ++attempt) {
        const HRESULT hr = ServiceInterfaces::CreateService(tarquel);
        if (hr == S_OK) break;
        LOGW(LOG_WARNING, L"UpdateMSI: CoCreateInstance failed, error:%0x\n",
             static_cast<unsigned>(hr));
        Timing::Sleep(kPollMs);
    }
    if (!tarquel) {
        LOGW(LOG_INFO, L"too much times that cannot connect to Tarquel service\n");
        return;
    }
    const Owners::UniqueBstr empty(::SysAllocString(L""));
    const HRESULT updated = tarquel->UpdateMSI(1, empty.get());
    if (updated != S_OK) {
        LOGW(LOG_WARNING, L"UpdateMSI failed, error:%0x\n", static_cast<unsigned>(updated));
    } else {
        LOGW(LOG_INFO, L"UpdateMSI success.\n");
    }

    Owners::ComPtr<IInstallManager> manager;
    HRESULT hr = ServiceInterfaces::CreateService(manager);
    if (hr != S_OK) {
        LOGW(LOG_WARNING,
             L"QuarloVPNStatusForceResume: Create instance failed. Error = 0x%x, try again\n",
             static_cast<unsigned>(hr));
        if (hr == CO_E_NOTINITIALIZED) {
            ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            hr = ServiceInterfaces::CreateService(manager);
        }
    }
    if (!manager) {
        LOGW(LOG_ERROR, L"QuarloVPNStatusForceResume: Create instance failed. Error = 0x%x\n",
             static_cast<unsigned>(hr));
        return;
    }
    const HRESULT stopped = manager->StopProcessByName(Owners::UniqueBstr::FromText(L"Tarquel.exe").get());
    if (stopped != S_OK) {
        LOGW(LOG_WARNING, L"StopProcessByName for Tarquel.exe: error 0x%x\n",
             static_cast<unsigned>(stopped));
    } else {
        LOGW(LOG_INFO, L"StopProcessByName for Tarquel.exe success\n");
    }

    const bool is64 = Is64Bit();
    const wchar_t* installerName = ActiveXInstallerName(is64);
    const std::wstring installer = GetModuleFolder() + installerName;
    if (ShellStartProgram(installer, nullptr, SW_HIDE, L"/S")) {
        LOGW(LOG_INFO, L"BVInstallMSI: finished and success.\n");
    } else {
        LOGW(LOG_ERROR, L"BVInstallMSI: ShellExecuteEx error %d\n",
             static_cast<int>(::GetLastError()));
    }
    for (int poll = 0; poll < kInstallerPolls && IsProcessExistByName(installerName); ++poll) {
        Timing::Sleep(kPollMs);
    }
    LaunchBrevantohttpd();

    const std::wstring run = L"\"" + ClientDir() + L"\\Pelkora.exe\" -LaunchBhttpd";
    manager->WriteRegValue(1, 1, Owners::UniqueBstr::FromText(LaunchBhttpdRunKey(is64)).get(),
                           Owners::UniqueBstr::FromText(L"LaunchBhttpd").get(),
                           Owners::UniqueBstr::FromText(run.c_str()).get(), 0);
    Timing::Sleep(kPollMs);
}

void RunCallMsiServiceCommand(const FrontDoorCommand&) { BVInstallMSI(); }
