// A connection is a socket, with a TLS session over it for "https://".
#include "http/connection.h"

namespace {

// shutdown() in both directions (SD_BOTH, SHUT_RDWR).
const int kShutdownBoth = 2;

}  // namespace

FetchMessage OpenConnection(const Address& a, const Pulse* pulse, TlsCredentials** credentials,
                            Connection* c) {
    if (a.secure && !TlsAvailable()) return kFetchTlsUnavailable;
    SOCKET s = INVALID_SOCKET;
    FetchMessage outcome = ConnectTo(a.host, a.port, pulse, &s);
    if (outcome != kFetchOk) return outcome;
    TlsSession* tls = NULL;
    if (a.secure) {
        outcome = TlsOpen(s, a.host, a.ipLiteral, pulse, credentials, &tls);
        if (outcome != kFetchOk) {
            closesocket(s);
            return outcome;
        }
    }
    c->socket = s;
    c->tls = tls;
    return kFetchOk;
}

FetchMessage SendOn(Connection* c, const char* data, size_t n) {
    return c->tls ? TlsSend(c->tls, c->socket, data, n) : SendAll(c->socket, data, n);
}

FetchMessage ReceiveOn(Connection* c, char* buffer, size_t room, const Pulse* pulse, size_t* got) {
    if (c->tls) return TlsReceive(c->tls, c->socket, buffer, room, pulse, got);
    return ReceiveSome(c->socket, buffer, room, pulse, got);
}

bool EndConfirmed(const Connection* c) { return !c->tls || TlsEndConfirmed(c->tls); }

bool ConnectionIdle(const Connection* c) {
    if (c->tls && !TlsIdle(c->tls)) return false;
    return !SocketReadable(c->socket);
}

void CloseConnection(Connection* c) {
    TlsClose(c->tls);
    c->tls = NULL;
    shutdown(c->socket, kShutdownBoth);
    closesocket(c->socket);
    c->socket = INVALID_SOCKET;
}
