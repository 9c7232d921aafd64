// A standard message box that closes itself after a number of seconds, so
// that an unattended launch never hangs on a dialog.
#pragma once

#include <windows.h>

// Handed to the box's own thread; the thread owns it and its texts.
struct TimedMessageBoxParams {
    HWND owner;
    wchar_t* text;
    wchar_t* caption;
    UINT type;
    UINT seconds;
};

// asynchronous 0: shows the box on this thread and returns its result.
// Otherwise shows it on a thread of its own and returns 1 at once.
unsigned long long ShowTimedMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption,
                                       UINT type, UINT seconds, int asynchronous);
unsigned long long TimedMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption,
                                   UINT type, UINT seconds);
DWORD WINAPI TimedMessageBoxThreadProc(void* record);
void CALLBACK TimedMessageBoxTimerProc(HWND window, UINT message, UINT_PTR id, DWORD time);

// The system calls the box relies on; tests replace them to reach the paths
// where the timer or the thread cannot be created. nullptr restores the real ones.
struct TimedMessageBoxSystem {
    UINT_PTR(WINAPI* setTimer)(HWND, UINT_PTR, UINT, TIMERPROC);
    HANDLE(WINAPI* createThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                 DWORD, LPDWORD);
};
const TimedMessageBoxSystem* SetTimedMessageBoxSystemForTest(const TimedMessageBoxSystem* system);
