// The native test build's stand-in for TLS: the Linux build has no SChannel,
// so every "https://" download ends as it would on a Windows without TLS.
#include "http/tls.h"

bool TlsAvailable() { return false; }

void TlsFreeCredentials(TlsCredentials**) {}

FetchMessage TlsOpen(SOCKET, const char*, bool, const Pulse*, TlsCredentials**, TlsSession** out) {
    *out = NULL;
    return kFetchTlsUnavailable;
}

FetchMessage TlsSend(TlsSession*, SOCKET, const char*, size_t) { return kFetchSendFailed; }

FetchMessage TlsReceive(TlsSession*, SOCKET, char*, size_t, const Pulse*, size_t* got) {
    *got = 0;
    return kFetchTlsReceiveFailed;
}

bool TlsEndConfirmed(const TlsSession*) { return false; }

bool TlsIdle(const TlsSession*) { return false; }

void TlsClose(TlsSession*) {}
