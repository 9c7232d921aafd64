// Generation of the tunnel's PAC script for the largest split tunnel:
// 10,240 exclude and 10,240 include zones, a manual proxy and a bypass list
// of 100 entries. Judged against two floors measured in the same run: the
// same rows formatted by a bare loop into one buffer and written with one
// WriteFile, and one write of a file of the same size. Then the platform's
// PAC engine evaluates one URL that passes every zone test, beside the
// engine's time for a script of one line. The generator writes through a
// flushed replace (temporary file and ReplaceFileW); that floor is printed
// too. Run under the harness:
//   build/harness/winerun build/bench/pacbench.exe
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "BrowserProxySetting.h"
#include "FileReplace.h"
#include "PacEngine.h"
#include "PacScript.h"
#include "ProxyIni.h"
#include "StringUtil.h"

namespace {

constexpr int kRounds = 15;

double Milliseconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

template <class F>
double Median(F&& run, int rounds = kRounds) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        LARGE_INTEGER a, b;
        ::QueryPerformanceCounter(&a);
        run();
        ::QueryPerformanceCounter(&b);
        times.push_back(Milliseconds(a, b));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

ZoneList Zones(unsigned first) {
    ZoneList list;
    for (unsigned i = 0; i < kMaxZones; ++i) {
        const unsigned a = first + (i >> 8), b = i & 0xFF;
        ZoneEntry zone;
        zone.address = (a & 0xFF) | (b << 8);
        zone.mask = 0x0000FFFF;  // 255.255.0.0
        list.zones.push_back(zone);
    }
    return list;
}

void WriteFileOnce(const std::wstring& path, const char* bytes, size_t size) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
    ::CloseHandle(file);
}

// The floor: the same rows by a bare snprintf loop into one buffer, then
// one write. The buffer is fresh each round, as a run's is: first touches
// of fresh memory are a large part of the cost under Wine.
size_t BareRows(const ZoneList& exclude, const ZoneList& include, const std::wstring& path) {
    std::vector<char> buffer(2 << 20);
    size_t used = 0;
    const auto row = [&](const ZoneEntry& z, const char* tail) {
        const auto* a = reinterpret_cast<const unsigned char*>(&z.address);
        const auto* m = reinterpret_cast<const unsigned char*>(&z.mask);
        used += static_cast<size_t>(std::snprintf(
            buffer.data() + used, buffer.size() - used,
            "\tif (isInNet(host, \"%u.%u.%u.%u\", \"%u.%u.%u.%u\")) {\r\n%s", a[0], a[1], a[2],
            a[3], m[0], m[1], m[2], m[3], tail));
    };
    for (const ZoneEntry& z : exclude.zones) row(z, "\t\treturn \"PROXY p:8080\";\r\n\t}\r\n");
    for (const ZoneEntry& z : include.zones) row(z, "\t\treturn \"DIRECT\";\r\n\t}\r\n");
    WriteFileOnce(path, buffer.data(), used);
    return used;
}

}  // namespace

int wmain() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"pacbench." + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    // The per-user configuration folder follows the temporary folder.
    ::SetEnvironmentVariableW(L"TMP", (folder + L"\\").c_str());
    ::SetEnvironmentVariableW(L"TEMP", (folder + L"\\").c_str());

    std::wstring bypass;
    for (int i = 0; i < 99; ++i) bypass += L"*.host" + std::to_wstring(i) + L".intra.corp;";
    bypass += L"<local>";
    const ProxyIni::UpdateResult saved = ProxyIni::Update(
        ProxyIni::IniPath(0), L"pacbench", ProxyIni::Create::CreateIfMissing, [&](ProxyIni::Editor& e) {
            e.Set(ProxyIni::Key::IEProxyFlag, 3);
            e.Set(ProxyIni::Key::IEProxyServer, L"p:8080");
            e.Set(ProxyIni::Key::IEProxyByPass, bypass);
        });
    if (saved != ProxyIni::UpdateResult::Saved) {
        std::printf("Proxy.ini cannot be written\n");
        return 1;
    }
    const ZoneList exclude = Zones(20), include = Zones(100);
    CBrowserProxySetting setting{};
    // No local proxy port is configured, so the browser is left alone: only
    // the generation and the file are timed.
    const double generate = Median([&] {
        setting.OnGenerateScriptAndSetBV("gw.example.com", include, exclude, 0, nullptr);
    });
    const std::wstring pac = ProxyIni::PacPath();
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    ::GetFileAttributesExW(pac.c_str(), GetFileExInfoStandard, &attributes);
    const size_t size = attributes.nFileSizeLow;

    const std::wstring barePath = folder + L"\\bare.pac";
    size_t bareSize = 0;
    const double bare = Median([&] { bareSize = BareRows(exclude, include, barePath); });
    const std::string blob(size, 'x');
    const double write = Median([&] { WriteFileOnce(barePath, blob.data(), blob.size()); });

    const double replace = Median([&] { WriteWholeFileAtomic(barePath.c_str(), blob); });

    std::printf("generation of Proxy.pac (2 x %u zones, manual proxy, 100 bypass entries)\n",
                static_cast<unsigned>(kMaxZones));
    std::printf("  generate + replace file : %8.2f ms, %zu bytes\n", generate, size);
    std::printf("  bare rows + one write   : %8.2f ms, %zu bytes  (ratio %.2f)\n", bare, bareSize,
                generate / bare);
    std::printf("  one write of that size  : %8.2f ms            (ratio %.2f)\n", write,
                generate / write);
    std::printf("  flushed replace, same   : %8.2f ms            (ratio %.2f)\n", replace,
                generate / replace);

    const std::string pacNarrow = CodePageFromWide(pac, CP_THREAD_ACP);
    const std::string onePath = CodePageFromWide(folder + L"\\one.pac", CP_THREAD_ACP);
    std::ofstream(onePath, std::ios::binary)
        << "function FindProxyForURL(url, host) { return \"DIRECT\"; }\r\n";
    std::string answer;
    const double evaluate = Median([&] {
        answer = PacEngine::Evaluate(pacNarrow, "http://203.0.113.9/", "203.0.113.9").value_or("(none)");
    }, 3);
    const double evaluateOne = Median([&] {
        PacEngine::Evaluate(onePath, "http://203.0.113.9/", "203.0.113.9");
    }, 3);
    std::printf("PAC engine, one URL through every zone test\n");
    std::printf("  generated script        : %8.2f ms, answer %s\n", evaluate, answer.c_str());
    std::printf("  one-line script         : %8.2f ms            (ratio %.2f)\n", evaluateOne,
                evaluate / evaluateOne);
    for (const std::wstring& name : {pac, barePath, folder + L"\\one.pac", ProxyIni::IniPath(0)}) {
        ::DeleteFileW(name.c_str());
    }
    return 0;
}
