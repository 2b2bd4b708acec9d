// Connecting to a host: its addresses in the order RFC 8305 gives, raced
// (each next one 250 ms after the one before while that one still runs),
// the first to connect the one kept.
#include <string.h>

#include "http/socket.h"

namespace {

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
        if (!SocketConnectEnded(s, 0)) {
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

}  // namespace

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

