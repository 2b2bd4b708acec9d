// Loads secur32.dll and crypt32.dll from the system folder, once per
// process, and keeps them: see tls_api.h.
#include "http/tls_api.h"

namespace {

INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;
TlsApi g_api;
SRWLOCK g_sspiLock = SRWLOCK_INIT;

// The DLL of that name in the system folder (never one beside the host),
// pinned so that it stays for the life of the process. NULL on failure.
HMODULE LoadPinned(const WCHAR* name) {
    WCHAR path[MAX_PATH + 32];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return NULL;
    path[n++] = L'\\';
    for (const WCHAR* p = name; *p; ++p) path[n++] = *p;
    path[n] = 0;
    HMODULE m = LoadLibraryW(path);
    HMODULE pinned = NULL;
    const DWORD kPinByAddress =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN;
    if (!m || !GetModuleHandleExW(kPinByAddress, reinterpret_cast<LPCWSTR>(m), &pinned))
        return NULL;
    return m;
}

template <typename Fn>
bool Find(HMODULE m, const char* name, Fn* out) {
    FARPROC p = GetProcAddress(m, name);
    *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
    return p != NULL;
}

BOOL CALLBACK Load(PINIT_ONCE, PVOID, PVOID* context) {
    HMODULE secur32 = LoadPinned(L"secur32.dll");
    HMODULE crypt32 = LoadPinned(L"crypt32.dll");
    INIT_SECURITY_INTERFACE_W init = NULL;
    bool found = secur32 && crypt32 && Find(secur32, "InitSecurityInterfaceW", &init) &&
                 Find(crypt32, "CertGetCertificateChain", &g_api.CertGetCertificateChain) &&
                 Find(crypt32, "CertVerifyCertificateChainPolicy",
                      &g_api.CertVerifyCertificateChainPolicy) &&
                 Find(crypt32, "CertFreeCertificateChain", &g_api.CertFreeCertificateChain) &&
                 Find(crypt32, "CertFreeCertificateContext", &g_api.CertFreeCertificateContext) &&
                 Find(crypt32, "CertDuplicateCertificateContext",
                      &g_api.CertDuplicateCertificateContext) &&
                 Find(crypt32, "CertFindExtension", &g_api.CertFindExtension) &&
                 Find(crypt32, "CryptDecodeObjectEx", &g_api.CryptDecodeObjectEx) &&
                 Find(crypt32, "CertGetPublicKeyLength", &g_api.CertGetPublicKeyLength);
    g_api.sspi = found ? init() : NULL;
    *context = g_api.sspi ? &g_api : NULL;
    return TRUE;
}

}  // namespace

const TlsApi* LoadTlsApi() {
    void* api = NULL;
    if (!InitOnceExecuteOnce(&g_once, Load, NULL, &api)) return NULL;
    return static_cast<const TlsApi*>(api);
}

SspiLock::SspiLock(Access access) : access_(access) {
    if (access_ == kChange) {
        AcquireSRWLockExclusive(&g_sspiLock);
    } else {
        AcquireSRWLockShared(&g_sspiLock);
    }
}

SspiLock::~SspiLock() {
    if (access_ == kChange) {
        ReleaseSRWLockExclusive(&g_sspiLock);
    } else {
        ReleaseSRWLockShared(&g_sspiLock);
    }
}
