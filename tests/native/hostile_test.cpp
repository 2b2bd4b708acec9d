// Servers that misbehave: huge headers, resets, silence, slowness, garbage.
// Each case checks the fetch's result, its message, and that no block is
// left behind; every server stops on its own within a bounded time.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "http/fetch.h"
#include "plugin/spi.h"
#include "tests/native/cache_reset.h"
#include "tests/native/fetch_text.h"
#include "tests/support/loopback_server.h"

namespace {


void SendAll(int s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += (size_t)n;
    }
}

void Reset(int s) {
    struct linger l = {1, 0};  // close with RST instead of FIN
    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

struct Outcome {
    int64_t result;
    int64_t length;
    std::string body;
};

Outcome FetchFrom(LoopbackServer& server) {
    long blocks = stub::LiveBlocks();
    HLOCAL body = NULL;
    Outcome o = {0, -1, ""};
    o.result = HttpFetch(server.Url("/h").c_str(), &body, &o.length, NULL);
    if (o.result >= 0) {
        o.body.assign(static_cast<const char*>(LocalLock(body)), (size_t)o.result);
        LocalFree(body);
    }
    EXPECT_EQ(blocks, BlocksOutsideTheCache());
    return o;
}

TEST(HostileServer, OversizedAndMisplacedHeaders) {
    std::string hugeHeader = "HTTP/1.0 200 OK\r\nX: " + std::string(10 * 1024 * 1024, 'h');
    std::string lateBlank = "HTTP/1.0 200 OK\r\n" + std::string(1024 * 1024, 'b') + "\r\n\r\ntail";
    struct Row {
        const char* what;
        std::string response;
        int result;
        std::string body;
    } rows[] = {
        {"10 MiB header, no blank line", hugeHeader, 0, ""},
        {"blank line after 1 MiB", lateBlank, 4, "tail"},
        {"1 byte", "H", -1, ""},
        {"2 bytes", "HT", -1, ""},
        {"3 bytes", "\r\n\r", -1, ""},
        {"4 bytes", "\r\n\r\n", 0, ""},
        {"5 bytes", "\r\n\r\nX", 1, "X"},
    };
    for (const Row& r : rows) {
        LoopbackServer server(r.response);
        Outcome o = FetchFrom(server);
        EXPECT_EQ(r.result, o.result) << r.what;
        EXPECT_EQ(r.body, o.body) << r.what;
        std::string text = HttpLastError();
        EXPECT_EQ(FetchText(r.result < 0 ? kFetchReceiveFailed : kFetchOk), text) << r.what;
    }
}

TEST(HostileServer, ResetsSilenceAndSlowness) {
    struct Row {
        const char* what;
        LoopbackServer::RawScript serve;
        int result;  // -1, or the body length
    } rows[] = {
        {"reset in the middle of the body",
         [](int s, const std::string&) {
             SendAll(s, "HTTP/1.0 200 OK\r\n\r\n" + std::string(200000, 'r'));
             Reset(s);
         },
         -1},
        {"accepts and closes without a byte", [](int, const std::string&) {}, -1},
        {"accepts and resets without a byte", [](int s, const std::string&) { Reset(s); }, -1},
        {"one byte every 5 ms for about a second",
         [](int s, const std::string&) {
             std::string r = "HTTP/1.0 200 OK\r\n\r\n" + std::string(180, 's');
             for (char c : r) {
                 SendAll(s, std::string(1, c));
                 std::this_thread::sleep_for(std::chrono::milliseconds(5));
             }
         },
         180},
        {"stops answering, then is shut down",
         [](int s, const std::string&) {
             SendAll(s, "HTTP/1.0 200 OK\r\n\r\npartial");
             std::this_thread::sleep_for(std::chrono::milliseconds(1500));
         },
         7},
    };
    for (const Row& r : rows) {
        LoopbackServer server(r.serve);
        auto start = std::chrono::steady_clock::now();
        Outcome o = FetchFrom(server);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.result, o.result) << r.what;
        EXPECT_LT(seconds, 10.0) << r.what;
        std::string text = HttpLastError();
        if (r.result < 0) EXPECT_EQ(FetchText(kFetchReceiveFailed), text) << r.what;
    }
}

// Seeded random byte strings as whole responses: each gives a defined
// result that matches the bytes, and nothing is left behind.
TEST(HostileServer, GarbageResponses) {
    std::mt19937 rng(20261207);
    std::vector<std::string> garbage(300);
    for (std::string& g : garbage) {
        g.resize(rng() % 600);
        for (char& c : g) {
            unsigned v = rng() % 8;
            c = v < 2 ? (v ? '\r' : '\n') : (char)(rng() & 0xFF);
        }
    }
    size_t served = 0;  // one connection at a time: the fetch waits for each
    LoopbackServer server([&](const std::string&) { return garbage[served++ % garbage.size()]; });
    for (size_t i = 0; i < garbage.size(); ++i) {
        const std::string& g = garbage[i];
        Outcome o = FetchFrom(server);
        if (g.size() < 4) {
            EXPECT_EQ(-1, o.result) << i;
        } else {
            ASSERT_GE(o.result, 0) << i;
            EXPECT_EQ(g.substr(g.size() - (size_t)o.result), o.body) << i;
        }
    }
}

TEST(HostileServer, ListingSurvivesEveryMisbehaviour) {
    LoopbackServer reset([](int s, const std::string&) {
        SendAll(s, "HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'r'));
        Reset(s);
    });
    LoopbackServer silent([](int, const std::string&) {});
    LoopbackServer good("HTTP/1.0 200 OK\r\nDate: Thu, 01 Jan 1970 00:01:00 GMT\r\n\r\n12345");
    std::string doc = good.Url("/a") + "\r\n" + reset.Url("/b") + "\r\n" + silent.Url("/c") + "\r\n" +
                      good.Url("/d");
    long blocks = stub::LiveBlocks();
    HLOCAL h = NULL;
    ASSERT_EQ(0, GetArchiveInfo(doc.data(), (long)doc.size(), 1, &h));
    const fileInfo* r = static_cast<const fileInfo*>(LocalLock(h));
    struct Row {
        uint32_t size;
        int32_t timestamp;
    } rows[] = {{5, 60}, {0, 0}, {0, 0}, {5, 60}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[i].size, r[i].filesize) << i;
        EXPECT_EQ(rows[i].timestamp, r[i].timestamp) << i;
    }
    LocalFree(h);
    EXPECT_EQ(blocks, BlocksOutsideTheCache());
}

}  // namespace
