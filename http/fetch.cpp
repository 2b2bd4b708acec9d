// Downloads one "http://" address: splits it into host, port and path, sends
// one HTTP/1.0 GET over a Winsock 1.1 stream socket, reads until the server
// closes, cuts the header block off at its first blank line and dates the
// body from "Last-Modified:" (else "Date:").
#include "http/fetch.h"

#include <stdlib.h>
#include <string.h>

#include "http/header.h"
#include "http/response.h"

namespace {

// The last-error texts, in Shift-JIS (code page 932).
const char kMsgNoProblem[] = "\x93\xC1\x82\xC9\x96\xE2\x91\xE8\x82\xC8\x82\xB5";  // 特に問題なし
const char kMsgBadParameter[] =
    "\x95s\x90\xB3\x82\xC8\x83p\x83\x89\x83\x81\x81[\x83^\n";  // 不正なパラメータ
const char kMsgNotHttp[] =
    "http\x82\xCCURL\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\n";  // httpのURLではありません
const char kMsgAtexitFailed[] = "atexit(WSACleanup)\x8E\xB8\x94s\n";  // atexit(WSACleanup)失敗
const char kMsgStartupFailed[] =
    "WinSock\x82\xCC\x8F\x89\x8A\xFA\x89\xBB\x8E\xB8\x94s\n";  // WinSockの初期化失敗
const char kMsgSocketFailed[] = "Socket\x8D\xEC\x90\xAC\x8E\xB8\x94s\n";  // Socket作成失敗
const char kMsgResolveFailed[] =
    "\x83z\x83X\x83g\x83"
    "A\x83h\x83\x8C\x83X\x8E\xE6\x93\xBE\x8E\xB8\x94s\n";  // ホストアドレス取得失敗
const char kMsgConnectFailed[] =
    "\x83T\x81[\x83o\x82\xD6\x82\xCC\x90\xDA\x91\xB1\x8E\xB8\x94s\n";  // サーバへの接続失敗
const char kMsgSendFailed[] =
    "\x83T\x81[\x83o\x82\xD6\x82\xCC\x91\x97\x90M\x8E\xB8\x94s\n";  // サーバへの送信失敗
const char kMsgReceiveFailed[] =
    "\x83T\x81[\x83o\x82\xA9\x82\xE7\x82\xCC\x8E\xF3\x90M\x8E\xB8\x94s\n";  // サーバからの受信失敗

const char* const kMessages[] = {
    kMsgNoProblem,    kMsgBadParameter,  kMsgNotHttp,       kMsgAtexitFailed,
    kMsgStartupFailed, kMsgSocketFailed, kMsgResolveFailed, kMsgConnectFailed,
    kMsgSendFailed,   kMsgReceiveFailed,
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

// The response is kept as a chain of blocks that are never moved: the first
// holds at least the first 4096 bytes (the only ones the header text needs),
// later ones double up to kMaxChunk, so receiving costs no copying and few
// allocations, and the chain wastes at most one block's tail.
const size_t kFirstChunk = 64 * 1024;
const size_t kMaxChunk = 4 * 1024 * 1024;
// The body is returned as an int: a response may not reach 2 GiB.
const size_t kMaxResponse = 0x7FFFFFFFu - 4096;

// The body block handed to the caller is never smaller than this.
const size_t kMinBodyBlock = 2048;
// shutdown() in both directions; Winsock 1.1 has no name for it.
const int kShutdownBoth = 2;

struct Chunk {
    Chunk* next;
    size_t used;
    size_t capacity;
    // the bytes follow
};

char* ChunkBytes(Chunk* c) { return reinterpret_cast<char*>(c + 1); }

// Once the header block has announced the body's length ("Content-Length:"),
// the body is received straight into the block the caller gets, so a body
// of the announced length is never copied a second time. The announcement is
// only a hint, never trusted: a body that runs on grows the block, one that
// ends early shrinks it, and a length that cannot be had leaves the chain.
struct DirectBody {
    HLOCAL block;  // NULL while the body goes into the chain
    char* bytes;
    size_t capacity;
    size_t used;
};

struct Response {
    Chunk* first;
    Chunk* last;
    size_t total;
    HeaderEndScan scan;
    bool hintTried;
    DirectBody direct;
};

void FreeChunks(Response* r) {
    Chunk* c = r->first;
    while (c) {
        Chunk* next = c->next;
        GlobalFree(c);
        c = next;
    }
    r->first = r->last = NULL;
}

void ReleaseResponse(Response* r) {
    FreeChunks(r);
    if (r->direct.block) LocalFree(r->direct.block);
    r->direct.block = NULL;
}

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

// The body length announced by the header block, from its first
// kHeaderTextCapacity bytes (the first chunk holds them); false when there is
// none, it is not a plain decimal number, or the response could not hold it.
bool AnnouncedBodyLength(const Response* r, size_t* out) {
    size_t n = r->scan.headerLength < (size_t)kHeaderTextCapacity ? r->scan.headerLength
                                                                   : (size_t)kHeaderTextCapacity;
    char text[kHeaderTextCapacity + 1];
    memcpy(text, ChunkBytes(r->first), n);
    text[n] = '\0';
    char value[32];
    if (!FindHeaderField(text, "Content-Length:", value, (int32_t)sizeof value)) return false;
    size_t length = 0;
    const char* p = value;
    if (*p < '0' || *p > '9') return false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        length = length * 10 + (size_t)(*p - '0');
        if (length > kMaxResponse - r->scan.headerLength) return false;
    }
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '\0') return false;
    *out = length;
    return true;
}

