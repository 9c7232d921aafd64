#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "TimedMessageBox.h"

namespace {

// Waits for the box with the caption to appear and reports whether it did.
HWND WaitForBox(const wchar_t* caption, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (::GetTickCount64() < end) {
        if (HWND box = ::FindWindowW(L"#32770", caption)) return box;
        ::Sleep(50);
    }
    return nullptr;
}

// Answers the box as a user would, after a delay.
std::thread AnswerLater(const wchar_t* caption, int button, DWORD delayMs,
                        std::atomic<bool>* answered) {
    return std::thread([=] {
        HWND box = WaitForBox(caption, 10000);
        if (!box) return;
        ::Sleep(delayMs);
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        *answered = true;
    });
}

bool QuitMessageQueued() {
    MSG message;
    return ::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

UINT_PTR WINAPI FailingSetTimer(HWND, UINT_PTR, UINT, TIMERPROC) { return 0; }
HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD) {
    return nullptr;
}

struct ScopedSystem : TestSupport::ScopedHook<const TimedMessageBoxSystem*> {
    explicit ScopedSystem(const TimedMessageBoxSystem& system)
        : ScopedHook(SetTimedMessageBoxSystemForTest, &system) {}
};

}  // namespace

TEST(TimedMessageBox, ReturnsTheUsersAnswerAndLeavesNoQuitMessage) {
    std::atomic<bool> answered{false};
    std::thread user = AnswerLater(L"answer-box", IDNO, 500, &answered);
    const ULONGLONG start = ::GetTickCount64();
    const auto result = ShowTimedMessageBox(nullptr, L"Proxy authentication failed.", L"answer-box",
                                            MB_YESNO | MB_ICONINFORMATION, 20, 0);
    user.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(result, static_cast<unsigned long long>(IDNO));
    EXPECT_LT(::GetTickCount64() - start, 15000u);
    EXPECT_FALSE(QuitMessageQueued());
}

TEST(TimedMessageBox, ClosesItselfAndTheCallersLoopSeesNoQuit) {
    const ULONGLONG start = ::GetTickCount64();
    // What the box returns after its loop was quit is the platform's own.
    TimedMessageBox(nullptr, L"closes alone", L"timeout-box", MB_OK, 1);
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 10000u);
    EXPECT_EQ(::FindWindowW(L"#32770", L"timeout-box"), nullptr);
    EXPECT_FALSE(QuitMessageQueued());

    // A message loop of the caller keeps running after the box.
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 7, 0);
    MSG message;
    ASSERT_GT(::GetMessageW(&message, nullptr, 0, 0), 0);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_APP));
}

TEST(TimedMessageBox, WithoutATimerStaysOpenUntilAnswered) {
    const TimedMessageBoxSystem noTimer{FailingSetTimer, ::CreateThread};
    ScopedSystem scoped(noTimer);
    std::atomic<bool> answered{false};
    // Far past the box's one second: only the user can close it.
    std::thread user = AnswerLater(L"no-timer-box", IDOK, 2500, &answered);
    const auto result = TimedMessageBox(nullptr, L"stays", L"no-timer-box", MB_OK, 1);
    user.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(result, static_cast<unsigned long long>(IDOK));
}

TEST(TimedMessageBox, AsynchronousFormReturnsAtOnceAndShowsOnItsOwnThread) {
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(ShowTimedMessageBox(nullptr, L"async", L"async-box", MB_OK, 2, 1), 1u);
    EXPECT_LT(::GetTickCount64() - start, 1000u);
    HWND box = WaitForBox(L"async-box", 10000);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(::GetWindowThreadProcessId(box, nullptr), ::GetCurrentThreadId());
    // It closes itself without disturbing this thread.
    const ULONGLONG end = ::GetTickCount64() + 10000;
    while (::IsWindow(box) && ::GetTickCount64() < end) ::Sleep(50);
    EXPECT_FALSE(::IsWindow(box));
    EXPECT_FALSE(QuitMessageQueued());
}

TEST(TimedMessageBox, AsynchronousFormReturnsOneWhenNoThreadStarts) {
    const TimedMessageBoxSystem noThread{::SetTimer, FailingCreateThread};
    ScopedSystem scoped(noThread);
    EXPECT_EQ(ShowTimedMessageBox(nullptr, L"never", L"no-thread-box", MB_OK, 1, 1), 1u);
    ::Sleep(300);
    EXPECT_EQ(::FindWindowW(L"#32770", L"no-thread-box"), nullptr);
}

TEST(TimedMessageBox, TwoBoxesOnTwoThreadsTimeOutIndependently) {
    unsigned long long longResult = 0;
    std::atomic<bool> answered{false};
    std::thread user = AnswerLater(L"long-box", IDCANCEL, 2500, &answered);
    std::thread longBox([&] {
        longResult = TimedMessageBox(nullptr, L"long", L"long-box", MB_OKCANCEL, 20);
    });
    // The short box's time-out must not close the long one.
    TimedMessageBox(nullptr, L"short", L"short-box", MB_OK, 1);
    longBox.join();
    user.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(longResult, static_cast<unsigned long long>(IDCANCEL));
}
