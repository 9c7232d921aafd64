// The proxy double (fixture proxydouble) as the tests see it: the port of
// each of its modes and the request heads it logged. Its folder comes from
// QUARLO_PROXY_DOUBLE_DIR of the including test program.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace ProxyDouble {

inline std::string File(const wchar_t* name) {
    return TestSupport::ReadTextFile(std::wstring(QUARLO_PROXY_DOUBLE_DIR) + L"/" + name);
}

// The port of a mode ("open", "basic", "ntlm", "refuse", "echo", ...); 0 when unknown.
inline uint16_t Port(const std::string& mode) {
    const std::string ports = File(L"ports.json");
    const std::string key = "\"" + mode + "\": ";
    const size_t at = ports.find(key);
    return at == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(ports.c_str() + at + key.size()));
}

// Lines of the request log so far; take it when a test starts.
inline size_t LogLines() {
    size_t n = 0;
    for (char c : File(L"requests.jsonl")) n += c == '\n';
    return n;
}

// The logged request heads of one mode after the first skipLines lines.
inline std::vector<std::string> Heads(const std::string& mode, size_t skipLines) {
    const std::string text = File(L"requests.jsonl");
    std::vector<std::string> heads;
    size_t start = 0, line = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) break;
        const std::string l = text.substr(start, end - start);
        if (line++ >= skipLines && l.find("\"mode\": \"" + mode + "\"") != std::string::npos)
            heads.push_back(l);
        start = end + 1;
    }
    return heads;
}

}  // namespace ProxyDouble
