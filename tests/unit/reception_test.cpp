// The reception apart from any socket: every response shape it reads (CR LF
// and bare LF header ends, with and without Content-Length, chunked, after an
// interim 100 response, bodies of 0 to a few bytes and longer, no header end
// at all), cut at every point the network could cut it. A file's body (the
// sink) must equal the memory body byte for byte whatever the cuts, and both
// must equal the body the framing gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/reception.h"

namespace {

bool Append(void* context, const char* bytes, size_t n) {
    static_cast<std::string*>(context)->append(bytes, n);
    return true;
}

// Feeds `response` cut before each offset of `cuts` (ascending), as the
// fetch does: into the reception's own room, then ends the stream. With
// `keepBody` the result is the memory body; otherwise what the sink got.
std::string Receive(const std::string& response, const std::vector<size_t>& cuts, bool keepBody) {
    Response r;
    std::string sunk;
    BodySink sink = {Append, &sunk};
    const BodySink* to = keepBody ? NULL : &sink;
    size_t at = 0;
    bool whole = false;  // the framing says so: nothing more is read
    for (size_t piece = 0; piece <= cuts.size() && !whole; ++piece) {
        size_t end = piece < cuts.size() ? cuts[piece] : response.size();
        while (at < end) {
            char* room = NULL;
            size_t space = 0;
            EXPECT_TRUE(ResponseRoom(&r, keepBody, &room, &space));
            whole = space == 0;
            if (whole) break;
            size_t n = end - at < space ? end - at : space;
            memcpy(room, response.data() + at, n);
            EXPECT_EQ(kFetchOk, ResponseArrived(&r, n, to));
            at += n;
        }
    }
    if (!whole) {
        EXPECT_EQ(kFetchOk, ResponseEnded(&r, to));
    }
    if (!keepBody) {
        EXPECT_EQ(r.BodyLength(), (int64_t)sunk.size());
        return sunk;
    }
    HLOCAL block = TakeBody(&r);
    EXPECT_TRUE(block != NULL);
    std::string body(static_cast<const char*>(LocalLock(block)), (size_t)r.BodyLength());
    LocalUnlock(block);
    LocalFree(block);
    return body;
}

std::string Cuts(const std::vector<size_t>& cuts) {
    std::string s;
    for (size_t c : cuts) s += std::to_string(c) + " ";
    return s;
}

TEST(Reception, FileOutputEqualsMemoryOutputAtEverySplit) {
    const std::string bodies[] = {"", "A", "AB", "ABC", "ABCDEFGHIJ", "A\n\nB\r\n\r\nC"};
    enum Frame { kNone, kSized, kChunked, kLonger };
    struct Shape {
        const char* what;
        std::string head;  // the header block; the body follows
        Frame frame;
    } shapes[] = {
        {"CR LF end", "HTTP/1.0 200 OK\r\nX: y\r\n\r\n", kNone},
        {"CR LF end, sized", "HTTP/1.1 200 OK\r\nX: y\r\nContent-Length: ", kSized},
        {"bare LF LF end", "HTTP/1.0 200 OK\nX: y\n\n", kNone},
        {"bare LF LF end, sized", "HTTP/1.0 200 OK\nContent-Length: ", kSized},
        {"LF LF LF LF end", "HTTP/1.0 200 OK\n\n\n\n", kNone},
        {"CR CR CR CR end", "HTTP/1.0 200 OK\r\r\r\r", kNone},
        {"LF CR LF CR end", "HTTP/1.0 200 OK\n\r\n\r", kNone},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", kChunked},
        {"chunked, bare LF LF end", "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n", kChunked},
        {"after 100 Continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", kNone},
        {"after 100 Continue, bare LF", "HTTP/1.1 100 Continue\n\nHTTP/1.1 200 OK\n\n", kNone},
        {"more sent than announced", "HTTP/1.1 200 OK\r\nContent-Length: ", kLonger},
    };
    for (const Shape& shape : shapes) {
        for (const std::string& body : bodies) {
            std::string response = shape.head;
            bool lf = shape.head.find('\r') == std::string::npos;
            std::string end = lf ? "\n\n" : "\r\n\r\n";
            if (shape.frame == kSized || shape.frame == kLonger) {
                response += std::to_string(body.size()) + end;
            }
            if (shape.frame == kChunked) {
                // one chunk per byte, so that every split falls somewhere new
                for (char c : body) response += std::string("1") + (lf ? "\n" : "\r\n") + c + (lf ? "\n" : "\r\n");
                response += lf ? "0\n\n" : "0\r\n\r\n";
            } else {
                response += body;
            }
            if (shape.frame == kLonger) response += "EXTRA";
            SCOPED_TRACE(std::string(shape.what) + ", body \"" + body + "\"");
            const std::string whole = Receive(response, {}, true);
            // A body that itself holds a blank line is still the body: the
            // header ends at the first one.
            EXPECT_EQ(body, whole);
            std::vector<std::vector<size_t>> splits;
            std::vector<size_t> everyByte;
            for (size_t i = 1; i < response.size(); ++i) {
                splits.push_back({i});
                everyByte.push_back(i);
                for (size_t j = i + 1; j < response.size() && response.size() <= 48; ++j) {
                    splits.push_back({i, j});
                }
            }
            splits.push_back(everyByte);
            for (const std::vector<size_t>& cuts : splits) {
                ASSERT_EQ(whole, Receive(response, cuts, false)) << "file, cut at " << Cuts(cuts);
                ASSERT_EQ(whole, Receive(response, cuts, true)) << "memory, cut at " << Cuts(cuts);
            }
        }
    }
}

// No blank line at all: the whole response is the header, the body empty,
// in both outputs and at every split.
TEST(Reception, NoHeaderEndGivesAnEmptyBodyAtEverySplit) {
    const std::string response = "HTTP/1.0 200 OK\r\nX: y\r\nZ";
    for (size_t i = 0; i <= response.size(); ++i) {
        std::vector<size_t> cuts;
        if (i > 0 && i < response.size()) cuts.push_back(i);
        EXPECT_EQ("", Receive(response, cuts, false)) << i;
        EXPECT_EQ("", Receive(response, cuts, true)) << i;
    }
}

}  // namespace
