// Day counting in 400-year eras of 146097 days, with the year taken to start
// on 1 March so that the leap day is the last day of its year.
#include "http/calendar.h"

namespace {

const int64_t kDaysPerEra = 146097;
const int64_t kDaysTo1970 = 719468;  // from 0000-03-01 to 1970-01-01

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

bool IsLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
    static const unsigned char kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && IsLeapYear(year)) return 29;
    return kDays[month - 1];
}

int64_t DaysFromCivil(int64_t year, int month, int64_t day) {
    int64_t y = month <= 2 ? year - 1 : year;
    int64_t era = FloorDiv(y, 400);
    int64_t yearOfEra = y - era * 400;
    int64_t shiftedMonth = month > 2 ? month - 3 : month + 9;  // 0 is March
    int64_t dayOfYear = (153 * shiftedMonth + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * kDaysPerEra + dayOfEra - kDaysTo1970;
}

void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
    int64_t z = days + kDaysTo1970;
    int64_t era = FloorDiv(z, kDaysPerEra);
    int64_t dayOfEra = z - era * kDaysPerEra;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    *day = (int)(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    *month = (int)(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}
