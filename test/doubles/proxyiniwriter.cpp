// A second copy of the program writing Proxy.ini at the same time as the
// test: count updates of one file, each setting a key of its own
// (<prefix><i>=<i>) and adding one to the shared key "Writes".
//
// proxyiniwriter.exe <path> <prefix> <count> <start event>
//
// It starts writing when the named manual-reset event is set (at most 30 s
// later), so two copies overlap. Exit code 0 when every update was saved.
#include <windows.h>

#include <cwchar>
#include <string>

#include "Owners.h"
#include "ProcessServices.h"
#include "ProxyIni.h"

static ProcessServices g_processServices;

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) return 2;
    const std::wstring path = argv[1];
    const std::wstring prefix = argv[2];
    const int count = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
    Owners::UniqueHandle start(::OpenEventW(SYNCHRONIZE, FALSE, argv[4]));
    if (!start || ::WaitForSingleObject(start.get(), 30000) != WAIT_OBJECT_0) return 3;
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const std::wstring name = prefix + std::to_wstring(i);
        const auto result = ProxyIni::Update(
            path, L"proxyiniwriter", ProxyIni::Create::CreateIfMissing,
            [&](ProxyIni::Editor& edit) {
                const ProxyIni::IntKey writes{ProxyIni::kOutsideSection, L"Writes"};
                edit.Set(ProxyIni::IntKey{ProxyIni::kOutsideSection, name.c_str()}, i);
                edit.Set(writes, edit.Get(writes, 0) + 1);
            });
        if (result != ProxyIni::UpdateResult::Saved) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
