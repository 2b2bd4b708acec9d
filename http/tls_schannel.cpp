// TLS for https:// downloads over the system's SChannel: the credentials,
// the handshake (and any the server asks for later), the checks of the
// protocol and the server's certificate. The records that carry the request
// and the response are http/tls_records.cpp's.
#include <string.h>

#include "http/certificate.h"
#include "http/tls_session.h"

namespace {

// InitializeSecurityContext calls a handshake may take, besides those that
// only ask for more bytes; a full TLS 1.2 handshake takes a handful.
const int kMostHandshakeSteps = 64;
// Handshakes the server may ask for after the first with no plaintext in
// between (a TLS 1.3 server sends a ticket or two); more is no progress.
const int kMostQuietHandshakes = 16;

const DWORD kContextFlags = ISC_REQ_STREAM | ISC_REQ_CONFIDENTIALITY | ISC_REQ_SEQUENCE_DETECT |
                            ISC_REQ_REPLAY_DETECT | ISC_REQ_ALLOCATE_MEMORY |
                            ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION;
// The certificate is checked by CheckServerCertificate, not by SChannel;
// no client certificate is taken from the user's store.
const DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
const DWORD kBelowTls12Client =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
const DWORD kBelowTls12 =
    SP_PROT_PCT1 | SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;

// Where a handshake step's input comes from: the bytes held, more bytes
// from the socket, or none (SChannel then writes the client's hello).
enum StepInput { kHeld, kReceived, kNoInput };

// The best the system has (TLS 1.3 where Windows has it) with everything
// below TLS 1.2 turned off; Windows before 10 (1809) refuses that form and
// is asked for TLS 1.2 alone.
// Made under the lock, alone: the caller holds SspiLock(kChange).
bool AcquireCredentials(const TlsApi* api, CredHandle* out) {
    LPWSTR package = const_cast<LPWSTR>(UNISP_NAME_W);
    TimeStamp expiry;
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = kBelowTls12Client;
    SCH_CREDENTIALS best = {};
    best.dwVersion = SCH_CREDENTIALS_VERSION;
    best.dwFlags = kCredentialFlags;
    best.cTlsParameters = 1;
    best.pTlsParameters = &parameters;
    if (api->sspi->AcquireCredentialsHandleW(NULL, package, SECPKG_CRED_OUTBOUND, NULL, &best, NULL,
                                             NULL, out, &expiry) == SEC_E_OK) {
        return true;
    }
    SCHANNEL_CRED older = {};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = kCredentialFlags;
    return api->sspi->AcquireCredentialsHandleW(NULL, package, SECPKG_CRED_OUTBOUND, NULL, &older,
                                                NULL, NULL, out, &expiry) == SEC_E_OK;
}

// The session's credentials: the call's shared ones (made by the first
// session that needs them), or its own when there is nothing to share.
bool UseCredentials(TlsSession* t, TlsCredentials** shared) {
    SspiLock lock(SspiLock::kChange);
    if (!shared) {
        t->haveOwn = AcquireCredentials(t->api, &t->own);
        t->credentials = &t->own;
        return t->haveOwn;
    }
    if (!*shared) {
        TlsCredentials* made = static_cast<TlsCredentials*>(GlobalAlloc(GPTR, sizeof *made));
        if (!made) return false;
        made->api = t->api;
        if (!AcquireCredentials(t->api, &made->handle)) {
            GlobalFree(made);
            return false;
        }
        *shared = made;
    }
    t->credentials = &(*shared)->handle;
    return true;
}

// Sends the tokens SChannel wrote (handshake messages, or an alert after a
// failure) if `send`, and frees all three output buffers. False if a send failed.
bool FlushOutput(const TlsSession* t, SOCKET s, SecBuffer* out, bool send) {
    bool sent = true;
    for (int i = 0; i < 3; i++) {
        if (send && sent && out[i].BufferType == SECBUFFER_TOKEN && out[i].cbBuffer > 0) {
            const char* token = static_cast<const char*>(out[i].pvBuffer);
            sent = token && SendAll(s, token, out[i].cbBuffer) == kFetchOk;
        }
        if (out[i].pvBuffer) {
            SspiLock lock(SspiLock::kLookUp);
            t->api->sspi->FreeContextBuffer(out[i].pvBuffer);
        }
        out[i].pvBuffer = NULL;
    }
    return sent;
}

// Runs handshake messages through SChannel until it reports the context
// complete (the first from no input, later ones from the bytes held); bytes
// after the last message stay held. kFetchOk, kFetchTlsUnavailable (no hello
// could be written), kFetchHandshakeFailed (after sending any alert),
// kFetchSendFailed, kFetchReceiveFailed or kFetchCancelled.
FetchMessage Negotiate(TlsSession* t, SOCKET s, const Pulse* pulse, StepInput input) {
    for (int steps = 0; steps < kMostHandshakeSteps;) {
        if (input == kReceived) {
            size_t got = 0;
            FetchMessage outcome = ReceiveMore(t, s, pulse, &got);
            if (outcome != kFetchOk) return outcome;
            if (got == 0) return kFetchHandshakeFailed;  // the server closed mid-handshake
        }
        size_t held = t->end - t->start;
        SecBuffer in[2];
        SetBuffer(&in[0], SECBUFFER_TOKEN, t->received + t->start, held);
        SetBuffer(&in[1], SECBUFFER_EMPTY, NULL, 0);
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        SecBuffer out[3];
        SetBuffer(&out[0], SECBUFFER_TOKEN, NULL, 0);
        SetBuffer(&out[1], SECBUFFER_ALERT, NULL, 0);
        SetBuffer(&out[2], SECBUFFER_EMPTY, NULL, 0);
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 3, out};
        unsigned long attributes = 0;
        TimeStamp expiry;
        bool first = !t->haveContext;
        SECURITY_STATUS status;
        {
            SspiLock lock(SspiLock::kChange);
            status = t->api->sspi->InitializeSecurityContextW(
                t->credentials, first ? NULL : &t->context, t->target, t->contextFlags, 0, 0,
                input == kNoInput ? NULL : &inDesc, 0, &t->context, &outDesc, &attributes, &expiry);
        }
        if (first) t->haveContext = !FAILED(status);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            FlushOutput(t, s, out, false);
            input = kReceived;
            continue;
        }
        steps++;
        if (status == SEC_I_INCOMPLETE_CREDENTIALS &&
            !(t->contextFlags & ISC_REQ_USE_SUPPLIED_CREDS)) {
            // The server asked for a client certificate: go on without one,
            // from the same input, which SChannel has not consumed.
            FlushOutput(t, s, out, false);
            t->contextFlags |= ISC_REQ_USE_SUPPLIED_CREDS;
            if (input == kReceived) input = kHeld;
            continue;
        }
        bool sent = FlushOutput(t, s, out, true);
        // No hello: the system has no protocol or cipher it may use.
        if (first && status != SEC_I_CONTINUE_NEEDED) return kFetchTlsUnavailable;
        if (FAILED(status)) return kFetchHandshakeFailed;
        if (!sent) return kFetchSendFailed;
        if (input != kNoInput) {
            bool extra = in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= held;
            t->start = extra ? t->end - in[1].cbBuffer : t->end;
        }
        if (status == SEC_E_OK) return kFetchOk;
        if (status != SEC_I_CONTINUE_NEEDED) return kFetchHandshakeFailed;
        input = t->start < t->end ? kHeld : kReceived;
    }
    return kFetchHandshakeFailed;
}

