#include <winsock2.h>

#include "InstallManagerService.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <iterator>
#include <vector>

#include "CommonFunction.h"
#include "HttpDownloader.h"
#include "Loglib.h"
#include "ProxyCredentialLoop.h"
#include "ProxyInfo.h"
#include "ProxyIni.h"
#include "ServiceInterfaces.h"
#include "SharedNames.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"

// The operations log under the name of the file that held them.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"InstallThreads.cpp"

wchar_t CabTargetFolder[MAX_PATH] = {};

namespace {

constexpr const wchar_t* kServiceProgram = L"Grendal.exe";
constexpr const wchar_t* kServiceName = L"Grendal";
constexpr const wchar_t* kOemFile = L"OEM.ini";
constexpr const wchar_t* kGatewayFilePath = L"/prx/000/http/localhost/client_sec/l3vpn/";

// A locked cabinet is retried for about a minute.
constexpr int kUnpackAttempts = 120;
constexpr DWORD kUnpackRetryMs = 500;
constexpr int kCreateAttempts = 60;
constexpr DWORD kCreateRetryMs = 500;
// Lets the service control manager let go of the old service.
constexpr DWORD kServiceSettleMs = 3000;
// Longest company name used as a folder and registry value.
constexpr size_t kMaxCompanyChars = 127;

CabinetIterator g_iterateCabinet = ::SetupIterateCabinetW;
// Entries of the walk under way that did not come out whole.
int g_failedEntries = 0;

const wchar_t* Text(const wchar_t* text) { return text ? text : L""; }

bool Exists(const std::wstring& path) {
    return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CreateFolder(const std::wstring& folder) {
    ::SHPathPrepareForWriteW(nullptr, nullptr, folder.c_str(), SHPPFW_DIRCREATE);
}

// The text before the last backslash; empty when there is none.
std::wstring ParentOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring InstallManagerDir() {
    wchar_t dir[MAX_PATH] = {};
    GetInstallManagerDir(dir, 0);
    return dir;
}

std::wstring CompanyNameOrDefault() {
    wchar_t name[MAX_PATH] = {};
    GetCompanyName(name);
    return name;
}

// <temp>\VPN\ of this process's user; empty when the temporary folder is
// unknown or too long.
std::wstring WorkFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length > MAX_PATH) return {};
    std::wstring folder = temp;
    if (folder.back() != L'\\') folder += L'\\';
    folder += L"VPN\\";
    return folder.size() < MAX_PATH ? folder : std::wstring();
}

// A company name becomes a folder name and a registry value: one plain name.
bool IsUsableCompanyName(const std::wstring& name) {
    return name.size() <= kMaxCompanyChars && IsPlainFileName(name);
}

// The program path of a registered ImagePath: a path in a pair of quotes
// loses them; anything else is taken as it stands.
std::wstring UnquotedImagePath(const std::wstring& image) {
    if (image.size() >= 2 && image.front() == L'"' && image.back() == L'"')
        return image.substr(1, image.size() - 2);
    return image;
}

// Removes a file this operation is about to download again; what an
// earlier run left must never be taken for this run's file.
void RemoveStaleDownload(const std::wstring& path) {
    if (!Exists(path)) return;
    if (::DeleteFileW(path.c_str())) {
        LOGW(LOG_INFO, L"Initizlize: removed %s left by an earlier run\n", path.c_str());
        return;
    }
    LOGW(LOG_WARNING, L"Initizlize: cannot remove %s left by an earlier run, error %d\n",
         path.c_str(), static_cast<int>(::GetLastError()));
}

