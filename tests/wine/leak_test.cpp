// The plug-in kept loaded as a viewer keeps it: a 1,000-member list listed and
// every member extracted, five rounds in one process against a loopback
// server; private bytes and working set must not grow from round 1 to 5.
// And loaded and unloaded as a viewer does per file it opens: 2,000 times in
// one process, with thread-local slots, handles, threads and memory ending
// where they began.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/probe/wine_support.h"
#include "tests/support/loopback_server.h"

#include <tlhelp32.h>

namespace {

using wine_support::HostWinsock;
using wine_support::MemorySample;

const int kMembers = 1000;
const int kRounds = 5;
const int kLookupsPerRound = 10;  // lookups scan the list: a few suffice
// Growth allowed from the end of round 1 to the end of round 5. The plug-in
// registers one socket clean-up per download by design, a pointer in the
// runtime's exit table that lives until unload; beyond those, only some
// slack for the table's own regrowth. A leak of a small block per call
// (the 2048-byte body block, the 4096-byte address copy, a FILE) exceeds it.
const size_t kCleanupBytesPerDownload = sizeof(void*);
const size_t kGrowthSlack = 128 * 1024;
const double kTimeBoundSeconds = 110.0;
const unsigned kFileToMemory = 0x0100;  // file input, memory output
const char kHead[] = "HTTP/1.0 200 OK\r\nLast-Modified: Thu, 01 Jan 1970 00:16:40 GMT\r\n\r\n";
// The same, for a body the cache may not keep: every call downloads.
const char kUnkeptHead[] =
    "HTTP/1.0 200 OK\r\nCache-Control: no-store\r\nLast-Modified: Thu, 01 Jan 1970 00:16:40 GMT\r\n\r\n";
const int32_t kStamp = 1000;

// The body served for a path: small, different for every member.
std::string BodyFor(const std::string& path) { return "body of " + path + "\n"; }

std::string MemberPath(int i) {
    char name[32];
    snprintf(name, sizeof name, "/m/%04d.bin", i);
    return name;
}

class LeakTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(wine_support::LoadPlugin(&plugin_)) << KESTA_PLUGIN_FILE " not loaded";
        char tmp[MAX_PATH];
        DWORD n = GetTempPathA(sizeof tmp, tmp);
        ASSERT_TRUE(n > 0 && n < sizeof tmp);
        list_ = std::string(tmp) + "kesta-leak-" + std::to_string(GetCurrentProcessId()) + ".ykt";
    }

    void TearDown() override {
        DeleteFileA(list_.c_str());
        wine_support::UnloadPlugin(&plugin_);
    }

    wine_support::Plugin plugin_;
    std::string list_;
};

struct RoundResult {
    int listed;      // records in the listing
    int wrongRecords;
    int extracted;   // members whose bytes were right
    int lookedUp;    // lookups that gave the right record
    MemorySample after;
};

