// HTTP date conversion: the three forms, rejections, the 1970 and 2038 edges,
// carry-over of "GMT" and asctime dates, and truncated values, for 32-bit and
// 64-bit timestamps in every build. Every result is the same in every time
// zone; ctest runs these under TZ=UTC and TZ=PST8PDT.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "http/httpdate.h"

namespace {

const int64_t kUntouched = 12345;  // the slot's preset; a failure leaves it
const int64_t kAsIn32 = INT64_MIN;  // a row's 64-bit outcome is its 32-bit one

struct Conversion {
    int result;
    int64_t seconds;
};

// Converts `value` placed at the end of an exact-size heap block.
Conversion Convert(const std::string& value, TimestampWidth width = kTimestamp32) {
    std::vector<char> text(value.begin(), value.end());
    text.push_back('\0');
    int64_t seconds = kUntouched;
    int result = ConvertHttpDate(text.data(), &seconds, width);
    return {result, seconds};
}

struct Fields { int year, month, day, hour, minute, second; };

Fields FieldsOf(const SYSTEMTIME& st) {
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

std::string Show(const Fields& f) {
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour,
             f.minute, f.second);
    return text;
}

}  // namespace

TEST(ConvertHttpDate, Rows) {
    // result and seconds with 32-bit timestamps; then with 64-bit ones where
    // they differ: no wrap after 2038 and carry-over up to 9999
    struct Row {
        const char* value;
        int result;
        int64_t seconds;
        int result64 = 0;
        int64_t seconds64 = kAsIn32;
    };
    const Row rows[] = {
        // the three forms
        {"Sun, 06 Nov 1994 08:49:37 GMT", 0, 784111777},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 0, 784111777},
        {"Sun Nov  6 08:49:37 1994", 0, 784111777},
        // other zone tokens are neither applied nor normalised
        {"Sun, 06 Nov 1994 08:49:37 UTC", 0, 784111777},
        {"Sun, 06 Nov 1994 08:49:37 +0900", 0, 784111777},
        {"Sun, 06 Nov 1994 08:49:37 GMT+0900", 0, 784111777},
        // summer dates: a local reading in a daylight-saving zone would add an hour
        {"Wed, 06 Jul 1994 08:49:37 GMT", 0, 773484577},
        {"Wednesday, 06-Jul-94 08:49:37 GMT", 0, 773484577},
        {"Wed Jul  6 08:49:37 1994", 0, 773484577},
        // case, missing and trailing zone, spacing
        {"sun, 06 nov 1994 08:49:37 gmt", 0, 784111777},
        {"SUN, 06 NOV 1994 08:49:37 GMT", 0, 784111777},
        {"Sun, 06 Nov 1994 08:49:37", 0, 784111777},
        {"Sun, 06 Nov 1994 08:49:37 GMT (extra)", 0, 784111777},
        {"Sun,06 Nov 1994 08:49:37 GMT", 0, 784111777},
        {"Sun,   06   Nov   1994   08:49:37   GMT", 0, 784111777},
        {"Sun,\t06 Nov 1994 08:49:37 GMT", -1, kUntouched},
        {"Sun, 6 Nov 1994 8:9:7 GMT", 0, 784109347},
        {"Sun, 65542 Nov 1994 08:49:37 +0000", 0, 784111777},  // day 65542 is 6 in 16 bits
        // rejections
        {"Sun, 06 November 1994 08:49:37 GMT", -1, kUntouched},
        {"Sun, 06 No 1994 08:49:37 GMT", -1, kUntouched},
        {"06 Nov 1994 08:49:37 GMT", -1, kUntouched},
        {"Sun, 00 Nov 1994 08:49:37 GMT", -1, kUntouched},
        {"Sun, 06 Nov 1994 25:00:00 +0000", -1, kUntouched},
        {"Sun, 06 Nov 1994 08:60:00 +0000", -1, kUntouched},
        {"Sun, 31 Apr 1994 00:00:00 +0000", -1, kUntouched},
        {"", -1, kUntouched},
        {"garbage", -1, kUntouched},
        // two-digit and missing years
        {"Sunday, 06-Nov-71 08:49:37 GMT", 0, 58265377},
        {"Sunday, 06-Nov-00 08:49:37 GMT", 0, 973500577},
        {"Sunday, 06-Nov-70 08:49:37 GMT", 0, -1112477919, 0, 3182489377},
        {"Sun, 06 Nov  08:49:37 GMT", 0, 1225932577},
        // the ends of the range
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0, 0},
        {"Wed, 31 Dec 1969 23:59:59 +0000", -1, -1},
        {"Wed, 31 Dec 1969 23:59:59 GMT", -1, -1},
        {"Wed, 31 Dec 1969 23:59:60 GMT", 0, 0},
        {"Mon, 01 Jan 1900 00:00:00 GMT", -1, -1},
        {"Tue, 19 Jan 2038 03:14:07 +0000", 0, 2147483647},
        {"Tue, 19 Jan 2038 03:14:08 +0000", 0, -2147483647 - 1, 0, 2147483648},
        {"Tue, 19 Jan 2038 03:14:08 GMT", 0, -2147483647 - 1, 0, 2147483648},
        {"Sun, 07 Feb 2106 06:28:16 GMT", 0, 0, 0, 4294967296},
        {"Fri, 31 Dec 9999 23:59:59 GMT", 0, -769665, 0, 253402300799},
        // carry-over under "GMT" and asctime only
        {"Sat, 31 Dec 2016 23:59:60 GMT", 0, 1483228800},
        {"Tue, 29 Feb 2011 10:00:00 GMT", 0, 1298973600},
        {"Sun, 06 Nov 1994 24:00:00 GMT", 0, 784166400},
        {"Sun, 31 Apr 1994 00:00:00 GMT", 0, 767750400},
        {"Sun Nov  6 24:00:00 1994", 0, 784166400},
        {"Sat, 31 Dec 2016 23:59:60 +0000", -1, kUntouched},
        {"Tue, 29 Feb 2011 10:00:00 +0000", -1, kUntouched},  // Wine's validator alone takes it
        {"Sat, 31 Dec 2039 23:59:60 GMT", -1, kUntouched, 0, 2208988800},  // too late for 32 bits
        {"Fri, 31 Dec 9999 23:59:60 GMT", -1, kUntouched},  // too late for 64 bits too
        // leap years
        {"Mon, 29 Feb 2016 10:00:00 +0000", 0, 1456740000},
        {"Tue, 29 Feb 2000 00:00:00 +0000", 0, 951782400},
        {"Mon, 29 Feb 2100 00:00:00 +0000", -1, kUntouched},
    };
    for (const Row& r : rows) {
        Conversion actual = Convert(r.value, kTimestamp32);
        EXPECT_EQ(r.result, actual.result) << r.value;
        EXPECT_EQ(r.seconds, actual.seconds) << r.value;
        bool same = r.seconds64 == kAsIn32;
        actual = Convert(r.value, kTimestamp64);
        EXPECT_EQ(same ? r.result : r.result64, actual.result) << "64-bit " << r.value;
        EXPECT_EQ(same ? r.seconds : r.seconds64, actual.seconds) << "64-bit " << r.value;
    }
}

