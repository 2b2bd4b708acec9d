// LoadSource under failing allocations: a working copy that cannot be had
// gives 5 and leaves no block behind, and every load that succeeds gives its
// block back on ReleaseSource.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "plugin/spi.h"
#include "urllist/urllist.h"

namespace {

// Resets the allocation switch however the test ends.
struct AllocationsRestored {
    ~AllocationsRestored() { stub::FailAllocationsAfter(-1); }
};

struct ListFile {
    std::string path;
    explicit ListFile(size_t bytes) {
        path = ::testing::TempDir() + "kesta_alloc_" + std::to_string(getpid()) + "_" +
               std::to_string(bytes) + ".ykt";
        std::string content(bytes, 'h');
        FILE* f = fopen(path.c_str(), "wb");
        if (f) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
    }
    ~ListFile() { remove(path.c_str()); }
};

// Sizes around the first block and ones that make it grow several times.
const size_t kSizes[] = {0, 1, 2047, 2048, 2049, 5000, 70000};
const long kMostAllocations = 12;  // more than the largest size needs

TEST(UrlListAlloc, FailedAllocationGivesMemoryErrorAndLeavesNothing) {
    AllocationsRestored restore;
    for (size_t bytes : kSizes) {
        ListFile file(bytes);
        long before = stub::LiveBlocks();
        bool succeeded = false;
        for (long allowed = 0; allowed <= kMostAllocations; ++allowed) {
            stub::FailAllocationsAfter(allowed);
            SourceCopy copy;
            memset(&copy, 0, sizeof copy);
            int got = LoadSource(file.path.c_str(), 0, 0, &copy);
            stub::FailAllocationsAfter(-1);
            SCOPED_TRACE(std::to_string(bytes) + " bytes, " + std::to_string(allowed) + " allowed");
            if (allowed == 0) EXPECT_EQ(SPI_MEMORY_ERROR, got);
            ASSERT_TRUE(got == SPI_SUCCESS || got == SPI_MEMORY_ERROR) << got;
            if (got == SPI_SUCCESS) {
                succeeded = true;
                EXPECT_EQ((long)bytes, copy.size);
                ReleaseSource(&copy);
            } else {
                EXPECT_EQ(nullptr, copy.owned);
            }
            EXPECT_EQ(before, stub::LiveBlocks());
        }
        EXPECT_TRUE(succeeded) << bytes << " bytes never loaded";
    }
}

TEST(UrlListAlloc, RejectedStartReleasesTheBlock) {
    ListFile file(100);
    long before = stub::LiveBlocks();
    const long starts[] = {101, 5000, -1};
    for (long start : starts) {
        SourceCopy copy;
        memset(&copy, 0, sizeof copy);
        EXPECT_EQ(SPI_BROKEN_DATA, LoadSource(file.path.c_str(), start, 0, &copy)) << start;
        EXPECT_EQ(before, stub::LiveBlocks()) << start;
    }
}

// A memory image is the host's: nothing is allocated even when nothing can be.
TEST(UrlListAlloc, MemoryImageAllocatesNothing) {
    AllocationsRestored restore;
    static const char kImage[] = "http://a\r\n";
    long before = stub::LiveBlocks();
    stub::FailAllocationsAfter(0);
    SourceCopy copy;
    EXPECT_EQ(SPI_SUCCESS, LoadSource(kImage, 10, 1, &copy));
    ReleaseSource(&copy);
    stub::FailAllocationsAfter(-1);
    EXPECT_EQ(before, stub::LiveBlocks());
}

}  // namespace

// What a listing holds at its peak: a list that fails (a junk line of
// addresses without line ends, 1 and 8 MiB) at most its own working copy
// and a constant, whatever the number of addresses in it; a good one of
// 100,000 members its copy, its records and a constant. (Once, every
// address counted was given a record and a download job before any line
// was looked at: 98 times the list's size.)
TEST(ListingMemory, PeakIsTheListTheRecordsAndAConstant) {
    const size_t kConstant = 1 << 20;
    std::string junk;
    while (junk.size() < (1u << 20)) junk += "http://";
    std::string bigJunk;
    while (bigJunk.size() < (8u << 20)) bigJunk += junk;
    std::string good;
    for (int i = 0; i < 100000; ++i) good += "http://a:99999/m.bin\r\n";  // a port past 65535: never fetched
    const struct {
        const char* what;
        const std::string* content;
        int code;
        size_t records;
    } rows[] = {
        {"1 MiB of addresses on one line", &junk, 6, 0},
        {"8 MiB of addresses on one line", &bigJunk, 6, 0},
        {"100,000 good members", &good, 0, 100000},
    };
    for (const auto& r : rows) {
        std::string path = ::testing::TempDir() + "kesta_peak_" + std::to_string(getpid()) + ".ykt";
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(r.content->data(), 1, r.content->size(), f);
        fclose(f);
        stub::ResetPeakBytes();
        size_t base = stub::PeakBytes();
        HLOCAL h = NULL;
        EXPECT_EQ(r.code, GetArchiveInfo(path.c_str(), 0, 0, &h)) << r.what;
        size_t peak = stub::PeakBytes() - base;
        EXPECT_LE(peak, r.content->size() + (r.records + 1) * sizeof(fileInfo) + kConstant) << r.what;
        if (h) LocalFree(h);
        remove(path.c_str());
    }
}