// One attribute of the session's context into `out`; true on success.
bool Query(TlsSession* t, unsigned long attribute, void* out) {
    SspiLock lock(SspiLock::kLookUp);
    return t->api->sspi->QueryContextAttributesW(&t->context, attribute, out) == SEC_E_OK;
}

// The server's certificate (the caller frees it), or NULL.
PCCERT_CONTEXT ServerCertificate(TlsSession* t) {
    PCCERT_CONTEXT cert = NULL;
    return Query(t, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) ? cert : NULL;
}

// After the first handshake: the protocol (Wine takes whatever the server
// offers, whatever the credentials ask for), the server's certificate (kept
// in `checked`), and the room to build the records to send in.
FetchMessage CheckAndPrepare(TlsSession* t, const Pulse* pulse) {
    SecPkgContext_ConnectionInfo info;
    if (!Query(t, SECPKG_ATTR_CONNECTION_INFO, &info) || info.dwProtocol == 0 ||
        (info.dwProtocol & kBelowTls12)) {
        return kFetchHandshakeFailed;
    }
    PCCERT_CONTEXT cert = ServerCertificate(t);
    FetchMessage outcome =
        cert ? CheckServerCertificate(*t->api, cert, t->hostName, pulse) : kFetchCertUntrusted;
    if (outcome != kFetchOk) {
        if (cert) t->api->CertFreeCertificateContext(cert);
        return outcome;
    }
    t->checked = cert;
    if (!Query(t, SECPKG_ATTR_STREAM_SIZES, &t->sizes) || t->sizes.cbMaximumMessage == 0) {
        return kFetchHandshakeFailed;
    }
    size_t record = (size_t)t->sizes.cbHeader + t->sizes.cbMaximumMessage + t->sizes.cbTrailer;
    t->sendRecord = static_cast<char*>(GlobalAlloc(GPTR, record));
    return t->sendRecord ? kFetchOk : kFetchHandshakeFailed;
}

}  // namespace

