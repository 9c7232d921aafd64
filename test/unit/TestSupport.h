// Shared helpers of the unit tests.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <type_traits>
#include <vector>

#include "Timing.h"

namespace TestSupport {

// A clock that stands still at a chosen local time; sleeps return at once,
// waits are real but never longer than the cap.
class FixedTimeSource : public Timing::ITimeSource {
public:
    explicit FixedTimeSource(const SYSTEMTIME& time) : m_time(time) {}
    void Sleep(DWORD) override {}
    DWORD WaitForObject(HANDLE handle, DWORD ms) override {
        return ::WaitForSingleObject(handle, ms < m_waitCap ? ms : m_waitCap);
    }
    DWORD WaitForObjectsOrMessage(DWORD count, const HANDLE* handles, DWORD ms,
                                  DWORD wakeMask) override {
        return ::MsgWaitForMultipleObjects(count, handles, FALSE, ms < m_waitCap ? ms : m_waitCap,
                                           wakeMask);
    }
    ULONGLONG TickCount() override { return ::GetTickCount64(); }
    void LocalTime(SYSTEMTIME* time) override { *time = m_time; }
    void SetTime(const SYSTEMTIME& time) { m_time = time; }
    void SetWaitCap(DWORD cap) { m_waitCap = cap; }

private:
    SYSTEMTIME m_time;
    DWORD m_waitCap = INFINITE;
};

// A clock for long waits: a message-pumping wait really waits at most
// waitCap ms for its handles and, when they stay unsignalled, moves the clock
// on by its whole time-out; a sleep moves the clock on at once (really
// sleeping at most sleepCap ms). Waits of minutes so end in moments while a
// handle that is set still ends them. Plain waits (locks, process ends) are
// real.
class FastClock : public Timing::ITimeSource {
public:
    explicit FastClock(const SYSTEMTIME& day, DWORD waitCap = 20) : m_day(day), m_waitCap(waitCap) {}
    void Sleep(DWORD ms) override {
        ++sleeps;
        slept += ms;
        m_tick += ms;
        if (m_sleepCap) ::Sleep(ms < m_sleepCap ? ms : m_sleepCap);
    }
    DWORD WaitForObject(HANDLE handle, DWORD ms) override { return ::WaitForSingleObject(handle, ms); }
    DWORD WaitForObjectsOrMessage(DWORD count, const HANDLE* handles, DWORD ms, DWORD mask) override {
        ++waits;
        return Advance(::MsgWaitForMultipleObjects(count, handles, FALSE, Capped(ms), mask), ms);
    }
    ULONGLONG TickCount() override { return m_tick; }
    void LocalTime(SYSTEMTIME* time) override { *time = m_day; }
    void SetSleepCap(DWORD cap) { m_sleepCap = cap; }
    void SetWaitCap(DWORD cap) { m_waitCap = cap; }
    // Clock time that waits and sleeps have let pass.
    ULONGLONG Elapsed() const { return m_tick - kStart; }

    std::atomic<int> waits{0};
    std::atomic<int> sleeps{0};
    std::atomic<ULONGLONG> slept{0};

private:
    static constexpr ULONGLONG kStart = 1000000;
    DWORD Capped(DWORD ms) const {
        const DWORD cap = m_waitCap;
        return ms < cap ? ms : cap;
    }
    DWORD Advance(DWORD result, DWORD ms) {
        if (result == WAIT_TIMEOUT) m_tick += ms;
        return result;
    }
    SYSTEMTIME m_day;
    std::atomic<DWORD> m_waitCap;
    DWORD m_sleepCap = 0;
    std::atomic<ULONGLONG> m_tick{kStart};
};

// Installs a test hook through its Set...ForTest function for one scope and
// puts back the one it replaced on every exit, a failed ASSERT included (as
// Chromium's AutoReset does for a variable):
//   TestSupport::ScopedHook clock(Timing::SetSourceForTest, &m_clock);
template <class T>
class ScopedHook {
public:
    ScopedHook(T (*set)(T), std::type_identity_t<T> hook) : m_set(set), m_previous(set(hook)) {}
    ~ScopedHook() { m_set(m_previous); }
    ScopedHook(const ScopedHook&) = delete;
    ScopedHook& operator=(const ScopedHook&) = delete;

private:
    T (*m_set)(T);
    T m_previous;
};

SYSTEMTIME MakeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                    WORD milliseconds);

std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
std::wstring ReadUtf16File(const std::wstring& path);
std::string ReadTextFile(const std::wstring& path);
bool FileExists(const std::wstring& path);

