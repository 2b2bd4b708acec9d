// The plug-in's downloads through the cache: a body downloaded once (while
// listing, looking up or extracting) serves the calls after it in the same
// process while it is fresh, and a stale one is revalidated, not
// downloaded again, when its server gave a validator. What a caller gets
// is what a download gives (http/fetch.h): the same body, length and
// outcome; the timestamp is the one of the kept body while it is kept.
#ifndef KESTA_CACHE_CACHE_H
#define KESTA_CACHE_CACHE_H

#include "http/fetch.h"

// A body received straight into the caller's block (memory output) is
// copied into the cache up to this size; a larger one the host already
// holds, and copying it would cost the time it was received in.
const int64_t kMostCopiedBody = 16 * 1024 * 1024;

// FetchUrl's contract (http/fetch.h), through the cache. A response is kept
// when it is whole, its status 200 and its fields allow (cache/freshness.h);
// a failure is never kept and never served from an older body.
FetchMessage FetchThroughCache(const char* url, bool keepBody, const FetchWatch* watch,
                               FetchResult* result, const BodySink* sink = NULL,
                               ConnectionPool* pool = NULL);

// Frees everything the cache holds, its temporary files included: the
// plug-in's unload (DllMain), when no call is running.
void EmptyCache();

#endif  // KESTA_CACHE_CACHE_H
