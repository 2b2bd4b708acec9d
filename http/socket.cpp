// The stream socket under every download: Winsock's start-up, a connect
// that walks the host's addresses (IPv4 and IPv6, in the resolver's order),
// and receives that wait in slices so that a watching host is asked to go
// on while the server is silent.
#include "http/socket.h"

#include <string.h>

namespace {

enum WaitFor { kReadable, kConnected };

// Waits until `s` is ready or `milliseconds` have passed: 1 ready (for a
// connect: ended either way), 0 when the time ran out, -1 on an error.
int WaitOnce(SOCKET s, WaitFor what, DWORD milliseconds) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    struct timeval tv;
    tv.tv_sec = (long)(milliseconds / 1000);
    tv.tv_usec = (long)(milliseconds % 1000) * 1000;
    // The first argument is ignored by Winsock and needed by BSD sockets.
    // Winsock reports a failed connect in the third set, BSD in the second.
    int n = what == kReadable ? select((int)s + 1, &ready, NULL, NULL, &tv)
                              : select((int)s + 1, NULL, &ready, &failed, &tv);
    if (n == SOCKET_ERROR || n < 0) return -1;
    return n > 0 ? 1 : 0;
}

// Milliseconds left before the pulse's deadline, 0 once it has passed;
// kIdleLimitMs when the phase is not bounded. (Tick counts wrap every 49.7
// days; the difference read as signed stays right across the wrap.)
DWORD UntilDeadline(const Pulse* pulse, DWORD now) {
    if (!pulse || !pulse->bounded) return kIdleLimitMs;
    int32_t left = (int32_t)(pulse->deadline - now);
    return left > 0 ? (DWORD)left : 0;
}

struct SocketWait {
    SOCKET s;
    WaitFor what;
};

int WaitOnSocket(void* context, DWORD milliseconds) {
    const SocketWait* w = static_cast<const SocketWait*>(context);
    return WaitOnce(w->s, w->what, milliseconds);
}

FetchMessage Wait(SOCKET s, WaitFor what, const Pulse* pulse, FetchMessage failure) {
    SocketWait w = {s, what};
    return PulsedWait(WaitOnSocket, &w, pulse, failure);
}

// True while the socket still has its peer. A server that closes shuts its
// side down and the connection stays until we close ours; a reset ends it at
// once. Winsock reports a reset from recv, but Wine's select takes that error
// for itself and recv then reads an ordinary end (and so does Wine's recv when
// the reset finds bytes still unread): this tells the two apart.
bool StillConnected(SOCKET s) {
    struct sockaddr_storage peer;
    SocketLength length = sizeof peer;
    return getpeername(s, reinterpret_cast<struct sockaddr*>(&peer), &length) == 0;
}

// True when a connect under way on `s` has ended, either way, right now.
bool SocketReadyNow(SOCKET s) { return WaitOnce(s, kConnected, 0) != 0; }

bool SetBlocking(SOCKET s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

// The race of a host's addresses (RFC 8305): an attempt starts
// kRaceDelayMs after the one before it while that one still runs (at once
// when it failed at once), the first to connect wins and the rest are
// closed. A dead first address (a broken IPv6 route, say) costs the delay,
// not the idle limit.
const DWORD kRaceDelayMs = 250;
// Attempts at once; a host with more addresses has its later ones tried as
// earlier attempts fail.
const int kMostAttempts = 8;
// Addresses of one host tried at most.
const int kMostAddresses = 16;

struct Race {
    const struct sockaddr* const* addresses;
    const int* lengths;
    int count;
    int next;               // the next address to try
    DWORD lastStart;        // GetTickCount() of the last attempt's start
    SOCKET live[kMostAttempts];
    int liveCount;
    SOCKET winner;
    FetchMessage failure;   // what the race ends with if no attempt wins
};

bool DueForNext(const Race* r, DWORD now) {
    return r->next < r->count && r->liveCount < kMostAttempts &&
           (r->liveCount == 0 || now - r->lastStart >= kRaceDelayMs);
}

// Starts the next address's attempt: live, won at once, or failed at once.
void StartAttempt(Race* r) {
    const struct sockaddr* address = r->addresses[r->next];
    int length = r->lengths[r->next++];
    r->lastStart = GetTickCount();
    SOCKET s = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        r->failure = kFetchSocketFailed;
        return;
    }
    if (SetReceiveTimeout(s, kIdleLimitMs) && SetBlocking(s, false)) {
        if (connect(s, address, length) == 0) {
            r->winner = s;
            return;
        }
        if (WSAGetLastError() == WSAEWOULDBLOCK) {
            r->live[r->liveCount++] = s;
            return;
        }
    }
    closesocket(s);
}

