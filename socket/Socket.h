// A small blocking stream socket with connect-with-time-out.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>

#include "SockAddr.h"

namespace QuarloSocket {

// {timeval, enabled}: an enabled field of 0 (or no record) means no limit.
struct ConnectTimeout {
    timeval time{};
    uint32_t enabled = 0;
};

class Socket {
public:
    Socket(uint32_t type, uint32_t family, bool attached, int protocol);
    virtual ~Socket() = default;  // never closes the socket
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    virtual bool bind(const SockAddr& address);
    virtual bool connect(const SockAddr& address, const ConnectTimeout* timeout);
    virtual bool listen(int backlog);
    virtual bool close();
    virtual bool shutdown(int how);

    std::string getError() const { return m_lastError; }
    SOCKET socket() const { return m_socket; }
    bool valid() const { return m_socket != INVALID_SOCKET && m_socket != 0; }

private:
    void formatError(const std::string& message);

    uint32_t m_type;
    uint32_t m_attached;
    SOCKET m_socket = 0;
    SockAddr m_address;
    std::string m_lastError;
    uint32_t m_family;
};

// Starts WinSock 2.2 (a failure is logged) and registers WinSockCleanup to
// run at exit in every case. True when WinSock started.
bool WinSockStartup();
void WinSockCleanup();

}  // namespace QuarloSocket
