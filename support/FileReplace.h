// Whole-file replacement for the files other processes read while this
// program writes them (Proxy.ini and its companions, the PAC scripts).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Replaces a file's content through a temporary file beside it and
// ReplaceFileW, so that a reader, a crash or a kill never sees a cut or empty
// file: either the old content stays or the new one is there whole. A
// replace that another process blocks (it holds the file open without delete
// sharing) is retried for up to kReplaceRetryMs. Only when no temporary file
// can be made at all is the file written in place. 1 when the new content is
// in place; 0 leaves the old content (and logs why).
int WriteWholeFileAtomic(const wchar_t* path, std::string_view bytes);

constexpr DWORD kReplaceRetryMs = 2000;

// The companion names a save of path uses in this process and thread:
// path + ".<pid>_<tid>." + suffix.
std::wstring ReplaceCompanionName(const wchar_t* path, DWORD processId, DWORD threadId,
                                  const wchar_t* suffix);

// Deletes the companions of path left by saves of processes that no longer
// run (or older than an hour, as process ids are reused). Only while path
// itself exists: a companion may be the only copy of a file whose replace
// failed half-way. Companions of the calling process are left alone.
void RemoveOrphanedReplaceCompanions(const wchar_t* path);
