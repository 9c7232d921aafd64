// Fixtures of the socket tests: a completion pool pumped by hand, a socket
// owner that records its events, a scripted loopback peer and a time source
// whose waits run a test's step first.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QuarloIOCPSocket.h"
#include "SockAddr.h"
#include "DayLogTest.h"
#include "TestSupport.h"
#include "Timing.h"

namespace SocketTest {

// Starts WinSock once for the test program.
void EnsureWinSock();

// A completion pool without threads: posts are queued, real completions of
// associated sockets land on its own port, and the test runs each packet.
class ManualPool : public QuarloSocket::IIOPool {
public:
    ManualPool();
    ~ManualPool() override;
    bool Post(ULONG_PTR key, DWORD bytes, OVERLAPPED* overlapped) override;
    bool Associate(HANDLE handle, ULONG_PTR key) override;
    void OnThreadCreated() override {}
    void OnThreadDestroyed() override {}
    void OnBeforeDispatch() override {}
    void OnAfterDispatch() override {}
    bool GetStatus(ULONG_PTR* key, DWORD* bytes, OVERLAPPED** overlapped, DWORD* error) override;
    void Start() override {}
    void Stop() override {}

    // Runs the next packet (posted first, then real completions, waiting up
    // to timeoutMs for one); false when none came.
    bool PumpOne(DWORD timeoutMs = 5000);
    // Takes the next posted request and completes it at once with the given
    // result, as if the socket call had finished so.
    bool CompleteNextPosted(DWORD bytes, DWORD error);
    // Takes the next posted request as one whose socket call failed at once.
    bool FailNextPosted(DWORD error);
    size_t QueuedPosts();
    // The bytes a posted write request would send (empty when none is queued).
    std::string NextPostedBytes();

    bool failPosts = false;
    bool failAssociate = false;

private:
    struct Packet {
        ULONG_PTR key;
        DWORD bytes;
        OVERLAPPED* overlapped;
    };
    bool TakePosted(Packet& p);
    std::mutex m_mutex;
    std::deque<Packet> m_posted;
    HANDLE m_port;
    DWORD m_waitMs = 0;
};

// A socket owner that counts what connections report.
class RecordingSocket : public QuarloSocket::CIOCPClientSocket {
public:
    RecordingSocket(QuarloSocket::IIOPool* pool, size_t maxFreeConnections = 10)
        : CIOCPClientSocket(pool, maxFreeConnections, 10, 16384, 16) {}
    void ReadCompleted(QuarloSocket::CSocketConnection*, QuarloSocket::CIOBuffer*, DWORD) override {
        ++readsCompleted;
    }
    void WriteCompleted(QuarloSocket::CSocketConnection*, QuarloSocket::CIOBuffer*) override {
        ++writesCompleted;
    }
    void OnConnectionDropByRemotePeer(QuarloSocket::CSocketConnection*) override { ++drops; }
    void OnConnectionResetByRemotePeer(QuarloSocket::CSocketConnection*, uint32_t) override { ++resets; }
    void OnConnectionError(uint32_t, QuarloSocket::CSocketConnection*, QuarloSocket::CIOBuffer*,
                           uint32_t) override {
        ++errors;
    }
    std::atomic<int> readsCompleted{0}, writesCompleted{0}, drops{0}, resets{0}, errors{0};
};

// A loopback listener whose accepted peer runs a script on its own thread.
class ScriptedPeer {
public:
    using Script = std::function<void(SOCKET peer)>;
    ScriptedPeer();
    ~ScriptedPeer();
    uint16_t port() const { return m_port; }
    // 127.0.0.1 at the listener's port.
    QuarloSocket::SockAddr address() const;
    // Accepts one connection and runs the script on it (then closes it).
    void Run(Script script);
    // Accepts one connection on the caller's thread; the caller closes it.
    SOCKET AcceptOne();
    void Join();

    static void SendAll(SOCKET s, const std::string& bytes);
    static std::string RecvExactly(SOCKET s, size_t n);
    static void Reset(SOCKET s);  // zero linger close

private:
    SOCKET m_listen = INVALID_SOCKET;
    uint16_t m_port = 0;
    std::thread m_thread;
};

// Answers lookups from a table of literal addresses (a text with ':' is
// IPv6); an address literal stands for itself, any other host not in the
// table is not found. Records what was asked.
class TableResolver : public QuarloSocket::IResolver {
public:
    std::map<std::string, std::vector<std::string>> table;
    std::vector<std::string> asked;
    int GetAddrInfo(const char* host, const addrinfo* hints, addrinfo** result) override;
    void FreeAddrInfo(addrinfo* list) override;
    int GetHostIPv4(const char*, std::vector<uint32_t>&) override { return WSAHOST_NOT_FOUND; }
};

// A port on 127.0.0.1 where nobody listens.
uint16_t ClosedLoopbackPort();

// The bytes a buffer holds.
std::string BufferText(const QuarloSocket::CIOBuffer* buffer);
// Connects the owner to the listener and accepts the peer's end into *peer.
QuarloSocket::CSocketConnection* ConnectLoopback(QuarloSocket::CIOCPClientSocket& owner, ScriptedPeer& listener,
                                                 SOCKET* peer);
// Waits (bounded) until every connection of the owner has come back to it,
// so that no worker still holds one when the owner goes.
void WaitForConnections(QuarloSocket::CIOCPSocket& owner);

// Waits go to the hook when one is set, else to the real calls. The local
// time stands still (it names the day's log file).
class HookedTimeSource : public Timing::ITimeSource {
public:
    // The real wait, as the hook's default answer.
    static DWORD RealWait(DWORD count, const HANDLE* handles, DWORD ms) {
        return ::WaitForMultipleObjects(count, handles, FALSE, ms);
    }
    std::function<DWORD(DWORD count, const HANDLE* handles, DWORD ms)> onWaitAny;
    void Sleep(DWORD ms) override { ::Sleep(ms); }
    DWORD WaitForObject(HANDLE h, DWORD ms) override { return ::WaitForSingleObject(h, ms); }
    DWORD WaitForObjectsOrMessage(DWORD count, const HANDLE* handles, DWORD ms, DWORD mask) override {
        return ::MsgWaitForMultipleObjects(count, handles, FALSE, ms, mask);
    }
    DWORD WaitForAnyObject(DWORD count, const HANDLE* handles, DWORD ms) override {
        if (onWaitAny) return onWaitAny(count, handles, ms);
        return ::WaitForMultipleObjects(count, handles, FALSE, ms);
    }
    ULONGLONG TickCount() override { return ::GetTickCount64(); }
    void LocalTime(SYSTEMTIME* t) override { *t = m_time; }

private:
    SYSTEMTIME m_time = TestSupport::MakeTime(2032, 5, 1, 10, 0, 0, 0);
};

// A test whose log goes to a day of its own and is read back; its waits
// run through the hookable time source.
class SocketLogTest : public TestSupport::DayLogTest {
protected:
    SocketLogTest() : DayLogTest(&m_clock, L"2032-05-01") {}  // the clock's day
    void SetUp() override;

    HookedTimeSource m_clock;
};

}  // namespace SocketTest
