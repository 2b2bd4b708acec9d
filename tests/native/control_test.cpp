// The host's control over an extraction: GetFile reports progress through
// the host's callback while bytes arrive and while the server is silent, and
// a non-zero answer cancels it with code 1, leaving no block, no file and no
// memory behind.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/socket.h"
#include "plugin/spi.h"
#include "tests/native/cache_reset.h"
#include "tests/native/fetch_text.h"
#include "tests/support/loopback_server.h"
#include "tests/support/progress_rule.h"

namespace {

const unsigned kMemoryIn = 1;
const unsigned kToMemory = 0x100;
const LONG_PTR kDatum = (LONG_PTR)0x5EED5EED;

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct Call {
    long long at;
    int done;
    int total;
};

// What the callback saw, and when it should ask to stop.
struct Watcher {
    std::vector<Call> calls;
    bool datumPassed = true;
    int cancelAtCall = -1;        // cancel on this call (0: the first)
    int cancelWhenDone = -1;      // cancel once this many bytes have arrived
    int cancelAfterSilent = -1;   // cancel after this many calls with unchanged numbers
};

Watcher* g_watcher = nullptr;

int __stdcall Callback(int done, int total, LONG_PTR datum) {
    Watcher* w = g_watcher;
    w->datumPassed = w->datumPassed && datum == kDatum;
    int silent = 0;
    for (size_t i = w->calls.size(); i > 0 && w->calls[i - 1].done == done; --i) ++silent;
    w->calls.push_back({NowMs(), done, total});
    int n = (int)w->calls.size() - 1;
    if (w->cancelAtCall >= 0 && n >= w->cancelAtCall) return 1;
    if (w->cancelWhenDone >= 0 && done >= w->cancelWhenDone) return 1;
    if (w->cancelAfterSilent >= 0 && done > 0 && silent >= w->cancelAfterSilent) return 1;
    return 0;
}

// A server that sends the header, then the body in `pieces` parts `gapMs`
// apart, then stays silent for `silenceMs` before closing.
LoopbackServer::RawScript Paced(const std::string& header, const std::string& body, int pieces,
                                int gapMs, int silenceMs) {
    return [=](int c, const std::string&) {
        if (send(c, header.data(), header.size(), MSG_NOSIGNAL) <= 0) return;
        size_t step = (body.size() + pieces - 1) / pieces;
        for (size_t at = 0; at < body.size(); at += step) {
            usleep((useconds_t)gapMs * 1000);
            size_t n = std::min(step, body.size() - at);
            if (send(c, body.data() + at, n, MSG_NOSIGNAL) <= 0) return;
        }
        usleep((useconds_t)silenceMs * 1000);
    };
}

// A loopback port whose connects never complete: the listener's backlog is
// full and it never accepts, so the kernel drops further connection requests.
class HangingPort {
public:
    HangingPort() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(listener_, 0);
        socklen_t len = sizeof sa;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        for (int& f : fillers_) {
            f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        }
        usleep(50000);
    }
    ~HangingPort() {
        for (int f : fillers_) close(f);
        close(listener_);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/h"; }
    int port() const { return port_; }

private:
    int listener_;
    int port_;
    int fillers_[3];
};

int Extract(const std::string& url, unsigned flag, void* dest, Watcher* w) {
    g_watcher = w;
    return GetFile(url.data(), (LONG_PTR)url.size(), static_cast<char*>(dest), flag | kMemoryIn,
                   w ? Callback : NULL, kDatum);
}

TEST(Progress, ReportsBytesAtMostEvery100MsAndOnceAtTheEnd) {
    const std::string body(200000, 'p');
    LoopbackServer server(
        Paced("HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n", body, 20, 30, 0));
    Watcher w;
    HLOCAL h = NULL;
    ASSERT_EQ(0, Extract(server.Url("/paced"), kToMemory, &h, &w));
    ASSERT_EQ(body.size(), LocalSize(h));
    LocalFree(h);
    ASSERT_GE(w.calls.size(), 3u);
    EXPECT_TRUE(w.datumPassed);
    EXPECT_EQ(200000, w.calls.back().done);
    EXPECT_EQ(200000, w.calls.back().total);
    for (size_t i = 1; i < w.calls.size(); ++i) {
        EXPECT_GE(w.calls[i].done, w.calls[i - 1].done) << i;
        EXPECT_TRUE(w.calls[i].total == 0 || w.calls[i].total == 200000) << i;
        // Every report but the last comes at least 100 ms after the one before.
        if (i + 1 < w.calls.size()) EXPECT_GE(w.calls[i].at - w.calls[i - 1].at, 95) << i;
    }
}

TEST(Progress, SilenceIsReportedAtLeastEvery250Ms) {
    LoopbackServer server(Paced("HTTP/1.0 200 OK\r\n\r\n", "0123456789", 1, 0, 900));
    Watcher w;
    HLOCAL h = NULL;
    long long start = NowMs();
    ASSERT_EQ(0, Extract(server.Url("/silent"), kToMemory, &h, &w));
    LocalFree(h);
    ASSERT_GE(w.calls.size(), 4u);
    long long last = start;
    for (const Call& c : w.calls) {
        EXPECT_LE(c.at - last, 250 + 50) << "a silent stretch went unreported";
        last = c.at;
    }
    EXPECT_EQ(10, w.calls.back().done);
    EXPECT_EQ(10, w.calls.back().total);  // nothing announced: the end gives the length
}

// The numbers a host divides by, row by row (tests/support/progress_rule.h);
// and while connecting, before anything is known: (0, the unknown rule's).
TEST(Progress, NumbersAHostCanDivideBy) {
    progress_rule::RunRows(GetFile, 30);
    HangingPort hanging;
    Watcher w;
    w.cancelAtCall = 2;
    HLOCAL h = NULL;
    ASSERT_EQ(1, Extract(hanging.Url(), kToMemory, &h, &w));
    for (const Call& c : w.calls) {
        EXPECT_EQ(0, c.done);
        EXPECT_EQ(progress_rule::kUnknown, c.total);
    }
}

// Sizes past 2 GiB are halved together until they fit an int. (The body
// stops short of its announcement, so the download fails after reporting.)
TEST(Progress, SizesPast2GiBAreScaledTogether) {
    LoopbackServer server(
        Paced("HTTP/1.0 200 OK\r\nContent-Length: 5000000000\r\n\r\n", std::string(1000, 'b'), 1, 0,
              0));
    Watcher w;
    HLOCAL h = NULL;
    ASSERT_EQ(6, Extract(server.Url("/huge"), kToMemory, &h, &w));
    EXPECT_EQ(NULL, h);
    EXPECT_EQ(1250000000, w.calls.back().total);
    EXPECT_EQ(250, w.calls.back().done);
}

// Cancelled at the start, in the middle of the body, during silence and while
// connecting: code 1, NULL for the host (memory output) or no file (file
// output), nothing held.
TEST(Cancel, LeavesNoBlockNoFileAndNoMemory) {
    const std::string body(300000, 'c');
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\n";
    LoopbackServer paced(Paced(header, body, 30, 20, 0));
    LoopbackServer stalled(Paced(header, body.substr(0, 1000), 1, 0, 1200));
    paced.ServeConcurrently();
    stalled.ServeConcurrently();
    HangingPort hanging;
    struct Row {
        const char* what;
        std::string url;
        Watcher watcher;
    } rows[] = {
        {"at the first report", paced.Url("/c"), Watcher{{}, true, 0, -1, -1}},
        {"in the middle of the body", paced.Url("/c"), Watcher{{}, true, -1, 100000, -1}},
        {"while the server is silent", stalled.Url("/c"), Watcher{{}, true, -1, -1, 2}},
        {"while the connection is being made", hanging.Url(), Watcher{{}, true, 2, -1, -1}},
    };
    std::string dir = ::testing::TempDir() + "kesta_cancel_" + std::to_string(getpid());
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    for (Row& r : rows) {
        for (unsigned output : {kToMemory, 0u}) {
            Watcher w = r.watcher;
            long blocks = stub::LiveBlocks();
            HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
            long long start = NowMs();
            void* dest = output == kToMemory ? static_cast<void*>(&h) : &dir[0];
            EXPECT_EQ(SPI_CANCELLED, Extract(r.url, output, dest, &w)) << r.what;
            EXPECT_LT(NowMs() - start, 2000) << r.what << ": the cancel was not prompt";
            if (output == kToMemory) EXPECT_EQ(nullptr, h) << r.what;
            EXPECT_EQ(blocks, BlocksOutsideTheCache()) << r.what;
        }
    }
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(nullptr, d);
    int entries = 0;
    while (struct dirent* e = readdir(d)) entries += e->d_name[0] != '.' && e->d_name[0] != '\0';
    closedir(d);
    EXPECT_EQ(0, entries) << "a cancelled extraction left a file";
    rmdir(dir.c_str());
}

}  // namespace

