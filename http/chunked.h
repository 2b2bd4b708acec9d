// Decoding a body sent with "Transfer-Encoding: chunked" (RFC 9112 section
// 7.1), in place and piece by piece: any split of the input gives the same
// body. Forms it accepts:
//   "5\r\nhello\r\n0\r\n\r\n"                  one chunk, then the last
//   "5;name=value\r\nhello\r\n0\r\n\r\n"      a chunk extension (ignored)
//   "5\r\nhello\r\n0\r\nExpires: 0\r\n\r\n"   trailer fields (ignored)
// A bare LF ends a line as CR LF does (RFC 9112 allows it). Refused: a size
// that is not hexadecimal, has more than 16 digits or passes 2^63 - 1, an
// extension or a trailer section past its bound, data not followed by its
// line end.
#ifndef KESTA_HTTP_CHUNKED_H
#define KESTA_HTTP_CHUNKED_H

#include <stddef.h>
#include <stdint.h>

struct ChunkDecoder {
    int state;           // where the decoder stands (zero: before the first size)
    uint64_t remaining;  // data bytes left in the current chunk, or the size being read
    int digits;          // hexadecimal digits of the size read so far
    size_t lineBytes;    // bytes of the current extension or trailer line
    size_t trailerBytes; // bytes of the trailer section so far
};

enum ChunkOutcome {
    kChunkMore,  // the body goes on
    kChunkDone,  // the last chunk and the trailer section are in: the body is whole
    kChunkBad,   // not a chunked body
};

// An extension may be this long, and the whole trailer section this long.
const size_t kMostChunkExtension = 4096;
const size_t kMostChunkTrailers = 64 * 1024;

// Decodes the `length` bytes at `bytes` in place: on return the first
// *bodyBytes of them are body bytes, and *consumed input bytes were read
// (all of them, unless the body ended: the rest belong to whatever follows
// it). Start from a zeroed decoder; after kChunkDone or kChunkBad it reads
// nothing more.
ChunkOutcome DecodeChunked(ChunkDecoder* d, char* bytes, size_t length, size_t* bodyBytes,
                           size_t* consumed);

#endif  // KESTA_HTTP_CHUNKED_H
