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
