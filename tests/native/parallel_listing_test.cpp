// The listing downloads up to six members at once. Nothing a host or a
// server can tell apart may change but the timing: the listing block is the
// one that listing each member on its own gives, byte for byte, whatever
// order the answers arrive in; every member is requested once with the same
// bytes; and the last-error text is the one the last member left.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "plugin/spi.h"
#include "tests/native/cache_reset.h"
#include "tests/native/fetch_text.h"
#include "tests/support/loopback_server.h"

namespace {

const unsigned kMemory = 1;

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Serves "/<bytes>/<delay ms>[/<name>]": waits, then answers that many
// bytes dated by their count; "/fail/<delay>" closes without an answer.
// Counts the connections open at once.
class SlowServer {
public:
    SlowServer()
        : server_([this](int c, const std::string& request) { Answer(c, request); }) {
        server_.ServeConcurrently();
    }
    std::string Url(const std::string& path) { return server_.Url(path); }
    std::vector<std::string> Requests() { return server_.Requests(); }
    int MostAtOnce() const { return most_; }

private:
    void Answer(int c, const std::string& request) {
        int now = ++open_;
        int seen = most_;
        while (now > seen && !most_.compare_exchange_weak(seen, now)) {
        }
        size_t start = request.find(' ') + 1;
        std::string path = request.substr(start, request.find(' ', start) - start);
        size_t slash = path.find('/', 1);
        std::string what = path.substr(1, slash - 1);
        int delay = atoi(path.c_str() + slash + 1);
        usleep((useconds_t)delay * 1000);
        if (what != "fail") {
            size_t n = (size_t)atol(what.c_str());
            std::string response = "HTTP/1.0 200 OK\r\nDate: Thu, 01 Jan 1970 00:00:" +
                                   std::to_string(10 + n % 50) + " GMT\r\n\r\n" +
                                   std::string(n, 'x');
            send(c, response.data(), response.size(), MSG_NOSIGNAL);
        }
        --open_;
    }

