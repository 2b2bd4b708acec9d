// The last-error text that a download outcome leaves, for comparing with
// HttpLastError() (read that first: this call records the outcome's text).
#ifndef KESTA_TESTS_NATIVE_FETCH_TEXT_H
#define KESTA_TESTS_NATIVE_FETCH_TEXT_H

#include <string>

#include "http/fetch.h"

inline std::string FetchText(FetchMessage m) {
    RecordFetchMessage(m);
    return HttpLastError();
}

#endif  // KESTA_TESTS_NATIVE_FETCH_TEXT_H
