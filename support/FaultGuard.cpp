#include "FaultGuard.h"

#include <windows.h>

#include <atomic>

namespace {

struct GuardState {
    void* jumpBuffer[5];
    bool active = false;
};

thread_local GuardState t_guard;
std::atomic<PVOID> g_handler{nullptr};

LONG CALLBACK FaultHandler(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    const bool isFault = code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR ||
                         code == EXCEPTION_DATATYPE_MISALIGNMENT ||
                         code == EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
    if (!isFault || !t_guard.active) return EXCEPTION_CONTINUE_SEARCH;
    t_guard.active = false;
    __builtin_longjmp(t_guard.jumpBuffer, 1);
}

void EnsureHandler() {
    if (g_handler.load(std::memory_order_acquire)) return;
    PVOID handler = ::AddVectoredExceptionHandler(1, FaultHandler);
    PVOID expected = nullptr;
    if (!g_handler.compare_exchange_strong(expected, handler)) {
        ::RemoveVectoredExceptionHandler(handler);
    }
}

}  // namespace

__attribute__((noinline)) bool CallWithFaultGuard(void (*fn)(void* context), void* context) {
    EnsureHandler();
    GuardState& guard = t_guard;
    if (__builtin_setjmp(guard.jumpBuffer) == 0) {
        guard.active = true;
        fn(context);
        guard.active = false;
        return true;
    }
    guard.active = false;
    return false;
}
