#include "HttpDownloader.h"

#include <shlobj.h>

#include <string_view>

#include "DownLoaderManager.h"
#include "FileUtil.h"
#include "GatewayDownload.h"
#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "Timing.h"

namespace {

GatewayFileDownload g_gatewayDownload = &QuarloSocket::DownLoadFileToBSTR;

HRESULT LastErrorResult() { return HRESULT_FROM_WIN32(::GetLastError()); }

// Writes the bytes to a temporary file beside path and renames it over path
// once it is whole; nothing is left under either name on failure.
HRESULT WriteDownloadedFile(const std::wstring& folderPath, const std::wstring& path,
                            std::string_view bytes) {
    const std::wstring temp = folderPath + FormatW(L"~%lx.tmp", ::GetCurrentProcessId());
    if (temp.size() > MAX_PATH - 1) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    HRESULT result = S_OK;
    {
        Owners::UniqueHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return LastErrorResult();
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            result = LastErrorResult();
        else if (written != bytes.size())
            result = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        if (!::FlushFileBuffers(file.get())) result = LastErrorResult();
    }
    if (result == S_OK) {
        // A read-only file from an earlier run must not block the update.
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (::MoveFileExW(temp.c_str(), path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return S_OK;
        result = LastErrorResult();
    }
    ::DeleteFileW(temp.c_str());
    return result;
}

}  // namespace

void SetGatewayFileDownload(GatewayFileDownload download) {
    g_gatewayDownload = download ? download : &QuarloSocket::DownLoadFileToBSTR;
}

CHttpDownloader::HttpRequestCookie::HttpRequestCookie()
    : event(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CHttpDownloader::HttpRequestCookie::~HttpRequestCookie() {
    if (body) ::SysFreeString(body);
    if (event) ::CloseHandle(event);
}

DWORD DownloadTargetPath(const std::wstring& folder, const std::wstring& localName,
                         std::wstring& folderPath, std::wstring& filePath) {
    folderPath = folder;
    if (folderPath.empty() || folderPath.back() != L'\\') folderPath += L'\\';
    const size_t query = localName.find(L'?');
    std::wstring name = localName.substr(0, query);
    if (name.empty()) name = localName;
    filePath = folderPath + name;
    if (!IsPlainFileName(name)) return ERROR_INVALID_NAME;
    // A cut path would name another file.
    return filePath.size() > MAX_PATH - 1 ? ERROR_FILENAME_EXCED_RANGE : ERROR_SUCCESS;
}

int32_t CHttpDownloader::DownloadFileToBSTR(const wchar_t* session, const wchar_t* file,
                                            uint16_t port, HANDLE stopEvent, void*, BSTR* body,
                                            uint32_t* error, ProxyInfo* info,
                                            const wchar_t* urlPrefix) {
    if (m_winHttpMode) return DownloadByWinHttp(file, stopEvent, body);
    return DownloadByTunnel(session, file, port, body, error, info, urlPrefix);
}

int32_t CHttpDownloader::DownloadByTunnel(const wchar_t* session, const wchar_t* file, uint16_t port,
                                          BSTR* body, uint32_t* error, ProxyInfo* info,
                                          const wchar_t* urlPrefix) {
    // Texts of the web page: a best-fitted one would ask for something else.
    std::string fileText, hostText, sessionText;
    if (!ExactCodePageFromWide(file ? file : L"", CP_THREAD_ACP, fileText) ||
        !ExactCodePageFromWide(m_host, CP_THREAD_ACP, hostText) ||
        !ExactCodePageFromWide(session ? session : L"", CP_THREAD_ACP, sessionText)) {
        LOGA(LOG_ERROR, "DownLoadFile: the host, session or file has characters the ANSI code "
                        "page cannot hold, nothing is sent\n");
        if (error) *error = QuarloSocket::DownloadResult_ExchangeFailed;
        return 1;
    }
    uint32_t ownError = 0;
    const int32_t result = g_gatewayDownload(&ownError, sessionText.c_str(), hostText.c_str(),
                                             fileText.c_str(), port, body, info, urlPrefix);
    if (result == 0) return 0;
    if (error) *error = static_cast<uint32_t>(result);
    return 1;
}

int32_t CHttpDownloader::DownloadByWinHttp(const wchar_t* url, HANDLE stopEvent, BSTR* body) {
    // The waiter's reference, and the one the completion will release.
    const Owners::ComPtr<HttpRequestCookie> cookie(new HttpRequestCookie);
    Owners::ComPtr<HttpRequestCookie> completion = cookie;
    const HRESULT hr = SendRequest(url, L"GET", nullptr, nullptr, 0, &CHttpDownloader::OnRequestComplete,
                                   cookie.get(), 0, 0, L"", L"", nullptr);
    if (hr != S_OK) {
        LOGA(LOG_WARNING, "SendRequest error: 0x%08X\n", static_cast<unsigned>(hr));
        return hr;
    }
    static_cast<void>(completion.release());  // handed to the request
    const std::string urlText = CodePageFromWide(url ? url : L"", CP_THREAD_ACP);
    HANDLE handles[2];
    DWORD count = 0;
    const DWORD cookieIndex = stopEvent ? 1 : 0;
    if (stopEvent) handles[count++] = stopEvent;
    handles[count++] = cookie->event;
    for (uint32_t wait = 0; wait < kDownloadWaitSlices; ++wait) {
        const DWORD signalled = Timing::WaitForAnyObject(count, handles, 1000);
        if (signalled == WAIT_TIMEOUT) continue;
        if (stopEvent && signalled == WAIT_OBJECT_0) {
            LOGA(LOG_INFO, "get stop request, stop now\n");
            return E_ABORT;
        }
        if (signalled != WAIT_OBJECT_0 + cookieIndex) {
            const HRESULT failed = LastErrorResult();
            LOGA(LOG_WARNING, "downloading %s failed, error %X\n", urlText.c_str(),
                 static_cast<unsigned>(failed));
            return failed;
        }
        if (cookie->errorCode != 0) {
            LOGA(LOG_WARNING, "downloading %s failed, error %X\n", urlText.c_str(),
                 static_cast<unsigned>(cookie->errorCode));
            return cookie->errorCode;
        }
        LOGA(LOG_INFO, "downloading %s finished\n", urlText.c_str());
        if (body) {
            if (*body) ::SysFreeString(*body);
            *body = cookie->body;
            cookie->body = nullptr;
        }
        return 0;
    }
    // A download that never completed is a failure, not an empty file.
    LOGA(LOG_WARNING, "downloading %s failed, error %X\n", urlText.c_str(),
         static_cast<unsigned>(kDownloadTimedOut));
    return kDownloadTimedOut;
}

void CHttpDownloader::OnRequestComplete(int32_t code, BSTR body, const std::vector<std::wstring>*,
                                        void* context) {
    auto* cookie = static_cast<HttpRequestCookie*>(context);
    if (code == 0) {
        cookie->body = body ? ::SysAllocStringByteLen(reinterpret_cast<const char*>(body),
                                                      ::SysStringByteLen(body))
                            : ::SysAllocStringByteLen(nullptr, 0);
    }
    cookie->errorCode = code;
    ::SetEvent(cookie->event);
    cookie->Release();  // the reference the request was handed
}

int32_t CHttpDownloader::DownloadFileToLocalDirectory(const wchar_t* session, const wchar_t* file,
                                                      uint16_t port, const wchar_t* localFolder,
                                                      const wchar_t* localName, HANDLE stopEvent,
                                                      void* unused, uint32_t* error, ProxyInfo* info,
                                                      const wchar_t* urlPrefix) {
    Owners::UniqueBstr body;
    const int32_t result =
        DownloadFileToBSTR(session, file, port, stopEvent, unused, body.put(), error, info, urlPrefix);
    if (result != 0) {
        LOGA(LOG_WARNING, "DownloadFileToLocalDirectory: DownloadFileToBSTR failed, we return false\n");
        return result;
    }
    std::wstring folderPath, path;
    const DWORD refused = DownloadTargetPath(localFolder ? localFolder : L"",
                                             localName ? localName : L"", folderPath, path);
    if (refused != ERROR_SUCCESS) {
        LOGW(LOG_WARNING, L"DownloadFileToLocalDirectory: refused target %s, error %d\n", path.c_str(),
             static_cast<int>(refused));
        return HRESULT_FROM_WIN32(refused);
    }
    LOGW(LOG_INFO, L"Create Dir: %s\n", folderPath.c_str());
    ::SHPathPrepareForWriteW(nullptr, nullptr, folderPath.c_str(), SHPPFW_DIRCREATE);
    const UINT length = body ? ::SysStringByteLen(body.get()) : 0;
    LOGW(LOG_INFO, L"Download file length is %d, path: %s\n", static_cast<int>(length), path.c_str());
    const HRESULT written = WriteDownloadedFile(
        folderPath, path, std::string_view(reinterpret_cast<const char*>(body.get()), length));
    if (written != S_OK) {
        LOGW(LOG_WARNING, L"DownloadFileToLocalDirectory: writing %s failed, error 0x%08X\n",
             path.c_str(), static_cast<unsigned>(written));
    }
    return written;
}
