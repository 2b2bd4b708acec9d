// A response as its bytes arrive: first the header phase, where every byte
// is scanned for the header block's end and its fields and only the block's
// first kHeaderTextCapacity bytes are kept; then the body phase, where bytes
// go to the body (http/body.h) as the header framed it. Interim 1xx
// responses are read past to the final one.
#include "http/reception.h"

#include <string.h>

#include "text/lineend.h"

namespace {

// A watched download reports at most this often while bytes arrive.
const DWORD kProgressIntervalMs = 100;

void StartCatches(Response* r) {
    FieldCatchStart(&r->locationCatch, "Location:", r->location, sizeof r->location);
    FieldCatchStart(&r->lengthCatch, "Content-Length:", r->lengthText, sizeof r->lengthText);
    FieldCatchStart(&r->encodingCatch, "Transfer-Encoding:", r->encodingText,
                    sizeof r->encodingText);
    FieldCatchStart(&r->connectionCatch, "Connection:", r->connectionText,
                    sizeof r->connectionText);
    if (r->cacheFields) CacheFieldsStart(r->cacheFields);
}

void FeedCatches(Response* r, const char* bytes, size_t n) {
    FieldCatchFeed(&r->locationCatch, bytes, n);
    FieldCatchFeed(&r->lengthCatch, bytes, n);
    FieldCatchFeed(&r->encodingCatch, bytes, n);
    FieldCatchFeed(&r->connectionCatch, bytes, n);
    if (r->cacheFields) CacheFieldsFeed(r->cacheFields, bytes, n);
}

void EndCatches(Response* r) {
    FieldCatchEnd(&r->locationCatch);
    FieldCatchEnd(&r->lengthCatch);
    FieldCatchEnd(&r->encodingCatch);
    FieldCatchEnd(&r->connectionCatch);
    if (r->cacheFields) CacheFieldsEnd(r->cacheFields);
}

// The value of a catch, or "" when the field was absent or did not fit.
const char* Caught(const FieldCatch& c) { return c.found && !c.overlong ? c.value : ""; }

// How the body ends, as RFC 9112 section 6.3 orders the rules: no body for
// 1xx, 204 and 304; a transfer coding decides over any length (chunked last:
// decoded; anything else: the connection's end); then a valid length; else
// the connection's end.
Framing ChooseFraming(Response* r) {
    if (IsBodilessStatus(r->status)) return kFramedEmpty;
    const char* coding = Caught(r->encodingCatch);
    if (r->encodingCatch.found) {
        if (LastTokenIs(coding, "chunked")) return kFramedChunked;
        r->closeAsked = true;
        return kFramedByEnd;
    }
    if (r->announcedKnown) return kFramedByLength;
    if (r->lengthCatch.found) r->closeAsked = true;  // a length we cannot read
    return kFramedByEnd;
}

// Reads the status, the version, the framing and a redirect's target once
// the header block is complete (or the stream ended). The fields were caught
// as the bytes streamed in, so they count wherever they lie in the block.
void ReadHeader(Response* r) {
    char text[kHeaderTextCapacity + 1];
    CopyHeaderText(r, text);
    r->headerRead = true;
    r->status = StatusCode(text);
    if (r->cacheFields) r->cacheFields->status = r->status;
    r->version = HttpMinorVersion(text);
    r->announcedKnown = !r->lengthCatch.overlong && r->lengthCatch.found &&
                        ReadAnnouncedLength(r->lengthText, &r->announced);
    const char* connection = Caught(r->connectionCatch);
    r->closeAsked = HasToken(connection, "close") ||
                    (r->version != 1 && !HasToken(connection, "keep-alive"));
    const FieldCatch& location = r->locationCatch;
    if (!IsRedirectStatus(r->status) || !location.found) return;
    size_t n = strlen(r->location);
    while (n > 0 && (r->location[n - 1] == ' ' || r->location[n - 1] == '\t')) --n;
    r->location[n] = '\0';
    r->redirect = n > 0 || location.overlong;
    r->locationOverlong = location.overlong;
}

bool IsInterim(int status) { return status >= 100 && status < 200 && status != 101; }

void KeepTail(Response* r, const char* bytes, size_t n) {
    for (size_t i = n > sizeof r->tail ? n - sizeof r->tail : 0; i < n; ++i) {
        memmove(r->tail, r->tail + 1, sizeof r->tail - 1);
        r->tail[sizeof r->tail - 1] = (unsigned char)bytes[i];
    }
}

// Starts the body once the header is read, and takes the body bytes that
// came with it: `back` bytes of the tail (the end was settled after they
// arrived), then `n` bytes at `bytes`.
FetchMessage StartBody(Response* r, const BodySink* sink, size_t back, char* bytes, size_t n) {
    BodyStart(&r->body, ChooseFraming(r), r->announced, r->keepBody, r->redirect ? NULL : sink);
    if (r->redirect) return kFetchOk;
    char early[sizeof r->tail];
    memcpy(early, r->tail + sizeof r->tail - back, back);
    bool taken = BodyTake(&r->body, early, back, false) && BodyTake(&r->body, bytes, n, false);
    if (r->body.broken) return kFetchChunkedBroken;
    return taken ? kFetchOk : (sink ? kFetchWriteFailed : kFetchReceiveFailed);
}

// After an interim response: what followed its header is the start of the
// next response, read from the beginning.
FetchMessage Restart(Response* r, const BodySink* sink, size_t back, const char* bytes,
                     size_t n);

// Header-phase bytes: `n` bytes just written at r->head + r->headUsed.
FetchMessage HeaderBytes(Response* r, const BodySink* sink, size_t n) {
    char* bytes = r->head + r->headUsed;
    int64_t from = r->total;
    ScanForHeaderEnd(&r->scan, reinterpret_cast<unsigned char*>(bytes), n);
    FeedCatches(r, bytes, n);
    r->headUsed += n;
    r->total += (int64_t)n;
    if (!r->scan.found) {
        KeepTail(r, bytes, n);
        return kFetchOk;
    }
    int64_t end = (int64_t)r->scan.headerLength;
    size_t back = end < from ? (size_t)(from - end) : 0;  // at most the tail
    size_t skip = end > from ? (size_t)(end - from) : 0;
    if (back > sizeof r->tail) return kFetchReceiveFailed;
    ReadHeader(r);
    if (IsInterim(r->status)) return Restart(r, sink, back, bytes + skip, n - skip);
    return StartBody(r, sink, back, bytes + skip, n - skip);
}

FetchMessage Restart(Response* r, const BodySink* sink, size_t back, const char* bytes,
                     size_t n) {
    char early[sizeof r->tail];
    memcpy(early, r->tail + sizeof r->tail - back, back);
    int interim = r->interim + 1;
    char* head = r->head;
    // The rest of a piece is at most a block: it fits the block again.
    memmove(head + back, bytes, n);
    memcpy(head, early, back);
    r->scan = HeaderEndScan{};
    r->headerRead = false;
    r->status = 0;
    r->announcedKnown = false;
    r->announced = 0;
    r->headUsed = 0;
    r->total = 0;
    r->interim = interim;
    StartCatches(r);
    memset(r->tail, 0, sizeof r->tail);
    return HeaderBytes(r, sink, back + n);
}

}  // namespace

