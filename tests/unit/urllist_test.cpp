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

// The UTF-8 form of a NUL-terminated UTF-16 name, for comparing with rows.
std::string Utf8(const WCHAR* w) {
    std::string out;
    for (size_t i = 0; w[i]; ++i) {
        uint32_t cp = w[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && w[i + 1]) cp = 0x10000 + ((cp - 0xD800) << 10) + (w[++i] - 0xDC00);
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 63));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 63));
            out += (char)(0x80 | (cp & 63));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 63));
            out += (char)(0x80 | ((cp >> 6) & 63));
            out += (char)(0x80 | (cp & 63));
        }
    }
    return out;
}

std::string NameOf(const std::string& address, ListEncoding encoding) {
    std::vector<WCHAR> name((size_t)kWideNameCapacity, (WCHAR)'#');  // exact size for ASan
    DeriveMemberNameW(address.data(), address.size(), encoding, name.data());
    return Utf8(name.data());
}

TEST(DeriveMemberNameW, TextAfterTheLastSeparatorDecoded) {
    const std::string x300(300, 'x');
    const struct {
        const char* what;
        std::string url;
        std::string expected;  // UTF-8
    } rows[] = {
        {"last segment", "http://a/x/pic.jpg", "pic.jpg"},
        {"trailing slash", "http://a/x/", "index.html"},
        {"the query's last segment", "http://a/show?id=42", "42"},
        {"a port", "http://a:81", "81"},
        {"a bare host", "http://host", "host"},
        {"backslash", "http://a/x\\b.png", "b.png"},
        {"after '='", "http://a/b=", "index.html"},
        {"fragment dropped", "http://a/one.bin#frag", "one.bin"},
        {"fragment holding a slash", "http://a/one.bin#a/b", "one.bin"},
        {"percent-encoded UTF-8", "http://a/%E8%A1%A8%E7%A4%BA.png", "\xe8\xa1\xa8\xe7\xa4\xba.png"},
        {"lower-case escapes", "http://a/%e8%a1%a8", "\xe8\xa1\xa8"},
        {"escapes that are not UTF-8 stay", "http://a/a%FFb.png", "a%FFb.png"},
        {"half a character stays", "http://a/%E8%A1.png", "%E8%A1.png"},
        {"a decoded slash", "http://a/a%2Fb", "a_b"},
        {"decoded characters no file name holds", "http://a/%3C%3E%3A%22%7C%3F%2A%5C", "________"},
        {"a decoded control", "http://a/a%00b%0Ac", "a_b_c"},
        {"characters no file name holds", "http://a/q?x=a|b*c\"d", "a_b_c_d"},
        {"a space stays", "http://a/a%20b c", "a b c"},
        {"raw UTF-8", "http://a/\xe6\x97\xa5\xe6\x9c\xac.png", "\xe6\x97\xa5\xe6\x9c\xac.png"},
        {"a character past U+FFFF", "http://a/%F0%9F%93%B7.jpg", "\xf0\x9f\x93\xb7.jpg"},
        {"nothing but a fragment", "http://a/#x", "index.html"},
        {"a long name whole", "http://a/" + x300 + ".bin", x300 + ".bin"},
        // what a line without an address leaves in the buffer
        {"empty", "", "index.html"},
        {"a prefix", "http", "http"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.expected, NameOf(r.url, kListUtf8)) << r.what;
}

TEST(CutNameKeepingExtension, StemCutExtensionKept) {
    const struct {
        const char* what;
        std::string name;
        size_t limit;
        std::string expected;
    } rows[] = {
        {"short enough", "abc.bin", 199, "abc.bin"},
        {"254 characters", std::string(250, 'a') + ".bin", 199, std::string(195, 'a') + ".bin"},
        {"a long extension is cut", "a." + std::string(300, 'e'), 199, "a." + std::string(197, 'e')},
        {"no extension", std::string(300, 'a'), 199, std::string(199, 'a')},
        {"a leading dot is no extension", "." + std::string(300, 'a'), 199, "." + std::string(198, 'a')},
        {"the pair before the cut stays whole", std::string(194, 'a') + "\xf0\x9f\x93\xb7" +
                                                    std::string(20, 'b') + ".jpg",
         199, std::string(194, 'a') + ".jpg"},
    };
    for (const auto& r : rows) {
        std::vector<WCHAR> name((size_t)kWideNameCapacity, 0);
        std::string url = "http://a/" + r.name;
        DeriveMemberNameW(url.data(), url.size(), kListUtf8, name.data());
        CutNameKeepingExtension(name.data(), r.limit);
        EXPECT_EQ(r.expected, Utf8(name.data())) << r.what;
    }
}

TEST(DetectListEncoding, BomOrValidUtf8ElseAnsi) {
    const struct {
        const char* what;
        std::string bytes;
        ListEncoding expected;
    } rows[] = {
        {"ASCII", "http://a/b\r\n", kListUtf8},
        {"empty", "", kListUtf8},
        {"UTF-8 Japanese", "http://a/\xe6\x97\xa5.png\r\n", kListUtf8},
        {"a byte-order mark, then bytes that are not UTF-8", "\xef\xbb\xbfhttp://a/\x95\x5c", kListUtf8},
        {"Shift-JIS", "http://a/\x93\xfa\x96\x7b.png\r\n", kListAnsi},
        {"an overlong form", "http://a/\xc0\xaf", kListAnsi},
        {"a surrogate", "http://a/\xed\xa0\x80", kListAnsi},
        {"cut short at the end", "http://a/\xe6\x97", kListAnsi},
        {"U+FFFD itself", "http://a/\xef\xbf\xbd", kListUtf8},
    };
    for (const auto& r : rows) {
        std::vector<char> bytes(r.bytes.begin(), r.bytes.end());
        EXPECT_EQ(r.expected, DetectListEncoding(bytes.data(), (int64_t)bytes.size())) << r.what;
    }
    // A UTF-8 character across the checker's 1 MiB pieces.
    std::string big(1 << 20, 'a');
    big[(1 << 20) - 1] = '\xe6';
    big += "\x97\xa5";
    EXPECT_EQ(kListUtf8, DetectListEncoding(big.data(), (int64_t)big.size()));
}

TEST(AddressAsUtf8, ListTextToUtf8) {
    char out[64];
    EXPECT_TRUE(AddressAsUtf8("http://a/\xe6\x97\xa5", 12, kListUtf8, out, sizeof out));
    EXPECT_STREQ("http://a/\xe6\x97\xa5", out);
    // Latin-1 stands for the ANSI code page here (tests/native/codepage_test.cpp has 932).
    EXPECT_TRUE(AddressAsUtf8("http://a/\xe9", 10, kListAnsi, out, sizeof out));
    EXPECT_STREQ("http://a/\xc3\xa9", out);
    EXPECT_FALSE(AddressAsUtf8("http://a/\xe9", 10, kListAnsi, out, 11));  // 11 bytes + NUL
    EXPECT_TRUE(AddressAsUtf8("http://a/\xe9", 10, kListAnsi, out, 12));
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
