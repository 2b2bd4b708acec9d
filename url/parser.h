// The parts of the URL parser (url/url.cpp) that its states share across
// files: the input as they read it, the href as they write it, the parser's
// own state, and the authority, host and port states (url/authority.cpp).
#ifndef KESTA_URL_PARSER_H
#define KESTA_URL_PARSER_H

#include <stddef.h>
#include <stdint.h>

#include "url/percent.h"
#include "url/url.h"

namespace url_parser {

const uint32_t kEof = 0xFFFFFFFFu;
// "https", the longest scheme kept; a longer one is counted only.
const size_t kMaxSchemeKept = 5;

enum State {
    kSchemeStartState,
    kSchemeState,
    kNoSchemeState,
    kSpecialRelativeOrAuthorityState,
    kSpecialAuthoritySlashesState,
    kSpecialAuthorityIgnoreSlashesState,
    kRelativeState,
    kRelativeSlashState,
    kAuthorityState,
    kHostState,
    kPortState,
    kPathStartState,
    kPathState,
    kQueryState,
    kFragmentState,
};

// What the loop does after a state ran on the code point at `pos`.
enum Next {
    kAdvance,  // on to the next code point (or stop after EOF)
    kAgain,    // "decrease pointer by 1": the same code point, in the new state
    kJump,     // the state moved `pos` itself
    kStop,     // `outcome` is the answer
};

// The input with leading and trailing C0 controls and spaces cut off.
struct Input {
    const unsigned char* bytes;
    size_t end;
};

struct Step {
    uint32_t c;   // kEof at the end
    size_t next;  // where the code point after it starts
};

// The code point at `pos`. Tabs and newlines are skipped here, so no state
// ever sees one; a broken UTF-8 sequence reads as U+FFFD.
Step At(const Input& in, size_t pos);

inline bool IsAsciiAlpha(uint32_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool IsAsciiDigit(uint32_t c) { return c >= '0' && c <= '9'; }

// The end of an authority, host or port in a special URL.
inline bool IsAuthorityEnd(uint32_t c) {
    return c == kEof || c == '/' || c == '?' || c == '#' || c == '\\';
}

// `lost` set, and the parse ends as kUrlTooLong (unless it fails first).
struct Writer {
    char* buf;
    size_t len;
    bool lost;
};

void Put(Writer* w, char c);
void PutText(Writer* w, const char* s, size_t n);
// The UTF-8 bytes of `c`, each in `set` written as "%XX".
void PutEncoded(Writer* w, uint32_t c, PercentEncodeSet set);

struct Parser {
    Input in;
    const Url* base;
    Url* url;
    Writer w;
    State state;
    size_t pos;
    char scheme[kMaxSchemeKept];
    size_t schemeLength;
    size_t segmentStart;  // the '/' before the path segment being written
    bool segmentOpen;
    UrlOutcome outcome;
};

// Ends the parse with `outcome`.
Next Stop(Parser* p, UrlOutcome outcome);

// The states that read a special URL's authority: each scans its part from
// `pos` and leaves `pos` where the next state starts.
Next AuthorityState(Parser* p);
Next HostState(Parser* p);
Next PortState(Parser* p);

}  // namespace url_parser

#endif  // KESTA_URL_PARSER_H
