// The COM interfaces of the outside services this program drives: the
// install manager (IInstallManager), the VPN service (IOssiden) and the MSI
// install manager (ITarquel). Only the slots this program calls have names;
// the others are placeholders that keep the called slots at their positions
// in the servers' tables and must never be called.
//
// Contracts for every caller:
// - Objects are created per operation with CreateService (class context
//   0x17) after CoInitializeEx, and released at the operation's end through
//   the ComPtr that holds them.
// - Only S_OK counts as success (IsServiceSuccess): S_FALSE and every other
//   value are failures, whatever SUCCEEDED() says.
// - Texts are BSTRs (Owners::UniqueBstr) unless the slot says otherwise; a
//   BSTR handed out by a method belongs to the caller.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "Owners.h"

// One placeholder slot; its name carries the position for the debugger.
#define QUARLO_SERVICE_SLOT(n) virtual HRESULT STDMETHODCALLTYPE Slot##n() = 0;

// {98A80149-E794-4A0B-A416-174AE682878F}
struct IInstallManager : public IUnknown {
    QUARLO_SERVICE_SLOT(3) QUARLO_SERVICE_SLOT(4) QUARLO_SERVICE_SLOT(5) QUARLO_SERVICE_SLOT(6)
    QUARLO_SERVICE_SLOT(7) QUARLO_SERVICE_SLOT(8) QUARLO_SERVICE_SLOT(9) QUARLO_SERVICE_SLOT(10)
    // 11. state 0: the product is current; otherwise bits of the parts to renew.
    virtual HRESULT STDMETHODCALLTYPE CheckClientComponents(BSTR productId, LONG* state) = 0;
    QUARLO_SERVICE_SLOT(12) QUARLO_SERVICE_SLOT(13) QUARLO_SERVICE_SLOT(14) QUARLO_SERVICE_SLOT(15)
    // 16. The remote file's bytes, as a BSTR that carries narrow text
    // (length from SysStringByteLen).
    virtual HRESULT STDMETHODCALLTYPE DownloadFileToLocal(BSTR url, BSTR* text) = 0;
    // 17.
    virtual HRESULT STDMETHODCALLTYPE CopyLocalFile(BSTR sourcePath, BSTR targetPath) = 0;
    QUARLO_SERVICE_SLOT(18)
    // 19. Kept by the service for its own downloads.
    virtual HRESULT STDMETHODCALLTYPE SetVersionXML(BSTR versionDescription, LONG proxySetType,
                                                    LONG proxyAuthType, BSTR proxyHost,
                                                    LONG proxyPort, SHORT bUseProxy,
                                                    BSTR proxyUser, BSTR proxyPassword,
                                                    BSTR proxyDomain) = 0;
    QUARLO_SERVICE_SLOT(20) QUARLO_SERVICE_SLOT(21)
    // 22. Starts the installation; the service sets kInstallationEventName
    // when it ends. Callers pass empty texts, 0 and the language id.
    virtual HRESULT STDMETHODCALLTYPE Install(BSTR productId, BSTR text1, LONG value1, BSTR text2,
                                              BSTR text3, BSTR text4, LONG languageId,
                                              LONG value2) = 0;
    // 23. A REG_SZ value under HKEY_LOCAL_MACHINE; callers pass (1, 1, ..., 0).
    virtual HRESULT STDMETHODCALLTYPE WriteRegValue(LONG rootKind, LONG valueKind, BSTR key,
                                                    BSTR valueName, BSTR text, LONG flags) = 0;
    // 24.
    virtual HRESULT STDMETHODCALLTYPE StopProcessByName(BSTR programFileName) = 0;
    QUARLO_SERVICE_SLOT(25)
    // 26. The file is stored in the local folder; callers pass flags 0.
    virtual HRESULT STDMETHODCALLTYPE DownloadGatewayFile(BSTR fileName, BSTR gatewayHost,
                                                          USHORT port, BSTR session,
                                                          BSTR localFolder, LONG flags,
                                                          BSTR urlPath) = 0;
    // 27. A zero-terminated 8-bit text; see the kExecute* codes.
    virtual HRESULT STDMETHODCALLTYPE ExecuteCommand(LONG code, const char* text) = 0;
    // 28.
    virtual HRESULT STDMETHODCALLTYPE RemoveLocalFile(BSTR path) = 0;
    // 29. The cabinet's files land in the install-manager folder.
    virtual HRESULT STDMETHODCALLTYPE UnpackCab(BSTR cabinetPath) = 0;
};

// {BD8F07EA-9670-4545-8565-258BA54E2E60}
struct IOssiden : public IUnknown {
    QUARLO_SERVICE_SLOT(3) QUARLO_SERVICE_SLOT(4) QUARLO_SERVICE_SLOT(5) QUARLO_SERVICE_SLOT(6)
    QUARLO_SERVICE_SLOT(7) QUARLO_SERVICE_SLOT(8) QUARLO_SERVICE_SLOT(9) QUARLO_SERVICE_SLOT(10)
    QUARLO_SERVICE_SLOT(11) QUARLO_SERVICE_SLOT(12) QUARLO_SERVICE_SLOT(13) QUARLO_SERVICE_SLOT(14)
    QUARLO_SERVICE_SLOT(15) QUARLO_SERVICE_SLOT(16) QUARLO_SERVICE_SLOT(17) QUARLO_SERVICE_SLOT(18)
    QUARLO_SERVICE_SLOT(19) QUARLO_SERVICE_SLOT(20) QUARLO_SERVICE_SLOT(21) QUARLO_SERVICE_SLOT(22)
    QUARLO_SERVICE_SLOT(23) QUARLO_SERVICE_SLOT(24) QUARLO_SERVICE_SLOT(25) QUARLO_SERVICE_SLOT(26)
    QUARLO_SERVICE_SLOT(27) QUARLO_SERVICE_SLOT(28) QUARLO_SERVICE_SLOT(29) QUARLO_SERVICE_SLOT(30)
    QUARLO_SERVICE_SLOT(31) QUARLO_SERVICE_SLOT(32) QUARLO_SERVICE_SLOT(33) QUARLO_SERVICE_SLOT(34)
    QUARLO_SERVICE_SLOT(35) QUARLO_SERVICE_SLOT(36) QUARLO_SERVICE_SLOT(37) QUARLO_SERVICE_SLOT(38)
    QUARLO_SERVICE_SLOT(39) QUARLO_SERVICE_SLOT(40) QUARLO_SERVICE_SLOT(41) QUARLO_SERVICE_SLOT(42)
    QUARLO_SERVICE_SLOT(43) QUARLO_SERVICE_SLOT(44) QUARLO_SERVICE_SLOT(45) QUARLO_SERVICE_SLOT(46)
    // 47. Called only while corvd.exe is not running, right before it is
    // started; nobody looks at the result.
    virtual HRESULT STDMETHODCALLTYPE PrepareCorvd() = 0;
};

