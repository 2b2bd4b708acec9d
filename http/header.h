// Reading fields out of an HTTP header block: case-insensitive names,
// folded continuation lines joined, CR LF, CR or LF line ends.
#ifndef KESTA_HTTP_HEADER_H
#define KESTA_HTTP_HEADER_H

#include "compat/win32.h"

// The count itself when negative; else the bytes before the NUL, at most count.
int32_t BoundedLength(const char* text, int32_t count);

// Compares the first `count` bytes of two texts (fewer when a NUL comes
// first) ignoring case: 0 equal, -1 first sorts before, 1 after, -2 when the
// platform comparison fails.
int32_t CompareFieldName(const char* first, const char* second, int32_t count);

// The first byte of the next logical line after the one `position` is in
// (continuation lines skipped), or the text's NUL.
const char* NextHeaderLine(const char* position);

// Looks `name` (colon included, e.g. "Date:") up in the NUL-terminated header
// block, up to its first empty line. Returns 1 and writes the value into
// `value` when found; the value is cut at capacity - 1 bytes and always
// terminated (capacity must be at least 1). Returns 0 and leaves `value`
// untouched when the field is absent.
int32_t FindHeaderField(const char* block, const char* name, char* value, int32_t capacity);

#endif  // KESTA_HTTP_HEADER_H
