// How long a kept response may be served without asking its server again,
// as a private cache reads a response (RFC 9111), and what to ask once it
// is stale. Times are seconds since 1970, UTC.
#ifndef KESTA_CACHE_FRESHNESS_H
#define KESTA_CACHE_FRESHNESS_H

#include <stddef.h>
#include <stdint.h>

#include "http/cachefields.h"

// Without an explicit lifetime, a response with "Last-Modified:" stays
// fresh for a tenth of its age at that time, up to this; one without for
// kLifetimeWithoutDates.
const int64_t kMostHeuristicLifetime = 5 * 60;
const int64_t kLifetimeWithoutDates = 60;

struct Freshness {
    bool storable;     // false: never kept (no-store, a status other than 200, ...)
    int64_t lifetime;  // seconds the response is fresh, counted from its generation
    int64_t age;       // its age when it arrived (Age:, or how long after Date: it came)
    int64_t arrived;   // when it arrived
};

// Judges the final response of a download that arrived at `now`.
Freshness JudgeResponse(const CacheFields& f, int64_t now);

// True while a response judged as `f` may be served at `now` without asking
// its server. A clock set back never makes an entry younger than it was.
bool StillFresh(const Freshness& f, int64_t now);

// The conditions that revalidate a kept response: "If-None-Match:" with its
// entity tag and "If-Modified-Since:" with its "Last-Modified:" value, each
// a line ending in CR LF, into `out` (`capacity` bytes). False when the
// response has no validator that can be sent back (then `out` is "").
bool ConditionsFor(const CacheFields& f, char* out, size_t capacity);

// The wall clock, in seconds since 1970.
int64_t SecondsNow();

#endif  // KESTA_CACHE_FRESHNESS_H
