// What must stand before the front door runs, started in one fixed order:
// the log context, then the transport manager, then WinSock 2.2.
#pragma once

class ProcessServices {
public:
    ProcessServices();
    ~ProcessServices();
    ProcessServices(const ProcessServices&) = delete;
    ProcessServices& operator=(const ProcessServices&) = delete;

    bool WinSockStarted() const { return m_winSockStarted; }

private:
    bool m_winSockStarted = false;
};
