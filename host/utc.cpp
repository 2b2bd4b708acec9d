// Seconds since 1970 as UTC date-times; the days are counted by http/calendar.
#include "host/utc.h"

#include <stdio.h>

#include "http/calendar.h"

namespace {

const int64_t kSecondsPerDay = 86400;

}  // namespace

void FormatUtc(int64_t seconds, char* out) {
    int64_t days = seconds / kSecondsPerDay;
    int64_t rest = seconds % kSecondsPerDay;
    if (rest < 0) {  // division truncates toward zero; the day must round down
        rest += kSecondsPerDay;
        days -= 1;
    }
    int64_t year = 0;
    int month = 0;
    int day = 0;
    CivilFromDays(days, &year, &month, &day);
    snprintf(out, kUtcTextCapacity, "%04lld-%02d-%02dT%02d:%02d:%02dZ", (long long)year, month,
             day, (int)(rest / 3600), (int)(rest / 60 % 60), (int)(rest % 60));
}
