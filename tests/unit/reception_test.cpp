// The reception apart from any socket: every response shape it reads (CR LF
// and bare LF header ends, with and without Content-Length, bodies of 0 to a
// few bytes and longer, no header end at all), cut at every point the
// network could cut it. A file's body (the sink) must equal the memory
// body byte for byte whatever the cuts, and both must equal the body of the
// response received in one piece.
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
    for (size_t piece = 0; piece <= cuts.size(); ++piece) {
        size_t end = piece < cuts.size() ? cuts[piece] : response.size();
        while (at < end) {
            char* room = NULL;
            size_t space = 0;
            EXPECT_TRUE(ResponseRoom(&r, keepBody, &room, &space));
            size_t n = end - at < space ? end - at : space;
            memcpy(room, response.data() + at, n);
            EXPECT_EQ(kFetchOk, ResponseArrived(&r, n, to));
            at += n;
        }
    }
    EXPECT_EQ(kFetchOk, ResponseEnded(&r, to));
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
    struct Shape {
        const char* what;
        std::string head;  // the header block; the body follows
        bool sized;        // with a Content-Length: of the body's length
    } shapes[] = {
        {"CR LF end", "HTTP/1.0 200 OK\r\nX: y\r\n\r\n", false},
        {"CR LF end, sized", "HTTP/1.0 200 OK\r\nX: y\r\nContent-Length: ", true},
        {"bare LF LF end", "HTTP/1.0 200 OK\nX: y\n\n", false},
        {"bare LF LF end, sized", "HTTP/1.0 200 OK\nContent-Length: ", true},
        {"LF LF LF LF end", "HTTP/1.0 200 OK\n\n\n\n", false},
        {"CR CR CR CR end", "HTTP/1.0 200 OK\r\r\r\r", false},
        {"LF CR LF CR end", "HTTP/1.0 200 OK\n\r\n\r", false},
    };
    for (const Shape& shape : shapes) {
        for (const std::string& body : bodies) {
            std::string response = shape.head;
            if (shape.sized) {
                bool lf = shape.head.find('\r') == std::string::npos;
                response += std::to_string(body.size()) + (lf ? "\n\n" : "\r\n\r\n");
            }
            response += body;
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