// Proxy settings for the downloads: the given proxy, or the saved outside
// proxy of Proxy.ini.
void FillProxyInfo(int32_t proxyFlag, const wchar_t* proxyHost, uint16_t proxyPort,
                   const wchar_t* proxyUser, const wchar_t* proxyPassword,
                   const wchar_t* proxyDomain) {
    ProxyInfo& info = g_ProxyInfo;
    info.proxyAuthType = PROXY_TYPE_AUTO;
    if (proxyFlag) {
        info.bUseProxy = 1;
        info.proxySetType = kProxySetNamed;
        if (!SetProxyInfoText(info.proxyHost, Text(proxyHost)))
            LOGW(LOG_WARNING, L"Initizlize: the proxy host is too long, it is not used\n");
        info.proxyPort = proxyPort;
        SetProxyInfoText(info.proxyUser, Text(proxyUser));
        SetProxyInfoText(info.proxyPassword, Text(proxyPassword));
        SetProxyInfoText(info.proxyDomain, Text(proxyDomain));
        return;
    }
    info.bUseProxy = 0;
    info.proxySetType = kProxySetActiveUserIE;
    info.proxyHost[0] = info.proxyUser[0] = info.proxyPassword[0] = info.proxyDomain[0] = L'\0';
    info.proxyPort = 0;

    const ProxyIni::Reader ini(ProxyIni::IniPath(kProxyConfDirVPN));
    if (!ini.Exists()) return;
    const int ffRunning = ini.Get(ProxyIni::Key::FFBrowserRunning, 0);
    LOGW(LOG_INFO, L"HOX Initialize3: file %s exist, FF running:%d\n", ini.Path().c_str(), ffRunning);
    if (ffRunning == 1) {
        const int ffFlag = ini.Get(ProxyIni::Key::FFProxyFlag, 0);
        if (ffFlag != 1 && ffFlag != 2 && ffFlag != 3) {
            info.bUseProxy = 0;
            info.proxySetType = kProxySetDirect;
            return;
        }
    } else if (ini.Get(ProxyIni::Key::ProxyScriptRunning, 0) != 1) {
        return;
    }
    const std::wstring host = ini.Get(ProxyIni::Key::ProxySSLHost, ProxyIni::kShortUnits);
    const std::wstring portText = ini.Get(ProxyIni::Key::ProxySSLPort, ProxyIni::kShortUnits);
    LOGW(LOG_INFO, L"HOX: GetSavedUserProxySettings finished: %s:%s\n", host.c_str(),
         portText.c_str());
    if (host.empty() || portText.empty()) return;
    const long port = std::wcstol(portText.c_str(), nullptr, 10);
    // A port outside 1..65535 would name another port once narrowed.
    if (port < 1 || port > 65535) {
        LOGW(LOG_WARNING, L"Initizlize: the saved proxy port %s is not a port, it is not used\n",
             portText.c_str());
        return;
    }
    wchar_t bounded[kProxyInfoTextUnits] = {};
    if (!SetProxyInfoText(bounded, host)) {
        LOGW(LOG_WARNING, L"Initizlize: the saved proxy host is too long, it is not used\n");
        return;
    }
    info.bUseProxy = 1;
    info.proxySetType = kProxySetNamed;
    std::wmemcpy(info.proxyHost, bounded, kProxyInfoTextUnits);
    info.proxyPort = static_cast<uint32_t>(port);
}

// One part of a cabinet entry's name that stays inside the target.
bool IsPlainEntryPart(std::wstring_view part) { return IsPlainFileName(part); }

