// Downloads one "http://" address: splits it into host, port and path, sends
// one HTTP/1.0 GET over a Winsock 1.1 stream socket, reads until the server
// closes, cuts the header block off at its first blank line and dates the
// body from "Last-Modified:" (else "Date:").
#include "http/fetch.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "compat/handles.h"
#include "http/header.h"
#include "http/response.h"

namespace {

// The last-error texts, in Shift-JIS (code page 932), in FetchMessage order.
const char* const kMessages[kFetchMessageCount] = {
    "\x93\xC1\x82\xC9\x96\xE2\x91\xE8\x82\xC8\x82\xB5",  // 特に問題なし
    "\x95s\x90\xB3\x82\xC8\x83p\x83\x89\x83\x81\x81[\x83^\n",  // 不正なパラメータ
    "http\x82\xCCURL\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\n",  // httpのURLではありません
    "atexit(WSACleanup)\x8E\xB8\x94s\n",                       // atexit(WSACleanup)失敗
    "WinSock\x82\xCC\x8F\x89\x8A\xFA\x89\xBB\x8E\xB8\x94s\n",  // WinSockの初期化失敗
    "Socket\x8D\xEC\x90\xAC\x8E\xB8\x94s\n",                   // Socket作成失敗
    "\x83z\x83X\x83g\x83"
    "A\x83h\x83\x8C\x83X\x8E\xE6\x93\xBE\x8E\xB8\x94s\n",  // ホストアドレス取得失敗
    "\x83T\x81[\x83o\x82\xD6\x82\xCC\x90\xDA\x91\xB1\x8E\xB8\x94s\n",  // サーバへの接続失敗
    "\x83T\x81[\x83o\x82\xD6\x82\xCC\x91\x97\x90M\x8E\xB8\x94s\n",     // サーバへの送信失敗
    "\x83T\x81[\x83o\x82\xA9\x82\xE7\x82\xCC\x8E\xF3\x90M\x8E\xB8\x94s\n",  // サーバからの受信失敗
    "\x83\x86\x81[\x83U\x82\xC9\x82\xE6\x82\xE9\x92\x86\x92"
    "f\n",  // ユーザによる中断
};

// 1024: the process-wide diagnostic text; every message above fits.
char g_last_error[1024];

// 4095: the longest address a list line can hand over (the URL buffer less
// its NUL). The host part, with its ':' and port, may use 255 characters and
// the port text 7, as the fixed buffers of the request format always allowed.
const size_t kMaxAddress = 4095;
const size_t kMaxHostPart = 255;
const size_t kMaxPortText = 7;
const int kDefaultPort = 80;
const int kSchemeLength = 7;  // "http://"

const char kUserAgentLine[] = "\r\nUser-Agent: RUSKO Susie Plugin Http Client/1.0\r\n\r\n";

// The request: "GET " path " HTTP/1.0\r\nHost: " host ":" port, then the
// user agent line. Path and host are bounded by kMaxAddress and kMaxHostPart,
// the port by its five digits.
const size_t kRequestCapacity = 4 + kMaxAddress + 17 + kMaxHostPart + 1 + 5 + sizeof kUserAgentLine;

// The response is received into a chain of blocks that are never moved: the
// first holds at least the first 4096 bytes (the only ones the header text
// needs), later ones double up to kMaxChunk. The chain thus holds at most the
// bytes received plus one block's empty tail, whatever "Content-Length:"
// announces, and the body is copied once, into a block of its exact length,
// only when the server has closed: a lying announcement can neither size our
// memory nor change the body.
const size_t kFirstChunk = 64 * 1024;
const size_t kMaxChunk = 4 * 1024 * 1024;

// shutdown() in both directions; Winsock 1.1 has no name for it.
const int kShutdownBoth = 2;

// A watched download reports at most this often while bytes arrive...
const DWORD kProgressIntervalMs = 100;
// ...and at least this often while the server is silent (the host's limit
// is 250 ms; the rest is left for the callback and the scheduler).
const DWORD kSilenceIntervalMs = 200;

struct Chunk {
    Chunk* next;
    size_t used;
    size_t capacity;
    // the bytes follow
};

char* ChunkBytes(Chunk* c) { return reinterpret_cast<char*>(c + 1); }

// The progress a watched download reports.
struct Progress {
    const FetchWatch* watch;  // NULL: nobody watches
    DWORD lastReport;
    bool announcedKnown;
    int64_t announced;
};

void FreeChunks(Chunk* c) {
    while (c) {
        Chunk* next = c->next;
        GlobalFree(c);
        c = next;
    }
}

// The response as it arrives; it owns its chain of blocks.
struct Response {
    Chunk* first = NULL;
    Chunk* last = NULL;
    int64_t total = 0;
    HeaderEndScan scan = {};
    Progress progress = {};

