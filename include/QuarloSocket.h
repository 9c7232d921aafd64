// A small owner of one SOCKET, used by the socket factories.
#pragma once

#include <winsock2.h>

#include <cstdint>

namespace QuarloSocket {

class CSocket {
public:
    CSocket() = default;
    explicit CSocket(SOCKET s) : m_socket(s) {}
    ~CSocket() {
        if (m_socket != INVALID_SOCKET) Abort();
    }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // Graceful: shut the send side, drain until the peer closes (1 s), close.
    void Close();
    // Zero linger (a reset to the peer), then Close.
    void Abort();
    bool Bind(const sockaddr_in& address, uint32_t* error);
    int Connect(const sockaddr_in& address);

    SOCKET Get() const { return m_socket; }
    SOCKET Detach() {
        SOCKET s = m_socket;
        m_socket = INVALID_SOCKET;
        return s;
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
};

}  // namespace QuarloSocket
