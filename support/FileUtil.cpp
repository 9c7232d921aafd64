#include "FileUtil.h"

#include <shlobj.h>

#include <string>

#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"
#include "Timing.h"

// Log lines of this topic keep the source name of the utilities it came from.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"CommonFunction.cpp"

namespace {

bool IsGoneError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::wstring SpareName(const wchar_t* path) {
    return FormatW(L"%s_%d_old", path, static_cast<int>(static_cast<DWORD>(Timing::TickCount())));
}

}  // namespace

int RemoveFile(const wchar_t* path) {
    LOGW(LOG_INFO, L"RemoveFile: Remove %s\n", path);
    const std::wstring spare = SpareName(path);
    if (::DeleteFileW(path) || IsGoneError(::GetLastError())) return 1;
    LOGW(LOG_INFO, L"RemoveFile:Delete file %s failed. Error = %d.\n", path,
         static_cast<int>(::GetLastError()));
    if (!::MoveFileW(path, spare.c_str())) {
        LOGW(LOG_INFO, L"RemoveFile: Rename file %s to %s failed. Error = %d.\n", path,
             spare.c_str(), static_cast<int>(::GetLastError()));
        return 0;
    }
    ::MoveFileExW(spare.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return 1;
}

int ForceRemoveFile(const wchar_t* path) {
    if (::DeleteFileW(path) || IsGoneError(::GetLastError())) return 1;
    LOGW(LOG_WARNING, L"ForceRemoveFile:Delete file %s failed. Error = %d.\n", path,
         static_cast<int>(::GetLastError()));
    // Wide names throughout: the path may hold characters outside the ANSI
    // code page.
    const std::wstring spare = SpareName(path);
    if (!::MoveFileW(path, spare.c_str())) {
        LOGW(LOG_ERROR, L"ForceRemoveFile: Rename file %s failed. Error = %d.\n", path,
             static_cast<int>(::GetLastError()));
        return 0;
    }
    if (::MoveFileExW(spare.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        LOGW(LOG_WARNING, L"RemoveFile(): MoveFileEx() %s successfully,Need to reboot computer.\n",
             spare.c_str());
    } else {
        LOGW(LOG_WARNING, L"ForceRemoveFile: MoveFileEx() %s failed. Error = %d.\n", spare.c_str(),
             static_cast<int>(::GetLastError()));
    }
    return 1;
}

int EmptyDirectory(const wchar_t* folder) {
    constexpr size_t kMaxFolderPath = MAX_PATH - 1;
    constexpr size_t kMaxFilePath = 499;
    const std::wstring base(folder ? folder : L"");
    const std::wstring pattern = base + L"\\*.*";
    if (base.empty() || pattern.size() > kMaxFolderPath) return 0;
    WIN32_FIND_DATAW entry{};
    Owners::UniqueFindFile listing(::FindFirstFileW(pattern.c_str(), &entry));
    if (!listing) return 0;
    do {
        const std::wstring path = base + L"\\" + entry.cFileName;
        const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (isDirectory && entry.cFileName[0] == L'.') continue;
        if (path.size() > (isDirectory ? kMaxFolderPath : kMaxFilePath)) {
            // Acting on a cut path could hit another file.
            LOGW(LOG_WARNING, L"EmptyDirectory: skip %s, the path is too long\n", path.c_str());
            continue;
        }
        if (isDirectory && isLink) {
            // A junction or directory link: remove the link, never what it
            // points to.
            if (!::RemoveDirectoryW(path.c_str())) {
                LOGW(LOG_INFO, L"EmptyDirectory: %s failed, error is %d\n", path.c_str(),
                     static_cast<int>(::GetLastError()));
            }
        } else if (isDirectory) {
            if (EmptyDirectory(path.c_str()) == 0) return 0;
        } else if (RemoveFile(path.c_str()) == 0) {
            LOGW(LOG_WARNING, L"EmptyDirectory: remove file %s failed, add to reboot delele list\n",
                 path.c_str());
        }
    } while (::FindNextFileW(listing.get(), &entry));
    listing.reset();
    if (!::RemoveDirectoryW(folder)) {
        LOGW(LOG_INFO, L"EmptyDirectory: %s failed, error is %d\n", folder,
             static_cast<int>(::GetLastError()));
    }
    return 1;
}

int CreateShortcut(const wchar_t* target, const wchar_t* link, const wchar_t* description,
                   const wchar_t* icon) {
    Owners::ComPtr<IShellLinkW> shellLink;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IShellLinkW, shellLink.put_void());
    if (FAILED(hr) || !shellLink) {
        LOGA(LOG_WARNING, "CreateShortcut(): failed call CoCreateInstance, error: %u\n",
             static_cast<unsigned>(hr));
        return 0;
    }
    LOGW(LOG_INFO, L"path:%s\n", target);
    hr = shellLink->SetPath(target);
    if (FAILED(hr)) {
        LOGW(LOG_WARNING, L"SetPath failed, error:%0x\n", static_cast<unsigned>(hr));
        return 0;
    }
    LOGW(LOG_INFO, L"SetDescription:%s\n", description);
    hr = shellLink->SetDescription(description);
    if (FAILED(hr)) {
        LOGW(LOG_WARNING, L"SetDescription failed, error:%0x\n", static_cast<unsigned>(hr));
        return 0;
    }
    if (icon) {
        const HRESULT iconResult = shellLink->SetIconLocation(icon, 0);
        if (FAILED(iconResult)) {
            LOGW(LOG_WARNING, L"CreateShortcut: fail call IconPath, error:%0x\n",
                 static_cast<unsigned>(iconResult));
        }
    }
    Owners::ComPtr<IPersistFile> persist;
    hr = shellLink->QueryInterface(IID_IPersistFile, persist.put_void());
    if (FAILED(hr) || !persist) {
        LOGA(LOG_WARNING, "CreateShortcut: failed call QueryInterface, error: %u\n",
             static_cast<unsigned>(hr));
    } else {
        hr = persist->Save(link, TRUE);
        if (FAILED(hr)) {
            LOGA(LOG_WARNING, "CreateShortcut: failed save shortcut of %S to %S, error: %u\n",
                 target, link, static_cast<unsigned>(hr));
        }
    }
    if (SUCCEEDED(hr)) return 1;
    LOGA(LOG_WARNING, "CreateShortcut(): failed create shortcut of %S, error: %u\n", target,
         static_cast<unsigned>(hr));
    return 0;
}
