// Connections kept from one request to the next to the same origin (scheme,
// host, port) within one call of the plug-in: a listing's downloads pay the
// network's distance (the TCP and TLS handshakes) once per connection
// instead of once per member. The pool owns every connection put in it:
// who may take one (a download to the same origin), when one is stale (the
// server closed it or sent anything while it was idle, or it idled past
// kKeptIdleMs), and who closes it (whoever finds it stale, or PoolClose at
// the end of the call, before Winsock is cleaned up).
#ifndef KESTA_HTTP_POOL_H
#define KESTA_HTTP_POOL_H

#include "http/address.h"
#include "http/connection.h"

// As many as a listing keeps downloads in flight.
const int kPoolSize = 6;
// A kept connection unused this long is closed rather than used: servers
// close idle ones after 5 to 75 s, and a request on a closed one costs a
// retry.
const DWORD kKeptIdleMs = 30 * 1000;

struct KeptConnection {
    Connection connection;
    bool secure;
    unsigned short port;
    char host[kMaxHostPart + 1];
    DWORD keptAt;  // GetTickCount() when it was put back
};

struct ConnectionPool {
    SRWLOCK lock;
    int count;
    KeptConnection kept[kPoolSize];
    TlsCredentials* credentials;  // the call's TLS credentials, once a session made them
};

void PoolStart(ConnectionPool* pool);

// Takes a kept connection to the origin of `a` out of the pool into *out;
// false when there is none fit for use (stale ones found on the way are
// closed). Any thread may take and keep.
bool PoolTake(ConnectionPool* pool, const Address& a, Connection* out);

// Puts `c`, which just carried a whole response to the origin of `a`, back
// for the next request (closing the oldest when the pool is full).
void PoolKeep(ConnectionPool* pool, const Address& a, Connection* c);

// Closes every kept connection, and frees the call's TLS credentials.
void PoolClose(ConnectionPool* pool);

#endif  // KESTA_HTTP_POOL_H
