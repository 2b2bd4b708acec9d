// Arbitrary bytes as a chunked body: decoded whole and in pieces whose sizes
// come from the input, the two must agree on the outcome, the body and the
// bytes consumed; a body never outgrows its input, and nothing is read past
// the end. The pieces sit in buffers of their own size, so an over-read or
// an over-write is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "http/chunked.h"

namespace {

void Require(bool holds) {
    if (!holds) __builtin_trap();
}

struct Result {
    ChunkOutcome outcome;
    std::string body;
    size_t consumed;
};

Result Decode(const uint8_t* p, size_t n, size_t piece) {
    ChunkDecoder d = {};
    Result r = {kChunkMore, "", 0};
    for (size_t at = 0; at < n && r.outcome == kChunkMore; at += piece) {
        size_t len = n - at < piece ? n - at : piece;
        std::vector<char> bytes(p + at, p + at + len);
        size_t body = 0, used = 0;
        r.outcome = DecodeChunked(&d, bytes.data(), len, &body, &used);
        Require(body <= used && used <= len);
        Require(r.outcome != kChunkMore || used == len);
        r.body.append(bytes.data(), body);
        r.consumed += used;
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t piece = 1 + data[0] % 32;
    Result whole = Decode(data + 1, size - 1, size);
    Result pieces = Decode(data + 1, size - 1, piece);
    Require(whole.outcome == pieces.outcome);
    if (whole.outcome != kChunkBad) {
        Require(whole.body == pieces.body);
        Require(whole.consumed == pieces.consumed);
    }
    Require(whole.body.size() <= size - 1);
    return 0;
}
