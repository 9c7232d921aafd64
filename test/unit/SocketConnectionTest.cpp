// Socket connections: the hand-over between a blocked reader or writer and
// the completion worker, stepped by hand through a pool without threads, and
// the same operations over the real pool with a loopback peer.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstring>
#include <string>

#include "IOCPDataTransport.h"
#include "QuarloIOCPSocket.h"
#include "SocketTestSupport.h"
#include "TestSupport.h"

using namespace QuarloSocket;
using SocketTest::BufferText;
using SocketTest::HookedTimeSource;
using SocketTest::ManualPool;
using SocketTest::RecordingSocket;
using SocketTest::ScriptedPeer;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// One connection of a hand-pumped pool to a loopback peer whose socket the
// test drives itself.
class HandOverTest : public SocketTest::SocketLogTest {
protected:
    void SetUp() override {
        SocketLogTest::SetUp();
        m_connection = SocketTest::ConnectLoopback(m_owner, m_listener, &m_peer);
        ASSERT_NE(m_connection, nullptr);
    }
    void TearDown() override {
        m_clock.onWaitAny = nullptr;
        if (m_connection) {
            m_connection->Close();
            while (m_pool.PumpOne(200)) {
            }
            m_connection->Release();
        }
        while (m_pool.PumpOne(0)) {
        }
        if (m_peer != INVALID_SOCKET) ::closesocket(m_peer);
        SocketLogTest::TearDown();
    }

    // A ReadSync whose wait first runs `step`, then answers `answer`.
    SyncIOStatus ReadWith(size_t max, std::string& got, std::function<void()> step, DWORD answer,
                          HANDLE cancel = nullptr) {
        bool first = true;
        m_clock.onWaitAny = [&, step, answer](DWORD count, const HANDLE* handles, DWORD ms) {
            if (!first) return HookedTimeSource::RealWait(count, handles, ms);
            first = false;
            m_readerEvent = handles[0];
            step();
            return answer;
        };
        CIOBuffer* out = nullptr;
        const SyncIOStatus status = m_connection->ReadSync(max, &out, 1000, cancel);
        m_clock.onWaitAny = nullptr;
        got = out ? BufferText(out) : std::string();
        if (out) out->Release();
        return status;
    }
    void PeerSends(const std::string& bytes) { ScriptedPeer::SendAll(m_peer, bytes); }

    ManualPool m_pool;
    RecordingSocket m_owner{&m_pool};
    ScriptedPeer m_listener;
    CSocketConnection* m_connection = nullptr;
    SOCKET m_peer = INVALID_SOCKET;
    HANDLE m_readerEvent = nullptr;  // the event the reader waits on
};

}  // namespace

TEST_F(HandOverTest, ReadAbandonedBeforeItsCompletionIsKeptAsLateDataAndServedFirstInOrder) {
    std::string got;
    // The worker issues the read; the reader's wait times out before any byte.
    EXPECT_EQ(ReadWith(16, got, [&] { ASSERT_TRUE(m_pool.PumpOne()); }, WAIT_TIMEOUT), SyncIO_Timeout);
    EXPECT_EQ(got, "");
    EXPECT_THAT(LogText(), HasSubstr("ReadSync: timeout.\r\n"));

    // The bytes arrive after the reader gave up: the worker keeps them.
    PeerSends("late-bytes");
    ASSERT_TRUE(m_pool.PumpOne());
    EXPECT_EQ(m_connection->LateData(), "late-bytes");
    EXPECT_FALSE(m_connection->SyncReadPending());
    EXPECT_THAT(LogText(), HasSubstr("collect timeout sync read data\r\n"));

    // A read no larger than the late data is served without posting a read.
    CIOBuffer* out = nullptr;
    ASSERT_EQ(m_connection->ReadSync(4, &out, 1000, nullptr), SyncIO_Done);
    EXPECT_EQ(BufferText(out), "late");
    out->Release();
    EXPECT_EQ(m_pool.QueuedPosts(), 0u);

    // The rest comes next, at once: with bytes in hand nothing waits for more.
    m_clock.onWaitAny = [](DWORD, const HANDLE*, DWORD) -> DWORD {
        ADD_FAILURE() << "waited with bytes in hand";
        return WAIT_TIMEOUT;
    };
    ASSERT_EQ(m_connection->ReadSync(16, &out, INFINITE, nullptr), SyncIO_Done);
    m_clock.onWaitAny = nullptr;
    EXPECT_EQ(BufferText(out), "-bytes");
    out->Release();
    EXPECT_EQ(m_pool.QueuedPosts(), 0u);
    EXPECT_EQ(m_connection->LateDataLength(), 0u);

    // Then new bytes are read again.
    PeerSends("new");
    EXPECT_EQ(ReadWith(16, got, [&] { ASSERT_TRUE(m_pool.PumpOne()); ASSERT_TRUE(m_pool.PumpOne()); },
                       WAIT_OBJECT_0),
              SyncIO_Done);
    EXPECT_EQ(got, "new");
    EXPECT_EQ(m_owner.readsCompleted.load(), 0);  // nothing went past the reader
}

