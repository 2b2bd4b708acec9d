// The server-certificate check behind https:// downloads: CryptoAPI builds
// the chain to a trusted root and the SSL policy judges it; the strength of
// each link and the names are judged here, by browsers' rules. A watched
// download runs the check on a thread of its own, so that the host keeps
// hearing from it (the first chain build of a process loads the root store:
// 0.3 to 0.4 s under Wine) and can cancel it.
#include "http/certificate.h"

#include <string.h>

#include "http/certname.h"

namespace {

// The SSL policy's "ignore revocation" check flag (SECURITY_FLAG_IGNORE_REVOCATION
// in wininet.h). No certificate revocation list is fetched, as browsers don't
// for each page; without it a certificate that names no list fails with
// CERT_E_REVOCATION_FAILURE.
const DWORD kIgnoreRevocation = 0x00000080;
const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Chain faults that say nothing against the server: revocation was not
// asked about, so its status is unknown.
const DWORD kRevocationNotChecked =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
// Chain faults of dates alone.
const DWORD kOutOfDate = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;

// Signatures browsers no longer accept below a root: MD2, MD4, MD5 and
// SHA-1 with RSA (PKCS #1 and OIW forms), DSA and ECDSA with SHA-1.
const char* const kWeakSignatures[] = {
    "1.2.840.113549.1.1.2", "1.2.840.113549.1.1.3", "1.2.840.113549.1.1.4",
    "1.2.840.113549.1.1.5", "1.3.14.3.2.3",         "1.3.14.3.2.29",
    "1.3.14.3.2.13",        "1.3.14.3.2.27",        "1.2.840.10040.4.3",
    "1.2.840.10045.4.1",
};
const DWORD kLeastRsaBits = 2048;
// The curves of 256 bits and more that browsers speak, as the DER of their
// object identifiers in the key's parameters: P-256, P-384, P-521.
const BYTE kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const BYTE kP384[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
const BYTE kP521[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
// A subject-alternative-name list longer than this is no server's.
const DWORD kMostAltNames = 1024;
// The longest DNS name (RFC 1035: 253 characters) and its NUL, with room.
const size_t kDnsNameCapacity = 256;

// The first chain build of a process, made alone: Wine's crypt32 builds its
// default chain engine on that call without guarding it, so concurrent first
// calls can tear down each other's engine (seen as every certificate of a
// listing refused). That build fetches nothing from the network, so the
// lock is never held across a network wait; later builds run side by side.
SRWLOCK g_firstBuildLock = SRWLOCK_INIT;
volatile LONG g_engineReady = 0;

bool IsWeakSignature(const char* oid) {
    for (const char* weak : kWeakSignatures) {
        if (oid && strcmp(oid, weak) == 0) return true;
    }
    return false;
}

bool SameBytes(const CRYPT_OBJID_BLOB& blob, const BYTE* bytes, size_t n) {
    return blob.cbData == n && memcmp(blob.pbData, bytes, n) == 0;
}

// True when a certificate's key is too short for browsers.
bool IsWeakKey(const TlsApi& api, CERT_PUBLIC_KEY_INFO* key) {
    const char* algorithm = key->Algorithm.pszObjId;
    if (algorithm && strcmp(algorithm, szOID_RSA_RSA) == 0) {
        return api.CertGetPublicKeyLength(kEncoding, key) < kLeastRsaBits;
    }
    if (algorithm && strcmp(algorithm, szOID_ECC_PUBLIC_KEY) == 0) {
        const CRYPT_OBJID_BLOB& curve = key->Algorithm.Parameters;
        return !SameBytes(curve, kP256, sizeof kP256) && !SameBytes(curve, kP384, sizeof kP384) &&
               !SameBytes(curve, kP521, sizeof kP521);
    }
    return false;
}

// True when a certificate below the chain's root is signed or keyed weakly.
bool HasWeakLink(const TlsApi& api, PCCERT_CHAIN_CONTEXT chain) {
    if (chain->cChain == 0) return true;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i + 1 < simple->cElement; ++i) {
        CERT_INFO* info = simple->rgpElement[i]->pCertContext->pCertInfo;
        if (IsWeakSignature(info->SignatureAlgorithm.pszObjId) ||
            IsWeakKey(api, &info->SubjectPublicKeyInfo)) {
            return true;
        }
    }
    return false;
}

// True when the certificate's subject-alternative-name list names `host`.
bool NamesHost(const TlsApi& api, PCCERT_CONTEXT cert, const char* host) {
    CERT_INFO* info = cert->pCertInfo;
    CERT_EXTENSION* ext =
        api.CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!ext) return false;  // no list: no name (the common name is not read)
    CERT_ALT_NAME_INFO* names = NULL;
    DWORD size = 0;
    if (!api.CryptDecodeObjectEx(kEncoding, X509_ALTERNATE_NAME, ext->Value.pbData,
                                 ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, NULL, &names,
                                 &size)) {
        return false;
    }
    bool named = false;
    for (DWORD i = 0; i < names->cAltEntry && i < kMostAltNames && !named; ++i) {
        const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
        CertAltName n = {false, NULL, 0};
        unsigned char dns[kDnsNameCapacity];
        if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
            n = CertAltName{true, e.IPAddress.pbData, e.IPAddress.cbData};
        } else if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && e.pwszDNSName) {
            // A DNS name is ASCII; any other character stays one that never matches.
            size_t k = 0;
            for (; e.pwszDNSName[k] && k < sizeof dns; ++k) {
                WCHAR c = e.pwszDNSName[k];
                dns[k] = c < 0x80 ? (unsigned char)c : 0x80;
            }
            if (k < sizeof dns) n = CertAltName{false, dns, k};
        }
        named = CertNamesHost(&n, 1, host);
    }
    LocalFree(names);
    return named;
}

