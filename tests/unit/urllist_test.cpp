// The URL list operations: counting and scanning documents with each kind of
// line end, carrying the buffer over lines without an address, cutting
// overlong addresses and names, and loading files and memory images.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "plugin/spi.h"
#include "urllist/urllist.h"

namespace {

const unsigned long kUnsetPosition = 99;  // what `position` holds before any address

// Scans a whole document held in a heap block of exactly its size (so an
// over-read trips AddressSanitizer) and renders each line as
// "url@position>next", joined by '|'.
std::string ScanAll(const std::string& doc) {
    std::vector<char> bytes(doc.begin(), doc.end());
    UrlScan scan;
    memset(&scan, 0, sizeof scan);
    scan.position = kUnsetPosition;
    std::string out;
    int64_t size = (int64_t)bytes.size();
    int64_t pos = 0;
    for (int line = 0; pos < size && line <= size; ++line) {
        ScanUrlLine(bytes.data(), size, &pos, &scan);
        if (!out.empty()) out += '|';
        out += std::string(scan.url) + "@" + std::to_string(scan.position) + ">" +
               std::to_string(pos);
    }
    return out;
}

struct ScanRow {
    const char* doc;
    const char* expected;
};

TEST(ScanUrlLine, LinesPositionsAndNextOffsets) {
    const ScanRow rows[] = {
        // CR LF documents, with and without a final line end
        {"http://a/x/pic.jpg\r\nhttp://b/\r\n", "http://a/x/pic.jpg@0>20|http://b/@20>31"},
        {"http://a\r\nhttp://b", "http://a@0>10|http://b@10>20"},
        // a lone LF or a lone CR ends a line too
        {"http://a\nhttp://b\n", "http://a@0>9|http://b@9>18"},
        {"http://a\rhttp://b\r", "http://a@0>9|http://b@9>18"},
        {"http://a\r\n\nhttp://b\r\rx", "http://a@0>10|@0>11|http://b@11>20|@11>21|@11>24"},
        {"\n\rhttp://a", "@99>1|@99>2|http://a@2>12"},
        {"\r\n\n\r", "@99>2|@99>3|@99>4"},
        {"http://a\r", "http://a@0>9"},
        // a broken partial match is not retested: hhttp and htthttp hold none
        {"hhttp://a\r\nxhttp://b", "@99>11|http://b@12>22"},
        {"htthttp://a", "@99>13"},
        // a line without an address cuts the last one at its match count
        {"http://host/a\r\nhttp\r\nhtt\r\n\r\nhttp:\r\n",
         "http://host/a@0>15|http@0>21|htt@0>26|@0>28|@0>35"},
        {"http://host/a\r\nhttp:/\r\n", "http://host/a@0>15|http:/@0>23"},
        // everything after the address belongs to it
        {"<img src=\"http://h/p.gif\">\r\n", "http://h/p.gif\">@10>28"},
        {"a http://x http://y\r\n", "http://x http://y@2>21"},
        {"http://a b \"c\"\r\n", "http://a b \"c\"@0>16"},
        // "https://" lines, and the partial matches of the longer form
        {"https://a/x.png\r\nhttp://b\r\n", "https://a/x.png@0>17|http://b@17>27"},
        {"<a href=\"https://h/p\">\r\n", "https://h/p\">@9>24"},
        {"hhttps://a\r\nhttpss://b\r\nxhttps://c", "@99>12|@99>24|https://c@25>36"},
        {"https://host/a\r\nhttps\r\nhttps:/\r\n", "https://host/a@0>16|https@0>23|https@0>32"},
        {"http://host/a\r\nhttps:/\r\n", "http://host/a@0>15|http:/@0>24"},
        {"HTTPS://a\r\nhttps:/\\b", "@99>11|@99>22"},
        {"", ""},
    };
    for (const ScanRow& r : rows) {
        EXPECT_EQ(std::string(r.expected), ScanAll(r.doc)) << "document [" << r.doc << "]";
    }
}

// At or past the end the line is empty and pos still moves on; a negative
// pos reads from the first byte.
TEST(ScanUrlLine, OffsetsOutsideTheData) {
    const char doc[] = {'h', 't', 't', 'p', ':', '/', '/', 'a'};
    const int64_t size = sizeof doc;
    const struct {
        int64_t pos;
        int64_t expected_pos;
        const char* expected_url;
    } rows[] = {{size, size + 2, ""}, {size + 5, size + 7, ""}, {-3, size + 2, "http://a"}};
    for (const auto& r : rows) {
        UrlScan scan;
        memset(&scan, 0, sizeof scan);
        memcpy(scan.url, "http://old", 11);
        int64_t pos = r.pos;
        ScanUrlLine(doc, size, &pos, &scan);
        EXPECT_EQ(r.expected_pos, pos) << "from " << r.pos;
        EXPECT_STREQ(r.expected_url, scan.url) << "from " << r.pos;
    }
}

TEST(ScanUrlLine, OverlongAddressIsCutAndMarked) {
    const int64_t lengths[] = {4094, 4095, 4096, 4097, 10000};
    for (int64_t length : lengths) {
        std::string address = "http://" + std::string((size_t)length - 7, 'x');
        std::string text = "<>" + address + "\r\nhttp://b";
        std::vector<char> doc(text.begin(), text.end());
        UrlScan scan;
        memset(&scan, 0, sizeof scan);
        int64_t pos = 0;
        ScanUrlLine(doc.data(), (int64_t)doc.size(), &pos, &scan);
        bool fits = length <= kUrlCapacity - 1;
        size_t kept = fits ? (size_t)length : (size_t)kUrlCapacity - 1;
        EXPECT_EQ(kept, strlen(scan.url)) << "length " << length;
        EXPECT_EQ(address.substr(0, kept), std::string(scan.url)) << "length " << length;
        EXPECT_EQ(!fits, scan.overlong) << "length " << length;
        EXPECT_EQ(2u, scan.position) << "length " << length;  // a write past url lands here
        EXPECT_EQ(2 + length + 2, pos) << "length " << length;
        ScanUrlLine(doc.data(), (int64_t)doc.size(), &pos, &scan);
        EXPECT_STREQ("http://b", scan.url);
        EXPECT_FALSE(scan.overlong) << "after length " << length;
    }
}

struct CountRow {
    const char* doc;
    int64_t start;
    int64_t expected;
};

TEST(CountAddresses, CompleteOccurrencesFromStart) {
    const CountRow rows[] = {
        {"", 0, 0},
        {"http://", 0, 1},
        {"http:/", 0, 0},
        {"hhttp://a", 0, 0},
        {"xhttp://a", 0, 1},
        {"htthttp://a", 0, 0},
        {"http://http://", 0, 2},
        {"a http://x http://y\r\nhttp://z", 0, 3},
        {"http://a\nhttp://b\rhttp://c", 0, 3},
        {"http://a http://b", 1, 1},   // starts inside the first
        {"http://a http://b", 17, 0},  // start == size
        {"http://a", 20, 0},           // start beyond size
        {"http://a", -4, 1},           // nothing before the first byte
        {"https://", 0, 1},
        {"https:/", 0, 0},
        {"hhttps://a", 0, 0},
        {"httpshttps://a", 0, 0},
        {"httpss://a", 0, 0},
        {"https://http://https://", 0, 3},
    };
    for (const CountRow& r : rows) {
        std::string text(r.doc);
        std::vector<char> bytes(text.begin(), text.end());
        EXPECT_EQ(r.expected, CountAddresses(bytes.data(), r.start, (int64_t)bytes.size()))
            << "document [" << r.doc << "] start " << r.start;
    }
    EXPECT_EQ(0, CountAddresses(nullptr, 0, 10));
}

struct NameRow {
    std::string url;
    std::string expected;
};

TEST(DeriveMemberName, TextAfterTheLastSeparator) {
    const std::string x259(259, 'x');
    const NameRow rows[] = {
        {"http://a/x/pic.jpg", "pic.jpg"},
        {"http://a/x/", "index.html"},
        {"http://a/show?id=42", "42"},
        {"http://a:81", "81"},
        {"http://host", "host"},
        {"http://a/x\\b.png", "b.png"},
        {"http://h/p.gif\">", "p.gif\">"},
        {"http://a/b=", "index.html"},
        // what a line without an address leaves in the buffer
        {"", "index.html"},
        {"http:", "index.html"},
        {"http:/", "index.html"},
        {"h", "h"},
        {"http", "http"},
        // 259 characters fit; longer names are cut to 259
        {"http://a/" + x259, x259},
        {"http://a/" + x259 + "y", x259},
        {"http://a/" + x259 + std::string(3700, 'z'), x259},
    };
    for (const NameRow& r : rows) {
        std::vector<char> name((size_t)kNameCapacity, '#');  // exact size: ASan sees a write past it
        DeriveMemberName(name.data(), r.url.c_str());
        EXPECT_EQ(r.expected, std::string(name.data())) << "url [" << r.url.substr(0, 40) << "]";
        EXPECT_EQ('\0', name[kNameCapacity - 1]);
    }
}

// ---------------------------------------------------------------- loading

// A file of our own in the test temp dir, removed again at scope end. The
// random part keeps concurrent runs of this program apart.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& bytes) {
        std::random_device rd;
        path = ::testing::TempDir() + "kesta_urllist_" + std::to_string(rd()) + ".ykt";
        FILE* f = fopen(path.c_str(), "wb");
        if (f) {
            fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
        }
    }
    ~TempFile() { remove(path.c_str()); }
};

