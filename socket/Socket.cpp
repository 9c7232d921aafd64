#include "Socket.h"

#include <cstdlib>

#include "Loglib.h"
#include "StringUtil.h"

namespace QuarloSocket {

Socket::Socket(uint32_t type, uint32_t family, bool attached, int protocol)
    : m_type(type), m_attached(attached ? 1 : 0), m_family(family) {
    if (!m_attached) {
        m_socket = ::WSASocketW(static_cast<int>(family), static_cast<int>(type), protocol, nullptr, 0,
                                WSA_FLAG_OVERLAPPED);
        if (m_socket == INVALID_SOCKET) formatError("");
    }
}

void Socket::formatError(const std::string& message) {
    if (!message.empty()) {
        m_lastError = message;
    } else {
        m_lastError = FormatA("%s:%d", "Socket::formatError;GetLastError:", static_cast<int>(::GetLastError()));
        if (m_lastError.size() > 127) m_lastError.resize(127);
    }
    LOGA(LOG_ERROR, "error %s\n", m_lastError.c_str());
}

bool Socket::bind(const SockAddr& address) {
    if (!address.isValid()) {
        formatError(address.getError());
        return false;
    }
    if (::bind(m_socket, address.sockaddr(), address.length()) != 0) {
        formatError("");
        return false;
    }
    m_address = address;
    return true;
}

bool Socket::connect(const SockAddr& address, const ConnectTimeout* timeout) {
    if (!address.isValid()) {
        formatError(address.getError());
        return false;
    }
    // Non-blocking, so that the time-out bounds the attempt; the socket goes
    // back to blocking before it is handed on. A failure keeps its own code
    // for the caller, whatever the way back to blocking leaves behind.
    auto backToBlocking = [this] {
        u_long blocking = 0;
        return ::ioctlsocket(m_socket, FIONBIO, &blocking) == 0;
    };
    auto fail = [&](int code, const char* message) {
        backToBlocking();
        ::WSASetLastError(code);
        formatError(message);
        return false;
    };
    u_long nonBlocking = 1;
    if (::ioctlsocket(m_socket, FIONBIO, &nonBlocking) != 0) return fail(::WSAGetLastError(), "");
    if (::connect(m_socket, address.sockaddr(), address.length()) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        return fail(::WSAGetLastError(), "");
    }
    m_address = address;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(m_socket, &writable);
    FD_SET(m_socket, &failed);
    timeval limit{};
    const bool bounded = timeout && timeout->enabled;
    if (bounded) limit = timeout->time;
    const int ready = ::select(0, nullptr, &writable, &failed, bounded ? &limit : nullptr);
    if (ready == SOCKET_ERROR) return fail(::WSAGetLastError(), "");
    if (ready == 0) return fail(WSAETIMEDOUT, "timed out");
    int soError = 0;
    int soLength = sizeof soError;
    if (::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &soLength) != 0) {
        return fail(::WSAGetLastError(), "");
    }
    if (soError != 0 || FD_ISSET(m_socket, &failed)) return fail(soError ? soError : WSAECONNREFUSED, "");
    if (!backToBlocking()) return fail(::WSAGetLastError(), "");
    linger lingerOption{1, 1};
    if (::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingerOption),
                     sizeof lingerOption) != 0) {
        formatError("");
        return false;
    }
    return true;
}

bool Socket::listen(int backlog) {
    if (::listen(m_socket, backlog) != 0) {
        formatError("");
        return false;
    }
    return true;
}

bool Socket::close() {
    if (!m_attached && m_socket == 0) return true;
    if (::closesocket(m_socket) != 0) {
        formatError("");
        return false;
    }
    m_socket = 0;
    formatError("connection closed");
    return true;
}

bool Socket::shutdown(int how) {
    if (!m_attached && m_socket == 0) {
        formatError("connection shut down");
        return true;
    }
    if (::shutdown(m_socket, how) != 0) {
        formatError("");
        return false;
    }
    formatError("connection shut down");
    return true;
}

}  // namespace QuarloSocket

namespace QuarloSocket {

namespace {
WSADATA g_winSockData;
}  // namespace

bool WinSockStartup() {
    // WSAStartup answers its error itself; WSAGetLastError is not usable
    // before WinSock has started.
    const int rc = ::WSAStartup(MAKEWORD(2, 2), &g_winSockData);
    if (rc != 0) LOGA(LOG_ERROR, "WSAStartup error %d", rc);
    std::atexit(&WinSockCleanup);
    return rc == 0;
}

void WinSockCleanup() { ::WSACleanup(); }

}  // namespace QuarloSocket
