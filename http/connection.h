// One connection to the server of an address: a plain socket for
// "http://", TLS over it for "https://". The exchange above it sends and
// receives the same way for both.
#ifndef KESTA_HTTP_CONNECTION_H
#define KESTA_HTTP_CONNECTION_H

#include "http/address.h"
#include "http/socket.h"
#include "http/tls.h"

struct Connection {
    SOCKET socket;
    TlsSession* tls;  // NULL for a plain connection
};

// Connects to the address's host and port and, for "https://", runs the TLS
// handshake (with the call's shared credentials when `credentials` is not
// NULL) and checks the server's certificate. On kFetchOk the caller ends `c`
// with CloseConnection; otherwise nothing is held.
FetchMessage OpenConnection(const Address& a, const Pulse* pulse, TlsCredentials** credentials,
                            Connection* c);

FetchMessage SendOn(Connection* c, const char* data, size_t n);

// Up to `room` bytes of the response; *got is 0 at its end.
FetchMessage ReceiveOn(Connection* c, char* buffer, size_t room, const Pulse* pulse, size_t* got);

// After ReceiveOn gave the end: true when the connection vouches that the
// server ended the stream (a plain TCP end; TLS's close_notify), false when
// it may have been cut by anyone on the path (a TLS stream whose TCP
// connection ended without close_notify).
bool EndConfirmed(const Connection* c);

// True when an idle connection may carry another request: nothing to read
// from it (a readable idle connection was closed by its server, or holds
// bytes nobody asked for) and, over TLS, nothing held in the session.
bool ConnectionIdle(const Connection* c);

void CloseConnection(Connection* c);

#endif  // KESTA_HTTP_CONNECTION_H
