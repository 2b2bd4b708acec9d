// Gregorian calendar arithmetic on days counted from 1970-01-01 (proleptic:
// the same rules before 1582). The one place where days are counted, for the
// date conversion and for anything that prints a timestamp.
#ifndef KESTA_HTTP_CALENDAR_H
#define KESTA_HTTP_CALENDAR_H

#include <stdint.h>

// Divisible by 4 and not by 100, or divisible by 400.
bool IsLeapYear(int64_t year);

// 28 to 31; month is 1..12.
int DaysInMonth(int64_t year, int month);

// Days from 1970-01-01 to year-month-day (month 1..12; day counted on from
// the first of the month, so day 32 of January is 1 February).
int64_t DaysFromCivil(int64_t year, int month, int64_t day);

// The date `days` after 1970-01-01 (negative: before it).
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day);

#endif  // KESTA_HTTP_CALENDAR_H
