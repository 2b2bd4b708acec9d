// The chunked body as a state machine over bytes: sizes, extensions, data,
// the line ends between them and the trailer section. Data bytes are moved
// down over the framing that preceded them, so the body ends up at the
// start of the buffer it came in.
#include "http/chunked.h"

#include <string.h>

namespace {

enum State {
    kSize = 0,     // the size's hexadecimal digits
    kExtension,    // after the size: an extension, up to the line end
    kSizeLf,       // after a CR of the size line
    kData,         // `remaining` data bytes
    kDataCr,       // after the data: CR LF (or LF)
    kDataLf,       // after that CR
    kTrailerStart, // after the last chunk's line: a trailer field or the empty line
    kTrailer,      // in a trailer field's line
    kTrailerLf,    // after a CR of a trailer line
    kFinalLf,      // after the CR of the empty line that ends it all
    kDone,
    kBad,
};

// The size is kept below 2^63, so that it fits every signed count it meets.
const uint64_t kMostChunk = 0x7FFFFFFFFFFFFFFFull;
const int kMostDigits = 16;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The state after a size line has ended.
State AfterSizeLine(ChunkDecoder* d) {
    d->digits = 0;
    d->lineBytes = 0;
    return d->remaining == 0 ? kTrailerStart : kData;
}

// One framing byte.
State Step(ChunkDecoder* d, char c) {
    switch (d->state) {
        case kSize: {
            int v = HexValue(c);
            if (v >= 0) {
                if (++d->digits > kMostDigits || d->remaining > (kMostChunk - (uint64_t)v) / 16) {
                    return kBad;
                }
                d->remaining = d->remaining * 16 + (uint64_t)v;
                return kSize;
            }
            if (d->digits == 0) return kBad;
            if (c == '\r') return kSizeLf;
            if (c == '\n') return AfterSizeLine(d);
            return c == ';' || c == ' ' || c == '\t' ? kExtension : kBad;
        }
        case kExtension:
            if (c == '\r') return kSizeLf;
            if (c == '\n') return AfterSizeLine(d);
            return ++d->lineBytes > kMostChunkExtension ? kBad : kExtension;
        case kSizeLf:
            return c == '\n' ? AfterSizeLine(d) : kBad;
        case kDataCr:
            if (c == '\r') return kDataLf;
            return c == '\n' ? kSize : kBad;
        case kDataLf:
            return c == '\n' ? kSize : kBad;
        case kTrailerStart:
            if (c == '\r') return kFinalLf;
            if (c == '\n') return kDone;
            [[fallthrough]];  // the first byte of a trailer field
        case kTrailer:
            if (++d->trailerBytes > kMostChunkTrailers) return kBad;
            if (c == '\r') return kTrailerLf;
            return c == '\n' ? kTrailerStart : kTrailer;
        case kTrailerLf:
            return c == '\n' ? kTrailerStart : kBad;
        case kFinalLf:
            return c == '\n' ? kDone : kBad;
        default:
            return (State)d->state;
    }
}

}  // namespace

ChunkOutcome DecodeChunked(ChunkDecoder* d, char* bytes, size_t length, size_t* bodyBytes,
                           size_t* consumed) {
    size_t in = 0;
    size_t out = 0;
    while (in < length && d->state != kDone && d->state != kBad) {
        if (d->state == kData) {
            size_t n = length - in;
            if ((uint64_t)n > d->remaining) n = (size_t)d->remaining;
            if (out != in) memmove(bytes + out, bytes + in, n);
            in += n;
            out += n;
            d->remaining -= n;
            if (d->remaining == 0) d->state = kDataCr;
            continue;
        }
        d->state = Step(d, bytes[in++]);
    }
    *bodyBytes = out;
    *consumed = in;
    if (d->state == kDone) return kChunkDone;
    return d->state == kBad ? kChunkBad : kChunkMore;
}
