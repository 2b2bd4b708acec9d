// spibench: the bench's helper under Wine. It times one GetFile of the
// plug-in of its width (KESTA.SPI or KESTA.SPH beside it), to memory or to a
// directory, with or without a progress callback, and prints the seconds, the
// bytes, the process's peak memory and, if asked, a CRC-32 of the body; and
// it prints seconds since 1970 the way spihost's listing shows them.
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
        "usage: spibench bench-get FILE POSITION [--plugin PATH] [--progress] [--crc32]\n"
        "                [--to DIR]\n"
        "         one timed GetFile of the member at POSITION, memory output (--to:\n"
        "         file output into DIR): seconds, bytes (memory output),\n"
        "         peak_pagefile_bytes, peak_working_set_bytes; --progress passes a\n"
        "         callback that never cancels (progress_calls: how often it ran);\n"
        "         --crc32 prints the CRC-32 of the body after the clock stops\n"
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

// What bench-get was asked for besides the list and the position.
struct BenchOptions {
    const char* plugin;  // NULL: the one of this width beside spibench.exe
    const char* toDir;   // NULL: memory output
    bool progress;
    bool crc32;
};

// CRC-32 (IEEE 802.3, reflected, as zlib.crc32 computes it), eight bytes a
// step with eight tables: a 3 GiB body takes seconds, not a minute.
class Crc32 {
  public:
    Crc32() {
        for (unsigned i = 0; i < 256; i++) {
            unsigned c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table_[0][i] = c;
        }
        for (unsigned i = 0; i < 256; i++) {
            for (int t = 1; t < 8; t++) {
                table_[t][i] = (table_[t - 1][i] >> 8) ^ table_[0][table_[t - 1][i] & 0xFF];
            }
        }
    }

    unsigned Of(const unsigned char* p, unsigned long long n) const {
        unsigned c = 0xFFFFFFFFu;
        while (n >= 8) {
            unsigned a = c ^ ((unsigned)p[0] | (unsigned)p[1] << 8 | (unsigned)p[2] << 16 |
                              (unsigned)p[3] << 24);
            unsigned b = (unsigned)p[4] | (unsigned)p[5] << 8 | (unsigned)p[6] << 16 |
                         (unsigned)p[7] << 24;
            c = table_[7][a & 0xFF] ^ table_[6][(a >> 8) & 0xFF] ^ table_[5][(a >> 16) & 0xFF] ^
                table_[4][a >> 24] ^ table_[3][b & 0xFF] ^ table_[2][(b >> 8) & 0xFF] ^
                table_[1][(b >> 16) & 0xFF] ^ table_[0][b >> 24];
            p += 8;
            n -= 8;
        }
        while (n-- > 0) c = table_[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
        return c ^ 0xFFFFFFFFu;
    }

  private:
    unsigned table_[8][256];
};

// The progress callback of --progress: counts its calls, notes when the
// last one came, and never cancels. The last call reports the whole body
// received; what follows it until GetFile returns is the plug-in's own work
// on the received body (the copy into the host's block, the file's write).
long long g_progressCalls = 0;
LARGE_INTEGER g_lastProgress;

int __stdcall CountProgress(int, int, LONG_PTR) {
    g_progressCalls++;
    QueryPerformanceCounter(&g_lastProgress);
    return 0;
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

int CommandBenchGet(const char* list, const char* positionText, const BenchOptions& options) {
    long long position = 0;
    if (!ParseNumber(positionText, 0, INTPTR_MAX, &position)) return kExitUsage;
    char path[MAX_PATH * 2];
    if (!PluginPath(options.plugin, path, sizeof path)) return kExitNoPlugin;
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
    static Crc32 crc;  // the tables are built before the clock starts
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    HLOCAL block = NULL;
    bool toFile = options.toDir != NULL;
    unsigned flag = (toFile ? kOutputToFile : kOutputToMemory) << kOutputKindShift;
    LPSTR dest = toFile ? const_cast<LPSTR>(options.toDir) : (LPSTR)&block;
    SpiProgress progress = options.progress ? CountProgress : NULL;
    QueryPerformanceCounter(&start);
    int code = getFile(list, (LONG_PTR)position, dest, flag, progress, 0);
    QueryPerformanceCounter(&end);
    int status = kExitOk;
    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    printf("seconds: %.6f\n", seconds);  // after a failure too: how long it took to fail
    if (code != SPI_SUCCESS || (!toFile && block == NULL)) {
        fprintf(stderr, "spibench: GetFile returned %d\n", code);
        status = kExitFailed;
    } else if (!toFile) {
        unsigned long long size = (unsigned long long)LocalSize(block);
        printf("bytes: %llu\n", size);
        if (options.crc32) {
            const unsigned char* bytes = static_cast<const unsigned char*>(LocalLock(block));
            printf("crc32: %08x\n", crc.Of(bytes, size));
            LocalUnlock(block);
        }
        LocalFree(block);
    }
    if (options.progress) {
        printf("progress_calls: %lld\n", g_progressCalls);
        if (g_progressCalls > 0) {
            printf("seconds_after_last_progress: %.6f\n",
                   (double)(end.QuadPart - g_lastProgress.QuadPart) / (double)frequency.QuadPart);
        }
    }
    PrintPeakMemory();  // after a failure too: how far it went
    FreeLibrary(module);
    return status;
}

// bench-get's options after FILE and POSITION; false on one it does not know.
bool ParseBenchOptions(int count, char** args, BenchOptions* options) {
    for (int i = 0; i < count; i++) {
        if (strcmp(args[i], "--plugin") == 0 && i + 1 < count) {
            options->plugin = args[++i];
        } else if (strcmp(args[i], "--to") == 0 && i + 1 < count) {
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
        BenchOptions options = {NULL, NULL, false, false};
        if (ParseBenchOptions(argc - 4, argv + 4, &options)) {
            status = CommandBenchGet(argv[2], argv[3], options);
        }
    }
    if (status == kExitUsage) Usage();
    fflush(stdout);
    return status;
}
