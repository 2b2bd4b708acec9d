// Downloading one "http://" address over HTTP/1.0 with Winsock 1.1.
#ifndef KESTA_HTTP_FETCH_H
#define KESTA_HTTP_FETCH_H

#include "compat/win32.h"

// Downloads `url`. On success returns the body length (0 or more) and stores
// a local-memory block (at least 2048 bytes, the body first) in *body, which
// the caller frees with LocalFree; `length` and `timestamp` may be NULL.
// A NULL `body` asks for the length and timestamp only: the body is counted
// as it arrives and not kept.
// The timestamp is -1 when the response has no date, 0 when its date cannot
// be converted. On failure returns -1, leaves the outputs untouched and
// leaves a message in the last-error text.
int HttpFetch(const char* url, HLOCAL* body, long* length, int32_t* timestamp);

// The process-wide message of the most recent fetch (Shift-JIS).
const char* HttpLastError();

// The fetch's messages in a fixed order (0: no problem), for tests.
int HttpFetchMessageCount();
const char* HttpFetchMessage(int index);

#endif  // KESTA_HTTP_FETCH_H