Response::Response() { StartCatches(this); }

void WatchCacheFields(Response* r, CacheFields* fields) {
    r->cacheFields = fields;
    CacheFieldsStart(fields);
}

Response::~Response() {
    GlobalFree(head);
    GlobalFree(stream);
}

int64_t Response::HeaderLength() const { return scan.found ? (int64_t)scan.headerLength : total; }

bool ResponseRoom(Response* r, bool keepBody, char** at, size_t* room) {
    if (!r->head) r->head = static_cast<char*>(GlobalAlloc(GMEM_FIXED, kHeaderRoom));
    if (!r->head) return false;
    r->keepBody = keepBody;
    if (!r->scan.found) {
        // Past the header text, the block is scanned over and over.
        if (r->headUsed == kHeaderRoom) r->headUsed = kHeaderTextCapacity;
        *at = r->head + r->headUsed;
        *room = kHeaderRoom - r->headUsed;
    } else if (r->redirect) {
        *room = 0;
    } else if (r->body.keep && BodyWants(&r->body, 1) > 0) {
        if (!BodyRoom(&r->body, at, room)) return false;
        *room = BodyWants(&r->body, *room);
    } else {
        if (!r->stream && r->total > (int64_t)kHeaderRoom) {
            r->stream = static_cast<char*>(GlobalAlloc(GMEM_FIXED, kStreamRoom));
        }
        // Without the larger block (none yet, or no memory for it) the
        // header's block past its text serves.
        *at = r->stream ? r->stream : r->head + kHeaderTextCapacity;
        *room = BodyWants(&r->body, r->stream ? kStreamRoom : kHeaderRoom - kHeaderTextCapacity);
    }
    r->roomAt = *at;
    return true;
}