// Copies bytes [from, total) of the response into `out`, freeing each block
// once it has been read, so the response and the body overlap little.
void MoveBody(Response* r, size_t from, char* out) {
    size_t offset = 0;  // response offset of the current block's first byte
    Chunk* c = r->first;
    while (c) {
        Chunk* next = c->next;
        size_t end = offset + c->used;
        if (end > from) {
            size_t skip = from > offset ? from - offset : 0;
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

// Moves the body received so far into a block of the announced length and
// keeps only the first chunk (it holds the header text). Nothing changes
// when the announcement is missing, short of what has arrived, or too large
// to allocate: the chain then takes the rest as before.
void StartDirectBody(Response* r) {
    size_t announced;
    if (!AnnouncedBodyLength(r, &announced)) return;
    size_t received = r->total - r->scan.headerLength;
    if (announced < received) return;
    size_t capacity = announced < kMinBodyBlock ? kMinBodyBlock : announced;
    HLOCAL block = LocalAlloc(LMEM_FIXED, capacity);
    char* bytes = block ? static_cast<char*>(LocalLock(block)) : NULL;
    if (!bytes) {
        if (block) LocalFree(block);
        return;
    }
    MoveBody(r, r->scan.headerLength, bytes);
    r->direct.block = block;
    r->direct.bytes = bytes;
    r->direct.capacity = capacity;
    r->direct.used = received;
}

bool ResizeDirectBody(DirectBody* d, size_t capacity) {
    HLOCAL block = LocalReAlloc(d->block, capacity, LMEM_MOVEABLE);
    char* bytes = block ? static_cast<char*>(LocalLock(block)) : NULL;
    if (!bytes) return false;  // the old block is still d->block
    d->block = block;
    d->bytes = bytes;
    d->capacity = capacity;
    return true;
}

// Receives the rest of the body into the direct block until the server
// closes, then trims the block to the body (kMinBodyBlock at least).
bool ReceiveDirect(SOCKET s, Response* r) {
    DirectBody* d = &r->direct;
    // Where a full block probes for bytes beyond the announced length.
    char overflow[4096];
    for (;;) {
        char* into = d->bytes + d->used;
        size_t room = d->capacity - d->used;
        if (room == 0) {
            into = overflow;
            room = sizeof overflow;
        } else if (room > kMaxChunk) {
            room = kMaxChunk;
        }
        int n = recv(s, into, (int)room, 0);
        if (n == SOCKET_ERROR || n < 0) return false;
        if (n == 0) break;
        r->total += (size_t)n;
        if (r->total > kMaxResponse) return false;
        if (into == overflow) {
            size_t needed = d->used + (size_t)n;
            size_t grown = d->capacity * 2 < needed ? needed : d->capacity * 2;
            if (grown > kMaxResponse) grown = kMaxResponse;
            if (grown < needed || !ResizeDirectBody(d, grown)) return false;
            memcpy(d->bytes + d->used, overflow, (size_t)n);
        }
        d->used += (size_t)n;
    }
    size_t final = d->used < kMinBodyBlock ? kMinBodyBlock : d->used;
    return final == d->capacity || ResizeDirectBody(d, final);
}

// Reads until the server closes. False on a receive error, on memory that
// cannot be had, and on a response too large to return.
bool ReceiveAll(SOCKET s, Response* r, bool keepBody) {
    for (;;) {
        if (!MakeRoom(r, keepBody)) return false;
        Chunk* c = r->last;
        size_t room = c->capacity - c->used;
        int n = recv(s, ChunkBytes(c) + c->used, (int)room, 0);
        if (n == SOCKET_ERROR || n < 0) return false;
        if (n == 0) return true;
        ScanForHeaderEnd(&r->scan, reinterpret_cast<unsigned char*>(ChunkBytes(c) + c->used),
                         (size_t)n);
        c->used += (size_t)n;
        r->total += (size_t)n;
        if (r->total > kMaxResponse) return false;
        if (keepBody && r->scan.found && !r->hintTried) {
            r->hintTried = true;
            StartDirectBody(r);
            if (r->direct.block) return ReceiveDirect(s, r);
        }
    }
}

void SetFetchError(const char* message) {
    size_t n = strlen(message);
    if (n >= sizeof g_last_error) n = sizeof g_last_error - 1;
    memcpy(g_last_error, message, n);
    g_last_error[n] = '\0';
}

int Fail(const char* message) {
    SetFetchError(message);
    return -1;
}

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

void CleanupSockets(void) { WSACleanup(); }

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
// Returns 0, or -1 with the last-error text set and everything released.
int Exchange(const Target& t, const char* request, size_t requestLength, Response* r,
             bool keepBody) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return Fail(kMsgSocketFailed);

    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((unsigned short)(t.port & 0xFFFF));
    if (!ResolveHost(t.host, &sa.sin_addr)) {
        closesocket(s);
        return Fail(kMsgResolveFailed);
    }
    if (connect(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) {
        closesocket(s);
        return Fail(kMsgConnectFailed);
    }
    if (!SendAll(s, request, requestLength)) {
        shutdown(s, kShutdownBoth);
        closesocket(s);
        return Fail(kMsgSendFailed);
    }
    bool received = ReceiveAll(s, r, keepBody);
    shutdown(s, kShutdownBoth);
    closesocket(s);
    // Fewer than four bytes hold no header block at all: a broken response.
    if (!received || r->total < 4) {
        ReleaseResponse(r);
        return Fail(kMsgReceiveFailed);
    }
    return 0;
}

}  // namespace

const char* HttpLastError() { return g_last_error; }

int HttpFetchMessageCount() { return (int)(sizeof kMessages / sizeof kMessages[0]); }

const char* HttpFetchMessage(int index) {
    if (index < 0 || index >= HttpFetchMessageCount()) return NULL;
    return kMessages[index];
}

int HttpFetch(const char* url, HLOCAL* body, long* length, int32_t* timestamp) {
    SetFetchError(kMsgNoProblem);
    size_t urlLength = url ? strnlen(url, kMaxAddress + 1) : 0;
    if (urlLength <= (size_t)kSchemeLength || urlLength > kMaxAddress) return Fail(kMsgBadParameter);
    if (!HasHttpScheme(url)) return Fail(kMsgNotHttp);
    Target target;
    if (!SplitAddress(url, urlLength, &target)) return Fail(kMsgBadParameter);

    WSADATA wsa;
    int started = WSAStartup(MAKEWORD(1, 1), &wsa);
    if (atexit(CleanupSockets) != 0) return Fail(kMsgAtexitFailed);
    if (started != 0) return Fail(kMsgStartupFailed);

    char request[kRequestCapacity];
    size_t requestLength = BuildRequest(target, request);

    Response r;
    memset(&r, 0, sizeof r);
    bool keepBody = body != NULL;
    if (Exchange(target, request, requestLength, &r, keepBody) != 0) return -1;

    FinishHeaderEndScan(&r.scan);
    size_t headerLength = r.scan.found ? r.scan.headerLength : r.total;
    size_t bodyLength = r.total - headerLength;

    // The header text: the first 4096 bytes of the header block at most; the
    // first block always holds them.
    char headerText[kHeaderTextCapacity + 1];
    size_t headerTextLength = headerLength < (size_t)kHeaderTextCapacity ? headerLength
                                                                         : (size_t)kHeaderTextCapacity;
    memcpy(headerText, ChunkBytes(r.first), headerTextLength);
    headerText[headerTextLength] = '\0';

    if (r.direct.block) {
        LocalUnlock(r.direct.block);
        *body = r.direct.block;
        r.direct.block = NULL;
    } else if (keepBody) {
        size_t blockSize = bodyLength < kMinBodyBlock ? kMinBodyBlock : bodyLength;
        HLOCAL block = LocalAlloc(LMEM_FIXED, blockSize);
        char* out = block ? static_cast<char*>(LocalLock(block)) : NULL;
        if (!out) {
            if (block) LocalFree(block);
            FreeChunks(&r);
            return Fail(kMsgReceiveFailed);
        }
        MoveBody(&r, headerLength, out);
        LocalUnlock(block);
        *body = block;
    }
    FreeChunks(&r);

    int32_t t = DateFromHeader(headerText);
    if (length) *length = (long)bodyLength;
    if (timestamp) *timestamp = t;
    return (int)bodyLength;
}
