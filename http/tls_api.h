// The system functions behind https:// downloads: SChannel's (secur32.dll)
// and the certificate functions (crypt32.dll). Neither DLL is imported: a
// list of http:// addresses never loads them. They are loaded from the
// system folder on the first https:// download and pinned for the life of
// the process, so loading and unloading the plug-in many times loads them
// once (Wine's secur32 starts Winsock at every load and never cleans up).
// Windows builds only.
#ifndef KESTA_HTTP_TLS_API_H
#define KESTA_HTTP_TLS_API_H

#include "compat/win32.h"

// CERT_CHAIN_PARA with its time-out for fetching missing certificates.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <wincrypt.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

struct TlsApi {
    PSecurityFunctionTableW sspi;  // AcquireCredentialsHandleW, InitializeSecurityContextW, ...
    BOOL(WINAPI* CertGetCertificateChain)
    (HCERTCHAINENGINE, PCCERT_CONTEXT, LPFILETIME, HCERTSTORE, PCERT_CHAIN_PARA, DWORD, LPVOID,
     PCCERT_CHAIN_CONTEXT*);
    BOOL(WINAPI* CertVerifyCertificateChainPolicy)
    (LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA, PCERT_CHAIN_POLICY_STATUS);
    VOID(WINAPI* CertFreeCertificateChain)(PCCERT_CHAIN_CONTEXT);
    BOOL(WINAPI* CertFreeCertificateContext)(PCCERT_CONTEXT);
    PCCERT_CONTEXT(WINAPI* CertDuplicateCertificateContext)(PCCERT_CONTEXT);
    PCERT_EXTENSION(WINAPI* CertFindExtension)(LPCSTR, DWORD, CERT_EXTENSION*);
    BOOL(WINAPI* CryptDecodeObjectEx)
    (DWORD, LPCSTR, const BYTE*, DWORD, DWORD, PCRYPT_DECODE_PARA, void*, DWORD*);
    DWORD(WINAPI* CertGetPublicKeyLength)(DWORD, PCERT_PUBLIC_KEY_INFO);
};

// The functions, loaded on the first call (from any thread); NULL when this
// system lacks either DLL or one of the functions.
const TlsApi* LoadTlsApi();

// Wine 8's SChannel keeps every credentials and context handle in one table
// that it grows and links without a lock: two threads that make or free
// handles at once break its free list for the life of the process (every
// later handshake then fails with SEC_E_INTERNAL_ERROR, seen after some
// hundred parallel listings), and a look-up while another thread grows the
// table reads freed memory. Each SSPI call is therefore made under this
// lock: held alone by a call that may make or free a handle (credentials,
// InitializeSecurityContext, deleting a context), shared by calls that only
// look theirs up (encrypting, decrypting, queries), so that the records of
// parallel downloads are still decrypted side by side.
class SspiLock {
public:
    enum Access { kLookUp, kChange };
    explicit SspiLock(Access access);
    ~SspiLock();
    SspiLock(const SspiLock&) = delete;
    SspiLock& operator=(const SspiLock&) = delete;

private:
    Access access_;
};

#endif  // KESTA_HTTP_TLS_API_H
