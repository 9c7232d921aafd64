// Fixtures of the browser-proxy tests: a settings store keyed by connection
// name that records every call, and the per-user configuration files of
// the browser-proxy code, emptied before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ProxyIni.h"
#include "ProxySettingsStore.h"
#include "TestSupport.h"

namespace BrowserProxyTest {

// One call the code made on the store.
struct StoreCall {
    enum Kind { Query, Set, SettingsChanged, Refresh, Detect } kind;
    std::wstring connection;          // Query and Set
    ConnectionProxyOptions options;   // Set: the five values as passed
    OptionForm form = OptionForm::Wide;
};

class FakeProxySettingsStore : public IProxySettingsStore {
public:
    FakeProxySettingsStore() : m_hook(SetProxySettingsStoreForTest, this) {}

    bool Query(const std::wstring& connection, ConnectionProxyOptions& options) override {
        calls.push_back({StoreCall::Query, connection, {}, OptionForm::Wide});
        if (beforeQuery) beforeQuery();
        if (failQuery) return Fail();
        options = connections[connection];
        return true;
    }
    bool Set(const std::wstring& connection, const ConnectionProxyOptions& options,
             OptionForm form) override {
        calls.push_back({StoreCall::Set, connection, options, form});
        if (beforeSet) beforeSet(calls.size());
        if (failSet && failSet(connection)) return Fail();
        connections[connection] = options;
        return true;
    }
    bool SettingsChanged() override {
        calls.push_back({StoreCall::SettingsChanged, L"", {}, OptionForm::Wide});
        return failSettingsChanged ? Fail() : true;
    }
    bool Refresh() override {
        calls.push_back({StoreCall::Refresh, L"", {}, OptionForm::Wide});
        return failRefresh ? Fail() : true;
    }
    bool DetectAutoProxyUrl(char* url, DWORD size, DWORD detectFlags) override {
        calls.push_back({StoreCall::Detect, L"", {}, OptionForm::Wide});
        detectFlagsSeen = detectFlags;
        if (detectedUrl.empty() || detectedUrl.size() >= size) return Fail();
        memcpy(url, detectedUrl.c_str(), detectedUrl.size() + 1);
        return true;
    }

    std::vector<StoreCall> Sets() const {
        std::vector<StoreCall> sets;
        for (const StoreCall& call : calls) {
            if (call.kind == StoreCall::Set) sets.push_back(call);
        }
        return sets;
    }
    size_t Count(StoreCall::Kind kind) const {
        size_t n = 0;
        for (const StoreCall& call : calls) n += call.kind == kind ? 1 : 0;
        return n;
    }

    std::map<std::wstring, ConnectionProxyOptions> connections;  // "" is the LAN
    std::vector<StoreCall> calls;
    bool failQuery = false;
    std::function<void()> beforeQuery;  // may block, as a slow query does
    std::function<bool(const std::wstring&)> failSet;
    // Runs at each set, after it was recorded and before it applies; the
    // argument is the number of calls so far.
    std::function<void(size_t)> beforeSet;
    bool failSettingsChanged = false;
    bool failRefresh = false;
    std::string detectedUrl;  // empty: discovery finds nothing
    DWORD detectFlagsSeen = 0;
    DWORD failureCode = 12004;  // ERROR_INTERNET_INTERNAL_ERROR

private:
    bool Fail() {
        ::SetLastError(failureCode);
        return false;
    }
    TestSupport::ScopedHook<IProxySettingsStore*> m_hook;
};

// Removes Proxy.ini, its backup and the script files of the configuration
// folder before and after a test, so each test starts from no capture.
class ScopedProxyConfFiles {
public:
    ScopedProxyConfFiles() { Remove(); }
    ~ScopedProxyConfFiles() { Remove(); }
    static std::wstring Ini() { return ProxyIni::IniPath(0); }
    // Writes keys into Proxy.ini (created when missing).
    static void Write(const std::function<void(ProxyIni::Editor&)>& edit) {
        ASSERT_EQ(ProxyIni::Update(Ini(), L"test", ProxyIni::Create::CreateIfMissing, edit),
                  ProxyIni::UpdateResult::Saved);
    }
    static int GetInt(ProxyIni::IntKey key, int defaultValue = -1) {
        return ProxyIni::Reader(Ini()).Get(key, defaultValue);
    }
    static std::wstring GetText(ProxyIni::TextKey key) {
        return ProxyIni::Reader(Ini()).Get(key, ProxyIni::kBypassUnits);
    }
    static void Remove() {
        for (const std::wstring& path :
             {ProxyIni::IniPath(0), ProxyIni::BackupIniPath(0), ProxyIni::PacPath(),
              ProxyIni::BackupPacPath(), ProxyIni::AutoPacPath()}) {
            if (!path.empty()) ::DeleteFileW(path.c_str());
        }
    }
};

}  // namespace BrowserProxyTest
