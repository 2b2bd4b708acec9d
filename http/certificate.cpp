// The server-certificate check behind https:// downloads: CryptoAPI builds
// the chain to a trusted root, the SSL policy judges it for the host's name,
// and the verdict and the chain's own faults become an outcome.
#include "http/certificate.h"

#include <string.h>

namespace {

// The SSL policy's "ignore revocation" check flag (SECURITY_FLAG_IGNORE_REVOCATION
// in wininet.h). No certificate revocation list is fetched, as browsers don't
// for each page; without it a certificate that names no list fails with
// CERT_E_REVOCATION_FAILURE.
const DWORD kIgnoreRevocation = 0x00000080;

// Chain faults that say nothing against the server: revocation was not
// asked about, so its status is unknown.
const DWORD kRevocationNotChecked =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
// Chain faults of dates alone.
const DWORD kOutOfDate = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;

// One check at a time: a listing's downloads reach here from several
// threads, and Wine's crypt32 builds its default chain engine on the first
// call without guarding it, so concurrent first calls in a process can tear
// down each other's engine (seen as every certificate of a listing refused).
// A check takes a few milliseconds once the root store is loaded.
SRWLOCK g_checkLock = SRWLOCK_INIT;

FetchMessage FromPolicyError(DWORD error) {
    switch (error) {
        case 0:
            return kFetchOk;
        case (DWORD)CERT_E_CN_NO_MATCH:
            return kFetchCertNameMismatch;
        case (DWORD)CERT_E_EXPIRED:                // expired, or not valid yet
        case (DWORD)CERT_E_VALIDITYPERIODNESTING:  // outside its issuer's period
            return kFetchCertExpired;
        default:
            return kFetchCertUntrusted;
    }
}

FetchMessage CheckLocked(const TlsApi& api, PCCERT_CONTEXT cert, const WCHAR* host) {
    // The chain must allow server authentication; no revocation flags, so
    // the engine fetches nothing from the network.
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    PCCERT_CHAIN_CONTEXT chain = NULL;
    if (!api.CertGetCertificateChain(NULL, cert, NULL, cert->hCertStore, &chainPara, 0, NULL,
                                     &chain)) {
        return kFetchCertUntrusted;
    }

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = kIgnoreRevocation;
    ssl.pwszServerName = const_cast<WCHAR*>(host);
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;

    FetchMessage outcome = kFetchCertUntrusted;
    if (api.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
        outcome = FromPolicyError(status.dwError);
    }
    // Wine's SSL policy passes a chain that stops short of any root it knows
    // (CERT_TRUST_IS_PARTIAL_CHAIN), so the chain's own faults are read too.
    // An untrustworthy chain outranks a wrong name or date: nothing in it counts.
    DWORD faults = chain->TrustStatus.dwErrorStatus & ~kRevocationNotChecked;
    if (faults & ~kOutOfDate) {
        outcome = kFetchCertUntrusted;
    } else if (faults && outcome == kFetchOk) {
        outcome = kFetchCertExpired;
    }
    api.CertFreeCertificateChain(chain);
    return outcome;
}

}  // namespace

FetchMessage CheckServerCertificate(const TlsApi& api, PCCERT_CONTEXT cert, const WCHAR* host) {
    if (!cert || !host) return kFetchCertUntrusted;
    AcquireSRWLockExclusive(&g_checkLock);
    FetchMessage outcome = CheckLocked(api, cert, host);
    ReleaseSRWLockExclusive(&g_checkLock);
    return outcome;
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a && b && a->cbCertEncoded == b->cbCertEncoded &&
           memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}
