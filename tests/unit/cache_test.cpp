// The cache below the network: freshness and revalidation as a private
// cache reads a response, and the kept bodies within their budgets (real
// temporary files under Wine).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "cache/freshness.h"
#include "cache/index.h"

namespace {

const int64_t kNow = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT
const char kNowText[] = "Tue, 14 Nov 2023 22:13:20 GMT";

CacheFields Caught(const std::string& head) {
    CacheFields f;
    CacheFieldsStart(&f);
    CacheFieldsFeed(&f, head.data(), head.size());
    CacheFieldsEnd(&f);
    f.status = atoi(head.c_str() + 9);
    return f;
}

// Each row: the response's header (its Date is the arrival's unless the row
// gives one), then whether it is kept, and the last second after arrival at
// which it is still fresh (-1: stale at once).
TEST(Freshness, AsAPrivateCacheReadsTheResponse) {
    struct Row {
        const char* fields;
        bool storable;
        int64_t lastFresh;
    } const rows[] = {
        {"Cache-Control: no-store", false, -1},
        {"Cache-Control: public\r\nCache-Control: no-store", false, -1},
        {"Cache-Control: public, max-age=60", true, 59},
        {"cache-control: MAX-AGE=\"60\"", true, 59},
        {"Cache-Control: max-age=0", true, -1},
        {"Cache-Control: max-age=abc", true, -1},
        {"Cache-Control: max-age=99999999999999999999", true, 2147483647},
        {"Cache-Control: no-cache, max-age=600", true, -1},
        {"Cache-Control: no-cache=\"Set-Cookie\", max-age=600", true, -1},
        {"Pragma: no-cache", true, -1},
        {"Cache-Control: max-age=60\r\nPragma: no-cache", true, 59},
        {"Expires: Tue, 14 Nov 2023 22:15:20 GMT", true, 119},
        {"Expires: Tue, 14 Nov 2023 22:13:19 GMT", true, -1},
        {"Expires: 0", true, -1},
        {"Cache-Control: max-age=10\r\nExpires: Tue, 14 Nov 2023 23:13:20 GMT", true, 9},
        {"Last-Modified: Tue, 14 Nov 2023 21:56:40 GMT", true, 99},  // 1000 s before
        {"Last-Modified: Sat, 14 Oct 2023 22:13:20 GMT", true, kMostHeuristicLifetime - 1},
        {"Last-Modified: Wed, 15 Nov 2023 22:13:20 GMT", true, -1},  // after its Date
        {"Last-Modified: yesterday", true, -1},
        {"X-Nothing: here", true, kLifetimeWithoutDates - 1},
        {"Cache-Control: max-age=60\r\nAge: 50", true, 9},
        {"Cache-Control: max-age=60\r\nDate: Tue, 14 Nov 2023 22:12:50 GMT", true, 29},
        {"Cache-Control: max-age=60\r\nVary: Accept-Encoding", true, 59},
        {"Cache-Control: max-age=60\r\nVary: *", false, -1},
    };
    for (const Row& r : rows) {
        std::string head = std::string("HTTP/1.1 200 OK\r\n") + r.fields + "\r\n";
        if (!strstr(r.fields, "Date:")) head += std::string("Date: ") + kNowText + "\r\n";
        Freshness f = JudgeResponse(Caught(head + "\r\n"), kNow);
        SCOPED_TRACE(r.fields);
        EXPECT_EQ(r.storable, f.storable);
        EXPECT_EQ(r.lastFresh >= 0, StillFresh(f, kNow));
        if (r.lastFresh >= 0) {
            EXPECT_TRUE(StillFresh(f, kNow + r.lastFresh));
            EXPECT_FALSE(StillFresh(f, kNow + r.lastFresh + 1));
            // A clock set back makes nothing younger, nor older.
            EXPECT_TRUE(StillFresh(f, kNow - 100000));
        }
    }
    // Only a 200 is kept.
    for (const char* status : {"HTTP/1.1 404 Not Found", "HTTP/1.1 206 Partial", "HTTP/1.1 304 x"}) {
        EXPECT_FALSE(JudgeResponse(Caught(std::string(status) + "\r\nCache-Control: max-age=60\r\n\r\n"), kNow)
                         .storable)
            << status;
    }
}

TEST(Freshness, ConditionsSendBackTheValidatorsAsGiven) {
    struct Row {
        const char* fields;
        const char* conditions;
    } const rows[] = {
        {"ETag: \"abc\"", "If-None-Match: \"abc\"\r\n"},
        {"ETag:  W/\"v1\" ", "If-None-Match: W/\"v1\"\r\n"},
        {"ETag: abc", ""},
        {"ETag: \"a b\"", ""},
        {"Last-Modified: Sat, 14 Oct 2023 22:13:20 GMT",
         "If-Modified-Since: Sat, 14 Oct 2023 22:13:20 GMT\r\n"},
        {"Last-Modified: not a date", ""},
        {"ETag: \"x\"\r\nLast-Modified: Sat, 14 Oct 2023 22:13:20 GMT",
         "If-None-Match: \"x\"\r\nIf-Modified-Since: Sat, 14 Oct 2023 22:13:20 GMT\r\n"},
        {"X: 1", ""},
    };
    for (const Row& r : rows) {
        char out[kMostConditionBytes + 1];
        bool any = ConditionsFor(Caught(std::string("HTTP/1.1 200 OK\r\n") + r.fields + "\r\n\r\n"), out,
                                 sizeof out);
        EXPECT_EQ(r.conditions[0] != '\0', any) << r.fields;
        EXPECT_STREQ(r.conditions, out) << r.fields;
    }
}

std::string BytesOf(int seed, size_t n) {
    std::string b(n, '\0');
    for (size_t i = 0; i < n; ++i) b[i] = (char)(seed * 31 + i * 7);
    return b;
}

// Writes `body` in 8 KiB pieces and commits it under `key`, fresh a minute.
void Keep(const std::string& key, const std::string& body) {
    EntryWriter w;
    WriterStart(&w);
    for (size_t at = 0; at < body.size(); at += 8192) {
        WriterTake(&w, body.data() + at, body.size() - at < 8192 ? body.size() - at : 8192);
    }
    Freshness f = {true, 60, 0, SecondsNow()};
    CommitEntry(&w, key.c_str(), key.c_str(), "", 1234, f);
}

// The entry's body, or "(none)".
std::string Kept(const std::string& key) {
    Entry* e = FindEntry(key.c_str());
    if (!e) return "(none)";
    std::string out((size_t)e->length, '\0');
    EXPECT_TRUE(CopyKept(e->body, &out[0]));
    UnpinEntry(e);
    return out;
}

#ifdef _WIN32
// This process's temporary files of the cache, as the system lists them.
int TemporaryFiles() {
    wchar_t dir[MAX_PATH + 1];
    GetTempPathW(MAX_PATH, dir);
    wchar_t name[64];
    swprintf(name, 64, L"kesta-%lx-*.tmp", (unsigned long)GetCurrentProcessId());
    std::wstring pattern = std::wstring(dir) + name;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(pattern.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do {
        ++n;
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return n;
}
#endif

// Bodies past the memory budget go to temporary files; past the disk
// budget the least recently used leave (not one being read); every byte
// reads back as written; emptying the cache leaves nothing, files included.
TEST(CacheStore, BudgetsFilesAndTheLeastRecentlyUsedOut) {
    EmptyCache();
    const int64_t kMemory = 100 * 1024, kDisk = 300 * 1024;
    SetCacheBudgets(kMemory, kDisk);
    const size_t kBody = 60 * 1024;
    Entry* held = NULL;
    for (int i = 0; i < 12; ++i) {
        Keep("http://h/" + std::to_string(i), BytesOf(i, kBody));
        if (i == 2) held = FindEntry("http://h/2");  // read all along: never evicted
        Kept("http://h/" + std::to_string(i - 1 > 0 ? i - 1 : 0));  // the one before, used again
        CacheUsage u = CacheUsageNow();
        EXPECT_LE(u.memory, kMemory) << i;
        EXPECT_LE(u.disk, kDisk) << i;
#ifdef _WIN32
        EXPECT_EQ(u.files, TemporaryFiles()) << i;
#endif
    }
    ASSERT_NE(nullptr, held);
    CacheUsage full = CacheUsageNow();
    EXPECT_GT(full.files, 0);
    EXPECT_EQ("(none)", Kept("http://h/0"));  // the oldest left first
    EXPECT_TRUE(BytesOf(2, kBody) == Kept("http://h/2"));
    EXPECT_TRUE(BytesOf(10, kBody) == Kept("http://h/10"));
    EXPECT_TRUE(BytesOf(11, kBody) == Kept("http://h/11"));
    // Replaced while read: the reader keeps its body until it lets go.
    Keep("http://h/2", BytesOf(99, 1000));
    std::string old((size_t)held->length, '\0');
    EXPECT_TRUE(CopyKept(held->body, &old[0]));
    EXPECT_TRUE(BytesOf(2, kBody) == old);
    UnpinEntry(held);
    EXPECT_TRUE(BytesOf(99, 1000) == Kept("http://h/2"));

    EmptyCache();
    CacheUsage empty = CacheUsageNow();
    EXPECT_EQ(0, empty.memory);
    EXPECT_EQ(0, empty.disk);
    EXPECT_EQ(0, empty.entries);
    EXPECT_EQ(0, empty.files);
#ifdef _WIN32
    EXPECT_EQ(0, TemporaryFiles());
#endif
    SetCacheBudgets(0, 0);
}

// Readers and writers of the same few entries on several threads at once,
// with budgets that keep evicting: each read is some whole body written
// under its key, and the books balance at the end.
TEST(CacheStore, ThreadsReadingAndReplacingTheSameEntries) {
    EmptyCache();
    SetCacheBudgets(64 * 1024, 128 * 1024);
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &torn] {
            for (int i = 0; i < 200; ++i) {
                std::string key = "http://h/" + std::to_string(i % 3);
                if ((i + t) % 2 == 0) {
                    Keep(key, BytesOf(i % 3, 20000 + 1000 * (size_t)(i % 5)));
                } else {
                    std::string got = Kept(key);
                    if (got != "(none)" && got != BytesOf(i % 3, got.size())) ++torn;
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(0, torn.load());
    EmptyCache();
    EXPECT_EQ(0, CacheUsageNow().memory);
    EXPECT_EQ(0, CacheUsageNow().disk);
    SetCacheBudgets(0, 0);
}

}  // namespace
