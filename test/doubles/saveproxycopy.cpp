// Stands in for the installed copy that an evaluation in COM-server mode
// starts (it is copied in as Tavrisk.exe): runs the saveproxy hand-off on
// its two arguments, the PAC script URL and the gateway host, and sets the
// completion event that the starting copy waits for.
#include <winsock2.h>
#include <windows.h>

#include "ProxyDetection.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HOXInit().OnSave(argv[1], argv[2]);
    HANDLE done = ::OpenEventW(EVENT_MODIFY_STATE, FALSE,
                               L"Global\\{5D1FCC03-950B-4327-8CB7-4BF229ABB286}");
    if (!done) return 3;
    ::SetEvent(done);
    ::CloseHandle(done);
    return 0;
}
