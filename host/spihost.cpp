// spihost: a command-line host for archive plug-ins of the viewer interface.
// It loads a plug-in with LoadLibraryA, finds the entry points by their plain
// names and calls them exactly as a viewer does: list, show, extract, time.
#include "plugin/spi.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Exit statuses.
const int kExitOk = 0;
const int kExitPluginFailed = 1;  // a call failed, or its result could not be used
const int kExitUsage = 2;
const int kExitNoPlugin = 3;  // the plug-in could not be loaded or lacks an entry point

const char kDefaultPlugin[] = "KESTA.SPI";  // looked for next to spihost.exe
const int kPathCapacity = MAX_PATH * 2;     // a directory plus a member name
const int kInfoCapacity = 1024;             // longer than any description text
const int kInfoCount = 4;                   // description texts 0 to 3
const size_t kRecordSize = sizeof(fileInfo);
const long kMaxImageBytes = 256L * 1024 * 1024;  // a URL list is text; refuse anything larger
const int kSecondsPerDay = 86400;

struct Plugin {
    HMODULE module;
    GetPluginInfoFn getPluginInfo;
    IsSupportedFn isSupported;
    GetArchiveInfoFn getArchiveInfo;
    GetFileInfoFn getFileInfo;
    GetFileFn getFile;
};

// The command line after the options are taken out: positionals keep their order.
struct Options {
    const char* plugin;  // NULL: KESTA.SPI next to the executable
    const char* outDir;  // -o, "." by default
    long offset;         // --offset: where the list begins in a file source
    bool memory;         // --memory: hand over a memory image instead of the name
    bool seconds;        // --seconds: timestamps as signed integers
    bool pluginWrites;   // --plugin-writes: ask the plug-in for file output
    char** args;         // positionals: command first
    int count;
};

// The list as the plug-in is given it: a file name, or the file's bytes.
struct Source {
    const char* name;
    char* image;  // malloc'd file contents when memory input is used
    long imageSize;
    bool memory;
};

// A copy of the plug-in's listing, so its block can be freed at once.
struct Listing {
    fileInfo* records;
    int count;
};

static void Usage() {
    fputs(
        "usage: spihost [--plugin PATH] COMMAND ...\n"
        "  info                           the plug-in's description texts\n"
        "  supported FILE                 IsSupported on the name (1 or 0)\n"
        "  list FILE [--memory] [--seconds] [--offset N]\n"
        "  show FILE NAME [--memory] [--offset N]\n"
        "  extract FILE [NAME...] [-o DIR] [--plugin-writes] [--memory]\n"
        "  bench-get FILE POSITION [--memory]\n"
        "  utc SECONDS...                 seconds since 1970 as UTC date-times\n",
        stderr);
}

static int ReportFailure(const char* entry, int code) {
    fprintf(stderr, "spihost: %s returned %d\n", entry, code);
    return kExitPluginFailed;
}