TEST_F(HandOverTest, ReaderThatGivesUpAfterTheWorkerCompletedReturnsTheBytes) {
    std::string got;
    // The worker completes the read, then the reader's wait ends by time-out:
    // the reader comes second and owns the bytes.
    const SyncIOStatus status = ReadWith(
        16, got,
        [&] {
            ASSERT_TRUE(m_pool.PumpOne());
            PeerSends("abc");
            ASSERT_TRUE(m_pool.PumpOne());
        },
        WAIT_TIMEOUT);
    EXPECT_EQ(status, SyncIO_Done);
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(m_connection->LateDataLength(), 0u);
    EXPECT_THAT(LogText(), Not(HasSubstr("collect timeout sync read data")));
    EXPECT_THAT(LogText(), Not(HasSubstr("ReadSync: timeout.")));
}

TEST_F(HandOverTest, LargeReadsReuseOnePooledBufferThatRemembersNoEarlierRead) {
    std::string got;
    // A large read times out; its buffer comes back to the pool only once the
    // worker has kept its bytes as late data.
    EXPECT_EQ(ReadWith(kSyncReadBufferSize, got, [&] { ASSERT_TRUE(m_pool.PumpOne()); }, WAIT_TIMEOUT),
              SyncIO_Timeout);
    PeerSends("late");
    ASSERT_TRUE(m_pool.PumpOne());
    ASSERT_EQ(ReadWith(kSyncReadBufferSize, got, [] {}, WAIT_TIMEOUT), SyncIO_Done);
    EXPECT_EQ(got, "late");

    // The next large read gets that buffer again, and a wake-up before its own
    // bytes arrived does not end it: it waits for them.
    int waits = 0;
    m_clock.onWaitAny = [&](DWORD, const HANDLE*, DWORD) -> DWORD {
        if (++waits == 1) {
            EXPECT_TRUE(m_pool.PumpOne());  // the read is issued; nothing has come yet
        } else {
            PeerSends("fresh");
            EXPECT_TRUE(m_pool.PumpOne());
        }
        return WAIT_OBJECT_0;
    };
    CIOBuffer* first = nullptr;
    ASSERT_EQ(m_connection->ReadSync(kSyncReadBufferSize + 1, &first, 1000, nullptr), SyncIO_Done);
    m_clock.onWaitAny = nullptr;
    EXPECT_EQ(waits, 2);
    EXPECT_EQ(BufferText(first), "fresh");
    EXPECT_EQ(first->Kind(), CIOBuffer::KindPooled);
    EXPECT_EQ(first->Capacity(), kSyncReadBufferSize);
    CIOBuffer* const reused = first;
    first->Release();

    PeerSends("again");
    CIOBuffer* second = nullptr;
    m_clock.onWaitAny = [&](DWORD, const HANDLE*, DWORD) -> DWORD {
        EXPECT_TRUE(m_pool.PumpOne());
        EXPECT_TRUE(m_pool.PumpOne());
        return WAIT_OBJECT_0;
    };
    ASSERT_EQ(m_connection->ReadSync(kSyncReadBufferSize, &second, 1000, nullptr), SyncIO_Done);
    m_clock.onWaitAny = nullptr;
    EXPECT_EQ(second, reused);
    EXPECT_EQ(BufferText(second), "again");
    second->Release();

    // Smaller reads keep buffers of their own size.
    PeerSends("small");
    EXPECT_EQ(ReadWith(16, got, [&] { ASSERT_TRUE(m_pool.PumpOne()); ASSERT_TRUE(m_pool.PumpOne()); },
                       WAIT_OBJECT_0),
              SyncIO_Done);
    EXPECT_EQ(got, "small");
}

