// The check of a TLS server's certificate: a chain to a root this system
// trusts, of sound strength, valid today, for the name the address gave (by
// browsers' rules, http/certname.h). Made here because SChannel's own check
// (under Wine) lets bad certificates through, and Wine's chain policy
// matches names more loosely than browsers do.
#ifndef KESTA_HTTP_CERTIFICATE_H
#define KESTA_HTTP_CERTIFICATE_H

#include "compat/win32.h"
#include "http/messages.h"
#include "http/socket.h"
#include "http/tls_api.h"

// Checks `cert`, the server's certificate as the handshake delivered it (its
// store holds the intermediates the server sent), with the system's
// functions `api`, for use by a TLS server named `host` (a name in ASCII, or
// an IP address without brackets). Revocation is not asked about; missing
// intermediates may be fetched by the system, within the idle limit. A
// watched download (a pulse that asks someone) keeps being watched and may
// be cancelled while the chain is built. kFetchOk, kFetchCertUntrusted (an
// unknown root, a broken chain, a bad signature, a certificate not for
// servers), kFetchCertWeak (below the root: signed with SHA-1 or MD5, an RSA
// key under 2048 bits, an EC key on a curve under 256 bits),
// kFetchCertExpired (expired or not yet valid), kFetchCertNameMismatch,
// kFetchCancelled or kFetchTimedOut.
FetchMessage CheckServerCertificate(const TlsApi& api, PCCERT_CONTEXT cert, const char* host,
                                    const Pulse* pulse);

// True if `a` and `b` are the same certificate, byte for byte.
bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b);

#endif  // KESTA_HTTP_CERTIFICATE_H
