// One download from start to end: the address is split, a connection made
// (TLS for "https://"), the request sent and the response received; a
// redirect starts the same over at its target, up to kMaxRedirects times.
// The final response is cut into header block and body at its first blank
// line and dated from "Last-Modified:" (else "Date:").
#include "http/fetch.h"

#include <string.h>

#include "http/address.h"
#include "http/connection.h"
#include "http/pool.h"
#include "http/reception.h"

namespace {

bool SilentReport(void* context) { return Report(static_cast<Progress*>(context)); }

static_assert(kMostConditionBytes <= kMostExtraLines, "a cache's conditions fit the request");

// What one exchange sends and where its response goes.
struct Exchanged {
    const Address* credentials;  // whose user info goes with the request, or NULL
    const char* conditions;      // extra request lines, or NULL
    bool keepBody;
    const BodySink* sink;
    CacheFields* fields;  // the cache's fields, caught when not NULL
};

// Sends the request on `c` and receives the response into `r`.
FetchMessage Carry(Connection* c, const Address& a, const Exchanged& x, Response* r, Progress* p,
                   Pulse* pulse) {
    char request[kRequestCapacity];
    size_t requestLength = BuildRequest(a, x.credentials, request, x.conditions);
    FetchMessage outcome = SendOn(c, request, requestLength);
    BoundPhase(pulse);
    if (x.fields) WatchCacheFields(r, x.fields);
    if (outcome == kFetchOk) outcome = ReceiveResponse(c, r, x.keepBody, x.sink, p, pulse);
    // Fewer than four bytes hold no header block at all: a broken response.
    if (outcome == kFetchOk && r->total < 4) outcome = kFetchReceiveFailed;
    return outcome;
}

// Connects (or takes a kept connection to the same origin), sends the
// request and receives the response into `r`; a connection the response
// leaves fit for another request goes back to the pool. Connecting and the
// TLS handshake together must end within the idle limit, and so must the
// header block after the request: a server that trickles a byte now and
// then holds a download no longer than a silent one. kFetchRetry when a
// kept connection failed before any byte of the response came: the server
// closed it while it was idle, and the request may go again on a new one.
const FetchMessage kFetchRetry = kFetchMessageCount;

FetchMessage Exchange(const Address& a, const Exchanged& x, Response* r, Progress* p,
                      ConnectionPool* pool, bool mayReuse) {
    Pulse pulse = {p->watch ? SilentReport : NULL, p, &p->lastReport, false, 0};
    p->response = NULL;
    BoundPhase(&pulse);
    Connection c;
    bool reused = mayReuse && pool && PoolTake(pool, a, &c);
    if (!reused) {
        FetchMessage opened = OpenConnection(a, &pulse, pool ? &pool->credentials : NULL, &c);
        if (opened != kFetchOk) return opened;
    }
    FetchMessage outcome = Carry(&c, a, x, r, p, &pulse);
    if (outcome == kFetchOk && pool && ResponseLeavesConnectionReusable(r) && ConnectionIdle(&c)) {
        PoolKeep(pool, a, &c);
        return kFetchOk;
    }
    CloseConnection(&c);
    bool nothingCame = r->total == 0 && outcome != kFetchCancelled && outcome != kFetchTimedOut;
    return reused && nothingCame && outcome != kFetchOk ? kFetchRetry : outcome;
}

// The next address of a redirect from `current`, into `next`.
FetchMessage NextAddress(const Address& current, const Response& r, Address* next) {
    if (r.locationOverlong) return kFetchRedirectTooLong;
    AddressOutcome resolved = ResolveLocation(current, r.location, strlen(r.location), next);
    if (resolved == kAddressTooLong) return kFetchRedirectTooLong;
    if (resolved != kAddressOk) return kFetchRedirectRefused;
    // Once on "https://", a download never continues in the clear.
    if (current.secure && !next->secure) return kFetchRedirectRefused;
    return kFetchOk;
}

// The outputs of the final response, once its framing says it is whole.
FetchMessage Finish(Response* r, bool keepBody, FetchResult* result) {
    const Body& b = r->body;
    if (b.broken || (b.framing == kFramedChunked && !b.complete)) return kFetchChunkedBroken;
    if (b.framing == kFramedByLength && b.bytes < b.length) return kFetchBodyTruncated;
    // A body that only the stream's end ends is whole only when the end is
    // the server's own: a TLS stream cut without close_notify may have been
    // cut by anyone on the path.
    if (b.framing == kFramedByEnd && r->endUnconfirmed) return kFetchCutShort;
    char headerText[kHeaderTextCapacity + 1];
    CopyHeaderText(r, headerText);
    HLOCAL body = NULL;
    if (keepBody) {
        body = TakeBody(r);
        if (!body) return kFetchReceiveFailed;
    }
    result->body = body;
    result->length = b.bytes;
    result->timestamp = DateFromHeader(headerText);
    return kFetchOk;
}

// True when `a`, without its fragment, is the address `href`.
bool IsAddress(const Address& a, const char* href) {
    size_t n = a.url.hasFragment ? a.url.fragment.start - 1 : a.url.length;
    return strncmp(a.url.href, href, n) == 0 && href[n] == '\0';
}

// `a`'s href without the fragment into `out` (kMaxHrefLength + 1 bytes).
void CopyHrefWithoutFragment(const Address& a, char* out) {
    size_t n = a.url.hasFragment ? a.url.fragment.start - 1 : a.url.length;
    memcpy(out, a.url.href, n);
    out[n] = '\0';
}

}  // namespace

