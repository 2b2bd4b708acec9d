// A response's body as it arrives: kept in a chain of blocks that are never
// moved (memory output), handed to a sink (file output), or only counted
// (a listing's measure), after the framing the header chose has been taken
// off: a Content-Length stops it, a chunked body is decoded in place, and
// bytes past the body's end are noticed, never taken for body.
#ifndef KESTA_HTTP_BODY_H
#define KESTA_HTTP_BODY_H

#include "compat/win32.h"
#include "http/chunked.h"
#include "http/fetch.h"

struct Chunk;

// A kept body whose length is announced, up to this many bytes, is received
// straight into one local block of that length, the block that is handed
// out: no chain, no copy. Past it a lying announcement could take that much
// memory before a byte has come, so the chain takes the bytes as they come.
const int64_t kMostDirectBody = 64 * 1024 * 1024;

// How the header says the body ends (RFC 9112 section 6.3).
enum Framing {
    kFramedByEnd,     // with the connection: no length, or a coding that is not chunked
    kFramedByLength,  // after Content-Length bytes
    kFramedChunked,   // Transfer-Encoding: chunked
    kFramedEmpty,     // no body at all: 1xx, 204, 304
};

struct Body {
    Framing framing = kFramedByEnd;
    int64_t length = 0;  // kFramedByLength: the announced length
    bool keep = false;   // kept in the chain (else counted, or handed to the sink)
    const BodySink* sink = NULL;
    Chunk* first = NULL;
    Chunk* last = NULL;
    HLOCAL direct = NULL;  // the one block of a body received straight into it
    char* directBytes = NULL;
    int64_t bytes = 0;      // body bytes so far, framing taken off
    bool complete = false;  // the framing says the body is whole
    bool overrun = false;   // bytes past the body's end arrived
    bool broken = false;    // a chunked body that is none
    ChunkDecoder chunks = {};

    Body() = default;
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;
    ~Body();
};

// Starts the body of a response whose header is in.
void BodyStart(Body* b, Framing framing, int64_t length, bool keep, const BodySink* sink);

// How many bytes the body may still take from the connection: the length
// left for kFramedByLength, 0 once complete, else `room`.
size_t BodyWants(const Body* b, size_t room);

// Room in the chain for bytes received straight into it (at least one
// byte); false when no block can be had. For a kept body only.
bool BodyRoom(Body* b, char** at, size_t* room);

// Takes `n` bytes that were received at the room BodyRoom gave (`inPlace`)
// or lie anywhere else (`bytes`, copied into the chain when kept). They are
// decoded in place, so `bytes` must be writable. False when the sink
// refuses them or no block can be had.
bool BodyTake(Body* b, char* bytes, size_t n, bool inPlace);

// The connection ended: a body framed by the end is whole now.
void BodyEnded(Body* b);

// The kept body in a local block of exactly its length: the direct block
// itself when the body filled it, else a new block that the chain is copied
// into (emptied block by block as it is). NULL when no block can hold it.
HLOCAL TakeBodyBlock(Body* b);

#endif  // KESTA_HTTP_BODY_H