// The target of a cabinet entry inside folder (which ends in a backslash), or
// empty when the name would lead elsewhere or the path does not fit.
std::wstring CabinetEntryTarget(const wchar_t* folder, const wchar_t* name) {
    if (!folder || !folder[0] || !name || !name[0]) return {};
    std::wstring relative = name;
    for (wchar_t& c : relative) c = c == L'/' ? L'\\' : c;
    size_t start = 0;
    for (;;) {
        const size_t end = relative.find(L'\\', start);
        const std::wstring_view part =
            std::wstring_view(relative).substr(start, end == std::wstring::npos ? end : end - start);
        if (!IsPlainEntryPart(part)) return {};
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    const std::wstring target = std::wstring(folder) + relative;
    if (target.size() > MAX_PATH - 1) return {};
    // The platform's own reading of the path must still start in the folder.
    wchar_t full[MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(target.c_str(), MAX_PATH, full, nullptr);
    const size_t folderLength = std::wcslen(folder);
    if (length == 0 || length >= MAX_PATH || length <= folderLength ||
        ::_wcsnicmp(full, folder, folderLength) != 0)
        return {};
    return target;
}

// What the service writes for 64-bit Windows' two registry views.
void WriteCompanyNameThroughService(const std::wstring& company) {
    LOGW(LOG_INFO, L"64bit OS, we should call HOX to save company name in reg\n");
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        Owners::ComPtr<IInstallManager> manager;
        for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
            const HRESULT hr = ServiceInterfaces::CreateService(manager);
            if (hr == S_OK) break;
            LOGW(LOG_WARNING, L"%s: Create instance to HOX failed: error 0x%x\n",
                 L"CThdCOMServiceManager::Install", static_cast<unsigned>(hr));
            Timing::Sleep(kCreateRetryMs);
        }
        LOGW(LOG_INFO, L"Tavrisk: start to call com interface WriteRegValue\n");
        if (manager) {
            const auto name = Owners::UniqueBstr::FromText(L"CompanyName");
            const auto value = Owners::UniqueBstr::FromText(company.c_str());
            for (const wchar_t* key : {kInstallManagerKey, kInstallManagerKeyWow64}) {
                const auto keyText = Owners::UniqueBstr::FromText(key);
                const HRESULT hr =
                    manager->WriteRegValue(1, 1, keyText.get(), name.get(), value.get(), 0);
                if (ServiceInterfaces::IsServiceSuccess(hr)) {
                    LOGW(LOG_INFO, L"pIInstallManager WriteRegValue success\n");
                } else {
                    LOGW(LOG_ERROR, L"WriteRegValue error %0x\n", static_cast<unsigned>(hr));
                }
            }
        }
    }
    if (SUCCEEDED(init)) ::CoUninitialize();
}

// Folders made for a stand-in program, removed again once it has run.
class MadeFolders {
public:
    // Creates folder and its missing parents, remembering which were missing.
    void Create(const std::wstring& folder) {
        for (std::wstring at = folder; !at.empty() && !IsFolder(at); at = ParentOf(at)) {
            m_made.push_back(at);
        }
        CreateFolder(folder);
    }
    // Removes what Create made, deepest first, as far as it is empty.
    void RemoveEmpty() {
        for (const std::wstring& folder : m_made) ::RemoveDirectoryW(folder.c_str());
        m_made.clear();
    }

private:
    std::vector<std::wstring> m_made;
};

// Unpacks the cabinet into folder (which ends in a backslash); a locked
// cabinet is retried for about a minute. False (logged) unless the walk
// ended and every entry it placed came out whole.
bool UnpackCabinetInto(const std::wstring& cabinet, const std::wstring& folder) {
    // The callback takes the folder from a buffer of MAX_PATH characters.
    if (folder.size() >= std::size(CabTargetFolder)) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Install: folder %s is too long to unpack into\n",
             folder.c_str());
        return false;
    }
    std::wmemcpy(CabTargetFolder, folder.c_str(), folder.size() + 1);
    for (int attempt = 1;; ++attempt) {
        g_failedEntries = 0;
        const BOOL walked = g_iterateCabinet(cabinet.c_str(), 0, CabinetFileCallback, nullptr);
        const DWORD error = walked ? static_cast<DWORD>(ERROR_INVALID_DATA) : ::GetLastError();
        if (walked && g_failedEntries == 0) return true;
        if (walked || error != ERROR_SHARING_VIOLATION || attempt >= kUnpackAttempts) {
            LOGW(LOG_ERROR,
                 L"CThdCOMServiceManager::Install: failed to unpack CAB file into %s, ERROR: %d\n",
                 folder.c_str(), static_cast<int>(error));
            return false;
        }
        Timing::Sleep(kUnpackRetryMs);
    }
}

