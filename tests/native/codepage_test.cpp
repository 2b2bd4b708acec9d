// Member names under code page 932 (Shift-JIS), where the second byte of a
// double-byte character may be 0x5C, the byte of '\': ソ, 表, 能 and 予 end
// in it. The name rule takes separators only at single-byte positions, the
// 199-byte cut of the records never keeps half a character, and the Unicode
// records and lookups carry the characters themselves. (The native build
// stands in for code page 932 with iconv; the Wine tests run the same in a
// Japanese prefix.)
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "http/messages.h"
#include "plugin/records.h"
#include "plugin/spi.h"
#include "tests/support/loopback_server.h"
#include "urllist/urllist.h"

namespace {

const char kSo[] = "\x83\x5C";   // ソ
const char kHyo[] = "\x95\x5C";  // 表
const char kNo[] = "\x94\x5C";   // 能
const char kYo[] = "\x97\x5C";   // 予

class ShiftJis : public ::testing::Test {
protected:
    void SetUp() override { stub::SetAnsiCodePage(932); }
    void TearDown() override { stub::SetAnsiCodePage(1252); }
};

// The ANSI record name of an address in a Shift-JIS list.
std::string Name(const std::string& url) {
    Member m;
    NameMember(url.c_str(), kListAnsi, &m);
    return m.name;
}

std::string Record(const std::string& name) { return Name("http://h/" + name); }

TEST_F(ShiftJis, SeparatorsOnlyAtSingleBytePositions) {
    const struct {
        std::string url;
        std::string name;
    } rows[] = {
        {"http://h/a/" + std::string(kSo) + ".jpg", std::string(kSo) + ".jpg"},
        {"http://h/" + std::string(kHyo) + kNo + kYo + ".png", std::string(kHyo) + kNo + kYo + ".png"},
        {"http://h/a\\" + std::string(kSo), kSo},            // a real '\' still separates
        {"http://h/" + std::string(kSo) + "\\b.gif", "b.gif"},  // after the character
        {"http://h/x?n=" + std::string(kYo), kYo},
        // a character the code page cannot hold becomes '_', never a look-alike
        {"http://h/%C2%A5%E2%80%94.png", "__.png"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.name, Name(r.url)) << r.url;
    // In code page 1252 the same bytes are two characters, the second a '\'.
    stub::SetAnsiCodePage(1252);
    EXPECT_EQ(".jpg", Name("http://h/a/" + std::string(kSo) + ".jpg"));
}

TEST_F(ShiftJis, CutsKeepWholeCharacters) {
    const std::string a198(198, 'a');
    const std::string a197(197, 'a');
    EXPECT_EQ(a198, Record(a198 + kSo));            // 200 bytes: the pair would straddle 199
    EXPECT_EQ(a197 + kSo, Record(a197 + kSo + "z"));  // ends on the pair's second byte
    EXPECT_EQ(std::string(199, 'a'), Record(std::string(230, 'a')));
    // A short extension is kept: the stem is cut, whole characters only.
    EXPECT_EQ(std::string(193, 'a') + kSo + ".bin", Record(std::string(193, 'a') + kSo + kSo + ".bin"));
}

// Listed through both entry points, found by both under the real names.
TEST_F(ShiftJis, ListingAndLookupUnderTheRealNames) {
    std::string base = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/";
    std::string doc = base + kSo + ".jpg\r\n" + base + kHyo + ".png\r\n";
    HLOCAL a = NULL;
    HLOCAL w = NULL;
    ASSERT_EQ(0, GetArchiveInfo(doc.data(), (LONG_PTR)doc.size(), 1, &a));
    ASSERT_EQ(0, GetArchiveInfoW(reinterpret_cast<LPCWSTR>(doc.data()), (LONG_PTR)doc.size(), 1, &w));
    const fileInfo* ra = static_cast<const fileInfo*>(LocalLock(a));
    const fileInfoW* rw = static_cast<const fileInfoW*>(LocalLock(w));
    EXPECT_STREQ((std::string(kSo) + ".jpg").c_str(), ra[0].filename);
    EXPECT_STREQ((std::string(kHyo) + ".png").c_str(), ra[1].filename);
    const char16_t so[] = u"\u30BD.jpg";
    EXPECT_EQ(0, memcmp(rw[0].filename, so, sizeof so));
    LocalFree(a);
    LocalFree(w);
    // Nothing listens, so a found member's download fails: its last-error
    // text (a failed connect) tells a found name from one not found.
    fileInfo info;
    fileInfoW infoW;
    RecordFetchMessage(kFetchOk);
    EXPECT_EQ(6, GetFileInfo(doc.data(), (LONG_PTR)doc.size(), (std::string(kSo) + ".jpg").c_str(),
                             1, &info));
    std::string ansiText = HttpLastError();
    RecordFetchMessage(kFetchOk);
    EXPECT_EQ(6, GetFileInfoW(reinterpret_cast<LPCWSTR>(doc.data()), (LONG_PTR)doc.size(),
                              reinterpret_cast<LPCWSTR>(so), 1, &infoW));
    std::string wideText = HttpLastError();
    RecordFetchMessage(kFetchConnectFailed);
    std::string connectFailed = HttpLastError();
    EXPECT_EQ(connectFailed, ansiText) << "the ANSI lookup found the name";
    EXPECT_EQ(connectFailed, wideText) << "the Unicode lookup found the name";
}

}  // namespace
