// Reference-counted I/O buffers whose header starts with the OVERLAPPED
// record, and the fixed-size buffer pool that recycles them.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "Owners.h"

namespace QuarloSocket {

// What a buffer travels for; dispatched by CIOCPSocket::HandleOperation.
enum IOOperation : uint64_t {
    IO_Read_Request = 0,
    IO_Read_Completed = 1,
    IO_Write_Request = 2,
    IO_Write_Completed = 3,
    IO_Accept_Request = 4,
    IO_Accept_Completed = 5,
};

// Intrusive doubly linked list; insertion at the head only.
class CNodeList {
public:
    struct Node {
        Node* next = nullptr;
        Node* previous = nullptr;
        CNodeList* owner = nullptr;
    };

    void PushHead(Node* node);
    // Unlinks the node from whatever list owns it; an unlinked node only has
    // its pointers cleared.
    static void Remove(Node* node);
    Node* Head() const { return m_head; }
    uint64_t Count() const { return m_count; }
    bool Empty() const { return m_head == nullptr; }

private:
    Node* m_head = nullptr;
    uint64_t m_count = 0;
};

class IAllocator;

class CIOBuffer {
public:
    enum Kind : uint32_t { KindPooled = 1, KindView = 2, KindOwned = 3 };

    // An owned buffer of size bytes. Check Data() for a failed allocation.
    static CIOBuffer* NewOwned(size_t size);
    // A view over memory the buffer does not own.
    static CIOBuffer* NewView(void* data, size_t length);

    void AddRef() { m_refCount.fetch_add(1); }
    void Release();
    // Frees an owned data area, clears the sync slot and unlinks the node.
    void Destroy();
    // Appends all n bytes or, when they do not fit, none of them.
    bool Append(const void* bytes, size_t n);

    static CIOBuffer* FromOverlapped(OVERLAPPED* o) { return reinterpret_cast<CIOBuffer*>(o); }
    static CIOBuffer* FromNode(CNodeList::Node* n) {
        return reinterpret_cast<CIOBuffer*>(reinterpret_cast<char*>(n) - offsetof(CIOBuffer, m_node));
    }
    OVERLAPPED* Overlapped() { return &m_overlapped; }
    CNodeList::Node* ListNode() { return &m_node; }

    // Sync slot: the hand-over word between a blocked caller and a worker.
    uint64_t ExchangeSyncSlot(uint64_t value) { return m_syncSlot.exchange(value); }
    uint64_t SyncSlot() { return m_syncSlot.load(); }

    int32_t RefCount() const { return m_refCount.load(); }
    uint32_t Kind() const { return m_kind; }
    IOOperation Operation() const { return m_operation; }
    void SetOperation(IOOperation op) { m_operation = op; }
    WSABUF* WsaBuf() { return &m_wsabuf; }
    IAllocator* Allocator() const { return m_allocator; }
    size_t Capacity() const { return m_capacity; }
    size_t Used() const { return m_used; }
    void SetUsed(size_t used) { m_used = used; }
    size_t ReadOffset() const { return m_readOffset; }
    void SetReadOffset(size_t offset) { m_readOffset = offset; }
    size_t WriteOffset() const { return m_writeOffset; }
    void SetWriteOffset(size_t offset) { m_writeOffset = offset; }
    unsigned char* Data() const { return m_data; }
    CIOBuffer* Chained() const { return m_chained; }
    void SetChained(CIOBuffer* next) { m_chained = next; }

    // Result of a synchronous write, written by the worker before it sets the
    // writer's event.
    void SetSyncResult(uint32_t error, uint64_t bytes) {
        m_syncError.store(error);
        m_syncBytes.store(bytes);
    }
    uint32_t SyncError() const { return m_syncError.load(); }
    uint64_t SyncBytes() const { return m_syncBytes.load(); }
    // The writer's event; the sync slot decides who closes it.
    HANDLE SyncEvent() const { return m_syncEvent; }
    void SetSyncEvent(HANDLE event) { m_syncEvent = event; }

private:
    friend class CAllocator;
    CIOBuffer() = default;
    ~CIOBuffer() = default;
    void ResetForReuse();

    OVERLAPPED m_overlapped{};
    CNodeList::Node m_node{};
    std::atomic<uint64_t> m_syncSlot{0};
    std::atomic<int32_t> m_refCount{1};
    uint32_t m_kind = KindOwned;
    CIOBuffer* m_chained = nullptr;
    IOOperation m_operation = IO_Read_Request;
    WSABUF m_wsabuf{};
    IAllocator* m_allocator = nullptr;
    uint64_t m_capacity = 0;
    uint64_t m_used = 0;
    uint64_t m_readOffset = 0;
    uint64_t m_writeOffset = 0;
    unsigned char* m_data = nullptr;
    std::atomic<uint32_t> m_syncError{0};
    std::atomic<uint64_t> m_syncBytes{0};
    HANDLE m_syncEvent = nullptr;
};

// One reference on a buffer.
using BufferRef = Owners::ComPtr<CIOBuffer>;

class IAllocator {
public:
    virtual ~IAllocator() = default;
    virtual CIOBuffer* Allocate() = 0;
    virtual void Release(CIOBuffer* buffer) = 0;
};

// A pool of buffers of one data size; released buffers wait on a free list.
class CAllocator : public IAllocator {
public:
    CAllocator(size_t dataSize, size_t maxFree);
    ~CAllocator() override;
    CAllocator(const CAllocator&) = delete;
    CAllocator& operator=(const CAllocator&) = delete;

    CIOBuffer* Allocate() override;
    void Release(CIOBuffer* buffer) override;
    void FreeAll();

    uint64_t FreeCount();
    uint64_t InUseCount();
    size_t BufferSize() const { return m_dataSize; }

private:
    static void FreePooled(CIOBuffer* buffer);

    uint64_t m_dataSize;
    CNodeList m_free;
    CNodeList m_inUse;
    uint64_t m_maxFree;
    CRITICAL_SECTION m_lock;
};

// Holds a critical section for a scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& cs) : m_cs(cs) { ::EnterCriticalSection(&m_cs); }
    ~CriticalSectionLock() { ::LeaveCriticalSection(&m_cs); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};

// An OS failure raised as an exception, with its HRESULT.
class HResultError : public std::runtime_error {
public:
    explicit HResultError(HRESULT hr);
    HRESULT Code() const { return m_hr; }

private:
    HRESULT m_hr;
};

// Initialises a critical section with spin count 0; throws HResultError with
// HRESULT_FROM_WIN32 of the failure.
void InitLock(CRITICAL_SECTION& cs);

}  // namespace QuarloSocket
