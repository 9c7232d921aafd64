// The outside services' declarations against the COM double, whose tables
// are laid out on their own: a slot off by one in a declaration lands in one
// of the double's placeholders and the journal shows it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <shlwapi.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>

#include "ComDouble.h"
#include "Owners.h"
#include "ServiceInterfaces.h"
#include "TestSupport.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace ServiceInterfaces;
using TestSupport::ComDouble;

namespace {

constexpr const wchar_t* kCompletionEventName = L"Global\\{5D1FCC03-950B-4327-8CB7-4BF229ABB286}";

Owners::UniqueBstr Bstr(const wchar_t* text) { return Owners::UniqueBstr::FromText(text); }

class ServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_services.registered());
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override { ::CoUninitialize(); }

    Owners::ComPtr<IInstallManager> InstallManager() {
        Owners::ComPtr<IInstallManager> manager;
        EXPECT_EQ(CreateService(manager), S_OK);
        return manager;
    }

    ComDouble m_services;
};

// Every named slot, called through the product's declarations, in a thread
// of either apartment kind: callers use both, and ThreadingModel=Both lets
// the custom interfaces through without a proxy.
void CallEverySlot() {
    Owners::ComPtr<IInstallManager> manager;
    ASSERT_EQ(CreateService(manager), S_OK);
    LONG state = -1;
    EXPECT_EQ(manager->CheckClientComponents(Bstr(kProductClientSecurity).get(), &state), S_OK);
    EXPECT_EQ(state, 0);
    Owners::UniqueBstr text;
    EXPECT_EQ(manager->DownloadFileToLocal(Bstr(L"http://pac.example/p.pac").get(), text.put()), S_OK);
    EXPECT_EQ(manager->CopyLocalFile(Bstr(L"C:\\no\\such\\a").get(), Bstr(L"C:\\no\\such\\b").get()),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(manager->SetVersionXML(Bstr(L"<version/>").get(), 3, 1, Bstr(L"proxy.corp").get(),
                                     8080, 1, Bstr(L"u").get(), Bstr(L"p").get(),
                                     Bstr(L"CORP").get()),
              S_OK);
    EXPECT_EQ(manager->Install(Bstr(kProductBrevanto).get(), Bstr(L"").get(), 0, Bstr(L"").get(),
                               Bstr(L"").get(), Bstr(L"").get(), 2052, 0),
              S_OK);
    EXPECT_EQ(manager->WriteRegValue(1, 1, Bstr(L"SOFTWARE\\QuarloTest\\Slots").get(),
                                     Bstr(L"CompanyName").get(), Bstr(L"Quarlo").get(), 0),
              S_OK);
    EXPECT_EQ(manager->StopProcessByName(Bstr(L"Brevanto.exe").get()), S_OK);
    EXPECT_EQ(manager->DownloadGatewayFile(Bstr(L"zem_bv_qt.cab").get(), Bstr(L"gw.example").get(),
                                           4433, Bstr(L"sess").get(), Bstr(L"C:\\no\\such").get(),
                                           0, Bstr(L"/prx/000/http/localhost/client_sec/l3vpn/").get()),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(manager->ExecuteCommand(kExecuteInstallClientSecurity, "C:\\x\\Wystanhi.cab"), S_OK);
    EXPECT_EQ(manager->RemoveLocalFile(Bstr(L"C:\\no\\such\\file").get()),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(manager->UnpackCab(Bstr(L"C:\\no\\such.cab").get()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    manager.reset();

    Owners::ComPtr<IOssiden> ossiden;
    ASSERT_EQ(CreateService(ossiden), S_OK);
    EXPECT_EQ(ossiden->PrepareCorvd(), S_OK);
    ossiden.reset();

    Owners::ComPtr<ITarquel> tarquel;
    ASSERT_EQ(CreateService(tarquel), S_OK);
    EXPECT_EQ(tarquel->UpdateMSI(1, Bstr(L"").get()), S_OK);
}

const std::vector<std::string> kEverySlotJournal = {
    "IInstallManager.Create\tresult=0x00000000",
    "IInstallManager.CheckClientComponents\tproduct={8543E284-C4FC-4A45-9B65-CDD5D6222348}\tstate=0\t"
    "result=0x00000000",
    "IInstallManager.DownloadFileToLocal\turl=http://pac.example/p.pac\tbytes=0\tresult=0x00000000",
    "IInstallManager.CopyLocalFile\tsource=C:\\\\no\\\\such\\\\a\ttarget=C:\\\\no\\\\such\\\\b\t"
    "result=0x80070003",
    "IInstallManager.SetVersionXML\tversion=<version/>\tproxySetType=3\tproxyAuthType=1\t"
    "proxyHost=proxy.corp\tproxyPort=8080\tbUseProxy=1\tproxyUser=u\tproxyPassword=p\t"
    "proxyDomain=CORP\tresult=0x00000000",
    "IInstallManager.Install\tproduct={B8913AD8-3C67-48D1-8200-A40EA52A12B3}\ttext1=\tvalue1=0\t"
    "text2=\ttext3=\ttext4=\tlanguageId=2052\tvalue2=0\tresult=0x00000000",
    "IInstallManager.SetEvent\tname=Global\\\\msi_4200F78E-949C-404A-906E-654900611585\tfound=0",
    "IInstallManager.WriteRegValue\trootKind=1\tvalueKind=1\tkey=SOFTWARE\\\\QuarloTest\\\\Slots\t"
    "valueName=CompanyName\ttext=Quarlo\tflags=0\tresult=0x00000000",
    "IInstallManager.StopProcessByName\tprogram=Brevanto.exe\tresult=0x00000000",
    "IInstallManager.DownloadGatewayFile\tfile=zem_bv_qt.cab\thost=gw.example\tport=4433\t"
    "session=sess\tfolder=C:\\\\no\\\\such\tflags=0\turlPath=/prx/000/http/localhost/client_sec/"
    "l3vpn/\tresult=0x80070003",
    "IInstallManager.ExecuteCommand\tcode=8\ttext=C:\\\\x\\\\Wystanhi.cab\tresult=0x00000000",
    "IInstallManager.RemoveLocalFile\tpath=C:\\\\no\\\\such\\\\file\tresult=0x80070003",
    "IInstallManager.UnpackCab\tcabinet=C:\\\\no\\\\such.cab\tresult=0x80070002",
    "IInstallManager.Release",
    "IOssiden.Create\tresult=0x00000000",
    "IOssiden.PrepareCorvd\tresult=0x00000000",
    "IOssiden.Release",
    "ITarquel.Create\tresult=0x00000000",
    "ITarquel.UpdateMSI\tkind=1\ttext=\tresult=0x00000000",
    "ITarquel.Release",
};

// The table position of a virtual method: with the compiler's ABI a pointer
// to a virtual member holds 1 + the slot's byte offset.
template <class Method>
size_t SlotOf(Method method) {
    struct {
        uintptr_t ptr;
        ptrdiff_t adjust;
    } raw;
    static_assert(sizeof(raw) == sizeof(method));
    std::memcpy(&raw, &method, sizeof(raw));
    return (raw.ptr - 1) / sizeof(void*);
}

bool Signalled(HANDLE event, DWORD ms) { return ::WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

}  // namespace

// Checked without a call: a call through a shifted slot would run another
// method with the wrong arguments.
TEST(ServiceSlots, DeclaredMethodsSitAtTheirPositions) {
    const std::pair<size_t, size_t> slots[] = {
        {SlotOf(&IInstallManager::CheckClientComponents), 11},
        {SlotOf(&IInstallManager::DownloadFileToLocal), 16},
        {SlotOf(&IInstallManager::CopyLocalFile), 17},
        {SlotOf(&IInstallManager::SetVersionXML), 19},
        {SlotOf(&IInstallManager::Install), 22},
        {SlotOf(&IInstallManager::WriteRegValue), 23},
        {SlotOf(&IInstallManager::StopProcessByName), 24},
        {SlotOf(&IInstallManager::DownloadGatewayFile), 26},
        {SlotOf(&IInstallManager::ExecuteCommand), 27},
        {SlotOf(&IInstallManager::RemoveLocalFile), 28},
        {SlotOf(&IInstallManager::UnpackCab), 29},
        {SlotOf(&IOssiden::PrepareCorvd), 47},
        {SlotOf(&ITarquel::UpdateMSI), 7},
        {SlotOf(&IInstallManager::Release), 2},
    };
    for (const auto& [declared, expected] : slots) EXPECT_EQ(declared, expected);
}

TEST(ServiceSlots, EveryMethodLandsInItsSlotFromEitherApartment) {
    for (DWORD apartment : {COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED}) {
        SCOPED_TRACE(apartment);
        ComDouble services;
        ASSERT_TRUE(services.registered());
        std::thread caller([apartment] {
            ::CoInitializeEx(nullptr, apartment);
            CallEverySlot();
            ::CoUninitialize();
        });
        caller.join();
        EXPECT_EQ(services.Journal(), kEverySlotJournal);
    }
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuarloTest\\Slots");
}

TEST_F(ServicesTest, OnlySOkIsSuccessAndResultsPassThroughUnchanged) {
    m_services.Set(ComDouble::InstallManager, L"StopProcessByName", S_FALSE);
    m_services.Set(ComDouble::InstallManager, L"RemoveLocalFile", E_ACCESSDENIED);
    auto manager = InstallManager();
    ASSERT_TRUE(manager);
    const HRESULT sFalse = manager->StopProcessByName(Bstr(L"Tarquel.exe").get());
    EXPECT_EQ(sFalse, S_FALSE);
    EXPECT_FALSE(IsServiceSuccess(sFalse));
    EXPECT_EQ(manager->RemoveLocalFile(Bstr(L"x").get()), E_ACCESSDENIED);
    EXPECT_TRUE(IsServiceSuccess(S_OK));
}

TEST_F(ServicesTest, MissingRegistrationAndTheNotRegisteredModeLookTheSame) {
    m_services.Unregister();
    Owners::ComPtr<IInstallManager> manager;
    const HRESULT missing = CreateService(manager);
    EXPECT_EQ(missing, REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(manager);

    m_services.Register();
    m_services.Set(ComDouble::InstallManager, L"Mode", std::wstring(L"NotRegistered"));
    EXPECT_EQ(CreateService(manager), missing);
    EXPECT_FALSE(manager);
    // The other services are still there.
    Owners::ComPtr<ITarquel> tarquel;
    EXPECT_EQ(CreateService(tarquel), S_OK);
}

TEST_F(ServicesTest, CreationFailsAlwaysOrForTheFirstAttempts) {
    m_services.Set(ComDouble::Tarquel, L"Mode", std::wstring(L"CreateFails"));
    Owners::ComPtr<ITarquel> tarquel;
    EXPECT_EQ(CreateService(tarquel), E_FAIL);
    EXPECT_EQ(CreateService(tarquel), E_FAIL);
    EXPECT_FALSE(tarquel);

    m_services.Set(ComDouble::Ossiden, L"CreateFailures", 2);
    m_services.Set(ComDouble::Ossiden, L"CreateResult", static_cast<DWORD>(CO_E_NOTINITIALIZED));
    Owners::ComPtr<IOssiden> ossiden;
    EXPECT_EQ(CreateService(ossiden), CO_E_NOTINITIALIZED);
    EXPECT_EQ(CreateService(ossiden), CO_E_NOTINITIALIZED);
    EXPECT_EQ(CreateService(ossiden), S_OK);
    EXPECT_TRUE(ossiden);
    EXPECT_THAT(m_services.Calls("ITarquel.Create"), ElementsAre("result=0x80004005", "result=0x80004005"));
}

TEST_F(ServicesTest, ComponentStatesAndResultsFollowTheirScripts) {
    m_services.Set(ComDouble::InstallManager, std::wstring(L"State") + kProductInstallManager,
                   std::wstring(L"1,0"));
    m_services.Set(ComDouble::InstallManager, std::wstring(L"State") + kProductBrevanto, 0x24);
    m_services.Set(ComDouble::InstallManager, L"UnpackCab", std::wstring(L"0x80004005, 0"));
    auto manager = InstallManager();
    ASSERT_TRUE(manager);
    auto state = [&](const wchar_t* product) {
        LONG value = -1;
        EXPECT_EQ(manager->CheckClientComponents(Bstr(product).get(), &value), S_OK);
        return value;
    };
    EXPECT_EQ(state(kProductInstallManager), 1);
    EXPECT_EQ(state(kProductBrevanto), 0x24);
    EXPECT_EQ(state(kProductInstallManager), 0);
    EXPECT_EQ(state(kProductInstallManager), 0);  // the last entry repeats
    EXPECT_EQ(state(kProductClientSecurity), 0);  // no script: current

    TestSupport::TempDir dir;
    ::CloseHandle(::CreateFileW(dir.File(L"a.cab").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                0, nullptr));
    EXPECT_EQ(manager->UnpackCab(Bstr(dir.File(L"a.cab").c_str()).get()), E_FAIL);
    EXPECT_EQ(manager->UnpackCab(Bstr(dir.File(L"a.cab").c_str()).get()), S_OK);

    // A failing check hands out a state no caller may act on.
    m_services.Set(ComDouble::InstallManager, L"CheckClientComponents", E_FAIL);
    LONG value = 0;
    EXPECT_EQ(manager->CheckClientComponents(Bstr(kProductBrevanto).get(), &value), E_FAIL);
    EXPECT_EQ(value, 0x0BADBAD0);
}

struct EventCase {
    const char* name;
    LONG code;  // 0: Install
    const wchar_t* eventName;
    const wchar_t* delayValue;
};

void PrintTo(const EventCase& c, std::ostream* out) { *out << c.name; }

class ServiceEventsTest : public ServicesTest, public ::testing::WithParamInterface<EventCase> {
protected:
    HRESULT Trigger(IInstallManager* manager) {
        const EventCase& c = GetParam();
        if (c.code == 0)
            return manager->Install(Bstr(kProductBrevanto).get(), Bstr(L"").get(), 0,
                                    Bstr(L"").get(), Bstr(L"").get(), Bstr(L"").get(), 0, 0);
        return manager->ExecuteCommand(c.code, "Address=gw@@@Port=443@@@Session=s");
    }
};

TEST_P(ServiceEventsTest, SetsTheEventAtOnceLaterOrNever) {
    const EventCase& c = GetParam();
    Owners::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, c.eventName));
    ASSERT_TRUE(event);
    auto manager = InstallManager();
    ASSERT_TRUE(manager);

    ASSERT_EQ(Trigger(manager.get()), S_OK);  // default: set before the call returns
    EXPECT_TRUE(Signalled(event.get(), 0));

    m_services.Set(ComDouble::InstallManager, c.delayValue, 700);
    const ULONGLONG start = ::GetTickCount64();
    ASSERT_EQ(Trigger(manager.get()), S_OK);
    EXPECT_FALSE(Signalled(event.get(), 0));
    manager.reset();  // the pending set outlives the object
    EXPECT_TRUE(Signalled(event.get(), 10000));
    EXPECT_GE(::GetTickCount64() - start, 650u);

    m_services.Set(ComDouble::InstallManager, c.delayValue, 0xFFFFFFFF);
    manager = InstallManager();
    ASSERT_EQ(Trigger(manager.get()), S_OK);
    EXPECT_FALSE(Signalled(event.get(), 1000));

    // A failing call sets nothing.
    m_services.Set(ComDouble::InstallManager, c.delayValue, 0);
    m_services.Set(ComDouble::InstallManager, c.code ? L"ExecuteCommand" : L"Install", E_FAIL);
    EXPECT_EQ(Trigger(manager.get()), E_FAIL);
    EXPECT_FALSE(Signalled(event.get(), 300));
    EXPECT_EQ(m_services.Calls("IInstallManager.SetEvent").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Events, ServiceEventsTest,
    ::testing::Values(EventCase{"RenewService", kExecuteRenewService, kCompletionEventName,
                                L"CompletionEventDelay"},
                      EventCase{"Install", 0, kInstallationEventName, L"InstallEventDelay"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServicesTest, AnEventNobodyCreatedIsJournalled) {
    auto manager = InstallManager();
    ASSERT_TRUE(manager);
    EXPECT_EQ(manager->ExecuteCommand(kExecuteRenewService, "Address=gw@@@Port=443@@@Session=s"), S_OK);
    EXPECT_THAT(m_services.Calls("IInstallManager.SetEvent"),
                ElementsAre("name=Global\\\\{5D1FCC03-950B-4327-8CB7-4BF229ABB286}\tfound=0"));
    // Other codes set no event.
    EXPECT_EQ(manager->ExecuteCommand(kExecuteInstallClientSecurity, "C:\\a.cab"), S_OK);
    EXPECT_EQ(m_services.Calls("IInstallManager.SetEvent").size(), 1u);
}

TEST_F(ServicesTest, GatewayFilesArriveWithTheirBytesOrNotAtAll) {
    TestSupport::TempDir folder;
    m_services.SetBytes(ComDouble::InstallManager, L"GatewayFileWystanhi.cab", std::string("MSCF\0\1", 6));
    auto manager = InstallManager();
    ASSERT_TRUE(manager);
    auto download = [&](const wchar_t* file) {
        return manager->DownloadGatewayFile(Bstr(file).get(), Bstr(L"gw").get(), 443,
                                            Bstr(L"s").get(), Bstr(folder.path().c_str()).get(), 0,
                                            Bstr(L"/prx/").get());
    };
    EXPECT_EQ(download(L"Wystanhi.cab"), S_OK);
    EXPECT_EQ(TestSupport::ReadTextFile(folder.File(L"Wystanhi.cab")), std::string("MSCF\0\1", 6));
    EXPECT_EQ(download(L"zem_bv_core.cab"), S_OK);
    EXPECT_EQ(TestSupport::ReadTextFile(folder.File(L"zem_bv_core.cab")), "gateway file zem_bv_core.cab\n");

    m_services.Set(ComDouble::InstallManager, L"DownloadGatewayFile", 0x80070005);
    EXPECT_EQ(download(L"zem_bv_qt.cab"), static_cast<HRESULT>(0x80070005));
    EXPECT_FALSE(TestSupport::FileExists(folder.File(L"zem_bv_qt.cab")));
}

TEST_F(ServicesTest, DownloadedTextIsANarrowBstrAndNullOnFailure) {
    const std::string script = "function FindProxyForURL(u, h) { return \"DIRECT\"; }";
    m_services.SetBytes(ComDouble::InstallManager, L"DownloadFileToLocalBytes", script);
    auto manager = InstallManager();
    ASSERT_TRUE(manager);
    Owners::UniqueBstr text;
    ASSERT_EQ(manager->DownloadFileToLocal(Bstr(L"http://wpad/p.pac").get(), text.put()), S_OK);
    ASSERT_TRUE(text);
    EXPECT_EQ(text.bytes(), script);

    m_services.Set(ComDouble::InstallManager, L"DownloadFileToLocal", E_FAIL);
    EXPECT_EQ(manager->DownloadFileToLocal(Bstr(L"http://wpad/p.pac").get(), text.put()), E_FAIL);
    EXPECT_FALSE(text);
}

TEST_F(ServicesTest, UnpackPlacesTheUpdaterItsCabinetStandsFor) {
    TestSupport::TempDir folder;
    auto manager = InstallManager();
    ASSERT_TRUE(manager);
    for (const wchar_t* cabinet : {L"zem_bv_plugin.cab", L"zem_bv_core.cab", L"zem_bv_qt.cab"}) {
        ::CloseHandle(::CreateFileW(folder.File(cabinet).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, 0, nullptr));
        EXPECT_EQ(manager->UnpackCab(Bstr(folder.File(cabinet).c_str()).get()), S_OK);
    }
    for (const wchar_t* updater : {L"Brevanto_Plugin.exe", L"BVCoreUpdate.exe", L"BVQTDllUpdate.exe"})
        EXPECT_TRUE(TestSupport::FileExists(folder.File(updater))) << updater;
    // The placed program is the client double: it runs and journals.
    EXPECT_EQ(TestSupport::RunProcess(L"\"" + folder.File(L"BVCoreUpdate.exe") + L"\" -x"), 0);
    EXPECT_TRUE(TestSupport::FileExists(folder.File(L"BVCoreUpdate.exe.journal")));

    // Told not to, or without its cabinet, it places nothing.
    m_services.Set(ComDouble::InstallManager, L"UnpackPlaces", 0);
    ::DeleteFileW(folder.File(L"Brevanto_Plugin.exe").c_str());
    EXPECT_EQ(manager->UnpackCab(Bstr(folder.File(L"zem_bv_plugin.cab").c_str()).get()), S_OK);
    EXPECT_FALSE(TestSupport::FileExists(folder.File(L"Brevanto_Plugin.exe")));
    EXPECT_EQ(manager->UnpackCab(Bstr(folder.File(L"missing.cab").c_str()).get()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(ServicesTest, FileAndRegistryWorkIsDoneForReal) {
    TestSupport::TempDir folder;
    {
        HANDLE file = ::CreateFileW(folder.File(L"logo.bmp").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(file, "BM", 2, &written, nullptr);
        ::CloseHandle(file);
    }
    auto manager = InstallManager();
    ASSERT_TRUE(manager);
    EXPECT_EQ(manager->CopyLocalFile(Bstr(folder.File(L"logo.bmp").c_str()).get(),
                                     Bstr(folder.File(L"copy.bmp").c_str()).get()),
              S_OK);
    EXPECT_EQ(TestSupport::ReadTextFile(folder.File(L"copy.bmp")), "BM");
    EXPECT_EQ(manager->RemoveLocalFile(Bstr(folder.File(L"logo.bmp").c_str()).get()), S_OK);
    EXPECT_FALSE(TestSupport::FileExists(folder.File(L"logo.bmp")));

    TestSupport::ScopedRegistryKey key(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuarloTest\\WriteReg");
    EXPECT_EQ(manager->WriteRegValue(1, 1, Bstr(L"SOFTWARE\\QuarloTest\\WriteReg").get(),
                                     Bstr(L"CompanyName").get(), Bstr(L"Quarlo Networks").get(), 0),
              S_OK);
    wchar_t value[64] = {};
    DWORD size = sizeof(value), type = 0;
    EXPECT_EQ(::SHGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuarloTest\\WriteReg", L"CompanyName",
                            &type, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(value, L"Quarlo Networks");
}

TEST_F(ServicesTest, RunsTheProgramInTheUserSessionWhenTold) {
    TestSupport::TempDir folder;
    const std::wstring program = folder.File(L"Brevanto.exe");
    ASSERT_TRUE(::CopyFileW((TestSupport::TestBinDir() + L"\\clientdouble.exe").c_str(),
                            program.c_str(), FALSE));
    m_services.Set(ComDouble::InstallManager, L"RunInUserSession", 1);
    auto manager = InstallManager();
    ASSERT_TRUE(manager);
    std::string text;
    for (wchar_t c : program + L"@@@-connectsession gw 443 0123456789 42") text += static_cast<char>(c);
    EXPECT_EQ(manager->ExecuteCommand(kExecuteRunInUserSession, text.c_str()), S_OK);
    const std::wstring journal = program + L".journal";
    const ULONGLONG end = ::GetTickCount64() + 20000;
    while (TestSupport::ReadTextFile(journal).find("end") == std::string::npos &&
           ::GetTickCount64() < end)
        ::Sleep(100);
    EXPECT_THAT(TestSupport::ReadTextFile(journal),
                ::testing::HasSubstr("arg1=-connectsession\narg2=gw\narg3=443\narg4=0123456789\narg5=42\n"));
}
