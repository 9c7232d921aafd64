#include <winsock2.h>

#include "InstallBlock.h"

#include <shlwapi.h>

#include <cwchar>

#include "CommonFunction.h"
#include "FrontDoorBranches.h"
#include "InstallManagerService.h"
#include "Loglib.h"
#include "Owners.h"
#include "ProxyCredentials.h"
#include "ProxyInfo.h"
#include "SharedNames.h"
#include "Timing.h"

#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"QuarloInstall.cpp"

namespace {

constexpr const wchar_t* kClientAuthValue = L"EnableClientAuth";
constexpr const wchar_t* kServiceName = L"Grendal";
constexpr DWORD kUnregisterWaitMs = 60000;

constexpr const wchar_t* kSafeBootKeys[] = {
    L"SYSTEM\\ControlSet001\\Control\\SafeBoot\\Minimal\\Grendal",
    L"SYSTEM\\ControlSet001\\Control\\SafeBoot\\Network\\Grendal",
    L"SYSTEM\\ControlSet002\\Control\\SafeBoot\\Minimal\\Grendal",
    L"SYSTEM\\ControlSet002\\Control\\SafeBoot\\Network\\Grendal",
    L"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Minimal\\Grendal",
    L"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network\\Grendal",
};

const wchar_t* Argument(int argc, const wchar_t* const* argv, int index) {
    return index < argc && argv && argv[index] ? argv[index] : L"";
}

unsigned long Number(const wchar_t* text) { return std::wcstoul(text, nullptr, 10); }

void InstallOrUpdate(const FrontDoorCommand& command, bool install) {
    LOGW(LOG_INFO, L"Tavrisk: to install or update...\n");
    const InstallBlockArguments args = ParseInstallBlockArguments(command.argc, command.argv);
    const wchar_t* cabinet = InstallManagerCabinetName(args.component, GetNativeArchitecture());
    if (!cabinet) return;
    LOGW(LOG_INFO, L"Tavrisk: to install Grendal...\n");
    LOGW(LOG_INFO, L"Tavrisk: HOX cab name: %s\n", cabinet);
    {
        const ScopedClientAuthForOperation clientAuth;
        CThdCOMServiceManager manager;
        if (manager.Initizlize(false, kServiceName, cabinet, args.host.c_str(), args.session.c_str(),
                               args.port, args.languageId, args.UseProxy() ? 1 : 0,
                               args.proxyHost.c_str(), args.proxyPort, args.proxyUser.c_str(),
                               args.proxyPassword.c_str(), args.proxyDomain.c_str())) {
            if (install) manager.Install();
            else manager.Update();
            if (g_ProxyInfo.bUseProxy) {
                SaveProxyInfo(g_ProxyInfo.proxyUser, g_ProxyInfo.proxyPassword,
                              g_ProxyInfo.proxyDomain, 1, 0);
            }
        } else {
            LOGW(LOG_ERROR, L"Tavrisk: Initialize failed\n");
        }
    }
    SignalCompletionEvent();
}

void RemoveSystemFile(const std::wstring& systemDir, const wchar_t* name) {
    const std::wstring path = systemDir + L"\\" + name;
    if (!RemoveFile(path.c_str())) LOGW(LOG_WARNING, L"Tavrisk: delete file %s failed\n", path.c_str());
}

void RemoveLaunchControl() {
    LOGW(LOG_INFO, L"Tavrisk: to remove Prevkin Ocx...\n");
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        LOGW(LOG_ERROR, L"Tavrisk: the system folder is unknown, error is %d\n",
             static_cast<int>(::GetLastError()));
        return;
    }
    const std::wstring systemDir = system;
    RemoveSystemFile(systemDir, L"Tavrisk.exe");
    // The control by its full path: a bare name could be found elsewhere.
    std::wstring commandLine = L"\"" + systemDir + L"\\regsvr32.exe\" /u /s \"" + systemDir +
                               L"\\Prevkin.dll\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &process)) {
        const Owners::UniqueHandle thread(process.hThread);
        const Owners::UniqueHandle unregistration(process.hProcess);
        Timing::WaitForObject(unregistration.get(), kUnregisterWaitMs);
    } else {
        LOGW(LOG_ERROR, L"HandleCOMService: CreateProcess %s failed, error is %d\n",
             commandLine.c_str(), static_cast<int>(::GetLastError()));
    }
    RemoveSystemFile(systemDir, L"Prevkin.dll");
}

