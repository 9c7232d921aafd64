// The object through which the launcher fetches files from the gateway: over
// the program's own tunnel (the path every user takes) or, in WinHTTP mode,
// through HttpRequestor. Files land in a byte buffer or in a folder.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>

#include "HttpRequestor.h"
#include "ProxyInfo.h"
#include "TunnelDataTransport.h"

// The gateway file download of the tunnel path: 0 with the file appended to
// *body, or a result code (2 exchange failed, 3 redirected elsewhere, any
// other value a TransportError also written to *error).
using GatewayFileDownload = int32_t (*)(uint32_t* error, const char* session, const char* host,
                                        const char* file, uint16_t port, BSTR* body, ProxyInfo* info,
                                        const wchar_t* downloadUrl);
// The gateway exchange is installed here; tests install doubles. nullptr
// restores the built-in one.
void SetGatewayFileDownload(GatewayFileDownload download);

// Waits of the WinHTTP path: at most this many of 1,000 ms.
constexpr uint32_t kDownloadWaitSlices = 600;
// What a WinHTTP download that never completed returns.
constexpr HRESULT kDownloadTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

class CHttpDownloader : public HttpRequestor {
public:
    // State shared by the waiting thread and the WinHTTP completion.
    class HttpRequestCookie : public QuarloSocket::ReferenceCounter {
    public:
        HttpRequestCookie();
        ~HttpRequestCookie() override;
        HANDLE event = nullptr;  // auto-reset, signalled by the completion
        int32_t errorCode = 0;
        BSTR body = nullptr;
    };

    // The proxy settings come from the registry; Init follows.
    CHttpDownloader() { m_proxyConfig.Load(); }

    // 0 with the file in *body (appended on the tunnel path, replacing it in
    // WinHTTP mode); the tunnel path's failures give 1 with the cause in
    // *error, the WinHTTP path's their HRESULT. In WinHTTP mode file is the
    // whole URL and session, port, info and urlPrefix are not used.
    int32_t DownloadFileToBSTR(const wchar_t* session, const wchar_t* file, uint16_t port,
                               HANDLE stopEvent, void* unused, BSTR* body, uint32_t* error,
                               ProxyInfo* info, const wchar_t* urlPrefix);

    // Downloads into localFolder\localName (the name up to a '?'), creating
    // the folder. The file appears under its name only when it was written
    // whole. 0, the failing result of DownloadFileToBSTR, or HRESULT_FROM_WIN32
    // of a file error.
    int32_t DownloadFileToLocalDirectory(const wchar_t* session, const wchar_t* file, uint16_t port,
                                         const wchar_t* localFolder, const wchar_t* localName,
                                         HANDLE stopEvent, void* unused, uint32_t* error,
                                         ProxyInfo* info, const wchar_t* urlPrefix);

    static void OnRequestComplete(int32_t code, BSTR body,
                                  const std::vector<std::wstring>* setCookies, void* cookie);

    void SetWinHttpMode(bool winHttp) { m_winHttpMode = winHttp; }

private:
    int32_t DownloadByTunnel(const wchar_t* session, const wchar_t* file, uint16_t port, BSTR* body,
                             uint32_t* error, ProxyInfo* info, const wchar_t* urlPrefix);
    int32_t DownloadByWinHttp(const wchar_t* url, HANDLE stopEvent, BSTR* body);

    bool m_winHttpMode = false;
};

// The file path a download is stored under: folder (a backslash added) and
// the local name up to its first '?' (the whole name when that is empty).
// ERROR_INVALID_NAME for a name that is not a plain file name (empty, "." or
// "..", or holding a path, drive or wildcard character: \ / : * ? " < > |),
// ERROR_FILENAME_EXCED_RANGE for a path
// longer than MAX_PATH - 1 characters, else ERROR_SUCCESS.
DWORD DownloadTargetPath(const std::wstring& folder, const std::wstring& localName,
                         std::wstring& folderPath, std::wstring& filePath);
