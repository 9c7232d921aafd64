#include "SocketTestSupport.h"

#include <ws2tcpip.h>

namespace SocketTest {

void EnsureWinSock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

ManualPool::ManualPool() { m_port = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0); }
ManualPool::~ManualPool() { ::CloseHandle(m_port); }

bool ManualPool::Post(ULONG_PTR key, DWORD bytes, OVERLAPPED* overlapped) {
    if (failPosts) return false;
    std::lock_guard<std::mutex> hold(m_mutex);
    m_posted.push_back({key, bytes, overlapped});
    return true;
}

bool ManualPool::Associate(HANDLE handle, ULONG_PTR key) {
    if (failAssociate) return false;
    return ::CreateIoCompletionPort(handle, m_port, key, 0) != nullptr;
}

bool ManualPool::GetStatus(ULONG_PTR* key, DWORD* bytes, OVERLAPPED** overlapped, DWORD* error) {
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        if (!m_posted.empty()) {
            Packet p = m_posted.front();
            m_posted.pop_front();
            *key = p.key;
            *bytes = p.bytes;
            *overlapped = p.overlapped;
            return true;
        }
    }
    if (::GetQueuedCompletionStatus(m_port, bytes, key, overlapped, m_waitMs)) return true;
    if (error) *error = ::GetLastError();
    return false;
}

bool ManualPool::PumpOne(DWORD timeoutMs) {
    ULONG_PTR key = 0;
    DWORD bytes = 0, error = 0;
    OVERLAPPED* overlapped = nullptr;
    m_waitMs = timeoutMs;
    const bool ok = GetStatus(&key, &bytes, &overlapped, &error);
    if (!ok && !overlapped) return false;
    QuarloSocket::DispatchCompletion(*this, key, bytes, overlapped, error, ok);
    return true;
}

bool ManualPool::TakePosted(Packet& p) {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (m_posted.empty()) return false;
    p = m_posted.front();
    m_posted.pop_front();
    return true;
}

bool ManualPool::CompleteNextPosted(DWORD bytes, DWORD error) {
    Packet p;
    if (!TakePosted(p)) return false;
    auto* buffer = QuarloSocket::CIOBuffer::FromOverlapped(p.overlapped);
    // The posted pair of references stands in for the issued pair.
    buffer->SetOperation(buffer->Operation() == QuarloSocket::IO_Write_Request
                             ? QuarloSocket::IO_Write_Completed
                             : QuarloSocket::IO_Read_Completed);
    QuarloSocket::DispatchCompletion(*this, p.key, bytes, p.overlapped, error, error == 0);
    return true;
}

bool ManualPool::FailNextPosted(DWORD error) {
    Packet p;
    if (!TakePosted(p)) return false;
    auto* buffer = QuarloSocket::CIOBuffer::FromOverlapped(p.overlapped);
    auto* connection = reinterpret_cast<QuarloSocket::CSocketConnection*>(p.key);
    // What the issue path does when the socket call fails at once.
    if (buffer->Operation() == QuarloSocket::IO_Write_Request) {
        buffer->SetOperation(QuarloSocket::IO_Write_Completed);
        connection->FailWrite(buffer, error);
    } else {
        buffer->SetOperation(QuarloSocket::IO_Read_Completed);
        connection->CompleteRead(buffer, 0, error, dynamic_cast<QuarloSocket::CIOCPSocket*>(connection->Owner()));
    }
    buffer->Release();
    connection->Release();
    return true;
}

std::string ManualPool::NextPostedBytes() {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (m_posted.empty()) return {};
    auto* buffer = QuarloSocket::CIOBuffer::FromOverlapped(m_posted.front().overlapped);
    return std::string(reinterpret_cast<const char*>(buffer->Data()) + buffer->WriteOffset(),
                       buffer->Used() - buffer->WriteOffset());
}

size_t ManualPool::QueuedPosts() {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_posted.size();
}

ScriptedPeer::ScriptedPeer() {
    EnsureWinSock();
    m_listen = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listen, 8);
    int length = sizeof address;
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
}

ScriptedPeer::~ScriptedPeer() {
    Join();
    ::closesocket(m_listen);
}

