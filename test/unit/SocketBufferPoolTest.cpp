// I/O buffers, the buffer pool and the completion-port pool.
#include <gtest/gtest.h>

#include <cstring>

#include "QuarloSocketIOBuffer.h"
#include "QuarloSocketIOPool.h"
#include "SocketTestSupport.h"

using namespace QuarloSocket;

TEST(IOBuffer, AppendTakesExactlyTheFreeSpaceAndRefusesOneByteMore) {
    CIOBuffer* b = CIOBuffer::NewOwned(8);
    ASSERT_TRUE(b->Append("abcd", 4));
    EXPECT_FALSE(b->Append("efghi", 5));  // nothing copied at all
    EXPECT_EQ(b->Used(), 4u);
    EXPECT_TRUE(b->Append("efgh", 4));
    EXPECT_EQ(std::memcmp(b->Data(), "abcdefgh", 8), 0);
    b->Release();
}

TEST(IOBuffer, ReleaseNeverGoesBelowZeroAndClearsTheChain) {
    CAllocator pool(64, 0);
    CIOBuffer* head = pool.Allocate();
    CIOBuffer* tail = pool.Allocate();
    head->SetChained(tail);
    head->Release();
    EXPECT_EQ(head->RefCount(), 0);
    EXPECT_EQ(head->Chained(), nullptr);
    EXPECT_EQ(tail->RefCount(), 0);
    head->Release();  // already 0: nothing changes
    EXPECT_EQ(head->RefCount(), 0);
    EXPECT_EQ(pool.FreeCount(), 2u);
}

TEST(BufferPool, KeepsAtMostTheMaximumFreeAndResetsReusedBuffers) {
    CAllocator pool(128, 10);
    std::vector<CIOBuffer*> taken;
    for (int i = 0; i < 11; ++i) taken.push_back(pool.Allocate());
    EXPECT_EQ(pool.InUseCount(), 11u);
    for (CIOBuffer* b : taken) {
        b->Append("xyz", 3);
        b->SetReadOffset(1);
        b->SetWriteOffset(2);
        b->Release();
    }
    EXPECT_EQ(pool.FreeCount(), 10u);  // the eleventh was freed
    EXPECT_EQ(pool.InUseCount(), 0u);

    CIOBuffer* again = pool.Allocate();
    EXPECT_EQ(again, taken[9]);  // a stack: the last one released comes first
    EXPECT_EQ(again->RefCount(), 1);
    EXPECT_EQ(again->Used(), 0u);
    EXPECT_EQ(again->ReadOffset(), 0u);
    EXPECT_EQ(again->WriteOffset(), 0u);
    EXPECT_EQ(again->WsaBuf()->len, 128u);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(again->WsaBuf()->buf), again->Data());
    again->Release();
}

TEST(IOPool, DefaultCountIsTwoPerProcessorAndStopJoinsEveryWorker) {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    CIOPool pool(0);
    EXPECT_EQ(pool.ThreadCount(), 2ull * info.dwNumberOfProcessors);

    // Never started: nothing is queued or associated, and the status fails.
    EXPECT_FALSE(pool.Post(1, 0, nullptr));
    EXPECT_FALSE(pool.Associate(INVALID_HANDLE_VALUE, 1));
    ULONG_PTR key = 0;
    DWORD bytes = 0, error = 0;
    OVERLAPPED* o = nullptr;
    EXPECT_FALSE(pool.GetStatus(&key, &bytes, &o, &error));

    pool.Start();
    pool.Start();  // a second start does nothing
    EXPECT_EQ(pool.RunningThreads(), pool.ThreadCount());
    pool.Stop();
    EXPECT_EQ(pool.RunningThreads(), 0u);
    EXPECT_FALSE(pool.Started());
    pool.Start();  // a stopped pool starts again with a new port
    EXPECT_EQ(pool.RunningThreads(), pool.ThreadCount());
    pool.Stop();
}

TEST(IOPool, FailedCompletionResetsTheConnectionUnlessItWasCancelled) {
    SocketTest::EnsureWinSock();
    SocketTest::ManualPool pool;
    SocketTest::RecordingSocket owner(&pool);
    for (DWORD error : {DWORD{ERROR_OPERATION_ABORTED}, DWORD{ERROR_NETNAME_DELETED}}) {
        SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
        CSocketConnection* c = owner.AllocateConnection(CSocketConnection::TypeTcp, s);
        ASSERT_NE(c, nullptr);
        const int resetsBefore = owner.resets.load();
        // A failed write completion: the owner still gets the packet, so the
        // operation's references are given back.
        CIOBuffer* b = CIOBuffer::NewOwned(16);
        b->Append("0123", 4);
        b->SetOperation(IO_Write_Completed);
        c->AddRef();  // the posted operation's reference
        DispatchCompletion(pool, reinterpret_cast<ULONG_PTR>(c), 0, b->Overlapped(), error, false);
        EXPECT_EQ(owner.resets.load() - resetsBefore, error == ERROR_OPERATION_ABORTED ? 0 : 1) << error;
        EXPECT_EQ(c->IsValid(), error == ERROR_OPERATION_ABORTED) << error;
        c->Release();
    }
}

TEST(IOPool, TheProcessPoolRunsFromStartUp) {
    // The process services start it before any test (as before the front door).
    CIOPool& pool = ProcessIOPool();
    EXPECT_TRUE(pool.Started());
    EXPECT_EQ(pool.RunningThreads(), pool.ThreadCount());
    EXPECT_EQ(&ProcessIOPool(), &pool);
}
