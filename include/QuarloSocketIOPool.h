// The completion port and the worker threads that drain it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "Owners.h"
#include "QuarloSocketThread.h"

namespace QuarloSocket {

class IIOPool {
public:
    virtual ~IIOPool() = default;
    // Both answer false when the packet could not be queued or the handle
    // could not be associated (the failure is logged).
    virtual bool Post(ULONG_PTR key, DWORD bytes, OVERLAPPED* overlapped) = 0;
    virtual bool Associate(HANDLE handle, ULONG_PTR key) = 0;
    virtual void OnThreadCreated() = 0;
    virtual void OnThreadDestroyed() = 0;
    virtual void OnBeforeDispatch() = 0;
    virtual void OnAfterDispatch() = 0;
    virtual bool GetStatus(ULONG_PTR* key, DWORD* bytes, OVERLAPPED** overlapped, DWORD* error) = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;
};

// Runs one completion the way a worker does: resets the connection a failed
// packet names, then hands the packet to the connection's owner.
void DispatchCompletion(IIOPool& pool, ULONG_PTR key, DWORD bytes, OVERLAPPED* overlapped,
                        DWORD error, bool ok);

class CIOPool : public IIOPool {
public:
    // 0 threads: two per processor.
    explicit CIOPool(uint64_t threadCount = 0);
    ~CIOPool() override;
    CIOPool(const CIOPool&) = delete;
    CIOPool& operator=(const CIOPool&) = delete;

    bool Post(ULONG_PTR key, DWORD bytes, OVERLAPPED* overlapped) override;
    bool Associate(HANDLE handle, ULONG_PTR key) override;
    void OnThreadCreated() override {}
    void OnThreadDestroyed() override {}
    void OnBeforeDispatch() override {}
    void OnAfterDispatch() override {}
    bool GetStatus(ULONG_PTR* key, DWORD* bytes, OVERLAPPED** overlapped, DWORD* error) override;
    void Start() override;
    void Stop() override;

    uint64_t ThreadCount() const { return m_threadCount; }
    uint64_t RunningThreads() const;
    bool Started() const { return m_started != 0; }

private:
    uint64_t m_threadCount;
    std::unique_ptr<Owners::UniqueHandle> m_port;
    std::vector<CWorkerThread*> m_workers;
    uint32_t m_started = 0;
};

// The process-wide pool, started on first use and never stopped or destroyed:
// completions may still arrive while static destructors run, so nothing they
// could touch is ever freed.
CIOPool& ProcessIOPool();

}  // namespace QuarloSocket
