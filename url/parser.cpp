// The parser's reading and writing: code points out of the trimmed input
// (tabs and newlines skipped, broken UTF-8 as U+FFFD) and bytes into the
// href, percent-encoded as a part's set asks, never past kMaxHrefLength.
#include "url/parser.h"

#include "url/utf8.h"

namespace url_parser {

namespace {

bool IsTabOrNewline(unsigned char b) { return b == '\t' || b == '\n' || b == '\r'; }

}  // namespace

Step At(const Input& in, size_t pos) {
    while (pos < in.end && IsTabOrNewline(in.bytes[pos])) ++pos;
    Step s = {kEof, in.end};
    if (pos >= in.end) return s;
    size_t used = 0;
    s.c = DecodeUtf8(in.bytes + pos, in.end - pos, &used);
    s.next = pos + used;
    return s;
}

void Put(Writer* w, char c) {
    if (w->len < kMaxHrefLength) {
        w->buf[w->len++] = c;
    } else {
        w->lost = true;
    }
}

void PutText(Writer* w, const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(w, s[i]);
}

void PutEncoded(Writer* w, uint32_t c, PercentEncodeSet set) {
    unsigned char bytes[4];
    size_t n = EncodeUtf8(c, bytes);
    for (size_t i = 0; i < n; ++i) {
        if (InPercentEncodeSet(bytes[i], set)) {
            char escaped[3];
            PercentEncodeByte(bytes[i], escaped);
            PutText(w, escaped, 3);
        } else {
            Put(w, (char)bytes[i]);
        }
    }
}

Next Stop(Parser* p, UrlOutcome outcome) {
    p->outcome = outcome;
    return kStop;
}

}  // namespace url_parser
