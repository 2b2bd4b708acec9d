// Freshness as RFC 9111 section 4.2 computes it for a private cache, from
// the fields caught off the final response (http/cachefields.h).
#include "cache/freshness.h"

#include <string.h>

#include "compat/win32.h"
#include "http/httpdate.h"

namespace {

// RFC 9111 section 1.2.2: a delta-seconds too large to hold is 2^31.
const int64_t kMostDeltaSeconds = 2147483648LL;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// One directive of a Cache-Control or Pragma list, walked from `*at`:
// "name", "name=token" or "name=\"quoted\"". False at the list's end.
struct Directive {
    const char* name;
    size_t nameLength;
    const char* argument;  // without the quotes (escapes left in)
    size_t argumentLength;
    bool hasArgument;
};

bool NextDirective(const char** at, Directive* d) {
    const char* p = *at;
    while (*p == ',' || IsBlank(*p)) ++p;
    if (*p == '\0') return false;
    memset(d, 0, sizeof *d);
    d->name = p;
    while (*p && *p != '=' && *p != ',' && !IsBlank(*p)) ++p;
    d->nameLength = (size_t)(p - d->name);
    while (IsBlank(*p)) ++p;
    if (*p == '=') {
        ++p;
        while (IsBlank(*p)) ++p;
        d->hasArgument = true;
        if (*p == '"') {
            d->argument = ++p;
            while (*p && *p != '"') p += p[0] == '\\' && p[1] ? 2 : 1;
            d->argumentLength = (size_t)(p - d->argument);
            if (*p == '"') ++p;
        } else {
            d->argument = p;
            while (*p && *p != ',' && !IsBlank(*p)) ++p;
            d->argumentLength = (size_t)(p - d->argument);
        }
    }
    while (*p && *p != ',') ++p;  // anything else before the next comma is not ours
    *at = p;
    return true;
}

bool NameIs(const Directive& d, const char* name) {
    size_t n = strlen(name);
    if (d.nameLength != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (Lower(d.name[i]) != name[i]) return false;
    }
    return true;
}

// delta-seconds: digits only. False for anything else.
bool ReadDeltaSeconds(const char* text, size_t n, int64_t* seconds) {
    if (n == 0) return false;
    int64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        if (v < kMostDeltaSeconds) v = v * 10 + (text[i] - '0');
    }
    *seconds = v < kMostDeltaSeconds ? v : kMostDeltaSeconds;
    return true;
}

// An HTTP date, as full seconds. False when it cannot be read.
bool ReadDate(const char* value, int64_t* seconds) {
    if (value[0] == '\0') return false;
    int64_t t = 0;
    if (ConvertHttpDate(value, &t, kTimestamp64) != 0 && t != -1) return false;
    *seconds = t;  // -1: a valid date before 1970, long past
    return true;
}

// What the Cache-Control list says.
struct Control {
    bool noStore;
    bool noCache;
    bool hasMaxAge;
    int64_t maxAge;  // 0 for a max-age that cannot be read: stale
};

Control ReadControl(const char* cacheControl, const char* pragma) {
    Control c = {};
    Directive d;
    for (const char* at = cacheControl; NextDirective(&at, &d);) {
        if (NameIs(d, "no-store")) c.noStore = true;
        // A no-cache that names fields is read as a no-cache of the whole:
        // we keep whole responses only.
        if (NameIs(d, "no-cache")) c.noCache = true;
        if (NameIs(d, "max-age") && !c.hasMaxAge) {
            c.hasMaxAge = true;
            if (!d.hasArgument || !ReadDeltaSeconds(d.argument, d.argumentLength, &c.maxAge)) {
                c.maxAge = 0;
            }
        }
    }
    // Pragma: no-cache counts only where Cache-Control is absent (RFC 9111
    // section 5.4, for HTTP/1.0 servers).
    if (cacheControl[0] == '\0') {
        for (const char* at = pragma; NextDirective(&at, &d);) {
            if (NameIs(d, "no-cache")) c.noCache = true;
        }
    }
    return c;
}

bool VaryIsStar(const char* vary) {
    Directive d;
    for (const char* at = vary; NextDirective(&at, &d);) {
        if (d.nameLength == 1 && d.name[0] == '*') return true;
    }
    return false;
}

// An entity tag as RFC 9110 section 8.8.3 writes it: [W/] "etagc*".
bool IsEntityTag(const char* t) {
    if (t[0] == 'W' && t[1] == '/') t += 2;
    if (*t++ != '"') return false;
    for (; *t && *t != '"'; ++t) {
        unsigned char c = (unsigned char)*t;
        if (c < 0x21 || c == 0x7F) return false;
    }
    return t[0] == '"' && t[1] == '\0';
}

