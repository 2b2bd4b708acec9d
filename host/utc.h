// Timestamps as the hosts print them: seconds since 1970-01-01 00:00:00 as a
// UTC date-time, "2009-02-13T23:31:30Z". Shared by spihost and spibench.
#ifndef KESTA_HOST_UTC_H
#define KESTA_HOST_UTC_H

#include <stddef.h>
#include <stdint.h>

// 32: room for "YYYY-MM-DDTHH:MM:SSZ" with the widest year of int64 seconds.
const size_t kUtcTextCapacity = 32;

// Writes `seconds` as "YYYY-MM-DDTHH:MM:SSZ" into `out` (kUtcTextCapacity
// bytes): four digits of year at least, a '-' before years before 1 AD.
void FormatUtc(int64_t seconds, char* out);

#endif  // KESTA_HOST_UTC_H
