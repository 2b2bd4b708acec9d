// UTF-8 as the URL parser reads and writes it: one code point at a time from
// bytes that may be broken, and a code point back to its bytes.
#ifndef KESTA_URL_UTF8_H
#define KESTA_URL_UTF8_H

#include <stddef.h>
#include <stdint.h>

const uint32_t kReplacementCharacter = 0xFFFD;

// Reads the code point at the start of `bytes` (`available` > 0 bytes) as the
// Encoding Standard's UTF-8 decoder does: a sequence that is invalid, overlong,
// a surrogate, past U+10FFFF or cut short reads as U+FFFD, and only the bytes
// that still fitted the sequence are consumed (at least one), so the byte that
// broke it starts the next read. Sets *used to the bytes consumed.
uint32_t DecodeUtf8(const unsigned char* bytes, size_t available, size_t* used);

// Writes the UTF-8 form of `cp` (at most U+10FFFF, not a surrogate) to `out`
// (4 bytes) and returns its length, 1 to 4.
size_t EncodeUtf8(uint32_t cp, unsigned char out[4]);

#endif  // KESTA_URL_UTF8_H