    Response() = default;
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    ~Response() { FreeChunks(first); }
};

Chunk* NewChunk(size_t capacity) {
    Chunk* c = static_cast<Chunk*>(GlobalAlloc(GMEM_FIXED, sizeof(Chunk) + capacity));
    if (!c) return NULL;
    c->next = NULL;
    c->used = 0;
    c->capacity = capacity;
    return c;
}

// Makes room for the next recv. When only the length is wanted, bytes after
// the first block are counted and dropped, so one block is reused.
bool MakeRoom(Response* r, bool keepBody) {
    if (r->last && r->last->used < r->last->capacity) return true;
    if (!keepBody && r->last && r->last != r->first) {
        r->last->used = 0;
        return true;
    }
    size_t capacity = kFirstChunk;
    if (r->last) {
        capacity = r->last->capacity * 2;
        if (capacity > kMaxChunk) capacity = kMaxChunk;
    }
    Chunk* c = NewChunk(capacity);
    if (!c) return false;
    if (r->last) {
        r->last->next = c;
    } else {
        r->first = c;
    }
    r->last = c;
    return true;
}

// The NUL-terminated header text: the first kHeaderTextCapacity bytes of the
// header block at most, which the first block always holds.
void CopyHeaderText(const Response* r, size_t headerLength, char* text) {
    size_t n = headerLength < (size_t)kHeaderTextCapacity ? headerLength
                                                           : (size_t)kHeaderTextCapacity;
    memcpy(text, ChunkBytes(r->first), n);
    text[n] = '\0';
}

// Copies bytes [from, total) of the response into `out`, freeing each block
// once it has been read, so that the response and the body overlap little.
// Only the first block is left.
void MoveBody(Response* r, int64_t from, char* out) {
    int64_t offset = 0;  // response offset of the current block's first byte
    Chunk* c = r->first;
    while (c) {
        Chunk* next = c->next;
        int64_t end = offset + (int64_t)c->used;
        if (end > from) {
            size_t skip = from > offset ? (size_t)(from - offset) : 0;
            memcpy(out, ChunkBytes(c) + skip, c->used - skip);
            out += c->used - skip;
        }
        offset = end;
        if (c != r->first) GlobalFree(c);
        c = next;
    }
    r->first->next = NULL;
    r->last = r->first;
}

// ------------------------------------------------------------ progress

// The body length that the header block announces, for the progress
// callback's total only: never for memory or for the body.
void ReadAnnouncedLength(Response* r) {
    char text[kHeaderTextCapacity + 1];
    CopyHeaderText(r, r->scan.headerLength, text);
    char value[32];
    if (!FindHeaderField(text, "Content-Length:", value, (int32_t)sizeof value)) return;
    int64_t length = 0;
    const char* p = value;
    if (*p < '0' || *p > '9') return;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (length > (INT64_MAX - 9) / 10) return;
        length = length * 10 + (*p - '0');
    }
    r->progress.announced = length;
    r->progress.announcedKnown = true;
}

// Body bytes so far and the announced length (0 when none), halved together
// until both fit an int, for members past 2 GiB.
void ScaleToInt(int64_t done, int64_t total, int* outDone, int* outTotal) {
    while (done > 0x7FFFFFFF || total > 0x7FFFFFFF) {
        done >>= 1;
        total >>= 1;
    }
    *outDone = (int)done;
    *outTotal = (int)total;
}