std::string Pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += (char)('a' + i % 26);
    return s;
}

TEST(LoadSource, FileIsReadWhole) {
    const struct {
        size_t bytes;
        int64_t start;
        int expected;
    } rows[] = {
        {0, 0, SPI_SUCCESS},         {10, 0, SPI_SUCCESS},  {10, 10, SPI_SUCCESS},
        {10, 4, SPI_SUCCESS},        {2047, 0, SPI_SUCCESS}, {2048, 0, SPI_SUCCESS},
        {2049, 2049, SPI_SUCCESS},   {9000, 0, SPI_SUCCESS},
        {10, 11, SPI_BROKEN_DATA},   {0, 1, SPI_BROKEN_DATA},  // start beyond size
        {10, -1, SPI_BROKEN_DATA},   {0, -1, SPI_BROKEN_DATA},
    };
    for (const auto& r : rows) {
        std::string content = Pattern(r.bytes);
        TempFile file(content);
        SourceCopy copy;
        memset(&copy, 0, sizeof copy);
        int got = LoadSource(file.path.c_str(), r.start, 0, &copy);
        SCOPED_TRACE(std::to_string(r.bytes) + " bytes, start " + std::to_string(r.start));
        ASSERT_EQ(r.expected, got);
        if (got != SPI_SUCCESS) continue;
        EXPECT_EQ((int64_t)r.bytes, copy.size);
        EXPECT_EQ(r.start, copy.start);
        EXPECT_NE(nullptr, copy.owned);
        EXPECT_EQ(content, std::string(copy.data, (size_t)copy.size));
        ReleaseSource(&copy);
        EXPECT_EQ(nullptr, copy.owned);
    }
}

