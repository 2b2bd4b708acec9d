// fetch_probe: runs the plug-in's own HttpFetch (linked in statically) on
// addresses and prints one JSON line per fetch: the result, the outputs, the
// last-error text as hex bytes and the process's memory before and after.
//
//   fetch_probe [--repeat N] [--length-only] [--watch MS] [--urls FILE] [URL...] [--then URL]...
//
// The addresses (FILE holds one a line) are fetched in order, the whole
// sequence N times; each --then address is fetched once afterwards.
// --length-only asks for the length and timestamp without the body.
// --watch MS watches each fetch as a host's progress callback does, and
// cancels it at the first call MS milliseconds or more after its start (0:
// never); the line then gives the longest gap between the start and the
// calls, and the time from the cancelling call to the fetch's end.
#include <fcntl.h>
#include <inttypes.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "http/fetch.h"
#include "tests/probe/wine_support.h"

namespace {

const int kExitOk = 0;
const int kExitUsage = 2;
const long kMaxRepeat = 1000000;
// Bodies up to this size are printed whole as hex; larger ones by hash only.
const long kBodyHexLimit = 8192;
// Values the outputs hold before a call, so that an untouched output shows.
const int64_t kUntouchedLength = -7777;
const int64_t kUntouchedTimestamp = -7777;
HLOCAL const kUntouchedBody = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x7777));

struct Options {
    long repeat;
    bool lengthOnly;
    long watchMs;  // -1: not watched
    std::vector<std::string> urls;
    std::vector<std::string> then;
};

void Usage() {
    fputs("usage: fetch_probe [--repeat N] [--length-only] [--watch MS] [--urls FILE] [URL...] "
          "[--then URL]...\n",
          stderr);
}

// Appends every non-empty line of `path` (LF or CR LF ends) to `out`.
bool ReadUrlFile(const char* path, std::vector<std::string>* out) {
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "fetch_probe: cannot open %s\n", path);
        return false;
    }
    std::string line;
    int c = 0;
    while ((c = fgetc(f)) != EOF || !line.empty()) {
        if (c == EOF || c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) out->push_back(line);
            line.clear();
            if (c == EOF) break;
        } else {
            line.push_back((char)c);
        }
    }
    fclose(f);
    return true;
}

bool ParseRepeat(const char* text, long* out) {
    char* end = NULL;
    long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 1 || n > kMaxRepeat) return false;
    *out = n;
    return true;
}

bool ParseOptions(int argc, char** argv, Options* opt) {
    opt->repeat = 1;
    opt->lengthOnly = false;
    opt->watchMs = -1;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--length-only") {
            opt->lengthOnly = true;
        } else if (arg == "--watch" && hasValue) {
            char* end = NULL;
            opt->watchMs = strtol(argv[++i], &end, 10);
            if (*end != '\0' || opt->watchMs < 0) return false;
        } else if (arg == "--repeat" && hasValue) {
            if (!ParseRepeat(argv[++i], &opt->repeat)) return false;
        } else if (arg == "--urls" && hasValue) {
            if (!ReadUrlFile(argv[++i], &opt->urls)) return false;
        } else if (arg == "--then" && hasValue) {
            opt->then.push_back(argv[++i]);
        } else if (arg.compare(0, 2, "--") == 0) {
            return false;
        } else {
            opt->urls.push_back(arg);
        }
    }
    return !opt->urls.empty() || !opt->then.empty();
}

void PrintHex(const char* bytes, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = (unsigned char)bytes[i];
        putchar(kDigits[b >> 4]);
        putchar(kDigits[b & 15]);
    }
}

// FNV-1a, 32 bits: enough to tell bodies apart in a test.
uint32_t Fnv1a(const char* bytes, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) {
        h ^= (unsigned char)bytes[i];
        h *= 16777619u;
    }
    return h;
}

void PrintBody(HLOCAL body, int64_t result) {
    if (body == kUntouchedBody) {
        fputs("\"body_set\":false,\"body_block\":null,\"body\":null,\"body_fnv\":null", stdout);
        return;
    }
    size_t block = LocalSize(body);
    const char* bytes = static_cast<const char*>(LocalLock(body));
    size_t n = result > 0 ? (size_t)result : 0;
    printf("\"body_set\":true,\"body_block\":%lu,\"body\":", (unsigned long)block);
    if (!bytes || n > block) {
        fputs("null,\"body_fnv\":null", stdout);  // the test reports the mismatch
    } else {
        if (n <= (size_t)kBodyHexLimit) {
            putchar('"');
            PrintHex(bytes, n);
            putchar('"');
        } else {
            fputs("null", stdout);
        }
        printf(",\"body_fnv\":\"%08lx\"", (unsigned long)Fnv1a(bytes, n));
    }
    if (bytes) LocalUnlock(body);
}