// A refused connection is a failed download whether or not the host watches.
TEST(Cancel, RefusedConnectionFailsTheSameWatchedOrNot) {
    std::string url = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/r";
    for (bool watched : {false, true}) {
        Watcher w;
        HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
        EXPECT_EQ(SPI_FILE_READ_ERROR, Extract(url, kToMemory, &h, watched ? &w : nullptr));
        std::string text = HttpLastError();
        EXPECT_EQ(FetchText(kFetchConnectFailed), text) << watched;
        EXPECT_EQ(nullptr, h);
    }
}

// A server that never answers, or stops mid-body, or a connect that never
// completes: every phase gives up after the idle limit (3 s in the test
// build, 60 s in the plug-in), watched or not, in listing, lookup and
// extraction; the listing lists that member as failed and goes on.
// A host's addresses race: the next is tried 250 ms after the one before
// while that one still runs, or at once when it failed at once; the first
// to connect wins. A dead first address costs the delay, not the limit.
TEST(AddressRace, ADeadFirstAddressCostsTheDelayNotTheLimit) {
    HangingPort dead;
    HangingPort dead2;
    LoopbackServer good("HTTP/1.0 200 OK\r\n\r\n");
    int refused = UnusedLoopbackPort();
    const struct {
        const char* what;
        std::vector<int> ports;
        FetchMessage outcome;
        long long atLeastMs, belowMs;
    } rows[] = {
        {"the first never answers", {dead.port(), good.port()}, kFetchOk, 200, 1000},
        {"the first refuses at once", {refused, good.port()}, kFetchOk, 0, 200},
        {"two dead, then a good one", {dead.port(), dead2.port(), good.port()}, kFetchOk, 450, 1300},
        {"none answers", {dead.port(), dead2.port()}, kFetchTimedOut, 2900, 4500},
        {"all refuse", {refused, refused}, kFetchConnectFailed, 0, 200},
    };
    for (const auto& r : rows) {
        std::vector<sockaddr_in> sas;
        for (int port : r.ports) sas.push_back(LoopbackServer::Loopback(port));
        std::vector<const sockaddr*> addresses;
        std::vector<int> lengths;
        for (const sockaddr_in& sa : sas) {
            addresses.push_back(reinterpret_cast<const sockaddr*>(&sa));
            lengths.push_back((int)sizeof sa);
        }
        SOCKET s = INVALID_SOCKET;
        long long start = NowMs();
        FetchMessage got =
            ConnectToAddresses(addresses.data(), lengths.data(), (int)addresses.size(), NULL, &s);
        long long ms = NowMs() - start;
        EXPECT_EQ(r.outcome, got) << r.what;
        EXPECT_GE(ms, r.atLeastMs) << r.what;
        EXPECT_LT(ms, r.belowMs) << r.what;
        if (got == kFetchOk) {
            sockaddr_in peer = {};
            socklen_t length = sizeof peer;
            ASSERT_EQ(0, getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length)) << r.what;
            EXPECT_EQ(good.port(), ntohs(peer.sin_port)) << r.what;
            closesocket(s);
        }
    }
}

