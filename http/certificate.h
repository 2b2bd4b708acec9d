// The check of a TLS server's certificate: a chain to a root this system
// trusts, for the name the address gave, valid today. Made here because
// SChannel's own check (under Wine) lets bad certificates through.
#ifndef KESTA_HTTP_CERTIFICATE_H
#define KESTA_HTTP_CERTIFICATE_H

#include "compat/win32.h"
#include "http/messages.h"
#include "http/tls_api.h"

// Checks `cert`, the server's certificate as the handshake delivered it (its
// store holds the intermediates the server sent), with the system's
// functions `api`, for use by a TLS server named `host` (a name, or an IP
// address without brackets). Revocation is not asked about. kFetchOk,
// kFetchCertNameMismatch, kFetchCertExpired (expired or not yet valid) or
// kFetchCertUntrusted (any other fault: an unknown root, a broken chain, a
// bad signature, a certificate not for servers).
FetchMessage CheckServerCertificate(const TlsApi& api, PCCERT_CONTEXT cert, const WCHAR* host);

// True if `a` and `b` are the same certificate, byte for byte.
bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b);

#endif  // KESTA_HTTP_CERTIFICATE_H