TEST_F(HandOverTest, EveryWayOfGivingUpLeavesTheBytesForTheNextRead) {
    Owners::UniqueHandle cancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    struct Row {
        DWORD answer;
        SyncIOStatus status;
        const char* line;
    } rows[] = {
        {WAIT_TIMEOUT, SyncIO_Timeout, "ReadSync: timeout.\r\n"},
        {WAIT_OBJECT_0 + 1, SyncIO_Cancelled, "ReadSync: cancelled.\r\n"},
        {WAIT_FAILED, SyncIO_WaitFailed, "ReadSync: generic error.\r\n"},
    };
    int round = 0;
    for (const Row& row : rows) {
        std::string got;
        EXPECT_EQ(ReadWith(8, got, [&] { ASSERT_TRUE(m_pool.PumpOne()); }, row.answer, cancel.get()), row.status)
            << row.line;
        EXPECT_THAT(LogText(), HasSubstr(row.line));
        const std::string bytes = "round" + std::to_string(++round);
        PeerSends(bytes);
        ASSERT_TRUE(m_pool.PumpOne());
        CIOBuffer* out = nullptr;
        ASSERT_EQ(m_connection->ReadSync(bytes.size(), &out, 1000, nullptr), SyncIO_Done) << row.line;
        EXPECT_EQ(BufferText(out), bytes);
        out->Release();
    }
}

TEST_F(HandOverTest, ASecondReadWaitsForTheAbandonedOneAndPostsNothing) {
    std::string got;
    EXPECT_EQ(ReadWith(16, got, [&] { ASSERT_TRUE(m_pool.PumpOne()); }, WAIT_TIMEOUT), SyncIO_Timeout);
    // The first read is still out: the next one times out at once.
    CIOBuffer* out = nullptr;
    EXPECT_EQ(m_connection->ReadSync(16, &out, 20, nullptr), SyncIO_Timeout);
    EXPECT_EQ(out, nullptr);
    EXPECT_THAT(LogText(), HasSubstr("Wait last sync read time out\r\n"));
    EXPECT_EQ(m_pool.QueuedPosts(), 0u);
    EXPECT_EQ(m_connection->PendingReads(), 1);

    PeerSends("x");
    ASSERT_TRUE(m_pool.PumpOne());
    ASSERT_EQ(m_connection->ReadSync(1, &out, 1000, nullptr), SyncIO_Done);
    EXPECT_EQ(BufferText(out), "x");
    out->Release();
    EXPECT_EQ(m_connection->PendingReads(), 0);
}

TEST_F(HandOverTest, AWriteErrorNeverWakesAReaderWhoseReadIsStillOut) {
    // WSAESHUTDOWN from a real send on a shut socket, and two errors that go
    // to the owner.
    struct Row {
        DWORD error;
        int ownerErrors;
    } rows[] = {{WSAESHUTDOWN, 0}, {WSAECONNABORTED, 1}, {WSAENETRESET, 1}};
    for (const Row& row : rows) {
        const int errorsBefore = m_owner.errors.load();
        DWORD readerEvent = WAIT_FAILED;
        std::string got;
        const SyncIOStatus status = ReadWith(
            16, got,
            [&] {
                ASSERT_TRUE(m_pool.PumpOne());  // the read is issued and stays out
                CIOBuffer* write = CIOBuffer::NewOwned(4);
                write->Append("ping", 4);
                if (row.error == WSAESHUTDOWN) {
                    ::shutdown(m_connection->Socket(), SD_SEND);
                    ASSERT_TRUE(m_connection->Write(write));
                    ASSERT_TRUE(m_pool.PumpOne());  // the send fails at once
                } else {
                    ASSERT_TRUE(m_connection->Write(write));
                    ASSERT_TRUE(m_pool.FailNextPosted(row.error));
                }
                write->Release();
                readerEvent = ::WaitForSingleObject(m_readerEvent, 0);
            },
            WAIT_TIMEOUT);
        EXPECT_EQ(readerEvent, static_cast<DWORD>(WAIT_TIMEOUT)) << "the reader was woken, error " << row.error;
        EXPECT_EQ(status, SyncIO_Timeout) << row.error;
        EXPECT_EQ(m_owner.errors.load() - errorsBefore, row.ownerErrors) << row.error;
        EXPECT_EQ(m_connection->PendingReads(), 1) << row.error;
        EXPECT_EQ(m_connection->PendingWrites(), 0) << row.error;

        // The read that was out completes as the next read's first bytes.
        PeerSends("data");
        ASSERT_TRUE(m_pool.PumpOne());
        CIOBuffer* out = nullptr;
        ASSERT_EQ(m_connection->ReadSync(4, &out, 1000, nullptr), SyncIO_Done) << row.error;
        EXPECT_EQ(BufferText(out), "data");
        out->Release();
        EXPECT_EQ(m_pool.QueuedPosts(), 0u);
        if (row.error == WSAESHUTDOWN) {
            EXPECT_THAT(LogText(), HasSubstr("WSAESHUTDOWN recved \r\n"));
        }
    }
}

