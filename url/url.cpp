// The basic URL parser of the WHATWG URL Standard for http: and https:, as a
// state machine whose states carry the standard's names. The serialization is
// written straight into the Url's buffer as the states run: scheme, userinfo,
// host, port, path, query, fragment come in that order in every input.
#include "url/url.h"

#include <stdint.h>
#include <string.h>

#include "url/host.h"
#include "url/parser.h"

using namespace url_parser;

namespace {

void PutScheme(Parser* p, bool secure) {
    p->url->secure = secure;
    const char* text = secure ? "https://" : "http://";
    PutText(&p->w, text, strlen(text));
}

// ------------------------------------------------------- scheme and base

Next SchemeStartState(Parser* p, Step s) {
    if (!IsAsciiAlpha(s.c)) {
        p->state = kNoSchemeState;
        return kAgain;
    }
    p->scheme[0] = (char)(s.c | 0x20);
    p->schemeLength = 1;
    p->state = kSchemeState;
    return kAdvance;
}

bool SchemeIs(const Parser* p, const char* name) {
    size_t n = strlen(name);
    return p->schemeLength == n && memcmp(p->scheme, name, n) == 0;
}

Next SchemeState(Parser* p, Step s) {
    if (s.c < 0x80 && (IsAsciiAlpha(s.c) || IsAsciiDigit(s.c) || s.c == '+' || s.c == '-' ||
                       s.c == '.')) {
        // | 0x20 lowers a letter and leaves digits, '+', '-' and '.' as they are.
        if (p->schemeLength < kMaxSchemeKept) p->scheme[p->schemeLength] = (char)(s.c | 0x20);
        ++p->schemeLength;
        return kAdvance;
    }
    if (s.c != ':') {
        // Not a scheme after all: start over, relative to the base.
        p->state = kNoSchemeState;
        p->pos = 0;
        return kJump;
    }
    bool secure = SchemeIs(p, "https");
    if (!secure && !SchemeIs(p, "http")) return Stop(p, kUrlNotHttp);
    PutScheme(p, secure);
    bool sameAsBase = p->base && p->base->secure == secure;
    p->state = sameAsBase ? kSpecialRelativeOrAuthorityState : kSpecialAuthoritySlashesState;
    return kAdvance;
}

Next NoSchemeState(Parser* p) {
    if (!p->base) return Stop(p, kUrlNotHttp);
    PutScheme(p, p->base->secure);
    p->state = kRelativeState;
    return kAgain;
}

// "c is '/' and remaining starts with '/'": on to the authority, past both.
Next SkipTwoSlashes(Parser* p, Step s) {
    Step second = At(p->in, s.next);
    p->state = kSpecialAuthorityIgnoreSlashesState;
    if (s.c == '/' && second.c == '/') {
        p->pos = second.next;
        return kJump;
    }
    return kAgain;
}

Next SpecialRelativeOrAuthorityState(Parser* p, Step s) {
    if (s.c == '/' && At(p->in, s.next).c == '/') return SkipTwoSlashes(p, s);
    p->state = kRelativeState;
    return kAgain;
}

Next SpecialAuthorityIgnoreSlashesState(Parser* p, Step s) {
    if (s.c == '/' || s.c == '\\') return kAdvance;
    p->state = kAuthorityState;
    return kAgain;
}

// The base's userinfo, host and port (everything between its "://" and its
// path), which sit at the same offsets here: the scheme is the base's.
void CopyBaseAuthority(Parser* p) {
    const Url* b = p->base;
    Url* u = p->url;
    PutText(&p->w, b->href + p->w.len, b->path.start - p->w.len);
    u->username = b->username;
    u->password = b->password;
    u->host = b->host;
    u->hostKind = b->hostKind;
    memcpy(u->address, b->address, sizeof u->address);
    u->port = b->port;
    u->path.start = p->w.len;
}

void CopyBaseQuery(Parser* p) {
    if (!p->base->hasQuery) return;
    Put(&p->w, '?');
    p->url->hasQuery = true;
    p->url->query.start = p->w.len;
    PutText(&p->w, p->base->href + p->base->query.start, p->base->query.length);
}

// The standard's "shorten a path": drop the last segment, if any.
void ShortenPath(Parser* p) {
    size_t at = p->w.len;
    while (at > p->url->path.start && p->w.buf[at - 1] != '/') --at;
    if (at > p->url->path.start) p->w.len = at - 1;
}

void StartFragment(Parser* p) {
    Put(&p->w, '#');
    p->url->hasFragment = true;
    p->url->fragment.start = p->w.len;
    p->state = kFragmentState;
}

void StartQuery(Parser* p) {
    Put(&p->w, '?');
    p->url->hasQuery = true;
    p->url->query.start = p->w.len;
    p->state = kQueryState;
}

Next RelativeState(Parser* p, Step s) {
    if (s.c == '/' || s.c == '\\') {
        p->state = kRelativeSlashState;
        return kAdvance;
    }
    CopyBaseAuthority(p);
    PutText(&p->w, p->base->href + p->base->path.start, p->base->path.length);
    if (s.c == '?') {
        StartQuery(p);
    } else if (s.c == '#') {
        CopyBaseQuery(p);
        StartFragment(p);
    } else if (s.c == kEof) {
        CopyBaseQuery(p);
    } else {
        ShortenPath(p);
        p->state = kPathState;
        return kAgain;
    }
    return kAdvance;
}

Next RelativeSlashState(Parser* p, Step s) {
    if (s.c == '/' || s.c == '\\') {
        p->state = kSpecialAuthorityIgnoreSlashesState;
        return kAdvance;
    }
    CopyBaseAuthority(p);
    p->state = kPathState;
    return kAgain;
}

// ------------------------------------------------- path, query, fragment

Next PathStartState(Parser* p, Step s) {
    p->url->path.start = p->w.len;
    p->state = kPathState;
    return s.c == '/' || s.c == '\\' ? kAdvance : kAgain;
}

bool IsDot(const char* s, size_t n) {
    return (n == 1 && s[0] == '.') ||
           (n == 3 && s[0] == '%' && s[1] == '2' && (s[2] | 0x20) == 'e');
}

// "..", ".%2e", "%2e." or "%2e%2e", in any case.
bool IsDoubleDot(const char* s, size_t n) {
    for (size_t first = 1; first <= 3 && first < n; first += 2) {
        if (IsDot(s, first) && IsDot(s + first, n - first)) return true;
    }
    return false;
}

// The segment just written ends at `c`: a "." goes, a ".." takes the one
// before it along; either leaves an empty last segment unless a '/' follows.
void EndSegment(Parser* p, uint32_t c) {
    Writer* w = &p->w;
    bool slash = c == '/' || c == '\\';
    size_t n = w->len > p->segmentStart ? w->len - p->segmentStart - 1 : 0;
    const char* segment = w->buf + p->segmentStart + 1;
    bool single = IsDot(segment, n), dots = IsDoubleDot(segment, n);
    p->segmentOpen = false;
    if (!single && !dots) return;
    w->len = p->segmentStart;
    if (dots) ShortenPath(p);
    if (!slash) Put(w, '/');
}

Next PathState(Parser* p, Step s) {
    if (!p->segmentOpen) {
        p->segmentStart = p->w.len;
        Put(&p->w, '/');
        p->segmentOpen = true;
    }
    bool ends = s.c == kEof || s.c == '/' || s.c == '\\' || s.c == '?' || s.c == '#';
    if (!ends) {
        PutEncoded(&p->w, s.c, kPathSet);
        return kAdvance;
    }
    EndSegment(p, s.c);
    if (s.c == '?') StartQuery(p);
    if (s.c == '#') StartFragment(p);
    return kAdvance;
}

Next QueryState(Parser* p, Step s) {
    if (s.c == '#') {
        StartFragment(p);
    } else if (s.c != kEof) {
        PutEncoded(&p->w, s.c, kSpecialQuerySet);
    }
    return kAdvance;
}

Next FragmentState(Parser* p, Step s) {
    if (s.c != kEof) PutEncoded(&p->w, s.c, kFragmentSet);
    return kAdvance;
}

Next RunState(Parser* p, Step s) {
    switch (p->state) {
        case kSchemeStartState: return SchemeStartState(p, s);
        case kSchemeState: return SchemeState(p, s);
        case kNoSchemeState: return NoSchemeState(p);
        case kSpecialRelativeOrAuthorityState: return SpecialRelativeOrAuthorityState(p, s);
        case kSpecialAuthoritySlashesState: return SkipTwoSlashes(p, s);
        case kSpecialAuthorityIgnoreSlashesState: return SpecialAuthorityIgnoreSlashesState(p, s);
        case kRelativeState: return RelativeState(p, s);
        case kRelativeSlashState: return RelativeSlashState(p, s);
        case kAuthorityState: return AuthorityState(p);
        case kHostState: return HostState(p);
        case kPortState: return PortState(p);
        case kPathStartState: return PathStartState(p, s);
        case kPathState: return PathState(p, s);
        case kQueryState: return QueryState(p, s);
        case kFragmentState: return FragmentState(p, s);
    }
    return Stop(p, kUrlFailure);
}

// ------------------------------------------------------------ the whole

// A base this function made: every part inside its href.
bool IsSoundBase(const Url* b) {
    size_t n = b->length;
    return n <= kMaxHrefLength && b->path.start <= n && b->path.length <= n - b->path.start &&
           b->path.start >= (b->secure ? 8 : 7) &&
           (!b->hasQuery || (b->query.start <= n && b->query.length <= n - b->query.start));
}

Input Trim(const char* input, size_t length) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(input);
    size_t from = 0, to = length;
    while (from < to && b[from] <= 0x20) ++from;
    while (to > from && b[to - 1] <= 0x20) --to;
    Input in = {b + from, to - from};
    return in;
}