// A server that sends a byte every 400 ms is never silent for the limit.
// Before the header block is whole that still ends the download at the
// limit (connecting, a handshake and the header are bounded as a whole); in
// the body only silence counts, and a slow body is received.
TEST(IdleTimeout, ATrickledHeaderEndsAtTheLimitATrickledBodyDoesNot) {
    const long long kLimitMs = 3000;
    static const int kStepMs = 400;
    auto trickle = [](SOCKET c, const std::string& head, const std::string& rest) {
        if (!LoopbackServer::SendAll(c, head)) return;
        for (char b : rest) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
            if (!LoopbackServer::SendAll(c, std::string(1, b))) return;
        }
    };
    LoopbackServer header([&](SOCKET c, const std::string&) {
        trickle(c, "HTTP/1.0 200 OK\r\nX: ", std::string(20, 'x'));
    });
    LoopbackServer body([&](SOCKET c, const std::string&) {
        trickle(c, "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n", "0123456789");
    });
    header.ServeConcurrently();
    body.ServeConcurrently();
    struct Run {
        std::string url;
        bool watched;
        int code = -99;
        long long ms = 0;
        size_t size = 0;
    } runs[] = {{header.Url("/h"), false}, {header.Url("/h"), true}, {body.Url("/b"), false},
                {body.Url("/b"), true}};
    std::vector<std::thread> threads;
    for (Run& r : runs) {
        threads.emplace_back([&r] {
            progress_rule::Record record;
            HLOCAL h = NULL;
            long long start = NowMs();
            r.code = GetFile(r.url.data(), (LONG_PTR)r.url.size(), reinterpret_cast<char*>(&h),
                             kMemoryIn | kToMemory, r.watched ? progress_rule::OnProgress : NULL,
                             reinterpret_cast<LONG_PTR>(&record));
            r.ms = NowMs() - start;
            if (h) r.size = LocalSize(h);
            LocalFree(h);
        });
    }
    for (std::thread& t : threads) t.join();
    for (const Run& r : runs) {
        SCOPED_TRACE(r.url + (r.watched ? " watched" : ""));
        if (r.url == runs[0].url) {
            EXPECT_EQ(SPI_FILE_READ_ERROR, r.code);
            EXPECT_GE(r.ms, kLimitMs - 50);
            EXPECT_LT(r.ms, kLimitMs + 1500);
        } else {
            EXPECT_EQ(SPI_SUCCESS, r.code);
            EXPECT_EQ(10u, r.size);
            EXPECT_GE(r.ms, 10 * kStepMs - 100);
        }
    }
}

