// The reference for the tunnel's throughput: a TLS 1.2 client that calls the
// provider directly on a blocking socket, with no layer of the program in
// between: blocking recv of up to 128 KiB, DecryptMessage in place.
#pragma once

#include <winsock2.h>
#include <windows.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <schannel.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "Owners.h"
#include "SSLDataTransport.h"

class BareTlsClient {
public:
    BareTlsClient() : m_in(1 << 17) {}
    ~BareTlsClient() {
        if (m_socket != INVALID_SOCKET) ::closesocket(m_socket);
    }
    BareTlsClient(const BareTlsClient&) = delete;
    BareTlsClient& operator=(const BareTlsClient&) = delete;

    // Connects to 127.0.0.1:port and runs the handshake.
    bool Connect(uint16_t port) {
        m_socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_socket == INVALID_SOCKET || ::connect(m_socket, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            return false;
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
        CredHandle credHandle{};
        TimeStamp expiry{};
        wchar_t package[] = L"Microsoft Unified Security Protocol Provider";
        if (::AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr,
                                        &credHandle, &expiry) != SEC_E_OK)
            return false;
        m_credential.reset(credHandle);
        ULONG attributes = 0;
        SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
        bool first = true, read = false;
        while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
            if (read && !ReceiveMore()) return false;
            SecBuffer inBuffers[2] = {{m_held, SECBUFFER_TOKEN, m_in.data()}, {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
            SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
            status = ::InitializeSecurityContextW(&credHandle, first ? nullptr : &m_context, nullptr,
                                                  QuarloSocket::kSslContextFlags, 0, SECURITY_NATIVE_DREP,
                                                  first ? nullptr : &inDesc, 0, &m_context, &outDesc, &attributes,
                                                  &expiry);
            if (first) m_contextOwner.reset(m_context);
            first = false;
            Owners::UniqueContextBuffer token(outBuffer.pvBuffer);
            if (outBuffer.cbBuffer && !SendAll(outBuffer.pvBuffer, outBuffer.cbBuffer)) return false;
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                read = true;
                continue;
            }
            const ULONG extra = inBuffers[1].BufferType == SECBUFFER_EXTRA ? inBuffers[1].cbBuffer : 0;
            std::memmove(m_in.data(), m_in.data() + m_held - extra, extra);
            m_held = extra;
            read = extra == 0;
        }
        return status == SEC_E_OK &&
               ::QueryContextAttributesW(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes) == SEC_E_OK;
    }

    // Encrypts and sends one message of at most the maximum message size.
    bool Send(const void* bytes, ULONG length) {
        if (length > m_sizes.cbMaximumMessage) return false;
        std::vector<unsigned char> out(m_sizes.cbHeader + length + m_sizes.cbTrailer);
        std::memcpy(out.data() + m_sizes.cbHeader, bytes, length);
        SecBuffer buffers[4] = {{m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, out.data()},
                                {length, SECBUFFER_DATA, out.data() + m_sizes.cbHeader},
                                {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, out.data() + m_sizes.cbHeader + length},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        if (::EncryptMessage(&m_context, 0, &desc, 0) != SEC_E_OK) return false;
        return SendAll(out.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    }

    // Decrypts until total plain bytes arrived or the stream ends; the count
    // of plain bytes read. Records are decrypted where they lie; the unread
    // rest moves to the front only before a recv.
    uint64_t Receive(uint64_t total) {
        uint64_t got = 0;
        ULONG start = 0;
        while (got < total) {
            SecBuffer buffers[4] = {{m_held - start, SECBUFFER_DATA, m_in.data() + start},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status =
                m_held > start ? ::DecryptMessage(&m_context, &desc, 0, nullptr) : SEC_E_INCOMPLETE_MESSAGE;
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                std::memmove(m_in.data(), m_in.data() + start, m_held - start);
                m_held -= start;
                start = 0;
                if (!ReceiveMore()) break;
                continue;
            }
            if (status != SEC_E_OK) break;
            ULONG extra = 0, plain = 0;
            for (int i = 1; i < 4; ++i) {
                if (buffers[i].BufferType == SECBUFFER_DATA) plain += buffers[i].cbBuffer;
                if (buffers[i].BufferType == SECBUFFER_EXTRA) extra = buffers[i].cbBuffer;
            }
            if (plain == 0 && extra == 0) break;  // close_notify
            got += plain;
            start = m_held - extra;
        }
        std::memmove(m_in.data(), m_in.data() + start, m_held - start);
        m_held -= start;
        return got;
    }

private:
    bool ReceiveMore() {
        if (m_held == m_in.size()) return false;
        const int n = ::recv(m_socket, reinterpret_cast<char*>(m_in.data()) + m_held,
                             static_cast<int>(m_in.size() - m_held), 0);
        if (n <= 0) return false;
        m_held += static_cast<ULONG>(n);
        return true;
    }

    bool SendAll(const void* bytes, ULONG n) {
        const char* p = static_cast<const char*>(bytes);
        while (n > 0) {
            const int sent = ::send(m_socket, p, static_cast<int>(n), 0);
            if (sent <= 0) return false;
            p += sent;
            n -= static_cast<ULONG>(sent);
        }
        return true;
    }

    SOCKET m_socket = INVALID_SOCKET;
    Owners::UniqueCredHandle m_credential;
    CtxtHandle m_context{};
    Owners::UniqueSecContext m_contextOwner;
    SecPkgContext_StreamSizes m_sizes{};
    std::vector<unsigned char> m_in;
    ULONG m_held = 0;
};