// A handshake the server asked for later: TLS 1.2 renegotiation, or on
// Windows 11 a TLS 1.3 session ticket or key update. As Windows asks, the
// bytes DecryptMessage left (maybe none) go to InitializeSecurityContext, and
// the exchange ends before the next record. Another certificate is refused.
FetchMessage Renegotiate(TlsSession* t, SOCKET s, const Pulse* pulse) {
    t->renegotiate = false;
    if (++t->quietHandshakes > kMostQuietHandshakes) return kFetchTlsReceiveFailed;
    FetchMessage outcome = Negotiate(t, s, pulse, kHeld);
    PCCERT_CONTEXT cert = outcome == kFetchOk ? ServerCertificate(t) : NULL;
    if (cert) {
        if (!SameCertificate(cert, t->checked)) outcome = kFetchTlsReceiveFailed;
        t->api->CertFreeCertificateContext(cert);
    }
    return outcome;
}

bool TlsAvailable() { return LoadTlsApi() != NULL; }

FetchMessage TlsOpen(SOCKET s, const char* host, bool ipLiteral, const Pulse* pulse,
                     TlsCredentials** shared, TlsSession** out) {
    if (!host || !out) return kFetchBadParameter;
    const TlsApi* api = LoadTlsApi();
    if (!api) return kFetchTlsUnavailable;
    TlsSession* t = static_cast<TlsSession*>(GlobalAlloc(GPTR, sizeof(TlsSession)));
    if (!t) return kFetchHandshakeFailed;
    t->api = api;
    t->contextFlags = kContextFlags;
    t->failed = kFetchOk;
    t->target = ipLiteral ? NULL : t->host;
    t->received = static_cast<char*>(GlobalAlloc(GPTR, kReceiveRoom));
    size_t hostLength = strlen(host);
    bool named = hostLength < sizeof t->hostName &&
                 MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, host, -1, t->host,
                                     ARRAYSIZE(t->host)) > 0;
    if (named) memcpy(t->hostName, host, hostLength + 1);
    FetchMessage outcome = kFetchHandshakeFailed;
    if (named && t->received) {
        outcome = UseCredentials(t, shared) ? Negotiate(t, s, pulse, kNoInput) : kFetchTlsUnavailable;
    }
    // A reset before the handshake is done is how many servers refuse one.
    if (outcome == kFetchReceiveFailed) outcome = kFetchHandshakeFailed;
    if (outcome == kFetchOk) outcome = CheckAndPrepare(t, pulse);
    if (outcome != kFetchOk) {
        TlsClose(t);
        return outcome;
    }
    *out = t;
    return kFetchOk;
}

void TlsClose(TlsSession* t) {
    if (!t) return;
    if (t->checked) t->api->CertFreeCertificateContext(t->checked);
    if (t->haveContext || t->haveOwn) {
        SspiLock lock(SspiLock::kChange);
        if (t->haveContext) t->api->sspi->DeleteSecurityContext(&t->context);
        if (t->haveOwn) t->api->sspi->FreeCredentialsHandle(&t->own);
    }
    GlobalFree(t->sendRecord);  // NULL is allowed
    GlobalFree(t->received);
    GlobalFree(t);
}

void TlsFreeCredentials(TlsCredentials** shared) {
    if (!shared || !*shared) return;
    {
        SspiLock lock(SspiLock::kChange);
        (*shared)->api->sspi->FreeCredentialsHandle(&(*shared)->handle);
    }
    GlobalFree(*shared);
    *shared = NULL;
}
