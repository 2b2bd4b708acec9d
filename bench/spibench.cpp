// spibench: the bench's helper under Wine. It times one GetFile of the
// plug-in of its width (KESTA.SPI or KESTA.SPH beside it), to memory or to a
// directory, with or without a progress callback, and prints "field: value"
// lines: the seconds, the bytes, the process's peak memory and, if asked, a
// CRC-32 of the body. It also prints seconds since 1970 the way spihost's
// listing shows them.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <limits>

#include "host/utc.h"
#include "plugin/spi.h"

#include <psapi.h>  // after <windows.h>

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;
const int kExitNoPlugin = 3;

#if KESTA_64BIT
const char kDefaultPlugin[] = "KESTA.SPH";
#else
const char kDefaultPlugin[] = "KESTA.SPI";
#endif

typedef decltype(fileInfo::timestamp) Timestamp;  // this width's records

void Usage() {
    fputs("usage: spibench bench-get FILE POSITION [--progress] [--crc32] [--to DIR]\n"
          "         one timed GetFile of the member at POSITION to memory (--to: into\n"
          "         DIR): seconds, bytes, peak_pagefile_bytes, peak_working_set_bytes;\n"
          "         --progress passes a callback that never cancels (progress_calls,\n"
          "         seconds_after_last_progress); --crc32: the body's CRC-32, computed\n"
          "         after the clock stops\n"
          "       spibench utc SECONDS...\n"
          "         each as spihost's listing shows it (the range of this width's records)\n",
          stderr);
}

bool ParseNumber(const char* text, long long low, long long high, long long* out) {
    char* end = NULL;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

int CommandUtc(int count, char** args) {
    if (count < 1) return kExitUsage;
    for (int i = 0; i < count; i++) {
        long long value = 0;
        if (!ParseNumber(args[i], (long long)std::numeric_limits<Timestamp>::min(),
                         (long long)std::numeric_limits<Timestamp>::max(), &value)) {
            fprintf(stderr, "spibench: not a timestamp of this width: '%s'\n", args[i]);
            return kExitUsage;
        }
        char text[kUtcTextCapacity];
        FormatUtc(value, text);
        printf("%s %s\n", args[i], text);
    }
    return kExitOk;
}

struct BenchOptions {
    const char* toDir = NULL;   // NULL: memory output
    bool progress = false;
    bool crc32 = false;
};

// CRC-32 as zlib.crc32 computes it (IEEE 802.3, reflected), a byte a step.
unsigned Crc32(const unsigned char* p, unsigned long long n) {
    unsigned table[256];
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    unsigned c = 0xFFFFFFFFu;
    while (n-- > 0) c = table[(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// --progress: counts the calls and notes when the last came; never cancels.
// The last call reports the whole body received: what follows until GetFile
// returns is the plug-in's own work on it (a copy, the file's write).
long long g_progressCalls = 0;
LARGE_INTEGER g_lastProgress;

int __stdcall CountProgress(int, int, LONG_PTR) {
    g_progressCalls++;
    QueryPerformanceCounter(&g_lastProgress);
    return 0;
}

// The plug-in of this width beside spibench.exe.
bool PluginPath(char* out, size_t capacity) {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
    if (n == 0 || n >= sizeof self) return false;
    while (n > 0 && self[n - 1] != '\\' && self[n - 1] != '/') n--;
    int written = snprintf(out, capacity, "%.*s%s", (int)n, self, kDefaultPlugin);
    return written > 0 && (size_t)written < capacity;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

int CommandBenchGet(const char* list, const char* positionText, const BenchOptions& options) {
    long long position = 0;
    if (!ParseNumber(positionText, 0, INTPTR_MAX, &position)) return kExitUsage;
    char path[MAX_PATH * 2];
    HMODULE module = PluginPath(path, sizeof path) ? LoadLibraryA(path) : NULL;
    typedef void (*AnyEntry)(void);
    GetFileFn getFile = module ? (GetFileFn)(AnyEntry)GetProcAddress(module, "GetFile") : NULL;
    if (getFile == NULL) {
        fprintf(stderr, "spibench: cannot load GetFile from %s\n", path);
        if (module != NULL) FreeLibrary(module);
        return kExitNoPlugin;
    }
    HLOCAL block = NULL;
    bool toFile = options.toDir != NULL;
    unsigned flag = (toFile ? kOutputToFile : kOutputToMemory) << kOutputKindShift;
    LPSTR dest = toFile ? const_cast<LPSTR>(options.toDir) : (LPSTR)&block;
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    int code = getFile(list, (LONG_PTR)position, dest, flag,
                       options.progress ? CountProgress : NULL, 0);
    QueryPerformanceCounter(&end);
    int status = kExitOk;
    printf("seconds: %.6f\n", Seconds(start, end));  // after a failure too: the time to fail
    if (code != SPI_SUCCESS || (!toFile && block == NULL)) {
        fprintf(stderr, "spibench: GetFile returned %d\n", code);
        status = kExitFailed;
    } else if (!toFile) {
        unsigned long long size = (unsigned long long)LocalSize(block);
        printf("bytes: %llu\n", size);
        if (options.crc32) {
            printf("crc32: %08x\n", Crc32(static_cast<unsigned char*>(LocalLock(block)), size));
            LocalUnlock(block);
        }
        LocalFree(block);
    }
    if (options.progress) {
        printf("progress_calls: %lld\n", g_progressCalls);
        if (g_progressCalls > 0) {
            printf("seconds_after_last_progress: %.6f\n", Seconds(g_lastProgress, end));
        }
    }
    PROCESS_MEMORY_COUNTERS counters;  // after a failure too: how far it went
    memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        printf("peak_pagefile_bytes: %llu\n", (unsigned long long)counters.PeakPagefileUsage);
        printf("peak_working_set_bytes: %llu\n", (unsigned long long)counters.PeakWorkingSetSize);
    }
    FreeLibrary(module);
    return status;
}

bool ParseBenchOptions(int count, char** args, BenchOptions* options) {
    for (int i = 0; i < count; i++) {
        if (strcmp(args[i], "--to") == 0 && i + 1 < count) {
            options->toDir = args[++i];
        } else if (strcmp(args[i], "--progress") == 0) {
            options->progress = true;
        } else if (strcmp(args[i], "--crc32") == 0) {
            options->crc32 = true;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int status = kExitUsage;
    if (argc >= 2 && strcmp(argv[1], "utc") == 0) {
        int first = argc >= 3 && strcmp(argv[2], "--") == 0 ? 3 : 2;
        status = CommandUtc(argc - first, argv + first);
    } else if (argc >= 4 && strcmp(argv[1], "bench-get") == 0) {
        BenchOptions options;
        if (ParseBenchOptions(argc - 4, argv + 4, &options)) {
            status = CommandBenchGet(argv[2], argv[3], options);
        }
    }
    if (status == kExitUsage) Usage();
    fflush(stdout);
    return status;
}
