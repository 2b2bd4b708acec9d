// Header field lookup: names without regard to case, line ends, folds, the
// end of the search, the value buffer's capacity, and truncated blocks; the
// header block's end past 4 GiB and the fields a redirect is judged by.
// Blocks and value buffers sit in exact-size heap blocks, so an over-read or
// over-write shows up under AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/fieldcatch.h"
#include "http/header.h"
#include "http/response.h"

namespace {

const char kFill = '#';  // what an untouched value buffer holds
const int32_t kAnyMismatch = 2;  // any non-zero result; callers test for zero alone

struct Lookup {
    int32_t found;
    std::string value;  // the whole buffer when not found
};

Lookup LookUp(const std::string& block, const char* name, int32_t capacity) {
    std::vector<char> text(block.begin(), block.end());
    text.push_back('\0');
    std::vector<char> value(capacity > 0 ? capacity : 1, kFill);
    int32_t found = FindHeaderField(text.data(), name, value.data(), capacity);
    if (found != 1) return {found, std::string(value.begin(), value.end())};
    EXPECT_NE(nullptr, memchr(value.data(), '\0', value.size())) << "value not terminated";
    return {found, std::string(value.data())};
}

}  // namespace

TEST(HeaderBoundedLength, Rows) {
    struct Row { const char* text; int32_t count; int32_t expected; };
    const Row rows[] = {
        {"abc", -5, -5}, {"abc", 0, 0}, {"abc", 2, 2}, {"abc", 3, 3},
        {"abc", 10, 3},  {"", 5, 0},
        {nullptr, -1, -1},  // a negative count does not read the text
        {nullptr, 0, 0},    // nor does a count of 0
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.expected, BoundedLength(r.text, r.count))
            << "text " << (r.text ? r.text : "(null)") << " count " << r.count;
    }
}

TEST(HeaderCompareFieldName, Rows) {
    struct Row { const char* first; const char* second; int32_t count; int32_t expected; };
    const Row rows[] = {
        {"Date:", "date: x", 5, 0},        {"Date:", "DATE:x", 5, 0},
        {"Date:", "Dated: x", 5, kAnyMismatch},       {"Date:", "Da", 5, 1},
        {"abc", "abd", 3, -1},             {"abd", "ABC", 3, 1},
        {"abcX", "ABCy", 3, 0},            // only count bytes compared
        {"Date:", "DATE:", -1, 0},         {"Date", "Date:", -1, -1},  // negative: up to the NUL
        {"Nov", "nov", 4, 0},              {"Nov", "NOV", 4, 0},
        {"Nov", "November", 9, -1},     {"Nov", "No", 3, 1},
        {"", "", 0, 0},                    {"x", "y", 0, 0},
        {"Date:", "Date\r\n: x", 5, kAnyMismatch},
    };
    for (const Row& r : rows) {
        int32_t actual = CompareFieldName(r.first, r.second, r.count);
        std::string where = std::string(r.first) + " / " + r.second + " / " + std::to_string(r.count);
        if (r.expected == kAnyMismatch) {
            EXPECT_NE(0, actual) << where;
        } else {
            EXPECT_EQ(r.expected, actual) << where;
        }
    }
}

TEST(HeaderNextLine, Rows) {
    struct Row { const char* text; int offset; };
    const Row rows[] = {
        {"abc", 3},           {"", 0},
        {"a\r\nb", 3},        {"a\rb", 2},        {"a\nb", 2},
        {"a\n\rb", 2},        // LF CR: the CR starts the next line
        {"a\r\rb", 2},        {"a\r\n\r\n", 3},
        {"a\r\n b\r\nc", 7},  {"a\n\tb\nc", 5},   // continuations skipped
        {"a\r\n \r\n\tx\ny", 9},
        {"a\r\n", 3},         {"a\r\n ", 4},      // ends at the NUL
    };
    for (const Row& r : rows) {
        std::vector<char> text(r.text, r.text + strlen(r.text) + 1);
        EXPECT_EQ(r.offset, NextHeaderLine(text.data()) - text.data()) << "text " << testing::PrintToString(r.text);
    }
}

