// A list's text as characters: which encoding a list is read in, an address
// line's text as the UTF-8 the fetch parses, and the member name a user
// reads, decoded from the address.
//
// Encodings: a list that starts with the UTF-8 byte-order mark (EF BB BF), or
// whose bytes are all valid UTF-8, is UTF-8; any other list is in the ANSI
// code page of the process (932, Shift-JIS, for most users).
//
// Names, from an address's text:
//   http://h/%E8%A1%A8%E7%A4%BA.png   "表示.png"     (percent-decoded UTF-8)
//   http://h/a%FFb.png                "a%FFb.png"    (not UTF-8: kept encoded)
//   http://h/one.bin#frag             "one.bin"      (no fragment)
//   http://h/a%2Fb                    "a_b"          (no '/' in a file name)
//   http://h/view?id=42               "42"           (after the last / \ : =)
//   http://h/dir/                     "index.html"
#ifndef KESTA_URLLIST_NAMES_H
#define KESTA_URLLIST_NAMES_H

#include "compat/win32.h"

enum ListEncoding { kListAnsi, kListUtf8 };

// The encoding of the `size` bytes of a list (or of a memory image).
ListEncoding DetectListEncoding(const char* data, int64_t size);

// The UTF-8 text of an address of `n` bytes in the list's encoding, into
// `out` (`capacity` bytes, NUL-terminated): valid UTF-8 always (in a list
// marked as UTF-8, a sequence that is not reads as U+FFFD). False when it
// does not fit or cannot be read in the ANSI code page.
bool AddressAsUtf8(const char* bytes, size_t n, ListEncoding encoding, char* out,
                   size_t capacity);

// A member name as derived, before the records cut it: up to the whole
// address line (4095 units) and its NUL.
const int kWideNameCapacity = 4096;

// The member name of the address `address` (`n` bytes in the list's
// encoding) into `name` (kWideNameCapacity units, NUL-terminated): the text
// after the last '/', '\', ':' or '=' of the address without its fragment,
// its runs of "%XX" decoded where they are UTF-8 (others stay as written),
// each character that cannot stand in a Windows file name (controls and
// < > : " / \ | ? *) made '_', and "index.html" when empty.
void DeriveMemberNameW(const char* address, size_t n, ListEncoding encoding, WCHAR* name);

// Cuts the NUL-terminated `name` to at most `limit` units (a character of
// two units, a surrogate pair, is never split) keeping its extension when
// the extension is short: "<long stem>.bin" loses the end of its stem.
void CutNameKeepingExtension(WCHAR* name, size_t limit);

#endif  // KESTA_URLLIST_NAMES_H
