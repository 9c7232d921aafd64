#include "Timing.h"

#include <atomic>

namespace Timing {
namespace {

class RealTimeSource final : public ITimeSource {
public:
    void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
    DWORD WaitForObject(HANDLE handle, DWORD milliseconds) override {
        return ::WaitForSingleObject(handle, milliseconds);
    }
    DWORD WaitForObjectsOrMessage(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                  DWORD wakeMask) override {
        return ::MsgWaitForMultipleObjects(count, handles, FALSE, milliseconds, wakeMask);
    }
    ULONGLONG TickCount() override { return ::GetTickCount64(); }
    void LocalTime(SYSTEMTIME* time) override { ::GetLocalTime(time); }
};

// Constant-initialised and never destroyed: usable from any static
// initialiser and from threads that outlive static destruction.
RealTimeSource g_real;
std::atomic<ITimeSource*> g_current{nullptr};

}  // namespace

ITimeSource& Source() {
    ITimeSource* current = g_current.load(std::memory_order_acquire);
    return current ? *current : static_cast<ITimeSource&>(g_real);
}

ITimeSource* SetSourceForTest(ITimeSource* source) {
    return g_current.exchange(source, std::memory_order_acq_rel);
}

}  // namespace Timing