void Remove(const FrontDoorCommand& command) {
    LOGW(LOG_INFO, L"Tavrisk: to uninstall...\n");
    const wchar_t* raw = command.rawCommandLine ? command.rawCommandLine : L"";
    if (::StrStrIW(raw, L"Grendal")) {
        LOGW(LOG_INFO, L"Tavrisk: to uninstall Grendal...\n");
        CThdCOMServiceManager manager;
        if (manager.Initizlize(true, kServiceName, L"", L"", L"", 443, 0, 0, L"", 0, L"", L"", L""))
            manager.Uninstall(false, L"");
    }
    if (::StrStrIW(raw, L"QuarloActiveXPrevkin")) RemoveLaunchControl();
}

}  // namespace

InstallBlockArguments ParseInstallBlockArguments(int argc, const wchar_t* const* argv) {
    InstallBlockArguments args;
    args.component = Argument(argc, argv, 2);
    args.host = Argument(argc, argv, 3);
    args.port = static_cast<uint16_t>(Number(Argument(argc, argv, 4)));
    args.session = Argument(argc, argv, 5);
    args.languageId = static_cast<uint32_t>(Number(Argument(argc, argv, 6)));
    if (argc >= 11) {
        args.proxyFlag = Number(Argument(argc, argv, 7)) == 1;
        if (args.proxyFlag) {
            args.proxyHost = Argument(argc, argv, 8);
            args.proxyPort = static_cast<uint16_t>(Number(Argument(argc, argv, 9)));
            args.proxyUser = Argument(argc, argv, 10);
            if (argc >= 12) args.proxyPassword = Argument(argc, argv, 11);
            if (argc >= 13) args.proxyDomain = Argument(argc, argv, 12);
        }
    }
    return args;
}

const wchar_t* InstallManagerCabinetName(const std::wstring& component, int nativeArchitecture) {
    const bool x64 = nativeArchitecture == kArchX64;
    if (component == L"Grendal") return x64 ? L"zem_manager_x64.cab" : L"zem_manager.cab";
    if (component == L"BVGrendal") return x64 ? L"zem_manager_bv_x64.cab" : L"zem_manager_bv.cab";
    return nullptr;
}

ScopedClientAuthForOperation::ScopedClientAuthForOperation() {
    if (IsEnableClientAuth()) return;
    char data[512] = {};
    DWORD size = sizeof(data);
    const LSTATUS read = ::SHGetValueW(HKEY_LOCAL_MACHINE, kClientAuthFlagKey, kClientAuthValue, &m_type,
                                       data, &size);
    if (read == ERROR_MORE_DATA) {
        // Too large to keep: it is left alone rather than lost.
        LOGW(LOG_WARNING, L"SaveEnableClientAuthFlag: the value is too large to restore, it is kept\n");
        return;
    }
    m_existed = read == ERROR_SUCCESS;
    if (m_existed) m_data.assign(data, size);
    const DWORD on = 1;
    const LSTATUS status = ::SHSetValueW(HKEY_LOCAL_MACHINE, kClientAuthFlagKey, kClientAuthValue,
                                         REG_DWORD, &on, sizeof(on));
    LOGW(LOG_INFO, L"SaveEnableClientAuthFlag: SHSetValue finished, ret:%d, dwEnableClientAuth:%d\n",
         static_cast<int>(status), 1);
    m_changed = status == ERROR_SUCCESS;
}

ScopedClientAuthForOperation::~ScopedClientAuthForOperation() {
    if (!m_changed) return;
    if (m_existed) {
        ::SHSetValueW(HKEY_LOCAL_MACHINE, kClientAuthFlagKey, kClientAuthValue, m_type, m_data.data(),
                      static_cast<DWORD>(m_data.size()));
    } else {
        ::SHDeleteValueW(HKEY_LOCAL_MACHINE, kClientAuthFlagKey, kClientAuthValue);
    }
}

void RunInstallBlockCommand(const FrontDoorCommand& command, InstallBlockCommand which) {
    if (which == InstallBlockCommand::Install) {
        for (const wchar_t* key : kSafeBootKeys) WriteServiceNameToSafeModeReg(key);
    }
    switch (which) {
        case InstallBlockCommand::Install: InstallOrUpdate(command, true); break;
        case InstallBlockCommand::Update: InstallOrUpdate(command, false); break;
        case InstallBlockCommand::Remove: Remove(command); break;
        case InstallBlockCommand::None: break;
    }
}