// Calls the host's callback. True when it asks to cancel.
bool Report(Response* r) {
    Progress* p = &r->progress;
    int64_t body = r->scan.found ? r->total - (int64_t)r->scan.headerLength : 0;
    int done = 0;
    int total = 0;
    ScaleToInt(body, p->announcedKnown ? p->announced : 0, &done, &total);
    p->lastReport = GetTickCount();
    return p->watch->callback(done, total, p->watch->datum) != 0;
}

enum ReceiveOutcome { kReceived, kReceiveFailed, kReceiveCancelled };

enum WaitFor { kReadable, kConnected };

// Waits until the socket has bytes (or an end) to read, or until a connect
// in progress has ended either way. 1 ready, 0 when the time ran out, -1 on
// an error.
int WaitFor(SOCKET s, WaitFor what, DWORD milliseconds) {
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

// True while the socket still has its peer. A server that closes shuts its
// side down and the connection stays until we close ours; a reset ends it at
// once. Winsock reports a reset from recv, but Wine's select takes that error
// for itself and recv then reads an ordinary end (and so does Wine's recv when
// the reset finds bytes still unread): this tells the two apart.
bool StillConnected(SOCKET s) {
    struct sockaddr_in peer;
    SocketLength length = sizeof peer;
    return getpeername(s, reinterpret_cast<struct sockaddr*>(&peer), &length) == 0;
}

// Connects while the host watches: the connect runs without blocking and the
// host is asked every kSilenceIntervalMs whether to go on, so that an address
// that never answers can be cancelled too.
ReceiveOutcome ConnectWatched(SOCKET s, const struct sockaddr_in& sa, Response* r) {
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return kReceiveFailed;
    connect(s, reinterpret_cast<const struct sockaddr*>(&sa), sizeof sa);
    for (;;) {
        int ended = WaitFor(s, kConnected, kSilenceIntervalMs);
        if (ended < 0) return kReceiveFailed;
        if (ended > 0) break;
        if (Report(r)) return kReceiveCancelled;
    }
    u_long blocking = 0;
    if (ioctlsocket(s, FIONBIO, &blocking) != 0) return kReceiveFailed;
    // Connected only if the socket now has a peer (a refused connect can
    // leave no error behind to read).
    int error = 0;
    SocketLength errorLength = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &errorLength) != 0 ||
        error != 0 || !StillConnected(s)) {
        return kReceiveFailed;
    }
    return kReceived;
}

// ------------------------------------------------------------ reception

// Reads until the server closes, reporting to the watcher if there is one.
ReceiveOutcome ReceiveAll(SOCKET s, Response* r, bool keepBody) {
    Progress* p = &r->progress;
    for (;;) {
        if (p->watch) {
            int ready = WaitFor(s, kReadable, kSilenceIntervalMs);
            if (ready < 0) return kReceiveFailed;
            if (ready == 0) {
                if (Report(r)) return kReceiveCancelled;
                continue;
            }
        }
        if (!MakeRoom(r, keepBody)) return kReceiveFailed;
        Chunk* c = r->last;
        size_t room = c->capacity - c->used;
        int n = recv(s, ChunkBytes(c) + c->used, (int)room, 0);
        if (n == SOCKET_ERROR || n < 0) return kReceiveFailed;
        if (n == 0) {
            if (!StillConnected(s)) return kReceiveFailed;
            break;
        }
        bool headerWasFound = r->scan.found;
        ScanForHeaderEnd(&r->scan, reinterpret_cast<unsigned char*>(ChunkBytes(c) + c->used),
                         (size_t)n);
        c->used += (size_t)n;
        r->total += n;
        if (p->watch) {
            if (r->scan.found && !headerWasFound) ReadAnnouncedLength(r);
            if (GetTickCount() - p->lastReport >= kProgressIntervalMs && Report(r)) {
                return kReceiveCancelled;
            }
        }
    }
    FinishHeaderEndScan(&r->scan);
    if (p->watch && Report(r)) return kReceiveCancelled;
    return kReceived;
}

// ------------------------------------------------------------ the address

bool HasHttpScheme(const char* url) {
    static const char kScheme[] = "http://";
    for (int i = 0; i < kSchemeLength; ++i) {
        unsigned char c = (unsigned char)url[i];
        if (c >= 'A' && c <= 'Z') c = (unsigned char)(c - 'A' + 'a');
        if (c != (unsigned char)kScheme[i]) return false;
    }
    return true;
}