TEST_F(HandOverTest, AnAbandonedWriteSendsTheCallersOriginalBytes) {
    char bytes[] = "original";
    size_t written = 99;
    m_clock.onWaitAny = [](DWORD, const HANDLE*, DWORD) -> DWORD { return WAIT_TIMEOUT; };
    EXPECT_EQ(m_connection->WriteSync(bytes, 8, &written, 1000, nullptr), SyncIO_Timeout);
    m_clock.onWaitAny = nullptr;
    EXPECT_EQ(written, 0u);
    EXPECT_THAT(LogText(), HasSubstr("WriteSync: timeout.\r\n"));
    std::memset(bytes, 'X', 8);  // the caller reuses its memory at once

    ASSERT_TRUE(m_pool.PumpOne());  // the worker issues the abandoned write
    ASSERT_TRUE(m_pool.PumpOne());  // and completes it; nobody waits any more
    EXPECT_EQ(ScriptedPeer::RecvExactly(m_peer, 8), "original");
    EXPECT_EQ(m_owner.writesCompleted.load(), 1);
    EXPECT_EQ(m_connection->PendingWrites(), 0);
}

TEST_F(HandOverTest, AWriterWhoseWaitEndsAfterTheWorkerFinishedGetsTheResult) {
    size_t written = 0;
    m_clock.onWaitAny = [&](DWORD, const HANDLE*, DWORD) -> DWORD {
        EXPECT_TRUE(m_pool.PumpOne());
        EXPECT_TRUE(m_pool.PumpOne());
        return WAIT_TIMEOUT;
    };
    EXPECT_EQ(m_connection->WriteSync("result", 6, &written, 1000, nullptr), SyncIO_Done);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(m_owner.writesCompleted.load(), 0);
    EXPECT_EQ(ScriptedPeer::RecvExactly(m_peer, 6), "result");
}

TEST_F(HandOverTest, WriteResultsKeepTheirRealCountAndError) {
    struct Row {
        DWORD bytes;
        DWORD error;
        SyncIOStatus status;
        size_t written;
        const char* line;
    } rows[] = {
        {10, 0, SyncIO_Done, 10, nullptr},
        {3, 0, SyncIO_Done, 3, "IO_Write_Completed, type: 0, l4 id: 0, writed 3, need to write: 10\r\n"},
        {0, WSAECONNABORTED, SyncIO_Error, 0, "connection error 10053.\r\n"},
        {0, 0, SyncIO_Closed, 0, nullptr},
    };
    for (const Row& row : rows) {
        // Each row on a connection of its own: a failed completion resets it.
        CSocketConnection* c = m_owner.Connect(m_listener.address(), nullptr);
        ASSERT_NE(c, nullptr);
        SOCKET peer = m_listener.AcceptOne();
        size_t written = 77;
        m_clock.onWaitAny = [&](DWORD count, const HANDLE* handles, DWORD) {
            EXPECT_EQ(m_pool.NextPostedBytes(), "0123456789");
            EXPECT_TRUE(m_pool.CompleteNextPosted(row.bytes, row.error));
            return m_clock.RealWait(count, handles, 0);
        };
        EXPECT_EQ(c->WriteSync("0123456789", 10, &written, 1000, nullptr), row.status) << row.bytes;
        m_clock.onWaitAny = nullptr;
        EXPECT_EQ(written, row.written) << row.bytes;
        if (row.line) {
            EXPECT_THAT(LogText(), HasSubstr(row.line));
        }
        EXPECT_EQ(c->PendingWrites(), 0);
        c->Release();
        ::closesocket(peer);
    }
}

