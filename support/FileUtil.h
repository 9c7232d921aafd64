// Removing files that may be in use, emptying folder trees, shortcuts and
// whole-file writes (FileReplace).
#pragma once

#include <windows.h>

#include <string_view>

#include "FileReplace.h"

// One entry of a folder, kept by the file system as given: not empty, not
// "." or "..", no path, drive, stream, wildcard or control character
// (\ / : * ? " < > |), no trailing dot or blank (Windows drops them), and no
// device name (CON, NUL, COM1, ... with or without an extension).
bool IsPlainFileName(std::wstring_view name);

// 1 when the file is gone or moved aside and scheduled for deletion at reboot.
int RemoveFile(const wchar_t* path);
// 1 unless the file could be neither deleted nor moved aside.
int ForceRemoveFile(const wchar_t* path);
// Empties and removes a folder tree. Links (the folder given included) are
// removed, never followed; each folder is held open while it is emptied so
// that it cannot be swapped for a link meanwhile. 1 unless a folder cannot
// be opened or listed.
int EmptyDirectory(const wchar_t* folder);
// What EmptyDirectory learns of a folder it opened (its attributes). The
// opened handle is asked unless a test installs another source: Wine cannot
// make directory links.
using OpenedFolderAttributesSource = DWORD (*)(HANDLE folder, const wchar_t* path);
// Returns the source it replaces (nullptr: the real one).
OpenedFolderAttributesSource SetOpenedFolderAttributesSourceForTest(OpenedFolderAttributesSource source);
// Saves a shell shortcut (COM must be initialised); icon may be null.
int CreateShortcut(const wchar_t* target, const wchar_t* link, const wchar_t* description,
                   const wchar_t* icon);
