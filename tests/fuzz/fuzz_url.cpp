// Arbitrary bytes through ParseUrl: alone, as a reference against a fixed
// base, and split at the first newline into a base and a reference against
// it. Traps on any broken invariant of a parsed Url: the href NUL-terminated
// within its buffer and made of printable ASCII only, every part inside it
// where the layout puts it, a host, a path that starts with '/', a port that
// is not the default, and the href parsing to itself again.
#include <stdint.h>
#include <string.h>

#include "url/url.h"

static void Require(bool holds) {
    if (!holds) __builtin_trap();
}

static void RequireInside(const Url& u, const UrlPart& part) {
    Require(part.start <= u.length && part.length <= u.length - part.start);
}

static void CheckLayout(const Url& u) {
    const char* scheme = u.secure ? "https://" : "http://";
    Require(strncmp(u.href, scheme, strlen(scheme)) == 0);
    RequireInside(u, u.username);
    RequireInside(u, u.password);
    RequireInside(u, u.host);
    RequireInside(u, u.path);
    Require(u.host.length > 0);
    Require(u.path.length > 0 && u.href[u.path.start] == '/');
    size_t end = u.length;
    if (u.hasFragment) {
        RequireInside(u, u.fragment);
        Require(u.fragment.start + u.fragment.length == end && u.href[u.fragment.start - 1] == '#');
        end = u.fragment.start - 1;
    }
    if (u.hasQuery) {
        RequireInside(u, u.query);
        Require(u.query.start + u.query.length == end && u.href[u.query.start - 1] == '?');
        end = u.query.start - 1;
    }
    Require(u.path.start + u.path.length == end);
    size_t afterHost = u.host.start + u.host.length;
    if (u.port == -1) {
        Require(afterHost == u.path.start);
    } else {
        Require(u.port >= 0 && u.port <= 65535 && u.port != (u.secure ? 443 : 80));
        Require(u.href[afterHost] == ':');
    }
    if (u.hostKind == kUrlIPv6) Require(u.href[u.host.start] == '[');
}

static void Check(const Url& u) {
    Require(u.length <= kMaxHrefLength && u.href[u.length] == '\0');
    for (size_t i = 0; i < u.length; ++i) {
        unsigned char c = (unsigned char)u.href[i];
        Require(c > 0x20 && c < 0x7F);
    }
    CheckLayout(u);
    static Url again;
    Require(ParseUrl(u.href, u.length, NULL, &again) == kUrlOk);
    Require(again.length == u.length && memcmp(again.href, u.href, u.length) == 0);
}

static void ParseAndCheck(const char* text, size_t n, const Url* base) {
    static Url url;
    UrlOutcome outcome = ParseUrl(text, n, base, &url);
    Require(outcome == kUrlOk || outcome == kUrlNotHttp || outcome == kUrlFailure ||
            outcome == kUrlTooLong);
    if (outcome == kUrlOk) Check(url);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t n) {
    const char* text = reinterpret_cast<const char*>(bytes);
    ParseAndCheck(text, n, NULL);

    static Url fixed;
    static const char kFixedBase[] = "https://u:p@h.example:8443/a/b/c?q#f";
    Require(ParseUrl(kFixedBase, strlen(kFixedBase), NULL, &fixed) == kUrlOk);
    ParseAndCheck(text, n, &fixed);

    const char* newline = static_cast<const char*>(memchr(text, '\n', n));
    if (!newline) return 0;
    static Url base;
    size_t cut = (size_t)(newline - text);
    if (ParseUrl(text, cut, NULL, &base) != kUrlOk) return 0;
    ParseAndCheck(newline + 1, n - cut - 1, &base);
    return 0;
}