FetchMessage FromPolicyError(DWORD error) {
    switch (error) {
        case 0:
            return kFetchOk;
        case (DWORD)CERT_E_EXPIRED:                // expired, or not valid yet
        case (DWORD)CERT_E_VALIDITYPERIODNESTING:  // outside its issuer's period
            return kFetchCertExpired;
        default:
            return kFetchCertUntrusted;
    }
}

// Builds the chain; `cacheOnly` fetches no missing certificate from the
// network (the first build, made under the lock).
bool BuildChain(const TlsApi& api, PCCERT_CONTEXT cert, bool cacheOnly,
                PCCERT_CHAIN_CONTEXT* chain) {
    // The chain must allow server authentication; no revocation flags.
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    para.dwUrlRetrievalTimeout = kIdleLimitMs;
    DWORD flags = cacheOnly ? CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL : 0;
    return api.CertGetCertificateChain(NULL, cert, NULL, cert->hCertStore, &para, flags, NULL,
                                       chain) != FALSE;
}

// The chain, from the first build of the process made alone and from the
// cache only; a chain that it left short of a root is built again, outside
// the lock, fetching what is missing.
bool Chain(const TlsApi& api, PCCERT_CONTEXT cert, PCCERT_CHAIN_CONTEXT* chain) {
    if (!g_engineReady) {
        AcquireSRWLockExclusive(&g_firstBuildLock);
        bool first = !g_engineReady;
        bool built = first && BuildChain(api, cert, true, chain);
        InterlockedExchange(&g_engineReady, 1);
        ReleaseSRWLockExclusive(&g_firstBuildLock);
        if (built && !((*chain)->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN)) {
            return true;
        }
        if (built) api.CertFreeCertificateChain(*chain);
    }
    return BuildChain(api, cert, false, chain);
}