TEST(LoadSource, UnreadableFileGivesReadError) {
    TempFile gone("x");
    remove(gone.path.c_str());
    std::string dir = ::testing::TempDir();
    const char* names[] = {gone.path.c_str(), dir.c_str(), nullptr};
    for (const char* name : names) {
        SourceCopy copy;
        memset(&copy, 0, sizeof copy);
        EXPECT_EQ(SPI_FILE_READ_ERROR, LoadSource(name, 0, 0, &copy)) << (name ? name : "(null)");
        EXPECT_EQ(nullptr, copy.owned);
    }
}

// Only bits 0 to 2 of the flag choose the input kind.
TEST(LoadSource, FlagBitsChooseTheInputKind) {
    TempFile file("http://a\r\n");
    const unsigned file_flags[] = {0, 8, 0x100, 0xFFFFFFF8u};
    for (unsigned flag : file_flags) {
        SourceCopy copy;
        EXPECT_EQ(SPI_SUCCESS, LoadSource(file.path.c_str(), 0, flag, &copy)) << "flag " << flag;
        EXPECT_EQ(10, copy.size) << "flag " << flag;
        ReleaseSource(&copy);
    }
}

TEST(LoadSource, MemoryImageIsUsedInPlace) {
    static const char kImage[] = "http://a\r\nhttp://b";
    const struct {
        const char* image;
        int64_t length;
        unsigned flag;
        int expected;
    } rows[] = {
        {kImage, 18, 1, SPI_SUCCESS}, {kImage, 18, 2, SPI_SUCCESS}, {kImage, 18, 4, SPI_SUCCESS},
        {kImage, 18, 7, SPI_SUCCESS}, {kImage, 5, 0x101, SPI_SUCCESS},
        {kImage, 0, 1, SPI_SUCCESS},  // an empty list
        {nullptr, 0, 1, SPI_SUCCESS},
        {nullptr, 5, 1, SPI_BROKEN_DATA},
        {kImage, -1, 1, SPI_BROKEN_DATA},
    };
    for (const auto& r : rows) {
        SourceCopy copy;
        memset(&copy, 0, sizeof copy);
        int got = LoadSource(r.image, r.length, r.flag, &copy);
        SCOPED_TRACE("length " + std::to_string(r.length) + " flag " + std::to_string(r.flag));
        ASSERT_EQ(r.expected, got);
        if (got != SPI_SUCCESS) continue;
        EXPECT_EQ(r.image, copy.data);
        EXPECT_EQ(r.length, copy.size);
        EXPECT_EQ(0, copy.start);
        EXPECT_EQ(nullptr, copy.owned);
        ReleaseSource(&copy);
    }
}

}  // namespace