TEST(HeaderFindField, Rows) {
    const std::string status = "HTTP/1.0 200 OK\r\n";
    struct Row { const char* what; std::string block; const char* name; int32_t found; std::string value; };
    const int32_t capacity = 64;
    const std::string absent(capacity, kFill);
    const Row rows[] = {
        {"lower case line", status + "date: x\r\n\r\n", "Date:", 1, "x"},
        {"upper case, no space", status + "DATE:x\r\n", "Date:", 1, "x"},
        {"longer name first", status + "Dated: x\r\nDate: y\r\n", "Date:", 1, "y"},
        {"space before colon", status + "Date : y\r\n", "Date:", 0, absent},
        {"first of two", status + "Date: a\r\nDate: b\r\n", "Date:", 1, "a"},
        {"LF ends", "HTTP/1.0 200 OK\nServer: s\nDate: x\n\n", "Date:", 1, "x"},
        {"CR ends", "HTTP/1.0 200 OK\rServer: s\rDate: x\r\r", "Date:", 1, "x"},
        {"two LFs end", "HTTP/1.0 200 OK\nServer: s\n\nDate: x\n", "Date:", 0, absent},
        {"two CRs end", "HTTP/1.0 200 OK\rServer: s\r\rDate: x\r", "Date:", 0, absent},
        {"LF CR ends", "HTTP/1.0 200 OK\n\rDate: x\n\r", "Date:", 0, absent},
        {"CR CR LF ends", status + "Server: s\r\r\nDate: x\r\n", "Date:", 0, absent},
        {"empty first line", "\r\nDate: x\r\n", "Date:", 1, "x"},
        {"empty first LF line", "\nDate: x\n", "Date:", 1, "x"},
        {"no status line", "Date: x\r\nServer: s\r\n", "Date:", 1, "x"},
        {"continuation not a name", status + "Server: s\r\n Date: z\r\nDate: y\r\n", "Date:", 1, "y"},
        {"continuation only", status + "Server: s\r\n Date: z\r\n", "Date:", 0, absent},
        {"after empty line", status + "Server: s\r\n\r\nDate: x\r\nMore: m\r\n", "Date:", 0, absent},
        {"fold, one space", status + "Date: Thu, 01 Jan\r\n 1970 00:00:00 GMT\r\n", "Date:", 1,
         "Thu, 01 Jan1970 00:00:00 GMT"},
        {"fold, two spaces", status + "Date: Thu, 01 Jan\r\n  1970 00:00:00 GMT\r\n", "Date:", 1,
         "Thu, 01 Jan 1970 00:00:00 GMT"},
        {"fold, one tab", status + "Date: Thu, 01 Jan\r\n\t1970 00:00:00 GMT\r\n", "Date:", 1,
         "Thu, 01 Jan1970 00:00:00 GMT"},
        {"fold, LF ends", "HTTP/1.0 200 OK\nDate: a\n b\n\tc\nX: y\n", "Date:", 1, "abc"},
        {"fold, CR ends", "HTTP/1.0 200 OK\rDate: a\r b\r\tc\rX: y\r", "Date:", 1, "abc"},
        {"empty then fold", status + "Last-Modified:\r\n   Tue\r\n", "Last-Modified:", 1, "  Tue"},
        {"trailing spaces kept", status + "Date: a  \r\n", "Date:", 1, "a  "},
        {"tabs after name skipped", status + "Date:\t \tx\r\n", "Date:", 1, "x"},
        {"fold of one space", status + "Date: a\r\n \r\nX: y\r\n", "Date:", 1, "a"},
        {"fold of two spaces", status + "Date: a\r\n  \r\nX: y\r\n", "Date:", 1, "a "},
        {"value to the NUL", status + "Date: abc", "Date:", 1, "abc"},
        {"line end, space, NUL", status + "Date: abc\r\n ", "Date:", 1, "abc"},
        {"empty value", status + "Last-Modified:\r\nDate: x\r\n", "Last-Modified:", 1, ""},
        {"empty value at NUL", status + "Date:", "Date:", 1, ""},
        {"name cut by the NUL", status + "Dat", "Date:", 0, absent},
        {"empty block", "", "Date:", 0, absent},
        {"status line only", "HTTP/1.0 200 OK", "Date:", 0, absent},
    };
    for (const Row& r : rows) {
        Lookup actual = LookUp(r.block, r.name, capacity);
        EXPECT_EQ(r.found, actual.found) << r.what;
        EXPECT_EQ(r.value, actual.value) << r.what;
    }
}

