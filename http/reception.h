// Receiving one response into a chain of blocks that are never moved, with
// the header block found as the bytes stream in, its fields caught wherever
// they lie in it, and the host's progress callback called on the way. The
// chain holds at most the bytes received plus one block's empty tail,
// whatever "Content-Length:" announces.
#ifndef KESTA_HTTP_RECEPTION_H
#define KESTA_HTTP_RECEPTION_H

#include "http/connection.h"
#include "http/fetch.h"
#include "http/fieldcatch.h"
#include "http/response.h"

struct Chunk;

// A "Location:" is kept whole up to this many bytes; a longer one is a
// redirect whose target is too long. (A target may be up to kMaxAddress
// characters once resolved; the reference itself may be longer, with dot
// segments, before it is.)
const size_t kLocationCapacity = 16384;
// "Content-Length:" values longer than this are no number we take.
const size_t kLengthTextCapacity = 32;

// One response as it arrives; it owns its chain of blocks.
struct Response {
    Chunk* first = NULL;
    Chunk* last = NULL;
    int64_t total = 0;  // bytes received, header block included
    HeaderEndScan scan = {};
    // Read from the header block once it is complete (or the stream ended):
    bool headerRead = false;
    int status = 0;
    bool announcedKnown = false;
    int64_t announced = 0;
    // A redirect status with a non-empty "Location:", wherever it lies in the
    // header block; `locationOverlong` when it did not fit `location`.
    bool redirect = false;
    bool locationOverlong = false;
    // The stream ended without the end the connection can vouch for (a TLS
    // stream cut without its close_notify): a body without a length may be
    // cut short.
    bool endUnconfirmed = false;
    // Fields caught as the header block streams in.
    FieldCatch locationCatch;
    FieldCatch lengthCatch;
    char location[kLocationCapacity];
    char lengthText[kLengthTextCapacity];
    // With a sink: the body bytes handed to it so far, and the stream's last
    // bytes (the header's end may be settled after they arrived, and then
    // they turn out to be body).
    int64_t sunk = 0;
    unsigned char tail[3] = {0, 0, 0};

    Response();
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    ~Response();

    int64_t HeaderLength() const;  // the whole response while no end was found
    int64_t BodyLength() const { return total - HeaderLength(); }
};

// The bytes of a response as they arrive, apart from any connection (so that
// a test can cut a response anywhere): ResponseRoom gives where the next
// bytes go (at least one byte; false when no block can be had),
// ResponseArrived takes in the `n` bytes just written there, ResponseEnded
// closes the stream. Body bytes go to `sink` (if not NULL) as soon as they
// are known to be body; a redirect's never do. When `keepBody` is false,
// body bytes past the first block are counted and dropped. kFetchOk or
// kFetchWriteFailed.
bool ResponseRoom(Response* r, bool keepBody, char** at, size_t* room);
FetchMessage ResponseArrived(Response* r, size_t n, const BodySink* sink);
FetchMessage ResponseEnded(Response* r, const BodySink* sink);

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

// Receives the response until the server ends it. A redirect stops the
// reception as soon as its header block is in: its body is never read.
// Until the header block is complete the waits answer to the pulse's
// deadline too; after it, to the idle limit alone. kFetchOk,
// kFetchCancelled, kFetchWriteFailed or a connection's failure.
FetchMessage ReceiveResponse(Connection* c, Response* r, bool keepBody, const BodySink* sink,
                             Progress* p, Pulse* pulse);

// The NUL-terminated header text: the first kHeaderTextCapacity bytes of the
// header block at most.
void CopyHeaderText(const Response* r, char* text);

// The body in a new local block of exactly its length; the chain is emptied
// block by block as it is copied. NULL when no block can hold it.
HLOCAL TakeBody(Response* r);

#endif  // KESTA_HTTP_RECEPTION_H