// One wait of the race: up to `milliseconds`, less when the next attempt is
// due sooner. 1 when an attempt ended (either way) or the next is due.
int WaitForRace(void* context, DWORD milliseconds) {
    Race* r = static_cast<Race*>(context);
    DWORD now = GetTickCount();
    if (DueForNext(r, now)) return 1;
    if (r->next < r->count) {
        DWORD due = kRaceDelayMs - (now - r->lastStart);
        if (milliseconds > due) milliseconds = due;
    }
    fd_set done;
    fd_set failed;
    FD_ZERO(&done);
    FD_ZERO(&failed);
    int highest = 0;
    for (int i = 0; i < r->liveCount; ++i) {
        FD_SET(r->live[i], &done);
        FD_SET(r->live[i], &failed);
        if ((int)r->live[i] > highest) highest = (int)r->live[i];
    }
    struct timeval tv;
    tv.tv_sec = (long)(milliseconds / 1000);
    tv.tv_usec = (long)(milliseconds % 1000) * 1000;
    // Winsock reports a failed connect in the third set, BSD in the second.
    int n = select(highest + 1, NULL, &done, &failed, &tv);
    if (n == SOCKET_ERROR || n < 0) return -1;
    return n > 0 || DueForNext(r, GetTickCount()) ? 1 : 0;
}

// Settles the attempts that ended: the first with a peer wins (a refused
// connect can leave no error behind to read, so the peer is what counts);
// the others are closed.
void SettleAttempts(Race* r) {
    for (int i = 0; i < r->liveCount && r->winner == INVALID_SOCKET;) {
        SOCKET s = r->live[i];
        if (!SocketReadyNow(s)) {
            ++i;
            continue;
        }
        r->live[i] = r->live[--r->liveCount];
        if (StillConnected(s)) {
            r->winner = s;
        } else {
            closesocket(s);
        }
    }
}

FetchMessage RunRace(Race* r, const Pulse* pulse, SOCKET* out) {
    FetchMessage outcome = kFetchOk;
    while (r->winner == INVALID_SOCKET) {
        if (DueForNext(r, GetTickCount())) {
            StartAttempt(r);
            continue;
        }
        if (r->liveCount == 0) {
            outcome = r->failure;
            break;
        }
        outcome = PulsedWait(WaitForRace, r, pulse, kFetchConnectFailed);
        if (outcome != kFetchOk) break;
        SettleAttempts(r);
    }
    for (int i = 0; i < r->liveCount; ++i) closesocket(r->live[i]);
    if (r->winner == INVALID_SOCKET) return outcome;
    if (!SetBlocking(r->winner, true)) {
        closesocket(r->winner);
        return kFetchConnectFailed;
    }
    *out = r->winner;
    return kFetchOk;
}

// Wine's ws2_32 keeps each thread's socket state behind a pointer in the
// thread's TEB, allocated from the C runtime heap it brought, and frees it
// only when the thread ends. When the plug-in's FreeLibrary unloads ws2_32
// (a host that uses no sockets of its own holds no reference to it), that
// heap is destroyed while the host's thread keeps the pointer; the ws2_32 of
// the next load writes through it into whatever lies there now, and the
// host's heap breaks (seen after 42 to 339 loads that each listed six
// members). Once loaded, ws2_32 therefore stays for the life of the
// process (pinning it again changes nothing): a one-time cost that every
// host using sockets pays anyway.
//
// Wine counts start-ups in a plain integer: two threads of a host that call
// the plug-in at once could lose a count, and the clean-up that reaches 0
// closes every socket of the process, the other call's among them. Our own
// start-ups and clean-ups are therefore made one at a time.
SRWLOCK g_countLock = SRWLOCK_INIT;

}  // namespace

SocketLibrary::SocketLibrary() {
    AcquireSRWLockExclusive(&g_countLock);
    PinSocketLibrary();
    WSADATA wsa;
    started_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0 ? kFetchOk : kFetchStartupFailed;
    ReleaseSRWLockExclusive(&g_countLock);
}

SocketLibrary::~SocketLibrary() {
    if (started_ != kFetchOk) return;
    AcquireSRWLockExclusive(&g_countLock);
    WSACleanup();
    ReleaseSRWLockExclusive(&g_countLock);
}

FetchMessage PulsedWait(int (*waitOnce)(void* context, DWORD milliseconds), void* context,
                        const Pulse* pulse, FetchMessage failure) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD now = GetTickCount();
        DWORD waited = now - start;
        DWORD left = UntilDeadline(pulse, now);
        if (waited >= kIdleLimitMs || left == 0) return kFetchTimedOut;
        DWORD slice = kIdleLimitMs - waited;
        if (slice > left) slice = left;
        if (pulse && pulse->silent) {
            DWORD since = now - *pulse->lastReport;
            if (since >= kSilenceIntervalMs) {
                if (pulse->silent(pulse->context)) return kFetchCancelled;
                continue;
            }
            if (slice > kSilenceIntervalMs - since) slice = kSilenceIntervalMs - since;
        }
        int ready = waitOnce(context, slice);
        if (ready < 0) return failure;
        if (ready > 0) return kFetchOk;
    }
}

