// HTTP/1.0 dates (RFC 1945 section 3.3) to seconds since 1970.
#ifndef KESTA_HTTP_HTTPDATE_H
#define KESTA_HTTP_HTTPDATE_H

#include "compat/win32.h"

// Converts a "Last-Modified:" or "Date:" value. Returns 0 with the seconds in
// *seconds; -1 with *seconds = -1 for a valid date before 1970; -1 with
// *seconds untouched when the value cannot be converted.
int ConvertHttpDate(const char* value, int32_t* seconds);

// Reads `text` into `st` by following `pattern` (see httpdate.cpp for the
// letters). Returns 0 when the whole pattern was followed, -1 otherwise.
int ParseHttpDate(const char* pattern, const char* text, SYSTEMTIME* st);

// Carries out-of-range fields over (second 60, hour 24, 31 April, ...) after
// shifting the hour, reading the fields as UTC. Fields whose result would lie
// outside 1970-01-01 00:00:00 .. 2038-01-19 03:14:07 stay as they are.
void NormalizeLocalTime(SYSTEMTIME* st, int hourShift);

#endif  // KESTA_HTTP_HTTPDATE_H
