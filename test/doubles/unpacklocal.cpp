// Runs the install from the package files beside this program (the
// operation takes them from its own executable's folder): copy it into a
// folder with the files and start it there.
#include <winsock2.h>
#include <windows.h>

#include "InstallManagerService.h"

int wmain() {
    CThdCOMServiceManager manager;
    manager.UnpackLocalFiles();
    return 0;
}
