// The tunnel transport interface and the plain socket transport.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "IOCPDataTransport.h"
#include "SocketTestSupport.h"
#include "TestSupport.h"
#include "TransportDoubles.h"
#include "TunnelDataTransport.h"

using namespace QuarloSocket;
using SocketTest::BufferText;
using SocketTest::HookedTimeSource;
using SocketTest::ManualPool;
using SocketTest::RecordingSocket;
using SocketTest::ScriptedPeer;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class TransportTest : public SocketTest::SocketLogTest {
protected:
    void TearDown() override {
        m_clock.onWaitAny = nullptr;
        while (m_pool.PumpOne(100)) {
        }
        SocketLogTest::TearDown();
    }
    // A transport over a connection of the hand-pumped pool to the listener.
    CIOCPDataTransport* Open(SOCKET* peer) {
        CSocketConnection* c = SocketTest::ConnectLoopback(m_owner, m_listener, peer);
        EXPECT_NE(c, nullptr);
        auto* transport = new CIOCPDataTransport(c);
        c->Release();  // the transport holds its own reference
        return transport;
    }
    void Drop(CIOCPDataTransport* transport) {
        transport->Close();
        while (m_pool.PumpOne(100)) {
        }
        EXPECT_EQ(transport->Release(), 0);
    }

    ManualPool m_pool;
    RecordingSocket m_owner{&m_pool};
    ScriptedPeer m_listener;
};

}  // namespace

