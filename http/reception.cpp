// The response's chain of blocks: the first holds at least the first 64 KiB
// (the header text needs only 4096 bytes), later ones double up to 4 MiB.
// The body is copied once, into a block of its exact length, only when the
// server has ended the response: a lying announcement can neither size our
// memory nor change the body.
#include "http/reception.h"

#include <string.h>

#include "text/lineend.h"

struct Chunk {
    Chunk* next;
    size_t used;
    size_t capacity;
    // the bytes follow
};

namespace {

const size_t kFirstChunk = 64 * 1024;
const size_t kMaxChunk = 4 * 1024 * 1024;

// A watched download reports at most this often while bytes arrive.
const DWORD kProgressIntervalMs = 100;

char* ChunkBytes(Chunk* c) { return reinterpret_cast<char*>(c + 1); }

void FreeChunks(Chunk* c) {
    while (c) {
        Chunk* next = c->next;
        GlobalFree(c);
        c = next;
    }
}

Chunk* NewChunk(size_t capacity) {
    Chunk* c = static_cast<Chunk*>(GlobalAlloc(GMEM_FIXED, sizeof(Chunk) + capacity));
    if (!c) return NULL;
    c->next = NULL;
    c->used = 0;
    c->capacity = capacity;
    return c;
}

// Makes room for the next receive. When only the length is wanted, bytes
// after the first block are counted and dropped, so one block is reused.
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

// Reads the status, the announced length and a redirect's target once the
// header block is complete. A "Location:" counts only when its line ends
// within the kept text: one cut at the 4096th byte is not followed.
void ReadHeader(Response* r) {
    char text[kHeaderTextCapacity + 1];
    CopyHeaderText(r, text);
    r->headerRead = true;
    r->status = StatusCode(text);
    r->announcedKnown = AnnouncedLength(text, &r->announced);
    if (!IsRedirectStatus(r->status)) return;
    if (r->HeaderLength() > kHeaderTextCapacity) {
        size_t n = strlen(text);
        while (n > 0 && !IsLineEndByte(text[n - 1])) --n;
        text[n] = '\0';
    }
    r->redirect = FindLocation(text, r->location, (int)sizeof r->location);
}


// Hands the body bytes among the `n` just received at `bytes` (response
// offsets [total - n, total)) to the sink, and keeps the stream's last bytes.
bool Sink(Response* r, const BodySink* sink, const char* bytes, size_t n) {
    for (size_t i = n > 3 ? n - 3 : 0; i < n; ++i) {
        r->lastBytes[0] = r->lastBytes[1];
        r->lastBytes[1] = r->lastBytes[2];
        r->lastBytes[2] = (unsigned char)bytes[i];
    }
    if (!sink || !r->scan.found || r->redirect) return true;
    int64_t from = r->total - (int64_t)n;
    int64_t start = r->HeaderLength() > from ? r->HeaderLength() : from;
    if (start >= r->total) return true;
    size_t count = (size_t)(r->total - start);
    r->sunk += (int64_t)count;
    return sink->write(sink->context, bytes + (start - from), count);
}

// At the end of the stream the last bytes may turn out to be body (a header
// that ends in LF LF and one more byte): they go to the sink then.
bool SinkTail(Response* r, const BodySink* sink) {
    int64_t pending = r->BodyLength() - r->sunk;
    if (!sink || r->redirect || pending <= 0) return true;
    r->sunk += pending;
    return sink->write(sink->context, reinterpret_cast<const char*>(r->lastBytes) + 3 - pending,
                       (size_t)pending);
}

}  // namespace

Response::~Response() { FreeChunks(first); }

int64_t Response::HeaderLength() const { return scan.found ? (int64_t)scan.headerLength : total; }

bool Report(Progress* p, bool finished) {
    const Response* r = p->response;
    int64_t done = r && r->scan.found && !r->redirect ? r->BodyLength() : 0;
    bool known = r && r->scan.found && r->announcedKnown && r->announced >= done;
    int64_t total = known ? r->announced : done + kUnknownRemainder;
    if (finished && !known) total = done;
    if (total < 1) total = 1;
    while ((total >> p->shift) > 0x7FFFFFFF) ++p->shift;
    int d = (int)(done >> p->shift);
    if (d < p->lastDone) d = p->lastDone;
    int t = (int)(total >> p->shift);
    if (t < d) t = d;
    if (t < 1) t = 1;
    p->lastDone = d;
    p->lastReport = GetTickCount();
    return p->watch->callback(d, t, p->watch->datum) != 0;
}

FetchMessage ReceiveResponse(Connection* c, Response* r, bool keepBody, const BodySink* sink,
                             Progress* p, const Pulse* pulse) {
    p->response = r;
    for (;;) {
        if (!MakeRoom(r, keepBody)) return kFetchReceiveFailed;
        Chunk* chunk = r->last;
        size_t got = 0;
        FetchMessage outcome = ReceiveOn(c, ChunkBytes(chunk) + chunk->used,
                                         chunk->capacity - chunk->used, pulse, &got);
        if (outcome != kFetchOk) return outcome;
        if (got == 0) break;
        bool headerWasFound = r->scan.found;
        unsigned char* bytes = reinterpret_cast<unsigned char*>(ChunkBytes(chunk) + chunk->used);
        ScanForHeaderEnd(&r->scan, bytes, got);
        chunk->used += got;
        r->total += (int64_t)got;
        if (r->scan.found && !headerWasFound) {
            ReadHeader(r);
            if (r->redirect) return kFetchOk;
        }
        if (!Sink(r, sink, ChunkBytes(chunk) + chunk->used - got, got)) return kFetchWriteFailed;
        if (p->watch && GetTickCount() - p->lastReport >= kProgressIntervalMs && Report(p)) {
            return kFetchCancelled;
        }
    }
    FinishHeaderEndScan(&r->scan);
    // A header block found on the way has been read already; one that only
    // the end of the stream settles (or none at all) is read now.
    if (r->total > 0 && !r->headerRead) ReadHeader(r);
    if (r->redirect) return kFetchOk;
    if (!SinkTail(r, sink)) return kFetchWriteFailed;
    if (p->watch && Report(p, true)) return kFetchCancelled;
    return kFetchOk;
}

void CopyHeaderText(const Response* r, char* text) {
    int64_t length = r->HeaderLength();
    size_t n = length < kHeaderTextCapacity ? (size_t)length : (size_t)kHeaderTextCapacity;
    if (n > 0) memcpy(text, ChunkBytes(r->first), n);
    text[n] = '\0';
}

HLOCAL TakeBody(Response* r) {
    int64_t from = r->HeaderLength();
    int64_t length = r->BodyLength();
    if ((uint64_t)length >= (uint64_t)SIZE_MAX) return NULL;
    HLOCAL block = LocalAlloc(LMEM_FIXED, (SIZE_T)length);
    char* out = block ? static_cast<char*>(LocalLock(block)) : NULL;
    if (!out) {
        if (block) LocalFree(block);
        return NULL;
    }
    // Copies bytes [from, total), freeing each block once it has been read,
    // so that the response and the body overlap little. The first block,
    // which holds the header text, stays.
    int64_t offset = 0;  // response offset of the current block's first byte
    for (Chunk* c = r->first; c;) {
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
    if (r->first) r->first->next = NULL;
    r->last = r->first;
    LocalUnlock(block);
    return block;
}
