#include <winsock2.h>

#include "ClientUpdate.h"

#include <objbase.h>

#include <string>

#include "HttpDownloader.h"
#include "InstallManagerService.h"
#include "Loglib.h"
#include "ProxyCredentialLoop.h"
#include "ProxyInfo.h"
#include "ServiceInterfaces.h"
#include "System.h"

#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"InstallThreads.cpp"

namespace {

// The OEM images of a portal session, in the order they are fetched.
constexpr const wchar_t* kOemImages[] = {L"logo.bmp", L"connected.ico", L"disconnected.ico",
                                         L"reconnecting.ico"};

}  // namespace

bool DownloadVersionFile(CThdCOMServiceManager& object, const wchar_t* session,
                         const wchar_t* host, uint16_t port, uint32_t languageId,
                         Owners::UniqueBstr& body) {
    CHttpDownloader downloader;
    if (FAILED(downloader.Init(host, false))) {
        LOGW(LOG_ERROR, L"DownloadVersionFile: httpRequestor init error\n");
        return false;
    }
    LOGW(LOG_INFO, L"DownloadVersionFile: the language ID is %d\n", static_cast<int>(languageId));
    const uint32_t language = ProxyDialogLanguage(languageId);
    const ProxyDownloadAttempt attempt = [&](uint32_t& error) {
        body.reset();
        error = 0;
        const int32_t result = downloader.DownloadFileToBSTR(
            session, L"version.xml", port, object.DownloadStopEvent(),
            object.DownloadInterfacePointer(), body.put(), &error, &g_ProxyInfo, kClientFilesUrlPath);
        if (result != 0) {
            LOGW(LOG_INFO, L"DownloadVersionFile: download version.xml failed, error is %d\n",
                 static_cast<int>(error));
        }
        return result;
    };
    const ProxyCredentialLoopResult result = RunProxyCredentialLoop(
        attempt,
        {language, L"BrevantoWeb",
         L"Proxy authentication failed and more than three times, exit download file.\n",
         ProxyCredentialsOnOk::UseAndSave},
        g_ProxyInfo);
    if (result != ProxyCredentialLoopResult::Downloaded) {
        if (result == ProxyCredentialLoopResult::Failed) {
            LOGW(LOG_ERROR, L"DownloadVersionFile: download version.xml failed\n");
        }
        body.reset();
        return false;
    }
    LOGW(LOG_INFO, L"DownloadVersionFile: download version.xml finished.\n");
    if (session && *session) {
        for (const wchar_t* image : kOemImages) DownloadOEMFile(object, session, host, port, image);
    }
    return true;
}

void DownloadOEMFile(CThdCOMServiceManager& object, const wchar_t* session, const wchar_t* host,
                     uint16_t port, const wchar_t* file) {
    CHttpDownloader downloader;
    if (FAILED(downloader.Init(host, false))) {
        LOGW(LOG_ERROR, L"DownloadVersionFile: httpRequestor init error\n");
        return;
    }
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) {
        LOGW(LOG_WARNING, L"DownloadVersionFile: no temporary folder, error is %d\n",
             static_cast<int>(::GetLastError()));
        return;
    }
    const std::wstring folder = std::wstring(temp) + L"VPN\\";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    LOGW(LOG_INFO, L"DownloadVersionFile: temp dir:%s\n", folder.c_str());
    uint32_t error = 0;
    const int32_t result = downloader.DownloadFileToLocalDirectory(
        session, file, port, folder.c_str(), file, object.DownloadStopEvent(),
        object.DownloadInterfacePointer(), &error, &g_ProxyInfo, kClientFilesUrlPath);
    if (result != 0) {
        LOGW(LOG_WARNING, L"DownloadVersionFile: down OEM file failed, iErrorCode is %d\n",
             static_cast<int>(error ? error : static_cast<uint32_t>(result)));
        return;
    }
    LOGW(LOG_INFO, L"DownloadVersionFile: down OEM file success\n");
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Owners::ComPtr<IInstallManager> manager;
    if (ServiceInterfaces::CreateService(manager) != S_OK) return;
    wchar_t clientDir[MAX_PATH] = {};
    GetBrevantoClientDir(clientDir, 0);
    const std::wstring source = folder + file;
    const std::wstring target = std::wstring(clientDir) + L"\\res\\" + file;
    const HRESULT hr = manager->CopyLocalFile(Owners::UniqueBstr::FromText(source.c_str()).get(),
                                              Owners::UniqueBstr::FromText(target.c_str()).get());
    if (hr != S_OK) {
        LOGW(LOG_ERROR, L"copy %s to %s error %X\n", source.c_str(), target.c_str(),
             static_cast<unsigned>(hr));
    } else {
        LOGW(LOG_INFO, L"copy %s to %s success\n", source.c_str(), target.c_str());
    }
}
