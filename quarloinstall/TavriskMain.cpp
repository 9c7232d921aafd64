// Entry of the Tavrisk deliverable (started elevated; no "clearIEProxySettings").
#include <windows.h>

#include "ProcessServices.h"
#include "QuarloInstall.h"

// The only static object of the program: it starts the process-wide services
// in their fixed order before wWinMain runs.
static ProcessServices g_processServices;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    return RunFrontDoor(commandLine, kTavriskVariant);
}
