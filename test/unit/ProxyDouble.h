// The proxy double (test/doubles/http_proxy.py) as the tests see it: the port
// of each of its modes and the request heads it logged. Each test program
// starts an instance of its own on first use: CTest runs every test case in
// a process of its own, and cases run in parallel, so the heads in this log
// are the running test's alone. The instance lives in a folder under
// QUARLO_PROXY_DOUBLE_DIR and ends with the program (or after 15 minutes,
// should the program be killed). The including test program defines
// QUARLO_PROXY_DOUBLE_DIR and QUARLO_TEST_DOUBLES_LINUX.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Owners.h"
#include "StringUtil.h"
#include "TestSupport.h"

namespace ProxyDouble {

namespace internal {

class Instance {
public:
    Instance() {
        const std::wstring base = QUARLO_PROXY_DOUBLE_DIR;
        ::CreateDirectoryW(base.c_str(), nullptr);
        // Wine gives every test program the same process id: the folder is
        // claimed by creating it, and a name already taken is passed over.
        static LONG counter = 0;
        for (int attempt = 0; attempt < 1000 && m_dir.empty(); ++attempt) {
            const std::wstring dir = base + L"/run-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(::GetTickCount64()) + L"-" +
                                     std::to_wstring(::InterlockedIncrement(&counter));
            if (::CreateDirectoryW(dir.c_str(), nullptr)) m_dir = dir;
            else if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
        }
        if (m_dir.empty()) return;
        const std::string unixDir = CodePageFromWide(m_dir.substr(2), CP_UTF8);  // without "Z:"
        const std::string command = std::string("Z:\\usr\\bin\\python3 \"") + QUARLO_TEST_DOUBLES_LINUX +
                                    "/http_proxy.py\" \"" + unixDir + "\" --stop-file \"" + unixDir + "/stop\"";
        // Wine runs a Linux program, but hands back no process handle for it.
        Owners::UniqueHandle(TestSupport::StartProcess(WideFromCodePage(command, CP_UTF8)));
        for (int i = 0; i < 300 && !TestSupport::FileExists(m_dir + L"/ports.json"); ++i) ::Sleep(50);
    }
    ~Instance() {
        if (m_dir.empty()) return;
        Owners::UniqueHandle stop(::CreateFileW((m_dir + L"/stop").c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, 0, nullptr));
    }
    const std::wstring& dir() const { return m_dir; }

private:
    std::wstring m_dir;
};

inline const std::wstring& Dir() {
    static Instance instance;
    return instance.dir();
}

}  // namespace internal

inline std::string File(const wchar_t* name) {
    return TestSupport::ReadTextFile(internal::Dir() + L"/" + name);
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
