// The records of a TLS session over SChannel: ciphertext received and
// decrypted in place, plaintext encrypted and sent, and how the stream may
// end (close_notify, a TCP end between records, or a cut or forged record).
#include <string.h>

#include "http/tls_session.h"

namespace {

// Record types (RFC 8446 5.1): change_cipher_spec, alert, handshake and
// application_data; any other first byte cannot begin a record.
const unsigned char kFirstRecordType = 20;
const unsigned char kAlertRecord = 21;
const unsigned char kLastRecordType = 23;
// A record's header: type, version (3.x), length; the longest ciphertext a
// record may carry (2^14 + 2048, RFC 5246 6.2.3; TLS 1.3 allows less).
const size_t kRecordHeader = 5;
const size_t kLongestRecordBody = 16384 + 2048;

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

