#include "RegistryFlags.h"

#include <shlwapi.h>

#include "Loglib.h"
#include "Platform.h"
#include "SharedNames.h"
#include "StringUtil.h"

// Log lines of this topic keep the source name of the utilities it came from.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"CommonFunction.cpp"

int ProxyListenPortFromValue(LSTATUS status, DWORD value) {
    if (status != ERROR_SUCCESS) return 60202;
    if ((value >= 1 && value <= 65534) || value == 70000) return static_cast<int>(value);
    return 60202;
}

int SSLProtoFromValue(LSTATUS status, DWORD value) {
    return status == ERROR_SUCCESS && value >= 1 && value <= 16 ? static_cast<int>(value) : 0;
}

int MachineCertFlagFromValue(LSTATUS status, DWORD value) {
    return status == ERROR_SUCCESS && (value == 1 || value == 2) ? static_cast<int>(value) : 0;
}

int IsOneFromValue(LSTATUS status, DWORD value) {
    return status == ERROR_SUCCESS && value == 1 ? 1 : 0;
}

int GetSSLProtoFlag() {
    DWORD value = 0;
    const LSTATUS status = ReadRegistryDword(HKEY_LOCAL_MACHINE, kInstallManagerKey, L"sslproto",
                                             value);
    return SSLProtoFromValue(status, value);
}

int GetBVStatus() {
    DWORD value = 0;
    ReadRegistryDword(HKEY_LOCAL_MACHINE, kVpn2Key, L"BVStatus", value);
    return static_cast<int>(value);
}

int GetVPN2Value(const char* name) {
    if (!name) return 0;
    DWORD value = 0;
    ReadRegistryDword(HKEY_LOCAL_MACHINE, kVpn2Key, WideFromCodePage(name).c_str(), value);
    return static_cast<int>(value);
}

int GetLocalMachineCertPathFlag() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_LOCAL_MACHINE, kVpn2Key, L"MachineCertFlag", value);
    LOGW(LOG_INFO, L"GetLocalMachineCertPathFlag: value:%d, ret:%d\n", static_cast<int>(value),
         static_cast<int>(status));
    return MachineCertFlagFromValue(status, value);
}

int GetBrevantoCommandLineFlag() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_CURRENT_USER, kVpn2Key, L"BVCommandLineFlag", value);
    LOGW(LOG_INFO, L"GetBrevantoCommandLineFlag: value:%d, ret:%d\n", static_cast<int>(value),
         static_cast<int>(status));
    return static_cast<int>(value);
}

int IsBrevantoWebDuringDisconnect() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_CURRENT_USER, kVpn2Key, L"BrevantoWebDuringDisconnect", value);
    LOGW(LOG_INFO,
         L"IsBrevantoWebDuringDisconnect: Get Brevanto web during disconnect flag:%d, result=%d\n",
         static_cast<int>(value), static_cast<int>(status));
    return IsOneFromValue(status, value);
}

void SetBrevantoWebDuringDisconnectFlag(bool flag) {
    const DWORD value = flag ? 1 : 0;
    const LSTATUS status = ::SHSetValueW(HKEY_CURRENT_USER, kVpn2Key,
                                         L"BrevantoWebDuringDisconnect", REG_DWORD, &value,
                                         sizeof(value));
    LOGW(LOG_INFO,
         L"SetBrevantoWebDuringDisconnectFlag: Brevanto web during disconnect flag:%d, "
         L"result=%d\n",
         static_cast<int>(value), static_cast<int>(status));
}

int GetBrevantoUpgradeStatus() {
    DWORD value = 0;
    const LSTATUS status = ReadRegistryDword(HKEY_CURRENT_USER, kVpn2Key, L"VPNstatus", value);
    LOGW(LOG_INFO, L"GetBrevantoUpgradeStatus: Get Brevanto upgrade status:%d, result=%d\n",
         static_cast<int>(value), static_cast<int>(status));
    return static_cast<int>(value);
}

int GetProxyListenPort() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_CURRENT_USER, kInstallManagerKey, L"proxylistenport", value);
    LOGW(LOG_INFO, L"GetProxyListenPort: Get proxy listen port:%d, result=%d\n",
         static_cast<int>(value), static_cast<int>(status));
    return ProxyListenPortFromValue(status, value);
}

int IsEnableClientAuth() {
    DWORD value = 0;
    const LSTATUS status = ReadRegistryDword(HKEY_LOCAL_MACHINE, kClientAuthFlagKey,
                                             L"EnableClientAuth", value);
    LOGW(LOG_INFO, L"IsEnableClientAuth: SHGetValue finished, ret:%d, Flag:%d\n",
         static_cast<int>(status), static_cast<int>(value));
    return IsOneFromValue(status, value);
}

void WriteServiceNameToSafeModeReg(const wchar_t* keyPath) {
    static const wchar_t kService[] = L"Service";
    const LSTATUS status = ::SHSetValueW(HKEY_LOCAL_MACHINE, keyPath, nullptr, REG_SZ, kService,
                                         sizeof(kService));
    LOGW(LOG_INFO, L"WriteServiceNameToSafeModeReg: Write reg %s(safe mode) finished, ret is %d\n",
         keyPath, static_cast<int>(status));
}

int GetBrevantoUdpPort() {
    DWORD value = 0;
    const LSTATUS status =
        ReadRegistryDword(HKEY_CURRENT_USER, L"Software\\Brevanto\\L3VPN", L"port", value);
    return status == ERROR_SUCCESS ? static_cast<int>(value) : 65432;
}