// The plain transport tells the peer's orderly close (code 0, the end of a
// stream) from every other ending of a read.
TEST_F(HandOverTest, PlainReadsLeaveACodeForEveryEndingButThePeersClose) {
    struct Row {
        const char* name;
        DWORD error;     // of the read's completion
        bool timeOut;    // the wait ends first
        uint32_t code;
    } rows[] = {
        {"orderly close", 0, false, TransportError_None},
        {"reset", WSAECONNRESET, false, TransportError_ConnectionFailed},
        {"aborted", WSAECONNABORTED, false, TransportError_ConnectionFailed},
        {"time-out", 0, true, TransportError_Timeout},
    };
    for (const Row& row : rows) {
        CSocketConnection* c = m_owner.Connect(m_listener.address(), nullptr);
        ASSERT_NE(c, nullptr);
        SOCKET peer = m_listener.AcceptOne();
        CIOCPDataTransport* transport = new CIOCPDataTransport(c);
        m_clock.onWaitAny = [&](DWORD count, const HANDLE* handles, DWORD) -> DWORD {
            if (row.timeOut) return WAIT_TIMEOUT;
            EXPECT_TRUE(m_pool.CompleteNextPosted(0, row.error));
            return m_clock.RealWait(count, handles, 1000);
        };
        CIOBuffer* out = nullptr;
        EXPECT_FALSE(transport->ReceiveDataSync(16, &out, 1000)) << row.name;
        m_clock.onWaitAny = nullptr;
        EXPECT_EQ(transport->GetLastError(), row.code) << row.name;
        transport->Close();
        while (m_pool.PumpOne(200)) {
        }
        transport->Release();
        c->Release();
        ::closesocket(peer);
    }
}

TEST_F(HandOverTest, FailedPostsEndTheBlockingCallsAtOnce) {
    m_pool.failPosts = true;
    m_clock.onWaitAny = [](DWORD, const HANDLE*, DWORD) -> DWORD {
        ADD_FAILURE() << "nothing was posted, so nothing may be waited for";
        return WAIT_FAILED;
    };
    CIOBuffer* out = nullptr;
    EXPECT_EQ(m_connection->ReadSync(16, &out, INFINITE, nullptr), SyncIO_Error);
    EXPECT_THAT(LogText(), HasSubstr("socket disconnected.\r\n"));
    EXPECT_FALSE(m_connection->SyncReadPending());
    EXPECT_EQ(m_connection->PendingReads(), 0);
    size_t written = 5;
    EXPECT_EQ(m_connection->WriteSync("abc", 3, &written, INFINITE, nullptr), SyncIO_Error);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(m_connection->PendingWrites(), 0);
    EXPECT_EQ(m_connection->RefCount(), 1);  // the failed posts gave their references back
    m_pool.failPosts = false;
}

TEST_F(HandOverTest, AFullBufferIsRefusedAndNeverPassesForThePeersClose) {
    CIOBuffer* full = CIOBuffer::NewOwned(4);
    full->Append("full", 4);
    ASSERT_TRUE(m_connection->Read(full));
    full->Release();
    ASSERT_TRUE(m_pool.PumpOne());
    EXPECT_EQ(m_owner.drops.load(), 0);
    EXPECT_EQ(m_owner.errors.load(), 1);
    EXPECT_EQ(m_connection->PendingReads(), 0);
    EXPECT_TRUE(m_connection->IsValid());
}

TEST_F(HandOverTest, TheWorkerHandlesNoBufferAndUnknownOperationsByTheLogOnly) {
    m_owner.HandleOperation(m_connection, nullptr, 0, 0);
    EXPECT_THAT(LogText(), HasSubstr("CIOCPSocket::HandleOperation() - Unexpected - pBuffer is 0\r\n"));
    CIOBuffer* odd = CIOBuffer::NewOwned(4);
    odd->SetOperation(static_cast<IOOperation>(6));
    m_owner.HandleOperation(m_connection, odd, 0, 0);
    EXPECT_THAT(LogText(), HasSubstr("CIOCPSocket::HandleOperation() - Unexpected operation\r\n"));
    EXPECT_EQ(odd->RefCount(), 1);
    EXPECT_EQ(m_connection->RefCount(), 1);
    odd->Release();
}

TEST(SocketOwner, AConnectionThatCannotJoinThePortIsRefusedAndItsSocketClosed) {
    SocketTest::EnsureWinSock();
    ManualPool pool;
    pool.failAssociate = true;
    RecordingSocket owner(&pool);
    ScriptedPeer listener;
    EXPECT_EQ(owner.Connect(listener.address(), nullptr), nullptr);
    SOCKET peer = listener.AcceptOne();
    char byte = 0;
    EXPECT_LE(::recv(peer, &byte, 1, 0), 0);  // the peer sees the connection end
    ::closesocket(peer);
    EXPECT_EQ(owner.InUseConnectionCount(), 0u);
    EXPECT_EQ(owner.FreeConnectionCount(), 1u);

    // A pool that never started has no port: nothing can join it.
    CIOPool stopped(1);
    RecordingSocket orphan(&stopped);
    EXPECT_EQ(orphan.Connect(listener.address(), nullptr), nullptr);
    ::closesocket(listener.AcceptOne());
}

