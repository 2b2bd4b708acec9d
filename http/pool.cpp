// The pool of kept connections: a handful of slots under a lock, looked up
// by origin, checked for staleness when taken.
#include "http/pool.h"

#include <string.h>

namespace {

bool SameOrigin(const KeptConnection& k, const Address& a) {
    return k.secure == a.secure && k.port == a.port && strcmp(k.host, a.host) == 0;
}

// Removes slot `i` (the last one takes its place).
void Remove(ConnectionPool* pool, int i) {
    pool->kept[i] = pool->kept[--pool->count];
}

// True when a kept connection may carry a request: idle for less than
// kKeptIdleMs, nothing to read (an idle connection that is readable was
// closed by the server, or holds bytes no request asked for), and, over
// TLS, nothing held in the session.
bool Fit(const KeptConnection& k, DWORD now) {
    return now - k.keptAt < kKeptIdleMs && ConnectionIdle(&k.connection);
}

}  // namespace

void PoolStart(ConnectionPool* pool) {
    memset(pool, 0, sizeof *pool);
    pool->lock = SRWLOCK_INIT;
}

bool PoolTake(ConnectionPool* pool, const Address& a, Connection* out) {
    Connection stale[kPoolSize];
    int staleCount = 0;
    bool found = false;
    AcquireSRWLockExclusive(&pool->lock);
    DWORD now = GetTickCount();
    for (int i = 0; i < pool->count && !found;) {
        if (!SameOrigin(pool->kept[i], a)) {
            ++i;
            continue;
        }
        if (Fit(pool->kept[i], now)) {
            *out = pool->kept[i].connection;
            found = true;
        } else {
            stale[staleCount++] = pool->kept[i].connection;
        }
        Remove(pool, i);
    }
    ReleaseSRWLockExclusive(&pool->lock);
    // Closed outside the lock: a TLS close sends a record.
    for (int i = 0; i < staleCount; ++i) CloseConnection(&stale[i]);
    return found;
}

void PoolKeep(ConnectionPool* pool, const Address& a, Connection* c) {
    Connection evicted;
    bool evict = false;
    AcquireSRWLockExclusive(&pool->lock);
    if (pool->count == kPoolSize) {
        int oldest = 0;
        for (int i = 1; i < pool->count; ++i) {
            if (pool->kept[i].keptAt - pool->kept[oldest].keptAt > 0x7FFFFFFF) oldest = i;
        }
        evicted = pool->kept[oldest].connection;
        evict = true;
        Remove(pool, oldest);
    }
    KeptConnection& k = pool->kept[pool->count++];
    k.connection = *c;
    k.secure = a.secure;
    k.port = a.port;
    memcpy(k.host, a.host, strlen(a.host) + 1);
    k.keptAt = GetTickCount();
    ReleaseSRWLockExclusive(&pool->lock);
    if (evict) CloseConnection(&evicted);
}

void PoolClose(ConnectionPool* pool) {
    AcquireSRWLockExclusive(&pool->lock);
    int count = pool->count;
    Connection all[kPoolSize];
    for (int i = 0; i < count; ++i) all[i] = pool->kept[i].connection;
    pool->count = 0;
    ReleaseSRWLockExclusive(&pool->lock);
    for (int i = 0; i < count; ++i) CloseConnection(&all[i]);
    TlsFreeCredentials(&pool->credentials);
}
