// The Unicode entry points: names of any characters (a list and an output
// directory in a folder named 日本語), records whose names are the ANSI ones
// converted with the ANSI code page (Latin-1 in the native build), lengths
// counted in characters, and NULL left for the host after a failure.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "plugin/spi.h"
#include "tests/native/cache_reset.h"
#include "tests/support/loopback_server.h"

namespace {

const unsigned kFile = 0;
const unsigned kMemory = 1;
const unsigned kToMemory = 0x100;
const char kBody[] = "twelve bytes";

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string ReadAll(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

class WideTest : public ::testing::Test {
protected:
    void SetUp() override {
        blocks_ = stub::LiveBlocks();
        base_ = ::testing::TempDir() + "kesta_wide_" + std::to_string(getpid());
        ASSERT_EQ(0, mkdir(base_.c_str(), 0700));
        dir_ = base_ + "/\u65e5\u672c\u8a9e";  // 日本語, as UTF-8 on Linux
        ASSERT_EQ(0, mkdir(dir_.c_str(), 0700));
        wideDir_ = Wide(base_) + u"/\u65e5\u672c\u8a9e";
        // The second name has a byte that the ANSI code page maps to é.
        doc_ = server_.Url("/a/pic.jpg") + "\r\n" + server_.Url("/b/caf\xe9.png") + "\r\n";
        FILE* f = fopen((dir_ + "/list.ykt").c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(doc_.data(), 1, doc_.size(), f);
        fclose(f);
        wideList_ = wideDir_ + u"/list.ykt";
    }
    void TearDown() override {
        EXPECT_EQ(blocks_, BlocksOutsideTheCache()) << "blocks leaked";
        std::string command = "rm -rf '" + base_ + "'";
        EXPECT_EQ(0, system(command.c_str()));
    }

    LoopbackServer server_{"HTTP/1.0 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n" +
                           std::string(kBody)};
    long blocks_ = 0;
    std::string base_, dir_, doc_;
    std::u16string wideDir_, wideList_;
};

TEST_F(WideTest, ListingAgreesWithTheAnsiListingAfterConversion) {
    HLOCAL a = NULL;
    HLOCAL w = NULL;
    ASSERT_EQ(0, GetArchiveInfo(doc_.data(), (LONG_PTR)doc_.size(), kMemory, &a));
    ASSERT_EQ(0, GetArchiveInfoW(wideList_.c_str(), 0, kFile, &w));
    ASSERT_EQ(3 * sizeof(fileInfo), LocalSize(a));
    ASSERT_EQ(3 * sizeof(fileInfoW), LocalSize(w));
    const fileInfo* ra = static_cast<const fileInfo*>(LocalLock(a));
    const fileInfoW* rw = static_cast<const fileInfoW*>(LocalLock(w));
    const std::u16string names[] = {u"pic.jpg", u"caf\u00e9.png"};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, memcmp(ra[i].method, rw[i].method, sizeof ra[i].method));
        EXPECT_EQ(ra[i].position, rw[i].position);
        EXPECT_EQ(ra[i].compsize, rw[i].compsize);
        EXPECT_EQ(ra[i].filesize, rw[i].filesize);
        EXPECT_EQ(ra[i].timestamp, rw[i].timestamp);
        EXPECT_EQ(names[i], std::u16string((const char16_t*)rw[i].filename)) << i;
        EXPECT_EQ(0, rw[i].path[0]);
        EXPECT_EQ(ra[i].crc, rw[i].crc);
    }
    static const fileInfoW kZero = {};
    EXPECT_EQ(0, memcmp(&rw[2], &kZero, sizeof kZero)) << "end record";
    LocalFree(a);
    LocalFree(w);
}

TEST_F(WideTest, LookupFindsTheConvertedName) {
    struct Row {
        std::u16string name;
        int code;
    } rows[] = {{u"caf\u00e9.png", 0}, {u"pic.jpg", 0}, {u"PIC.JPG", 6}, {u"caf", 6}, {u"", 6}};
    for (const Row& r : rows) {
        fileInfoW info;
        memset(&info, 0x5A, sizeof info);
        int got = GetFileInfoW(wideList_.c_str(), 0, (LPCWSTR)r.name.c_str(), kFile, &info);
        EXPECT_EQ(r.code, got);
        if (got == 0) {
            EXPECT_EQ(r.name, std::u16string((const char16_t*)info.filename));
            EXPECT_EQ(sizeof kBody - 1, info.filesize);
            EXPECT_EQ(784111777, info.timestamp);
        }
    }
}

TEST_F(WideTest, FileOutputIntoAFolderOfAnyName) {
    const size_t second = doc_.find("\r\n") + 2;
    ASSERT_EQ(0, GetFileW(wideList_.c_str(), (LONG_PTR)second, (LPWSTR)wideDir_.c_str(), kFile,
                          NULL, 0));
    EXPECT_EQ(kBody, ReadAll(dir_ + "/caf\u00e9.png"));
    HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
    ASSERT_EQ(0, GetFileW(wideList_.c_str(), 0, reinterpret_cast<LPWSTR>(&h), kFile | kToMemory,
                          NULL, 0));
    EXPECT_EQ(sizeof kBody - 1, LocalSize(h));
    LocalFree(h);
}

// A failed listing or memory extraction leaves NULL where the host looks for
// its block; a failed lookup leaves the record as it was.
TEST_F(WideTest, FailuresLeaveNullForTheHost) {
    const std::u16string missing = wideDir_ + u"/none.ykt";
    HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
    EXPECT_EQ(6, GetArchiveInfoW(missing.c_str(), 0, kFile, &h));
    EXPECT_EQ(nullptr, h);
    h = reinterpret_cast<HLOCAL>(0x77);
    EXPECT_EQ(3, GetFileW(wideList_.c_str(), 1, reinterpret_cast<LPWSTR>(&h), kToMemory, NULL, 0));
    EXPECT_EQ(nullptr, h);
    fileInfoW info;
    memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(6, GetFileInfoW(missing.c_str(), 0, (LPCWSTR)u"pic.jpg", kFile, &info));
    for (size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(0x5A, ((unsigned char*)&info)[i]) << i;
}

TEST(WideIdentity, TextsCountCharactersAndNamesEndInYkt) {
    struct InfoRow {
        int infono;
        int buflen;
        int result;
        std::u16string text;
    } infoRows[] = {{0, 16, 4, u"00AM"}, {0, 5, 4, u"00AM"}, {0, 4, 3, u"00A"},
                    {2, 6, 5, u"*.ykt"}, {4, 16, 0, u""},     {-1, 16, 0, u""}, {0, 0, 0, u""}};
    for (const InfoRow& r : infoRows) {
        WCHAR buf[16];
        for (WCHAR& c : buf) c = 0x7777;
        EXPECT_EQ(r.result, GetPluginInfoW(r.infono, buf, r.buflen)) << r.infono << "/" << r.buflen;
        if (r.result > 0) {
            EXPECT_EQ(r.text, std::u16string((const char16_t*)buf)) << r.infono;
            for (int i = r.result; i < r.buflen; ++i) EXPECT_EQ(0, buf[i]) << "padding " << i;
        }
        if (r.buflen < 16) EXPECT_EQ(0x7777, buf[r.buflen]) << "written past buflen";
    }
    struct NameRow {
        std::u16string name;
        int supported;
    } nameRows[] = {{u"list.ykt", 1}, {u"LIST.YKT", 1}, {u"list.Ykt", 0}, {u"\u65e5.ykt", 1},
                    {u"listykt", 1},  {u"kt", 0},       {u"", 0}};
    for (const NameRow& r : nameRows) {
        EXPECT_EQ(r.supported, IsSupportedW((LPCWSTR)r.name.c_str(), NULL));
    }
    EXPECT_EQ(0, IsSupportedW(NULL, NULL));
}

}  // namespace