TEST_F(TransportTest, RoundTripOverTheProcessPool) {
    RecordingSocket owner(&ProcessIOPool());
    ScriptedPeer echo;
    echo.Run([](SOCKET s) {
        char chunk[8192];
        int n = 0;
        while ((n = ::recv(s, chunk, sizeof chunk, 0)) > 0) ScriptedPeer::SendAll(s, std::string(chunk, n));
    });
    CSocketConnection* c = owner.Connect(echo.address(), nullptr);
    ASSERT_NE(c, nullptr);
    TransportRef transport(new CIOCPDataTransport(c));
    c->Release();

    ASSERT_TRUE(transport->Init());
    EXPECT_EQ(transport->GetTransportType(), static_cast<uint32_t>(TransportType_Tcp));
    EXPECT_EQ(transport->GetRemoteAddress().toString(), "127.0.0.1");
    EXPECT_EQ(transport->GetLocalAddress().toString(), "127.0.0.1");
    EXPECT_EQ(transport->GetRemotePort(), htons(echo.port()));
    EXPECT_THAT(LogText(), HasSubstr("CIOCPDataTransport: GetRemoteAddress is 127.0.0.1\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("CIOCPDataTransport: GetLocalAddress is 127.0.0.1\r\n"));

    std::string sent(100000, '\0');
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(transport->SendDataSync(sent.data(), static_cast<uint32_t>(sent.size()), 10000));
    std::string back;
    while (back.size() < sent.size()) {
        CIOBuffer* out = nullptr;
        ASSERT_TRUE(transport->ReceiveDataSync(16384, &out, 10000));
        ASSERT_GE(out->Used(), 1u);
        ASSERT_LE(out->Used(), 16384u);
        back += BufferText(out);
        out->Release();
    }
    EXPECT_EQ(back, sent);
    EXPECT_EQ(transport->GetLastError(), 0u);

    transport->Close();
    echo.Join();  // the peer saw the end of the stream
    CIOBuffer* out = reinterpret_cast<CIOBuffer*>(0x1);
    EXPECT_FALSE(transport->ReceiveDataSync(16, &out, 1000));
    EXPECT_EQ(out, reinterpret_cast<CIOBuffer*>(0x1));
    EXPECT_THAT(LogText(), HasSubstr("CIOCPDataTransport: Read data from socket error 3\r\n"));
    EXPECT_FALSE(transport->SendDataSync("x", 1, 1000));
    EXPECT_THAT(LogText(), HasSubstr("CIOCPDataTransport: WriteSync error 3\r\n"));
    // Reads and writes on a closed connection are no orderly end of a stream.
    EXPECT_EQ(transport->GetLastError(), static_cast<uint32_t>(TransportError_ConnectionFailed));
    transport.reset();
    SocketTest::WaitForConnections(owner);
}

TEST_F(TransportTest, ASendOfNoBytesSucceedsWithoutTouchingTheSocket) {
    SOCKET peer = INVALID_SOCKET;
    CIOCPDataTransport* transport = Open(&peer);
    m_pool.failPosts = true;  // any post would fail
    EXPECT_TRUE(transport->SendDataSync("", 0, 1000));
    EXPECT_EQ(m_pool.QueuedPosts(), 0u);
    EXPECT_EQ(transport->Connection()->PendingWrites(), 0);
    m_pool.failPosts = false;
    Drop(transport);
    ::closesocket(peer);

    CIOCPDataTransport alone(nullptr);
    EXPECT_FALSE(alone.SendDataSync("x", 1, 1000));
    EXPECT_THAT(LogText(), HasSubstr("CIOCPDataTransport: m_pSocketConnection is NULL\r\n"));
    CIOBuffer* out = nullptr;
    EXPECT_FALSE(alone.ReceiveDataSync(16, &out, 1000));
    EXPECT_EQ(alone.GetPendingReadCount(), 0u);
    alone.Shutdown();  // nothing to do
    alone.Close();
}

TEST_F(TransportTest, AReadTimeOutFailsQuietlyAndTheTransportStaysUsable) {
    SOCKET peer = INVALID_SOCKET;
    CIOCPDataTransport* transport = Open(&peer);
    bool first = true;
    m_clock.onWaitAny = [&](DWORD count, const HANDLE* handles, DWORD ms) {
        if (!first) return HookedTimeSource::RealWait(count, handles, ms);
        first = false;
        EXPECT_TRUE(m_pool.PumpOne());  // the read is issued; no byte comes in time
        return static_cast<DWORD>(WAIT_TIMEOUT);
    };
    CIOBuffer* out = reinterpret_cast<CIOBuffer*>(0x1);
    EXPECT_FALSE(transport->ReceiveDataSync(16, &out, 100));
    EXPECT_EQ(out, reinterpret_cast<CIOBuffer*>(0x1));
    EXPECT_EQ(transport->GetPendingReadCount(), 1u);
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("ReadSync: timeout.\r\n"));  // the connection says so
    EXPECT_THAT(log, Not(HasSubstr("CIOCPDataTransport")));

    ScriptedPeer::SendAll(peer, "ok");
    ASSERT_TRUE(m_pool.PumpOne());
    ASSERT_TRUE(transport->ReceiveDataSync(16, &out, 1000));
    EXPECT_EQ(BufferText(out), "ok");
    out->Release();
    EXPECT_EQ(transport->GetPendingReadCount(), 0u);
    Drop(transport);
    ::closesocket(peer);
}

TEST_F(TransportTest, TheConnectionTypeDecidesTheTransportTypeAndTheAddresses) {
    TestSupport::TempDir dir;
    struct Row {
        uint32_t type;
        uint32_t transportType;
    } rows[] = {
        {CSocketConnection::TypeTcp, TransportType_Tcp},
        {CSocketConnection::TypeUdp, TransportType_Udp},
        {CSocketConnection::TypeOther, TransportType_Other},
        {CSocketConnection::TypeHandle, TransportType_Handle},
    };
    for (const Row& row : rows) {
        CSocketConnection* c = nullptr;
        if (row.type == CSocketConnection::TypeHandle) {
            HANDLE file = ::CreateFileW(dir.File(L"device.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            c = m_owner.AllocateConnection(file);
        } else {
            const int kind = row.type == CSocketConnection::TypeUdp ? SOCK_DGRAM : SOCK_STREAM;
            SOCKET s = ::WSASocketW(AF_INET, kind, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
            c = m_owner.AllocateConnection(row.type, s);
        }
        ASSERT_NE(c, nullptr) << row.type;
        CIOCPDataTransport transport(c);
        c->Release();
        EXPECT_EQ(transport.GetTransportType(), row.transportType) << row.type;
        if (row.type != CSocketConnection::TypeTcp) {
            // Only a TCP connection has addresses to report.
            EXPECT_EQ(transport.GetLocalAddress().toString(), "") << row.type;
            EXPECT_EQ(transport.GetRemoteAddress().getFamily(), 0u) << row.type;
            EXPECT_EQ(transport.GetRemotePort(), 0u) << row.type;
        }
        transport.Close();
    }
    CIOCPDataTransport none(nullptr);
    EXPECT_EQ(none.GetTransportType(), static_cast<uint32_t>(TransportType_Other));
    EXPECT_EQ(none.GetLocalAddress().toString(), "");
}

TEST(HexDump, LinesOfHexThenCharacters) {
    struct Row {
        std::string bytes;
        size_t perLine;
        std::string text;
    } rows[] = {
        {"", 16, "\r\n"},
        {"abcd", 4, "\r\n61 62 63 64  abcd\r\n"},
        {"abc", 4, "\r\n61 62 63     abc\r\n"},
        {"abcde", 4, "\r\n61 62 63 64  abcd\r\n65           e\r\n"},
        {std::string("\x00\x7f ~", 4), 4, "\r\n00 7F 20 7E  .. ~\r\n"},
        {"\xff\x80", 2, "\r\nFF 80  ..\r\n"},
    };
    for (const Row& row : rows) {
        std::unique_ptr<char[]> text(
            HexDump(reinterpret_cast<const unsigned char*>(row.bytes.data()), row.bytes.size(), row.perLine));
        EXPECT_EQ(std::string(text.get()), row.text) << row.bytes;
    }
}

TEST(PlainTransport, GetDataHandsOutWhatAddDataHandedInOnce) {
    CIOCPDataTransport transport(nullptr);
    CIOBuffer* first = CIOBuffer::NewOwned(8);
    CIOBuffer* second = CIOBuffer::NewOwned(8);
    transport.AddData(first);
    EXPECT_EQ(first->RefCount(), 2);
    transport.AddData(second);  // an unread block is given back, not leaked
    EXPECT_EQ(first->RefCount(), 1);
    EXPECT_EQ(transport.GetData(), second);
    EXPECT_EQ(transport.GetData(), nullptr);
    EXPECT_EQ(second->RefCount(), 2);  // one of them is now the caller's
    second->Release();
    second->Release();
    first->Release();
}

TEST(PlainTransport, DatagramsForACoreGetTheirHeader) {
    struct Row {
        std::string bytes;
        size_t writeOffset;
        size_t capacity;
        std::string framed;
    } rows[] = {
        // T = 4 payload bytes + 4; byte 1 = (T + 8) >> 3; byte 2 = p3 ^ p0; byte 3 = h2 ^ h1.
        {"ABCD", 0, 16, std::string("\x07\x02\x05\x07", 4) + "ABCD"},
        {"xxABCD", 2, 16, std::string("\x07\x02\x05\x07", 4) + "ABCD"},  // the first N bytes give way
        {"ABCD", 0, 4, std::string("\x07\x02\x05\x07", 4) + "ABCD"},     // no room: a new buffer
    };
    for (const Row& row : rows) {
        CIOBuffer* b = CIOBuffer::NewOwned(row.capacity);
        b->Append(row.bytes.data(), row.bytes.size());
        b->SetWriteOffset(row.writeOffset);
        CIOBuffer* framed = FrameDatagram(b, 7);
        ASSERT_NE(framed, nullptr);
        EXPECT_EQ(BufferText(framed), row.framed) << row.bytes << " " << row.capacity;
        EXPECT_EQ(framed == b, row.capacity >= row.framed.size());
        framed->Release();
    }
    // A keep-alive keeps every byte, even those before the write offset.
    std::string keepAlive(20, 'k');
    keepAlive[9] = '\xff';
    keepAlive[13] = '\x01';
    CIOBuffer* b = CIOBuffer::NewOwned(64);
    b->Append(keepAlive.data(), keepAlive.size());
    b->SetWriteOffset(4);
    CIOBuffer* framed = FrameDatagram(b, 7);
    ASSERT_EQ(framed->Used(), 24u);
    EXPECT_EQ(static_cast<unsigned char>(framed->Data()[1]), (24 + 8) >> 3);
    EXPECT_EQ(BufferText(framed).substr(4), keepAlive);
    framed->Release();
}

// What a UDP peer receives, byte for byte: the header and the payload, and
// nothing of the bytes that gave way to the header.
TEST_F(TransportTest, FramedDatagramsReachThePeerWhole) {
    SOCKET peer = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(peer, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(::bind(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(peer, reinterpret_cast<sockaddr*>(&address), &length), 0);
    DWORD wait = 5000;
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);

    CSocketConnection* c = m_owner.AllocateConnection(
        CSocketConnection::TypeUdp, ::WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED));
    ASSERT_NE(c, nullptr);
    c->UserData().SetString(1, "127.0.0.1");
    c->UserData().SetNumber(2, ntohs(address.sin_port));
    c->UserData().SetNumber(3, 7);  // the core id
    CIOCPDataTransport transport(c);
    c->Release();

    std::string keepAlive(20, 'k');
    keepAlive[9] = '\xff';
    keepAlive[13] = '\x01';
    struct Row {
        const char* name;
        std::string bytes;
        size_t writeOffset;
        bool passThrough;
        std::string received;
    } rows[] = {
        {"framed", "xxABCD", 2, false, std::string("\x07\x02\x05\x07", 4) + "ABCD"},
        {"framed from 0", "ABCDEFGH", 0, false, std::string("\x07\x02\x05\x07", 4) + "ABCDEFGH"},
        {"keep-alive", keepAlive, 4, false, std::string("\x07\x04\x00\x04", 4) + keepAlive},
        {"passed through", "xxABCD", 2, true, "ABCD"},
    };
    for (const Row& row : rows) {
        c->UserData().SetNumber(4, row.passThrough ? 1 : 0);
        CIOBuffer* b = CIOBuffer::NewOwned(64);
        b->Append(row.bytes.data(), row.bytes.size());
        b->SetWriteOffset(row.writeOffset);
        ASSERT_TRUE(transport.SendDataAsync(b)) << row.name;
        b->Release();
        ASSERT_TRUE(m_pool.PumpOne()) << row.name;  // issued
        ASSERT_TRUE(m_pool.PumpOne()) << row.name;  // completed
        transport.OnSendComplete();
        char got[128];
        const int n = ::recv(peer, got, sizeof got, 0);
        ASSERT_GT(n, 0) << row.name;
        EXPECT_EQ(std::string(got, static_cast<size_t>(n)), row.received) << row.name;
    }
    transport.Close();
    ::closesocket(peer);
}

TEST(TransportError, TheFirstCodeSticksUntilCleared) {
    struct Row {
        uint32_t first;
        uint32_t second;
        uint32_t result;
    } rows[] = {
        {208, 802, 208}, {0, 802, 802}, {208, 0, 0}, {0, 0, 0}, {802, 803, 802},
    };
    for (const Row& row : rows) {
        CIOCPDataTransport transport(nullptr);
        transport.SetLastError(row.first);
        transport.SetLastError(row.second);
        EXPECT_EQ(transport.GetLastError(), row.result) << row.first << " then " << row.second;
    }
}

namespace {

// The plain transport, counting its destruction.
class CountedTransport : public CIOCPDataTransport {
public:
    explicit CountedTransport(int* destroyed) : CIOCPDataTransport(nullptr), m_destroyed(destroyed) {}
    ~CountedTransport() override { ++*m_destroyed; }

private:
    int* m_destroyed;
};

}  // namespace

TEST(ReferenceCounter, ADecoratorKeepsItsInnerTransportAlive) {
    int destroyed = 0;
    auto* inner = new CountedTransport(&destroyed);
    // A decorator in the way the stacked transports hold their inner one.
    auto* outer = new TestDoubles::ForwardingTransport(TransportRef::Borrow(inner));
    EXPECT_EQ(inner->RefCount(), 2);
    EXPECT_EQ(inner->Release(), 1);  // the creator lets go at once
    EXPECT_EQ(destroyed, 0);
    EXPECT_TRUE(outer->Init());
    EXPECT_EQ(outer->GetPendingReadCount(), 0u);  // the interface's own answer
    outer->Shutdown();                            // does nothing
    EXPECT_EQ(outer->AddRef(), 2);
    EXPECT_EQ(outer->Release(), 1);
    EXPECT_EQ(destroyed, 0);
    {
        TransportRef holder(outer);  // takes over the creator's reference
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(ProcessExit, EndsCleanlyWhileTunnelsAreStillOpenAndCompletionsArrive) {
    // The process-wide pool is never stopped: its workers still complete reads
    // while the program's static objects go. Many runs, each a clean exit;
    // four at a time, since each run is mostly process start-up.
    TestSupport::TempDir dir;
    const std::wstring program = TestSupport::TestBinDir() + L"\\tunnelchurn.exe";
    constexpr int kRuns = 20, kAtOnce = 4;
    std::vector<int> codes(kRuns, -1);
    for (int first = 0; first < kRuns; first += kAtOnce) {
        std::vector<std::thread> batch;
        for (int run = first; run < first + kAtOnce && run < kRuns; ++run) {
            batch.emplace_back([&, run] {
                const std::wstring report = dir.File(L"run" + std::to_wstring(run) + L".txt");
                codes[run] = TestSupport::RunProcess(L"\"" + program + L"\" \"" + report + L"\" 30", 60000);
            });
        }
        for (std::thread& t : batch) t.join();
    }
    int withReadsOut = 0;
    for (int run = 0; run < kRuns; ++run) {
        EXPECT_EQ(codes[run], 0) << "run " << run;
        unsigned opened = 0, failed = 0, inflight = 0;
        const std::string text =
            TestSupport::ReadTextFile(dir.File(L"run" + std::to_wstring(run) + L".txt"));
        ASSERT_EQ(std::sscanf(text.c_str(), "opened %u failed %u inflight %u", &opened, &failed, &inflight), 3)
            << "run " << run << ": " << text;
        EXPECT_EQ(opened, 30u);
        EXPECT_EQ(failed, 0u);
        if (inflight > 0) ++withReadsOut;
    }
    EXPECT_GT(withReadsOut, 0) << "no run ended with a read still out";
}
