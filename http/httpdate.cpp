// HTTP/1.0 date values (RFC 1945 section 3.3) to seconds since 1970, the
// fields counted as UTC. Three forms are accepted, tried in this order:
//   RFC 1123:  Sun, 06 Nov 1994 08:49:37 GMT
//   RFC 850:   Sunday, 06-Nov-94 08:49:37 GMT
//   asctime:   Sun Nov  6 08:49:37 1994
// A zone other than "GMT" is read but never applied; "GMT" and asctime dates
// have out-of-range fields carried over (23:59:60 is the next minute).
#include "http/httpdate.h"

#include <string.h>

#include "http/calendar.h"
#include "http/header.h"

// 255: the longest value admitted, so that any run fits a 256-byte buffer.
static const int kMaxValueLength = 255;
static const int kRunSize = kMaxValueLength + 1;
// 255: the output size given to the platform date and time validators.
static const int kFormatTextSize = 255;

// Pattern letters: w weekday (skipped), d day, m month name, y year, h hour,
// n minute, s second, t zone token; a space skips any number of spaces (none
// included); every other character must appear in the text as it is.
static const char* const kDatePatterns[] = {
    "w, d m y h:n:s t",  // RFC 1123
    "w, d-m-y h:n:s t",  // RFC 850
    "w m d h:n:s y",     // asctime
};
static const int kAsctimePattern = 2;
static const int kPatternCount = (int)(sizeof kDatePatterns / sizeof kDatePatterns[0]);

static const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
static const int kMonthCount = 12;

static const int kEpochYear = 1970;
static const int64_t kSecondsPerMinute = 60;
static const int64_t kSecondsPerHour = 3600;
static const int64_t kSecondsPerDay = 86400;

// Two-digit years: 0..70 are 2000..2070, 71..1899 are 1971..3799 (y + 1900).
static const unsigned kLastYearOf2000s = 70;
static const unsigned kFirstFullYear = 1900;
static const unsigned kPivotTo2000 = 2000;

// Where carried-over fields may land, by timestamp width. The 32-bit range is
// that of a 32-bit mktime, which also refuses any year given outside
// 1969..2039 whatever the other fields.
struct NormalizeRange {
    int firstYear;
    int lastYear;
    int64_t latestSeconds;
};
static const NormalizeRange kNormalizeRanges[] = {
    {1969, 2039, 2147483647},     // 32 bits: to 2038-01-19 03:14:07
    {0, 65535, 253402300799LL},   // 64 bits: to 9999-12-31 23:59:59
};

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

static bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

static bool IsZoneByte(char c) { return IsLetter(c) || IsDigit(c) || c == '+' || c == '-'; }

enum RunKind { kLetterRun, kZoneRun };

// Collects the longest run of `kind` bytes at `p` into `run` (cut at
// kRunSize - 1 bytes and terminated; the whole run is consumed either way)
// and returns the position after it.
static const char* ReadRun(const char* p, RunKind kind, char* run) {
    int used = 0;
    for (;;) {
        bool accepted = kind == kLetterRun ? IsLetter(*p) : IsZoneByte(*p);
        if (!accepted) break;
        if (used < kRunSize - 1) {
            run[used] = *p;
            ++used;
        }
        ++p;
    }
    run[used] = '\0';
    return p;
}

// Reads the longest run of digits at `p` (possibly empty, then 0) into
// *value, reduced modulo 65536 as a 16-bit field stores it, and returns the
// position after it. Unsigned arithmetic: a long run wraps instead of overflowing.
static const char* ReadDigitRun(const char* p, WORD* value) {
    uint32_t sum = 0;
    while (IsDigit(*p)) {
        sum = sum * 10u + (uint32_t)(*p - '0');
        ++p;
    }
    *value = (WORD)sum;
    return p;
}

// The month number (1..12) whose three-letter name equals `run` ignoring
// case, or 0. The count takes the run's NUL too, so "November" and "No" fail.
static int MatchMonthName(const char* run) {
    int32_t count = (int32_t)strlen(run) + 1;
    for (int i = 0; i < kMonthCount; ++i) {
        if (CompareFieldName(kMonthNames[i], run, count) == 0) return i + 1;
    }
    return 0;
}

static WORD ExpandYear(WORD y) {
    if (y >= kFirstFullYear) return y;
    if (y <= kLastYearOf2000s) return (WORD)(y + kPivotTo2000);
    return (WORD)(y + kFirstFullYear);
}

// Follows one pattern character at *pos. Returns 0 and moves *pos on, or -1
// when the text does not fit. Runs stop at the NUL and literals fail there,
// so *pos never moves past it.
static int FollowPatternChar(char letter, const char** pos, SYSTEMTIME* st, char* zone) {
    char run[kRunSize];
    WORD number = 0;
    const char* p = *pos;
    switch (letter) {
        case ' ':
            while (*p == ' ') ++p;
            break;
        case 'w':
            p = ReadRun(p, kLetterRun, run);
            break;
        case 'd':
            p = ReadDigitRun(p, &st->wDay);
            if (st->wDay == 0) return -1;
            break;
        case 'm':
            p = ReadRun(p, kLetterRun, run);
            st->wMonth = (WORD)MatchMonthName(run);
            if (st->wMonth == 0) return -1;
            break;
        case 'y':
            p = ReadDigitRun(p, &number);
            st->wYear = ExpandYear(number);
            break;
        case 'h':
            p = ReadDigitRun(p, &st->wHour);
            break;
        case 'n':
            p = ReadDigitRun(p, &st->wMinute);
            break;
        case 's':
            p = ReadDigitRun(p, &st->wSecond);
            break;
        case 't':
            p = ReadRun(p, kZoneRun, zone);
            break;
        default:
            if (*p != letter) return -1;
            ++p;
            break;
    }
    *pos = p;
    return 0;
}

