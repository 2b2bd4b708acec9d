// The stream socket under every download: Winsock's start-up for a call,
// waits that a watching host can cancel and a deadline can end, and sends
// and receives. Connecting is http/connect.cpp's.
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

}  // namespace

bool SocketConnectEnded(SOCKET s, DWORD milliseconds) {
    return WaitOnce(s, kConnected, milliseconds) != 0;
}

bool SetBlocking(SOCKET s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
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

namespace {

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