FetchMessage FetchUrl(const char* url, bool keepBody, const FetchWatch* watch,
                      FetchResult* result, const BodySink* sink, ConnectionPool* pool,
                      FetchExtras* extras) {
    if (sink) keepBody = false;
    size_t urlLength = url ? strnlen(url, kMaxHrefLength + 1) : 0;
    if (urlLength == 0 || urlLength > kMaxHrefLength) return kFetchBadParameter;
    // The first address (whose user info counts for its origin all along),
    // and two more that take turns as a redirect's current and next: each is
    // a URL of 16 KiB, too much to copy around.
    Address* addresses = static_cast<Address*>(GlobalAlloc(GMEM_FIXED, 3 * sizeof(Address)));
    if (!addresses) return kFetchReceiveFailed;
    Address* first = &addresses[0];
    Address* a = first;
    int spare = 1;
    AddressOutcome parsed = ParseAddress(url, urlLength, a);
    FetchMessage outcome = parsed == kAddressNotHttp ? kFetchNotHttp
                           : parsed != kAddressOk    ? kFetchBadParameter
                                                     : kFetchOk;
    // The user info of the address is sent to its own origin only, and the
    // request writer sends it over https:// only.
    Progress progress = {watch && watch->callback ? watch : NULL, GetTickCount(), NULL, 0, 0};
    for (int redirects = 0; outcome == kFetchOk; ++redirects) {
        const Address* credentials = a->url.username.length || a->url.password.length ? a
                                     : SameOrigin(*a, *first)                         ? first
                                                                                      : NULL;
        const bool conditional = extras && extras->conditions && extras->conditionalFor &&
                                 IsAddress(*a, extras->conditionalFor);
        const Exchanged x = {credentials, conditional ? extras->conditions : NULL, keepBody, sink,
                             extras ? &extras->fields : NULL};
        Response firstTry;
        Response again;  // for the one retry, when a kept connection had been closed
        Response* r = &firstTry;
        outcome = Exchange(*a, x, &firstTry, &progress, pool, true);
        if (outcome == kFetchRetry) {
            r = &again;
            outcome = Exchange(*a, x, &again, &progress, pool, false);
        }
        if (outcome != kFetchOk) break;
        if (!r->redirect) {
            outcome = Finish(r, keepBody, result);
            break;
        }
        if (redirects == kMaxRedirects) {
            outcome = kFetchTooManyRedirects;
            break;
        }
        Address* next = &addresses[spare];
        outcome = NextAddress(*a, *r, next);
        if (outcome != kFetchOk) break;
        a = next;
        spare = spare == 1 ? 2 : 1;
        // Between two responses the host hears that nothing is known yet.
        progress.response = NULL;
        if (progress.watch && Report(&progress)) outcome = kFetchCancelled;
    }
    if (outcome == kFetchOk && extras && extras->finalHref) {
        CopyHrefWithoutFragment(*a, extras->finalHref);
    }
    GlobalFree(addresses);
    return outcome;
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
