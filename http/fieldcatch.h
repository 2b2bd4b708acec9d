// One header field caught as a response streams in, wherever it lies in the
// header block: the same field FindHeaderField would find in the whole block
// (the first logical line whose name matches, ASCII letters in any case;
// folded lines joined the same way; the search ends at the first empty line
// or a NUL), without keeping the block. Line ends known: CR LF, CR, LF.
//
//   "HTTP/1.1 302 Found\r\nX: ...10 KB...\r\nLocation: /next\r\n\r\n"  -> "/next"
#ifndef KESTA_HTTP_FIELDCATCH_H
#define KESTA_HTTP_FIELDCATCH_H

#include <stddef.h>

struct FieldCatch {
    const char* name;  // with its colon, e.g. "Location:"
    char* value;       // the caller's buffer of `capacity` bytes (at least 1)
    size_t capacity;
    // Results: `found` once the field's value has ended; `overlong` when the
    // value did not fit (it is cut at capacity - 1 bytes and terminated).
    bool found;
    bool overlong;
    // Where the walk stands (FieldCatchStart sets these).
    bool everyLine;  // a list field: every line of the name, joined
    int state;
    size_t matched;  // bytes of the name matched
    size_t kept;     // bytes of the value kept
};

// Starts a catch of `name` into `value`.
void FieldCatchStart(FieldCatch* c, const char* name, char* value, size_t capacity);

// The same for a field that is a comma-separated list: every line of that
// name counts, their values joined by ", " in order, as RFC 9110 section
// 5.3 combines them ("Cache-Control: public" then "Cache-Control: no-store"
// is "public, no-store"). `found` as soon as one line has ended.
void FieldCatchStartList(FieldCatch* c, const char* name, char* value, size_t capacity);

// Takes the next `n` bytes of the response. Bytes after the search has ended
// (the field found, or an empty line met) are ignored.
void FieldCatchFeed(FieldCatch* c, const char* bytes, size_t n);

// The response ended: a value that ran to the end of the stream is found.
void FieldCatchEnd(FieldCatch* c);

#endif  // KESTA_HTTP_FIELDCATCH_H