TEST(ConvertHttpDate, LengthLimit) {
    const std::string date = "Sun, 06 Nov 1994 08:49:37 GMT ";
    struct Row { size_t length; int result; int64_t seconds; };
    const Row rows[] = {{255, 0, 784111777}, {256, -1, kUntouched}, {1000, -1, kUntouched}};
    for (const Row& r : rows) {
        Conversion actual = Convert(date + std::string(r.length - date.size(), 'x'));
        EXPECT_EQ(r.result, actual.result) << "length " << r.length;
        EXPECT_EQ(r.seconds, actual.seconds) << "length " << r.length;
    }
    int64_t seconds = kUntouched;
    EXPECT_EQ(-1, ConvertHttpDate(nullptr, &seconds));
    EXPECT_EQ(kUntouched, seconds);
}

// Every prefix of a valid date gives a defined answer: a prefix that ends
// before the last colon fails at a literal; a longer one reads the missing
// fields as empty runs (second 0, asctime year 2000) and succeeds.
TEST(ConvertHttpDate, TruncationLadder) {
    const char* const dates[] = {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                                 "Sun Nov  6 08:49:37 1994"};
    for (const char* date : dates) {
        const std::string full = date;
        const size_t lastColon = full.rfind(':');
        for (size_t n = 0; n <= full.size(); ++n) {
            Conversion actual = Convert(full.substr(0, n));
            int expected = n > lastColon ? 0 : -1;
            EXPECT_EQ(expected, actual.result) << full.substr(0, n);
            if (expected == -1) {
                EXPECT_EQ(kUntouched, actual.seconds) << full.substr(0, n);
            }
        }
        EXPECT_EQ(784111777, Convert(full).seconds) << full;
    }
}

