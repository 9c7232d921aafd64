#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ClientCertificates.h"
#include "TestSupport.h"

using namespace QuarloSocket;

namespace {

// A self-signed certificate with its own key, subject (= issuer) as given.
Owners::UniqueCertContext MakeCert(const wchar_t* x500) {
    BYTE encoded[512];
    DWORD size = sizeof(encoded);
    if (!::CertStrToNameW(X509_ASN_ENCODING, x500, CERT_X500_NAME_STR, nullptr, encoded, &size,
                          nullptr))
        return {};
    CERT_NAME_BLOB blob{size, encoded};
    return Owners::UniqueCertContext(
        ::CertCreateSelfSignCertificate(0, &blob, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
}

// Hands out fixed certificates per store and records which stores it searched.
class FakeSource : public ICertCandidateSource {
public:
    SECURITY_STATUS QueryIssuers(CtxtHandle*, SecPkgContext_IssuerListInfoEx* issuers) override {
        issuers->cIssuers = 0;
        issuers->aIssuers = nullptr;
        return issuerStatus;
    }
    void FreeIssuers(SecPkgContext_IssuerListInfoEx*) override { ++freed; }
    std::vector<PCCERT_CONTEXT> FindChainEnds(HCERTSTORE store,
                                              const SecPkgContext_IssuerListInfoEx&) override {
        searched.push_back(store);
        std::vector<PCCERT_CONTEXT> out;
        for (PCCERT_CONTEXT c : certs[store]) out.push_back(::CertDuplicateCertificateContext(c));
        return out;
    }
    SECURITY_STATUS issuerStatus = SEC_E_OK;
    std::map<HCERTSTORE, std::vector<PCCERT_CONTEXT>> certs;
    std::vector<HCERTSTORE> searched;
    int freed = 0;
};

class ClientCertsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(certs.OpenStores());
        ASSERT_TRUE(certs.CurrentUserStore() && certs.LocalMachineStore());
        userCert = MakeCert(L"CN=Alice DEF, O=Example");
        machineCert = MakeCert(L"CN=Bob, O=Example");
        ASSERT_TRUE(userCert && machineCert);
    }
    void LoadConfig(const std::string& body) {
        const std::wstring path = dir.File(L"Configure.ini");
        HANDLE f = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(f, body.data(), static_cast<DWORD>(body.size()), &written, nullptr);
        ::CloseHandle(f);
        CertConfiguration loaded(path);
        loaded.Load();
        certs.config.certPath = loaded.certPath;
        certs.config.certPathPresent = loaded.certPathPresent;
        certs.config.conditionAnd = loaded.conditionAnd;
        certs.config.conditionAndPresent = loaded.conditionAndPresent;
        certs.config.filterName = loaded.filterName;
        certs.config.filterNamePresent = loaded.filterNamePresent;
        certs.config.filterProvider = loaded.filterProvider;
        certs.config.filterProviderPresent = loaded.filterProviderPresent;
    }

    TestSupport::TempDir dir;
    TestSupport::ScopedRegistryKey installManager{HKEY_LOCAL_MACHINE,
                                                  L"SOFTWARE\\VPN\\Install Manager"};
    TestSupport::ScopedRegistryKey vpn2{HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\VPN2"};
    TestSupport::ScopedRegistryKey certInfo{HKEY_CURRENT_USER, L"Software\\VPN\\CertInformation"};
    FakeSource source;
    TestSupport::ScopedHook<ICertCandidateSource*> sourceHook{SetCertCandidateSourceForTest, &source};
    CClientCertificates certs;
    Owners::UniqueCertContext userCert, machineCert;
};

}  // namespace

TEST(TlsProtocols, TableAndDefaultOrder) {
    struct Case {
        int proto;
        uint32_t vpn;
        int attempt;
        DWORD mask;
    } cases[] = {
        {1, 0, 0, 0x30},  {2, 0, 1, 0xC0},  {3, 1, 0, 0xC00}, {4, 0, 0, 0xF0},
        {5, 0, 0, 0xCC0}, {6, 0, 1, 0xC30}, {7, 1, 1, 0xCF0}, {0, 0, 0, 0xCF0},
        {0, 0, 1, 0xF0},  {8, 0, 0, 0xCF0}, {9, 0, 1, 0xF0},  {0, 1, 0, 0xF0},
        {0, 1, 1, 0xCF0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SelectEnabledProtocols(c.proto, c.vpn, c.attempt).protocols, c.mask)
            << c.proto << " " << c.vpn << " " << c.attempt;
    }
    EXPECT_STREQ(SelectEnabledProtocols(6, 0, 0).text,
                 "SchannelCred.grbitEnabledProtocols = SP_PROT_SSL3|SP_PROT_TLS1_2\n");
    EXPECT_STREQ(SelectEnabledProtocols(0, 0, 1).text,
                 "SchannelCred.grbitEnabledProtocols = SP_PROT_TLS1|SP_PROT_SSL3.\n");
}

TEST(CertConfigurationTest, LoadsKeysAndTreatsBadPathAsMissing) {
    TestSupport::TempDir dir;
    const std::wstring path = dir.File(L"Configure.ini");
    CertConfiguration missing(path);
    EXPECT_TRUE(missing.Load());
    EXPECT_FALSE(missing.certPathPresent || missing.filterNamePresent || missing.noSelectingPresent);

    struct Case {
        const char* certPath;
        bool present;
        uint16_t value;
    } cases[] = {{"2", true, 2}, {"3", false, 3}, {"abc", true, 0}, {"", false, 1}};
    for (const Case& c : cases) {
        std::string body = std::string("[Global_Configuration]\r\nCert_Path=") + c.certPath +
                           "\r\nCondition_And=5\r\nNo_Selecting=0\r\nFilter_Name=abc;;def\r\n";
        HANDLE f = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(f, body.data(), static_cast<DWORD>(body.size()), &written, nullptr);
        ::CloseHandle(f);
        CertConfiguration config(path);
        EXPECT_TRUE(config.Load());
        EXPECT_EQ(config.certPathPresent, c.present) << c.certPath;
        if (c.present) {
            EXPECT_EQ(config.certPath, c.value);
        }
        EXPECT_TRUE(config.conditionAndPresent && config.conditionAnd);
        EXPECT_TRUE(config.noSelectingPresent);
        EXPECT_FALSE(config.noSelecting);
        EXPECT_EQ(config.filterName, L"abc;;def");
        EXPECT_FALSE(config.filterProviderPresent);
    }
}

TEST(CertConfigurationTest, SaveWritesEveryKeyAndCreatesTheFolder) {
    TestSupport::TempDir dir;
    const std::wstring path = dir.File(L"sub\\Configure.ini");
    CertConfiguration config(path);
    config.certPath = 2;
    config.certPathPresent = true;
    config.filterProvider = L"Corp";
    config.filterProviderPresent = true;
    EXPECT_TRUE(config.Save());
    CertConfiguration back(path);
    back.Load();
    EXPECT_TRUE(back.certPathPresent);
    EXPECT_EQ(back.certPath, 2);
    EXPECT_TRUE(back.conditionAndPresent);  // written as "0"
    EXPECT_FALSE(back.conditionAnd);
    EXPECT_EQ(back.filterProvider, L"Corp");
    EXPECT_FALSE(back.filterNamePresent);
}

TEST_F(ClientCertsTest, FiltersByNameAndIssuer) {
    struct Case {
        const char* ini;
        int aliceDropped;
        int bobDropped;
    } cases[] = {
        {"", 0, 0},
        {"Filter_Name=abc;;def\r\n", 0, 1},
        {"Filter_Name=ALICE\r\n", 0, 1},
        // Strict with only the issuer filter: the missing name filter passes.
        {"Condition_And=1\r\nFilter_Provider=bob\r\n", 1, 0},
        {"Filter_Provider=bob\r\n", 1, 0},
        {"Condition_And=1\r\nFilter_Name=alice\r\nFilter_Provider=bob\r\n", 1, 1},
        {"Filter_Name=alice\r\nFilter_Provider=bob\r\n", 0, 0},
    };
    for (const Case& c : cases) {
        LoadConfig(std::string("[Global_Configuration]\r\n") + c.ini);
        EXPECT_EQ(certs.IsExistTheCert(userCert.get(), {}, false), c.aliceDropped) << c.ini;
        EXPECT_EQ(certs.IsExistTheCert(machineCert.get(), {}, true), c.bobDropped) << c.ini;
    }
}

TEST_F(ClientCertsTest, StoreChoiceFollowsCertPathAndMachineFlag) {
    HCERTSTORE user = certs.CurrentUserStore(), machine = certs.LocalMachineStore();
    struct Case {
        const char* certPath;
        uint32_t commandLine;
        DWORD machineFlag;
        std::vector<HCERTSTORE> searched;
    } cases[] = {
        {"3", 0, 0, {user}},
        {"abc", 0, 0, {user, machine}},
        {"2", 0, 0, {machine}},
        {nullptr, 0, 0, {user}},
        {"2", 1, 7, {user}},
        {"2", 2, 1, {machine}},
        {"1", 1, 2, {user, machine}},
    };
    for (const Case& c : cases) {
        LoadConfig(c.certPath ? std::string("[Global_Configuration]\r\nCert_Path=") + c.certPath
                              : std::string("[Global_Configuration]\r\n"));
        vpn2.SetDword(L"MachineCertFlag", c.machineFlag);
        certs.commandLineFlag = c.commandLine;
        source.searched.clear();
        certs.FreeCandidates();
        EXPECT_EQ(certs.FillCertContext(nullptr), 1);
        EXPECT_EQ(source.searched, c.searched) << (c.certPath ? c.certPath : "none");
    }
}

TEST_F(ClientCertsTest, SameNameCertificatesDroppedOnlyWithFlag) {
    Owners::UniqueCertContext twin = MakeCert(L"CN=Alice DEF, O=Example");
    source.certs[certs.CurrentUserStore()] = {userCert.get()};
    source.certs[certs.LocalMachineStore()] = {twin.get()};
    certs.commandLineFlag = 1;
    vpn2.SetDword(L"MachineCertFlag", 2);

    EXPECT_EQ(certs.FillCertContext(nullptr), 1);
    EXPECT_EQ(certs.CandidateCount(), 2u);

    installManager.SetDword(L"IgnoreSameNameCertFlag", 1);
    certs.FreeCandidates();
    EXPECT_EQ(certs.FillCertContext(nullptr), 1);
    ASSERT_EQ(certs.CandidateCount(), 1u);
    EXPECT_TRUE(::CertCompareCertificate(X509_ASN_ENCODING, certs.Candidate(0)->pCertInfo,
                                         userCert.get()->pCertInfo));
    EXPECT_EQ(source.freed, 2);
}

TEST_F(ClientCertsTest, UnreadableIssuerListFailsTheSearch) {
    source.issuerStatus = SEC_E_INVALID_HANDLE;
    Owners::UniqueCredHandle credential;
    EXPECT_EQ(certs.FillCertContext(nullptr), 0);
    EXPECT_EQ(certs.CreateNewCredential(nullptr, credential, 0), 0);
    EXPECT_FALSE(certs.collected);
}

TEST_F(ClientCertsTest, OffersCandidatesInOrderAndRecordsTheOffer) {
    Owners::UniqueCertContext third = MakeCert(L"CN=Carol, O=Example");
    source.certs[certs.CurrentUserStore()] = {userCert.get(), machineCert.get(), third.get()};
    Owners::UniqueCredHandle credential;
    const wchar_t* expected[] = {L"Alice DEF", L"Bob", L"Carol"};
    for (const wchar_t* name : expected) {
        ASSERT_EQ(certs.CreateNewCredential(nullptr, credential, 0), 1);
        EXPECT_TRUE(credential);
        wchar_t value[128] = {};
        DWORD size = sizeof(value);
        ASSERT_EQ(::RegGetValueW(HKEY_CURRENT_USER, L"Software\\VPN\\CertInformation", L"Name",
                                 RRF_RT_REG_SZ, nullptr, value, &size),
                  ERROR_SUCCESS);
        EXPECT_STREQ(value, name);
        EXPECT_EQ(size, (wcslen(name) + 1) * sizeof(wchar_t));
    }
    EXPECT_EQ(certs.CreateNewCredential(nullptr, credential, 0), 0);
    EXPECT_EQ(source.searched.size(), 1u);  // collected once per transport
}

TEST_F(ClientCertsTest, ChoiceCallbackPicksTheIndex) {
    source.certs[certs.CurrentUserStore()] = {userCert.get(), machineCert.get()};
    certs.autoSelect = false;
    certs.callback = [](const CertChoiceEntry* entries, uint32_t count) -> uint32_t {
        return count == 2 && wcscmp(entries[1].name, L"Bob") == 0 ? 1 : 0xFFFFFFFF;
    };
    Owners::UniqueCredHandle credential;
    ASSERT_EQ(certs.CreateNewCredential(nullptr, credential, 0), 1);
    wchar_t value[128] = {};
    DWORD size = sizeof(value);
    ::RegGetValueW(HKEY_CURRENT_USER, L"Software\\VPN\\CertInformation", L"Provider", RRF_RT_REG_SZ,
                   nullptr, value, &size);
    EXPECT_STREQ(value, L"Bob");
    certs.callback = [](const CertChoiceEntry*, uint32_t) -> uint32_t { return 0xFFFFFFFF; };
    EXPECT_EQ(certs.CreateNewCredential(nullptr, credential, 0), 0);
}
