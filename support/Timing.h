// The one place where the system takes waits, sleeps and the clock from.
// The real source is used unless a test installs another one.
#pragma once

#include <windows.h>

namespace Timing {

class ITimeSource {
public:
    virtual ~ITimeSource() = default;
    virtual void Sleep(DWORD milliseconds) = 0;
    virtual DWORD WaitForObject(HANDLE handle, DWORD milliseconds) = 0;
    // MsgWaitForMultipleObjects with the same arguments.
    virtual DWORD WaitForObjectsOrMessage(DWORD count, const HANDLE* handles,
                                          DWORD milliseconds, DWORD wakeMask) = 0;
    // WaitForMultipleObjects (any one of them) with the same arguments.
    virtual DWORD WaitForAnyObject(DWORD count, const HANDLE* handles, DWORD milliseconds) {
        return ::WaitForMultipleObjects(count, handles, FALSE, milliseconds);
    }
    virtual ULONGLONG TickCount() = 0;
    virtual void LocalTime(SYSTEMTIME* time) = 0;
};

// The process's time source (the real one by default).
ITimeSource& Source();

// Installs a time source for a test; nullptr restores the real one. Like
// every Set...ForTest hook it returns the one it replaces.
ITimeSource* SetSourceForTest(ITimeSource* source);

inline void Sleep(DWORD milliseconds) { Source().Sleep(milliseconds); }
inline DWORD WaitForObject(HANDLE handle, DWORD milliseconds) {
    return Source().WaitForObject(handle, milliseconds);
}
inline DWORD WaitForObjectsOrMessage(DWORD count, const HANDLE* handles,
                                     DWORD milliseconds, DWORD wakeMask) {
    return Source().WaitForObjectsOrMessage(count, handles, milliseconds, wakeMask);
}
inline DWORD WaitForAnyObject(DWORD count, const HANDLE* handles, DWORD milliseconds) {
    return Source().WaitForAnyObject(count, handles, milliseconds);
}
inline ULONGLONG TickCount() { return Source().TickCount(); }
inline void LocalTime(SYSTEMTIME* time) { Source().LocalTime(time); }

// Waits for a handle while it dispatches this thread's window messages, one
// wait of at most 1,000 ms at a time. INFINITE means no limit. True when the
// handle was signalled, false on time-out.
inline bool WaitWithMessageLoop(HANDLE handle, DWORD timeoutMs, DWORD wakeMask) {
    const DWORD start = static_cast<DWORD>(TickCount());
    for (;;) {
        DWORD slice = 1000;
        if (timeoutMs != INFINITE) {
            const DWORD elapsed = static_cast<DWORD>(static_cast<DWORD>(TickCount()) - start);
            if (elapsed >= timeoutMs) return false;
            if (timeoutMs - elapsed < slice) slice = timeoutMs - elapsed;
        }
        const HANDLE handles[] = {handle};
        if (WaitForObjectsOrMessage(1, handles, slice, wakeMask) == WAIT_OBJECT_0) {
            return true;
        }
        MSG message{};
        if (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

}  // namespace Timing