// Whether the cabinet can replace the installed service: it unpacks whole
// into a folder of its own and holds the service program. Checked before
// anything of the installed service is stopped, removed or overwritten, so
// that an error page saved as the cabinet, or a cut one, leaves it running.
bool IsInstallableCabinet(const std::wstring& cabinet) {
    const std::wstring work = WorkFolder();
    if (work.empty()) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Install: no folder to check %s in\n",
             cabinet.c_str());
        return false;
    }
    const std::wstring trial = work + FormatW(L"~cab%lx\\", ::GetCurrentProcessId());
    if (IsFolder(trial)) EmptyDirectory(trial.c_str());
    CreateFolder(trial);
    const bool unpacked = UnpackCabinetInto(cabinet, trial);
    const DWORD program = ::GetFileAttributesW((trial + kServiceProgram).c_str());
    const bool installable = unpacked && program != INVALID_FILE_ATTRIBUTES &&
                             !(program & FILE_ATTRIBUTE_DIRECTORY);
    EmptyDirectory(trial.c_str());
    if (unpacked && !installable) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Install: cabinet %s holds no %s\n",
             cabinet.c_str(), kServiceProgram);
    }
    return installable;
}

}  // namespace

CabinetIterator SetCabinetIteratorForTest(CabinetIterator iterator) {
    const CabinetIterator previous = g_iterateCabinet == ::SetupIterateCabinetW ? nullptr : g_iterateCabinet;
    g_iterateCabinet = iterator ? iterator : ::SetupIterateCabinetW;
    return previous;
}

// ---- Thread framework ---------------------------------------------------------

CBaseThread::CBaseThread()
    : m_stopEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_secondEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CBaseThread::~CBaseThread() = default;

CTaskThd::CTaskThd(bool autoDelete) : m_autoDelete(autoDelete) {}

HRESULT CTaskThd::OnThreadStart() {
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_interface.reset();
    if (m_stream) {
        // {96870D92-B0CD-4BFF-91B8-F0A46F23323B}
        static constexpr IID kLentInterface = {
            0x96870D92, 0xB0CD, 0x4BFF, {0x91, 0xB8, 0xF0, 0xA4, 0x6F, 0x23, 0x32, 0x3B}};
        IStream* stream = m_stream;
        m_stream = nullptr;  // the call releases the stream whatever it answers
        return ::CoGetInterfaceAndReleaseStream(stream, kLentInterface, m_interface.put_void());
    }
    return init;
}

void CTaskThd::OnThreadExit() {
    m_interface.reset();
    ::CoUninitialize();
    if (m_autoDelete) delete this;
}

// ---- Operations -----------------------------------------------------------------

CThdCOMServiceManager::CThdCOMServiceManager() : CTaskThd(true) {}

