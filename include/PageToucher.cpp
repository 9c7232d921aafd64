#include "PageToucher.h"

#include <algorithm>
#include <new>

namespace QuarloSocket {

void CPageToucher::Start(void* base, size_t length) {
    Stop();
    if (!base || length < kPageTouchMinimum) return;
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    if (info.dwPageSize) m_pageSize = info.dwPageSize;
    // One processor stays the writer's.
    const unsigned helpers =
        std::min<unsigned>(kPageTouchHelpers, info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors - 1 : 0);
    if (helpers == 0) return;
    m_base = static_cast<unsigned char*>(base);
    m_origin = m_base - reinterpret_cast<uintptr_t>(m_base) % m_pageSize;
    m_length = length;
    m_chunks = (static_cast<size_t>(m_base - m_origin) + length + kPageTouchChunk - 1) / kPageTouchChunk;
    m_state.reset(new (std::nothrow) std::atomic<uint8_t>[m_chunks]);
    if (!m_state) return;
    for (size_t k = 0; k < m_chunks; ++k) m_state[k].store(kUntouched, std::memory_order_relaxed);
    m_writerChunk.store(0);
    m_writerEnd = 0;
    m_stop.store(false);
    m_touched.store(0);
    for (unsigned i = 0; i < helpers; ++i) {
        m_helpers[m_helperCount].reset(
            ::CreateThread(nullptr, 64 * 1024, &HelperMain, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (m_helpers[m_helperCount]) ++m_helperCount;
    }
}

void CPageToucher::Stop() {
    m_stop.store(true);
    HANDLE handles[kPageTouchHelpers];
    for (unsigned i = 0; i < m_helperCount; ++i) handles[i] = m_helpers[i].get();
    // A helper ends within the chunk it holds.
    if (m_helperCount) ::WaitForMultipleObjects(m_helperCount, handles, TRUE, INFINITE);
    for (unsigned i = 0; i < m_helperCount; ++i) m_helpers[i].reset();
    m_helperCount = 0;
    m_state.reset();
    m_base = m_origin = nullptr;
    m_length = m_chunks = 0;
    m_writerEnd = SIZE_MAX;
}

DWORD WINAPI CPageToucher::HelperMain(void* self) {
    static_cast<CPageToucher*>(self)->Help();
    return 0;
}

unsigned char* CPageToucher::ChunkBegin(size_t k) const {
    return std::max(m_base, m_origin + k * kPageTouchChunk);
}

unsigned char* CPageToucher::ChunkEnd(size_t k) const {
    return std::min(m_base + m_length, m_origin + (k + 1) * kPageTouchChunk);
}

void CPageToucher::Help() {
    size_t cursor = 0;
    while (!m_stop.load(std::memory_order_relaxed)) {
        const size_t writer = m_writerChunk.load(std::memory_order_relaxed);
        const size_t limit = std::min(m_chunks, writer + kPageTouchLead + kPageTouchWindow);
        size_t k = std::max(cursor, writer + kPageTouchLead);
        for (; k < limit; ++k) {
            uint8_t expected = kUntouched;
            if (m_state[k].compare_exchange_strong(expected, kTouching, std::memory_order_acquire)) break;
        }
        if (k >= m_chunks) return;  // nothing left ahead of the writer
        if (k >= limit) {
            // The window is done: wait for the writer to move on.
            ::Sleep(1);
            continue;
        }
        // One byte per page faults it in; nothing reads the block's bytes
        // before the writer has written them.
        unsigned char* const end = ChunkEnd(k);
        for (unsigned char* p = ChunkBegin(k); p < end;
             p = m_origin + (static_cast<size_t>(p - m_origin) / m_pageSize + 1) * m_pageSize)
            *static_cast<volatile unsigned char*>(p) = 0;
        m_state[k].store(kSettled, std::memory_order_release);
        m_touched.fetch_add(1, std::memory_order_relaxed);
        cursor = k + 1;
    }
}

void CPageToucher::ClaimUpTo(size_t end) {
    if (!m_state) return;
    end = std::min(end, m_length);
    if (end == 0) return;
    const size_t last = (static_cast<size_t>(m_base - m_origin) + end - 1) / kPageTouchChunk;
    for (size_t k = m_writerChunk.load(std::memory_order_relaxed); k <= last; ++k) {
        uint8_t state = kUntouched;
        if (m_state[k].compare_exchange_strong(state, kSettled, std::memory_order_acquire)) continue;
        // A helper holds it: its touch ends soon, and with it the helper's
        // last access to the chunk.
        while (state == kTouching) {
            ::SwitchToThread();
            state = m_state[k].load(std::memory_order_acquire);
        }
    }
    m_writerChunk.store(last + 1, std::memory_order_relaxed);
    m_writerEnd = static_cast<size_t>(ChunkEnd(last) - m_base);
}

}  // namespace QuarloSocket
