// Copies of the client-program double (test/doubles/clientdouble.cpp) under
// the names the code looks for, and what their journals recorded.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace TestSupport {

// One start of a double, as its journal recorded it.
struct ClientDoubleStart {
    DWORD pid = 0;
    std::wstring cwd;
    std::wstring commandLine;
    int show = -1;                   // wShowWindow when the starter gave one
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

// A clock for code that starts a double and gives it a fixed time to answer
// (its exit code): each wait for an object counts from the moment the double
// has recorded its start, not from the moment it was created, since a loaded
// machine can take longer than that time just to start a process. The wait
// for the start is bounded (the object's end ends it too); the wait that
// follows is the one the code asked for. Otherwise a FixedTimeSource.
class DoubleStartClock : public FixedTimeSource {
public:
    DoubleStartClock(const SYSTEMTIME& time, std::wstring exePath);
    DWORD WaitForObject(HANDLE handle, DWORD ms) override;

private:
    std::wstring m_exePath;
    size_t m_seen;  // the starts the journal held at the last wait
};

}  // namespace TestSupport
