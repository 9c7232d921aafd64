#include "ClientDoubles.h"

#include <utility>

#include "StringUtil.h"
#include "TestSupport.h"

namespace TestSupport {

std::wstring InstallClientDouble(const std::wstring& folder, const std::wstring& name,
                                 const std::string& behaviour) {
    const std::wstring path = folder + L"\\" + name;
    ::CopyFileW((TestBinDir() + L"\\clientdouble.exe").c_str(), path.c_str(), FALSE);
    ::DeleteFileW((path + L".journal").c_str());
    ::DeleteFileW((path + L".behave").c_str());
    if (!behaviour.empty()) {
        HANDLE file = ::CreateFileW((path + L".behave").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        ::WriteFile(file, behaviour.data(), static_cast<DWORD>(behaviour.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    return path;
}

std::vector<ClientDoubleStart> ReadClientDoubleJournal(const std::wstring& exePath) {
    std::vector<ClientDoubleStart> starts;
    if (!FileExists(exePath + L".journal")) return starts;
    const std::string text = ReadTextFile(exePath + L".journal");
    ClientDoubleStart current;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line == "end") {
            starts.push_back(current);
            current = ClientDoubleStart{};
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::wstring value = WideFromCodePage(line.substr(eq + 1), CP_UTF8);
        if (key == "pid") current.pid = std::wcstoul(value.c_str(), nullptr, 10);
        else if (key == "cwd") current.cwd = value;
        else if (key == "cmd") current.commandLine = value;
        else if (key == "show") current.show = static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
        else if (key.rfind("arg", 0) == 0 && key != "argc") current.args.push_back(value);
    }
    return starts;
}

std::vector<ClientDoubleStart> WaitForClientDoubleStarts(const std::wstring& exePath, size_t count,
                                                         DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        auto starts = ReadClientDoubleJournal(exePath);
        if (starts.size() >= count || ::GetTickCount64() >= end) return starts;
        ::Sleep(50);
    }
}

DoubleStartClock::DoubleStartClock(const SYSTEMTIME& time, std::wstring exePath)
    : FixedTimeSource(time), m_exePath(std::move(exePath)), m_seen(ReadClientDoubleJournal(m_exePath).size()) {}

DWORD DoubleStartClock::WaitForObject(HANDLE handle, DWORD ms) {
    constexpr ULONGLONG kStartBoundMs = 60000;
    const ULONGLONG end = ::GetTickCount64() + kStartBoundMs;
    while (ReadClientDoubleJournal(m_exePath).size() <= m_seen && ::GetTickCount64() < end) {
        if (::WaitForSingleObject(handle, 20) == WAIT_OBJECT_0) break;
    }
    m_seen = ReadClientDoubleJournal(m_exePath).size();
    return FixedTimeSource::WaitForObject(handle, ms);
}

}  // namespace TestSupport