    std::atomic<int> open_{0};
    std::atomic<int> most_{0};
    LoopbackServer server_;
};

struct Listed {
    int code;
    std::vector<std::string> records;  // each record's bytes
    std::string lastError;
};

Listed ListImage(const char* image, size_t size) {
    Listed out;
    HLOCAL h = NULL;
    out.code = GetArchiveInfo(image, (LONG_PTR)size, kMemory, &h);
    out.lastError = HttpLastError();
    if (out.code != 0) return out;
    const char* bytes = static_cast<const char*>(LocalLock(h));
    size_t n = LocalSize(h) / sizeof(fileInfo) - 1;
    for (size_t i = 0; i < n; ++i) out.records.emplace_back(bytes + i * sizeof(fileInfo), sizeof(fileInfo));
    LocalFree(h);
    return out;
}

// Each line of `doc` listed on its own (one member: one download at a time),
// its position moved to where the line starts in `doc`.
std::vector<std::string> OneByOne(const std::string& doc) {
    std::vector<std::string> records;
    size_t start = 0;
    while (start < doc.size()) {
        size_t end = doc.find("\r\n", start);
        if (end == std::string::npos) end = doc.size();
        Listed one = ListImage(doc.data() + start, end - start);
        EXPECT_EQ(0, one.code);
        EXPECT_EQ(1u, one.records.size());
        if (one.records.size() == 1) {
            fileInfo r;
            memcpy(&r, one.records[0].data(), sizeof r);
            r.position += start;
            records.emplace_back(reinterpret_cast<const char*>(&r), sizeof r);
        }
        start = end + 2;
    }
    return records;
}

std::string Document(const std::vector<std::string>& urls) {
    std::string doc;
    for (const std::string& u : urls) doc += (doc.empty() ? "" : "\r\n") + u;
    return doc;
}

TEST(ParallelListing, SameBlockAsOneAtATimeWhateverOrderTheAnswersCome) {
    SlowServer server;
    std::string refused = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/9";
    // Early members answer late, so later ones finish first; some fail.
    std::vector<std::string> urls;
    for (int i = 0; i < 14; ++i) {
        int delay = (14 - i) * 20;
        if (i == 3) urls.push_back(refused);
        else if (i == 6) urls.push_back(server.Url("/fail/" + std::to_string(delay)));
        else if (i == 9) urls.push_back("http://127.0.0.1/" + std::string(4100, 'a'));  // never fetched
        else urls.push_back(server.Url("/" + std::to_string(100 * i + 1) + "/" + std::to_string(delay)));
    }
    std::string doc = Document(urls);
    long blocks = stub::LiveBlocks();
    Listed together = ListImage(doc.data(), doc.size());
    std::vector<std::string> requestsTogether = server.Requests();
    ASSERT_EQ(0, together.code);
    std::vector<std::string> alone = OneByOne(doc);
    ASSERT_EQ(alone.size(), together.records.size());
    for (size_t i = 0; i < alone.size(); ++i) {
        EXPECT_TRUE(alone[i] == together.records[i]) << "record " << i << " differs";
    }
    // The same requests, each once: those of the one-by-one listings.
    std::vector<std::string> all = server.Requests();
    std::vector<std::string> requestsAlone(all.begin() + (long)requestsTogether.size(), all.end());
    std::sort(requestsTogether.begin(), requestsTogether.end());
    std::sort(requestsAlone.begin(), requestsAlone.end());
    EXPECT_EQ(requestsAlone, requestsTogether);
    EXPECT_EQ(12u, requestsTogether.size());
    EXPECT_EQ(blocks, BlocksOutsideTheCache());
}

TEST(ParallelListing, SixInFlightAtMost) {
    SlowServer server;
    std::vector<std::string> urls;
    for (int i = 0; i < 18; ++i) urls.push_back(server.Url("/" + std::to_string(i) + "/150"));
    std::string doc = Document(urls);
    long long start = NowMs();
    Listed listed = ListImage(doc.data(), doc.size());
    long long took = NowMs() - start;
    ASSERT_EQ(0, listed.code);
    EXPECT_EQ(18u, listed.records.size());
    EXPECT_EQ(6, server.MostAtOnce());
    // Three rounds of 150 ms, against 2.7 s one after another.
    EXPECT_LT(took, 1500);
}

// The text the last member's download leaves, as if they ran one by one;
// members before a line without an address are still requested.
TEST(ParallelListing, LastErrorTextIsTheLastMembers) {
    SlowServer server;
    std::string refused = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/9";
    std::string good = server.Url("/5/0");
    std::string slowGood = server.Url("/5/300");
    struct Row {
        const char* what;
        std::vector<std::string> lines;
        int code;
        FetchMessage text;
        size_t requests;
    } rows[] = {
        {"last one refused", {slowGood, good, refused}, 0, kFetchConnectFailed, 2},
        {"a middle one refused, the last one slow", {good, refused, slowGood}, 0, kFetchOk, 2},
        {"the last one never answers", {good, server.Url("/fail/0")}, 0, kFetchReceiveFailed, 2},
        {"last fetched before a line without an address",
         {slowGood, refused, "no address here", good}, 6, kFetchConnectFailed, 1},
        {"an address too long to fetch comes last",
         {refused, "http://127.0.0.1/" + std::string(4100, 'a')}, 0, kFetchConnectFailed, 0},
    };
    for (const Row& r : rows) {
        size_t before = server.Requests().size();
        std::string doc = Document(r.lines);
        RecordFetchMessage(kFetchSendFailed);  // something no row leaves
        Listed listed = ListImage(doc.data(), doc.size());
        EXPECT_EQ(r.code, listed.code) << r.what;
        EXPECT_EQ(FetchText(r.text), listed.lastError) << r.what;
        EXPECT_EQ(r.requests, server.Requests().size() - before) << r.what;
    }
}

}  // namespace