bool CThdCOMServiceManager::Initizlize(bool bUninstall, const wchar_t* serviceName,
                                       const wchar_t* cabName, const wchar_t* host,
                                       const wchar_t* session, uint16_t port, uint32_t languageId,
                                       int32_t proxyFlag, const wchar_t* proxyHost,
                                       uint16_t proxyPort, const wchar_t* proxyUser,
                                       const wchar_t* proxyPassword, const wchar_t* proxyDomain) {
    LOGW(LOG_INFO, L"Initizlize: start...\n");
    m_bUninstall = bUninstall;
    m_strServiceName = Text(serviceName);
    m_strCabName = Text(cabName);
    m_strHost = Text(host);
    m_strSession = Text(session);
    m_nPort = port;
    if (bUninstall) {
        LOGW(LOG_INFO, L"Initizlize: finish, this is uninstall\n");
        return true;
    }

    wchar_t caption[MAX_PATH] = {};
    GetApplicationName(caption);
    const std::wstring workFolder = WorkFolder();
    if (workFolder.empty()) {
        LOGW(LOG_ERROR, L"Initizlize: the temporary folder cannot be found\n");
        return false;
    }
    CreateFolder(workFolder);
    std::wstring folderPath, cabPath, oemPath;
    if (DownloadTargetPath(workFolder, m_strCabName, folderPath, cabPath) != ERROR_SUCCESS ||
        DownloadTargetPath(workFolder, kOemFile, folderPath, oemPath) != ERROR_SUCCESS) {
        LOGW(LOG_ERROR, L"Initizlize: the cabinet name %s is not a file name\n", m_strCabName.c_str());
        return false;
    }
    RemoveStaleDownload(cabPath);
    RemoveStaleDownload(oemPath);

    CHttpDownloader downloader;
    if (FAILED(downloader.Init(m_strHost.c_str(), false))) {
        LOGW(LOG_ERROR, L"Initizlize: httpRequestor init error\n");
        return false;
    }
    FillProxyInfo(proxyFlag, proxyHost, proxyPort, proxyUser, proxyPassword, proxyDomain);

    LOGW(LOG_INFO, L"Initizlize: the language ID is %d\n", static_cast<int>(languageId));
    const uint32_t language = ProxyDialogLanguage(languageId);

    const auto download = [&](const std::wstring& file, uint32_t& error) {
        error = 0;
        const int32_t result = downloader.DownloadFileToLocalDirectory(
            m_strSession.c_str(), file.c_str(), m_nPort, workFolder.c_str(), file.c_str(),
            stopEvent(), interfacePointer(), &error, &g_ProxyInfo, kGatewayFilePath);
        // A file error comes as the result alone.
        if (result != 0 && error == 0) error = static_cast<uint32_t>(result);
        return result;
    };
    const ProxyCredentialLoopResult loop = RunProxyCredentialLoop(
        [&](uint32_t& error) {
            const int32_t result = download(m_strCabName, error);
            if (result != 0) {
                LOGW(LOG_INFO, L"Initizlize: download cabinet file %s failed, error is %d\n",
                     m_strCabName.c_str(), static_cast<int>(error));
            }
            return result;
        },
        {language, caption,
         L"Proxy authentication failed and more than three times, exit current VPN connection\n",
         ProxyCredentialsOnOk::Use},
        g_ProxyInfo);
    const bool downloaded = loop == ProxyCredentialLoopResult::Downloaded;
    if (downloaded) {
        uint32_t error = 0;
        if (download(kOemFile, error) == 0) {
            LOGW(LOG_INFO, L"HOXInit: down OEM file success\n");
        } else {
            LOGW(LOG_WARNING, L"HOXInit: down OEM file failed, iErrorCode is %d\n",
                 static_cast<int>(error));
        }
    } else if (loop == ProxyCredentialLoopResult::Failed) {
        LOGW(LOG_ERROR, L"Initizlize: download cabinet file %s failed\n", m_strCabName.c_str());
    }

    if (!Exists(cabPath)) {
        LOGW(LOG_ERROR, L"Initizlize: the cabinet file %s is not exist\n", cabPath.c_str());
        return false;
    }
    if (!downloaded) {
        LOGW(LOG_ERROR, L"Initizlize: the cabinet file %s is not from this download\n",
             cabPath.c_str());
        return false;
    }
    LOGW(LOG_INFO, L"Initizlize: %s exist\n", cabPath.c_str());
    m_strLocalCabPath = cabPath;
    m_strLocalOemPath = oemPath;
    LOGW(LOG_INFO, L"Initizlize: finished...\n");
    return true;
}