void BoundPhase(Pulse* pulse) {
    pulse->bounded = true;
    pulse->deadline = GetTickCount() + kIdleLimitMs;
}

// The addresses to try, at most kMostAddresses, with `port` set: the
// families taken in turn, the first address's family first, each family in
// the resolver's order (RFC 8305 section 4), so that an address of the
// other family never waits behind a long list.
int OrderAddresses(struct addrinfo* found, unsigned short port, const struct sockaddr** addresses,
                   int* lengths) {
    struct addrinfo* byFamily[2][kMostAddresses];
    int counts[2] = {0, 0};
    for (struct addrinfo* ai = found; ai; ai = ai->ai_next) {
        int f = ai->ai_family == found->ai_family ? 0 : 1;
        if (ai->ai_family == AF_INET) {
            reinterpret_cast<struct sockaddr_in*>(ai->ai_addr)->sin_port = htons(port);
        } else if (ai->ai_family == AF_INET6) {
            reinterpret_cast<struct sockaddr_in6*>(ai->ai_addr)->sin6_port = htons(port);
        } else {
            continue;
        }
        if (counts[f] < kMostAddresses) byFamily[f][counts[f]++] = ai;
    }
    int count = 0;
    for (int i = 0; count < kMostAddresses && (i < counts[0] || i < counts[1]); ++i) {
        for (int f = 0; f < 2 && count < kMostAddresses; ++f) {
            if (i >= counts[f]) continue;
            addresses[count] = byFamily[f][i]->ai_addr;
            lengths[count++] = (int)byFamily[f][i]->ai_addrlen;
        }
    }
    return count;
}

FetchMessage ConnectToAddresses(const struct sockaddr* const* addresses, const int* lengths,
                                int count, const Pulse* pulse, SOCKET* out) {
    Race r = {};
    r.addresses = addresses;
    r.lengths = lengths;
    r.count = count;
    r.winner = INVALID_SOCKET;
    r.failure = kFetchConnectFailed;
    return RunRace(&r, pulse, out);
}

FetchMessage ConnectTo(const char* host, unsigned short port, const Pulse* pulse, SOCKET* out) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct addrinfo* found = NULL;
    if (getaddrinfo(host, NULL, &hints, &found) != 0 || !found) return kFetchResolveFailed;
    const struct sockaddr* addresses[kMostAddresses];
    int lengths[kMostAddresses];
    int count = OrderAddresses(found, port, addresses, lengths);
    FetchMessage outcome =
        count > 0 ? ConnectToAddresses(addresses, lengths, count, pulse, out) : kFetchConnectFailed;
    freeaddrinfo(found);
    return outcome;
}

FetchMessage WaitReadable(SOCKET s, const Pulse* pulse) {
    return Wait(s, kReadable, pulse, kFetchReceiveFailed);
}

bool SocketReadable(SOCKET s) { return WaitOnce(s, kReadable, 0) != 0; }

FetchMessage SendAll(SOCKET s, const char* data, size_t n) {
    while (n > 0) {
        int piece = n > 0x40000000 ? 0x40000000 : (int)n;
        int sent = send(s, data, piece, 0);
        if (sent == SOCKET_ERROR || sent <= 0) return kFetchSendFailed;
        data += sent;
        n -= (size_t)sent;
    }
    return kFetchOk;
}

FetchMessage ReceiveSome(SOCKET s, char* buffer, size_t room, const Pulse* pulse, size_t* got) {
    // A watched receive, or one in a phase with a deadline, waits in select,
    // to ask the host or look at the clock in between; any other blocks in
    // recv itself, whose time-out is the idle limit (each select is a round
    // trip to Wine's server: a listing of small members pays it twice a member).
    if (pulse && (pulse->silent || pulse->bounded)) {
        FetchMessage ready = WaitReadable(s, pulse);
        if (ready != kFetchOk) return ready;
    }
    int want = room > 0x40000000 ? 0x40000000 : (int)room;
    int n = recv(s, buffer, want, 0);
    if (n == SOCKET_ERROR || n < 0) {
        int error = WSAGetLastError();
        bool idle = error == WSAETIMEDOUT || error == WSAEWOULDBLOCK;
        return idle ? kFetchTimedOut : kFetchReceiveFailed;
    }
    if (n == 0 && !StillConnected(s)) return kFetchReceiveFailed;
    *got = (size_t)n;
    return kFetchOk;
}
