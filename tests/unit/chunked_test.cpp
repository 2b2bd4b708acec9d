// Chunked bodies, whole and cut at every point: the body, the end, what is
// left for the next response, and every refusal (a size past 64 bits, a
// size that is no number, data longer than its size, bounds on extensions
// and trailers).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/chunked.h"

namespace {

struct Decoded {
    ChunkOutcome outcome;
    std::string body;
    size_t consumed;
};

// Decodes `input` fed in pieces cut before each offset of `cuts`.
Decoded Decode(const std::string& input, const std::vector<size_t>& cuts) {
    ChunkDecoder d = {};
    Decoded r = {kChunkMore, "", 0};
    size_t at = 0;
    for (size_t piece = 0; piece <= cuts.size() && r.outcome == kChunkMore; ++piece) {
        size_t end = piece < cuts.size() ? cuts[piece] : input.size();
        std::vector<char> bytes(input.begin() + (long)at, input.begin() + (long)end);
        size_t body = 0, used = 0;
        r.outcome = DecodeChunked(&d, bytes.data(), bytes.size(), &body, &used);
        r.body.append(bytes.data(), body);
        r.consumed += used;
        at = end;
    }
    return r;
}

TEST(Chunked, RowsAtEverySplit) {
    const std::string big(70000, 'z');
    char bigSize[32];
    snprintf(bigSize, sizeof bigSize, "%zx", big.size());
    const struct Row {
        const char* what;
        std::string input;
        ChunkOutcome outcome;
        std::string body;   // when done
        size_t left;        // input bytes left for what follows, when done
    } rows[] = {
        {"one chunk", "5\r\nhello\r\n0\r\n\r\n", kChunkDone, "hello", 0},
        {"two chunks, hex in both cases", "3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n", kChunkDone,
         "abc0123456789", 0},
        {"upper-case hex", "B\r\nhello world\r\n0\r\n\r\n", kChunkDone, "hello world", 0},
        {"leading zeros", "0005\r\nhello\r\n000\r\n\r\n", kChunkDone, "hello", 0},
        {"no data at all", "0\r\n\r\n", kChunkDone, "", 0},
        {"bare LF line ends", "5\nhello\n0\n\n", kChunkDone, "hello", 0},
        {"an extension", "5;name=value\r\nhello\r\n0;x\r\n\r\n", kChunkDone, "hello", 0},
        {"space before the extension", "5 ;a\r\nhello\r\n0\r\n\r\n", kChunkDone, "hello", 0},
        {"trailer fields", "5\r\nhello\r\n0\r\nExpires: 0\r\nX: y\r\n\r\n", kChunkDone, "hello", 0},
        {"the next response stays", "5\r\nhello\r\n0\r\n\r\nHTTP/1.1 200", kChunkDone, "hello",
         12},
        {"data holding CR LF", "4\r\n\r\n\r\n\r\n0\r\n\r\n", kChunkDone, "\r\n\r\n", 0},
        {"a large chunk", std::string(bigSize) + "\r\n" + big + "\r\n0\r\n\r\n", kChunkDone, big,
         0},
        {"cut before the last chunk", "5\r\nhello\r\n", kChunkMore, "", 0},
        {"cut in the trailer", "5\r\nhello\r\n0\r\nX: y\r\n", kChunkMore, "", 0},
        {"empty size", "\r\nhello\r\n0\r\n\r\n", kChunkBad, "", 0},
        {"not hexadecimal", "5g\r\nhello\r\n0\r\n\r\n", kChunkBad, "", 0},
        {"a sign", "+5\r\nhello\r\n0\r\n\r\n", kChunkBad, "", 0},
        {"16 digits under 2^63", "7fffffffffffffff\r\n", kChunkMore, "", 0},
        {"2^63", "8000000000000000\r\n", kChunkBad, "", 0},
        {"17 digits", "00000000000000001\r\n", kChunkBad, "", 0},
        {"past 64 bits", "10000000000000000\r\n", kChunkBad, "", 0},
        {"data longer than its size", "3\r\nhello\r\n0\r\n\r\n", kChunkBad, "", 0},
        {"no line end after data", "5\r\nhelloX\r\n0\r\n\r\n", kChunkBad, "", 0},
        {"CR without LF after the size", "5\rhello\r\n0\r\n\r\n", kChunkBad, "", 0},
        {"an extension past its bound",
         "5;" + std::string(kMostChunkExtension + 1, 'e') + "\r\nhello\r\n0\r\n\r\n", kChunkBad, "", 0},
        {"a trailer section past its bound",
         "0\r\nX: " + std::string(kMostChunkTrailers, 't') + "\r\n\r\n", kChunkBad, "", 0},
    };
    for (const Row& r : rows) {
        std::vector<std::vector<size_t>> splits = {{}};
        std::vector<size_t> everyByte;
        for (size_t i = 1; i < r.input.size(); ++i) {
            if (r.input.size() <= 200) splits.push_back({i});
            everyByte.push_back(i);
        }
        splits.push_back(everyByte);
        for (const std::vector<size_t>& cuts : splits) {
            Decoded got = Decode(r.input, cuts);
            SCOPED_TRACE(std::string(r.what) + ", " + std::to_string(cuts.size() + 1) + " pieces" +
                         (cuts.size() == 1 ? " cut at " + std::to_string(cuts[0]) : ""));
            ASSERT_EQ(r.outcome, got.outcome);
            if (r.outcome == kChunkDone) {
                ASSERT_EQ(r.body, got.body);
                ASSERT_EQ(r.input.size() - r.left, got.consumed);
            }
        }
    }
}

// Nothing is read after the end or a refusal.
TEST(Chunked, NothingAfterTheEnd) {
    ChunkDecoder d = {};
    char end[] = "0\r\n\r\n";
    size_t body = 9, used = 9;
    ASSERT_EQ(kChunkDone, DecodeChunked(&d, end, 5, &body, &used));
    char more[] = "5\r\nhello";
    EXPECT_EQ(kChunkDone, DecodeChunked(&d, more, 8, &body, &used));
    EXPECT_EQ(0u, body);
    EXPECT_EQ(0u, used);
}

}  // namespace
