#include "TimedMessageBox.h"

#include <cwchar>
#include <new>

#include "Owners.h"

namespace {

// The timer and its quit message belong to the showing thread, so the flag
// does too: two boxes on two threads never see each other's time-out.
thread_local bool t_timedOut = false;

const TimedMessageBoxSystem kRealSystem{::SetTimer, ::CreateThread};
const TimedMessageBoxSystem* g_system = &kRealSystem;

wchar_t* CopyText(const wchar_t* text) {
    if (!text) return nullptr;
    const size_t length = std::wcslen(text);
    auto* copy = new (std::nothrow) wchar_t[length + 1];
    if (copy) std::wmemcpy(copy, text, length + 1);
    return copy;
}

void FreeParams(TimedMessageBoxParams* params) {
    delete[] params->text;
    delete[] params->caption;
    delete params;
}

}  // namespace

const TimedMessageBoxSystem* SetTimedMessageBoxSystemForTest(const TimedMessageBoxSystem* system) {
    return std::exchange(g_system, system ? system : &kRealSystem);
}

void CALLBACK TimedMessageBoxTimerProc(HWND, UINT, UINT_PTR, DWORD) {
    t_timedOut = true;
    ::PostQuitMessage(0);
}

unsigned long long TimedMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption,
                                   UINT type, UINT seconds) {
    t_timedOut = false;
    const UINT_PTR timer = g_system->setTimer(nullptr, 0, seconds * 1000, TimedMessageBoxTimerProc);
    const int result = ::MessageBoxW(owner, text, caption, type);
    if (timer) ::KillTimer(nullptr, timer);
    if (t_timedOut) {
        // The box's loop re-posts the quit message it ended on; it was meant
        // for the box only, not for the caller's own message loops.
        MSG message;
        ::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    }
    return static_cast<unsigned long long>(result);
}

DWORD WINAPI TimedMessageBoxThreadProc(void* record) {
    auto* params = static_cast<TimedMessageBoxParams*>(record);
    TimedMessageBox(params->owner, params->text, params->caption, params->type, params->seconds);
    FreeParams(params);
    return 0;
}

unsigned long long ShowTimedMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption,
                                       UINT type, UINT seconds, int asynchronous) {
    if (asynchronous == 0) return TimedMessageBox(owner, text, caption, type, seconds);

    auto* params = new (std::nothrow) TimedMessageBoxParams{owner, nullptr, nullptr, type, seconds};
    if (!params) return 1;
    params->text = CopyText(text);
    params->caption = CopyText(caption);
    Owners::UniqueHandle thread(
        g_system->createThread(nullptr, 0, TimedMessageBoxThreadProc, params, 0, nullptr));
    if (!thread) FreeParams(params);
    return 1;
}
