// Splitting an address, writing its request, and resolving a redirect's
// target (RFC 3986 section 5). Everything works on bounded byte texts: a
// part that does not fit its buffer is refused, never cut.
#include "http/address.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char kUserAgentLines[] = "\r\nUser-Agent: RUSKO Susie Plugin Http Client/1.0\r\n\r\n";
const unsigned short kHttpPort = 80;
const unsigned short kHttpsPort = 443;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// True when `text` starts with `prefix`, letters compared without case.
bool StartsWithNoCase(const char* text, size_t length, const char* prefix) {
    size_t n = strlen(prefix);
    if (length < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (Lower(text[i]) != prefix[i]) return false;
    }
    return true;
}

bool IsDottedDecimal(const char* host) {
    if (!*host) return false;
    for (const char* p = host; *p; ++p) {
        if (!(*p >= '0' && *p <= '9') && *p != '.') return false;
    }
    return true;
}

size_t Span(const char* text, size_t length, const char* stops) {
    size_t i = 0;
    while (i < length && !strchr(stops, text[i])) ++i;
    return i;
}

// The host part "host[:port]" or "[v6][:port]" into `out`.
AddressOutcome SplitHostPart(const char* part, size_t length, Address* out) {
    const char* portText = NULL;
    size_t hostFrom = 0;
    size_t hostLength = 0;
    if (length > 0 && part[0] == '[') {
        const char* close = static_cast<const char*>(memchr(part, ']', length));
        if (!close) return kAddressBad;
        hostFrom = 1;
        hostLength = (size_t)(close - part) - 1;
        size_t after = (size_t)(close - part) + 1;
        if (after < length) {
            if (part[after] != ':') return kAddressBad;
            portText = close + 2;
        }
        out->ipLiteral = true;
    } else {
        const char* colon = static_cast<const char*>(memchr(part, ':', length));
        hostLength = colon ? (size_t)(colon - part) : length;
        if (colon) portText = colon + 1;
    }
    memcpy(out->host, part + hostFrom, hostLength);
    out->host[hostLength] = '\0';
    size_t written = hostLength + 2 * hostFrom;  // the brackets of an IPv6 literal
    memcpy(out->hostText, part, written);
    out->hostText[written] = '\0';
    if (!out->ipLiteral) out->ipLiteral = IsDottedDecimal(out->host);
    if (portText) {
        size_t portLength = (size_t)(part + length - portText);
        if (portLength > kMaxPortText) return kAddressBad;
        char digits[kMaxPortText + 1];
        memcpy(digits, portText, portLength);
        digits[portLength] = '\0';
        // A number past a port's 16 bits is refused, never wrapped onto
        // another port.
        long port = atol(digits);
        if (port < 0 || port > 0xFFFF) return kAddressBad;
        out->port = (unsigned short)port;
    }
    return kAddressOk;
}

}  // namespace

AddressOutcome ParseAddress(const char* url, size_t length, Address* out) {
    size_t schemeLength = 0;
    if (StartsWithNoCase(url, length, "http://")) {
        schemeLength = 7;
        out->secure = false;
    } else if (StartsWithNoCase(url, length, "https://")) {
        schemeLength = 8;
        out->secure = true;
    } else {
        return kAddressNotHttp;
    }
    if (length > kMaxAddress) return kAddressBad;
    const char* rest = url + schemeLength;
    size_t restLength = length - schemeLength;
    size_t partLength = Span(rest, restLength, "/?#");
    if (partLength > kMaxHostPart) return kAddressBad;
    out->ipLiteral = false;
    out->port = out->secure ? kHttpsPort : kHttpPort;
    AddressOutcome split = SplitHostPart(rest, partLength, out);
    if (split != kAddressOk) return split;
    out->target = rest + partLength;
    out->targetLength = Span(out->target, restLength - partLength, "#");
    return kAddressOk;
}