// A watching host: when it was called, and when it asked to cancel.
struct Watching {
    long cancelMs;  // 0: never
    ULONGLONG start, last, cancelled;
    long maxGapMs;
};

ULONGLONG NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (ULONGLONG)(now.QuadPart * 1000 / frequency.QuadPart);
}

int __stdcall OnProgress(int, int, LONG_PTR datum) {
    Watching* w = reinterpret_cast<Watching*>(datum);
    ULONGLONG now = NowMs();
    if ((long)(now - w->last) > w->maxGapMs) w->maxGapMs = (long)(now - w->last);
    w->last = now;
    if (w->cancelMs > 0 && (long)(now - w->start) >= w->cancelMs) {
        if (!w->cancelled) w->cancelled = now;
        return 1;
    }
    return 0;
}

// HttpFetch as a watched extraction makes it: FetchUrl with the callback.
int64_t WatchedFetch(const char* url, HLOCAL* body, int64_t* length, int64_t* timestamp,
                     Watching* w) {
    SocketLibrary sockets;
    FetchWatch watch = {OnProgress, reinterpret_cast<LONG_PTR>(w)};
    FetchResult result;
    w->start = w->last = NowMs();
    FetchMessage outcome = sockets.started();
    if (outcome == kFetchOk) outcome = FetchUrl(url, body != NULL, &watch, &result);
    RecordFetchMessage(outcome);
    ULONGLONG end = NowMs();
    if ((long)(end - w->last) > w->maxGapMs) w->maxGapMs = (long)(end - w->last);
    if (outcome != kFetchOk) return -1;
    if (body) *body = result.body;
    *length = result.length;
    *timestamp = result.timestamp;
    return result.length;
}

// One fetch and its line. The body block is freed before the memory is
// sampled again, so the "after" figures show what the fetch left behind.
void ProbeOne(const std::string& url, long round, size_t index, bool lengthOnly, long watchMs) {
    wine_support::MemorySample before = wine_support::SampleMemory();
    HLOCAL body = kUntouchedBody;
    int64_t length = kUntouchedLength;
    int64_t timestamp = kUntouchedTimestamp;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Watching w = {watchMs, 0, 0, 0, 0};
    int64_t result =
        watchMs < 0 ? HttpFetch(url.c_str(), lengthOnly ? NULL : &body, &length, &timestamp)
                    : WatchedFetch(url.c_str(), lengthOnly ? NULL : &body, &length, &timestamp, &w);
    QueryPerformanceCounter(&end);
    ULONGLONG ended = NowMs();
    std::string error = HttpLastError();

    printf("{\"round\":%ld,\"index\":%lu,\"result\":%" PRId64 ",", round, (unsigned long)index,
           result);
    if (length == kUntouchedLength) {
        fputs("\"length\":null,", stdout);
    } else {
        printf("\"length\":%" PRId64 ",", length);
    }
    if (timestamp == kUntouchedTimestamp) {
        fputs("\"timestamp\":null,", stdout);
    } else {
        printf("\"timestamp\":%" PRId64 ",", timestamp);
    }
    PrintBody(body, result);
    bool freed = body == kUntouchedBody || LocalFree(body) == NULL;
    wine_support::MemorySample after = wine_support::SampleMemory();
    fputs(",\"error\":\"", stdout);
    PrintHex(error.data(), error.size());
    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    putchar('"');
    if (watchMs >= 0) {
        printf(",\"max_gap_ms\":%ld,\"end_after_cancel_ms\":", w.maxGapMs);
        if (w.cancelled) {
            printf("%ld", (long)(ended - w.cancelled));
        } else {
            fputs("null", stdout);
        }
    }
    printf(",\"freed\":%s,\"seconds\":%.4f,\"private_before\":%lu,\"private_after\":%lu,"
           "\"ws_before\":%lu,\"ws_after\":%lu}\n",
           freed ? "true" : "false", seconds, (unsigned long)before.privateBytes,
           (unsigned long)after.privateBytes, (unsigned long)before.workingSet,
           (unsigned long)after.workingSet);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    Options opt;
    if (!ParseOptions(argc, argv, &opt)) {
        Usage();
        return kExitUsage;
    }
    for (long round = 0; round < opt.repeat; ++round) {
        for (size_t i = 0; i < opt.urls.size(); ++i) {
            ProbeOne(opt.urls[i], round, i, opt.lengthOnly, opt.watchMs);
        }
    }
    for (size_t i = 0; i < opt.then.size(); ++i) {
        ProbeOne(opt.then[i], -1, i, opt.lengthOnly, opt.watchMs);
    }
    return kExitOk;
}
