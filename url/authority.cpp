// The authority of an http: or https: URL: the userinfo up to its last '@'
// (percent-encoded with the userinfo set), the host (through url/host.cpp)
// and the port, each a state of the standard's parser that scans its part.
#include "url/parser.h"

#include <string.h>

#include "url/host.h"
#include "url/utf8.h"

namespace url_parser {

namespace {

const int kHttpPort = 80;
const int kHttpsPort = 443;
const uint32_t kMaxPort = 65535;
const size_t kNone = (size_t)-1;

// Writes the code points of [from, to) with the userinfo set; true when any.
bool PutUserinfoPart(Parser* p, size_t from, size_t to) {
    size_t before = p->w.len;
    for (Step t = At(p->in, from); from < to && t.c != kEof; t = At(p->in, from)) {
        if (t.next > to) break;
        PutEncoded(&p->w, t.c, kUserinfoSet);
        from = t.next;
    }
    return p->w.len > before;
}

// The userinfo [from, to) (up to the last '@'): the username runs to the
// first ':', the password after it; "user:@" and ":@" write nothing extra.
void PutUserinfo(Parser* p, size_t from, size_t to) {
    size_t colon = to;
    for (size_t q = from; q < to;) {
        Step t = At(p->in, q);
        if (t.c == ':') {
            colon = q;
            break;
        }
        q = t.next;
    }
    Url* u = p->url;
    u->username.start = p->w.len;
    PutUserinfoPart(p, from, colon);
    u->username.length = p->w.len - u->username.start;
    bool hasPassword = false;
    u->password.start = p->w.len + 1;
    if (colon < to) {
        Put(&p->w, ':');
        hasPassword = PutUserinfoPart(p, At(p->in, colon).next, to);
        if (!hasPassword) p->w.len = u->password.start - 1;
    }
    u->password.length = hasPassword ? p->w.len - u->password.start : 0;
    if (u->username.length > 0 || hasPassword) Put(&p->w, '@');
}

void PutPort(Writer* w, uint32_t port) {
    char digits[5];  // "65535"
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + port % 10);
        port /= 10;
    } while (port);
    Put(w, ':');
    while (n) Put(w, digits[--n]);
}

}  // namespace

Next AuthorityState(Parser* p) {
    size_t lastAt = kNone;
    for (size_t q = p->pos;;) {
        Step t = At(p->in, q);
        if (IsAuthorityEnd(t.c)) break;
        if (t.c == '@') lastAt = q;
        q = t.next;
    }
    p->url->username.start = p->url->password.start = p->w.len;
    p->state = kHostState;
    if (lastAt == kNone) return kAgain;
    PutUserinfo(p, p->pos, lastAt);
    p->pos = At(p->in, lastAt).next;
    if (IsAuthorityEnd(At(p->in, p->pos).c)) return Stop(p, kUrlFailure);
    return kJump;
}

Next HostState(Parser* p) {
    bool insideBrackets = false;
    size_t q = p->pos;
    Step t = At(p->in, q);
    for (; !IsAuthorityEnd(t.c) && (t.c != ':' || insideBrackets); t = At(p->in, q)) {
        if (t.c == '[') insideBrackets = true;
        if (t.c == ']') insideBrackets = false;
        q = t.next;
    }
    // The host's text as UTF-8 where its serialization will go.
    Writer* w = &p->w;
    size_t start = w->len, capacity = kMaxHrefLength + 1 - start;
    size_t n = 0;
    for (size_t r = p->pos; r < q;) {
        Step c = At(p->in, r);
        unsigned char bytes[4];
        size_t k = EncodeUtf8(c.c, bytes);
        if (n + k + 1 > capacity) return Stop(p, kUrlTooLong);
        memcpy(w->buf + start + n, bytes, k);
        n += k;
        r = c.next;
    }
    if (n == 0) return Stop(p, kUrlFailure);
    ParsedHost host;
    HostOutcome outcome = ParseSpecialHost(w->buf + start, n, capacity, &host);
    if (outcome != kHostOk) return Stop(p, outcome == kHostTooLong ? kUrlTooLong : kUrlFailure);
    p->url->host.start = start;
    p->url->host.length = host.length;
    p->url->hostKind = host.kind;
    memcpy(p->url->address, host.address, sizeof host.address);
    w->len = start + host.length;
    p->state = t.c == ':' ? kPortState : kPathStartState;
    p->pos = t.c == ':' ? t.next : q;
    return kJump;
}

Next PortState(Parser* p) {
    uint32_t port = 0;
    bool any = false;
    size_t q = p->pos;
    for (Step t = At(p->in, q); !IsAuthorityEnd(t.c); t = At(p->in, q)) {
        if (!IsAsciiDigit(t.c)) return Stop(p, kUrlFailure);
        port = port * 10 + (t.c - '0');
        if (port > kMaxPort) return Stop(p, kUrlFailure);
        any = true;
        q = t.next;
    }
    int standard = p->url->secure ? kHttpsPort : kHttpPort;
    if (any && port != (uint32_t)standard) {
        p->url->port = (int)port;
        PutPort(&p->w, port);
    }
    p->state = kPathStartState;
    p->pos = q;
    return kJump;
}

}  // namespace url_parser
