// Measures the cost of a log statement: lines written to the daily file per
// second, statements refused by the level gate per second, and the cost with
// several threads. Run under the harness: build/harness/winerun build/bench/logbench.exe
#include <windows.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "Loglib.h"
#include "ProcessServices.h"

static ProcessServices g_processServices;

namespace {

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

template <class F>
double Measure(F&& body) {
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    body();
    ::QueryPerformanceCounter(&end);
    return Seconds(start, end);
}

}  // namespace

int main() {
    if (!LogInit(kTavriskModuleId)) {
        std::printf("LogInit failed\n");
        return 1;
    }
    constexpr int kLines = 20000;
    const double written = Measure([] {
        for (int i = 0; i < kLines; ++i) {
            LOGW(LOG_INFO, L"logbench: statement %d of %d with a short text\n", i, kLines);
        }
    });
    const double refused = Measure([] {
        for (int i = 0; i < kLines * 10; ++i) LOGW(LOG_VERBOSE, L"logbench: refused %d\n", i);
    });
    constexpr int kThreads = 4;
    const double threaded = Measure([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLines / kThreads; ++i) {
                    LOGA(LOG_INFO, "logbench: thread %d statement %d\n", t, i);
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    });
    std::printf("file statements:    %8.0f per second (%.1f us each)\n", kLines / written,
                written * 1e6 / kLines);
    std::printf("refused statements: %8.0f per second (%.2f us each)\n", kLines * 10 / refused,
                refused * 1e6 / (kLines * 10));
    std::printf("4 threads:          %8.0f per second\n", kLines / threaded);
    LogUninit();
    return 0;
}
