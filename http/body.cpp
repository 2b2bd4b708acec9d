// The body's chain of blocks: the first holds 64 KiB, later ones double up
// to 4 MiB. The body is copied once, into a block of its exact length, only
// when the response has ended: a lying announcement can neither size our
// memory past kMostDirectBody nor change the body. Up to that, an announced
// length gets its block at once and the bytes land where the host reads them.
#include "http/body.h"

#include <string.h>

struct Chunk {
    Chunk* next;
    size_t used;
    size_t capacity;
    // the bytes follow
};

namespace {

const size_t kFirstChunk = 64 * 1024;
const size_t kMaxChunk = 4 * 1024 * 1024;

char* ChunkBytes(Chunk* c) { return reinterpret_cast<char*>(c + 1); }

// A block with room at the end of the chain.
bool MakeRoom(Body* b) {
    if (b->last && b->last->used < b->last->capacity) return true;
    size_t capacity = kFirstChunk;
    if (b->last) {
        capacity = b->last->capacity * 2;
        if (capacity > kMaxChunk) capacity = kMaxChunk;
    }
    Chunk* c = static_cast<Chunk*>(GlobalAlloc(GMEM_FIXED, sizeof(Chunk) + capacity));
    if (!c) return false;
    c->next = NULL;
    c->used = 0;
    c->capacity = capacity;
    if (b->last) {
        b->last->next = c;
    } else {
        b->first = c;
    }
    b->last = c;
    return true;
}

// Copies `n` body bytes into the chain.
bool Keep(Body* b, const char* bytes, size_t n) {
    while (n > 0) {
        if (!MakeRoom(b)) return false;
        Chunk* c = b->last;
        size_t piece = c->capacity - c->used < n ? c->capacity - c->used : n;
        memcpy(ChunkBytes(c) + c->used, bytes, piece);
        c->used += piece;
        bytes += piece;
        n -= piece;
    }
    return true;
}

// Takes the framing off `n` bytes in place: how many of them are body.
size_t Unframe(Body* b, char* bytes, size_t n) {
    if (b->complete) {
        b->overrun = b->overrun || n > 0;
        return 0;
    }
    switch (b->framing) {
        case kFramedByLength: {
            int64_t left = b->length - b->bytes;
            size_t body = (uint64_t)n > (uint64_t)left ? (size_t)left : n;
            b->overrun = body < n;
            b->complete = b->bytes + (int64_t)body == b->length;
            return body;
        }
        case kFramedChunked: {
            size_t body = 0, consumed = 0;
            ChunkOutcome outcome = DecodeChunked(&b->chunks, bytes, n, &body, &consumed);
            b->broken = outcome == kChunkBad;
            b->complete = outcome == kChunkDone;
            b->overrun = consumed < n && !b->broken;
            return body;
        }
        case kFramedEmpty:
            b->overrun = n > 0;
            return 0;
        default:
            return n;
    }
}

}  // namespace

Body::~Body() {
    if (direct) {
        LocalUnlock(direct);
        LocalFree(direct);
    }
    for (Chunk* c = first; c;) {
        Chunk* next = c->next;
        GlobalFree(c);
        c = next;
    }
}

void BodyStart(Body* b, Framing framing, int64_t length, bool keep, const BodySink* sink) {
    b->framing = framing;
    b->length = length;
    b->keep = keep && !sink;
    b->sink = sink;
    b->complete = framing == kFramedEmpty || (framing == kFramedByLength && length == 0);
    if (b->keep && framing == kFramedByLength && length > 0 && length <= kMostDirectBody) {
        b->direct = LocalAlloc(LMEM_FIXED, (SIZE_T)length);
        b->directBytes = b->direct ? static_cast<char*>(LocalLock(b->direct)) : NULL;
        if (b->direct && !b->directBytes) {
            LocalFree(b->direct);
            b->direct = NULL;  // the chain, then
        }
    }
}

size_t BodyWants(const Body* b, size_t room) {
    if (b->complete || b->broken) return 0;
    if (b->framing != kFramedByLength) return room;
    uint64_t left = (uint64_t)(b->length - b->bytes);
    return left < room ? (size_t)left : room;
}

bool BodyRoom(Body* b, char** at, size_t* room) {
    if (b->directBytes) {
        *at = b->directBytes + b->bytes;
        *room = (size_t)(b->length - b->bytes);
        return *room > 0;
    }
    if (!MakeRoom(b)) return false;
    *at = ChunkBytes(b->last) + b->last->used;
    *room = b->last->capacity - b->last->used;
    return true;
}

bool BodyTake(Body* b, char* bytes, size_t n, bool inPlace) {
    size_t body = Unframe(b, bytes, n);
    b->bytes += (int64_t)body;
    if (body == 0) return true;
    if (b->sink) return b->sink->write(b->sink->context, bytes, body);
    if (!b->keep) return true;
    if (b->directBytes) {
        // Unframe never lets more than the announced length through.
        if (!inPlace) memcpy(b->directBytes + b->bytes - (int64_t)body, bytes, body);
        return true;
    }
    if (inPlace) {
        b->last->used += body;  // the decoded bytes lie at the room's start
        return true;
    }
    return Keep(b, bytes, body);
}

void BodyEnded(Body* b) {
    if (b->framing == kFramedByEnd) b->complete = true;
}

HLOCAL TakeBodyBlock(Body* b) {
    if (b->direct) {
        if (b->bytes != b->length) return NULL;  // a short body is never handed out
        HLOCAL block = b->direct;
        LocalUnlock(block);
        b->direct = NULL;
        b->directBytes = NULL;
        return block;
    }
    if ((uint64_t)b->bytes >= (uint64_t)SIZE_MAX) return NULL;
    HLOCAL block = LocalAlloc(LMEM_FIXED, (SIZE_T)b->bytes);
    char* out = block ? static_cast<char*>(LocalLock(block)) : NULL;
    if (!out) {
        if (block) LocalFree(block);
        return NULL;
    }
    // Each block is freed once copied, so that the chain and the body
    // overlap little.
    for (Chunk* c = b->first; c;) {
        Chunk* next = c->next;
        memcpy(out, ChunkBytes(c), c->used);
        out += c->used;
        GlobalFree(c);
        c = next;
    }
    b->first = b->last = NULL;
    LocalUnlock(block);
    return block;
}