size_t BuildRequest(const Address& a, char* out) {
    char reversed[8];
    int digits = 0;
    unsigned p = a.port;
    do {
        reversed[digits++] = (char)('0' + p % 10);
        p /= 10;
    } while (p);
    size_t n = 0;
    memcpy(out + n, "GET ", 4);
    n += 4;
    if (a.targetLength == 0 || a.target[0] == '?') out[n++] = '/';
    memcpy(out + n, a.target, a.targetLength);
    n += a.targetLength;
    memcpy(out + n, " HTTP/1.1\r\nHost: ", 17);
    n += 17;
    size_t hostLength = strlen(a.hostText);
    memcpy(out + n, a.hostText, hostLength);
    n += hostLength;
    out[n++] = ':';
    while (digits > 0) out[n++] = reversed[--digits];
    memcpy(out + n, kUserAgentLines, sizeof kUserAgentLines - 1);
    return n + sizeof kUserAgentLines - 1;
}

// ------------------------------------------------------------ resolution

namespace {

// 2 × 4096: a base path merged with a reference path, before the dot
// segments are taken out, fits whatever the two texts hold.
const size_t kWorkCapacity = 2 * (kMaxAddress + 1) + 2;

// An address or reference split as RFC 3986 appendix B does; a part that is
// absent has a NULL text.
struct Parts {
    const char* scheme;
    size_t schemeLength;
    const char* authority;
    size_t authorityLength;
    const char* path;
    size_t pathLength;
    const char* query;  // after the '?'
    size_t queryLength;
};

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsSchemeChar(char c) {
    return IsAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

void SplitParts(const char* text, size_t length, Parts* p) {
    memset(p, 0, sizeof *p);
    size_t i = 0;
    if (length > 0 && IsAlpha(text[0])) {
        size_t j = 1;
        while (j < length && IsSchemeChar(text[j])) ++j;
        if (j < length && text[j] == ':') {
            p->scheme = text;
            p->schemeLength = j;
            i = j + 1;
        }
    }
    if (length - i >= 2 && text[i] == '/' && text[i + 1] == '/') {
        i += 2;
        p->authority = text + i;
        p->authorityLength = Span(text + i, length - i, "/?#");
        i += p->authorityLength;
    }
    p->path = text + i;
    p->pathLength = Span(text + i, length - i, "?#");
    i += p->pathLength;
    if (i < length && text[i] == '?') {
        ++i;
        p->query = text + i;
        p->queryLength = Span(text + i, length - i, "#");
    }
}

// A bounded text being written.
struct Builder {
    char* text;
    size_t capacity;  // including the NUL
    size_t length;
    bool full;
};

void Put(Builder* b, const char* s, size_t n) {
    if (b->full || n > b->capacity - 1 - b->length) {
        b->full = true;
        return;
    }
    memcpy(b->text + b->length, s, n);
    b->length += n;
    b->text[b->length] = '\0';
}

// RFC 3986 section 5.2.4: takes the "." and ".." segments out of `in`
// (modified) and appends the result to `out`.
void RemoveDotSegments(char* in, size_t length, Builder* out) {
    size_t start = out->length;  // ".." never climbs above this
    size_t i = 0;
    while (i < length) {
        const char* s = in + i;
        size_t left = length - i;
        if (left >= 3 && memcmp(s, "../", 3) == 0) {
            i += 3;
        } else if (left >= 2 && memcmp(s, "./", 2) == 0) {
            i += 2;
        } else if (left >= 3 && memcmp(s, "/./", 3) == 0) {
            i += 2;
        } else if (left == 2 && memcmp(s, "/.", 2) == 0) {
            i += 1;
            in[i] = '/';
        } else if ((left >= 4 && memcmp(s, "/../", 4) == 0) ||
                   (left == 3 && memcmp(s, "/..", 3) == 0)) {
            // "/../x" goes on as "/x", a final "/.." as "/".
            if (left >= 4) {
                i += 3;
            } else {
                i += 2;
                in[i] = '/';
            }
            // Drop the last segment written, with the '/' before it.
            while (out->length > start && out->text[out->length - 1] != '/') --out->length;
            if (out->length > start) --out->length;
            out->text[out->length] = '\0';
        } else if ((left == 1 && s[0] == '.') || (left == 2 && memcmp(s, "..", 2) == 0)) {
            i = length;
        } else {
            size_t n = 1 + Span(s + 1, left - 1, "/");
            if (s[0] != '/') n = Span(s, left, "/");
            Put(out, s, n);
            i += n;
        }
    }
}

// The path of the target: the reference's own, or merged with the base's
// (section 5.2.3), with its dot segments removed.
void TargetPath(const Parts& base, const Parts& ref, Builder* out) {
    char work[kWorkCapacity];
    size_t n = 0;
    if (ref.pathLength > 0 && ref.path[0] == '/') {
        memcpy(work, ref.path, ref.pathLength);
        n = ref.pathLength;
    } else if (base.authority && base.pathLength == 0) {
        work[0] = '/';
        memcpy(work + 1, ref.path, ref.pathLength);
        n = 1 + ref.pathLength;
    } else {
        size_t keep = base.pathLength;
        while (keep > 0 && base.path[keep - 1] != '/') --keep;
        memcpy(work, base.path, keep);
        memcpy(work + keep, ref.path, ref.pathLength);
        n = keep + ref.pathLength;
    }
    RemoveDotSegments(work, n, out);
}

bool IsWebScheme(const Parts& p, bool* secure) {
    if (p.schemeLength == 4 && StartsWithNoCase(p.scheme, 4, "http")) {
        *secure = false;
        return true;
    }
    if (p.schemeLength == 5 && StartsWithNoCase(p.scheme, 5, "https")) {
        *secure = true;
        return true;
    }
    return false;
}

}  // namespace

ResolveOutcome ResolveLocation(const char* base, const char* location, char* out) {
    size_t locationLength = strlen(location);
    while (locationLength > 0 && (*location == ' ' || *location == '\t')) {
        ++location;
        --locationLength;
    }
    while (locationLength > 0 &&
           (location[locationLength - 1] == ' ' || location[locationLength - 1] == '\t')) {
        --locationLength;
    }
    // A "Location:" value comes from a header block of at most 4096 bytes.
    size_t baseLength = strlen(base);
    if (baseLength > kMaxAddress || locationLength > kMaxAddress + 1) return kResolveTooLong;
    Parts b;
    Parts r;
    SplitParts(base, baseLength, &b);
    SplitParts(location, locationLength, &r);
    bool secure = false;
    if (r.scheme) {
        if (!IsWebScheme(r, &secure) || !r.authority) return kResolveRefused;
    } else if (!IsWebScheme(b, &secure) || !b.authority) {
        return kResolveRefused;
    }

    char text[kWorkCapacity];
    Builder t = {text, sizeof text, 0, false};
    text[0] = '\0';
    Put(&t, secure ? "https://" : "http://", secure ? 8 : 7);
    const Parts& authority = r.authority ? r : b;
    Put(&t, authority.authority, authority.authorityLength);
    const Parts* query = &r;
    if (r.authority) {
        char work[kWorkCapacity];
        memcpy(work, r.path, r.pathLength);
        RemoveDotSegments(work, r.pathLength, &t);
    } else if (r.pathLength == 0) {
        Put(&t, b.path, b.pathLength);
        if (!r.query) query = &b;
    } else {
        TargetPath(b, r, &t);
    }
    if (query->query) {
        Put(&t, "?", 1);
        Put(&t, query->query, query->queryLength);
    }
    if (t.full || t.length > kMaxAddress) return kResolveTooLong;
    memcpy(out, text, t.length + 1);
    return kResolved;
}
