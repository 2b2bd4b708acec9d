// TLS over the plug-in's own socket, for "https://" addresses: the
// handshake, the check of the server's certificate, and the records that
// carry the request and the response. The Windows builds use the system's
// SChannel (http/tls_schannel.cpp); the native test build has a stand-in
// that reports TLS as not available (http/tls_none.cpp).
#ifndef KESTA_HTTP_TLS_H
#define KESTA_HTTP_TLS_H

#include "compat/win32.h"
#include "http/messages.h"
#include "http/socket.h"

struct TlsSession;

// Credentials that the TLS sessions of one call share (a listing's
// connections), made by the first session that needs them: Windows resumes
// TLS sessions per credentials handle, so a second connection to a server
// may skip the full handshake. (Wine 8 resumes none.) TlsFreeCredentials
// frees them and sets the pointer to NULL; NULL is allowed.
struct TlsCredentials;
void TlsFreeCredentials(TlsCredentials** shared);

// True when this system can run TLS at all (its SChannel loads): asked
// before connecting, so that no server sees a connection that cannot go on.
bool TlsAvailable();

// Runs the handshake on the connected socket `s` and checks the server's
// certificate against `host` (a name, or an IP address without brackets;
// an IP address is sent as no server name), with the call's shared
// credentials (`shared`, made here when *shared is NULL) or, when `shared`
// is NULL, credentials of its own. On kFetchOk *out is a session
// that TlsClose ends; otherwise nothing is held and the outcome says why:
// kFetchTlsUnavailable, kFetchHandshakeFailed (a reset or an end before the
// handshake is done included: that is how many servers refuse one),
// kFetchCertUntrusted, kFetchCertNameMismatch, kFetchCertExpired,
// kFetchCancelled, kFetchTimedOut or kFetchSendFailed.
FetchMessage TlsOpen(SOCKET s, const char* host, bool ipLiteral, const Pulse* pulse,
                     TlsCredentials** shared, TlsSession** out);

// Encrypts and sends all `n` bytes. kFetchOk or kFetchSendFailed.
FetchMessage TlsSend(TlsSession* t, SOCKET s, const char* data, size_t n);

// Receives up to `room` bytes of plaintext; *got is 0 at the end of the
// stream (the server's close_notify, or the TCP stream's orderly end between
// records: TlsEndConfirmed tells which). kFetchTlsReceiveFailed for an
// alert, a record that fails to decrypt, bytes that cannot begin a record
// (at once), or a TCP end in the middle of a record;
// kFetchReceiveFailed for a reset; kFetchTimedOut after kIdleLimitMs without
// a byte; kFetchCancelled. A failure is final: every later call returns it
// again.
FetchMessage TlsReceive(TlsSession* t, SOCKET s, char* buffer, size_t room, const Pulse* pulse,
                        size_t* got);

// True when the session holds nothing: no plaintext not handed out, no
// ciphertext not yet decrypted, no end and no failure seen.
bool TlsIdle(const TlsSession* t);

// True once the server's close_notify ended the stream; false while it has
// not, and when the TCP connection ended without one.
bool TlsEndConfirmed(const TlsSession* t);

// Ends the session and frees what it holds (not the socket). NULL is allowed.
void TlsClose(TlsSession* t);

#endif  // KESTA_HTTP_TLS_H
