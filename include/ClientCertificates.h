// Client certificates offered to the gateway when it asks for one during the
// TLS handshake: the candidates, their filters and the credential built with
// the next one.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <schannel.h>

#include <cstdint>
#include <vector>

#include "Owners.h"
#include "configfile.h"

namespace QuarloSocket {

// One entry of the list handed to a certificate choice callback.
struct CertChoiceEntry {
    wchar_t name[128];
    wchar_t provider[128];
};
// Returns the chosen index, or 0xFFFFFFFF for none.
using CertChoiceCallback = uint32_t (*)(const CertChoiceEntry* entries, uint32_t count);

// Where candidate certificates come from: the gateway's issuer list and the
// chains in a store that lead to one of those issuers.
class ICertCandidateSource {
public:
    virtual ~ICertCandidateSource() = default;
    // The issuers the gateway accepts; 0 on success, else the status. The
    // list is freed with FreeIssuers.
    virtual SECURITY_STATUS QueryIssuers(CtxtHandle* context,
                                         SecPkgContext_IssuerListInfoEx* issuers) = 0;
    virtual void FreeIssuers(SecPkgContext_IssuerListInfoEx* issuers) = 0;
    // The end certificates of the client-authentication chains in the store
    // that reach one of the issuers, each with a reference the caller owns.
    virtual std::vector<PCCERT_CONTEXT> FindChainEnds(
        HCERTSTORE store, const SecPkgContext_IssuerListInfoEx& issuers) = 0;
};
// nullptr restores the real source.
ICertCandidateSource* SetCertCandidateSourceForTest(ICertCandidateSource* source);

// The enabled-protocol mask for a handshake attempt (0 or 1) and its log text.
struct ProtocolChoice {
    DWORD protocols;
    const char* text;
};
ProtocolChoice SelectEnabledProtocols(int sslProto, uint32_t vpnServerFlag, int attempt);

// Credential description with the system's algorithm and validation
// choices; algs must outlive cred (one entry is enough).
void FillSchannelCred(SCHANNEL_CRED& cred, PCCERT_CONTEXT* cert, ALG_ID* algs,
                      DWORD protocols);

class CClientCertificates {
public:
    CClientCertificates() = default;
    CClientCertificates(const CClientCertificates&) = delete;
    CClientCertificates& operator=(const CClientCertificates&) = delete;

    // Opens both "MY" stores read-only; false when neither opened.
    bool OpenStores();
    HCERTSTORE CurrentUserStore() const { return m_hCertStoreCurrentUser.get(); }
    HCERTSTORE LocalMachineStore() const { return m_hCertStoreLocalMachine.get(); }

    // 1 after the search, 0 when the issuer list cannot be read.
    int FillCertContext(CtxtHandle* context);
    // 0: add the certificate, 1: drop it.
    int IsExistTheCert(PCCERT_CONTEXT cert, std::vector<PCCERT_CONTEXT> candidates,
                       bool fromLocalMachine);
    // 1 when credential now holds a new credential with the next certificate.
    int CreateNewCredential(CtxtHandle* context, Owners::UniqueCredHandle& credential,
                            uint32_t vpnServerFlag);

    void FreeCandidates();
    size_t CandidateCount() const { return m_candidates.size(); }
    PCCERT_CONTEXT Candidate(size_t i) const { return m_candidates[i].get(); }

    CertConfiguration config;
    uint32_t commandLineFlag = 0;
    bool autoSelect = true;
    CertChoiceCallback callback = nullptr;
    uint32_t nextIndex = 0;
    bool collected = false;

private:
    Owners::UniqueCertStore m_hCertStoreCurrentUser;
    Owners::UniqueCertStore m_hCertStoreLocalMachine;
    std::vector<Owners::UniqueCertContext> m_candidates;
};

}  // namespace QuarloSocket