// Parses a whole decimal number within [low, high]; false for empty text,
// junk after the digits or a value out of range.
static bool ParseNumber(const char* text, long long low, long long high, long long* out) {
    char* end = NULL;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

static bool TakeOptionValue(int argc, char** argv, int* i, const char** value) {
    if (*i + 1 >= argc) {
        fprintf(stderr, "spihost: %s needs a value\n", argv[*i]);
        return false;
    }
    *i += 1;
    *value = argv[*i];
    return true;
}

// Applies the option at argv[*i] (taking its value if it has one); false on
// an unknown option or a missing or bad value.
static bool TakeOption(int argc, char** argv, int* i, Options* opt) {
    const char* arg = argv[*i];
    const char* value = NULL;
    if (strcmp(arg, "--memory") == 0) {
        opt->memory = true;
    } else if (strcmp(arg, "--seconds") == 0) {
        opt->seconds = true;
    } else if (strcmp(arg, "--plugin-writes") == 0) {
        opt->pluginWrites = true;
    } else if (strcmp(arg, "--plugin") == 0) {
        if (!TakeOptionValue(argc, argv, i, &opt->plugin)) return false;
    } else if (strcmp(arg, "-o") == 0) {
        if (!TakeOptionValue(argc, argv, i, &opt->outDir)) return false;
    } else if (strcmp(arg, "--offset") == 0) {
        if (!TakeOptionValue(argc, argv, i, &value)) return false;
        long long offset = 0;
        if (!ParseNumber(value, 0, LONG_MAX, &offset)) {
            fprintf(stderr, "spihost: bad offset '%s'\n", value);
            return false;
        }
        opt->offset = (long)offset;
    } else {
        fprintf(stderr, "spihost: unknown option '%s'\n", arg);
        return false;
    }
    return true;
}

// Options may stand anywhere; "--" makes every later word a positional (a
// member name that starts with '-').
static bool ParseOptions(int argc, char** argv, Options* opt) {
    opt->outDir = ".";
    opt->args = (char**)calloc((size_t)argc + 1, sizeof(char*));
    if (opt->args == NULL) return false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        bool isOption = !optionsEnded && argv[i][0] == '-' && argv[i][1] != '\0';
        if (isOption && strcmp(argv[i], "--") == 0) {
            optionsEnded = true;
        } else if (isOption) {
            if (!TakeOption(argc, argv, &i, opt)) return false;
        } else {
            opt->args[opt->count++] = argv[i];
        }
    }
    return opt->count > 0;
}

// ------------------------------------------------------------------ plug-in

// The plug-in path: the one given, else KESTA.SPI in spihost.exe's directory.
static bool PluginPath(const Options* opt, char* out, int capacity) {
    if (opt->plugin != NULL) {
        return snprintf(out, (size_t)capacity, "%s", opt->plugin) < capacity;
    }
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
    if (n == 0 || n >= sizeof self) return false;
    DWORD dirEnd = n;
    while (dirEnd > 0 && self[dirEnd - 1] != '\\' && self[dirEnd - 1] != '/') dirEnd--;
    int written = snprintf(out, (size_t)capacity, "%.*s%s", (int)dirEnd, self, kDefaultPlugin);
    return written > 0 && written < capacity;
}

// GetProcAddress's result as the generic function pointer type, from which a
// cast to the entry point's own type draws no warning.
typedef void (*AnyEntry)(void);

static AnyEntry FindEntry(HMODULE module, const char* name) {
    AnyEntry entry = (AnyEntry)GetProcAddress(module, name);
    if (entry == NULL) fprintf(stderr, "spihost: the plug-in has no %s\n", name);
    return entry;
}

static int LoadPlugin(const Options* opt, Plugin* plugin) {
    char path[kPathCapacity];
    if (!PluginPath(opt, path, kPathCapacity)) {
        fputs("spihost: plug-in path too long\n", stderr);
        return kExitNoPlugin;
    }
    plugin->module = LoadLibraryA(path);
    if (plugin->module == NULL) {
        fprintf(stderr, "spihost: cannot load %s (error %lu)\n", path,
                (unsigned long)GetLastError());
        return kExitNoPlugin;
    }
    HMODULE m = plugin->module;
    plugin->getPluginInfo = (GetPluginInfoFn)FindEntry(m, "GetPluginInfo");
    plugin->isSupported = (IsSupportedFn)FindEntry(m, "IsSupported");
    plugin->getArchiveInfo = (GetArchiveInfoFn)FindEntry(m, "GetArchiveInfo");
    plugin->getFileInfo = (GetFileInfoFn)FindEntry(m, "GetFileInfo");
    plugin->getFile = (GetFileFn)FindEntry(m, "GetFile");
    if (!plugin->getPluginInfo || !plugin->isSupported || !plugin->getArchiveInfo ||
        !plugin->getFileInfo || !plugin->getFile) {
        FreeLibrary(m);
        plugin->module = NULL;
        return kExitNoPlugin;
    }
    return kExitOk;
}

// ------------------------------------------------------------------- source

