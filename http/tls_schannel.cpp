// TLS for https:// downloads over the system's SChannel: the handshake (and
// any the server asks for later), the checks of the protocol and the server's
// certificate, and the records that carry the request and the response.
#include "http/tls.h"

#include <string.h>

#include "http/tls_api.h"
// SCH_CREDENTIALS and TLS_PARAMETERS are declared only under this name, and
// use UNICODE_STRING from subauth.h.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>

#include "http/certificate.h"

struct TlsSession {
    const TlsApi* api;  // the system's functions
    CredHandle credentials;
    CtxtHandle context;
    bool haveCredentials, haveContext;
    DWORD contextFlags;      // kContextFlags, and "no client certificate" once asked for one
    char hostName[256];      // the host, for the certificate's names (a DNS name has at most 253)
    WCHAR host[256];         // the same, for SNI
    WCHAR* target;           // the name sent (SNI): host, or NULL for an IP address
    PCCERT_CONTEXT checked;  // the server's certificate as checked after the handshake
    SecPkgContext_StreamSizes sizes;
    char* sendRecord;  // one record's header, data and trailer
    char* received;    // kReceiveRoom bytes; [start, end) is ciphertext not yet used
    size_t start, end;
    const char* plain;  // decrypted bytes not yet handed out, inside `received`
    size_t plainLeft;
    bool renegotiate;     // the server asked for a handshake; run before the next record
    int quietHandshakes;  // such handshakes since the last plaintext
    bool ended;           // close_notify or the TCP stream's end seen
    bool closeNotified;   // the end was the server's close_notify
    FetchMessage failed;  // kFetchOk, or the failure every later receive repeats
};