TEST(SocketOwner, ConnectToARefusingPortLeavesNoSocket) {
    SocketTest::EnsureWinSock();
    ManualPool pool;
    RecordingSocket owner(&pool);
    const SockAddr closed(SockAddrPort(SocketTest::ClosedLoopbackPort()), SockAddrHost("127.0.0.1"), AF_INET);
    EXPECT_EQ(owner.Connect(closed, nullptr), nullptr);
    EXPECT_EQ(owner.InUseConnectionCount() + owner.FreeConnectionCount(), 0u);
}

TEST(SocketOwner, ReleasedConnectionsAreResetAndReusedUpToTheFreeLimit) {
    SocketTest::EnsureWinSock();
    ManualPool pool;
    RecordingSocket owner(&pool, 1);
    ScriptedPeer listener;
    CSocketConnection* first = owner.Connect(listener.address(), nullptr);
    CSocketConnection* second = owner.Connect(listener.address(), nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    SOCKET peer1 = listener.AcceptOne();
    SOCKET peer2 = listener.AcceptOne();
    first->UserData().SetNumber(1, 42);
    first->UserData().SetString(1, "host");
    CIOBuffer* out = nullptr;
    ScriptedPeer::SendAll(peer1, "tail");
    HookedTimeSource clock;
    clock.onWaitAny = [&](DWORD, const HANDLE*, DWORD) -> DWORD {
        EXPECT_TRUE(pool.PumpOne());
        return WAIT_TIMEOUT;
    };
    {
        const TestSupport::ScopedHook hooked(Timing::SetSourceForTest, &clock);
        EXPECT_EQ(first->ReadSync(16, &out, 1000, nullptr), SyncIO_Timeout);
    }
    ASSERT_TRUE(pool.PumpOne());  // the abandoned read's bytes become late data
    ASSERT_EQ(first->LateData(), "tail");

    first->Release();  // still open: closed, kept for reuse
    EXPECT_EQ(owner.FreeConnectionCount(), 1u);
    EXPECT_FALSE(first->IsValid());
    second->Release();  // the free list is full: deleted
    EXPECT_EQ(owner.FreeConnectionCount(), 1u);
    EXPECT_EQ(owner.InUseConnectionCount(), 0u);

    CSocketConnection* reused = owner.Connect(listener.address(), nullptr);
    ASSERT_EQ(reused, first);
    EXPECT_EQ(reused->RefCount(), 1);
    EXPECT_EQ(reused->PendingReads(), 0);
    EXPECT_EQ(reused->PendingWrites(), 0);
    EXPECT_FALSE(reused->ReadShut());
    EXPECT_FALSE(reused->WriteShut());
    EXPECT_FALSE(reused->SyncReadPending());
    EXPECT_EQ(reused->LateDataLength(), 0u);
    EXPECT_EQ(reused->UserData().Number(1), 0u);
    EXPECT_EQ(reused->UserData().GetString(1), "");
    SOCKET peer3 = listener.AcceptOne();
    // The reused connection works under its new socket.
    ScriptedPeer::SendAll(peer3, "fresh");
    clock.onWaitAny = [&](DWORD count, const HANDLE* handles, DWORD) {
        EXPECT_TRUE(pool.PumpOne());
        EXPECT_TRUE(pool.PumpOne());
        return HookedTimeSource::RealWait(count, handles, 0);
    };
    {
        const TestSupport::ScopedHook hooked(Timing::SetSourceForTest, &clock);
        ASSERT_EQ(reused->ReadSync(16, &out, 1000, nullptr), SyncIO_Done);
    }
    EXPECT_EQ(BufferText(out), "fresh");
    out->Release();
    reused->Release();
    for (SOCKET s : {peer1, peer2, peer3}) ::closesocket(s);
}

TEST(SocketOwner, AHandleConnectionReadsIntoTheFreePartOfItsBuffer) {
    TestSupport::TempDir dir;
    const std::wstring path = dir.File(L"device.bin");
    {
        Owners::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), "device", 6, &written, nullptr));
    }
    ManualPool pool;
    RecordingSocket owner(&pool);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CSocketConnection* c = owner.AllocateConnection(file);
    ASSERT_NE(c, nullptr);
    CIOBuffer* b = CIOBuffer::NewOwned(16);
    b->Append("ab", 2);
    ASSERT_TRUE(c->Read(b));
    ASSERT_TRUE(pool.PumpOne());  // issued after the two bytes already there
    ASSERT_TRUE(pool.PumpOne());  // completed
    EXPECT_EQ(owner.readsCompleted.load(), 1);
    EXPECT_EQ(BufferText(b), "abdevice");
    b->Release();
    c->Release();  // closes the handle
    EXPECT_FALSE(c->IsValid());
}

