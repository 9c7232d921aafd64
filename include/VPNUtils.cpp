#include "VPNUtils.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "Loglib.h"
#include "Owners.h"
#include "SharedNames.h"
#include "SockAddr.h"
#include "StringUtil.h"

namespace QuarloSocket {

TransportAddressCache& AddressCache() {
    static TransportAddressCache* cache = new TransportAddressCache();
    return *cache;
}

void ClearCachedAddressFlag() { AddressCache().cached = 0; }

void ClearAddressCache() {
    TransportAddressCache& cache = AddressCache();
    cache.cached = 0;
    cache.address.clear();
    cache.host.clear();
}

std::vector<std::string> ResolveAddressList(const char* host, const char* preferred) {
    std::vector<std::string> list;
    const bool hasPreferred = preferred && *preferred;
    if (hasPreferred) {
        list.emplace_back(preferred);
        LOGA(LOG_INFO, "This is AAA authentication ip: %s, add into IPlist\n", preferred);
    }
    if (!host || !*host) {
        LOGA(LOG_WARNING, "host name is NULL\n");
        return list;
    }
    LOGA(LOG_INFO, "host name is:%s\n", host);

    std::string lookup(host);
    if (lookup.size() > 2 && lookup.front() == '[' && lookup.back() == ']')
        lookup = lookup.substr(1, lookup.size() - 2);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = Resolver().GetAddrInfo(lookup.c_str(), &hints, &result);
    bool anyAddress = false;
    if (rc == 0) {
        for (addrinfo* entry = result; entry; entry = entry->ai_next) {
            if (!entry->ai_addr) {
                LOGA(LOG_WARNING, "%s\n", "SockAddrHost::resolveAddress is curr->ai_addr NULL ptr");
                continue;
            }
            std::string text;
            const bool v4 = entry->ai_family == AF_INET;
            if (v4) {
                const auto* b = reinterpret_cast<const unsigned char*>(
                    &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr);
                text = FormatA("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
            } else if (entry->ai_family == AF_INET6) {
                char buffer[46];
                if (FormatIPv6Address(reinterpret_cast<const unsigned char*>(
                                          &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr),
                                      buffer, sizeof buffer))
                    text = buffer;
            } else {
                LOGA(LOG_WARNING, "resolve ai_family is AF_UNSPEC\n");
                continue;
            }
            if (text.empty()) continue;
            anyAddress = true;
            // The preferred address is compared whole: 10.0.0.1 must not hide 10.0.0.10.
            if (hasPreferred && EqualsAsciiNoCase(text, preferred)) {
                LOGA(LOG_INFO, v4 ? "resolve ipv4 address(no need add into list): %s\n"
                                  : "resolve ipv6 address(no need add into list): %s\n",
                     text.c_str());
                continue;
            }
            LOGA(LOG_INFO, v4 ? "resolve ipv4 address(add into list): %s\n"
                              : "resolve ipv6 address(add into list): %s\n",
                 text.c_str());
            list.push_back(std::move(text));
        }
        Resolver().FreeAddrInfo(result);
    }
    if (!hasPreferred && !anyAddress) LOGA(LOG_WARNING, "%s\n", ResolverErrorText(rc ? rc : WSANO_DATA));
    return list;
}

void SetAutoProxy(bool enable, const char* host, uint16_t port) {
    Owners::UniqueRegKey key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kAutoProxyKey, 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    const bool on = enable && host && *host && port != 0;
    const DWORD enabled = on ? 1 : 0;
    const DWORD portValue = on ? port : 0;
    std::wstring hostText = on ? WideFromCodePage(host, CP_THREAD_ACP) : std::wstring();
    if (hostText.size() > 259) hostText.resize(259);
    ::RegSetValueExW(key.get(), L"enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enabled),
                     sizeof enabled);
    ::RegSetValueExW(key.get(), L"port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&portValue),
                     sizeof portValue);
    ::RegSetValueExW(key.get(), L"host", 0, REG_SZ, reinterpret_cast<const BYTE*>(hostText.c_str()),
                     static_cast<DWORD>((hostText.size() + 1) * sizeof(wchar_t)));
}

const char* GetSSLAlertDescription(int code) {
    switch (code) {
        case 0: return "Close_notify";
        case 10: return "Unexpected_message";
        case 20: return "Bad_record_mac";
        case 30: return "Decompression_failure";
        case 40: return "Handshake_failure";
        case 41: return "No_certificate";
        case 42: return "Bad_certificate";
        case 43: return "Unsupported_certificate";
        case 44: return "Certificate_revoked";
        case 45: return "Certificate_expired";
        case 46: return "Certificate_unknown";
        case 47: return "Illegal_parameter";
        default: return "unknown";
    }
}

void PrintSSLPacketInfo(const unsigned char* record, size_t length) {
    if (!record || length == 0) return;
    switch (record[0]) {
        case 21: {
            // Level and description follow the 5-byte header; a short record
            // has neither.
            const char* level = "unknown";
            const char* description = "unknown";
            if (length >= 7) {
                level = record[5] == 1 ? "Warning" : record[5] == 2 ? "Fatal" : "unknown";
                description = GetSSLAlertDescription(record[6]);
            }
            LOGA(LOG_ERROR, "PrintSSLPacketInfo: SSL alert: level: %s, description: %s\n", level,
                 description);
            break;
        }
        case 20: LOGA(LOG_ERROR, "PrintSSLPacketInfo: SSL Change_cipher_spec\n"); break;
        case 22: LOGA(LOG_ERROR, "PrintSSLPacketInfo: SSL Handshake\n"); break;
        case 23: LOGA(LOG_ERROR, "PrintSSLPacketInfo: SSL Application_data\n"); break;
        default: break;
    }
}

}  // namespace QuarloSocket
