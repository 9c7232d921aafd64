// Small owner objects for Windows handles, keys, COM pointers and strings.
// Every operation holds its resources through these, so that every path
// (including early returns) releases them.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>
#include <wincrypt.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

#include <string_view>
#include <utility>

namespace Owners {

// Generic owner of one resource described by a traits type:
//   using type = ...;  static type invalid();  static bool valid(type);
//   static void close(type);
template <class Traits>
class Unique {
public:
    using type = typename Traits::type;

    Unique() noexcept : m_value(Traits::invalid()) {}
    explicit Unique(type value) noexcept : m_value(value) {}
    ~Unique() { reset(); }

    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : m_value(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    type get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return Traits::valid(m_value); }

    // Releases the current value and hands out its storage for an API that
    // returns a new value through a pointer.
    type* put() noexcept {
        reset();
        return &m_value;
    }

    // The held value itself, for a call that takes it by pointer and may
    // update it in place (SSPI contexts); the owner still closes it.
    type* addressof() noexcept { return &m_value; }

    // The caller takes over the value; dropping it would leak.
    [[nodiscard]] type release() noexcept {
        type value = m_value;
        m_value = Traits::invalid();
        return value;
    }

    // Closes the current value. The caller's last error survives, so an
    // owner that goes out of scope between a failed call and the caller's
    // ::GetLastError() does not change what it reads.
    void reset(type value = Traits::invalid()) noexcept {
        if (Traits::valid(m_value)) {
            const DWORD error = ::GetLastError();
            Traits::close(m_value);
            ::SetLastError(error);
        }
        m_value = value;
    }

private:
    type m_value;
};

struct HandleTraits {
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static bool valid(type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(type h) { ::CloseHandle(h); }
};

// File handles from CreateFile use INVALID_HANDLE_VALUE for failure; the same
// owner accepts both failure values.
using UniqueHandle = Unique<HandleTraits>;

struct RegKeyTraits {
    using type = HKEY;
    static type invalid() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { ::RegCloseKey(h); }
};
using UniqueRegKey = Unique<RegKeyTraits>;

struct LibraryTraits {
    using type = HMODULE;
    static type invalid() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { ::FreeLibrary(h); }
};
using UniqueLibrary = Unique<LibraryTraits>;

struct ViewTraits {
    using type = void*;
    static type invalid() { return nullptr; }
    static bool valid(type p) { return p != nullptr; }
    static void close(type p) { ::UnmapViewOfFile(p); }
};
using UniqueView = Unique<ViewTraits>;

struct LocalMemTraits {
    using type = HLOCAL;
    static type invalid() { return nullptr; }
    static bool valid(type p) { return p != nullptr; }
    static void close(type p) { ::LocalFree(p); }
};
using UniqueLocalMem = Unique<LocalMemTraits>;

// Texts that WinHTTP's proxy queries hand out.
struct GlobalMemTraits {
    using type = HGLOBAL;
    static type invalid() { return nullptr; }
    static bool valid(type p) { return p != nullptr; }
    static void close(type p) { ::GlobalFree(p); }
};
using UniqueGlobalMem = Unique<GlobalMemTraits>;

struct CoTaskMemTraits {
    using type = void*;
    static type invalid() { return nullptr; }
    static bool valid(type p) { return p != nullptr; }
    static void close(type p) { ::CoTaskMemFree(p); }
};
using UniqueCoTaskMem = Unique<CoTaskMemTraits>;

struct FindFileTraits {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static bool valid(type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(type h) { ::FindClose(h); }
};
using UniqueFindFile = Unique<FindFileTraits>;

struct ServiceHandleTraits {
    using type = SC_HANDLE;
    static type invalid() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { ::CloseServiceHandle(h); }
};
using UniqueServiceHandle = Unique<ServiceHandleTraits>;

// Sockets (windows.h declares them through winsock.h; winsock2.h keeps the
// same types).
struct SocketTraits {
    using type = SOCKET;
    static type invalid() { return INVALID_SOCKET; }
    static bool valid(type s) { return s != INVALID_SOCKET; }
    static void close(type s) { ::closesocket(s); }
};
using UniqueSocket = Unique<SocketTraits>;

// WinHTTP handles. The close is defined out of line, so this header needs no
// winhttp.h (which cannot share a translation unit with wininet.h) and
// headers may hold the owner.
struct WinHttpHandleTraits {
    using type = void*;
    static type invalid() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h);
};
using UniqueWinHttp = Unique<WinHttpHandleTraits>;

struct BstrTraits {
    using type = BSTR;
    static type invalid() { return nullptr; }
    static bool valid(type s) { return s != nullptr; }
    static void close(type s) { ::SysFreeString(s); }
};

class UniqueBstr : public Unique<BstrTraits> {
public:
    using Unique<BstrTraits>::Unique;
    static UniqueBstr FromText(const wchar_t* text) {
        return UniqueBstr(::SysAllocString(text));
    }
    const wchar_t* c_str() const noexcept { return get() ? get() : L""; }
    // A BSTR that carries narrow bytes (SysAllocStringByteLen) as those bytes.
    std::string_view bytes() const noexcept {
        return get() ? std::string_view(reinterpret_cast<const char*>(get()), ::SysStringByteLen(get()))
                     : std::string_view();
    }
};

// SSPI credential and security-context handles, and buffers the security
// provider allocated.
struct CredHandleTraits {
    using type = CredHandle;
    static type invalid() { return CredHandle{}; }
    static bool valid(type h) { return h.dwLower != 0 || h.dwUpper != 0; }
    static void close(type h) { ::FreeCredentialsHandle(&h); }
};
using UniqueCredHandle = Unique<CredHandleTraits>;

struct SecContextTraits {
    using type = CtxtHandle;
    static type invalid() { return CtxtHandle{}; }
    static bool valid(type h) { return h.dwLower != 0 || h.dwUpper != 0; }
    static void close(type h) { ::DeleteSecurityContext(&h); }
};
using UniqueSecContext = Unique<SecContextTraits>;

struct ContextBufferTraits {
    using type = void*;
    static type invalid() { return nullptr; }
    static bool valid(type p) { return p != nullptr; }
    static void close(type p) { ::FreeContextBuffer(p); }
};
using UniqueContextBuffer = Unique<ContextBufferTraits>;

struct CertStoreTraits {
    using type = HCERTSTORE;
    static type invalid() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { ::CertCloseStore(h, 0); }
};
using UniqueCertStore = Unique<CertStoreTraits>;

struct CertContextTraits {
    using type = PCCERT_CONTEXT;
    static type invalid() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { ::CertFreeCertificateContext(h); }
};
using UniqueCertContext = Unique<CertContextTraits>;

struct CertChainTraits {
    using type = PCCERT_CHAIN_CONTEXT;
    static type invalid() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { ::CertFreeCertificateChain(h); }
};
using UniqueCertChain = Unique<CertChainTraits>;

// Owner of one reference on a reference-counted object: a COM interface, or
// any object with AddRef and Release (the socket library's buffers and
// connections, the tunnel transports).
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    explicit ComPtr(T* p) noexcept : m_p(p) {}  // adopts the reference
    // A new reference of its own on an object the caller keeps its own on.
    static ComPtr Borrow(T* p) noexcept {
        if (p) p->AddRef();
        return ComPtr(p);
    }
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr& other) noexcept : m_p(other.m_p) {
        if (m_p) m_p->AddRef();
    }
    ComPtr& operator=(const ComPtr& other) noexcept {
        if (this != &other) {
            if (other.m_p) other.m_p->AddRef();
            reset(other.m_p);
        }
        return *this;
    }
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.m_p, nullptr));
        return *this;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    T** put() noexcept {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    // The caller takes over the reference.
    [[nodiscard]] T* release() noexcept { return std::exchange(m_p, nullptr); }
    // Drops the reference (the caller's last error survives) and adopts p's.
    void reset(T* p = nullptr) noexcept {
        if (m_p) {
            const DWORD error = ::GetLastError();
            m_p->Release();
            ::SetLastError(error);
        }
        m_p = p;
    }

private:
    T* m_p = nullptr;
};

}  // namespace Owners

namespace Owners {

// A critical section that lives as long as its owner object.
class CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&m_section); }
    ~CriticalSection() { ::DeleteCriticalSection(&m_section); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() noexcept { ::EnterCriticalSection(&m_section); }
    void Leave() noexcept { ::LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

// Holds a critical section for one scope.
class SectionLock {
public:
    explicit SectionLock(CriticalSection& section) noexcept : m_section(section) {
        m_section.Enter();
    }
    ~SectionLock() { m_section.Leave(); }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;

private:
    CriticalSection& m_section;
};

}  // namespace Owners
