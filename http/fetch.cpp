// One download from start to end: the address is split, a connection made
// (TLS for "https://"), the request sent and the response received; a
// redirect starts the same over at its target, up to kMaxRedirects times.
// The final response is cut into header block and body at its first blank
// line and dated from "Last-Modified:" (else "Date:").
#include "http/fetch.h"

#include <string.h>

#include "http/address.h"
#include "http/connection.h"
#include "http/reception.h"

namespace {

bool SilentReport(void* context) { return Report(static_cast<Progress*>(context)); }

// Connects, sends the request and receives the response into `r`.
// Connecting and the TLS handshake together must end within the idle limit,
// and so must the header block after the request: a server that trickles a
// byte now and then holds a download no longer than a silent one.
FetchMessage Exchange(const Address& a, Response* r, bool keepBody, const BodySink* sink,
                      Progress* p) {
    Pulse pulse = {p->watch ? SilentReport : NULL, p, &p->lastReport, false, 0};
    p->response = NULL;
    BoundPhase(&pulse);
    Connection c;
    FetchMessage outcome = OpenConnection(a, &pulse, &c);
    if (outcome != kFetchOk) return outcome;
    char request[kRequestCapacity];
    size_t requestLength = BuildRequest(a, request);
    outcome = SendOn(&c, request, requestLength);
    BoundPhase(&pulse);
    if (outcome == kFetchOk) outcome = ReceiveResponse(&c, r, keepBody, sink, p, &pulse);
    CloseConnection(&c);
    if (outcome != kFetchOk) return outcome;
    // Fewer than four bytes hold no header block at all: a broken response.
    if (r->total < 4) return kFetchReceiveFailed;
    return kFetchOk;
}

// The next address of a redirect from `current`, into `next`.
FetchMessage NextAddress(const char* current, bool secure, const char* location, char* next) {
    ResolveOutcome resolved = ResolveLocation(current, location, next);
    if (resolved == kResolveTooLong) return kFetchRedirectTooLong;
    if (resolved != kResolved) return kFetchRedirectRefused;
    // Once on "https://", a download never continues in the clear.
    if (secure && strncmp(next, "https://", 8) != 0) return kFetchRedirectRefused;
    return kFetchOk;
}

// The outputs of the final response.
FetchMessage Finish(Response* r, bool keepBody, FetchResult* result) {
    int64_t bodyLength = r->BodyLength();
    bool bodiless = IsBodilessStatus(r->status);
    if (r->announcedKnown && bodyLength < r->announced && !bodiless) return kFetchBodyTruncated;
    // A body that only the stream's end ends is whole only when the end is
    // the server's own: a TLS stream cut without close_notify may have been
    // cut by anyone on the path.
    if (r->endUnconfirmed && !r->announcedKnown && !bodiless) return kFetchCutShort;
    char headerText[kHeaderTextCapacity + 1];
    CopyHeaderText(r, headerText);
    HLOCAL body = NULL;
    if (keepBody) {
        body = TakeBody(r);
        if (!body) return kFetchReceiveFailed;
    }
    result->body = body;
    result->length = bodyLength;
    result->timestamp = DateFromHeader(headerText);
    return kFetchOk;
}

}  // namespace

FetchMessage FetchUrl(const char* url, bool keepBody, const FetchWatch* watch,
                      FetchResult* result, const BodySink* sink) {
    if (sink) keepBody = false;
    size_t urlLength = url ? strnlen(url, kMaxAddress + 1) : 0;
    if (urlLength <= 7 || urlLength > kMaxAddress) return kFetchBadParameter;
    char current[kMaxAddress + 1];
    memcpy(current, url, urlLength);
    current[urlLength] = '\0';
    Address a;
    AddressOutcome parsed = ParseAddress(current, urlLength, &a);
    if (parsed == kAddressNotHttp) return kFetchNotHttp;
    if (parsed != kAddressOk) return kFetchBadParameter;

    Progress progress = {watch && watch->callback ? watch : NULL, GetTickCount(), NULL, 0, 0};
    for (int redirects = 0;; ++redirects) {
        Response r;
        FetchMessage outcome = Exchange(a, &r, keepBody, sink, &progress);
        if (outcome != kFetchOk) return outcome;
        if (!r.redirect) return Finish(&r, keepBody, result);
        if (redirects == kMaxRedirects) return kFetchTooManyRedirects;
        if (r.locationOverlong) return kFetchRedirectTooLong;
        char next[kMaxAddress + 1];
        outcome = NextAddress(current, a.secure, r.location, next);
        if (outcome != kFetchOk) return outcome;
        memcpy(current, next, strlen(next) + 1);
        if (ParseAddress(current, strlen(current), &a) != kAddressOk) return kFetchRedirectRefused;
        // Between two responses the host hears that nothing is known yet.
        progress.response = NULL;
        if (progress.watch && Report(&progress)) return kFetchCancelled;
    }
}

int64_t HttpFetch(const char* url, HLOCAL* body, int64_t* length, int64_t* timestamp) {
    SocketLibrary sockets;
    FetchResult result;
    FetchMessage outcome = sockets.started();
    if (outcome == kFetchOk) outcome = FetchUrl(url, body != NULL, NULL, &result);
    RecordFetchMessage(outcome);
    if (outcome != kFetchOk) return -1;
    if (body) *body = result.body;
    if (length) *length = result.length;
    if (timestamp) *timestamp = result.timestamp;
    return result.length;
}
