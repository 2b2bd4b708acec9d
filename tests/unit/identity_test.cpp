// GetPluginInfo and IsSupported through their exported signatures: the texts,
// how short buffers are cut and terminated, and which names are taken.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>

#include "plugin/spi.h"

namespace {

const char kUntouched = '#';
const int kBufferBytes = 80;

struct InfoRow {
    int infono;
    int buflen;
    int expected;       // return value
    const char* text;   // what must stand before the padding
};

TEST(PluginInfo, CopiesCutsAndPads) {
    const InfoRow rows[] = {
        {0, 16, 4, "00AM"},
        {0, 5, 4, "00AM"},    // exactly fits with its NUL
        {0, 4, 3, "00A"},     // cut, still terminated
        {0, 1, 0, ""},        // room for the NUL only
        {0, 0, 0, nullptr},   // nothing written
        {0, -1, 0, nullptr},
        {0, INT_MIN, 0, nullptr},
        {2, 16, 5, "*.ykt"},
        {2, 5, 4, "*.yk"},
        {3, 16, 15, "Pelloran(*.ykt)"},
        {3, 15, 14, "Pelloran(*.ykt"},
        {4, 16, 0, nullptr},  // no such text: buffer untouched
        {-1, 16, 0, nullptr},
        {INT_MAX, 16, 0, nullptr},
    };
    for (const InfoRow& r : rows) {
        char buf[kBufferBytes];
        memset(buf, kUntouched, sizeof buf);
        int got = GetPluginInfo(r.infono, buf, r.buflen);
        SCOPED_TRACE("infono " + std::to_string(r.infono) + " buflen " + std::to_string(r.buflen));
        EXPECT_EQ(r.expected, got);
        int written = 0;
        if (r.text) {
            written = r.buflen;
            EXPECT_EQ(std::string(r.text), std::string(buf, strlen(r.text)));
            for (int i = (int)strlen(r.text); i < r.buflen; ++i) EXPECT_EQ('\0', buf[i]) << "at " << i;
        }
        for (int i = written; i < kBufferBytes; ++i) EXPECT_EQ(kUntouched, buf[i]) << "at " << i;
    }
}

TEST(PluginInfo, NullBufferGivesZero) {
    EXPECT_EQ(0, GetPluginInfo(0, nullptr, 16));
    EXPECT_EQ(0, GetPluginInfo(1, nullptr, 0));
}

// Text 1 is the name and version, a line feed, then one line of notice.
TEST(PluginInfo, NameVersionAndNoticeLine) {
    char buf[kBufferBytes];
    int got = GetPluginInfo(1, buf, sizeof buf);
    ASSERT_GT(got, 0);
    ASSERT_LT(got, kBufferBytes - 1);  // not cut by this buffer
    std::string text(buf);
    EXPECT_EQ((size_t)got, text.size());
    const std::string head = "Pelloran ver 0.6\n";
    ASSERT_EQ(head, text.substr(0, head.size()));
    std::string notice = text.substr(head.size());
    EXPECT_FALSE(notice.empty());
    for (char c : notice) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "byte " << (int)(unsigned char)c;
}

struct NameRow {
    const char* name;
    int expected;
};

TEST(IsSupported, ByTheLastThreeCharacters) {
    const NameRow rows[] = {
        {"list.ykt", 1},      {"LIST.YKT", 1},     {"listykt", 1},  // no dot needed
        {"ykt", 1},           {"YKT", 1},          {"C:\\d\\a.ykt", 1},
        {"list.Ykt", 0},      {"list.yKT", 0},     {"a.YKt", 0},    // mixed case refused
        {"list.ykt ", 0},     {"list.ykt.txt", 0}, {"list.txt", 0},
        {"kt", 0},            {"t", 0},            {"", 0},
        {nullptr, 0},
    };
    // What the second argument points at never changes the answer.
    static const char kListBytes[] = "http://127.0.0.1/a.jpg\r\n";
    static const unsigned char kGarbage[] = {0xFF, 0x00, 0x59, 0x4B, 0x54};
    const DWORD_PTR seconds[] = {0, (DWORD_PTR)kListBytes, (DWORD_PTR)kGarbage, (DWORD_PTR)-1};
    for (const NameRow& r : rows) {
        for (DWORD_PTR dw : seconds) {
            EXPECT_EQ(r.expected, IsSupported(r.name, dw))
                << "name " << (r.name ? r.name : "(null)") << " dw " << dw;
        }
    }
}

}  // namespace