void ScriptedPeer::Run(Script script) {
    Join();
    m_thread = std::thread([this, script] {
        SOCKET peer = ::accept(m_listen, nullptr, nullptr);
        if (peer == INVALID_SOCKET) return;
        script(peer);
        ::closesocket(peer);
    });
}

QuarloSocket::SockAddr ScriptedPeer::address() const {
    return QuarloSocket::SockAddr(QuarloSocket::SockAddrPort(m_port), QuarloSocket::SockAddrHost("127.0.0.1"),
                                  AF_INET);
}

SOCKET ScriptedPeer::AcceptOne() { return ::accept(m_listen, nullptr, nullptr); }

void ScriptedPeer::Join() {
    if (m_thread.joinable()) m_thread.join();
}

void ScriptedPeer::SendAll(SOCKET s, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int n = ::send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string ScriptedPeer::RecvExactly(SOCKET s, size_t n) {
    std::string out;
    char chunk[65536];
    while (out.size() < n) {
        const size_t want = n - out.size() < sizeof chunk ? n - out.size() : sizeof chunk;
        int got = ::recv(s, chunk, static_cast<int>(want), 0);
        if (got <= 0) break;
        out.append(chunk, static_cast<size_t>(got));
    }
    return out;
}

void ScriptedPeer::Reset(SOCKET s) {
    linger option{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
}

uint16_t ClosedLoopbackPort() {
    EnsureWinSock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::closesocket(s);
    return ntohs(address.sin_port);
}

std::string BufferText(const QuarloSocket::CIOBuffer* buffer) {
    return std::string(reinterpret_cast<const char*>(buffer->Data()), buffer->Used());
}

QuarloSocket::CSocketConnection* ConnectLoopback(QuarloSocket::CIOCPClientSocket& owner, ScriptedPeer& listener,
                                                 SOCKET* peer) {
    QuarloSocket::CSocketConnection* connection = owner.Connect(listener.address(), nullptr);
    *peer = connection ? listener.AcceptOne() : INVALID_SOCKET;
    return connection;
}

void WaitForConnections(QuarloSocket::CIOCPSocket& owner) {
    for (int i = 0; i < 500 && owner.InUseConnectionCount() != 0; ++i) ::Sleep(10);
    EXPECT_EQ(owner.InUseConnectionCount(), 0u);
}

void SocketLogTest::SetUp() {
    EnsureWinSock();
    DayLogTest::SetUp();
}


int TableResolver::GetAddrInfo(const char* host, const addrinfo*, addrinfo** result) {
    asked.emplace_back(host ? host : "(null)");
    *result = nullptr;
    std::vector<std::string> texts;
    auto it = table.find(host ? host : "");
    if (it != table.end()) {
        texts = it->second;
    } else if (host) {
        // An address literal stands for itself, as with the real resolver.
        unsigned char probe[16];
        if (::inet_pton(AF_INET, host, probe) == 1 || ::inet_pton(AF_INET6, host, probe) == 1)
            texts.emplace_back(host);
    }
    if (texts.empty()) return WSAHOST_NOT_FOUND;
    addrinfo** tail = result;
    for (const std::string& text : texts) {
        auto* entry = new addrinfo{};
        if (text.find(':') != std::string::npos) {
            auto* a = new sockaddr_in6{};
            a->sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, text.c_str(), &a->sin6_addr);
            entry->ai_family = AF_INET6;
            entry->ai_addr = reinterpret_cast<sockaddr*>(a);
            entry->ai_addrlen = sizeof *a;
        } else {
            auto* a = new sockaddr_in{};
            a->sin_family = AF_INET;
            ::inet_pton(AF_INET, text.c_str(), &a->sin_addr);
            entry->ai_family = AF_INET;
            entry->ai_addr = reinterpret_cast<sockaddr*>(a);
            entry->ai_addrlen = sizeof *a;
        }
        *tail = entry;
        tail = &entry->ai_next;
    }
    return 0;
}

void TableResolver::FreeAddrInfo(addrinfo* list) {
    while (list) {
        addrinfo* next = list->ai_next;
        if (list->ai_family == AF_INET6)
            delete reinterpret_cast<sockaddr_in6*>(list->ai_addr);
        else
            delete reinterpret_cast<sockaddr_in*>(list->ai_addr);
        delete list;
        list = next;
    }
}

}  // namespace SocketTest