FetchMessage Check(const TlsApi& api, PCCERT_CONTEXT cert, const char* host) {
    PCCERT_CHAIN_CONTEXT chain = NULL;
    if (!Chain(api, cert, &chain)) return kFetchCertUntrusted;

    // The policy judges the chain; the name is judged below, not by it.
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = kIgnoreRevocation;
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
    // A weak link is named first (Wine's crypt32 cannot verify some weak
    // signatures and calls them invalid); then an untrustworthy chain
    // outranks the rest: nothing in it counts.
    DWORD faults = chain->TrustStatus.dwErrorStatus & ~kRevocationNotChecked;
    if (HasWeakLink(api, chain)) {
        outcome = kFetchCertWeak;
    } else if (faults & ~kOutOfDate) {
        outcome = kFetchCertUntrusted;
    } else if (faults && outcome == kFetchOk) {
        outcome = kFetchCertExpired;
    }
    if (outcome == kFetchOk && !NamesHost(api, cert, host)) outcome = kFetchCertNameMismatch;
    api.CertFreeCertificateChain(chain);
    return outcome;
}

// A check run on a thread of its own for a watched download. The download
// and the thread each hold a reference; whoever lets go last frees it, so a
// download that was cancelled or timed out may return while the check goes
// on. The thread also holds the plug-in loaded until it has ended.
struct CheckJob {
    volatile LONG references;
    HANDLE done;  // set once `outcome` is in
    const TlsApi* api;
    PCCERT_CONTEXT cert;  // the job's own copy
    char host[kDnsNameCapacity];
    FetchMessage outcome;
    HMODULE module;
};

void Release(CheckJob* job) {
    if (InterlockedDecrement(&job->references) != 0) return;
    job->api->CertFreeCertificateContext(job->cert);
    CloseHandle(job->done);
    GlobalFree(job);
}

DWORD WINAPI RunCheck(LPVOID parameter) {
    CheckJob* job = static_cast<CheckJob*>(parameter);
    HMODULE module = job->module;
    job->outcome = Check(*job->api, job->cert, job->host);
    SetEvent(job->done);
    Release(job);
    FreeLibraryAndExitThread(module, 0);
}

int WaitForCheck(void* context, DWORD milliseconds) {
    DWORD waited = WaitForSingleObject(static_cast<CheckJob*>(context)->done, milliseconds);
    if (waited == WAIT_OBJECT_0) return 1;
    return waited == WAIT_TIMEOUT ? 0 : -1;
}

// The job for `cert`, its thread started; NULL when any step fails (the
// check then runs on the download's own thread).
CheckJob* StartCheck(const TlsApi& api, PCCERT_CONTEXT cert, const char* host) {
    size_t hostLength = strlen(host);
    if (hostLength >= kDnsNameCapacity) return NULL;
    CheckJob* job = static_cast<CheckJob*>(GlobalAlloc(GPTR, sizeof(CheckJob)));
    if (!job) return NULL;
    job->references = 2;
    job->api = &api;
    memcpy(job->host, host, hostLength + 1);
    job->done = CreateEventW(NULL, TRUE, FALSE, NULL);
    job->cert = api.CertDuplicateCertificateContext(cert);
    const DWORD kByAddress = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    bool held = GetModuleHandleExW(kByAddress, reinterpret_cast<LPCWSTR>(&RunCheck), &job->module);
    HANDLE thread = job->done && job->cert && held
                        ? CreateThread(NULL, 0, RunCheck, job, 0, NULL)
                        : NULL;
    if (!thread) {
        if (held) FreeLibrary(job->module);
        if (job->cert) api.CertFreeCertificateContext(job->cert);
        if (job->done) CloseHandle(job->done);
        GlobalFree(job);
        return NULL;
    }
    CloseHandle(thread);
    return job;
}

}  // namespace

FetchMessage CheckServerCertificate(const TlsApi& api, PCCERT_CONTEXT cert, const char* host,
                                    const Pulse* pulse) {
    if (!cert || !host) return kFetchCertUntrusted;
    CheckJob* job = pulse && pulse->silent ? StartCheck(api, cert, host) : NULL;
    if (!job) return Check(api, cert, host);
    FetchMessage waited = PulsedWait(WaitForCheck, job, pulse, kFetchCertUntrusted);
    FetchMessage outcome = waited == kFetchOk ? job->outcome : waited;
    Release(job);
    return outcome;
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a && b && a->cbCertEncoded == b->cbCertEncoded &&
           memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}
