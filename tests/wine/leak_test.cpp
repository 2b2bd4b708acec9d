// The plug-in kept loaded as a viewer keeps it: a 1,000-member list listed and
// every member extracted, five rounds in one process against a loopback
// server; private bytes and working set must not grow from round 1 to 5.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/probe/wine_support.h"
#include "tests/support/loopback_server.h"

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
    LoopbackServer server(
        [](const std::string& request) { return kHead + BodyFor(LoopbackServer::PathOf(request)); });
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

}  // namespace
