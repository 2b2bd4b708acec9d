// make bench: times one HttpFetch of a URL in-process (native Linux build of
// the plug-in's own sources, optimised, no sanitizers) and prints the seconds,
// the body bytes and the process's peak resident memory.
// Usage: fetch_bench URL
#include <stdio.h>
#include <sys/resource.h>

#include <chrono>

#include "compat/win32.h"
#include "http/fetch.h"

// ru_maxrss is reported in KiB on Linux.
static const long kMaxRssUnit = 1024;

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fetch_bench URL\n");
        return 2;
    }
    HLOCAL body = NULL;
    int64_t length = 0;
    int64_t timestamp = 0;
    auto start = std::chrono::steady_clock::now();
    int64_t got = HttpFetch(argv[1], &body, &length, &timestamp);
    auto end = std::chrono::steady_clock::now();
    if (got < 0) {
        fprintf(stderr, "fetch_bench: the fetch failed\n");
        return 1;
    }
    std::chrono::duration<double> seconds = end - start;
    printf("seconds: %.6f\n", seconds.count());
    printf("bytes: %lld\n", (long long)length);
    LocalFree(body);
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        printf("peak_rss_bytes: %ld\n", usage.ru_maxrss * kMaxRssUnit);
    }
    return 0;
}