// Reads the whole file into a fresh buffer; false (with a message) on failure.
static bool ReadWholeFile(const char* name, char** data, long* size) {
    FILE* f = fopen(name, "rb");
    if (f == NULL) {
        fprintf(stderr, "spihost: cannot open %s\n", name);
        return false;
    }
    bool ok = fseek(f, 0, SEEK_END) == 0;
    long length = ok ? ftell(f) : -1;
    ok = ok && length >= 0 && length <= kMaxImageBytes && fseek(f, 0, SEEK_SET) == 0;
    // One spare byte so that an empty file still gets a buffer of its own.
    char* buffer = ok ? (char*)malloc((size_t)length + 1) : NULL;
    ok = buffer != NULL && fread(buffer, 1, (size_t)length, f) == (size_t)length;
    fclose(f);
    if (!ok) {
        free(buffer);
        fprintf(stderr, "spihost: cannot read %s\n", name);
        return false;
    }
    *data = buffer;
    *size = length;
    return true;
}

static bool OpenSource(const char* name, bool memory, Source* src) {
    src->name = name;
    src->image = NULL;
    src->imageSize = 0;
    src->memory = memory;
    return !memory || ReadWholeFile(name, &src->image, &src->imageSize);
}

static void CloseSource(Source* src) {
    free(src->image);
    src->image = NULL;
}

// The source and long argument of a listing or lookup: the name and the
// start offset, or the image and its length.
static LPCSTR SourcePointer(const Source* src) { return src->memory ? src->image : src->name; }

static long SourceLength(const Source* src, long offset) {
    return src->memory ? src->imageSize : offset;
}

static unsigned InputKind(const Source* src) { return src->memory ? 1u : 0u; }

// --------------------------------------------------------------- timestamps