// The program's log written to one day's file of its own (the day that the
// test's clock gives, "YYYY-MM-DD"): Open starts the log library and empties
// that file, Close stops the library and removes the file.
class DayLog {
public:
    explicit DayLog(const wchar_t* day) : m_day(day) {}
    bool Open();
    void Close();
    void Clear() const;
    std::string Text() const;  // UTF-8
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }

private:
    std::wstring m_day;
    std::wstring m_path;
};

// Starts a command line and waits for it to end; returns the exit code, or
// -1 when it could not be started or did not end in time.
int RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// Starts a command line and leaves it running; the caller owns the handle.
HANDLE StartProcess(const std::wstring& commandLine);

// Runs call on a thread of its own and gives it timeoutMs to return. A call
// that does not return in time is taken to be showing a box: every window of
// its thread is closed so that the test can end. True when it returned in time.
bool ReturnsWithoutABox(void (*call)(void*), void* context, DWORD timeoutMs = 15000);
template <typename Call>
bool ReturnsWithoutABox(Call&& call, DWORD timeoutMs = 15000) {
    return ReturnsWithoutABox([](void* c) { (*static_cast<std::remove_reference_t<Call>*>(c))(); },
                              &call, timeoutMs);
}

// True in a process that Wine runs (for skips that name a Wine gap).
bool RunningUnderWine();

// A folder of the test doubles and of the deliverables (Windows paths).
std::wstring TestBinDir();
std::wstring BinDir();

// A fresh, empty temporary folder that is removed again with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::wstring& path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// TMP and TEMP name a folder (a final backslash added) for the scope of a
// test, so the user's temporary folder, and every configuration folder below
// it, is the test's own.
class ScopedTempVariables {
public:
    explicit ScopedTempVariables(const std::wstring& folder) {
        for (int i = 0; i < 2; ++i) {
            wchar_t old[MAX_PATH] = {};
            ::GetEnvironmentVariableW(kNames[i], old, MAX_PATH);
            m_saved[i] = old;
            ::SetEnvironmentVariableW(kNames[i], (folder + L"\\").c_str());
        }
    }
    ~ScopedTempVariables() {
        for (int i = 0; i < 2; ++i) ::SetEnvironmentVariableW(kNames[i], m_saved[i].c_str());
    }
    ScopedTempVariables(const ScopedTempVariables&) = delete;
    ScopedTempVariables& operator=(const ScopedTempVariables&) = delete;

private:
    static constexpr const wchar_t* kNames[2] = {L"TMP", L"TEMP"};
    std::wstring m_saved[2];
};

// Deletes a registry key (with its sub-keys) when created and again when it
// goes out of scope, so every test starts and ends without it.
class ScopedRegistryKey {
public:
    ScopedRegistryKey(HKEY root, std::wstring subKey);
    ~ScopedRegistryKey();
    void SetDword(const wchar_t* name, DWORD value);
    void SetString(const wchar_t* name, const std::wstring& value);

private:
    HKEY m_root;
    std::wstring m_subKey;
};

// The log of this program for the scope of a test: started with a clock that
// stands at a day of the test's own (sleeps return at once), that day's file
// removed before and after, and read back as UTF-8.
class ScopedTestLog {
public:
    explicit ScopedTestLog(const SYSTEMTIME& day);
    ~ScopedTestLog();
    std::string Text() const;
    FixedTimeSource& clock() { return m_clock; }

private:
    FixedTimeSource m_clock;
    ScopedHook<Timing::ITimeSource*> m_clockHook;
    std::wstring m_path;
};

// The file into which the recorder double (recorder.exe) writes the command
// lines it was started with, for the scope of a test.
class RecordFile {
public:
    RecordFile() : m_path(m_dir.File(L"record.txt")) {
        ::SetEnvironmentVariableW(L"QUARLO_RECORD_FILE", m_path.c_str());
    }
    ~RecordFile() { ::SetEnvironmentVariableW(L"QUARLO_RECORD_FILE", nullptr); }
    // Waits a little for started programs to write their lines.
    std::string Lines(size_t expected) const {
        std::string text;
        for (int i = 0; i < 100; ++i) {
            if (FileExists(m_path)) text = ReadTextFile(m_path);
            size_t lines = 0;
            for (char c : text) lines += c == '\n';
            if (lines >= expected) break;
            ::Sleep(50);
        }
        return text;
    }
    const TempDir& dir() const { return m_dir; }

private:
    TempDir m_dir;
    std::wstring m_path;
};

}  // namespace TestSupport