TEST(SocketOwner, AReadOrWriteThatCannotBeIssuedFailsInsteadOfVanishing) {
    SocketTest::EnsureWinSock();
    ManualPool pool;
    RecordingSocket owner(&pool);
    SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    CSocketConnection* c = owner.AllocateConnection(CSocketConnection::TypeOther, s);
    ASSERT_NE(c, nullptr);
    HookedTimeSource clock;
    clock.onWaitAny = [&](DWORD count, const HANDLE* handles, DWORD) {
        EXPECT_TRUE(pool.PumpOne());
        return HookedTimeSource::RealWait(count, handles, 0);
    };
    CIOBuffer* out = nullptr;
    size_t written = 9;
    {
        const TestSupport::ScopedHook hooked(Timing::SetSourceForTest, &clock);
        EXPECT_EQ(c->ReadSync(16, &out, INFINITE, nullptr), SyncIO_Error);
        EXPECT_EQ(c->WriteSync("abc", 3, &written, INFINITE, nullptr), SyncIO_Error);
    }
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(owner.errors.load(), 2);
    EXPECT_EQ(c->PendingReads(), 0);
    EXPECT_EQ(c->PendingWrites(), 0);
    c->Release();
}

TEST(SocketOwner, TheLastReleaseOfAnOpenConnectionResetsThePeer) {
    SocketTest::EnsureWinSock();
    ManualPool pool;
    RecordingSocket owner(&pool);
    ScriptedPeer listener;
    CSocketConnection* c = owner.Connect(listener.address(), nullptr);
    ASSERT_NE(c, nullptr);
    SOCKET peer = listener.AcceptOne();
    c->Release();
    char byte = 0;
    const int got = ::recv(peer, &byte, 1, 0);
    const int error = ::WSAGetLastError();
    ::closesocket(peer);
    if (got == 0) {
        GTEST_SKIP() << "Wine closes a socket with a zero linger time gracefully: the peer sees no reset";
    }
    EXPECT_EQ(got, SOCKET_ERROR);
    EXPECT_EQ(error, WSAECONNRESET);
}

// Over the real pool: the workers complete everything on their own threads.
class RealPoolConnectionTest : public SocketTest::SocketLogTest {
protected:
    void SetUp() override {
        SocketLogTest::SetUp();
        m_connection = SocketTest::ConnectLoopback(m_owner, m_listener, &m_peer);
        ASSERT_NE(m_connection, nullptr);
    }
    void TearDown() override {
        if (m_connection) m_connection->Release();
        if (m_peer != INVALID_SOCKET) ::closesocket(m_peer);
        SocketTest::WaitForConnections(m_owner);  // completions of the closing
        m_pool.Stop();
        SocketLogTest::TearDown();
    }
    std::string Read(size_t max, SyncIOStatus expected, DWORD timeoutMs = 10000) {
        CIOBuffer* out = nullptr;
        EXPECT_EQ(m_connection->ReadSync(max, &out, timeoutMs, nullptr), expected);
        std::string text = out ? BufferText(out) : std::string();
        if (out) out->Release();
        return text;
    }

    CIOPool m_pool{2};
    RecordingSocket m_owner{[this] {
        m_pool.Start();
        return &m_pool;
    }()};
    ScriptedPeer m_listener;
    CSocketConnection* m_connection = nullptr;
    SOCKET m_peer = INVALID_SOCKET;
};

TEST_F(RealPoolConnectionTest, BytesAfterATimeOutComeFirstAndInOrder) {
    EXPECT_EQ(Read(64, SyncIO_Timeout, 50), "");
    ScriptedPeer::SendAll(m_peer, "first");
    // Whether the late bytes are already kept or still arriving, nothing is
    // lost or reordered.
    std::string got;
    while (got.size() < 5) got += Read(64, SyncIO_Done);
    ScriptedPeer::SendAll(m_peer, "second");
    while (got.size() < 11) got += Read(64, SyncIO_Done);
    EXPECT_EQ(got, "firstsecond");
}