TEST_F(LeakTest, ListingAndExtractingAThousandMembersFiveTimesDoesNotGrowTheProcess) {
    HostWinsock winsock;
    ASSERT_EQ(0, winsock.started);
    LoopbackServer server([](const std::string& request) {
        return kUnkeptHead + BodyFor(LoopbackServer::PathOf(request));
    });
    server.ForgetRequests();
    ASSERT_TRUE(server.listening());

    std::string doc;
    std::vector<std::string> bodies;
    for (int i = 0; i < kMembers; ++i) {
        doc += server.Url(MemberPath(i)) + "\r\n";
        bodies.push_back(BodyFor(MemberPath(i)));
    }
    FILE* f = fopen(list_.c_str(), "wb");
    ASSERT_TRUE(f != NULL);
    ASSERT_EQ(doc.size(), fwrite(doc.data(), 1, doc.size(), f));
    fclose(f);

    std::vector<fileInfo> records((size_t)kMembers + 1);
    std::vector<RoundResult> rounds;
    rounds.reserve(kRounds);
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds; ++round) {
        RoundResult r = {0, 0, 0, 0, {0, 0}};
        HLOCAL listing = NULL;
        ASSERT_EQ(SPI_SUCCESS, plugin_.getArchiveInfo(list_.c_str(), 0, 0, &listing));
        ASSERT_EQ((size_t)(kMembers + 1) * sizeof(fileInfo), LocalSize(listing));
        memcpy(records.data(), LocalLock(listing), records.size() * sizeof(fileInfo));
        LocalUnlock(listing);
        LocalFree(listing);
        for (int i = 0; i < kMembers; ++i) {
            const fileInfo& rec = records[(size_t)i];
            bool right = rec.filesize == bodies[(size_t)i].size() && rec.timestamp == kStamp &&
                         MemberPath(i).substr(3) == rec.filename;
            r.listed += 1;
            r.wrongRecords += right ? 0 : 1;

            HLOCAL block = NULL;
            int code = plugin_.getFile(list_.c_str(), (LONG_PTR)rec.position, (LPSTR)&block,
                                       kFileToMemory, NULL, 0);
            if (code == SPI_SUCCESS && block) {
                const std::string& want = bodies[(size_t)i];
                const char* got = static_cast<const char*>(LocalLock(block));
                if (LocalSize(block) == want.size() && memcmp(got, want.data(), want.size()) == 0) {
                    r.extracted += 1;
                }
                LocalUnlock(block);
                LocalFree(block);
            }
        }
        for (int k = 0; k < kLookupsPerRound; ++k) {
            int i = (k * 997 + round * 101) % kMembers;  // spread over the list
            fileInfo info;
            std::string name = MemberPath(i).substr(3);
            int code = plugin_.getFileInfo(list_.c_str(), 0, name.c_str(), 0, &info);
            if (code == SPI_SUCCESS && info.position == records[(size_t)i].position &&
                info.filesize == bodies[(size_t)i].size()) {
                r.lookedUp += 1;
            }
        }
        r.after = wine_support::SampleMemory();
        rounds.push_back(r);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.Stop();

    for (int round = 0; round < kRounds; ++round) {
        const RoundResult& r = rounds[(size_t)round];
        SCOPED_TRACE("round " + std::to_string(round + 1));
        EXPECT_EQ(kMembers, r.listed);
        EXPECT_EQ(0, r.wrongRecords);
        EXPECT_EQ(kMembers, r.extracted);
        EXPECT_EQ(kLookupsPerRound, r.lookedUp);
        printf("round %d: private bytes %lu, working set %lu\n", round + 1,
               (unsigned long)r.after.privateBytes, (unsigned long)r.after.workingSet);
    }
    const MemorySample& first = rounds.front().after;
    const MemorySample& last = rounds.back().after;
    const size_t laterDownloads = (size_t)(kRounds - 1) * (2 * kMembers + kLookupsPerRound);
    const size_t kGrowthBound = laterDownloads * kCleanupBytesPerDownload + kGrowthSlack;
    EXPECT_LE(last.privateBytes, first.privateBytes + kGrowthBound)
        << "private bytes grew from " << first.privateBytes << " to " << last.privateBytes;
    EXPECT_LE(last.workingSet, first.workingSet + kGrowthBound)
        << "working set grew from " << first.workingSet << " to " << last.workingSet;
    EXPECT_EQ(kRounds * (2 * kMembers + kLookupsPerRound), server.served());
    EXPECT_LT(seconds, kTimeBoundSeconds);
    printf("%d downloads in %.1f s\n", kRounds * (2 * kMembers + kLookupsPerRound), seconds);
}

// Free thread-local slots: taken until none is left, then given back.
int FreeTlsSlots() {
    std::vector<DWORD> taken;
    for (;;) {
        DWORD slot = TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES) break;
        taken.push_back(slot);
    }
    for (DWORD slot : taken) TlsFree(slot);
    return (int)taken.size();
}

int ThreadsOfThisProcess() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 t;
    t.dwSize = sizeof t;
    int n = 0;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t)) {
        n += t.th32OwnerProcessID == GetCurrentProcessId();
    }
    CloseHandle(snap);
    return n;
}

