// Copies of the client-program double (test/doubles/clientdouble.cpp) under
// the names the code looks for, and what their journals recorded.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace TestSupport {

// One start of a double, as its journal recorded it.
struct ClientDoubleStart {
    DWORD pid = 0;
    std::wstring cwd;
    std::wstring commandLine;
    std::vector<std::wstring> args;  // CommandLineToArgvW without the program
};

// Copies the double to folder\name; a non-empty behaviour text becomes its
// side file (see the double's header). Returns the copy's path.
std::wstring InstallClientDouble(const std::wstring& folder, const std::wstring& name,
                                 const std::string& behaviour = "");

std::vector<ClientDoubleStart> ReadClientDoubleJournal(const std::wstring& exePath);

// Waits until the journal holds at least count starts; returns them.
std::vector<ClientDoubleStart> WaitForClientDoubleStarts(const std::wstring& exePath, size_t count,
                                                         DWORD timeoutMs = 10000);

}  // namespace TestSupport