TEST_F(RealPoolConnectionTest, APeerThatClosesEndsEveryReadAsClosedAndIsReportedOnce) {
    ScriptedPeer::SendAll(m_peer, "bye");
    ::shutdown(m_peer, SD_SEND);
    EXPECT_EQ(Read(64, SyncIO_Done), "bye");
    EXPECT_EQ(Read(64, SyncIO_Closed), "");
    EXPECT_EQ(Read(64, SyncIO_Closed), "");
    EXPECT_EQ(m_owner.drops.load(), 1);
    EXPECT_THAT(LogText(), HasSubstr("socket connection closed.\r\n"));
}

TEST_F(RealPoolConnectionTest, APeerResetFailsTheWriteAndClosesTheConnection) {
    // A peer that closes with bytes it never read resets the connection (its
    // close arrives first, then the reset).
    ASSERT_EQ(m_connection->WriteSync("unread", 6, nullptr, 10000, nullptr), SyncIO_Done);
    char peek[6];
    ASSERT_EQ(::recv(m_peer, peek, sizeof peek, MSG_PEEK), 6);
    ::closesocket(m_peer);
    m_peer = INVALID_SOCKET;
    EXPECT_EQ(Read(64, SyncIO_Closed), "");
    SyncIOStatus status = SyncIO_Done;
    for (int i = 0; i < 200 && status == SyncIO_Done; ++i) {
        status = m_connection->WriteSync("x", 1, nullptr, 10000, nullptr);
        if (status == SyncIO_Done) ::Sleep(10);
    }
    EXPECT_EQ(status, SyncIO_Error);
    EXPECT_FALSE(m_connection->IsValid());
    EXPECT_GE(m_owner.resets.load(), 1);
    EXPECT_EQ(m_owner.drops.load(), 1);
    EXPECT_THAT(LogText(), HasSubstr("connection error 10054.\r\n"));
    // Closed: later calls fail at once.
    EXPECT_EQ(Read(64, SyncIO_Error), "");
    EXPECT_EQ(m_connection->WriteSync("x", 1, nullptr, 1000, nullptr), SyncIO_Error);
    EXPECT_THAT(LogText(), HasSubstr("connection error.\r\n"));
}

TEST_F(RealPoolConnectionTest, WritesLeaveInTheOrderTheyCameEvenWhenTheirCallersGaveUp) {
    // Many writes whose callers stop waiting at once or after a millisecond:
    // the abandoned ones are still out when the next ones come, and two
    // workers take the requests.
    constexpr int kBlocks = 400;
    constexpr size_t kBlock = 8 * 1024;
    std::string expected;
    expected.reserve(kBlocks * kBlock);
    std::string block(kBlock, '\0');
    for (int i = 0; i < kBlocks; ++i) {
        for (size_t j = 0; j < kBlock; ++j) block[j] = static_cast<char>((i * 7 + j / 1024) & 0xFF);
        std::memcpy(block.data(), &i, sizeof i);  // the block's number leads it
        const SyncIOStatus status = m_connection->WriteSync(block.data(), block.size(), nullptr, i % 2, nullptr);
        ASSERT_TRUE(status == SyncIO_Done || status == SyncIO_Timeout) << i << " " << status;
        expected += block;
    }
    const std::string got = ScriptedPeer::RecvExactly(m_peer, expected.size());
    ASSERT_EQ(got.size(), expected.size());
    for (int i = 0; i < kBlocks; ++i) {
        int number = -1;
        std::memcpy(&number, got.data() + static_cast<size_t>(i) * kBlock, sizeof number);
        ASSERT_EQ(number, i) << "block " << i << " came out of its place";
    }
    EXPECT_TRUE(got == expected);
}

TEST_F(RealPoolConnectionTest, AStalledPeerTimesTheWriteOutAndStillGetsTheOriginalBytes) {
    // Fill the path until a write cannot complete in time, then poison the
    // caller's buffer: what the peer finally reads is what was written.
    std::string block(256 * 1024, '\0');
    std::string sent;
    int timedOut = 0;
    for (int i = 0; i < 64 && !timedOut; ++i) {
        std::memset(block.data(), 'a' + i % 26, block.size());
        size_t written = 0;
        const SyncIOStatus status = m_connection->WriteSync(block.data(), block.size(), &written, 100, nullptr);
        if (status == SyncIO_Timeout) {
            timedOut = 1;
            sent += block;  // in flight: it still goes out whole
        } else {
            ASSERT_EQ(status, SyncIO_Done);
            sent += block.substr(0, written);
        }
        std::memset(block.data(), '!', block.size());
    }
    ASSERT_EQ(timedOut, 1) << "the peer never stalled the writes";
    EXPECT_EQ(ScriptedPeer::RecvExactly(m_peer, sent.size()), sent);
}