void Start(Parser* p, Url* out, const Url* base, Input in) {
    memset(p, 0, sizeof *p);
    p->in = in;
    p->base = base;
    p->url = out;
    p->w.buf = out->href;
    p->state = kSchemeStartState;
    out->secure = false;
    out->username.start = out->username.length = 0;
    out->password = out->host = out->path = out->query = out->fragment = out->username;
    out->hostKind = kUrlDomain;
    memset(out->address, 0, sizeof out->address);
    out->port = -1;
    out->hasQuery = out->hasFragment = false;
}

// The lengths of the path, query and fragment, from where each began.
void Finish(Parser* p) {
    Url* u = p->url;
    size_t end = p->w.len;
    u->href[end] = '\0';
    u->length = end;
    if (u->hasFragment) {
        u->fragment.length = end - u->fragment.start;
        end = u->fragment.start - 1;
    }
    if (u->hasQuery) {
        u->query.length = end - u->query.start;
        end = u->query.start - 1;
    }
    u->path.length = end - u->path.start;
}

}  // namespace

UrlOutcome ParseUrl(const char* input, size_t length, const Url* base, Url* out) {
    if (!out || (!input && length > 0) || base == out) return kUrlFailure;
    if (base && !IsSoundBase(base)) return kUrlFailure;
    Parser p;
    Start(&p, out, base, Trim(input, length));
    for (;;) {
        Step s = At(p.in, p.pos);
        Next next = RunState(&p, s);
        if (next == kStop) return p.outcome;
        if (next != kAdvance) continue;
        if (s.c == kEof) break;
        p.pos = s.next;
    }
    if (p.w.lost) return kUrlTooLong;
    Finish(&p);
    return kUrlOk;
}
