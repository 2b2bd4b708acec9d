// The fields of a response that a cache decides by, caught as its header
// block streams in (http/fieldcatch.h), for the cache above (cache/): the
// status, the list fields Cache-Control, Pragma and Vary with every line
// joined, and the single fields that date, validate and measure a body.
#ifndef KESTA_HTTP_CACHEFIELDS_H
#define KESTA_HTTP_CACHEFIELDS_H

#include "http/fieldcatch.h"

enum CacheField {
    kCacheControl,
    kPragma,
    kVary,
    kExpires,
    kDate,
    kLastModified,
    kETag,
    kAge,
    kContentLength,  // a body announced longer than a cache keeps is not begun
    kCacheFieldCount
};

// Longer values are not read: a cache that meets one keeps nothing.
const size_t kCacheFieldCapacity = 512;

struct CacheFields {
    int status;  // of the response whose header block is in; 0 before
    FieldCatch catches[kCacheFieldCount];
    char values[kCacheFieldCount][kCacheFieldCapacity];
};

// Starts the catches over, for a new response.
void CacheFieldsStart(CacheFields* f);
void CacheFieldsFeed(CacheFields* f, const char* bytes, size_t n);
void CacheFieldsEnd(CacheFields* f);

// The field's value, "" when the response has none.
const char* CacheFieldValue(const CacheFields& f, CacheField which);
// True when some field's value did not fit kCacheFieldCapacity.
bool CacheFieldsOverlong(const CacheFields& f);

#endif  // KESTA_HTTP_CACHEFIELDS_H
