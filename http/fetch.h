// Downloading one "http://" or "https://" address over HTTP/1.0 on the
// plug-in's own socket, following redirects.
#ifndef KESTA_HTTP_FETCH_H
#define KESTA_HTTP_FETCH_H

#include "compat/win32.h"
#include "http/cachefields.h"
#include "http/messages.h"
#include "http/socket.h"

// The host's wish to watch a download: `callback(done, total, datum)` as
// bytes arrive and while the server is silent; a non-zero result cancels.
struct FetchWatch {
    int(__stdcall* callback)(int done, int total, LONG_PTR datum);
    LONG_PTR datum;
};

// What a successful download gives.
struct FetchResult {
    HLOCAL body;        // the body in a block of exactly `length` bytes, or NULL when not asked for
    int64_t length;     // body length in bytes
    int64_t timestamp;  // from "Last-Modified:", else "Date:"; -1 no date, 0 unreadable
};

// Where a body goes as it arrives instead of into a block: `write` is given
// the final response's body, piece by piece, in order; false stops the
// download (kFetchWriteFailed).
struct BodySink {
    bool (*write)(void* context, const char* bytes, size_t n);
    void* context;
};

// What a cache adds to a download (cache/): a condition for the request to
// one address, and what the final response said.
struct FetchExtras {
    // In: header lines, each ending in CR LF (at most kMostConditionBytes),
    // sent with the request whose address, without its fragment, is
    // `conditionalFor` ("If-None-Match: ..."); NULL: none.
    const char* conditionalFor;
    const char* conditions;
    // Out: the final response's status and fields, as soon as its header
    // block is in (a sink's first call may read them); and, on kFetchOk,
    // its address without the fragment (into kMaxHrefLength + 1 bytes).
    CacheFields fields;
    char* finalHref;
};
const size_t kMostConditionBytes = 1200;

// A redirect's target is fetched in its place, up to this many times.
const int kMaxRedirects = 10;

// Downloads `url`: the body too when `keepBody`, or into `sink` when that is
// not NULL (else it is counted as it arrives and dropped), watched by `watch`
// when it is not NULL. Either way memory stays bounded whatever the server
// announces. A response
// with status 301, 302, 303, 307 or 308 and a "Location:" is followed with
// the same request (never from "https://" down to "http://"); the final
// response gives the outputs. A body that ends before its "Content-Length:"
// is a failure. On kFetchOk fills `result`, whose body the caller frees with
// LocalFree; on any other outcome leaves `result` untouched and holds
// nothing. Never touches the process-wide last-error text, so several
// downloads may run at once. The caller holds a SocketLibrary (http/socket.h)
// for as long as its downloads run. With a `pool` (http/pool.h) the
// connection may be one kept from an earlier download to the same origin,
// and goes back to it when the response leaves it fit for another request.
// A kept body whose length is announced, up to kMostDirectBody, is received
// straight into the block handed out. `extras`: see FetchExtras.
struct ConnectionPool;
FetchMessage FetchUrl(const char* url, bool keepBody, const FetchWatch* watch,
                      FetchResult* result, const BodySink* sink = NULL,
                      ConnectionPool* pool = NULL, FetchExtras* extras = NULL);

// FetchUrl, inside a SocketLibrary of its own, and RecordFetchMessage in one: returns the body length (0 or
// more) with the outputs that are not NULL filled in, or -1 on failure with
// the outputs untouched. A NULL `body` asks for the length and timestamp only.
int64_t HttpFetch(const char* url, HLOCAL* body, int64_t* length, int64_t* timestamp);

#endif  // KESTA_HTTP_FETCH_H
