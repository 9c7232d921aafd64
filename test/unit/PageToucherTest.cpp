#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "PageToucher.h"

using namespace QuarloSocket;

namespace {

// A block that does not start on a page, with guard bytes in front of it on
// the same page, filled by a writer that pauses now and then so that helpers
// get ahead of it.
class TouchedBlock {
public:
    explicit TouchedBlock(size_t length) : m_length(length) {
        m_region = static_cast<unsigned char*>(
            ::VirtualAlloc(nullptr, length + kFront, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (m_region) std::memset(m_region, kGuard, kFront);
    }
    ~TouchedBlock() {
        if (m_region) ::VirtualFree(m_region, 0, MEM_RELEASE);
    }
    unsigned char* base() const { return m_region + kFront; }
    size_t length() const { return m_length; }

    // Writes [from, to) in pieces of piece bytes, each claimed first.
    void Write(CPageToucher& toucher, size_t from, size_t to, size_t piece) {
        for (size_t at = from, n = 0; at < to; at += piece, ++n) {
            const size_t end = std::min(to, at + piece);
            toucher.BeforeWrite(end);
            std::memset(base() + at, kWritten, end - at);
            if (n % 64 == 63) ::Sleep(1);
        }
    }
    // Every byte of [0, to) as written, and the guard bytes as they were.
    ::testing::AssertionResult Intact(size_t to) const {
        for (size_t i = 0; i < kFront; ++i)
            if (m_region[i] != kGuard) return ::testing::AssertionFailure() << "guard byte " << i << " was written";
        for (size_t i = 0; i < to; ++i)
            if (base()[i] != kWritten) return ::testing::AssertionFailure() << "byte " << i << " lost";
        return ::testing::AssertionSuccess();
    }

    static constexpr size_t kFront = 123;
    static constexpr unsigned char kGuard = 0x5A;
    static constexpr unsigned char kWritten = 0xA5;

private:
    unsigned char* m_region = nullptr;
    size_t m_length;
};

TEST(PageToucherTest, HelpersTouchAheadWithoutEverWritingOverTheWriter) {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    if (info.dwNumberOfProcessors < 2) GTEST_SKIP() << "one processor: the writer has no helpers";
    // Pieces that do not divide a page or a chunk, and pieces of a whole record.
    for (const size_t piece : {size_t{10007}, size_t{16384}, size_t{1} << 20}) {
        TouchedBlock block(8 * 1024 * 1024 + 4097);
        ASSERT_NE(block.base(), nullptr);
        CPageToucher toucher;
        toucher.Start(block.base(), block.length());
        ::Sleep(20);  // the helpers start ahead of a writer that has not begun
        block.Write(toucher, 0, block.length(), piece);
        toucher.Stop();
        EXPECT_GT(toucher.TouchedChunks(), 0u) << piece;
        EXPECT_TRUE(block.Intact(block.length())) << piece;
    }
}

TEST(PageToucherTest, StoppedHalfWayTheWriterGoesOnAlone) {
    TouchedBlock block(6 * 1024 * 1024);
    ASSERT_NE(block.base(), nullptr);
    {
        CPageToucher toucher;
        toucher.Start(block.base(), block.length());
        block.Write(toucher, 0, block.length() / 2, 16384);
        toucher.Stop();
        toucher.Stop();  // a second stop changes nothing
        block.Write(toucher, block.length() / 2, block.length(), 16384);
    }
    EXPECT_TRUE(block.Intact(block.length()));
    {
        // A writer that gives up (a failed download): the helpers end with
        // the toucher, whatever they still had ahead.
        TouchedBlock abandoned(16 * 1024 * 1024);
        ASSERT_NE(abandoned.base(), nullptr);
        CPageToucher toucher;
        toucher.Start(abandoned.base(), abandoned.length());
        abandoned.Write(toucher, 0, 100000, 16384);
    }
}

// A block sized by a length the peer announced but does not send: the helpers
// touch no further than a window ahead of the bytes that came, so a length
// that lies costs no memory beyond it.
TEST(PageToucherTest, HelpersStayWithinTheirWindowAheadOfAStalledWriter) {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    if (info.dwNumberOfProcessors < 2) GTEST_SKIP() << "one processor: the writer has no helpers";
    constexpr size_t kWritten = 1024 * 1024;
    TouchedBlock block(kPageTouchWindow * kPageTouchChunk + 32 * 1024 * 1024);
    ASSERT_NE(block.base(), nullptr);
    CPageToucher toucher;
    toucher.Start(block.base(), block.length());
    block.Write(toucher, 0, kWritten, 16384);
    // Until the helpers have nothing left they may touch.
    size_t touched = 0;
    for (int i = 0; i < 100; ++i) {
        ::Sleep(50);
        const size_t now = toucher.TouchedChunks();
        if (now == touched && now > 0) break;
        touched = now;
    }
    const size_t allowed = kWritten / kPageTouchChunk + 1 + kPageTouchLead + kPageTouchWindow;
    EXPECT_GT(toucher.TouchedChunks(), 0u);
    EXPECT_LE(toucher.TouchedChunks(), allowed) << "of " << block.length() / kPageTouchChunk << " chunks";
    // The writer coming on takes the helpers along.
    block.Write(toucher, kWritten, block.length(), 1 << 20);
    toucher.Stop();
    EXPECT_TRUE(block.Intact(block.length()));
}

TEST(PageToucherTest, SmallBlocksAndAnIdleToucherStartNoHelpers) {
    TouchedBlock block(kPageTouchMinimum - 1);
    ASSERT_NE(block.base(), nullptr);
    CPageToucher toucher;
    toucher.Start(block.base(), block.length());
    ::Sleep(20);
    block.Write(toucher, 0, block.length(), 16384);
    EXPECT_EQ(toucher.TouchedChunks(), 0u);
    EXPECT_TRUE(block.Intact(block.length()));
    CPageToucher idle;
    idle.BeforeWrite(100);  // never started: nothing to claim
    idle.Stop();
}

}  // namespace