bool IsPrintable(const char* t) {
    for (; *t; ++t) {
        unsigned char c = (unsigned char)*t;
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

// `value` without the blanks around it, into `out`.
void Trimmed(const char* value, char* out, size_t capacity) {
    while (IsBlank(*value)) ++value;
    size_t n = strlen(value);
    while (n > 0 && IsBlank(value[n - 1])) --n;
    if (n >= capacity) n = 0;
    memcpy(out, value, n);
    out[n] = '\0';
}

bool Append(char* out, size_t capacity, size_t* used, const char* a, const char* b) {
    size_t na = strlen(a), nb = strlen(b);
    if (*used + na + nb + 3 > capacity) return false;
    memcpy(out + *used, a, na);
    memcpy(out + *used + na, b, nb);
    memcpy(out + *used + na + nb, "\r\n", 3);
    *used += na + nb + 2;
    return true;
}

}  // namespace

Freshness JudgeResponse(const CacheFields& f, int64_t now) {
    Freshness out = {};
    out.arrived = now;
    const char* cacheControl = CacheFieldValue(f, kCacheControl);
    Control c = ReadControl(cacheControl, CacheFieldValue(f, kPragma));
    // Section 3: only what we can read whole, and never what the server
    // forbids to store. A 200 alone: other statuses pass through unkept.
    if (f.status != 200 || CacheFieldsOverlong(f) || c.noStore ||
        VaryIsStar(CacheFieldValue(f, kVary))) {
        return out;
    }
    out.storable = true;

    // Section 4.2.3: the age on arrival. The date the server gave, or the
    // arrival when it gave none it may be read by.
    int64_t date = now;
    if (!ReadDate(CacheFieldValue(f, kDate), &date)) date = now;
    int64_t apparent = now > date ? now - date : 0;
    int64_t ageField = 0;
    const char* ageText = CacheFieldValue(f, kAge);
    char age[32];
    Trimmed(ageText, age, sizeof age);
    if (!ReadDeltaSeconds(age, strlen(age), &ageField)) ageField = 0;
    out.age = apparent > ageField ? apparent : ageField;

    // Section 4.2.1: max-age, else Expires less Date, else (section 4.2.2)
    // a heuristic. no-cache keeps the body but asks the server every time.
    const char* expires = CacheFieldValue(f, kExpires);
    const char* lastModifiedText = CacheFieldValue(f, kLastModified);
    int64_t expiry = 0, lastModified = 0;
    if (c.noCache) {
        out.lifetime = 0;
    } else if (c.hasMaxAge) {
        out.lifetime = c.maxAge;
    } else if (expires[0] != '\0') {
        // An Expires that cannot be read means "already expired".
        out.lifetime = ReadDate(expires, &expiry) && expiry > date ? expiry - date : 0;
    } else if (lastModifiedText[0] == '\0') {
        out.lifetime = kLifetimeWithoutDates;
    } else if (ReadDate(lastModifiedText, &lastModified) && lastModified <= date) {
        int64_t tenth = (date - lastModified) / 10;
        out.lifetime = tenth < kMostHeuristicLifetime ? tenth : kMostHeuristicLifetime;
    }
    return out;
}

bool StillFresh(const Freshness& f, int64_t now) {
    int64_t resident = now > f.arrived ? now - f.arrived : 0;
    return f.storable && f.lifetime > f.age + resident;
}

bool ConditionsFor(const CacheFields& f, char* out, size_t capacity) {
    size_t used = 0;
    out[0] = '\0';
    char value[kCacheFieldCapacity];
    Trimmed(CacheFieldValue(f, kETag), value, sizeof value);
    if (IsEntityTag(value) && !Append(out, capacity, &used, "If-None-Match: ", value)) {
        out[0] = '\0';
        return false;
    }
    Trimmed(CacheFieldValue(f, kLastModified), value, sizeof value);
    int64_t seconds = 0;
    if (IsPrintable(value) && ReadDate(value, &seconds) &&
        !Append(out, capacity, &used, "If-Modified-Since: ", value)) {
        out[0] = '\0';
        return false;
    }
    return used > 0;
}

int64_t SecondsNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t ticks = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    // 100-nanosecond ticks since 1601 to seconds since 1970.
    return (int64_t)(ticks / 10000000u) - 11644473600LL;
}
