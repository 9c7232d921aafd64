#include "ClientCertificates.h"

#include <string>

#include "CommonFunction.h"
#include "Loglib.h"
#include "SharedNames.h"
#include "System.h"

// The certificate steps run inside the TLS handshake and log under its name.
#undef QLOG_SOURCE_FILE
#define QLOG_SOURCE_FILE L"SSLTunnelTransport.cpp"

namespace QuarloSocket {

namespace {

constexpr wchar_t kTlsProvider[] = L"Microsoft Unified Security Protocol Provider";

class RealCertCandidateSource : public ICertCandidateSource {
public:
    SECURITY_STATUS QueryIssuers(CtxtHandle* context,
                                 SecPkgContext_IssuerListInfoEx* issuers) override {
        return ::QueryContextAttributesW(context, SECPKG_ATTR_ISSUER_LIST_EX, issuers);
    }
    void FreeIssuers(SecPkgContext_IssuerListInfoEx* issuers) override {
        if (issuers->aIssuers) ::FreeContextBuffer(issuers->aIssuers);
        issuers->aIssuers = nullptr;
    }
    std::vector<PCCERT_CONTEXT> FindChainEnds(
        HCERTSTORE store, const SecPkgContext_IssuerListInfoEx& issuers) override {
        std::vector<PCCERT_CONTEXT> found;
        CERT_CHAIN_FIND_BY_ISSUER_PARA para{};
        para.cbSize = sizeof(para);
        para.pszUsageIdentifier = szOID_PKIX_KP_CLIENT_AUTH;
        para.dwKeySpec = 0;
        para.cIssuer = issuers.cIssuers;
        para.rgIssuer = issuers.aIssuers;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        while ((chain = ::CertFindChainInStore(store, X509_ASN_ENCODING, 0,
                                               CERT_CHAIN_FIND_BY_ISSUER, &para, chain))) {
            found.push_back(
                ::CertDuplicateCertificateContext(chain->rgpChain[0]->rgpElement[0]->pCertContext));
        }
        return found;
    }
};

RealCertCandidateSource g_realSource;
ICertCandidateSource* g_source = &g_realSource;

std::wstring SimpleName(PCCERT_CONTEXT cert, DWORD flags) {
    wchar_t name[128] = {};
    ::CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, 128);
    return name;
}

std::wstring Lower(std::wstring text) {
    if (!text.empty()) ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// Any non-empty ";"-separated part of the filter occurs in the name.
bool FilterMatches(const std::wstring& filter, const std::wstring& name) {
    const std::wstring lowName = Lower(name);
    const std::wstring lowFilter = Lower(filter);
    if (lowFilter.find(L';') == std::wstring::npos)
        return lowName.find(lowFilter) != std::wstring::npos;
    size_t start = 0;
    while (start <= lowFilter.size()) {
        size_t end = lowFilter.find(L';', start);
        if (end == std::wstring::npos) end = lowFilter.size();
        const std::wstring part = lowFilter.substr(start, end - start);
        if (!part.empty() && lowName.find(part) != std::wstring::npos) return true;
        start = end + 1;
    }
    return false;
}

bool IgnoreSameNameCerts() {
    DWORD value = 0;
    return ReadRegistryDword(HKEY_LOCAL_MACHINE, kInstallManagerKey,
                             L"IgnoreSameNameCertFlag", value) == ERROR_SUCCESS &&
           value == 1;
}

}  // namespace

ICertCandidateSource* SetCertCandidateSourceForTest(ICertCandidateSource* source) {
    return std::exchange(g_source, source ? source : &g_realSource);
}

ProtocolChoice SelectEnabledProtocols(int sslProto, uint32_t vpnServerFlag, int attempt) {
    switch (sslProto) {
        case 1: return {0x30, "SchannelCred.grbitEnabledProtocols = SP_PROT_SSL3\n"};
        case 2: return {0xC0, "SchannelCred.grbitEnabledProtocols = SP_PROT_TLS1\n"};
        case 3: return {0xC00, "SchannelCred.grbitEnabledProtocols = SP_PROT_TLS1_2\n"};
        case 4: return {0xF0, "SchannelCred.grbitEnabledProtocols = SP_PROT_SSL3|SP_PROT_TLS1\n"};
        case 5:
            return {0xCC0, "SchannelCred.grbitEnabledProtocols = SP_PROT_TLS1|SP_PROT_TLS1_2\n"};
        case 6:
            return {0xC30, "SchannelCred.grbitEnabledProtocols = SP_PROT_SSL3|SP_PROT_TLS1_2\n"};
        case 7:
            return {0xCF0,
                    "SchannelCred.grbitEnabledProtocols = SP_PROT_SSL3|SP_PROT_TLS1|SP_PROT_TLS1_2\n"};
        default: break;
    }
    const bool wide = (vpnServerFlag == 0) == (attempt == 0);
    if (wide)
        return {0xCF0, "SchannelCred.grbitEnabledProtocols = SP_PROT_TLS1|SP_PROT_SSL3|SP_PROT_TLS1_2.\n"};
    return {0xF0, "SchannelCred.grbitEnabledProtocols = SP_PROT_TLS1|SP_PROT_SSL3.\n"};
}

void FillSchannelCred(SCHANNEL_CRED& cred, PCCERT_CONTEXT* cert, ALG_ID* algs, DWORD protocols) {
    cred = SCHANNEL_CRED{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    if (cert && *cert) {
        cred.cCreds = 1;
        cred.paCred = cert;
    }
    // XP's provider needs the key exchange named.
    if (GetOSVersion() == 2) {
        algs[0] = CALG_RSA_KEYX;
        cred.cSupportedAlgs = 1;
        cred.palgSupportedAlgs = algs;
    }
    cred.grbitEnabledProtocols = protocols;
    cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
}

bool CClientCertificates::OpenStores() {
    m_hCertStoreCurrentUser.reset(::CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY"));
    const DWORD userError = ::GetLastError();
    m_hCertStoreLocalMachine.reset(::CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"MY"));
    if (!m_hCertStoreCurrentUser && !m_hCertStoreLocalMachine) {
        ::SetLastError(userError);
        return false;
    }
    return true;
}

void CClientCertificates::FreeCandidates() {
    m_candidates.clear();
}

int CClientCertificates::FillCertContext(CtxtHandle* context) {
    LOGA(LOG_INFO, "Client Auth enabled, try to enumerate all cert contexts\n");
    SecPkgContext_IssuerListInfoEx issuers{};
    const SECURITY_STATUS status = g_source->QueryIssuers(context, &issuers);
    if (status != SEC_E_OK) {
        LOGA(LOG_ERROR, "SSLTunnel: Query context attributes failed. Error = %d.\n",
             static_cast<int>(status));
        return 0;
    }

    bool user = false, machine = false;
    if (commandLineFlag == 1 || commandLineFlag == 2) {
        switch (GetLocalMachineCertPathFlag()) {
            case 1:
                LOGA(LOG_INFO, "FillCertContext: detect iMachineCertValue is 1, local machine only\n");
                machine = true;
                break;
            case 2: user = machine = true; break;
            default:
                LOGA(LOG_INFO, "FillCertContext: detect iMachineCertValue is 0, current user only\n");
                user = true;
                break;
        }
    } else {
        LOGA(LOG_INFO, "SSLTunnel: Can't get Brevanto GUI and Commandline Flag.\n");
        if (!config.certPathPresent || config.certPath == 1) user = true;
        else if (config.certPath == 2) machine = true;
        else user = machine = true;
    }

    struct StoreChoice {
        bool wanted;
        HCERTSTORE store;
        bool localMachine;
        const char* line;
    } stores[] = {
        {user, m_hCertStoreCurrentUser.get(), false,
         "CertFindChainInStore for m_hCertStoreCurrentUser success\n"},
        {machine, m_hCertStoreLocalMachine.get(), true,
         "CertFindChainInStore for m_hCertStoreLocalMachine success\n"},
    };
    for (const StoreChoice& choice : stores) {
        if (!choice.wanted || !choice.store) continue;
        for (PCCERT_CONTEXT found : g_source->FindChainEnds(choice.store, issuers)) {
            Owners::UniqueCertContext cert(found);
            LOGA(LOG_INFO, "%s", choice.line);
            std::vector<PCCERT_CONTEXT> sofar;
            for (const auto& c : m_candidates) sofar.push_back(c.get());
            if (IsExistTheCert(cert.get(), sofar, choice.localMachine) == 0)
                m_candidates.push_back(std::move(cert));
        }
    }
    g_source->FreeIssuers(&issuers);
    return 1;
}

int CClientCertificates::IsExistTheCert(PCCERT_CONTEXT cert, std::vector<PCCERT_CONTEXT> candidates,
                                        bool fromLocalMachine) {
    const std::wstring name = SimpleName(cert, 0);
    const std::wstring provider = SimpleName(cert, CERT_NAME_ISSUER_FLAG);
    const bool strict = config.conditionAndPresent && config.conditionAnd;

    const bool nameOk =
        config.filterNamePresent ? FilterMatches(config.filterName, name) : strict;
    const bool providerOk =
        config.filterProviderPresent ? FilterMatches(config.filterProvider, provider) : strict;
    if (config.filterNamePresent || config.filterProviderPresent) {
        LOGW(LOG_INFO, L"Cert Filter: Name:%s, Provider:%s, NameOK:%d, ProviderOK:%d\n",
             name.c_str(), provider.c_str(), nameOk ? 1 : 0, providerOk ? 1 : 0);
        if (strict ? !(nameOk && providerOk) : !(nameOk || providerOk)) return 1;
    }

    if (IgnoreSameNameCerts()) {
        LOGA(LOG_INFO, "IsExistTheCert: Ignore Certificates with Same Name.\n");
        for (PCCERT_CONTEXT other : candidates) {
            if (SimpleName(other, 0) == name && SimpleName(other, CERT_NAME_ISSUER_FLAG) == provider) {
                LOGW(LOG_INFO,
                     L"IsExistTheCert: find the same cert,name:%s, provider:%s, ignore it, "
                     L"bLocalMachine:%d\n",
                     name.c_str(), provider.c_str(), fromLocalMachine ? 1 : 0);
                return 1;
            }
        }
    }
    LOGW(LOG_INFO, L"Found cert: name:%s, provider:%s, from LocalMachine:%d\n", name.c_str(),
         provider.c_str(), fromLocalMachine ? 1 : 0);
    return 0;
}

int CClientCertificates::CreateNewCredential(CtxtHandle* context,
                                             Owners::UniqueCredHandle& credential,
                                             uint32_t vpnServerFlag) {
    if (!collected) {
        if (!FillCertContext(context)) return 0;
        collected = true;
    }
    const uint32_t count = static_cast<uint32_t>(m_candidates.size());
    uint32_t index = 0;
    if (autoSelect || !callback) {
        LOGA(LOG_INFO, "SSLTunnel: Trying certificate index %d of %d.\n", static_cast<int>(nextIndex),
             static_cast<int>(count));
        if (nextIndex >= count) {
            LOGA(LOG_ERROR, "SSLTunnel: No certification is selected\n");
            return 0;
        }
        index = nextIndex++;
    } else {
        std::vector<CertChoiceEntry> entries(count);
        for (uint32_t i = 0; i < count; ++i) {
            const std::wstring n = SimpleName(m_candidates[i].get(), 0);
            const std::wstring p = SimpleName(m_candidates[i].get(), CERT_NAME_ISSUER_FLAG);
            LOGW(LOG_INFO, L"Found cert: chCertName:%s, chProvider:%s\n", n.c_str(), p.c_str());
            lstrcpynW(entries[i].name, n.c_str(), 128);
            lstrcpynW(entries[i].provider, p.c_str(), 128);
        }
        index = callback(entries.data(), count);
        if (index == 0xFFFFFFFF) {
            LOGA(LOG_ERROR, "SSLTunnel: No certification is selected\n");
            return 0;
        }
    }

    PCCERT_CONTEXT cert = index < count ? m_candidates[index].get() : nullptr;
    const std::wstring name = cert ? SimpleName(cert, 0) : L"";
    const std::wstring provider = cert ? SimpleName(cert, CERT_NAME_ISSUER_FLAG) : L"";
    const ProtocolChoice protocols = SelectEnabledProtocols(GetSSLProtoFlag(), vpnServerFlag, 0);
    LOGA(LOG_INFO, "%s", protocols.text);
    SCHANNEL_CRED cred;
    ALG_ID algs[1] = {};
    FillSchannelCred(cred, &cert, algs, protocols.protocols);
    LOGW(LOG_INFO, L"SSLTunnel: using cert:name:%s,provider:%s\n", name.c_str(), provider.c_str());

    CredHandle handle{};
    TimeStamp expiry{};
    const SECURITY_STATUS status =
        ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(kTlsProvider), SECPKG_CRED_OUTBOUND,
                                    nullptr, &cred, nullptr, nullptr, &handle, &expiry);
    if (status != SEC_E_OK) {
        LOGA(LOG_ERROR, "SSLTunnel: Acquire credentials handle failed. Error = %d.\n",
             static_cast<int>(::GetLastError()));
        return 0;
    }
    credential.reset(handle);

    Owners::UniqueRegKey key;
    LSTATUS ret = ::RegCreateKeyExW(HKEY_CURRENT_USER, kCertInformationKey, 0, nullptr,
                                    0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (ret == ERROR_SUCCESS) {
        ret = ::RegSetValueExW(key.get(), L"Name", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(name.c_str()),
                               static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    }
    if (ret != ERROR_SUCCESS)
        LOGA(LOG_INFO, "SSLTunnel: reg write cert name failed, ret is %d\n", static_cast<int>(ret));
    if (key) {
        ret = ::RegSetValueExW(key.get(), L"Provider", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(provider.c_str()),
                               static_cast<DWORD>((provider.size() + 1) * sizeof(wchar_t)));
    }
    if (ret != ERROR_SUCCESS)
        LOGA(LOG_INFO, "SSLTunnel: reg write cert provider failed, ret is %d\n", static_cast<int>(ret));
    LOGA(LOG_INFO, "SSLTunnel: A new credential is created successfully!\n");
    return 1;
}

}  // namespace QuarloSocket
