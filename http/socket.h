// The plug-in's own stream socket: starting Winsock, connecting to every
// address a host name resolves to in turn, and sending and receiving with
// waits that a watching host can cancel. Both the plain and the TLS
// exchange run over it.
#ifndef KESTA_HTTP_SOCKET_H
#define KESTA_HTTP_SOCKET_H

#include "compat/win32.h"
#include "http/messages.h"

// What a download's waits answer to besides the idle limit. A watched
// download's waits call `silent` whenever kSilenceIntervalMs have passed
// since the watcher last heard (`*lastReport`, GetTickCount() of its last
// call, which `silent` brings up to date), whatever arrives in between; a
// true result cancels the download. A NULL `silent` (or a NULL Pulse) asks
// no one. While `bounded`, the phase under way must end by GetTickCount()
// reaching `deadline`, however the bytes trickle in (kFetchTimedOut).
struct Pulse {
    bool (*silent)(void* context);
    void* context;
    const DWORD* lastReport;
    bool bounded;
    DWORD deadline;
};

// Starts a phase that must end within kIdleLimitMs from now.
void BoundPhase(Pulse* pulse);

// Waits for something `waitOnce(context, ms)` can wait on for at most `ms`
// milliseconds (1 ready, 0 not yet, -1 failed): asking the pulse every
// kSilenceIntervalMs since the watcher last heard, giving up after
// kIdleLimitMs or at the pulse's deadline (kFetchTimedOut). kFetchOk,
// kFetchCancelled, kFetchTimedOut, or `failure` when waitOnce fails.
FetchMessage PulsedWait(int (*waitOnce)(void* context, DWORD milliseconds), void* context,
                        const Pulse* pulse, FetchMessage failure);

// The host's limit between progress calls is 250 ms; 200 leaves the rest
// for the callback and the scheduler.
const DWORD kSilenceIntervalMs = 200;

// A download that receives nothing for this long (connecting, in the TLS
// handshake, before the header or in the body) fails with kFetchTimedOut.
// The test builds make it short (KESTA_IDLE_SECONDS), so that no test waits
// a minute; the plug-in's is 60 s.
#ifndef KESTA_IDLE_SECONDS
#define KESTA_IDLE_SECONDS 60
#endif
const DWORD kIdleLimitMs = KESTA_IDLE_SECONDS * 1000;

// Winsock for one call of the plug-in: started on the calling thread before
// any download (the listing's threads included) and cleaned up when the
// call ends, so start-ups and clean-ups always pair and nothing is left to
// the DLL's unload (no Winsock call may run from DllMain). The downloads of
// a call run inside one such scope and call neither function themselves.
class SocketLibrary {
public:
    SocketLibrary();
    ~SocketLibrary();
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
    // kFetchOk, or kFetchStartupFailed: every download of the call fails with it.
    FetchMessage started() const { return started_; }

private:
    FetchMessage started_;
};

// Small steps of a connect, for http/connect.cpp: whether a connect under
// way on `s` has ended (either way) within `milliseconds`; a socket set
// blocking or not; whether the socket has its peer (a refused connect can
// leave no error behind to read; a reset, as Wine reports it, leaves none).
bool SocketConnectEnded(SOCKET s, DWORD milliseconds);
bool SetBlocking(SOCKET s, bool blocking);
bool StillConnected(SOCKET s);

// Connects to `host` (a name, a dotted IPv4 address or a bare IPv6
// address) on `port`, racing the addresses the name resolves to (RFC 8305):
// the next address is tried 250 ms after the one before while that one
// still runs, or at once when it failed at once, and the first to connect
// wins. Silence for kIdleLimitMs, or the pulse's deadline, ends the
// download (kFetchTimedOut). On kFetchOk *out is a connected blocking socket
// that the caller closes; otherwise nothing is held.
FetchMessage ConnectTo(const char* host, unsigned short port, const Pulse* pulse, SOCKET* out);

// The race of ConnectTo over addresses already known (each with its port).
FetchMessage ConnectToAddresses(const struct sockaddr* const* addresses, const int* lengths,
                                int count, const Pulse* pulse, SOCKET* out);

// Waits until `s` has bytes or an end to read. kFetchOk, kFetchCancelled,
// kFetchTimedOut, or kFetchReceiveFailed when the wait itself fails.
FetchMessage WaitReadable(SOCKET s, const Pulse* pulse);

// True when `s` has bytes or an end to read right now (no wait).
bool SocketReadable(SOCKET s);

// Sends all `n` bytes. kFetchOk or kFetchSendFailed.
FetchMessage SendAll(SOCKET s, const char* data, size_t n);

// Waits for and receives up to `room` bytes; *got is 0 at the orderly end
// of the stream. A reset is kFetchReceiveFailed, even where the platform
// reports it as an end; kIdleLimitMs without a byte is kFetchTimedOut.
FetchMessage ReceiveSome(SOCKET s, char* buffer, size_t room, const Pulse* pulse, size_t* got);

#endif  // KESTA_HTTP_SOCKET_H
