#include "ProcessServices.h"

#include <winsock2.h>

#include "Loglib.h"

ProcessServices::ProcessServices() {
    CLogContext::Instance();
    WSADATA data{};
    m_winSockStarted = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

ProcessServices::~ProcessServices() {
    if (m_winSockStarted) ::WSACleanup();
}
