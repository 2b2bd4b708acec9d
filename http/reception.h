// Receiving one response: the header block found as the bytes stream in,
// its fields caught wherever they lie in it, interim 1xx responses read past,
// then the body as the header frames it (http/body.h), with the host's
// progress callback called on the way. Memory stays bounded by what has
// arrived, whatever "Content-Length:" announces.
#ifndef KESTA_HTTP_RECEPTION_H
#define KESTA_HTTP_RECEPTION_H

#include "http/body.h"
#include "http/cachefields.h"
#include "http/connection.h"
#include "http/fetch.h"
#include "http/fieldcatch.h"
#include "http/response.h"

// The block that takes the response's first bytes: the first
// kHeaderTextCapacity bytes of the header block stay there (the header
// text); the rest of it is room for bytes still to be scanned.
const size_t kHeaderRoom = 64 * 1024;
// A long body that is streamed to a sink or only counted is received in
// pieces of up to this: each receive (and each write of a file output) is
// a round trip to Wine's server, so fewer, larger ones are faster.
const size_t kStreamRoom = 1024 * 1024;
// A "Location:" is kept whole up to this many bytes; a longer one is a
// redirect whose target is too long. (A target may be up to kMaxAddress
// characters once resolved; the reference itself may be longer, with dot
// segments, before it is.)
const size_t kLocationCapacity = 16384;
// Longer values of these fields are nothing we take.
const size_t kLengthTextCapacity = 32;
const size_t kTokenTextCapacity = 256;

// One response as it arrives.
struct Response {
    char* head = NULL;   // kHeaderRoom bytes, once the first bytes come
    char* stream = NULL; // kStreamRoom bytes, once a body not kept outgrows `head`
    size_t headUsed = 0; // where the next header bytes go in `head`
    int64_t total = 0;   // bytes received for this response, interim ones not counted
    HeaderEndScan scan = {};
    // Read from the header block once it is complete (or the stream ended):
    bool headerRead = false;
    int status = 0;
    int version = -1;  // 1 for HTTP/1.1 (or later 1.x), 0 for HTTP/1.0, -1 neither
    bool announcedKnown = false;
    int64_t announced = 0;
    bool closeAsked = false;   // "Connection: close", or HTTP/1.0 without keep-alive
    bool redirect = false;     // a redirect status with a non-empty "Location:"
    bool locationOverlong = false;
    bool endUnconfirmed = false;  // ended without the end the connection vouches for
    int interim = 0;              // 1xx responses read past
    // Fields caught as the header block streams in.
    FieldCatch locationCatch, lengthCatch, encodingCatch, connectionCatch;
    char location[kLocationCapacity];
    char lengthText[kLengthTextCapacity];
    char encodingText[kTokenTextCapacity];
    char connectionText[kTokenTextCapacity];
    // The cache's fields, caught too when a cache asked for them (WatchCacheFields).
    CacheFields* cacheFields = NULL;
    // The stream's last bytes before the piece under way (the header's end
    // may be settled after they arrived, and then they turn out to be body).
    unsigned char tail[3] = {0, 0, 0};
    char* roomAt = NULL;    // where ResponseRoom put the next bytes
    bool keepBody = false;  // as ResponseRoom was last told
    Body body;

    Response();
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    ~Response();

    int64_t HeaderLength() const;  // the whole response while no end was found
    int64_t BodyLength() const { return body.bytes; }
};

// Catches the cache's fields of this response (and of a final one after
// interim responses) into `fields`, from the next byte on.
void WatchCacheFields(Response* r, CacheFields* fields);

// The bytes of a response as they arrive, apart from any connection (so that
// a test can cut a response anywhere): ResponseRoom gives where the next
// bytes go (at least one byte, unless the response is complete: 0; false
// when no block can be had), ResponseArrived takes in the `n` bytes just
// written there, ResponseEnded closes the stream. Body bytes go to `sink`
// (if not NULL) as soon as they are known to be body; a redirect's never do.
// When `keepBody` is false and there is no sink, they are only counted.
// kFetchOk, kFetchWriteFailed, kFetchReceiveFailed (no block) or
// kFetchChunkedBroken.
bool ResponseRoom(Response* r, bool keepBody, char** at, size_t* room);
FetchMessage ResponseArrived(Response* r, size_t n, const BodySink* sink);
FetchMessage ResponseEnded(Response* r, const BodySink* sink);

// True when the response is whole by its own framing (a length met, a
// chunked body ended, no body) and nothing past it arrived: the connection
// may carry another request, unless the server asked to close it.
bool ResponseLeavesConnectionReusable(const Response* r);

// What a watched download reports; one per download, across its redirects.
struct Progress {
    const FetchWatch* watch;   // NULL: nobody watches
    DWORD lastReport;          // GetTickCount() of the last call
    const Response* response;  // the response being received, or NULL
    int shift;                 // the halving the numbers needed so far
    int lastDone;              // the `done` the host was last given
};

// Calls the host's callback with (done, total), true when the host asks to
// cancel. A host may divide by total and draw a bar: total is never 0, done
// never exceeds it, and done never decreases within one download.
//  - done: the body bytes of the response so far (0 while connecting, in a
//    handshake, before the header and across redirects);
//  - total: the announced length while the body has not passed it; when the
//    length is unknown (none announced, a lie, or no header yet) done plus
//    kUnknownRemainder, so the bar moves on and slows down (half at 1 MiB,
//    nine tenths at 9 MiB); at the end (`finished`) done itself, unless the
//    body stopped short of its announced length;
//  - both halved together until they fit an int, for bodies past 2 GiB (the
//    halving never decreases within a download, so neither does done).
bool Report(Progress* p, bool finished = false);
const int64_t kUnknownRemainder = 1024 * 1024;

// Receives the response until its framing says it is whole or the server
// ends the stream. A redirect stops the reception as soon as its header
// block is in: its body is never read. Until the header block is complete
// the waits answer to the pulse's deadline too; after it, to the idle limit
// alone. (r->total stays 0 when no byte came: a request on a kept
// connection that got none may be sent again on a new one.) kFetchOk,
// kFetchCancelled, kFetchWriteFailed, kFetchChunkedBroken or a connection's
// failure.
FetchMessage ReceiveResponse(Connection* c, Response* r, bool keepBody, const BodySink* sink,
                             Progress* p, Pulse* pulse);

// The NUL-terminated header text: the first kHeaderTextCapacity bytes of the
// header block at most.
void CopyHeaderText(const Response* r, char* text);

// The body in a new local block of exactly its length. NULL when no block
// can hold it.
HLOCAL TakeBody(Response* r);

#endif  // KESTA_HTTP_RECEPTION_H
