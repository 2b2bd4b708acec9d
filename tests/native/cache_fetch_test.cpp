// The cache through the entry points: a listing, then a lookup, then an
// extraction of one member, against a server whose answers say how long a
// body is fresh and how to revalidate it; the server counts what it was asked.
#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cache/index.h"
#include "plugin/spi.h"
#include "tests/native/cache_reset.h"
#include "tests/support/loopback_server.h"

namespace {

const unsigned kMemory = 1;
const unsigned kToMemory = 0x100;

std::string Field(const std::string& request, const char* name) {
    size_t at = request.find(std::string("\r\n") + name + ": ");
    if (at == std::string::npos) return "";
    at += strlen(name) + 4;
    return request.substr(at, request.find("\r\n", at) - at);
}

// Each path's answers. "/v1/..." bodies are "first", and a revalidation
// that matches ("v1" or the date) gets a 304; "/new/..." always answers 200
// with a body that grows by one byte a request.
std::string Answer(const std::string& request) {
    static std::atomic<int> served{0};
    int n = ++served;
    std::string path = LoopbackServer::PathOf(request);
    std::string rule = path.substr(path.find('/', 1) + 1);  // after "/<row>/"
    // Now, a second later at every request: a body downloaded again is dated anew.
    time_t t = time(NULL) + n;
    char dateLine[64];
    strftime(dateLine, sizeof dateLine, "Date: %a, %d %b %Y %H:%M:%S GMT\r\n", gmtime(&t));
    const std::string date = dateLine;
    std::string fields;
    if (rule == "max-age") fields = "Cache-Control: max-age=60\r\n";
    if (rule == "no-store") fields = "Cache-Control: no-store, max-age=60\r\n";
    if (rule == "no-cache") fields = "Cache-Control: no-cache\r\nETag: \"v1\"\r\n";
    if (rule == "max-age-0") fields = "Cache-Control: max-age=0\r\nLast-Modified: Sat, 14 Oct 2023 22:13:20 GMT\r\n";
    if (rule == "expired") fields = "Expires: Mon, 01 Jan 2001 00:00:00 GMT\r\nETag: \"v1\"\r\n";
    if (rule == "heuristic") fields = "Last-Modified: Sat, 14 Oct 2023 22:13:20 GMT\r\n";
    if (rule == "not-found") return "HTTP/1.1 404 Not Found\r\nCache-Control: max-age=60\r\nContent-Length: 4\r\n\r\ngone";
    if (rule == "short") return "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\nContent-Length: 50\r\n\r\nonly this";
    bool matches = Field(request, "If-None-Match") == "\"v1\"" ||
                   Field(request, "If-Modified-Since") == "Sat, 14 Oct 2023 22:13:20 GMT";
    if (path.compare(0, 5, "/new/") != 0 && matches) {
        return "HTTP/1.1 304 Not Modified\r\n" + date + fields + "\r\n";
    }
    std::string body = path.compare(0, 5, "/new/") == 0 ? std::string((size_t)n, 'n') : "first";
    return "HTTP/1.1 200 OK\r\n" + date + fields + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

struct Seen {
    int described;  // the lookup's code
    int code;       // the extraction's
    std::string body;
    uint64_t listed, describedSize;  // sizes the listing and the lookup gave
    int32_t listedStamp, describedStamp;
};

Seen ListDescribeExtract(const std::string& url) {
    Seen s = {};
    HLOCAL h = NULL;
    EXPECT_EQ(0, GetArchiveInfo(url.data(), (long)url.size(), kMemory, &h));
    const fileInfo* r = static_cast<const fileInfo*>(LocalLock(h));
    s.listed = r[0].filesize;
    s.listedStamp = r[0].timestamp;
    fileInfo info = {};
    s.described = GetFileInfo(url.data(), (long)url.size(), r[0].filename, kMemory, &info);
    s.describedSize = info.filesize;
    s.describedStamp = info.timestamp;
    LocalFree(h);
    HLOCAL out = NULL;
    s.code = GetFile(url.data(), (long)url.size(), (char*)&out, kMemory | kToMemory, NULL, 0);
    if (s.code == 0) {
        s.body.assign(static_cast<const char*>(LocalLock(out)), LocalSize(out));
        LocalFree(out);
    }
    return s;
}

// Each row: a listing, a lookup and an extraction of the same member: how
// many requests the server saw, how many of them carried a validator, and
// what the host got.
TEST(CachedMember, ListingLookupAndExtractionAskTheServerAsItsAnswersSay) {
    LoopbackServer server(Answer);
    server.ServeConcurrently();
    struct Row {
        const char* path;
        size_t requests;
        size_t conditional;
        int code;
        const char* body;  // NULL: the "/new/" body of the last request
        bool held;         // kept from the listing on: one size and timestamp throughout
    } const rows[] = {
        {"/a/max-age", 1, 0, 0, "first", true},
        {"/b/no-store", 3, 0, 0, "first", false},
        {"/c/no-cache", 3, 2, 0, "first", true},
        {"/d/max-age-0", 3, 2, 0, "first", true},
        {"/new/expired", 3, 2, 0, NULL, false},
        {"/e/heuristic", 1, 0, 0, "first", true},
        {"/f/dated-only", 1, 0, 0, "first", true},
        {"/g/not-found", 3, 0, 0, "gone", false},
        {"/h/short", 3, 0, 6, "", false},
    };
    long blocks = stub::LiveBlocks();
    for (const Row& r : rows) {
        size_t before = server.Requests().size();
        Seen s = ListDescribeExtract(server.Url(r.path));
        std::vector<std::string> all = server.Requests();
        std::vector<std::string> asked(all.begin() + (long)before, all.end());
        size_t conditional = 0;
        for (const std::string& q : asked) {
            conditional += !Field(q, "If-None-Match").empty() || !Field(q, "If-Modified-Since").empty();
        }
        SCOPED_TRACE(r.path);
        EXPECT_EQ(r.requests, asked.size());
        EXPECT_EQ(r.conditional, conditional);
        EXPECT_EQ(r.code, s.code);
        EXPECT_EQ(r.code == 0 ? 0 : 6, s.described);
        if (r.held) {
            // The same member from the listing to the lookup while it is kept.
            EXPECT_EQ(s.listed, s.describedSize);
            EXPECT_EQ(s.listedStamp, s.describedStamp);
            EXPECT_EQ(s.listed, s.body.size());
        }
        if (r.body) {
            EXPECT_EQ(r.body, s.body);
        } else {
            EXPECT_EQ(std::string(s.body.size(), 'n'), s.body);
            EXPECT_GT(s.body.size(), s.listed) << "a 200 on revalidation brings the new body";
        }
    }
    EXPECT_GT(CacheUsageNow().entries, 0);
    EXPECT_EQ(blocks, BlocksOutsideTheCache());
}

// Two host threads extracting the same kept member again and again while a
// third lists other members past a small budget (so entries keep leaving):
// every extraction is the whole body, and nothing is left behind.
TEST(CachedMember, TwoHostThreadsReadTheSameMemberWhileOthersComeAndGo) {
    const std::string body(200 * 1024, 'k');
    LoopbackServer server([&](const std::string& request) {
        std::string path = LoopbackServer::PathOf(request);
        std::string b = path == "/same" ? body : std::string(50 * 1024, path.back());
        return "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\nContent-Length: " +
               std::to_string(b.size()) + "\r\n\r\n" + b;
    });
    server.ServeConcurrently();
    SetCacheBudgets(256 * 1024, 512 * 1024);
    long blocks = stub::LiveBlocks();
    const std::string same = server.Url("/same");
    std::atomic<int> wrong{0};
    std::atomic<bool> done{false};
    auto reader = [&] {
        for (int i = 0; i < 40; ++i) {
            HLOCAL out = NULL;
            int code = GetFile(same.data(), (long)same.size(), (char*)&out, kMemory | kToMemory, NULL, 0);
            bool whole = code == 0 && LocalSize(out) == body.size() &&
                         memcmp(LocalLock(out), body.data(), body.size()) == 0;
            if (!whole) ++wrong;
            if (out) LocalFree(out);
        }
    };
    std::thread churn([&] {
        for (int i = 0; !done && i < 200; ++i) {
            std::string doc;
            for (char c = 'a'; c < 'f'; ++c) doc += server.Url("/" + std::to_string(i) + c) + "\r\n";
            HLOCAL h = NULL;
            if (GetArchiveInfo(doc.data(), (long)doc.size(), kMemory, &h) == 0) LocalFree(h);
        }
    });
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    done = true;
    churn.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_LE(CacheUsageNow().memory, 256 * 1024);
    EXPECT_EQ(blocks, BlocksOutsideTheCache());
}

}  // namespace