// An address split into its parts; the host and port texts are NUL-terminated.
struct Target {
    char host[kMaxHostPart + 1];
    char portText[kMaxPortText + 1];
    const char* path;  // into the address; "/" when it has none
    size_t pathLength;
    unsigned port;     // the low 16 bits are used
};

// Host: up to the first '/'; its first ':' starts the port text. False when a
// part is longer than its buffer.
bool SplitAddress(const char* url, size_t length, Target* t) {
    const char* rest = url + kSchemeLength;
    const char* slash = static_cast<const char*>(memchr(rest, '/', length - kSchemeLength));
    size_t hostPart = slash ? (size_t)(slash - rest) : length - kSchemeLength;
    if (hostPart > kMaxHostPart) return false;
    const char* colon = static_cast<const char*>(memchr(rest, ':', hostPart));
    size_t hostLength = colon ? (size_t)(colon - rest) : hostPart;
    memcpy(t->host, rest, hostLength);
    t->host[hostLength] = '\0';
    t->port = kDefaultPort;
    t->portText[0] = '\0';
    if (colon) {
        size_t portLength = hostPart - hostLength - 1;
        if (portLength > kMaxPortText) return false;
        memcpy(t->portText, colon + 1, portLength);
        t->portText[portLength] = '\0';
        t->port = (unsigned)atol(t->portText);
    }
    if (slash) {
        t->path = slash;
        t->pathLength = length - (size_t)(slash - url);
    } else {
        t->path = "/";
        t->pathLength = 1;
    }
    return true;
}

size_t Append(char* out, size_t at, const char* text, size_t n) {
    memcpy(out + at, text, n);
    return at + n;
}

size_t BuildRequest(const Target& t, char* out) {
    char port[8];
    unsigned p = t.port & 0xFFFF;
    int digits = 0;
    char reversed[8];
    do {
        reversed[digits++] = (char)('0' + p % 10);
        p /= 10;
    } while (p);
    for (int i = 0; i < digits; ++i) port[i] = reversed[digits - 1 - i];
    size_t n = 0;
    n = Append(out, n, "GET ", 4);
    n = Append(out, n, t.path, t.pathLength);
    n = Append(out, n, " HTTP/1.0\r\nHost: ", 17);
    n = Append(out, n, t.host, strlen(t.host));
    n = Append(out, n, ":", 1);
    n = Append(out, n, port, (size_t)digits);
    n = Append(out, n, kUserAgentLine, sizeof kUserAgentLine - 1);
    return n;
}

// ------------------------------------------------------------ the socket

void CleanupSockets(void) { WSACleanup(); }

// Each download starts the socket library and registers its clean-up, which
// runs when the plug-in is unloaded. Downloads of one listing run on several
// threads, so the start-up and the registration are made under one lock.
std::mutex g_startupLock;

FetchMessage StartSockets() {
    std::lock_guard<std::mutex> hold(g_startupLock);
    WSADATA wsa;
    int started = WSAStartup(MAKEWORD(1, 1), &wsa);
    if (atexit(CleanupSockets) != 0) return kFetchAtexitFailed;
    if (started != 0) return kFetchStartupFailed;
    return kFetchOk;
}

bool ResolveHost(const char* host, struct in_addr* out) {
    unsigned long addr = inet_addr(host);
    if (addr != (unsigned long)INADDR_NONE) {
        out->s_addr = (uint32_t)addr;
        return true;
    }
    struct hostent* h = gethostbyname(host);
    if (!h || !h->h_addr_list || !h->h_addr_list[0] || h->h_length != 4) return false;
    memcpy(&out->s_addr, h->h_addr_list[0], 4);
    return true;
}

bool SendAll(SOCKET s, const char* data, size_t n) {
    while (n > 0) {
        int sent = send(s, data, (int)n, 0);
        if (sent == SOCKET_ERROR || sent <= 0) return false;
        data += sent;
        n -= (size_t)sent;
    }
    return true;
}

