#include "FileReplace.h"

#include <cwchar>

#include "Loglib.h"
#include "Owners.h"
#include "StringUtil.h"

namespace {

constexpr DWORD kReplacePauseMs = 20;
constexpr ULONGLONG kOrphanAgeFileTime = 60ULL * 60 * 10000000;  // one hour in 100 ns

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(
            bytes.size() - done < 0x10000000 ? bytes.size() - done : 0x10000000);
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return ::FlushFileBuffers(file) != FALSE;
}

// Overwrites from the start and cuts the rest afterwards, so that even this
// last resort never leaves the file empty half-way.
int WriteInPlace(const wchar_t* path, std::string_view bytes) {
    Owners::UniqueHandle file(::CreateFileW(path, GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    if (!WriteAll(file.get(), bytes) || !::SetEndOfFile(file.get())) return 0;
    return ::FlushFileBuffers(file.get()) ? 1 : 0;
}

// Another process holds the file (or is replacing it itself): worth waiting.
bool IsPassingError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// After ReplaceFileW failed the files may stand in one of its documented
// intermediate states; brings them to the old or the new content whole and
// never deletes the only copy of the new one. 1 when the new content is in
// place.
int SettleFailedReplace(const wchar_t* path, const std::wstring& temp, DWORD error) {
    const bool target = Exists(path);
    const bool replacement = Exists(temp);
    if (target && !replacement) return 1;  // the replace was done after all
    if (target) {
        // Both kept their names: the old content stands.
        ::DeleteFileW(temp.c_str());
        LOGW(LOG_WARNING, L"utilitylib: replace %s failed, error is %d, the file is kept\n", path,
             static_cast<int>(error));
        return 0;
    }
    // The old file is gone and the new one was not moved in (error 1176,
    // for example while a scanner still holds the new one): keep trying.
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        if (::MoveFileExW(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return 1;
        }
        if (!IsPassingError(::GetLastError()) || ::GetTickCount64() - start >= kReplaceRetryMs) break;
        ::Sleep(kReplacePauseMs);
    }
    LOGW(LOG_ERROR,
         L"utilitylib: replace %s failed half-way, error is %d, the new content stays in %s\n",
         path, static_cast<int>(::GetLastError()), temp.c_str());
    return 0;
}

bool ProcessIsGone(DWORD processId) {
    Owners::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) return ::GetLastError() == ERROR_INVALID_PARAMETER;
    return ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// The process id of a companion name "<file>.<pid>_<tid>.tmp", 0 when the
// name is not one.
DWORD CompanionProcessId(std::wstring_view name, std::wstring_view fileName) {
    if (name.size() <= fileName.size() + 1 || name.substr(0, fileName.size()) != fileName ||
        name[fileName.size()] != L'.') {
        return 0;
    }
    std::wstring_view rest = name.substr(fileName.size() + 1);
    if (rest.size() <= 4 || rest.substr(rest.size() - 4) != L".tmp") return 0;
    rest.remove_suffix(4);
    const size_t underscore = rest.find(L'_');
    if (underscore == 0 || underscore == std::wstring_view::npos || underscore + 1 == rest.size()) {
        return 0;
    }
    ULONGLONG pid = 0;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (i == underscore) continue;
        if (rest[i] < L'0' || rest[i] > L'9') return 0;
        if (i < underscore) pid = pid * 10 + static_cast<ULONGLONG>(rest[i] - L'0');
        if (pid > 0xFFFFFFFFULL) return 0;
    }
    return static_cast<DWORD>(pid);
}

}  // namespace

std::wstring ReplaceCompanionName(const wchar_t* path, DWORD processId, DWORD threadId,
                                  const wchar_t* suffix) {
    return FormatW(L"%s.%lu_%lu.%s", path, processId, threadId, suffix);
}

