// The response's chain of blocks: the first holds at least the first 64 KiB
// (the header text needs only 4096 bytes), later ones double up to 4 MiB.
// The body is copied once, into a block of its exact length, only when the
// server has ended the response: a lying announcement can neither size our
// memory nor change the body. A file's body goes to its sink byte for byte
// as it arrives, whatever the pieces the network cuts it into.
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
// header block is complete (or the stream ended). The fields were caught as
// the bytes streamed in, so they count wherever they lie in the block.
void ReadHeader(Response* r) {
    char text[kHeaderTextCapacity + 1];
    CopyHeaderText(r, text);
    r->headerRead = true;
    r->status = StatusCode(text);
    const FieldCatch& length = r->lengthCatch;
    r->announcedKnown = length.found && !length.overlong &&
                        ReadAnnouncedLength(r->lengthText, &r->announced);
    const FieldCatch& location = r->locationCatch;
    if (!IsRedirectStatus(r->status) || !location.found) return;
    size_t n = strlen(r->location);
    while (n > 0 && (r->location[n - 1] == ' ' || r->location[n - 1] == '\t')) --n;
    r->location[n] = '\0';
    r->redirect = n > 0 || location.overlong;
    r->locationOverlong = location.overlong;
}

// Hands the body bytes that are known now and not yet handed over to the
// sink: those among the `n` just received at `bytes` (response offsets
// [total - n, total)) and, when the header's end was settled only now, the
// stream's last bytes before them. Then keeps the stream's last bytes.
bool Sink(Response* r, const BodySink* sink, const char* bytes, size_t n) {
    bool ok = true;
    if (sink && r->scan.found && !r->redirect) {
        int64_t from = r->total - (int64_t)n;
        int64_t next = r->HeaderLength() + r->sunk;  // the next body byte to hand over
        if (next < from) {
            // At most the tail: the end is settled at most two bytes after it.
            size_t back = (size_t)(from - next);
            if (back > sizeof r->tail) return false;
            ok = sink->write(sink->context,
                             reinterpret_cast<const char*>(r->tail) + sizeof r->tail - back, back);
            r->sunk += (int64_t)back;
            next = from;
        }
        if (ok && next < r->total) {
            size_t count = (size_t)(r->total - next);
            ok = sink->write(sink->context, bytes + (next - from), count);
            r->sunk += (int64_t)count;
        }
    }
    for (size_t i = n > sizeof r->tail ? n - sizeof r->tail : 0; i < n; ++i) {
        memmove(r->tail, r->tail + 1, sizeof r->tail - 1);
        r->tail[sizeof r->tail - 1] = (unsigned char)bytes[i];
    }
    return ok;
}

}  // namespace

Response::Response() {
    FieldCatchStart(&locationCatch, "Location:", location, sizeof location);
    FieldCatchStart(&lengthCatch, "Content-Length:", lengthText, sizeof lengthText);
}

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

bool ResponseRoom(Response* r, bool keepBody, char** at, size_t* room) {
    if (!MakeRoom(r, keepBody)) return false;
    Chunk* chunk = r->last;
    *at = ChunkBytes(chunk) + chunk->used;
    *room = chunk->capacity - chunk->used;
    return true;
}

FetchMessage ResponseArrived(Response* r, size_t n, const BodySink* sink) {
    Chunk* chunk = r->last;
    char* bytes = ChunkBytes(chunk) + chunk->used;
    bool headerWasFound = r->scan.found;
    ScanForHeaderEnd(&r->scan, reinterpret_cast<unsigned char*>(bytes), n);
    FieldCatchFeed(&r->locationCatch, bytes, n);
    FieldCatchFeed(&r->lengthCatch, bytes, n);
    chunk->used += n;
    r->total += (int64_t)n;
    if (r->scan.found && !headerWasFound) ReadHeader(r);
    return Sink(r, sink, bytes, n) ? kFetchOk : kFetchWriteFailed;
}

FetchMessage ResponseEnded(Response* r, const BodySink* sink) {
    FinishHeaderEndScan(&r->scan);
    FieldCatchEnd(&r->locationCatch);
    FieldCatchEnd(&r->lengthCatch);
    // A header block found on the way has been read already; one that only
    // the end of the stream settles (or none at all) is read now.
    if (r->total > 0 && !r->headerRead) ReadHeader(r);
    return Sink(r, sink, NULL, 0) ? kFetchOk : kFetchWriteFailed;
}

FetchMessage ReceiveResponse(Connection* c, Response* r, bool keepBody, const BodySink* sink,
                             Progress* p, Pulse* pulse) {
    p->response = r;
    for (;;) {
        char* at = NULL;
        size_t room = 0;
        if (!ResponseRoom(r, keepBody, &at, &room)) return kFetchReceiveFailed;
        size_t got = 0;
        FetchMessage outcome = ReceiveOn(c, at, room, pulse, &got);
        if (outcome != kFetchOk) return outcome;
        if (got == 0) break;
        outcome = ResponseArrived(r, got, sink);
        if (outcome != kFetchOk) return outcome;
        // The header block is in: from now on only the idle limit counts.
        if (r->scan.found) pulse->bounded = false;
        if (r->redirect) return kFetchOk;
        if (p->watch && GetTickCount() - p->lastReport >= kProgressIntervalMs && Report(p)) {
            return kFetchCancelled;
        }
    }
    r->endUnconfirmed = !EndConfirmed(c);
    FetchMessage outcome = ResponseEnded(r, sink);
    if (outcome != kFetchOk || r->redirect) return outcome;
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