TEST(ParseHttpDate, Rows) {
    struct Row { const char* pattern; const char* text; int result; Fields fields; };
    const Row rows[] = {
        {"w, d m y h:n:s t", "Sun, 06 Nov 1994 08:49:37 GMT", 0, {1994, 11, 6, 8, 49, 37}},
        {"w, d m y h:n:s t", "Sat, 31 Dec 2016 23:59:60 GMT", 0, {2017, 1, 1, 0, 0, 0}},
        {"w, d m y h:n:s t", "Sat, 31 Dec 2016 23:59:60 UTC", 0, {2016, 12, 31, 23, 59, 60}},
        {"w, d m y h:n:s t", "Sat, 31 Dec 2016 23:59:60 G-MT", 0, {2016, 12, 31, 23, 59, 60}},
        {"w, d m y h:n:s t", "Sun, 06 Nov 1994 08:49", -1, {}},
        {"w, d-m-y h:n:s t", "Sun, 06 Nov 1994 08:49:37 GMT", -1, {}},
        {"w m d h:n:s y", "Sun Nov  6 08:49:37 1994", 0, {1994, 11, 6, 8, 49, 37}},
        {"w m d h:n:s y", "Sun Nov  6 08:49:37 1994 GMT", 0, {1994, 11, 6, 8, 49, 37}},
        {"d m", "6 Dec", 0, {0, 12, 6, 0, 0, 0}},
        {"d m y", "6 Dec", 0, {2000, 12, 6, 0, 0, 0}},   // fields after the end are empty runs
        {"d", "0", -1, {}},
        {"d", "65536", -1, {}},                          // 0 in 16 bits
        {"m", "", -1, {}},
        {"x", "X", -1, {}},                              // literals keep their case
        {"", "anything", 0, {}},
    };
    for (const Row& r : rows) {
        SYSTEMTIME st;
        memset(&st, 0xFF, sizeof st);
        int result = ParseHttpDate(r.pattern, r.text, &st);
        EXPECT_EQ(r.result, result) << r.pattern << " / " << r.text;
        if (r.result == 0) {
            EXPECT_EQ(Show(r.fields), Show(FieldsOf(st))) << r.pattern << " / " << r.text;
            EXPECT_EQ(0, st.wDayOfWeek) << r.text;
            EXPECT_EQ(0, st.wMilliseconds) << r.text;
        }
    }
}

TEST(ParseHttpDate, YearRule) {
    struct Row { const char* digits; int year; };
    const Row rows[] = {
        {"", 2000},     {"0", 2000},      {"00", 2000},     {"70", 2070},   {"71", 1971},
        {"94", 1994},   {"100", 2000},    {"1899", 3799},   {"1900", 1900}, {"2038", 2038},
        {"65535", 65535}, {"65536", 2000}, {"67436", 1900},  // reduced modulo 65536 first
        {"000000000000000000001994", 1994},                 // leading zeros, longer than 32 bits
    };
    for (const Row& r : rows) {
        SYSTEMTIME st;
        ASSERT_EQ(0, ParseHttpDate("y", r.digits, &st)) << r.digits;
        EXPECT_EQ(r.year, st.wYear) << "digits " << r.digits;
    }
}