void RemoveOrphanedReplaceCompanions(const wchar_t* path) {
    if (!path || !*path || !Exists(path)) return;
    const std::wstring full(path);
    const size_t slash = full.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? std::wstring() : full.substr(0, slash + 1);
    const std::wstring fileName = slash == std::wstring::npos ? full : full.substr(slash + 1);
    WIN32_FIND_DATAW entry{};
    Owners::UniqueFindFile listing(::FindFirstFileW((full + L".*_*.tmp").c_str(), &entry));
    if (!listing) return;
    FILETIME nowTime{};
    ::GetSystemTimeAsFileTime(&nowTime);
    const ULONGLONG now = (ULONGLONG(nowTime.dwHighDateTime) << 32) | nowTime.dwLowDateTime;
    const DWORD self = ::GetCurrentProcessId();
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const DWORD owner = CompanionProcessId(entry.cFileName, fileName);
        if (owner == 0 || owner == self) continue;
        const ULONGLONG written = (ULONGLONG(entry.ftLastWriteTime.dwHighDateTime) << 32) |
                                  entry.ftLastWriteTime.dwLowDateTime;
        const bool old = now > written && now - written > kOrphanAgeFileTime;
        if (!old && !ProcessIsGone(owner)) continue;
        const std::wstring orphan = folder + entry.cFileName;
        if (::DeleteFileW(orphan.c_str())) {
            LOGW(LOG_INFO, L"utilitylib: removed %s, left by an earlier save\n", orphan.c_str());
        }
    } while (::FindNextFileW(listing.get(), &entry));
}

int WriteWholeFileAtomic(const wchar_t* path, std::string_view bytes) {
    if (!path || !*path) return 0;
    const DWORD attributes = ::GetFileAttributesW(path);
    // Neither a folder nor a read-only file may be written over.
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
        return 0;
    }
    const DWORD processId = ::GetCurrentProcessId(), threadId = ::GetCurrentThreadId();
    const std::wstring temp = ReplaceCompanionName(path, processId, threadId, L"tmp");
    Owners::UniqueHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        // No file can be made beside it (a folder without the right to
        // create files): writing in place is the only way left.
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (error == ERROR_ACCESS_DENIED || error == ERROR_FILENAME_EXCED_RANGE ||
             temp.size() >= MAX_PATH)) {
            LOGW(LOG_INFO, L"utilitylib: no temporary file for %s, error is %d, write it in place\n",
                 path, static_cast<int>(error));
            return WriteInPlace(path, bytes);
        }
        LOGW(LOG_WARNING, L"utilitylib: create %s failed, error is %d\n", temp.c_str(),
             static_cast<int>(error));
        return 0;
    }
    const bool written = WriteAll(file.get(), bytes);
    file.reset();
    if (!written) {
        LOGW(LOG_WARNING, L"utilitylib: write %s failed, error is %d\n", temp.c_str(),
             static_cast<int>(::GetLastError()));
        ::DeleteFileW(temp.c_str());
        return 0;
    }
    int result = 0;
    if (attributes == INVALID_FILE_ATTRIBUTES &&
        ::MoveFileExW(temp.c_str(), path, MOVEFILE_WRITE_THROUGH)) {
        result = 1;
    } else {
        // The pause is real time even under a test clock: it waits for
        // another process to let go of the file.
        const ULONGLONG start = ::GetTickCount64();
        for (;;) {
            // ReplaceFileW keeps the original's security descriptor and
            // attributes, and the name never stands empty.
            if (::ReplaceFileW(path, temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                               nullptr, nullptr)) {
                result = 1;
                break;
            }
            const DWORD error = ::GetLastError();
            if (IsPassingError(error) && Exists(path) && Exists(temp) &&
                ::GetTickCount64() - start < kReplaceRetryMs) {
                ::Sleep(kReplacePauseMs);
                continue;
            }
            result = SettleFailedReplace(path, temp, error);
            break;
        }
    }
    if (result == 1) RemoveOrphanedReplaceCompanions(path);
    return result;
}
