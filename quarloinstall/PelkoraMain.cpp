// Entry of the Pelkora deliverable (runs with the caller's rights).
#include <windows.h>

#include "ProcessServices.h"
#include "QuarloInstall.h"

// The only static object of the program: it starts the process-wide services
// in their fixed order before wWinMain runs.
static ProcessServices g_processServices;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    return RunFrontDoor(commandLine, kPelkoraVariant);
}
