#include "FileUtil.h"

#include <shlobj.h>

#include <string>
#include <utility>

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

// Names the Win32 layer maps to a device in every folder.
bool IsDeviceName(std::wstring_view name) {
    const std::wstring_view stem = name.substr(0, name.find(L'.'));
    std::wstring upper(stem);
    for (wchar_t& c : upper) c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
    if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL" ||
        upper == L"CONIN$" || upper == L"CONOUT$")
        return true;
    return upper.size() == 4 && (upper.starts_with(L"COM") || upper.starts_with(L"LPT")) &&
           upper[3] >= L'1' && upper[3] <= L'9';
}

}  // namespace

bool IsPlainFileName(std::wstring_view name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (const wchar_t c : name) {
        if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos)
            return false;
    }
    if (name.back() == L'.' || name.back() == L' ') return false;
    return !IsDeviceName(name);
}

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

namespace {

DWORD RealOpenedFolderAttributes(HANDLE folder, const wchar_t*) {
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandle(folder, &info) ? info.dwFileAttributes
                                                       : INVALID_FILE_ATTRIBUTES;
}

OpenedFolderAttributesSource g_openedFolderAttributes = RealOpenedFolderAttributes;

// Opens a folder itself (a link is opened as the link, not followed) and
// keeps it from being renamed, deleted or replaced while the handle is held:
// no delete sharing. Its attributes are those of what was opened.
Owners::UniqueHandle OpenPinnedFolder(const std::wstring& path, DWORD& attributes) {
    Owners::UniqueHandle folder(::CreateFileW(
        path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    attributes = folder ? g_openedFolderAttributes(folder.get(), path.c_str())
                        : INVALID_FILE_ATTRIBUTES;
    return folder;
}

bool IsLinkOrNoFolder(DWORD attributes) {
    return attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void RemoveFolderEntry(const std::wstring& path) {
    if (!::RemoveDirectoryW(path.c_str())) {
        LOGW(LOG_INFO, L"EmptyDirectory: %s failed, error is %d\n", path.c_str(),
             static_cast<int>(::GetLastError()));
    }
}

// Empties the folder that pinned holds open, then lets go of it and removes
// it. Every sub-folder is entered only through a handle of its own that was
// checked to be a real folder, never a link, and that pins it meanwhile.
int EmptyPinnedFolder(const std::wstring& base, Owners::UniqueHandle pinned) {
    constexpr size_t kMaxFolderPath = MAX_PATH - 1;
    constexpr size_t kMaxFilePath = 499;
    const std::wstring pattern = base + L"\\*.*";
    if (pattern.size() > kMaxFolderPath) return 0;
    WIN32_FIND_DATAW entry{};
    Owners::UniqueFindFile listing(::FindFirstFileW(pattern.c_str(), &entry));
    if (!listing) return 0;
    do {
        const std::wstring path = base + L"\\" + entry.cFileName;
        const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isDirectory && entry.cFileName[0] == L'.') continue;
        if (path.size() > (isDirectory ? kMaxFolderPath : kMaxFilePath)) {
            // Acting on a cut path could hit another file.
            LOGW(LOG_WARNING, L"EmptyDirectory: skip %s, the path is too long\n", path.c_str());
            continue;
        }
        if (!isDirectory) {
            if (RemoveFile(path.c_str()) == 0) {
                LOGW(LOG_WARNING,
                     L"EmptyDirectory: remove file %s failed, add to reboot delele list\n",
                     path.c_str());
            }
            continue;
        }
        DWORD attributes = INVALID_FILE_ATTRIBUTES;
        Owners::UniqueHandle sub = OpenPinnedFolder(path, attributes);
        if (!sub) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
            return 0;  // as a listing that cannot be started
        }
        if (!IsLinkOrNoFolder(attributes)) {
            if (EmptyPinnedFolder(path, std::move(sub)) == 0) return 0;
        } else {
            // A junction or directory link (or whatever stands there now):
            // remove the link, never what it points to.
            sub.reset();
            RemoveFolderEntry(path);
        }
    } while (::FindNextFileW(listing.get(), &entry));
    listing.reset();
    pinned.reset();
    RemoveFolderEntry(base);
    return 1;
}

}  // namespace

OpenedFolderAttributesSource SetOpenedFolderAttributesSourceForTest(OpenedFolderAttributesSource source) {
    return std::exchange(g_openedFolderAttributes, source ? source : RealOpenedFolderAttributes);
}

int EmptyDirectory(const wchar_t* folder) {
    const std::wstring base(folder ? folder : L"");
    if (base.empty()) return 0;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    Owners::UniqueHandle pinned = OpenPinnedFolder(base, attributes);
    if (!pinned) return 0;
    // No folder at all: as a listing that cannot be started.
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    if (IsLinkOrNoFolder(attributes)) {
        // The folder given is itself a link: what it points to is not ours
        // to empty.
        pinned.reset();
        LOGW(LOG_WARNING, L"EmptyDirectory: %s is not a folder of its own, only the link is removed\n",
             base.c_str());
        RemoveFolderEntry(base);
        return 1;
    }
    return EmptyPinnedFolder(base, std::move(pinned));
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