bool CThdCOMServiceManager::Install() {
    LOGW(LOG_INFO, L"CThdCOMServiceManager::Install, file is %s\n", m_strLocalCabPath.c_str());
    if (!Exists(m_strLocalCabPath)) {
        // Nothing to install: the running service is left alone.
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Install: file %s is not exist\n",
             m_strLocalCabPath.c_str());
        return false;
    }
    if (!IsInstallableCabinet(m_strLocalCabPath)) return false;

    std::wstring folder, company;
    if (IsCompanyNameExistInReg()) {
        folder = InstallManagerDir();
        company = CompanyNameOrDefault();
    } else if (Exists(m_strLocalOemPath)) {
        LOGW(LOG_INFO, L"CThdCOMServiceManager: OEM file %s exist\n", m_strLocalOemPath.c_str());
        wchar_t value[MAX_PATH] = {};
        GetOEMValue(m_strLocalOemPath.c_str(), L"Startup", L"CompanyName", value, MAX_PATH);
        company = value;
        LOGW(LOG_INFO, L"CThdCOMServiceManager: company name:%s\n", company.c_str());
        if (!IsUsableCompanyName(company)) {
            if (!company.empty()) {
                LOGW(LOG_WARNING, L"CThdCOMServiceManager: company name %s is not a folder "
                                  L"name, it is not used\n",
                     company.c_str());
            }
            company = CompanyNameOrDefault();
        }
        wchar_t root[MAX_PATH] = {};
        ::ExpandEnvironmentStringsW(Is64BitOS() ? L"%ProgramW6432%" : L"%ProgramFiles%", root, MAX_PATH);
        std::wstring base = root;
        if (base.empty() || ::StrStrIW(root, L"%ProgramW6432%") || ::StrStrIW(root, L"%ProgramFiles%"))
            base = L"C:\\Program Files";
        folder = base + L"\\" + company + L"\\Install Manager";
        if (folder.size() < MAX_PATH - 1) CreateFolder(folder);
    } else {
        LOGW(LOG_INFO, L"CThdCOMServiceManager: OEM file %s isn't exist\n", m_strLocalOemPath.c_str());
        folder = InstallManagerDir();
        CreateFolder(folder);
        company = CompanyNameOrDefault();
    }
    folder += L"\\";
    // Room for the longest name placed there ("Grendal.exe", "OEM.ini").
    if (folder.size() + std::wcslen(kServiceProgram) > MAX_PATH - 1) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Install: target path %s is too long\n",
             folder.c_str());
        return false;
    }
    LOGW(LOG_INFO, L"CThdCOMServiceManager::Install: target path is %s\n", folder.c_str());

    if (!StopProcessByName(kServiceProgram)) {
        LOGW(LOG_INFO, L"CopyFilesToLocalDisk: process %s is also running\n", kServiceProgram);
    }

    if (!UnpackCabinetInto(m_strLocalCabPath, folder)) return false;
    RemoveFile(m_strLocalCabPath.c_str());

    const std::wstring oemTarget = folder + kOemFile;
    if (::CopyFileW(m_strLocalOemPath.c_str(), oemTarget.c_str(), FALSE)) {
        LOGW(LOG_INFO, L"CThdCOMServiceManager: copy file from %s to %s success.\n",
             m_strLocalOemPath.c_str(), oemTarget.c_str());
        RemoveFile(m_strLocalOemPath.c_str());
    } else {
        LOGW(LOG_INFO, L"CThdCOMServiceManager: copy file from %s to %s failed, error:%d\n",
             m_strLocalOemPath.c_str(), oemTarget.c_str(), static_cast<int>(::GetLastError()));
    }

    const std::wstring program = folder + kServiceProgram;
    if (!Exists(program)) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Install: file %s is not exist\n", program.c_str());
        return false;
    }
    if (IsCOMServiceExist(kServiceName)) {
        if (m_strServiceName.empty()) m_strServiceName = kServiceName;
        // A failed removal does not stop the new registration.
        Uninstall(true, program.c_str());
        Timing::Sleep(kServiceSettleMs);
    }
    if (!InstallCOMService(program.c_str(), L"service")) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Install: install com service failed\n");
        return false;
    }
    LOGW(LOG_INFO, L"CThdCOMServiceManager::Install, success!\n");

    if (IsCompanyNameExistInReg()) return true;
    const LSTATUS status =
        ::SHSetValueW(HKEY_LOCAL_MACHINE, kInstallManagerKey, L"CompanyName", REG_SZ, company.c_str(),
                      static_cast<DWORD>((company.size() + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS) {
        LOGW(LOG_INFO, L"CThdCOMServiceManager: HOXInit save OEM company value %s to reg success\n",
             company.c_str());
    } else {
        LOGW(LOG_WARNING,
             L"CThdCOMServiceManager: HOXInit save OEM company value %s to reg failed, ret is %d\n",
             company.c_str(), static_cast<int>(status));
    }
    if (Is64BitOS()) WriteCompanyNameThroughService(company);
    return true;
}

UINT CALLBACK CabinetFileCallback(PVOID, UINT notification, UINT_PTR param1, UINT_PTR) {
    if (notification == SPFILENOTIFY_FILEINCABINET) {
        auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1);
        const std::wstring target = CabinetEntryTarget(CabTargetFolder, info->NameInCabinet);
        if (target.empty()) {
            LOGW(LOG_WARNING, L"CabinetFileCallback: entry %s does not stay in %s, it is skipped\n",
                 Text(info->NameInCabinet), CabTargetFolder);
            return FILEOP_SKIP;
        }
        std::wmemcpy(info->FullTargetName, target.c_str(), target.size() + 1);
        LOGW(LOG_INFO, L"Start to extracted %s\n", target.c_str());
        ForceRemoveFile(target.c_str());
        CreateFolder(ParentOf(target));
        return FILEOP_DOIT;
    }
    if (notification == SPFILENOTIFY_FILEEXTRACTED) {
        const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
        if (paths->Win32Error != NO_ERROR) {
            ++g_failedEntries;
            LOGW(LOG_ERROR, L"Extracted %s failed, error %d\n", Text(paths->Target),
                 static_cast<int>(paths->Win32Error));
        } else {
            LOGW(LOG_INFO, L"Extracted %s success\n", Text(paths->Target));
        }
        return NO_ERROR;
    }
    return NO_ERROR;
}