namespace {

// Received ciphertext, decrypted in place: room for a dozen of the largest
// records (18 KiB, RFC 5246 6.2.3), so that one wait and recv (~0.15 ms under
// Wine) bring many. With room for four, 64 MiB took 1.7 times as long.
const size_t kReceiveRoom = 256 * 1024;
// InitializeSecurityContext calls a handshake may take, besides those that
// only ask for more bytes; a full TLS 1.2 handshake takes a handful.
const int kMostHandshakeSteps = 64;
// Handshakes the server may ask for after the first with no plaintext in
// between (a TLS 1.3 server sends a ticket or two); more is no progress.
const int kMostQuietHandshakes = 16;
// Record types (RFC 8446 5.1): change_cipher_spec, alert, handshake and
// application_data; any other first byte cannot begin a record.
const unsigned char kFirstRecordType = 20;
const unsigned char kAlertRecord = 21;
const unsigned char kLastRecordType = 23;
// A record's header: type, version (3.x), length; the longest ciphertext a
// record may carry (2^14 + 2048, RFC 5246 6.2.3; TLS 1.3 allows less).
const size_t kRecordHeader = 5;
const size_t kLongestRecordBody = 16384 + 2048;

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

void SetBuffer(SecBuffer* b, unsigned long type, void* data, size_t bytes) {
    *b = SecBuffer{(unsigned long)bytes, type, data};
}

// The best the system has (TLS 1.3 where Windows has it) with everything
// below TLS 1.2 turned off; Windows before 10 (1809) refuses that form and
// is asked for TLS 1.2 alone.
bool AcquireCredentials(TlsSession* t) {
    LPWSTR package = const_cast<LPWSTR>(UNISP_NAME_W);
    TimeStamp expiry;
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = kBelowTls12Client;
    SspiLock lock(SspiLock::kChange);
    SCH_CREDENTIALS best = {};
    best.dwVersion = SCH_CREDENTIALS_VERSION;
    best.dwFlags = kCredentialFlags;
    best.cTlsParameters = 1;
    best.pTlsParameters = &parameters;
    if (t->api->sspi->AcquireCredentialsHandleW(NULL, package, SECPKG_CRED_OUTBOUND, NULL, &best,
                                                NULL, NULL, &t->credentials, &expiry) == SEC_E_OK) {
        return true;
    }
    SCHANNEL_CRED older = {};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = kCredentialFlags;
    return t->api->sspi->AcquireCredentialsHandleW(NULL, package, SECPKG_CRED_OUTBOUND, NULL,
                                                   &older, NULL, NULL, &t->credentials,
                                                   &expiry) == SEC_E_OK;
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

// Receives more ciphertext after what is held, moved to the front first (no
// decrypted bytes wait then). *got is 0 at the TCP stream's orderly end;
// kFetchHandshakeFailed when a record would not fit.
FetchMessage ReceiveMore(TlsSession* t, SOCKET s, const Pulse* pulse, size_t* got) {
    if (t->start > 0) {
        memmove(t->received, t->received + t->start, t->end - t->start);
        t->end -= t->start;
        t->start = 0;
    }
    if (t->end == kReceiveRoom) return kFetchHandshakeFailed;
    size_t n = 0;
    FetchMessage outcome = ReceiveSome(s, t->received + t->end, kReceiveRoom - t->end, pulse, &n);
    if (outcome != kFetchOk) return outcome;
    t->end += n;
    *got = n;
    return kFetchOk;
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
                &t->credentials, first ? NULL : &t->context, t->target, t->contextFlags, 0, 0,
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

// The first of DecryptMessage's four buffers of `type`, or NULL.
const SecBuffer* FindBuffer(const SecBuffer* b, unsigned long type) {
    for (int i = 0; i < 4; i++) {
        if (b[i].BufferType == type) return &b[i];
    }
    return NULL;
}

// False when the held bytes cannot be the start of a record: a server (or
// anyone on the path) sending them gets a failure at once, not a wait for
// a record that will never be whole.
bool PlausibleRecord(const unsigned char* p, size_t held) {
    if (held >= 1 && (p[0] < kFirstRecordType || p[0] > kLastRecordType)) return false;
    if (held >= 2 && p[1] != 3) return false;
    return held < kRecordHeader || (size_t)((p[3] << 8) | p[4]) <= kLongestRecordBody;
}

// Decrypts the record at the front of the held ciphertext in place, noting its plaintext,
// the stream's end or a handshake request; *incomplete if it has not all arrived.
FetchMessage DecryptRecord(TlsSession* t, bool* incomplete) {
    char* record = t->received + t->start;
    size_t held = t->end - t->start;
    bool alert = (unsigned char)record[0] == kAlertRecord;
    SecBuffer b[4];
    SetBuffer(&b[0], SECBUFFER_DATA, record, held);
    for (int i = 1; i < 4; i++) SetBuffer(&b[i], SECBUFFER_EMPTY, NULL, 0);
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
    SECURITY_STATUS status;
    {
        SspiLock lock(SspiLock::kLookUp);
        status = t->api->sspi->DecryptMessage(&t->context, &desc, 0, NULL);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        *incomplete = true;
        return kFetchOk;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        return kFetchTlsReceiveFailed;  // an alert, a record altered or not decryptable
    }
    const SecBuffer* data = FindBuffer(b, SECBUFFER_DATA);
    const SecBuffer* rest = FindBuffer(b, SECBUFFER_EXTRA);
    const char* plain = data ? static_cast<const char*>(data->pvBuffer) : NULL;
    size_t plainBytes = data ? data->cbBuffer : 0;
    size_t extra = rest ? rest->cbBuffer : 0;
    // The extra bytes end where the held ciphertext ends, and the plaintext
    // lies before them. A handshake request may leave every byte, its own
    // record among them, for InitializeSecurityContext.
    if (extra > held || (extra == held && status != SEC_I_RENEGOTIATE) ||
        (plainBytes > 0 &&
         (!plain || plain < record || plain + plainBytes > record + held - extra))) {
        return kFetchTlsReceiveFailed;
    }
    t->start = t->end - extra;
    t->plain = plain;
    t->plainLeft = plainBytes;
    if (plainBytes > 0) t->quietHandshakes = 0;
    t->renegotiate = status == SEC_I_RENEGOTIATE;
    // Wine shows the server's close_notify as a success with nothing decrypted.
    t->closeNotified =
        status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && plainBytes == 0 && alert);
    t->ended = t->closeNotified;
    return kFetchOk;
}

}  // namespace

bool TlsAvailable() { return LoadTlsApi() != NULL; }

FetchMessage TlsOpen(SOCKET s, const char* host, bool ipLiteral, const Pulse* pulse,
                     TlsSession** out) {
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
        t->haveCredentials = AcquireCredentials(t);
        outcome = t->haveCredentials ? Negotiate(t, s, pulse, kNoInput) : kFetchTlsUnavailable;
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

FetchMessage TlsSend(TlsSession* t, SOCKET s, const char* data, size_t n) {
    if (!t || (!data && n > 0)) return kFetchSendFailed;
    const SecPkgContext_StreamSizes& sizes = t->sizes;
    while (n > 0) {
        size_t piece = n < sizes.cbMaximumMessage ? n : sizes.cbMaximumMessage;
        char* header = t->sendRecord;
        char* body = header + sizes.cbHeader;
        memcpy(body, data, piece);
        SecBuffer b[4];
        SetBuffer(&b[0], SECBUFFER_STREAM_HEADER, header, sizes.cbHeader);
        SetBuffer(&b[1], SECBUFFER_DATA, body, piece);
        SetBuffer(&b[2], SECBUFFER_STREAM_TRAILER, body + piece, sizes.cbTrailer);
        SetBuffer(&b[3], SECBUFFER_EMPTY, NULL, 0);
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS encrypted;
        {
            SspiLock lock(SspiLock::kLookUp);
            encrypted = t->api->sspi->EncryptMessage(&t->context, 0, &desc, 0);
        }
        if (encrypted != SEC_E_OK) return kFetchSendFailed;
        // The trailer can come out shorter than its largest size.
        size_t total = (size_t)b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer;
        if (SendAll(s, header, total) != kFetchOk) return kFetchSendFailed;
        data += piece;
        n -= piece;
    }
    return kFetchOk;
}

FetchMessage TlsReceive(TlsSession* t, SOCKET s, char* buffer, size_t room, const Pulse* pulse,
                        size_t* got) {
    if (!t || !buffer || room == 0 || !got) return kFetchBadParameter;
    if (t->failed != kFetchOk) return t->failed;
    // Each pass hands out plaintext, ends, consumes a record or a handshake,
    // or receives at least one byte.
    for (;;) {
        if (t->plainLeft > 0) {
            size_t n = t->plainLeft < room ? t->plainLeft : room;
            memcpy(buffer, t->plain, n);
            t->plain += n;
            t->plainLeft -= n;
            *got = n;
            return kFetchOk;
        }
        if (t->ended) {
            *got = 0;
            return kFetchOk;
        }
        FetchMessage outcome = kFetchOk;
        bool needMore = !t->renegotiate && t->start == t->end;
        if (t->renegotiate) {
            outcome = Renegotiate(t, s, pulse);
        } else if (!PlausibleRecord(reinterpret_cast<unsigned char*>(t->received) + t->start,
                                    t->end - t->start)) {
            outcome = kFetchTlsReceiveFailed;
        } else if (!needMore) {
            outcome = DecryptRecord(t, &needMore);
        }
        if (outcome == kFetchOk && needMore) {
            size_t n = 0;
            outcome = ReceiveMore(t, s, pulse, &n);
            // The TCP stream's orderly end: between records an end (that
            // TlsEndConfirmed does not vouch for), inside one a cut record.
            if (outcome == kFetchOk && n == 0) {
                if (t->start < t->end) outcome = kFetchTlsReceiveFailed;
                t->ended = true;
            }
        }
        if (outcome != kFetchOk) {
            // A reset, a cancel or a silent server stays what it is; any other
            // failure of a later handshake, or a record too large to hold, is
            // the stream's fault.
            if (outcome != kFetchReceiveFailed && outcome != kFetchCancelled &&
                outcome != kFetchTimedOut) {
                outcome = kFetchTlsReceiveFailed;
            }
            t->failed = outcome;
            return outcome;
        }
    }
}

bool TlsEndConfirmed(const TlsSession* t) { return t && t->closeNotified; }

bool TlsIdle(const TlsSession* t) {
    return t && t->failed == kFetchOk && !t->ended && !t->renegotiate && t->plainLeft == 0 &&
           t->start == t->end;
}

void TlsClose(TlsSession* t) {
    if (!t) return;
    if (t->checked) t->api->CertFreeCertificateContext(t->checked);
    if (t->haveContext || t->haveCredentials) {
        SspiLock lock(SspiLock::kChange);
        if (t->haveContext) t->api->sspi->DeleteSecurityContext(&t->context);
        if (t->haveCredentials) t->api->sspi->FreeCredentialsHandle(&t->credentials);
    }
    GlobalFree(t->sendRecord);  // NULL is allowed
    GlobalFree(t->received);
    GlobalFree(t);
}