TEST(NormalizeLocalTimeDate, Rows) {
    struct Row { Fields in; int shift; Fields out; TimestampWidth width = kTimestamp32; };
    const Row rows[] = {
        {{1994, 11, 6, 8, 49, 37}, 0, {1994, 11, 6, 8, 49, 37}},
        {{1994, 7, 6, 8, 49, 37}, 0, {1994, 7, 6, 8, 49, 37}},     // no daylight-saving hour
        {{2016, 12, 31, 23, 59, 60}, 0, {2017, 1, 1, 0, 0, 0}},
        {{2011, 2, 29, 10, 0, 0}, 0, {2011, 3, 1, 10, 0, 0}},
        {{2012, 2, 29, 10, 0, 0}, 0, {2012, 2, 29, 10, 0, 0}},
        {{1994, 4, 31, 0, 0, 0}, 0, {1994, 5, 1, 0, 0, 0}},
        {{1994, 11, 6, 24, 0, 0}, 0, {1994, 11, 7, 0, 0, 0}},
        {{1995, 0, 1, 0, 0, 0}, 0, {1994, 12, 1, 0, 0, 0}},       // month 0: December before
        {{1994, 13, 1, 0, 0, 0}, 0, {1995, 1, 1, 0, 0, 0}},
        {{1970, 1, 1, 65535, 0, 0}, 0, {1977, 6, 23, 15, 0, 0}},
        {{1970, 1, 1, 0, 0, 65535}, 0, {1970, 1, 1, 18, 12, 15}},
        {{1969, 12, 31, 23, 59, 60}, 0, {1970, 1, 1, 0, 0, 0}},
        {{2038, 1, 19, 3, 14, 7}, 0, {2038, 1, 19, 3, 14, 7}},
        {{1994, 11, 6, 8, 49, 37}, 1, {1994, 11, 6, 9, 49, 37}},
        {{1994, 11, 6, 8, 49, 37}, -9, {1994, 11, 5, 23, 49, 37}},
        // outside 1970-01-01 .. 2038-01-19 03:14:07: unchanged but for the shift
        {{1969, 12, 31, 23, 59, 59}, 0, {1969, 12, 31, 23, 59, 59}},
        {{2038, 1, 19, 3, 14, 8}, 0, {2038, 1, 19, 3, 14, 8}},
        {{1970, 1, 65535, 0, 0, 0}, 0, {1970, 1, 65535, 0, 0, 0}},
        {{1968, 12, 31, 24, 0, 400}, 0, {1968, 12, 31, 24, 0, 400}},  // year before 1969
        {{2040, 1, 1, 0, 0, 0}, 0, {2040, 1, 1, 0, 0, 0}},
        {{1900, 1, 1, 5, 0, 0}, 2, {1900, 1, 1, 7, 0, 0}},
        {{1900, 1, 1, 0, 0, 0}, -1, {1900, 1, 1, 65535, 0, 0}},
        // 64-bit timestamps carry over up to 9999-12-31 23:59:59
        {{2039, 12, 31, 23, 59, 60}, 0, {2040, 1, 1, 0, 0, 0}, kTimestamp64},
        {{2038, 1, 19, 3, 14, 8}, 0, {2038, 1, 19, 3, 14, 8}, kTimestamp64},
        {{9999, 12, 31, 23, 59, 59}, 0, {9999, 12, 31, 23, 59, 59}, kTimestamp64},
        {{9999, 12, 31, 23, 59, 60}, 0, {9999, 12, 31, 23, 59, 60}, kTimestamp64},
        {{30000, 1, 1, 0, 0, 0}, 0, {30000, 1, 1, 0, 0, 0}, kTimestamp64},
        {{1969, 12, 31, 23, 59, 59}, 0, {1969, 12, 31, 23, 59, 59}, kTimestamp64},
        {{1969, 12, 31, 23, 59, 60}, 0, {1970, 1, 1, 0, 0, 0}, kTimestamp64},
    };
    for (const Row& r : rows) {
        SYSTEMTIME st = {};
        st.wYear = (WORD)r.in.year;
        st.wMonth = (WORD)r.in.month;
        st.wDay = (WORD)r.in.day;
        st.wHour = (WORD)r.in.hour;
        st.wMinute = (WORD)r.in.minute;
        st.wSecond = (WORD)r.in.second;
        st.wDayOfWeek = 5;
        st.wMilliseconds = 7;
        NormalizeLocalTime(&st, r.shift, r.width);
        EXPECT_EQ(Show(r.out), Show(FieldsOf(st))) << Show(r.in) << " shift " << r.shift;
        EXPECT_EQ(5, st.wDayOfWeek) << Show(r.in);
        EXPECT_EQ(7, st.wMilliseconds) << Show(r.in);
    }
}