TEST(HeaderFindField, CapacityCutsAndTerminates) {
    const std::string longValue(2000, 'v');
    const std::string block = "HTTP/1.0 200 OK\r\nDate: " + longValue + "\r\nX: y\r\n";
    struct Row { int32_t capacity; int32_t found; std::string value; };
    const Row rows[] = {
        {1024, 1, longValue.substr(0, 1023)}, {2001, 1, longValue}, {2000, 1, longValue.substr(0, 1999)},
        {1, 1, ""},  {2, 1, "v"},
        {0, 0, std::string(1, kFill)},  {-1, 0, std::string(1, kFill)},  // no room: absent, no write
    };
    for (const Row& r : rows) {
        Lookup actual = LookUp(block, "Date:", r.capacity);
        EXPECT_EQ(r.found, actual.found) << "capacity " << r.capacity;
        EXPECT_EQ(r.value, actual.value) << "capacity " << r.capacity;
    }
    // A cut that falls on a fold: the fold's bytes take no room.
    Lookup folded = LookUp("Date: ab\r\n cd", "Date:", 4);
    EXPECT_EQ("abc", folded.value);
}

// Every prefix of a block gives a defined answer: the field is found once its
// name is complete, and its value is then a prefix of the whole value.
TEST(HeaderFindField, TruncationLadder) {
    const std::string block =
        "HTTP/1.0 200 OK\r\nServer: x\r\n Date: no\r\nDate: Sun, 06\r\n  Nov\r\n\r\nLast-Modified: z\r\n";
    const std::string fullValue = "Sun, 06 Nov";
    const size_t nameEnd = block.find("\nDate:") + 6;
    for (size_t n = 0; n <= block.size(); ++n) {
        std::string prefix = block.substr(0, n);
        Lookup date = LookUp(prefix, "Date:", 64);
        EXPECT_EQ(n >= nameEnd ? 1 : 0, date.found) << "prefix length " << n;
        if (date.found == 1) {
            EXPECT_EQ(0u, fullValue.find(date.value)) << "prefix length " << n << " value " << date.value;
        }
        EXPECT_EQ(0, LookUp(prefix, "Last-Modified:", 64).found) << "prefix length " << n;
    }
    EXPECT_EQ(fullValue, LookUp(block, "Date:", 64).value);
}

// A header that runs past 4 GiB before its end is counted in 64 bits in both
// widths: its length is not taken modulo 2^32.
TEST(HeaderEndScan, CountsPast4GiB) {
    HeaderEndScan scan;
    memset(&scan, 0, sizeof scan);
    scan.seen = 0xFFFFFFF0u;  // as if that many bytes without a line end had gone by
    const unsigned char bytes[] = "ab\r\n\r\nbody";
    ScanForHeaderEnd(&scan, bytes, sizeof bytes - 1);
    ASSERT_TRUE(scan.found);
    EXPECT_EQ(0xFFFFFFF0u + 6, scan.headerLength);
}

TEST(ResponseFields, StatusLocationAndLength) {
    const struct {
        const char* head;
        int status;
        const char* location;  // NULL: none
        int64_t length;        // -1: none
    } rows[] = {
        {"HTTP/1.0 302 Found\r\nLocation: /x\r\n", 302, "/x", -1},
        {"http/1.1 301\r\nlocation:\t/y \t\r\nContent-Length: 12 \r\n", 301, "/y", 12},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12x\r\n", 200, NULL, -1},
        {"HTTP/1.0 200 OK\r\nContent-Length: -1\r\n", 200, NULL, -1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n", 200, NULL, -1},
        {"HTTP/1.0 307 X\r\nLocation:   \r\n", 307, NULL, -1},
        {"HTTP/1.0 3022 X\r\nLocation: /z\r\n", 0, "/z", -1},
        {"HTTP/1.0  303\r\n", 303, NULL, -1},
        {"ICY 200 OK\r\n", 0, NULL, -1},
        {"HTTP/1.0 30\r\n", 0, NULL, -1},
        {"", 0, NULL, -1},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.status, StatusCode(r.head)) << r.head;
        char location[64];
        bool found = FindLocation(r.head, location, (int)sizeof location);
        EXPECT_EQ(r.location != NULL, found) << r.head;
        if (found && r.location) {
            EXPECT_STREQ(r.location, location) << r.head;
        }
        int64_t length = -1;
        AnnouncedLength(r.head, &length);
        EXPECT_EQ(r.length, length) << r.head;
    }
}

