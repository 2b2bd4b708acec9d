// Arbitrary bytes as a date value: through ConvertHttpDate, through
// ParseHttpDate with each of the three patterns, and (as fields) through
// NormalizeLocalTime, for 32-bit and 64-bit timestamps; traps on any broken
// invariant. The value sits in an exact-size heap block, so an over-read is
// caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "http/httpdate.h"

static const int64_t kPreset = 0x5A5A5A5A5A5A;  // no conversion yields it
static const size_t kMaxValueLength = 255;
static const char* const kPatterns[] = {"w, d m y h:n:s t", "w, d-m-y h:n:s t", "w m d h:n:s y"};
static const int kPatternCount = 3;
static const int kAsctime = 2;

static void Require(bool holds) {
    if (!holds) __builtin_trap();
}

static bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

static bool IsInRangeDate(const SYSTEMTIME& st, TimestampWidth width) {
    static const unsigned char days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned lastYear = width == kTimestamp32 ? 2038 : 9999;
    if (st.wYear < 1970 || st.wYear > lastYear || st.wMonth < 1 || st.wMonth > 12) return false;
    unsigned last = days[st.wMonth - 1] + (st.wMonth == 2 && IsLeap(st.wYear) ? 1u : 0u);
    return st.wDay >= 1 && st.wDay <= last && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60;
}

// The fields that the conversion goes on with: those of the first pattern
// that fits, asctime ones normalised. Returns false when none fits.
static bool FirstFit(const char* value, SYSTEMTIME* st, TimestampWidth width) {
    for (int i = 0; i < kPatternCount; ++i) {
        if (ParseHttpDate(kPatterns[i], value, st, width) == 0) {
            if (i == kAsctime) NormalizeLocalTime(st, 0, width);
            return true;
        }
    }
    return false;
}

static void CheckConversion(const char* value, size_t length, TimestampWidth width) {
    int64_t seconds = kPreset;
    int result = ConvertHttpDate(value, &seconds, width);
    Require(result == 0 || result == -1);
    SYSTEMTIME st;
    bool fits = length <= kMaxValueLength && FirstFit(value, &st, width);
    if (result == 0) {
        Require(fits && st.wYear >= 1970 && seconds != kPreset);
        if (width == kTimestamp32) Require(seconds >= INT32_MIN && seconds <= INT32_MAX);
        if (width == kTimestamp64) Require(seconds >= 0);
    } else if (seconds == -1) {
        Require(fits && st.wYear < 1970);
    } else {
        Require(seconds == kPreset);
    }
}

static void CheckPatterns(const char* value) {
    for (int i = 0; i < kPatternCount; ++i) {
        SYSTEMTIME st;
        int result = ParseHttpDate(kPatterns[i], value, &st);
        Require(result == 0 || result == -1);
        if (result == 0) {
            Require(st.wMonth >= 1 && st.wMonth <= 12 && st.wDay != 0);
            Require(st.wDayOfWeek == 0 && st.wMilliseconds == 0);
        }
    }
    SYSTEMTIME st;
    int result = ParseHttpDate(value, value, &st);  // the input as its own pattern
    Require(result == 0 || result == -1);
}

// Normalised fields are either untouched or a real time inside the range.
static void CheckNormalize(const uint8_t* bytes, size_t n, TimestampWidth width) {
    SYSTEMTIME in;
    if (n < sizeof in) return;
    memcpy(&in, bytes, sizeof in);
    SYSTEMTIME out = in;
    NormalizeLocalTime(&out, 0, width);
    Require(memcmp(&in, &out, sizeof in) == 0 || IsInRangeDate(out, width));
    Require(out.wDayOfWeek == in.wDayOfWeek && out.wMilliseconds == in.wMilliseconds);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t n) {
    char* value = (char*)malloc(n + 1);
    if (value == NULL) return 0;
    memcpy(value, bytes, n);
    value[n] = '\0';
    size_t length = strlen(value);
    for (TimestampWidth width : {kTimestamp32, kTimestamp64}) {
        CheckConversion(value, length, width);
        CheckNormalize(bytes, n, width);
    }
    CheckPatterns(value);
    free(value);
    return 0;
}
