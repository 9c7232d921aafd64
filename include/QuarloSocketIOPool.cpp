#include "QuarloSocketIOPool.h"

#include <process.h>

#include <cerrno>

#include "Loglib.h"
#include "Timing.h"

namespace QuarloSocket {

unsigned __stdcall CThread::ThreadProc(void* argument) {
    if (!argument) return 0;
    try {
        return static_cast<CThread*>(argument)->Run();
    } catch (...) {
        return 0;
    }
}

CWorkerThread::~CWorkerThread() {
    if (m_pool) m_pool->OnThreadDestroyed();
}

unsigned CWorkerThread::Run() {
    for (;;) {
        ULONG_PTR key = 0;
        DWORD bytes = 0;
        OVERLAPPED* overlapped = nullptr;
        DWORD error = 0;
        const bool ok = m_pool->GetStatus(&key, &bytes, &overlapped, &error);
        if (key == 0) break;
        DispatchCompletion(*m_pool, key, bytes, overlapped, error, ok);
    }
    LOGA(LOG_INFO, "IOCP thread exit\n");
    return 0;
}

CIOPool::CIOPool(uint64_t threadCount) : m_threadCount(threadCount) {
    if (m_threadCount == 0) {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        m_threadCount = 2ull * (info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1);
    }
    m_workers.assign(m_threadCount, nullptr);
}

CIOPool::~CIOPool() { Stop(); }

void CIOPool::Start() {
    if (m_started) return;
    if (!m_workers.empty() && m_workers[0]) LOGA(LOG_ERROR, "worker thread already started");
    HANDLE port = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (!port) {
        // Without a port every post fails, so no caller waits for a worker.
        LOGA(LOG_ERROR, "CIOPool::Start: CreateIoCompletionPort error %lu\n", ::GetLastError());
        return;
    }
    m_port = std::make_unique<Owners::UniqueHandle>(port);
    for (uint64_t i = 0; i < m_threadCount; ++i) {
        auto* worker = new CWorkerThread(this);
        OnThreadCreated();
        m_workers[i] = worker;
        if (!worker->ThreadHandle()) {
            uintptr_t thread = ::_beginthreadex(nullptr, 0, &CThread::ThreadProc, worker, 0, nullptr);
            if (thread == 0) LOGA(LOG_ERROR, "_beginthreadex error %d", errno);
            else worker->SetThreadHandle(reinterpret_cast<HANDLE>(thread));
        }
    }
    m_started = 1;
}

void CIOPool::Stop() {
    if (!m_started) return;
    for (CWorkerThread* worker : m_workers) {
        if (worker) ::PostQueuedCompletionStatus(m_port->get(), 0, 0, nullptr);
    }
    for (CWorkerThread* worker : m_workers) {
        if (worker && worker->ThreadHandle()) Timing::WaitForObject(worker->ThreadHandle(), INFINITE);
    }
    for (CWorkerThread*& worker : m_workers) {
        delete worker;
        worker = nullptr;
    }
    m_port.reset();
    m_started = 0;
}

uint64_t CIOPool::RunningThreads() const {
    uint64_t running = 0;
    for (CWorkerThread* worker : m_workers) {
        if (worker && worker->ThreadHandle() &&
            Timing::WaitForObject(worker->ThreadHandle(), 0) == WAIT_TIMEOUT) {
            ++running;
        }
    }
    return running;
}

bool CIOPool::Post(ULONG_PTR key, DWORD bytes, OVERLAPPED* overlapped) {
    if (!m_port) {
        LOGA(LOG_ERROR, "CIOPool::Post: no completion port\n");
        return false;
    }
    if (!::PostQueuedCompletionStatus(m_port->get(), bytes, key, overlapped)) {
        LOGA(LOG_ERROR, "CIOPool::Post: PostQueuedCompletionStatus error %lu\n", ::GetLastError());
        return false;
    }
    return true;
}

bool CIOPool::Associate(HANDLE handle, ULONG_PTR key) {
    if (!m_port) {
        LOGA(LOG_ERROR, "CIOPool::Associate: no completion port\n");
        return false;
    }
    if (!::CreateIoCompletionPort(handle, m_port->get(), key, 0)) {
        LOGA(LOG_ERROR, "CIOPool::Associate: CreateIoCompletionPort error %lu\n", ::GetLastError());
        return false;
    }
    return true;
}

bool CIOPool::GetStatus(ULONG_PTR* key, DWORD* bytes, OVERLAPPED** overlapped, DWORD* error) {
    if (!m_port) return false;
    if (::GetQueuedCompletionStatus(m_port->get(), bytes, key, overlapped, INFINITE)) return true;
    if (error) *error = ::GetLastError();
    return false;
}

CIOPool& ProcessIOPool() {
    // Deliberately never destroyed (see the header).
    static CIOPool* const pool = [] {
        auto* p = new CIOPool(0);
        p->Start();
        return p;
    }();
    return *pool;
}

}  // namespace QuarloSocket