// The handle a new object gets: the lowest free slot of the handle table, so
// it moves up when handles are left open. (Wine's GetProcessHandleCount
// answers 0.)
uintptr_t NextHandle() {
    HANDLE h = CreateEventW(NULL, TRUE, FALSE, NULL);
    CloseHandle(h);
    return reinterpret_cast<uintptr_t>(h);
}

struct ProcessState {
    int freeTlsSlots;
    uintptr_t nextHandle;
    int threads;
    MemorySample memory;
};

ProcessState SampleState() {
    ProcessState s;
    s.freeTlsSlots = FreeTlsSlots();
    s.nextHandle = NextHandle();
    s.threads = ThreadsOfThisProcess();
    s.memory = wine_support::SampleMemory();
    return s;
}

// A viewer loads an archive plug-in for each file it opens and unloads it
// after: 2,000 loads, each listing a two-member list (so that the listing's
// threads run) and extracting one member. Nothing may stay behind: the C++
// threads runtime once kept a thread-local slot per load, and the host
// aborted at load 1,086. (This host starts Winsock itself; load_cycles.exe,
// run by tests/e2e/test_tls.py, is one that does not.)
TEST(LoadCycles, TwoThousandLoadsLeaveNothingBehind) {
    const int kLoads = 2000;
    const int kWarmUp = 100;  // Wine's own first-use costs come before the first sample
    const size_t kMemorySlack = 1024 * 1024;  // a leak of 512 bytes a load would pass it
    HostWinsock winsock;
    ASSERT_EQ(0, winsock.started);
    LoopbackServer server(
        [](const std::string& request) { return kHead + BodyFor(LoopbackServer::PathOf(request)); });
    server.ForgetRequests();
    const std::string doc = server.Url("/a/one.bin") + "\r\n" + server.Url("/b/two.bin") + "\r\n";
    ProcessState before = {};
    auto start = std::chrono::steady_clock::now();
    int listings = 0;
    for (int load = 0; load < kLoads; ++load) {
        if (load == kWarmUp) before = SampleState();
        wine_support::Plugin p;
        ASSERT_TRUE(wine_support::LoadPlugin(&p)) << "load " << load;
        {
            HLOCAL listing = NULL;
            ASSERT_EQ(SPI_SUCCESS, p.getArchiveInfo(doc.data(), (LONG_PTR)doc.size(), 1, &listing));
            ASSERT_EQ(3 * sizeof(fileInfo), LocalSize(listing)) << "load " << load;
            const fileInfo* r = static_cast<const fileInfo*>(LocalLock(listing));
            ASSERT_EQ(BodyFor("/b/two.bin").size(), r[1].filesize);
            LocalFree(listing);
            HLOCAL body = NULL;
            ASSERT_EQ(SPI_SUCCESS, p.getFile(doc.data(), (LONG_PTR)doc.size(), (LPSTR)&body,
                                             0x0101, NULL, 0));
            LocalFree(body);
            ++listings;
        }
        wine_support::UnloadPlugin(&p);
    }
    ProcessState after = SampleState();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.Stop();
    printf("%d loads, %d listings in %.1f s; free TLS slots %d -> %d, next handle %lu -> %lu, "
           "threads %d -> %d, private bytes %lu -> %lu\n",
           kLoads, listings, seconds, before.freeTlsSlots, after.freeTlsSlots,
           (unsigned long)before.nextHandle, (unsigned long)after.nextHandle, before.threads,
           after.threads, (unsigned long)before.memory.privateBytes,
           (unsigned long)after.memory.privateBytes);
    EXPECT_EQ(before.freeTlsSlots, after.freeTlsSlots);
    EXPECT_LE(after.nextHandle, before.nextHandle);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_LE(after.memory.privateBytes, before.memory.privateBytes + kMemorySlack);
    EXPECT_LT(seconds, kTimeBoundSeconds);
}

}  // namespace
