// The operations that put the install-manager service on the machine, renew
// it and take it away: its cabinet and OEM settings fetched from the gateway
// (Initizlize), unpacked and registered (Install), removed (Uninstall),
// replaced (Update), and the two forms that take the cabinet from local
// folders (UpdateBV, UnpackLocalFiles).
//
// The class sits on a small thread framework, but no thread is ever started
// for it: a command builds the object on its own stack, calls the operations
// on the main thread and destroys it when it ends. Its stop event is lent to
// the gateway downloads.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <setupapi.h>

#include <cstdint>
#include <string>

#include "Owners.h"

// ---- Thread framework ---------------------------------------------------------

class CBaseThread {
public:
    CBaseThread();
    virtual ~CBaseThread();
    CBaseThread(const CBaseThread&) = delete;
    CBaseThread& operator=(const CBaseThread&) = delete;

    virtual DWORD Run() = 0;
    virtual HRESULT OnThreadStart() { return S_OK; }
    virtual void OnThreadExit() {}

    // Unnamed auto-reset event, not signalled; downloads stop when it is set.
    HANDLE stopEvent() const { return m_stopEvent.get(); }

protected:
    Owners::UniqueHandle m_thread;
    DWORD m_threadId = 0;
    Owners::UniqueHandle m_stopEvent;
    void* m_userValue = nullptr;  // not read in this program
    Owners::UniqueHandle m_secondEvent;  // not waited on in this program
};

// A thread with COM: the start hook joins the multithreaded apartment and
// takes the interface out of its marshalled stream, the exit hook releases it.
class CTaskThd : public CBaseThread {
public:
    explicit CTaskThd(bool autoDelete);

    HRESULT OnThreadStart() override;
    void OnThreadExit() override;

    // Lent with the stop event to the gateway downloads (which do not use it).
    IUnknown* interfacePointer() const { return m_interface.get(); }

protected:
    Owners::ComPtr<IUnknown> m_interface;
    IStream* m_stream = nullptr;  // never set in this program
    bool m_autoDelete;
};

// ---- The install-manager operations --------------------------------------------

class CThdCOMServiceManager : public CTaskThd {
public:
    CThdCOMServiceManager();

    DWORD Run() override { return 1; }

    // Stores the texts (null as empty) and the port. In uninstall mode that is
    // all: true, nothing else is touched. Otherwise fills g_ProxyInfo (the
    // given proxy when proxyFlag is set, else the saved outside proxy of
    // Proxy.ini), removes the cabinet and OEM.ini an earlier run left in the
    // work folder (<temp>\VPN\), downloads both from the gateway, asking for
    // proxy credentials when the proxy wants them (not saved here: the
    // command saves g_ProxyInfo after a true result). True only when this
    // run downloaded the cabinet whole; a failed OEM.ini download does not
    // matter.
    bool Initizlize(bool bUninstall, const wchar_t* serviceName, const wchar_t* cabName,
                    const wchar_t* host, const wchar_t* session, uint16_t port,
                    uint32_t languageId, int32_t proxyFlag, const wchar_t* proxyHost,
                    uint16_t proxyPort, const wchar_t* proxyUser, const wchar_t* proxyPassword,
                    const wchar_t* proxyDomain);

    // Unpacks the cabinet at the local cabinet path into the install-manager
    // folder (<Program Files>\<company>\Install Manager\, the company from the
    // registry, else from the downloaded OEM.ini, else the default), copies
    // OEM.ini there, re-registers the service ("Grendal.exe" /service) and
    // records the company name. True when the service was registered. A
    // cabinet that does not unpack whole into a folder of its own, or holds
    // no Grendal.exe, is refused before the installed service is touched.
    bool Install();

    // Unregisters the service found through its ImagePath (else the one in
    // the install-manager folder) and removes its files. With keepFiles the
    // files stay, and a registered program that no longer exists is replaced
    // by replacementProgram just long enough to unregister it. True when the
    // unregistration program ran.
    bool Uninstall(bool keepFiles, const wchar_t* replacementProgram);

    // Uninstall, then Install; Initizlize must have run. Stops before the
    // uninstall when the cabinet could not be installed, and at a failed
    // uninstall.
    bool Update();

    // Replaces the service from the client package's cabinet in the
    // install-manager folder. False, with the service left alone, without
    // that cabinet or when it could not be installed.
    bool UpdateBV();

    // Installs from the package files beside this program and moves the
    // client's package files into the install-manager folder. Nothing is
    // installed without the cabinet; a file is moved only when its copy
    // succeeded.
    void UnpackLocalFiles();

    // For the gateway downloads of other operations.
    HANDLE DownloadStopEvent() const { return stopEvent(); }
    IUnknown* DownloadInterfacePointer() const { return interfacePointer(); }

    const std::wstring& localCabPath() const { return m_strLocalCabPath; }
    const std::wstring& localOemPath() const { return m_strLocalOemPath; }
    const std::wstring& serviceName() const { return m_strServiceName; }
    const std::wstring& host() const { return m_strHost; }
    const std::wstring& session() const { return m_strSession; }
    uint16_t port() const { return m_nPort; }
    bool uninstallMode() const { return m_bUninstall; }

private:
    bool m_bUninstall = false;
    std::wstring m_strServiceName;
    std::wstring m_strCabName;
    std::wstring m_strHost;
    std::wstring m_strLocalCabPath;
    std::wstring m_strLocalOemPath;
    std::wstring m_strSession;
    uint16_t m_nPort = 0;
};

// The folder (with a trailing backslash) into which CabinetFileCallback
// places the cabinet being unpacked; written by Install just before.
extern wchar_t CabTargetFolder[MAX_PATH];

// The SetupAPI cabinet callback. An entry whose name would leave
// CabTargetFolder (a "..", a drive, a root, an empty part) or whose path does
// not fit is skipped and logged.
UINT CALLBACK CabinetFileCallback(PVOID context, UINT notification, UINT_PTR param1,
                                  UINT_PTR param2);

// The cabinet walk Install runs (SetupIterateCabinetW unless a test installs
// another); returns the one replaced.
using CabinetIterator = BOOL(WINAPI*)(PCWSTR cabinet, DWORD reserved, PSP_FILE_CALLBACK_W callback,
                                      PVOID context);
CabinetIterator SetCabinetIteratorForTest(CabinetIterator iterator);
