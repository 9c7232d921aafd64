// Touches the pages of a freshly allocated block on helper threads, ahead of
// the one thread that fills the block from front to back. The first touch of
// a page costs a page fault; where faults are dear (a virtual machine whose
// host maps guest memory lazily, say) they weigh more than the bytes written,
// and taking them on other processors lets the writer run at the speed of
// its data.
//
// The block is cut into chunks of whole pages. Each chunk has one atomic
// state, and whoever moves it out of "untouched" owns it: a helper that
// claims it touches it and then marks it settled; the writer claims every
// chunk before it writes into it and, when a helper holds it, waits until the
// helper is done with it. So a helper and the writer never access one page at
// once, and a helper never writes a byte the writer has written.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Owners.h"

namespace QuarloSocket {

// Blocks below this are filled faster than helpers could be started.
constexpr size_t kPageTouchMinimum = 4 * 1024 * 1024;
constexpr size_t kPageTouchChunk = 64 * 1024;
// Helpers start this many chunks beyond the writer, so that the chunk a
// helper takes is seldom the one the writer reaches next.
constexpr size_t kPageTouchLead = 4;
// Nor further than this many chunks beyond it: a body's announced length is
// the peer's word, and pages touched for bytes that never come are memory
// spent for nothing. Wide enough that helpers waking from a pause still keep
// ahead of a writer at memory speed.
constexpr size_t kPageTouchWindow = 1024;
constexpr unsigned kPageTouchHelpers = 3;

class CPageToucher {
public:
    CPageToucher() = default;
    CPageToucher(const CPageToucher&) = delete;
    CPageToucher& operator=(const CPageToucher&) = delete;
    // Stops and joins the helpers.
    ~CPageToucher() { Stop(); }

    // Starts helpers over the length bytes at base, which nothing has written
    // yet; blocks below kPageTouchMinimum get none. Without a thread the
    // writer touches the pages itself, as it would without this object.
    void Start(void* base, size_t length);
    // Before the writer writes the bytes from its last end up to end (an
    // offset from base): returns when no helper touches any page of them and
    // none ever will.
    void BeforeWrite(size_t end) {
        if (end > m_writerEnd) ClaimUpTo(end);
    }
    // Stops the helpers and waits for them; afterwards the block may be
    // handed on or freed. Safe to call more than once.
    void Stop();

    // Chunks the helpers touched (for tests).
    size_t TouchedChunks() const { return m_touched.load(); }

private:
    enum : uint8_t { kUntouched = 0, kTouching = 1, kSettled = 2 };

    static DWORD WINAPI HelperMain(void* self);
    void Help();
    void ClaimUpTo(size_t end);
    // The bytes of chunk k within the block.
    unsigned char* ChunkBegin(size_t k) const;
    unsigned char* ChunkEnd(size_t k) const;

    unsigned char* m_base = nullptr;
    unsigned char* m_origin = nullptr;  // base rounded down to a page
    size_t m_length = 0;
    size_t m_chunks = 0;
    size_t m_pageSize = 4096;
    std::unique_ptr<std::atomic<uint8_t>[]> m_state;
    // Chunks below it are the writer's; helpers aim beyond it.
    std::atomic<size_t> m_writerChunk{0};
    size_t m_writerEnd = SIZE_MAX;  // bytes claimed by the writer; all while idle
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_touched{0};
    Owners::UniqueHandle m_helpers[kPageTouchHelpers];
    unsigned m_helperCount = 0;
};

}  // namespace QuarloSocket