// Connects, sends the request and receives the whole response into `r`.
// The socket is shut down once the request is out, and always closed.
FetchMessage Exchange(const Target& t, const char* request, size_t requestLength, Response* r,
                      bool keepBody) {
    OwnedSocket s(socket(AF_INET, SOCK_STREAM, 0));
    if (s.get() == INVALID_SOCKET) return kFetchSocketFailed;

    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((unsigned short)(t.port & 0xFFFF));
    if (!ResolveHost(t.host, &sa.sin_addr)) return kFetchResolveFailed;
    if (r->progress.watch) {
        ReceiveOutcome connected = ConnectWatched(s.get(), sa, r);
        if (connected == kReceiveCancelled) return kFetchCancelled;
        if (connected != kReceived) return kFetchConnectFailed;
    } else if (connect(s.get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) ==
               SOCKET_ERROR) {
        return kFetchConnectFailed;
    }
    bool sent = SendAll(s.get(), request, requestLength);
    ReceiveOutcome received = sent ? ReceiveAll(s.get(), r, keepBody) : kReceiveFailed;
    shutdown(s.get(), kShutdownBoth);
    if (!sent) return kFetchSendFailed;
    if (received == kReceiveCancelled) return kFetchCancelled;
    // Fewer than four bytes hold no header block at all: a broken response.
    if (received == kReceiveFailed || r->total < 4) return kFetchReceiveFailed;
    return kFetchOk;
}

// The body in a new block of exactly its length; the chain is emptied.
HLOCAL TakeBody(Response* r, int64_t headerLength, int64_t bodyLength) {
    if ((uint64_t)bodyLength >= (uint64_t)SIZE_MAX) return NULL;
    LocalBlock block(LocalAlloc(LMEM_FIXED, (SIZE_T)bodyLength));
    char* out = block.get() ? static_cast<char*>(LocalLock(block.get())) : NULL;
    if (!out) return NULL;
    MoveBody(r, headerLength, out);
    LocalUnlock(block.get());
    return block.Release();
}

}  // namespace

void RecordFetchMessage(FetchMessage message) {
    const char* text = kMessages[message >= 0 && message < kFetchMessageCount ? message : 0];
    size_t n = strlen(text);
    if (n >= sizeof g_last_error) n = sizeof g_last_error - 1;
    memcpy(g_last_error, text, n);
    g_last_error[n] = '\0';
}

const char* HttpLastError() { return g_last_error; }

FetchMessage FetchUrl(const char* url, bool keepBody, const FetchWatch* watch,
                      FetchResult* result) {
    size_t urlLength = url ? strnlen(url, kMaxAddress + 1) : 0;
    if (urlLength <= (size_t)kSchemeLength || urlLength > kMaxAddress) return kFetchBadParameter;
    if (!HasHttpScheme(url)) return kFetchNotHttp;
    Target target;
    if (!SplitAddress(url, urlLength, &target)) return kFetchBadParameter;

    FetchMessage started = StartSockets();
    if (started != kFetchOk) return started;

    char request[kRequestCapacity];
    size_t requestLength = BuildRequest(target, request);

    Response r;
    r.progress.watch = watch && watch->callback ? watch : NULL;
    r.progress.lastReport = GetTickCount();
    FetchMessage outcome = Exchange(target, request, requestLength, &r, keepBody);
    if (outcome != kFetchOk) return outcome;

    int64_t headerLength = r.scan.found ? (int64_t)r.scan.headerLength : r.total;
    int64_t bodyLength = r.total - headerLength;
    char headerText[kHeaderTextCapacity + 1];
    CopyHeaderText(&r, (size_t)headerLength, headerText);

    HLOCAL body = NULL;
    if (keepBody) {
        body = TakeBody(&r, headerLength, bodyLength);
        if (!body) return kFetchReceiveFailed;
    }
    result->body = body;
    result->length = bodyLength;
    result->timestamp = DateFromHeader(headerText);
    return kFetchOk;
}

int64_t HttpFetch(const char* url, HLOCAL* body, int64_t* length, int64_t* timestamp) {
    FetchResult result;
    FetchMessage outcome = FetchUrl(url, body != NULL, NULL, &result);
    RecordFetchMessage(outcome);
    if (outcome != kFetchOk) return -1;
    if (body) *body = result.body;
    if (length) *length = result.length;
    if (timestamp) *timestamp = result.timestamp;
    return result.length;
}
