#include "ProcessServices.h"

#include <winsock2.h>

#include "Loglib.h"
#include "Socket.h"
#include "TransportManager.h"

ProcessServices::ProcessServices() {
    CLogContext::Instance();
    // The transport manager starts the process-wide completion pool, whose
    // workers then run until the process ends.
    QuarloSocket::TransportManager();
    // WinSock is cleaned up at exit (registered by the start-up itself).
    m_winSockStarted = QuarloSocket::WinSockStartup();
}

ProcessServices::~ProcessServices() = default;