TEST(IdleTimeout, EveryPhaseGivesUpAfterTheLimit) {
    const long long kLimitMs = 3000;
    auto silent = [](SOCKET c, const std::string&) {
        LoopbackServer::WaitReadable(c, 6000);  // until the client gives up
    };
    auto midBody = [](SOCKET c, const std::string&) {
        LoopbackServer::SendAll(c, "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc");
        LoopbackServer::WaitReadable(c, 6000);
    };
    LoopbackServer quiet(silent);
    LoopbackServer stopping(midBody);
    LoopbackServer good("HTTP/1.0 200 OK\r\n\r\nfine");
    quiet.ServeConcurrently();
    stopping.ServeConcurrently();
    good.ServeConcurrently();
    HangingPort hanging;
    std::string list = good.Url("/a.txt") + "\r\n" + quiet.Url("/q.txt") + "\r\n" +
                       stopping.Url("/m.txt") + "\r\n" + hanging.Url() + "\r\n" +
                       good.Url("/z.txt") + "\r\n";
    struct Outcome {
        int code = -99;
        long long ms = 0;
    };
    const std::string urls[] = {quiet.Url("/q.txt"), stopping.Url("/m.txt"), hanging.Url()};
    Outcome extracted[3][2];  // [url][watched]
    Outcome listed, looked;
    HLOCAL listing = NULL;
    std::vector<std::thread> runs;
    // One thread per call, so that the waits overlap: the whole test takes
    // one limit, not nine. The last-error text is the process's, so it is
    // checked where only one call ends at a time.
    for (int u = 0; u < 3; ++u) {
        for (int watched = 0; watched < 2; ++watched) {
            runs.emplace_back([&, u, watched] {
                progress_rule::Record record;
                HLOCAL h = NULL;
                long long start = NowMs();
                extracted[u][watched].code =
                    GetFile(urls[u].data(), (LONG_PTR)urls[u].size(), reinterpret_cast<char*>(&h),
                            kMemoryIn | kToMemory, watched ? progress_rule::OnProgress : NULL,
                            reinterpret_cast<LONG_PTR>(&record));
                extracted[u][watched].ms = NowMs() - start;
            });
        }
    }
    runs.emplace_back([&] {
        fileInfo info;
        long long start = NowMs();
        looked.code = GetFileInfo(list.data(), (LONG_PTR)list.size(), "q.txt", kMemoryIn, &info);
        looked.ms = NowMs() - start;
    });
    for (std::thread& t : runs) t.join();
    long long start = NowMs();
    listed.code = GetArchiveInfo(list.data(), (LONG_PTR)list.size(), kMemoryIn, &listing);
    listed.ms = NowMs() - start;
    std::string listedText = HttpLastError();

    for (int u = 0; u < 3; ++u) {
        for (int watched = 0; watched < 2; ++watched) {
            const Outcome& o = extracted[u][watched];
            EXPECT_EQ(SPI_FILE_READ_ERROR, o.code) << urls[u] << " watched " << watched;
            EXPECT_GE(o.ms, kLimitMs - 50) << urls[u] << " watched " << watched;
            EXPECT_LT(o.ms, kLimitMs + 1500) << urls[u] << " watched " << watched;
        }
    }
    EXPECT_EQ(SPI_FILE_READ_ERROR, looked.code);
    EXPECT_GE(looked.ms, kLimitMs - 50);
    ASSERT_EQ(SPI_SUCCESS, listed.code);
    EXPECT_LT(listed.ms, kLimitMs + 1500) << "the stalled members are waited for at once";
    const fileInfo* r = static_cast<const fileInfo*>(LocalLock(listing));
    const uint64_t sizes[] = {4, 0, 0, 0, 4};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sizes[i], r[i].filesize) << i;
    LocalFree(listing);
    EXPECT_EQ(FetchText(kFetchOk), listedText) << "the last member's own outcome";
    // The text of a time-out, from a call on its own.
    HLOCAL h = NULL;
    EXPECT_EQ(SPI_FILE_READ_ERROR, Extract(stopping.Url("/m.txt"), kToMemory, &h, nullptr));
    std::string text = HttpLastError();
    EXPECT_EQ(FetchText(kFetchTimedOut), text);
}
