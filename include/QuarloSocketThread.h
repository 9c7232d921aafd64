// Thread objects of the completion-port pool.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "Owners.h"

namespace QuarloSocket {

class IIOPool;

class CThread {
public:
    virtual unsigned Run() = 0;
    virtual ~CThread() = default;

    // The start routine handed to _beginthreadex.
    static unsigned __stdcall ThreadProc(void* argument);
    HANDLE ThreadHandle() const { return m_thread.get(); }
    void SetThreadHandle(HANDLE thread) { m_thread.reset(thread); }

private:
    Owners::UniqueHandle m_thread;
};

class CWorkerThread : public CThread {
public:
    explicit CWorkerThread(IIOPool* pool) : m_pool(pool) {}
    unsigned Run() override;
    ~CWorkerThread() override;

private:
    IIOPool* m_pool;
};

}  // namespace QuarloSocket