int ParseHttpDate(const char* pattern, const char* text, SYSTEMTIME* st, TimestampWidth width) {
    char zone[kRunSize];
    if (st == NULL) return -1;
    memset(st, 0, sizeof *st);
    if (pattern == NULL || text == NULL) return -1;
    zone[0] = '\0';
    const char* pos = text;
    for (const char* letter = pattern; *letter != '\0'; ++letter) {
        if (FollowPatternChar(*letter, &pos, st, zone) != 0) return -1;
    }
    if (lstrcmpiA(zone, "GMT") == 0) NormalizeLocalTime(st, 0, width);
    return 0;
}

// Seconds since 1970 of the fields read as UTC, out-of-range values carried
// over the way mktime does: months into years, then everything into days.
static int64_t CarriedUtcSeconds(const SYSTEMTIME* st, int64_t hour) {
    int64_t monthIndex = (int64_t)st->wMonth - 1;  // -1 for month 0: December before
    int64_t yearCarry = monthIndex >= 0 ? monthIndex / kMonthCount
                                        : -((kMonthCount - 1 - monthIndex) / kMonthCount);
    int64_t year = (int64_t)st->wYear + yearCarry;
    int month = (int)(monthIndex - yearCarry * kMonthCount) + 1;
    int64_t days = DaysFromCivil(year, month, st->wDay);
    return days * kSecondsPerDay + hour * kSecondsPerHour +
           (int64_t)st->wMinute * kSecondsPerMinute + st->wSecond;
}

// Writes the UTC fields of `seconds` (0 or more) into `st`.
static void StoreUtcFields(int64_t seconds, SYSTEMTIME* st) {
    int64_t year = 0;
    int month = 0;
    int day = 0;
    CivilFromDays(seconds / kSecondsPerDay, &year, &month, &day);
    int64_t secondOfDay = seconds % kSecondsPerDay;
    st->wYear = (WORD)year;
    st->wMonth = (WORD)month;
    st->wDay = (WORD)day;
    st->wHour = (WORD)(secondOfDay / kSecondsPerHour);
    st->wMinute = (WORD)(secondOfDay % kSecondsPerHour / kSecondsPerMinute);
    st->wSecond = (WORD)(secondOfDay % kSecondsPerMinute);
}

// Reads the fields as UTC rather than local time, so that the result is the
// same in every time zone: a local reading would move summer dates by the
// daylight-saving offset. Outside the width's range the fields stay as they
// are, apart from the hour shift, as when mktime fails.
void NormalizeLocalTime(SYSTEMTIME* st, int hourShift, TimestampWidth width) {
    if (st == NULL) return;
    const NormalizeRange& range = kNormalizeRanges[width == kTimestamp64 ? 1 : 0];
    int64_t hour = (int64_t)st->wHour + hourShift;
    if (st->wYear >= range.firstYear && st->wYear <= range.lastYear) {
        int64_t seconds = CarriedUtcSeconds(st, hour);
        if (seconds >= 0 && seconds <= range.latestSeconds) {
            StoreUtcFields(seconds, st);
            return;
        }
    }
    st->wHour = (WORD)(uint64_t)hour;
}

// A date that exists in the Gregorian calendar. Checked beside the platform's
// validator because Wine's GetDateFormatA turns 29 February of a common year
// into 1 March instead of refusing it.
static bool IsGregorianDate(const SYSTEMTIME* st) {
    if (st->wMonth < 1 || st->wMonth > kMonthCount) return false;
    return st->wDay >= 1 && st->wDay <= DaysInMonth(st->wYear, st->wMonth);
}

static bool IsValidDateTime(const SYSTEMTIME* st) {
    char text[kFormatTextSize];
    if (!IsGregorianDate(st)) return false;
    if (GetDateFormatA(0, 0, st, NULL, text, kFormatTextSize) == 0) return false;
    return GetTimeFormatA(0, 0, st, NULL, text, kFormatTextSize) != 0;
}

// Seconds from 1970 of valid fields (year 1970 or later) counted as UTC; a
// 32-bit timestamp keeps them modulo 2^32, as its sum always wrapped.
static int64_t SumSeconds(const SYSTEMTIME* st, TimestampWidth width) {
    int64_t seconds = DaysFromCivil(st->wYear, st->wMonth, st->wDay) * kSecondsPerDay +
                      st->wHour * kSecondsPerHour + st->wMinute * kSecondsPerMinute + st->wSecond;
    if (width == kTimestamp32) return (int32_t)(uint32_t)(uint64_t)seconds;
    return seconds;
}

int ConvertHttpDate(const char* value, int64_t* seconds, TimestampWidth width) {
    if (value == NULL || seconds == NULL) return -1;
    if (lstrlenA(value) > kMaxValueLength) return -1;
    SYSTEMTIME st;
    int pattern = 0;
    while (pattern < kPatternCount &&
           ParseHttpDate(kDatePatterns[pattern], value, &st, width) != 0) {
        ++pattern;
    }
    if (pattern == kPatternCount) return -1;
    if (pattern == kAsctimePattern) NormalizeLocalTime(&st, 0, width);
    if (!IsValidDateTime(&st)) return -1;
    if (st.wYear < kEpochYear) {
        *seconds = -1;
        return -1;
    }
    *seconds = SumSeconds(&st, width);
    return 0;
}