bool CThdCOMServiceManager::Uninstall(bool keepFiles, const wchar_t* replacementProgram) {
    LOGW(LOG_INFO, L"CThdCOMServiceManager::Uninstall, start...\n");
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + m_strServiceName;
    wchar_t image[MAX_PATH] = {};
    LSTATUS status = ReadRegistryText(HKEY_LOCAL_MACHINE, key.c_str(), L"ImagePath", image, MAX_PATH);
    if (status == ERROR_SUCCESS && image[0] == L'\0') status = ERROR_FILE_NOT_FOUND;

    std::wstring path;
    MadeFolders made;
    std::wstring standIn;  // a copy placed only to run its unregistration
    if (status != ERROR_SUCCESS) {
        LOGW(LOG_WARNING,
             L"CThdCOMServiceManager::Uninstall, can not get the com file path from reg, dwRet is "
             L"%d\n",
             static_cast<int>(status));
    } else {
        LOGW(LOG_INFO, L"CThdCOMServiceManager::Uninstall: old path string: %s \n", image);
        const std::wstring registered = UnquotedImagePath(image);
        LOGW(LOG_INFO, L"CThdCOMServiceManager::Uninstall: new path string is %s\n",
             registered.c_str());
        const std::wstring oldFolder = ParentOf(registered);
        if (Exists(registered)) {
            LOGW(LOG_INFO, L"CThdCOMServiceManager::Uninstall, file %s exist\n", registered.c_str());
            path = registered;
        } else if (keepFiles && !oldFolder.empty() && replacementProgram && replacementProgram[0]) {
            // ForceRemoveService: the registration names a program that is gone;
            // a copy of the new one in its place can still unregister it.
            LOGW(LOG_INFO, L"ForceRemoveService: old path is %s\n", oldFolder.c_str());
            made.Create(oldFolder);
            const std::wstring copy = oldFolder + L"\\" + kServiceProgram;
            if (::CopyFileW(replacementProgram, copy.c_str(), FALSE)) {
                standIn = copy;
            } else {
                LOGW(LOG_WARNING, L"copy file %s to %s failed, error is %d\n", replacementProgram,
                     copy.c_str(), static_cast<int>(::GetLastError()));
            }
            path = copy;
        }
    }
    if (path.empty()) {
        path = InstallManagerDir() + L"\\" + kServiceProgram;
        if (!Exists(path)) {
            LOGW(LOG_ERROR, L"CThdCOMServiceManager::Uninstall,file %s is not exist\n", path.c_str());
            return false;
        }
    }

    const bool removed = RemoveCOMService(path.c_str(), 1);
    if (!standIn.empty()) {
        RemoveFile(standIn.c_str());
        made.RemoveEmpty();
    }
    if (!removed) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Uninstall, failed\n");
        return false;
    }
    if (keepFiles) return true;

    LOGW(LOG_INFO, L"CThdCOMServiceManager: start to remove HOX folder.\n");
    const std::wstring folder = ParentOf(path);
    RemoveFile(path.c_str());
    EmptyDirectory((folder + L"\\Language").c_str());
    RemoveFile((folder + L"\\Mirrowen.dll").c_str());
    LOGW(LOG_INFO, L"CThdCOMServiceManager::Uninstall, success!\n");
    return true;
}

