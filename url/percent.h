// Percent-encoding as the WHATWG URL Standard defines it: which bytes each
// part of a URL writes as "%XX", and decoding "%XX" back to bytes.
//
// Forms the decoder reads:
//   a%20b      "%" and two hex digits, either case: one byte (" ")
//   100%       a "%" without two hex digits after it: kept as it stands
#ifndef KESTA_URL_PERCENT_H
#define KESTA_URL_PERCENT_H

#include <stddef.h>

// The standard's percent-encode sets, each a superset of the one above it
// except kFragmentSet, which adds to kC0ControlSet only. Every byte at or
// above 0x7F is in every set, so non-ASCII text is always written as the
// percent-encoding of its UTF-8 bytes.
enum PercentEncodeSet {
    kC0ControlSet,     // C0 controls, DEL and non-ASCII
    kFragmentSet,      // + space " < > `
    kQuerySet,         // C0 + space " # < >
    kSpecialQuerySet,  // + '  (the query of http: and https:)
    kPathSet,          // query + ? ^ ` { }
    kUserinfoSet,      // path + / : ; = @ [ \ ] |
};

// True when `byte` is written as "%XX" in a part encoded with `set`.
bool InPercentEncodeSet(unsigned char byte, PercentEncodeSet set);

// Writes "%XX" for `byte` to `out` (3 bytes, no NUL), upper-case hex.
void PercentEncodeByte(unsigned char byte, char out[3]);

bool IsHexDigit(char c);
int HexValue(char c);  // 0 to 15; -1 when `c` is not a hex digit

// Decodes `length` bytes of `in` into `out` (`capacity` bytes) and adds a NUL.
// Returns the decoded length. Refused, not cut: when the decoded bytes and
// the NUL would not fit, returns (size_t)-1 and `out` holds "" (when
// `capacity` > 0). `in` and `out` may be the same buffer (decoding never
// lengthens). A decoded NUL stays in the output; callers that need a C string
// check for it.
const size_t kPercentDecodeRefused = (size_t)-1;
size_t PercentDecode(const char* in, size_t length, char* out, size_t capacity);

#endif  // KESTA_URL_PERCENT_H