// A field caught as the block streams in is the field the lookup finds in the
// whole block, wherever the stream is cut: folds, line ends, the first of two,
// the empty line that ends the search, a NUL, a value cut at its capacity.
TEST(FieldCatch, FindsWhatTheLookupFindsAtEverySplit) {
    const char* const blocks[] = {
        "HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\nbody",
        "HTTP/1.0 302 Found\nX: 1\nlocation:\t /a/b \n\nLocation: /no",
        "HTTP/1.0 302 Found\r\n Location: /fold-is-no-name\r\nLOCATION: /y\r\n\r\n",
        "HTTP/1.0 302 Found\r\nLocation: /a\r\n  b\r\n\tc\r\nX: 1\r\n\r\n",
        "HTTP/1.0 302 Found\r\rLocation: /after-empty-line\r\n",
        "HTTP/1.0 302 Found\n\rLocation: /lf-cr\n",
        "\r\nLocation: /first-line-empty\r\n",
        "Location: /first-line\r\nLocation: /second",
        "HTTP/1.0 302\r\nLoc\r\nation: /split-name\r\nLocation: /z \r\n \r\n",
        "HTTP/1.0 302\r\nLocation: /runs-to-the-end",
        "HTTP/1.0 302\r\nLocation:",
        "HTTP/1.0 302\r\nLocation: /cut-at-capacity-0123456789\r\n",
        "HTTP/1.0 302\r\nDate: x\r\nLocation: /x\r\nContent-Length: 7\r\n\r\n",
    };
    const char* const names[] = {"Location:", "Content-Length:", "Date:"};
    const size_t kCapacity = 24;
    for (const char* block : blocks) {
        const std::string text(block);
        for (const char* name : names) {
            Lookup want = LookUp(text, name, (int32_t)kCapacity);
            for (size_t cut = 0; cut <= text.size(); ++cut) {
                char value[kCapacity];
                FieldCatch c;
                FieldCatchStart(&c, name, value, sizeof value);
                FieldCatchFeed(&c, text.data(), cut);
                FieldCatchFeed(&c, text.data() + cut, text.size() - cut);
                FieldCatchEnd(&c);
                SCOPED_TRACE(text + " / " + name + " cut at " + std::to_string(cut));
                ASSERT_EQ(want.found == 1, c.found);
                if (c.found) {
                    ASSERT_EQ(want.value, std::string(value));
                }
            }
            // and a NUL in the stream ends the search as the block's end does
            char value[kCapacity];
            FieldCatch c;
            FieldCatchStart(&c, name, value, sizeof value);
            FieldCatchFeed(&c, text.c_str(), text.size() + 1);
            FieldCatchFeed(&c, "Location: /after-nul\r\n", 23);
            FieldCatchEnd(&c);
            EXPECT_EQ(want.found == 1, c.found) << text << " / " << name << " NUL";
        }
    }
}

// A list field joins every line of its name, wherever the stream is cut;
// the empty line still ends the search, and a joined value past the
// capacity is cut and marked.
TEST(FieldCatch, ListFieldJoinsEveryLineAtEverySplit) {
    struct Row {
        const char* block;
        bool found;
        const char* value;
        bool overlong;
    } const rows[] = {
        {"HTTP/1.1 200 OK\r\nCache-Control: public\r\nX: 1\r\ncache-control:no-store\r\n\r\n", true,
         "public, no-store", false},
        {"HTTP/1.1 200 OK\nCache-Control: a\n b\nCache-Control: c\n\nCache-Control: body", true,
         "ab, c", false},
        {"HTTP/1.1 200 OK\r\nCache-Control:\r\nCache-Control: max-age=5", true, ", max-age=5", false},
        {"HTTP/1.1 200 OK\r\nCache-Control: max-age=1, must-revalidate\r\nCache-Control: private, "
         "no-cache\r\n\r\n",
         true, "max-age=1, must-revalidate, p", true},
        {"HTTP/1.1 200 OK\r\nX-Cache-Control: no-store\r\n\r\n", false, "", false},
    };
    const size_t kCapacity = 30;
    for (const Row& row : rows) {
        const std::string text(row.block);
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            char value[kCapacity];
            FieldCatch c;
            FieldCatchStartList(&c, "Cache-Control:", value, sizeof value);
            FieldCatchFeed(&c, text.data(), cut);
            FieldCatchFeed(&c, text.data() + cut, text.size() - cut);
            FieldCatchEnd(&c);
            SCOPED_TRACE(text + " cut at " + std::to_string(cut));
            ASSERT_EQ(row.found, c.found);
            ASSERT_EQ(row.overlong, c.overlong);
            ASSERT_STREQ(row.value, value);
        }
    }
}