// Days since 1970-01-01 to a Gregorian date, proleptic, valid for any day
// count an int32 of seconds can reach. The year is counted from 1 March so
// that the leap day falls at the end; eras are the 400-year cycles of
// 146097 days.
static void CivilFromDays(long long days, int* year, int* month, int* day) {
    long long z = days + 719468;  // days from 0000-03-01 to 1970-01-01
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long dayOfEra = z - era * 146097;
    long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    long long shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
    *day = (int)(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    *month = (int)(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    *year = (int)(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

// Writes seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ" (21 bytes with the NUL).
static void FormatUtc(int32_t seconds, char* out, size_t capacity) {
    long long days = seconds / kSecondsPerDay;
    long long rest = seconds % kSecondsPerDay;
    if (rest < 0) {  // division truncates toward zero; the day must round down
        rest += kSecondsPerDay;
        days -= 1;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    CivilFromDays(days, &year, &month, &day);
    snprintf(out, capacity, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day,
             (int)(rest / 3600), (int)(rest / 60 % 60), (int)(rest % 60));
}

static void PrintTimestamp(int32_t seconds, bool asSeconds) {
    if (asSeconds) {
        printf("%ld", (long)seconds);
        return;
    }
    char text[32];
    FormatUtc(seconds, text, sizeof text);
    fputs(text, stdout);
}

// Prints a fixed-size text field up to its NUL or its end, whichever is first.
static void PrintField(const char* field, size_t capacity) {
    size_t n = 0;
    while (n < capacity && field[n] != '\0') n++;
    fwrite(field, 1, n, stdout);
}

// ------------------------------------------------------------------ listing

static bool IsEndRecord(const unsigned char* record) {
    for (size_t i = 0; i < kRecordSize; i++) {
        if (record[i] != 0) return false;
    }
    return true;
}

// Copies the records out of the plug-in's block: never past LocalSize, and
// not past the all-zero end record. False when the block has no end record.
static bool CopyListing(HLOCAL block, Listing* out) {
    size_t capacity = LocalSize(block) / kRecordSize;
    const unsigned char* bytes = (const unsigned char*)LocalLock(block);
    if (bytes == NULL) {
        fputs("spihost: cannot lock the listing block\n", stderr);
        return false;
    }
    size_t count = 0;
    while (count < capacity && !IsEndRecord(bytes + count * kRecordSize)) count++;
    bool ended = count < capacity;
    out->records = (fileInfo*)malloc(count * kRecordSize + 1);
    if (out->records != NULL) memcpy(out->records, bytes, count * kRecordSize);
    out->count = (int)count;
    LocalUnlock(block);
    if (out->records == NULL) {
        fputs("spihost: out of memory\n", stderr);
        return false;
    }
    if (!ended) fputs("spihost: the listing has no end record\n", stderr);
    return ended;
}

// GetArchiveInfo, then a copy of its records; the plug-in's block is freed.
static int FetchListing(const Plugin* plugin, const Source* src, long offset, Listing* out) {
    out->records = NULL;
    out->count = 0;
    HLOCAL block = NULL;
    int code = plugin->getArchiveInfo(SourcePointer(src), SourceLength(src, offset),
                                      InputKind(src), &block);
    if (code != SPI_SUCCESS) return ReportFailure("GetArchiveInfo", code);
    if (block == NULL) {
        fputs("spihost: GetArchiveInfo returned 0 and no listing\n", stderr);
        return kExitPluginFailed;
    }
    bool ok = CopyListing(block, out);
    LocalFree(block);
    return ok ? kExitOk : kExitPluginFailed;
}

static void FreeListing(Listing* listing) {
    free(listing->records);
    listing->records = NULL;
    listing->count = 0;
}

static void PrintRecordRow(const fileInfo* r, bool asSeconds) {
    printf("%lu %lu ", (unsigned long)r->position, (unsigned long)r->filesize);
    PrintTimestamp(r->timestamp, asSeconds);
    putchar(' ');
    PrintField(r->filename, sizeof r->filename);
    putchar('\n');
}

// ----------------------------------------------------------------- commands

static int CommandInfo(const Plugin* plugin) {
    for (int i = 0; i < kInfoCount; i++) {
        char text[kInfoCapacity];
        memset(text, 0, sizeof text);
        int n = plugin->getPluginInfo(i, text, kInfoCapacity);
        if (n < 0 || n > kInfoCapacity) n = kInfoCapacity;
        printf("%d: ", i);
        PrintField(text, (size_t)n);
        putchar('\n');
    }
    return kExitOk;
}

static int CommandSupported(const Plugin* plugin, const Options* opt) {
    printf("%d\n", plugin->isSupported(opt->args[1], 0));
    return kExitOk;
}

static int CommandList(const Plugin* plugin, const Options* opt) {
    Source src;
    if (!OpenSource(opt->args[1], opt->memory, &src)) return kExitPluginFailed;
    Listing listing;
    int status = FetchListing(plugin, &src, opt->offset, &listing);
    if (listing.records != NULL) {
        printf("# position size %s name\n", opt->seconds ? "timestamp" : "utc");
        for (int i = 0; i < listing.count; i++) PrintRecordRow(&listing.records[i], opt->seconds);
    }
    FreeListing(&listing);
    CloseSource(&src);
    return status;
}

static void PrintRecordFields(const fileInfo* r) {
    fputs("method: ", stdout);
    PrintField(r->method, sizeof r->method);
    printf("\nposition: %lu\n", (unsigned long)r->position);
    printf("compsize: %lu\n", (unsigned long)r->compsize);
    printf("filesize: %lu\n", (unsigned long)r->filesize);
    printf("timestamp: %ld\n", (long)r->timestamp);
    fputs("path: ", stdout);
    PrintField(r->path, sizeof r->path);
    fputs("\nfilename: ", stdout);
    PrintField(r->filename, sizeof r->filename);
    putchar('\n');
}

static int CommandShow(const Plugin* plugin, const Options* opt) {
    Source src;
    if (!OpenSource(opt->args[1], opt->memory, &src)) return kExitPluginFailed;
    fileInfo info;
    memset(&info, 0, sizeof info);
    int code = plugin->getFileInfo(SourcePointer(&src), SourceLength(&src, opt->offset),
                                   opt->args[2], InputKind(&src), &info);
    CloseSource(&src);
    if (code != SPI_SUCCESS) return ReportFailure("GetFileInfo", code);
    PrintRecordFields(&info);
    return kExitOk;
}

// True when the stem (the text before the first dot) names a DOS device,
// which Windows opens instead of a file in any directory: CON, PRN, AUX,
// NUL, COM1-COM9, LPT1-LPT9, in any case.
static bool IsDeviceName(const char* name) {
    const char* devices[] = {"CON", "PRN", "AUX", "NUL"};
    size_t stem = strcspn(name, ".");
    for (size_t i = 0; i < sizeof devices / sizeof devices[0]; i++) {
        if (stem == 3 && _strnicmp(name, devices[i], 3) == 0) return true;
    }
    bool numbered = _strnicmp(name, "COM", 3) == 0 || _strnicmp(name, "LPT", 3) == 0;
    return stem == 4 && numbered && name[3] >= '1' && name[3] <= '9';
}

// A member name the host may append to a directory: not empty, no control
// character, separator, drive colon or wildcard, no trailing dot or space
// (Windows drops them: "..." would name the directory itself), no device name. A name
// from the plug-in can thus never leave the directory or reach a device.
static bool IsPlainFileName(const char* name) {
    size_t n = strlen(name);
    if (n == 0 || name[n - 1] == '.' || name[n - 1] == ' ') return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x20 || strchr("<>:\"/\\|?*", c) != NULL) return false;
    }
    return !IsDeviceName(name);
}

// The record's name as a terminated string: the field may lack its NUL.
static void RecordName(const fileInfo* r, char* out, size_t capacity) {
    size_t n = 0;
    while (n < sizeof r->filename && n + 1 < capacity && r->filename[n] != '\0') n++;
    memcpy(out, r->filename, n);
    out[n] = '\0';
}

static bool JoinPath(const char* dir, const char* name, char* out, int capacity) {
    int written = snprintf(out, (size_t)capacity, "%s/%s", dir, name);
    return written > 0 && written < capacity;
}

static bool WriteWholeFile(const char* path, const void* data, size_t size) {
    FILE* f = fopen(path, "wb");
    if (f == NULL) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    return ok;
}

// Size of a file in bytes, or -1 when it cannot be opened.
static long FileSize(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) return -1;
    long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    fclose(f);
    return size;
}

// GetFile's source and long argument for the member at `position`: the file
// name and the position, or the image from the position on and its rest.
static bool MemberSource(const Source* src, uint32_t position, LPCSTR* source, long* len) {
    if (!src->memory) {
        if (position > (uint32_t)LONG_MAX) return false;
        *source = src->name;
        *len = (long)position;
        return true;
    }
    if (position > (uint32_t)src->imageSize) return false;
    *source = src->image + position;
    *len = src->imageSize - (long)position;
    return true;
}

// GetFile with memory output; the body block's handle lands in *block.
static int GetToMemory(const Plugin* plugin, const Source* src, uint32_t position,
                       HLOCAL* block) {
    LPCSTR source = NULL;
    long len = 0;
    if (!MemberSource(src, position, &source, &len)) {
        fprintf(stderr, "spihost: position %lu lies beyond the list\n", (unsigned long)position);
        return kExitPluginFailed;
    }
    *block = NULL;
    unsigned flag = InputKind(src) | (kOutputToMemory << kOutputKindShift);
    int code = plugin->getFile(source, len, (LPSTR)block, flag, NULL, 0);
    if (code != SPI_SUCCESS) return ReportFailure("GetFile", code);
    if (*block == NULL) {
        fputs("spihost: GetFile returned 0 and no block\n", stderr);
        return kExitPluginFailed;
    }
    return kExitOk;
}

// The host writes the member: memory output, then DIR/NAME from the block.
static int ExtractByHost(const Plugin* plugin, const Source* src, const fileInfo* r,
                         const char* dir) {
    char path[kPathCapacity];
    char name[kRecordNameCapacity + 1];
    RecordName(r, name, sizeof name);
    if (!IsPlainFileName(name) || !JoinPath(dir, name, path, kPathCapacity)) {
        fprintf(stderr, "spihost: refusing to write member name '%s'\n", name);
        return kExitPluginFailed;
    }
    HLOCAL block = NULL;
    int status = GetToMemory(plugin, src, r->position, &block);
    if (status != kExitOk) return status;
    size_t size = LocalSize(block);
    const void* data = LocalLock(block);
    bool written = data != NULL && WriteWholeFile(path, data, size);
    if (data != NULL) LocalUnlock(block);
    LocalFree(block);
    if (!written) {
        fprintf(stderr, "spihost: cannot write %s\n", path);
        return kExitPluginFailed;
    }
    printf("%s %lu -> %s\n", name, (unsigned long)size, path);
    return kExitOk;
}

// The plug-in writes the member: file output into DIR; the host checks the file.
static int ExtractByPlugin(const Plugin* plugin, const Source* src, const fileInfo* r,
                           const char* dir) {
    char path[kPathCapacity];
    char dest[kPathCapacity];
    char name[kRecordNameCapacity + 1];
    RecordName(r, name, sizeof name);
    LPCSTR source = NULL;
    long len = 0;
    if (!JoinPath(dir, name, path, kPathCapacity) ||
        snprintf(dest, sizeof dest, "%s", dir) >= (int)sizeof dest ||
        !MemberSource(src, r->position, &source, &len)) {
        fprintf(stderr, "spihost: cannot extract '%s'\n", name);
        return kExitPluginFailed;
    }
    unsigned flag = InputKind(src) | (kOutputToFile << kOutputKindShift);
    int code = plugin->getFile(source, len, dest, flag, NULL, 0);
    if (code != SPI_SUCCESS) return ReportFailure("GetFile", code);
    long size = FileSize(path);
    if (size < 0) {
        fprintf(stderr, "spihost: GetFile returned 0 but %s is missing\n", path);
        return kExitPluginFailed;
    }
    printf("%s %ld -> %s\n", name, size, path);
    return kExitOk;
}

static const fileInfo* FindRecord(const Listing* listing, const char* name) {
    for (int i = 0; i < listing->count; i++) {
        char recordName[kRecordNameCapacity + 1];
        RecordName(&listing->records[i], recordName, sizeof recordName);
        if (strcmp(recordName, name) == 0) return &listing->records[i];
    }
    return NULL;
}

static bool AllNamesListed(const Listing* listing, const Options* opt) {
    bool ok = true;
    for (int i = 2; i < opt->count; i++) {
        if (FindRecord(listing, opt->args[i]) == NULL) {
            fprintf(stderr, "spihost: no member named '%s'\n", opt->args[i]);
            ok = false;
        }
    }
    return ok;
}

static int ExtractOne(const Plugin* plugin, const Source* src, const fileInfo* r,
                      const Options* opt) {
    if (opt->pluginWrites) return ExtractByPlugin(plugin, src, r, opt->outDir);
    return ExtractByHost(plugin, src, r, opt->outDir);
}

// Extracts every member, or the named ones; a failed member does not stop the
// others, but makes the exit status 1.
static int ExtractListed(const Plugin* plugin, const Source* src, const Listing* listing,
                         const Options* opt) {
    if (!AllNamesListed(listing, opt)) return kExitPluginFailed;
    int status = kExitOk;
    int wanted = opt->count > 2 ? opt->count - 2 : listing->count;
    for (int i = 0; i < wanted; i++) {
        const fileInfo* r =
            opt->count > 2 ? FindRecord(listing, opt->args[2 + i]) : &listing->records[i];
        if (ExtractOne(plugin, src, r, opt) != kExitOk) {
            fprintf(stderr, "spihost: '%.*s' not extracted\n", (int)sizeof r->filename,
                    r->filename);
            status = kExitPluginFailed;
        }
    }
    return status;
}

static int CommandExtract(const Plugin* plugin, const Options* opt) {
    Source src;
    if (!OpenSource(opt->args[1], opt->memory, &src)) return kExitPluginFailed;
    Listing listing;
    int status = FetchListing(plugin, &src, 0, &listing);
    if (status == kExitOk) status = ExtractListed(plugin, &src, &listing, opt);
    FreeListing(&listing);
    CloseSource(&src);
    return status;
}

static void PrintPeakMemory() {
    PROCESS_MEMORY_COUNTERS counters;
    memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return;
    printf("peak_pagefile_bytes: %lu\n", (unsigned long)counters.PeakPagefileUsage);
    printf("peak_working_set_bytes: %lu\n", (unsigned long)counters.PeakWorkingSetSize);
}

// Times one GetFile call (memory output) with the performance counter.
static int CommandBenchGet(const Plugin* plugin, const Options* opt) {
    long long position = 0;
    if (!ParseNumber(opt->args[2], 0, UINT32_MAX, &position)) return kExitUsage;
    Source src;
    if (!OpenSource(opt->args[1], opt->memory, &src)) return kExitPluginFailed;
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    HLOCAL block = NULL;
    QueryPerformanceCounter(&start);
    int status = GetToMemory(plugin, &src, (uint32_t)position, &block);
    QueryPerformanceCounter(&end);
    CloseSource(&src);
    if (status != kExitOk) return status;
    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    printf("seconds: %.6f\n", seconds);
    printf("bytes: %lu\n", (unsigned long)LocalSize(block));
    LocalFree(block);
    PrintPeakMemory();
    return kExitOk;
}

// Formats each argument (signed 32-bit seconds) as the listing shows it.
static int CommandUtc(const Options* opt) {
    if (opt->count < 2) return kExitUsage;
    for (int i = 1; i < opt->count; i++) {
        long long value = 0;
        if (!ParseNumber(opt->args[i], INT32_MIN, INT32_MAX, &value)) {
            fprintf(stderr, "spihost: not a 32-bit number of seconds: '%s'\n", opt->args[i]);
            return kExitUsage;
        }
        printf("%s ", opt->args[i]);
        PrintTimestamp((int32_t)value, false);
        putchar('\n');
    }
    return kExitOk;
}

static int RunPluginCommand(const Plugin* plugin, const Options* opt) {
    const char* command = opt->args[0];
    if (strcmp(command, "info") == 0) return CommandInfo(plugin);
    if (strcmp(command, "supported") == 0) return CommandSupported(plugin, opt);
    if (strcmp(command, "list") == 0) return CommandList(plugin, opt);
    if (strcmp(command, "show") == 0) return CommandShow(plugin, opt);
    if (strcmp(command, "extract") == 0) return CommandExtract(plugin, opt);
    return CommandBenchGet(plugin, opt);
}

// The commands that need the plug-in, with their word counts (command
// included), so that a usage error shows before anything is loaded.
struct CommandShape {
    const char* name;
    int minWords;
    int maxWords;  // -1: any number
};

static const CommandShape kPluginCommands[] = {
    {"info", 1, 1},    {"supported", 2, 2}, {"list", 2, 2},
    {"show", 3, 3},    {"extract", 2, -1},  {"bench-get", 3, 3},
};

static bool IsPluginCommandCall(const Options* opt) {
    for (size_t i = 0; i < sizeof kPluginCommands / sizeof kPluginCommands[0]; i++) {
        const CommandShape* c = &kPluginCommands[i];
        if (strcmp(opt->args[0], c->name) == 0) {
            return opt->count >= c->minWords && (c->maxWords < 0 || opt->count <= c->maxWords);
        }
    }
    return false;
}

int main(int argc, char** argv) {
    // Plain LF line ends, the same bytes on every platform's console or file.
    _setmode(_fileno(stdout), _O_BINARY);
    Options opt;
    memset(&opt, 0, sizeof opt);
    int status = kExitUsage;
    if (ParseOptions(argc, argv, &opt)) {
        if (strcmp(opt.args[0], "utc") == 0) {
            status = CommandUtc(&opt);
        } else if (IsPluginCommandCall(&opt)) {
            Plugin plugin;
            memset(&plugin, 0, sizeof plugin);
            status = LoadPlugin(&opt, &plugin);
            if (status == kExitOk) {
                status = RunPluginCommand(&plugin, &opt);
                FreeLibrary(plugin.module);
            }
        }
    }
    if (status == kExitUsage) Usage();
    free(opt.args);
    fflush(stdout);
    return status;
}