// {1F4E6CDB-306D-42E6-B77A-772917FBD882}
struct ITarquel : public IUnknown {
    QUARLO_SERVICE_SLOT(3) QUARLO_SERVICE_SLOT(4) QUARLO_SERVICE_SLOT(5) QUARLO_SERVICE_SLOT(6)
    // 7. Callers pass 1 and an empty text; S_OK: the client files were refreshed.
    virtual HRESULT STDMETHODCALLTYPE UpdateMSI(LONG kind, BSTR text) = 0;
};

#undef QUARLO_SERVICE_SLOT

__CRT_UUID_DECL(IInstallManager, 0x98A80149, 0xE794, 0x4A0B, 0xA4, 0x16, 0x17, 0x4A, 0xE6, 0x82,
                0x87, 0x8F)
__CRT_UUID_DECL(IOssiden, 0xBD8F07EA, 0x9670, 0x4545, 0x85, 0x65, 0x25, 0x8B, 0xA5, 0x4E, 0x2E,
                0x60)
__CRT_UUID_DECL(ITarquel, 0x1F4E6CDB, 0x306D, 0x42E6, 0xB7, 0x7A, 0x77, 0x29, 0x17, 0xFB, 0xD8,
                0x82)

namespace ServiceInterfaces {

// {CB33EE85-E9E2-4167-AF1D-A65194B287CB}
inline constexpr CLSID kInstallManagerClsid = {
    0xCB33EE85, 0xE9E2, 0x4167, {0xAF, 0x1D, 0xA6, 0x51, 0x94, 0xB2, 0x87, 0xCB}};
// {E0887FB2-C690-41D1-8B91-86AF318BF9C6}
inline constexpr CLSID kOssidenClsid = {
    0xE0887FB2, 0xC690, 0x41D1, {0x8B, 0x91, 0x86, 0xAF, 0x31, 0x8B, 0xF9, 0xC6}};
// {7BA0AE03-0EEC-47BF-B2B9-01A8D75E1EF2}
inline constexpr CLSID kTarquelClsid = {
    0x7BA0AE03, 0x0EEC, 0x47BF, {0xB2, 0xB9, 0x01, 0xA8, 0xD7, 0x5E, 0x1E, 0xF2}};

// In-process server, in-process handler, local server, remote server.
inline constexpr DWORD kServiceClassContext = 0x17;

// Product ids for CheckClientComponents and Install.
inline constexpr const wchar_t* kProductInstallManager = L"{5E6DDEA8-0A45-450E-B233-065F7E2F67CA}";
inline constexpr const wchar_t* kProductClientSecurity = L"{8543E284-C4FC-4A45-9B65-CDD5D6222348}";
inline constexpr const wchar_t* kProductBrevanto = L"{B8913AD8-3C67-48D1-8200-A40EA52A12B3}";
inline constexpr const wchar_t* kProductVpnClient = L"{5091C97F-0EA4-43b5-864E-390BB412DF95}";

// ExecuteCommand codes.
inline constexpr LONG kExecuteRenewService = 6;  // "Address=%s@@@Port=%d@@@Session=%s"; sets CompletionEvent when done
inline constexpr LONG kExecuteRunInUserSession = 7;  // "%s@@@%s": program path, command line
inline constexpr LONG kExecuteInstallClientSecurity = 8;  // the cabinet's path

// The named event the install manager sets when an Install ends.
inline constexpr const wchar_t* kInstallationEventName =
    L"Global\\msi_4200F78E-949C-404A-906E-654900611585";

// Only S_OK is success for these services.
constexpr bool IsServiceSuccess(HRESULT hr) { return hr == S_OK; }

template <class Interface>
struct ServiceClass;
template <>
struct ServiceClass<IInstallManager> {
    static constexpr const CLSID& clsid = kInstallManagerClsid;
};
template <>
struct ServiceClass<IOssiden> {
    static constexpr const CLSID& clsid = kOssidenClsid;
};
template <>
struct ServiceClass<ITarquel> {
    static constexpr const CLSID& clsid = kTarquelClsid;
};

// Creates one object of the service with class context 0x17. The caller has
// run CoInitializeEx; service is empty unless the result is S_OK.
template <class Interface>
HRESULT CreateService(Owners::ComPtr<Interface>& service) {
    HRESULT hr = ::CoCreateInstance(ServiceClass<Interface>::clsid, nullptr, kServiceClassContext,
                                    __uuidof(Interface), service.put_void());
    if (hr != S_OK) service.reset();
    return hr;
}

}  // namespace ServiceInterfaces
