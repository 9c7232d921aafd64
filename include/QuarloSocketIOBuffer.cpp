#include "QuarloSocketIOBuffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <new>
#include <stdexcept>

#include "Loglib.h"
#include "StringUtil.h"

namespace QuarloSocket {

HResultError::HResultError(HRESULT hr)
    : std::runtime_error(FormatA("HRESULT 0x%08lX", static_cast<unsigned long>(hr))), m_hr(hr) {}

void InitLock(CRITICAL_SECTION& cs) {
    if (!::InitializeCriticalSectionAndSpinCount(&cs, 0)) throw HResultError(HRESULT_FROM_WIN32(::GetLastError()));
}

void CNodeList::PushHead(Node* node) {
    node->previous = nullptr;
    node->next = m_head;
    node->owner = this;
    if (m_head) m_head->previous = node;
    m_head = node;
    ++m_count;
}

void CNodeList::Remove(Node* node) {
    if (!node) return;
    if (CNodeList* list = node->owner) {
        if (node->previous) node->previous->next = node->next;
        else list->m_head = node->next;
        if (node->next) node->next->previous = node->previous;
        if (list->m_count) --list->m_count;
    }
    node->next = node->previous = nullptr;
    node->owner = nullptr;
}

CIOBuffer* CIOBuffer::NewOwned(size_t size) {
    auto* buffer = new (std::nothrow) CIOBuffer();
    if (!buffer) return nullptr;
    buffer->m_kind = KindOwned;
    buffer->m_data = static_cast<unsigned char*>(std::malloc(size ? size : 1));
    buffer->m_capacity = buffer->m_data ? size : 0;
    buffer->m_wsabuf = {static_cast<ULONG>(buffer->m_capacity), reinterpret_cast<char*>(buffer->m_data)};
    return buffer;
}

CIOBuffer* CIOBuffer::NewView(void* data, size_t length) {
    auto* buffer = new (std::nothrow) CIOBuffer();
    if (!buffer) return nullptr;
    buffer->m_kind = KindView;
    buffer->m_data = static_cast<unsigned char*>(data);
    buffer->m_capacity = buffer->m_used = length;
    buffer->m_wsabuf = {static_cast<ULONG>(length), static_cast<char*>(data)};
    return buffer;
}

void CIOBuffer::Release() {
    // The count never goes below 0: a release of a dead buffer changes nothing.
    int32_t count = m_refCount.load();
    do {
        if (count <= 0) return;
    } while (!m_refCount.compare_exchange_weak(count, count - 1));
    if (count - 1 != 0) return;

    m_operation = IO_Read_Request;
    m_used = 0;
    if (CIOBuffer* chained = std::exchange(m_chained, nullptr)) chained->Release();
    switch (m_kind) {
    case KindPooled:
        m_allocator->Release(this);
        break;
    case KindView:
    case KindOwned:
        Destroy();
        delete this;
        break;
    default:
        break;
    }
}

void CIOBuffer::Destroy() {
    if (m_kind == KindOwned) {
        std::free(m_data);
        m_data = nullptr;
    }
    m_syncSlot.store(0);
    CNodeList::Remove(&m_node);
}

bool CIOBuffer::Append(const void* bytes, size_t n) {
    if (n > m_capacity - m_used) {
        LOGA(LOG_ERROR, "Not enough space in buffer\n");
        return false;
    }
    if (n) std::memcpy(m_data + m_used, bytes, n);
    m_used += n;
    return true;
}

void CIOBuffer::ResetForReuse() {
    m_used = m_readOffset = m_writeOffset = 0;
    m_wsabuf = {static_cast<ULONG>(m_capacity), reinterpret_cast<char*>(m_data)};
}

CAllocator::CAllocator(size_t dataSize, size_t maxFree) : m_dataSize(dataSize), m_maxFree(maxFree) {
    InitLock(m_lock);
}

CAllocator::~CAllocator() {
    FreeAll();
    ::DeleteCriticalSection(&m_lock);
}

CIOBuffer* CAllocator::Allocate() {
    CriticalSectionLock hold(m_lock);
    CIOBuffer* buffer = nullptr;
    if (!m_free.Empty()) {
        buffer = CIOBuffer::FromNode(m_free.Head());
        CNodeList::Remove(buffer->ListNode());
        buffer->m_refCount.fetch_add(1);
    } else {
        void* memory = std::malloc(sizeof(CIOBuffer) + m_dataSize);
        if (!memory) return nullptr;
        buffer = new (memory) CIOBuffer();
        buffer->m_kind = CIOBuffer::KindPooled;
        buffer->m_allocator = this;
        buffer->m_capacity = m_dataSize;
        buffer->m_data = static_cast<unsigned char*>(memory) + sizeof(CIOBuffer);
    }
    m_inUse.PushHead(buffer->ListNode());
    return buffer;
}

void CAllocator::FreePooled(CIOBuffer* buffer) {
    buffer->Destroy();
    buffer->~CIOBuffer();
    std::free(buffer);
}

void CAllocator::Release(CIOBuffer* buffer) {
    if (!buffer) {
        LOGA(LOG_ERROR, "pBuffer is NULL");
        return;
    }
    CriticalSectionLock hold(m_lock);
    CNodeList::Remove(buffer->ListNode());
    if (m_maxFree != 0 && m_free.Count() >= m_maxFree) {
        FreePooled(buffer);
        return;
    }
    buffer->ResetForReuse();
    m_free.PushHead(buffer->ListNode());
}

void CAllocator::FreeAll() {
    CriticalSectionLock hold(m_lock);
    while (!m_inUse.Empty()) FreePooled(CIOBuffer::FromNode(m_inUse.Head()));
    while (!m_free.Empty()) FreePooled(CIOBuffer::FromNode(m_free.Head()));
}

uint64_t CAllocator::FreeCount() {
    CriticalSectionLock hold(m_lock);
    return m_free.Count();
}

uint64_t CAllocator::InUseCount() {
    CriticalSectionLock hold(m_lock);
    return m_inUse.Count();
}

}  // namespace QuarloSocket
