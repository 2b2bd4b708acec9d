// HTTP/1.0 dates (RFC 1945 section 3.3) to seconds since 1970.
#ifndef KESTA_HTTP_HTTPDATE_H
#define KESTA_HTTP_HTTPDATE_H

#include "compat/win32.h"

// How wide the host's timestamps are. 32 bits: seconds are summed modulo
// 2^32 (2038-01-19 03:14:08 gives -2147483648) and fields are carried over
// only within 1970-01-01 00:00:00 .. 2038-01-19 03:14:07. 64 bits: the true
// seconds, carried over within 1970-01-01 .. 9999-12-31 23:59:59.
enum TimestampWidth { kTimestamp32, kTimestamp64 };
// The width of this build's records.
const TimestampWidth kRecordTimestampWidth = KESTA_64BIT ? kTimestamp64 : kTimestamp32;

// Converts a "Last-Modified:" or "Date:" value. Returns 0 with the seconds in
// *seconds; -1 with *seconds = -1 for a valid date before 1970; -1 with
// *seconds untouched when the value cannot be converted.
int ConvertHttpDate(const char* value, int64_t* seconds,
                    TimestampWidth width = kRecordTimestampWidth);

// Reads `text` into `st` by following `pattern` (see httpdate.cpp for the
// letters). Returns 0 when the whole pattern was followed, -1 otherwise.
int ParseHttpDate(const char* pattern, const char* text, SYSTEMTIME* st,
                  TimestampWidth width = kRecordTimestampWidth);

// Carries out-of-range fields over (second 60, hour 24, 31 April, ...) after
// shifting the hour, reading the fields as UTC. Fields whose result would lie
// outside the width's range stay as they are, but for the hour shift.
void NormalizeLocalTime(SYSTEMTIME* st, int hourShift,
                        TimestampWidth width = kRecordTimestampWidth);

#endif  // KESTA_HTTP_HTTPDATE_H
