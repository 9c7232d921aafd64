// The COM double of the outside services (test/doubles/comdouble.cpp) for
// the scope of a test: the three classes registered in this prefix, an
// empty control key and a journal of the test's own. Everything the double
// can be told is described in the double's header; this class only sets
// values under its control key and reads its journal.
//
//   TestSupport::ComDouble services;
//   services.Set(ComDouble::InstallManager, L"State{5E6DDEA8-...}", L"1,0");
//   ... run the code under test ...
//   EXPECT_THAT(services.Journal(), ...);
//
// The registration is removed again when the object goes, so tests that
// expect no install manager need not know about this one.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace TestSupport {

class ComDouble {
public:
    enum Service { InstallManager, Ossiden, Tarquel };

    ComDouble();
    ~ComDouble();
    ComDouble(const ComDouble&) = delete;
    ComDouble& operator=(const ComDouble&) = delete;

    bool registered() const { return m_registered; }
    void Set(Service service, const std::wstring& name, DWORD value);
    void Set(Service service, const std::wstring& name, const std::wstring& text);
    void SetBytes(Service service, const std::wstring& name, const std::string& bytes);
    // Removes the classes' registration (a machine without the services)
    // and puts it back.
    void Unregister();
    void Register();

    // The journal's lines so far, and only those of one service and method
    // ("IInstallManager.ExecuteCommand"), without the name.
    std::vector<std::string> Journal() const;
    std::vector<std::string> Calls(const std::string& method) const;
    void ClearJournal() const;
    std::wstring journalPath() const { return m_journal.path(); }

    static std::wstring DllPath();

private:
    struct JournalFile {
        TempDir dir;
        std::wstring path() const { return dir.File(L"journal.txt"); }
    } m_journal;
    bool m_registered = false;
};

}  // namespace TestSupport
