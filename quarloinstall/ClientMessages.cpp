#include <winsock2.h>

#include "ClientMessages.h"

#include <json/value.h>
#include <json/writer.h>

#include "ClientStatus.h"
#include "CommonFunction.h"
#include "FrontDoorBranches.h"
#include "Loglib.h"
#include "Owners.h"
#include "System.h"

#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"InstallThreads.cpp"

namespace {

constexpr int kActionShowDD = 22;
constexpr int kActionStopVpn = 7;
constexpr int kStopFlagsDisconnect = 16384;

std::string CommandText(const Json::Value& data, const char* message) {
    Json::Value root(Json::objectValue);
    root["data"] = data;
    root["error"] = 0;
    root["message"] = message;
    // The client parses exactly this layout.
    return Json::StyledWriter().write(root);
}

}  // namespace

uint16_t LocalClientPort() { return static_cast<uint16_t>(GetBrevantoUdpPort() & 0xFFFF); }

std::string ShowDDCommandText() {
    Json::Value data(Json::objectValue);
    data["action"] = kActionShowDD;
    return CommandText(data, "show dd");
}

std::string StopVpnCommandText(DWORD bLogout) {
    Json::Value data(Json::objectValue);
    data["action"] = kActionStopVpn;
    if (bLogout == 0) data["flags"] = kStopFlagsDisconnect;
    data["webdisconnect"] = 1;
    return CommandText(data, "stop vpn");
}

int LocalClientCommand(const std::string& text) {
    int result = SOCKET_ERROR;
    const Owners::UniqueSocket datagram(::socket(AF_INET, SOCK_DGRAM, 0));
    if (datagram) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = ::htons(LocalClientPort());
        to.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        result = ::sendto(datagram.get(), text.data(), static_cast<int>(text.size()), 0,
                          reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    const int error = result == SOCKET_ERROR ? ::WSAGetLastError() : 0;
    LOGW(LOG_INFO, L"Tavrisk: sendto finished, ret:%d\n", result);
    if (result == SOCKET_ERROR) {
        LOGW(LOG_WARNING, L"Tavrisk: the message to the client was not sent, error is %d\n", error);
    }
    return result;
}

void BVWebShowDD() {
    LOGW(LOG_INFO, L"Brevanto web h5 show dd start.\n");
    EnsureCorvdRunning();
    LocalClientCommand(ShowDDCommandText());
}

void BVStopVPN(DWORD bLogout) {
    LOGW(LOG_INFO, L"BVStopVPN, bLogout flag:%d\n", static_cast<int>(bLogout));
    if (IsBrevantoWebDuringDisconnect()) {
        LOGW(LOG_INFO, L"BVStopVPN, Brevanto web is during disconnect.\n");
        return;
    }
    SetBrevantoWebDuringDisconnectFlag(true);
    EnsureCorvdRunning();
    LocalClientCommand(StopVpnCommandText(bLogout));
    // The client-security result belongs to the session that ends here.
    const std::wstring result = GetProxyIniPath(kProxyConfDirClientSecurity);
    if (!result.empty() && ::GetFileAttributesW(result.c_str()) != INVALID_FILE_ATTRIBUTES) {
        LOGW(LOG_INFO, L"Tavrisk: result path %s, start remove it.\n", result.c_str());
        if (!RemoveFile(result.c_str())) {
            LOGW(LOG_WARNING, L"remove file %s failed, error is %d\n", result.c_str(),
                 static_cast<int>(::GetLastError()));
        }
    }
    SetBrevantoWebDuringDisconnectFlag(false);
}

void RunWebShowDDCommand(const FrontDoorCommand&) { BVWebShowDD(); }