bool CThdCOMServiceManager::Update() {
    LOGW(LOG_INFO, L"CThdCOMServiceManager::Update: start...\n");
    // The old service goes only when the new one can take its place.
    if (!Exists(m_strLocalCabPath) || !IsInstallableCabinet(m_strLocalCabPath)) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Update, cabinet %s cannot be installed, the "
                        L"installed service is kept\n",
             m_strLocalCabPath.c_str());
        return false;
    }
    if (!Uninstall(false, L"")) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Update, Uninstall failed\n");
        return false;
    }
    Timing::Sleep(kServiceSettleMs);
    if (!Install()) {
        LOGW(LOG_ERROR, L"CThdCOMServiceManager::Update, Install failed\n");
        return false;
    }
    LOGW(LOG_INFO, L"CThdCOMServiceManager::Update: success.\n");
    return true;
}

bool CThdCOMServiceManager::UpdateBV() {
    LOGW(LOG_INFO, L"UnpackLocalFilesBV: start...\n");
    const std::wstring folder = InstallManagerDir() + L"\\";
    const std::wstring program = folder + kServiceProgram;
    m_strLocalCabPath = folder + (Is64BitOS() ? L"zem_manager_bv_x64.cab" : L"zem_manager_bv.cab");
    if (!Exists(m_strLocalCabPath)) {
        LOGW(LOG_ERROR, L"InstallGrendal failed, file %s is not exist\n", m_strLocalCabPath.c_str());
        return false;
    }
    LOGW(LOG_INFO, L"CThdCOMServiceManagerBV, Update: start...\n");
    if (!IsInstallableCabinet(m_strLocalCabPath)) return false;
    if (Exists(program)) {
        if (!Uninstall(false, L"")) {
            LOGW(LOG_ERROR, L"CThdCOMServiceManagerBV, Update, Uninstall failed\n");
            return false;
        }
        Timing::Sleep(kServiceSettleMs);
    } else {
        LOGW(LOG_WARNING, L"InstallGrendalBV: file %s is not exist\n", program.c_str());
    }
    return Install();
}

void CThdCOMServiceManager::UnpackLocalFiles() {
    LOGW(LOG_INFO, L"UnpackLocalFiles: start...\n");
    const std::wstring own = GetModuleFolder();
    const bool is64 = Is64BitOS() != 0;
    m_strLocalCabPath = own.empty() ? std::wstring()
                                    : own + (is64 ? L"zem_manager_x64.cab" : L"zem_manager.cab");
    if (!Exists(m_strLocalCabPath)) {
        // Install would stop the running service only to fail.
        LOGW(LOG_ERROR, L"InstallGrendal failed, file %s is not exist\n", m_strLocalCabPath.c_str());
    } else {
        Install();
    }

    const std::wstring target = InstallManagerDir();
    std::vector<const wchar_t*> files = {L"version.xml", L"zem_x.cab"};
    if (is64) files.push_back(L"zem_x_x64.cab");
    files.push_back(is64 ? L"zem_vpn_x64.cab" : L"zem_vpn.cab");
    for (const wchar_t* file : files) {
        if (own.empty()) break;
        const std::wstring source = own + file;
        const std::wstring copy = target + L"\\" + file;
        if (!Exists(source)) continue;
        if (!::CopyFileW(source.c_str(), copy.c_str(), FALSE)) {
            // The source stays: it is the only copy.
            LOGW(LOG_WARNING, L"copy file %s to %s failed, error is %d\n", source.c_str(),
                 copy.c_str(), static_cast<int>(::GetLastError()));
            continue;
        }
        LOGW(LOG_INFO, L"copy file %s to %s finished\n", source.c_str(), copy.c_str());
        RemoveFile(source.c_str());
    }
    LOGW(LOG_INFO, L"UnpackLocalFiles: finished\n");
}
