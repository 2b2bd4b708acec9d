// The state of one TLS session over SChannel, shared by the handshake
// (http/tls_schannel.cpp) and the records (http/tls_records.cpp). Windows
// builds only.
#ifndef KESTA_HTTP_TLS_SESSION_H
#define KESTA_HTTP_TLS_SESSION_H

#include "http/tls.h"
#include "http/tls_api.h"
// SCH_CREDENTIALS and TLS_PARAMETERS are declared only under this name, and
// use UNICODE_STRING from subauth.h.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>

struct TlsCredentials {
    const TlsApi* api;
    CredHandle handle;
};

struct TlsSession {
    const TlsApi* api;  // the system's functions
    CredHandle* credentials;  // `own`, or the call's shared ones
    CredHandle own;
    CtxtHandle context;
    bool haveOwn, haveContext;
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

// Received ciphertext, decrypted in place: room for a dozen of the largest
// records (18 KiB, RFC 5246 6.2.3), so that one wait and recv (~0.15 ms under
// Wine) bring many. With room for four, 64 MiB took 1.7 times as long.
const size_t kReceiveRoom = 256 * 1024;

inline void SetBuffer(SecBuffer* b, unsigned long type, void* data, size_t bytes) {
    *b = SecBuffer{(unsigned long)bytes, type, data};
}

// Receives more ciphertext after what is held, moved to the front first (no
// decrypted bytes wait then). *got is 0 at the TCP stream's orderly end;
// kFetchHandshakeFailed when a record would not fit. (http/tls_records.cpp)
FetchMessage ReceiveMore(TlsSession* t, SOCKET s, const Pulse* pulse, size_t* got);

// A handshake the server asked for after the first (http/tls_schannel.cpp).
FetchMessage Renegotiate(TlsSession* t, SOCKET s, const Pulse* pulse);

#endif  // KESTA_HTTP_TLS_SESSION_H
