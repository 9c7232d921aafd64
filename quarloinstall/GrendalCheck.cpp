#include <winsock2.h>

#include "GrendalCheck.h"

#include <objbase.h>

#include "ClientUpdate.h"
#include "CommonFunction.h"
#include "Loglib.h"
#include "Owners.h"
#include "QuarloInstall.h"
#include "ServiceInterfaces.h"
#include "SharedNames.h"
#include "utility.h"

#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"InstallThreads.cpp"

namespace {
constexpr DWORD kInstallingCopyWaitMs = 300000;
}  // namespace

int32_t CheckGrendal(const wchar_t* host, uint16_t port, const wchar_t* session,
                     uint32_t languageId, uint8_t bSetStatus) {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Owners::ComPtr<IInstallManager> manager;
    HRESULT hr = ServiceInterfaces::CreateService(manager);
    if (hr == S_OK) {
        LOGW(LOG_INFO, L"CheckGrendal: Grendal exist, no need reinstall it.\n");
        return 1;
    }
    if (bSetStatus) SetVPNStatus(kVPNStatusInstallManager);
    LOGW(LOG_INFO,
         L"CheckGrendal: InstallManager is not installed, ret is %x, we start to install it.\n",
         static_cast<unsigned>(hr));
    // Exists before the copy starts, so a copy that finishes at once still
    // finds it to set.
    const Owners::UniqueHandle done(::CreateEventW(nullptr, FALSE, FALSE, kCompletionEventName));
    if (!HandleCOMService(L"BVGrendal", L"install", host, true, port, session, 1, languageId, 0,
                          L"", 0, L"", L"", L"")) {
        LOGW(LOG_ERROR, L"CheckGrendal: install Grendal failed\n");
        return 0;
    }
    if (!SleepWithMessageLoop(kCompletionEventName, kInstallingCopyWaitMs, QS_ALLINPUT)) return 1;
    hr = ServiceInterfaces::CreateService(manager);
    if (hr == S_OK) {
        LOGW(LOG_INFO, L"CheckGrendal: InstallManager installed finished.\n");
        return 1;
    }
    LOGW(LOG_WARNING,
         L"CheckGrendal: InstallManager installed finished, but connect failed, ret is %x.\n",
         static_cast<unsigned>(hr));
    return 0;
}
