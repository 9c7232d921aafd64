#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Loglib.h"
#include "SSLDataTransport.h"
#include "StringUtil.h"
#include "TestSupport.h"
#include "TlsGateway.h"

using namespace QuarloSocket;
using TlsTest::GatewayOptions;
using TlsTest::TlsGateway;

namespace {

// Real waits and ticks, a fixed date for the log file. With fast-forward on,
// a bounded wait that would time out returns at once and moves the clock on
// by its whole length.
class TlsClock : public Timing::ITimeSource {
public:
    void Sleep(DWORD ms) override { ::Sleep(ms); }
    DWORD WaitForObject(HANDLE h, DWORD ms) override { return WaitForAnyObject(1, &h, ms); }
    DWORD WaitForObjectsOrMessage(DWORD count, const HANDLE* handles, DWORD ms, DWORD mask) override {
        return ::MsgWaitForMultipleObjects(count, handles, FALSE, ms, mask);
    }
    DWORD WaitForAnyObject(DWORD count, const HANDLE* handles, DWORD ms) override {
        if (!fastForward || ms == INFINITE) return ::WaitForMultipleObjects(count, handles, FALSE, ms);
        const DWORD w = ::WaitForMultipleObjects(count, handles, FALSE, ms < 200 ? ms : 200);
        if (w == WAIT_TIMEOUT) {
            skipped += ms;
            ++fastForwards;
        }
        return w;
    }
    ULONGLONG TickCount() override { return ::GetTickCount64() + skipped + step * ++calls; }
    void LocalTime(SYSTEMTIME* t) override { *t = TestSupport::MakeTime(2032, 4, 1, 10, 0, 0, 0); }

    bool fastForward = false;
    ULONGLONG skipped = 0;
    ULONGLONG step = 0;  // added per tick query (a coarse clock)
    ULONGLONG calls = 0;
    int fastForwards = 0;
};

class TlsTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        Timing::SetSourceForTest(&clock);
        ASSERT_EQ(LogInit(kTavriskModuleId), 1);
        m_logPath = CLogContext::Instance().LogFolder() + L"2032-04-01.txt";
        ::DeleteFileW(m_logPath.c_str());
    }
    void TearDown() override {
        LogUninit();
        ::DeleteFileW(m_logPath.c_str());
        Timing::SetSourceForTest(nullptr);
    }
    std::string LogText() const {
        return CodePageFromWide(TestSupport::ReadUtf16File(m_logPath), CP_UTF8);
    }
    bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

    // A TLS transport over a new connection to the gateway.
    TransportRef Connect(const TlsGateway& gateway, bool clientAuth = false, bool verify = false) {
        TransportRef plain(TlsTest::ConnectPlain(gateway.port()));
        if (!plain) return TransportRef();
        return TransportRef(
            new CSSLDataTransport(plain.get(), "localhost", verify, true, nullptr, clientAuth));
    }
    static CSSLDataTransport* Tls(const TransportRef& t) { return static_cast<CSSLDataTransport*>(t.get()); }

    static std::string Receive(ITunnelDataTransport* t, uint32_t max, uint32_t timeoutMs = 10000) {
        CIOBuffer* buffer = nullptr;
        if (!t->ReceiveDataSync(max, &buffer, timeoutMs)) return std::string();
        std::string bytes(reinterpret_cast<const char*>(buffer->Data()), buffer->Used());
        buffer->Release();
        return bytes;
    }
    static std::string ReceiveExactly(ITunnelDataTransport* t, size_t n) {
        std::string all;
        while (all.size() < n) {
            const std::string piece = Receive(t, 65536);
            if (piece.empty()) break;
            all += piece;
        }
        return all;
    }

    TlsClock clock;
    TestSupport::ScopedRegistryKey installManager{HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager"};
    TestSupport::ScopedRegistryKey vpn2{HKEY_CURRENT_USER, L"SOFTWARE\\VPN\\VPN2"};
    std::wstring m_logPath;
};

}  // namespace

TEST_F(TlsTransportTest, EchoRoundTripSplitsLargeSendsIntoMaximumMessages) {
    TlsGateway gateway(GatewayOptions{});
    ASSERT_TRUE(gateway.started());
    TransportRef tls = Connect(gateway);
    ASSERT_TRUE(tls);
    ASSERT_TRUE(tls->Init()) << LogText();
    EXPECT_EQ(tls->GetLastError(), 0u);
    EXPECT_EQ(tls->GetTransportType(), TransportType_TlsOverTcp);
    const uint32_t maxMessage = Tls(tls)->StreamSizes().cbMaximumMessage;
    ASSERT_GT(maxMessage, 0u);

    ASSERT_TRUE(tls->SendDataSync("ping", 4, 5000));
    EXPECT_EQ(ReceiveExactly(tls.get(), 4), "ping");

    std::string large(2 * maxMessage + 1, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(tls->SendDataSync(large.data(), static_cast<uint32_t>(large.size()), 5000));
    EXPECT_EQ(ReceiveExactly(tls.get(), large.size()), large);
    EXPECT_TRUE(tls->SendDataSync("", 0, 5000));
    tls->Close();
    EXPECT_EQ(gateway.WaitForLine("records-in"), "records-in 4");
    EXPECT_EQ(gateway.WaitForLine("version"), "version TLSv1.2");
}