FetchMessage ResponseArrived(Response* r, size_t n, const BodySink* sink) {
    if (!r->scan.found) return HeaderBytes(r, sink, n);
    r->total += (int64_t)n;
    bool inPlace = r->body.keep;
    if (!BodyTake(&r->body, r->roomAt, n, inPlace)) {
        return r->body.sink ? kFetchWriteFailed : kFetchReceiveFailed;
    }
    return r->body.broken ? kFetchChunkedBroken : kFetchOk;
}

FetchMessage ResponseEnded(Response* r, const BodySink* sink) {
    if (!r->scan.found) {
        FinishHeaderEndScan(&r->scan);
        EndCatches(r);
        if (r->total > 0 && !r->headerRead) ReadHeader(r);
        // An end settled only now leaves at most the tail's bytes as body.
        size_t back = r->scan.found ? (size_t)(r->total - (int64_t)r->scan.headerLength) : 0;
        if (back > sizeof r->tail) return kFetchReceiveFailed;
        FetchMessage outcome = StartBody(r, sink, back, NULL, 0);
        if (outcome != kFetchOk) return outcome;
    }
    BodyEnded(&r->body);
    return kFetchOk;
}

bool ResponseLeavesConnectionReusable(const Response* r) {
    const Body& b = r->body;
    return r->headerRead && !r->redirect && !r->closeAsked && b.complete && !b.overrun &&
           !b.broken && b.framing != kFramedByEnd;
}

bool Report(Progress* p, bool finished) {
    const Response* r = p->response;
    bool inBody = r && r->scan.found && !r->redirect;
    int64_t done = inBody ? r->BodyLength() : 0;
    bool known = inBody && r->body.framing == kFramedByLength && r->announced >= done;
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
                             Progress* p, Pulse* pulse) {
    p->response = r;
    bool ended = false;
    for (;;) {
        char* at = NULL;
        size_t room = 0;
        if (!ResponseRoom(r, keepBody, &at, &room)) return kFetchReceiveFailed;
        if (room == 0) break;  // whole by its framing, or a redirect's header is in
        size_t got = 0;
        FetchMessage outcome = ReceiveOn(c, at, room, pulse, &got);
        if (outcome != kFetchOk) return outcome;
        if (got == 0) {
            ended = true;
            break;
        }
        outcome = ResponseArrived(r, got, sink);
        if (outcome != kFetchOk) return outcome;
        // The header block is in: from now on only the idle limit counts.
        if (r->scan.found) pulse->bounded = false;
        if (r->redirect) return kFetchOk;
        if (p->watch && GetTickCount() - p->lastReport >= kProgressIntervalMs && Report(p)) {
            return kFetchCancelled;
        }
    }
    if (ended) {
        r->endUnconfirmed = !EndConfirmed(c);
        FetchMessage outcome = ResponseEnded(r, sink);
        if (outcome != kFetchOk || r->redirect) return outcome;
    }
    if (p->watch && Report(p, true)) return kFetchCancelled;
    return kFetchOk;
}

void CopyHeaderText(const Response* r, char* text) {
    int64_t length = r->HeaderLength();
    size_t n = length < kHeaderTextCapacity ? (size_t)length : (size_t)kHeaderTextCapacity;
    if (n > 0 && r->head) memcpy(text, r->head, n);
    text[n] = '\0';
}

HLOCAL TakeBody(Response* r) { return TakeBodyBlock(&r->body); }
