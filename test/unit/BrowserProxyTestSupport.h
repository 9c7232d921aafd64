// Fixtures of the bypass and network-path tests: a resolver that answers
// from a table (numeric texts only, nothing leaves the machine) and a test
// whose log statements land in a day file of their own.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Loglib.h"
#include "SockAddr.h"
#include "StringUtil.h"
#include "DayLogTest.h"
#include "TestSupport.h"

namespace BrowserProxyTest {

class ResolverDouble : public QuarloSocket::IResolver {
public:
    int GetAddrInfo(const char* host, const addrinfo* hints, addrinfo** result) override {
        addrInfoQueries.push_back(host ? host : "");
        std::string text = host ? host : "";
        const bool numericOnly = hints && (hints->ai_flags & AI_NUMERICHOST);
        if (numericOnly && honourNumericHint && names.count(text)) return WSAHOST_NOT_FOUND;
        if (auto it = names.find(text); it != names.end()) text = it->second;
        if (text.find('[') != std::string::npos) {
            // Windows does not take bracketed literals; Wine does.
            if (!bracketsResolve) return WSAHOST_NOT_FOUND;
            text = ReplaceAll(ReplaceAll(text, "[", ""), "]", "");
        }
        addrinfo numeric = *hints;
        numeric.ai_flags |= AI_NUMERICHOST;
        return ::getaddrinfo(text.c_str(), nullptr, &numeric, result);
    }
    void FreeAddrInfo(addrinfo* list) override {
        if (list) ::freeaddrinfo(list);
    }
    int GetHostIPv4(const char* host, std::vector<uint32_t>& addresses) override {
        hostQueries.push_back(host ? host : "");
        addresses.clear();
        auto it = hosts.find(host ? host : "");
        if (it == hosts.end()) return WSAHOST_NOT_FOUND;
        for (const std::string& text : it->second) {
            in_addr a{};
            ::inet_pton(AF_INET, text.c_str(), &a);
            addresses.push_back(a.s_addr);
        }
        return 0;
    }

    // getaddrinfo: a name stands for the numeric text it maps to.
    std::map<std::string, std::string> names;
    // gethostbyname: the dotted addresses of a name, in answer order.
    std::map<std::string, std::vector<std::string>> hosts;
    bool bracketsResolve = true;
    // A numeric-only query does not translate names (as the platform's).
    bool honourNumericHint = false;
    std::vector<std::string> addrInfoQueries;
    std::vector<std::string> hostQueries;

private:
    // Installed for the double's lifetime.
    TestSupport::ScopedHook<QuarloSocket::IResolver*> m_installed{QuarloSocket::SetResolverForTest, this};
};

// Statements of the test go to the log file of a fixed day, read back as
// UTF-8 text.
class LoggedTest : public TestSupport::DayLogTest {
protected:
    LoggedTest() : DayLogTest(&m_clock, L"2032-05-11") {}
    // The number of times a text appears in the log.
    size_t LogCount(const std::string& text) const {
        const std::string log = LogText();
        size_t count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++count;
        }
        return count;
    }

    TestSupport::FixedTimeSource m_clock{TestSupport::MakeTime(2032, 5, 11, 8, 30, 0, 0)};
};

}  // namespace BrowserProxyTest
