// spibench: the bench's helper under Wine. It times one GetFile with memory
// output of the plug-in of its width (KESTA.SPI or KESTA.SPH beside it) and
// prints the seconds, the bytes and the process's peak memory; and it prints
// seconds since 1970 the way spihost's listing shows them.
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

// The timestamps of this width's records.
typedef decltype(fileInfo::timestamp) Timestamp;

void Usage() {
    fputs(
        "usage: spibench bench-get FILE POSITION [--plugin PATH]\n"
        "         one timed GetFile of the member at POSITION, memory output:\n"
        "         seconds, bytes, peak_pagefile_bytes, peak_working_set_bytes\n"
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

// The plug-in given, else the one of this width beside spibench.exe.
bool PluginPath(const char* given, char* out, size_t capacity) {
    if (given != NULL) return (size_t)snprintf(out, capacity, "%s", given) < capacity;
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
    if (n == 0 || n >= sizeof self) return false;
    while (n > 0 && self[n - 1] != '\\' && self[n - 1] != '/') n--;
    int written = snprintf(out, capacity, "%.*s%s", (int)n, self, kDefaultPlugin);
    return written > 0 && (size_t)written < capacity;
}

void PrintPeakMemory() {
    PROCESS_MEMORY_COUNTERS counters;
    memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return;
    printf("peak_pagefile_bytes: %llu\n", (unsigned long long)counters.PeakPagefileUsage);
    printf("peak_working_set_bytes: %llu\n", (unsigned long long)counters.PeakWorkingSetSize);
}

int CommandBenchGet(const char* list, const char* positionText, const char* plugin) {
    long long position = 0;
    if (!ParseNumber(positionText, 0, INTPTR_MAX, &position)) return kExitUsage;
    char path[MAX_PATH * 2];
    if (!PluginPath(plugin, path, sizeof path)) return kExitNoPlugin;
    HMODULE module = LoadLibraryA(path);
    GetFileFn getFile = NULL;
    if (module != NULL) {
        typedef void (*AnyEntry)(void);
        getFile = (GetFileFn)(AnyEntry)GetProcAddress(module, "GetFile");
    }
    if (getFile == NULL) {
        fprintf(stderr, "spibench: cannot load GetFile from %s\n", path);
        if (module != NULL) FreeLibrary(module);
        return kExitNoPlugin;
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    HLOCAL block = NULL;
    unsigned flag = kOutputToMemory << kOutputKindShift;
    QueryPerformanceCounter(&start);
    int code = getFile(list, (LONG_PTR)position, (LPSTR)&block, flag, NULL, 0);
    QueryPerformanceCounter(&end);
    int status = kExitOk;
    if (code != SPI_SUCCESS || block == NULL) {
        fprintf(stderr, "spibench: GetFile returned %d\n", code);
        status = kExitFailed;
    } else {
        double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
        printf("seconds: %.6f\n", seconds);
        printf("bytes: %llu\n", (unsigned long long)LocalSize(block));
        LocalFree(block);
        PrintPeakMemory();
    }
    FreeLibrary(module);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int status = kExitUsage;
    if (argc >= 2 && strcmp(argv[1], "utc") == 0) {
        int first = argc >= 3 && strcmp(argv[2], "--") == 0 ? 3 : 2;
        status = CommandUtc(argc - first, argv + first);
    } else if (argc == 4 && strcmp(argv[1], "bench-get") == 0) {
        status = CommandBenchGet(argv[2], argv[3], NULL);
    } else if (argc == 6 && strcmp(argv[1], "bench-get") == 0 &&
               strcmp(argv[4], "--plugin") == 0) {
        status = CommandBenchGet(argv[2], argv[3], argv[5]);
    }
    if (status == kExitUsage) Usage();
    fflush(stdout);
    return status;
}
