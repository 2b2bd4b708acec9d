// spihost: a command-line host for archive plug-ins of the viewer interface.
// It loads the plug-in of its own width (KESTA.SPI beside a 32-bit spihost,
// KESTA.SPH beside a 64-bit one), finds the entry points by their plain names
// and calls them as a viewer does: the Unicode ones when the plug-in has them
// all, else (or with --ansi) the ANSI ones. Its command line and its own files
// are Unicode, and it prints text as UTF-8.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/console.h"
#include "host/entries.h"
#include "host/utc.h"
#include "plugin/filename.h"
#include "plugin/spi.h"

namespace {

// Exit statuses.
const int kExitOk = 0;
const int kExitFailed = 1;  // a call or a member failed, or its result could not be used
const int kExitUsage = 2;
const int kExitNoPlugin = 3;  // no plug-in of this width could be loaded, or it lacks an entry
const int kExitCancelled = 4;  // Ctrl-C

// What the extraction steps return besides the plug-in's codes when the host
// itself failed (and has said why).
const int kHostFailed = INT_MIN;

#if KESTA_64BIT
const wchar_t kDefaultPlugin[] = L"KESTA.SPH";  // looked for beside spihost.exe
const int kHostBits = 64;
#else
const wchar_t kDefaultPlugin[] = L"KESTA.SPI";
const int kHostBits = 32;
#endif

const int kInfoCapacity = 1024;  // longer than any description text
const int kInfoCount = 4;        // description texts 0 to 3
const int64_t kMaxImageBytes = 256 << 20;  // a URL list is text; refuse anything larger
const DWORD kModulePathCapacity = 32768;   // the longest path Windows knows, NUL included

void Usage() {
    fputs(
        "usage: spihost [--plugin PATH] [--ansi] COMMAND ...\n"
        "  info                           the plug-in's description texts\n"
        "  supported FILE                 IsSupported on the name (1 or 0)\n"
        "  list FILE [--memory] [--offset N] [--seconds]\n"
        "  show FILE NAME [--memory] [--offset N]\n"
        "  extract FILE [NAME...] [-o DIR] [--memory] [--offset N] [--plugin-writes]\n"
        "The plug-in is KESTA.SPI beside a 32-bit spihost.exe, KESTA.SPH beside a\n"
        "64-bit one, or PATH. Its Unicode entry points are used when it has them;\n"
        "--ansi forces the ANSI ones. The list starts at offset N of FILE; with\n"
        "--memory the plug-in gets FILE's bytes from N on instead of its name.\n"
        "Positions are offsets in FILE.\n"
        "extract writes every member, or every member of the names given, into DIR\n"
        "(default .) under its name. Members sharing a name (case ignored) are each\n"
        "written: the first under the name, the others as NAME (2).EXT, NAME (3).EXT\n"
        "and so on; each line shows the file written. On a terminal each member's\n"
        "progress is shown; Ctrl-C cancels the download under way and stops without\n"
        "leaving a partial file.\n"
        "Exit status: 0 done, 1 a call or member failed, 2 usage, 3 no usable plug-in,\n"
        "4 cancelled by Ctrl-C.\n",
        stderr);
}

// ------------------------------------------------------------------- text

std::string Utf8(const wchar_t* text, size_t length) {
    if (length == 0) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, NULL, 0, NULL, NULL);
    if (n <= 0) return std::string();
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, (int)length, &out[0], n, NULL, NULL);
    return out;
}

std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }
std::string Utf8(const wchar_t* text) { return Utf8(text, wcslen(text)); }

std::wstring FromAnsi(const char* text, size_t length) {
    if (length == 0) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text, (int)length, NULL, 0);
    if (n <= 0) return std::wstring();
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, (int)length, &out[0], n);
    return out;
}

// The text in the ANSI code page, for the ANSI entry points. False when the
// code page cannot spell it: the conversion does not come back the same.
bool ToAnsi(const std::wstring& text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), NULL, 0, NULL, NULL);
    if (n <= 0) return false;
    out->assign((size_t)n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), &(*out)[0], n, NULL, NULL);
    return FromAnsi(out->data(), out->size()) == text;
}

// The text of a fixed-size record field: up to its NUL or its end.
template <size_t N>
std::wstring FieldText(const char (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n] != '\0') n++;
    return FromAnsi(field, n);
}

template <size_t N>
std::wstring FieldText(const WCHAR (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n] != 0) n++;
    return std::wstring(field, n);
}

void PutText(const std::wstring& text) {
    std::string bytes = Utf8(text);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
}

// Parses a whole decimal number within [low, high]; false for empty text,
// junk after the digits or a value out of range.
bool ParseNumber(const wchar_t* text, long long low, long long high, long long* out) {
    wchar_t* end = NULL;
    errno = 0;
    long long value = wcstoll(text, &end, 10);
    if (end == text || *end != L'\0' || errno == ERANGE || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

// ---------------------------------------------------------------- options

enum OptionBit : unsigned {
    kOptPlugin = 1u << 0,
    kOptAnsi = 1u << 1,
    kOptMemory = 1u << 2,
    kOptOffset = 1u << 3,
    kOptSeconds = 1u << 4,
    kOptOut = 1u << 5,
    kOptPluginWrites = 1u << 6,
};

struct OptionShape {
    const wchar_t* name;
    OptionBit bit;
    bool takesValue;
};

const OptionShape kOptions[] = {
    {L"--plugin", kOptPlugin, true},  {L"--ansi", kOptAnsi, false},
    {L"--memory", kOptMemory, false}, {L"--offset", kOptOffset, true},
    {L"--seconds", kOptSeconds, false}, {L"-o", kOptOut, true},
    {L"--plugin-writes", kOptPluginWrites, false},
};

// The command line after the options are taken out: positionals keep their order.
struct Options {
    const wchar_t* plugin = NULL;  // NULL: the plug-in of this width beside spihost.exe
    const wchar_t* outDir = L".";  // -o
    LONG_PTR offset = 0;           // --offset: where the list begins in FILE
    unsigned given = 0;            // the OptionBits on the command line
    std::vector<const wchar_t*> args;  // command first

    bool Has(OptionBit bit) const { return (given & bit) != 0; }
};

const wchar_t* OptionName(unsigned bit) {
    for (const OptionShape& o : kOptions) {
        if (o.bit == bit) return o.name;
    }
    return L"?";
}

bool TakeOption(int argc, wchar_t** argv, int* i, Options* opt) {
    const OptionShape* shape = NULL;
    for (const OptionShape& o : kOptions) {
        if (wcscmp(argv[*i], o.name) == 0) shape = &o;
    }
    if (shape == NULL) {
        fprintf(stderr, "spihost: unknown option '%s'\n", Utf8(argv[*i]).c_str());
        return false;
    }
    opt->given |= shape->bit;
    if (!shape->takesValue) return true;
    if (*i + 1 >= argc) {
        fprintf(stderr, "spihost: %s needs a value\n", Utf8(shape->name).c_str());
        return false;
    }
    const wchar_t* value = argv[++*i];
    if (shape->bit == kOptPlugin) opt->plugin = value;
    if (shape->bit == kOptOut) opt->outDir = value;
    if (shape->bit == kOptOffset) {
        long long offset = 0;
        if (!ParseNumber(value, 0, INTPTR_MAX, &offset)) {
            fprintf(stderr, "spihost: bad offset '%s'\n", Utf8(value).c_str());
            return false;
        }
        opt->offset = (LONG_PTR)offset;
    }
    return true;
}

// Options may stand anywhere; "--" makes every later word a positional (a
// member name that starts with '-').
bool ParseOptions(int argc, wchar_t** argv, Options* opt) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        bool isOption = !optionsEnded && argv[i][0] == L'-' && argv[i][1] != L'\0';
        if (isOption && wcscmp(argv[i], L"--") == 0) {
            optionsEnded = true;
        } else if (isOption) {
            if (!TakeOption(argc, argv, &i, opt)) return false;
        } else {
            opt->args.push_back(argv[i]);
        }
    }
    return !opt->args.empty();
}

// ---------------------------------------------------------------- plug-in

struct Plugin : PluginEntries {
    HMODULE module = NULL;
    bool wide = false;  // the Unicode entry points are the ones called

    const char* Name(const char* entry) const {
        static char named[32];
        snprintf(named, sizeof named, "%s%s", entry, wide ? "W" : "");
        return named;
    }
};

int ReportFailure(const Plugin& plugin, const char* entry, int code) {
    fprintf(stderr, "spihost: %s returned %d\n", plugin.Name(entry), code);
    return kExitFailed;
}

// The plug-in path: the one given, else the plug-in of this width in
// spihost.exe's directory.
bool PluginPath(const Options& opt, std::wstring* out) {
    if (opt.plugin != NULL) {
        *out = opt.plugin;
        return true;
    }
    std::vector<wchar_t> self(kModulePathCapacity);
    DWORD n = GetModuleFileNameW(NULL, self.data(), kModulePathCapacity);
    if (n == 0 || n >= kModulePathCapacity) return false;
    while (n > 0 && self[n - 1] != L'\\' && self[n - 1] != L'/') n--;
    *out = std::wstring(self.data(), n) + kDefaultPlugin;
    return true;
}

// The width of the PE image at `path` by its header's machine field: 32 or
// 64; 0 when the file cannot be read or is neither.
int ImageBits(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) return 0;
    int bits = 0;
    IMAGE_DOS_HEADER dos;
    DWORD got = 0;
    if (ReadFile(f, &dos, sizeof dos, &got, NULL) && got == sizeof dos &&
        dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
        SetFilePointer(f, dos.e_lfanew, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
        struct {
            DWORD signature;
            IMAGE_FILE_HEADER file;
        } head;
        if (ReadFile(f, &head, sizeof head, &got, NULL) && got == sizeof head &&
            head.signature == IMAGE_NT_SIGNATURE) {
            if (head.file.Machine == IMAGE_FILE_MACHINE_I386) bits = 32;
            if (head.file.Machine == IMAGE_FILE_MACHINE_AMD64) bits = 64;
        }
    }
    CloseHandle(f);
    return bits;
}

// Finds the entry points; the Unicode set is used when it is complete and
// --ansi is not given. False (with a message) when the chosen set lacks one.
bool FindEntries(Plugin* p, bool ansi) {
    FindPluginEntries(p->module, p);
    p->wide = p->HasWideSet() && !ansi;
    if (p->wide) return true;
    const struct {
        const char* name;
        bool found;
    } ansiSet[] = {
        {"GetPluginInfo", p->getPluginInfo != NULL}, {"IsSupported", p->isSupported != NULL},
        {"GetArchiveInfo", p->getArchiveInfo != NULL}, {"GetFileInfo", p->getFileInfo != NULL},
        {"GetFile", p->getFile != NULL},
    };
    bool complete = true;
    for (const auto& e : ansiSet) {
        if (!e.found) fprintf(stderr, "spihost: the plug-in has no %s\n", e.name);
        complete = complete && e.found;
    }
    return complete;
}

int LoadPlugin(const Options& opt, Plugin* plugin) {
    std::wstring path;
    if (!PluginPath(opt, &path)) {
        fputs("spihost: cannot tell where spihost.exe lies\n", stderr);
        return kExitNoPlugin;
    }
    int bits = ImageBits(path);
    if (bits != 0 && bits != kHostBits) {
        fprintf(stderr,
                "spihost: %s is a %d-bit plug-in and this spihost is %d-bit: run the %d-bit "
                "spihost, or give a %d-bit plug-in (%s)\n",
                Utf8(path).c_str(), bits, kHostBits, bits, kHostBits, Utf8(kDefaultPlugin).c_str());
        return kExitNoPlugin;
    }
    plugin->module = LoadLibraryW(path.c_str());
    if (plugin->module == NULL) {
        fprintf(stderr, "spihost: cannot load %s (error %lu)\n", Utf8(path).c_str(),
                (unsigned long)GetLastError());
        return kExitNoPlugin;
    }
    if (!FindEntries(plugin, opt.Has(kOptAnsi))) {
        FreeLibrary(plugin->module);
        plugin->module = NULL;
        return kExitNoPlugin;
    }
    return kExitOk;
}

// ----------------------------------------------------------------- source

// The list as the plug-in is given it: its name, or its bytes from the
// start offset on.
struct Source {
    std::wstring name;
    std::string ansiName;     // the name in the ANSI code page, for the ANSI entry points
    bool memory = false;
    std::vector<char> image;  // --memory: the whole file, and a NUL
    int64_t imageSize = 0;
    LONG_PTR start = 0;       // --offset
};

// Reads the whole file; false (with a message) on failure.
bool ReadWholeFile(const std::wstring& name, std::vector<char>* data, int64_t* size) {
    HANDLE f = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "spihost: cannot open %s\n", Utf8(name).c_str());
        return false;
    }
    LARGE_INTEGER length;
    bool ok = GetFileSizeEx(f, &length) && length.QuadPart <= kMaxImageBytes;
    DWORD got = 0;
    if (ok) {
        // One spare byte so that an empty file still gets a buffer of its own.
        data->assign((size_t)length.QuadPart + 1, '\0');
        ok = ReadFile(f, data->data(), (DWORD)length.QuadPart, &got, NULL) &&
             got == (DWORD)length.QuadPart;
    }
    CloseHandle(f);
    if (!ok) {
        fprintf(stderr, "spihost: cannot read %s\n", Utf8(name).c_str());
        return false;
    }
    *size = length.QuadPart;
    return true;
}

// A text the entry points of the plug-in can take: any with the Unicode ones,
// one the ANSI code page spells with the ANSI ones. False (with a message).
bool Spellable(const Plugin& plugin, const std::wstring& text, std::string* ansi) {
    if (plugin.wide || ToAnsi(text, ansi)) return true;
    fprintf(stderr,
            "spihost: the ANSI entry points cannot take '%s': code page %u cannot spell it\n",
            Utf8(text).c_str(), GetACP());
    return false;
}

int OpenSource(const Plugin& plugin, const Options& opt, const wchar_t* name, Source* src) {
    src->name = name;
    src->memory = opt.Has(kOptMemory);
    src->start = opt.offset;
    if (!src->memory) return Spellable(plugin, src->name, &src->ansiName) ? kExitOk : kExitFailed;
    if (!ReadWholeFile(src->name, &src->image, &src->imageSize)) return kExitFailed;
    if (src->start > src->imageSize) {
        fprintf(stderr, "spihost: offset %lld lies beyond the end of %s (%lld bytes)\n",
                (long long)src->start, Utf8(src->name).c_str(), (long long)src->imageSize);
        return kExitFailed;
    }
    return kExitOk;
}

unsigned InputKind(const Source& src) { return src.memory ? 1u : 0u; }

// The source and long argument of a listing or lookup: the name and the
// start offset, or the image from the start offset on and its length.
const void* ListSource(const Plugin& plugin, const Source& src) {
    if (src.memory) return src.image.data() + src.start;
    return plugin.wide ? (const void*)src.name.c_str() : (const void*)src.ansiName.c_str();
}

LONG_PTR ListLength(const Source& src) {
    return src.memory ? (LONG_PTR)(src.imageSize - src.start) : src.start;
}

// The source and long argument of GetFile for the member at `position` (an
// offset in the file): the name and the position, or the image from the
// position on and its rest.
bool MemberSource(const Plugin& plugin, const Source& src, uint64_t position,
                  const void** source, LONG_PTR* len) {
    if (!src.memory) {
        if (position > (uint64_t)INTPTR_MAX) return false;
        *source = plugin.wide ? (const void*)src.name.c_str() : (const void*)src.ansiName.c_str();
        *len = (LONG_PTR)position;
        return true;
    }
    if (position < (uint64_t)src.start || position > (uint64_t)src.imageSize) return false;
    *source = src.image.data() + position;
    *len = (LONG_PTR)(src.imageSize - (int64_t)position);
    return true;
}

// ---------------------------------------------------------------- members

// One record in either layout; positions are offsets in the list file.
struct Member {
    std::wstring method;
    uint64_t position = 0;
    uint64_t compsize = 0;
    uint64_t filesize = 0;
    int64_t timestamp = 0;
    std::wstring path;
    std::wstring name;
    uint32_t crc = 0;
};

template <typename Record>
Member MemberOf(const Record& r, const Source& src) {
    Member m;
    m.method = FieldText(r.method);
    // A memory image starts at the start offset: its positions count from there.
    m.position = (uint64_t)r.position + (src.memory ? (uint64_t)src.start : 0);
    m.compsize = r.compsize;
    m.filesize = r.filesize;
    m.timestamp = r.timestamp;
    m.path = FieldText(r.path);
    m.name = FieldText(r.filename);
    m.crc = r.crc;
    return m;
}

bool IsEndRecord(const unsigned char* record, size_t size) {
    for (size_t i = 0; i < size; i++) {
        if (record[i] != 0) return false;
    }
    return true;
}

// Reads the records out of the plug-in's block: never past LocalSize, and
// not past the all-zero end record. False when the block has no end record.
bool CopyListing(const Plugin& plugin, const Source& src, HLOCAL block,
                 std::vector<Member>* out) {
    size_t recordSize = plugin.wide ? sizeof(fileInfoW) : sizeof(fileInfo);
    size_t capacity = LocalSize(block) / recordSize;
    const unsigned char* bytes = (const unsigned char*)LocalLock(block);
    if (bytes == NULL) {
        fputs("spihost: cannot lock the listing block\n", stderr);
        return false;
    }
    size_t count = 0;
    for (; count < capacity; count++) {
        const unsigned char* record = bytes + count * recordSize;
        if (IsEndRecord(record, recordSize)) break;
        // The block holds no alignment promise for the records: copy each out.
        if (plugin.wide) {
            fileInfoW r;
            memcpy(&r, record, sizeof r);
            out->push_back(MemberOf(r, src));
        } else {
            fileInfo r;
            memcpy(&r, record, sizeof r);
            out->push_back(MemberOf(r, src));
        }
    }
    LocalUnlock(block);
    if (count == capacity) fputs("spihost: the listing has no end record\n", stderr);
    return count < capacity;
}

// GetArchiveInfo(W), then a copy of its records; the plug-in's block is freed.
int FetchListing(const Plugin& plugin, const Source& src, std::vector<Member>* out) {
    HLOCAL block = NULL;
    const void* source = ListSource(plugin, src);
    int code = plugin.wide ? plugin.getArchiveInfoW((LPCWSTR)source, ListLength(src),
                                                    InputKind(src), &block)
                           : plugin.getArchiveInfo((LPCSTR)source, ListLength(src),
                                                   InputKind(src), &block);
    if (code != SPI_SUCCESS) return ReportFailure(plugin, "GetArchiveInfo", code);
    if (block == NULL) {
        fprintf(stderr, "spihost: %s returned 0 and no listing\n",
                plugin.Name("GetArchiveInfo"));
        return kExitFailed;
    }
    bool ok = CopyListing(plugin, src, block, out);
    LocalFree(block);
    return ok ? kExitOk : kExitFailed;
}

void PrintTimestamp(int64_t seconds, bool asSeconds) {
    if (asSeconds) {
        printf("%lld", (long long)seconds);
        return;
    }
    char text[kUtcTextCapacity];
    FormatUtc(seconds, text);
    fputs(text, stdout);
}

// --------------------------------------------------------------- commands

int CommandInfo(const Plugin& plugin, const Options&) {
    for (int i = 0; i < kInfoCount; i++) {
        std::wstring text;
        if (plugin.wide) {
            WCHAR buf[kInfoCapacity] = {0};
            int n = plugin.getPluginInfoW(i, buf, kInfoCapacity);
            if (n < 0 || n > kInfoCapacity) n = kInfoCapacity;
            text = std::wstring(buf, wcsnlen(buf, (size_t)n));
        } else {
            char buf[kInfoCapacity] = {0};
            int n = plugin.getPluginInfo(i, buf, kInfoCapacity);
            if (n < 0 || n > kInfoCapacity) n = kInfoCapacity;
            text = FromAnsi(buf, strnlen(buf, (size_t)n));
        }
        printf("%d: ", i);
        PutText(text);
        putchar('\n');
    }
    return kExitOk;
}

int CommandSupported(const Plugin& plugin, const Options& opt) {
    std::string ansi;
    if (!Spellable(plugin, opt.args[1], &ansi)) return kExitFailed;
    int answer = plugin.wide ? plugin.isSupportedW(opt.args[1], NULL)
                             : plugin.isSupported(ansi.c_str(), 0);
    printf("%d\n", answer);
    return kExitOk;
}

int CommandList(const Plugin& plugin, const Options& opt) {
    Source src;
    int status = OpenSource(plugin, opt, opt.args[1], &src);
    std::vector<Member> members;
    if (status == kExitOk) status = FetchListing(plugin, src, &members);
    if (status != kExitOk) return status;
    bool seconds = opt.Has(kOptSeconds);
    printf("# position size %s name\n", seconds ? "timestamp" : "utc");
    for (const Member& m : members) {
        printf("%llu %llu ", (unsigned long long)m.position, (unsigned long long)m.filesize);
        PrintTimestamp(m.timestamp, seconds);
        putchar(' ');
        PutText(m.name);
        putchar('\n');
    }
    return kExitOk;
}

int CommandShow(const Plugin& plugin, const Options& opt) {
    Source src;
    int status = OpenSource(plugin, opt, opt.args[1], &src);
    std::string ansiName;
    if (status == kExitOk && !Spellable(plugin, opt.args[2], &ansiName)) status = kExitFailed;
    if (status != kExitOk) return status;
    const void* source = ListSource(plugin, src);
    Member m;
    int code = 0;
    if (plugin.wide) {
        fileInfoW info;
        memset(&info, 0, sizeof info);
        code = plugin.getFileInfoW((LPCWSTR)source, ListLength(src), opt.args[2],
                                   InputKind(src), &info);
        m = MemberOf(info, src);
    } else {
        fileInfo info;
        memset(&info, 0, sizeof info);
        code = plugin.getFileInfo((LPCSTR)source, ListLength(src), ansiName.c_str(),
                                  InputKind(src), &info);
        m = MemberOf(info, src);
    }
    if (code != SPI_SUCCESS) return ReportFailure(plugin, "GetFileInfo", code);
    fputs("method: ", stdout);
    PutText(m.method);
    printf("\nposition: %llu\n", (unsigned long long)m.position);
    printf("compsize: %llu\n", (unsigned long long)m.compsize);
    printf("filesize: %llu\n", (unsigned long long)m.filesize);
    printf("timestamp: %lld\n", (long long)m.timestamp);
    fputs("path: ", stdout);
    PutText(m.path);
    fputs("\nfilename: ", stdout);
    PutText(m.name);
    putchar('\n');
    return kExitOk;
}

// ---------------------------------------------------------------- extract

// One member to extract, and the name of the file it goes to.
struct Target {
    const Member* member;
    std::wstring fileName;
};

// Windows compares file names without case.
bool SameFileName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
           CSTR_EQUAL;
}

bool NameIn(const std::wstring& name, const std::vector<std::wstring>& names) {
    for (const std::wstring& n : names) {
        if (SameFileName(n, name)) return true;
    }
    return false;
}

// "NAME (k).EXT" for a name that an earlier member's file already has; the
// extension starts at the last dot, unless that is the first character.
std::wstring NumberedName(const std::wstring& name, size_t k) {
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot == 0) dot = name.size();
    return name.substr(0, dot) + L" (" + std::to_wstring(k) + L")" + name.substr(dot);
}

// The file name of each selected member: its own, or, when an earlier one
// has taken it, the first numbered name that no selected member has.
// Names that are no plain file names are kept, to be refused one by one.
std::vector<Target> PlanTargets(const std::vector<const Member*>& selected) {
    std::vector<std::wstring> own;
    for (const Member* m : selected) own.push_back(m->name);
    std::vector<std::wstring> taken;
    std::vector<Target> targets;
    for (const Member* m : selected) {
        std::wstring file = m->name;
        if (IsPlainFileName(file.c_str()) && NameIn(file, taken)) {
            for (size_t k = 2;; k++) {
                file = NumberedName(m->name, k);
                if (IsPlainFileName(file.c_str()) && !NameIn(file, taken) && !NameIn(file, own)) {
                    break;
                }
            }
        }
        if (IsPlainFileName(file.c_str())) taken.push_back(file);
        targets.push_back(Target{m, file});
    }
    return targets;
}

// DIR joined with a file name, with '/' where DIR is spelled with '/' only,
// so the path printed looks like the one typed.
bool OutputPath(const std::wstring& dir, const std::wstring& file, std::wstring* out) {
    std::wstring base = dir;
    if (!base.empty() && base.find(L'\\') == std::wstring::npos && base.back() != L'/') {
        base += L'/';
    }
    WCHAR path[kMaxPathChars];
    if (!JoinFilePath(base.c_str(), file.c_str(), path)) return false;
    *out = path;
    return true;
}

// Size of a file in bytes, or -1 when it cannot be read.
int64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return (int64_t)(((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow);
}

struct Extraction {
    const Plugin& plugin;
    const Source& src;
    const Options& opt;
    std::wstring dir;
    std::string ansiDir;  // the directory for the ANSI GetFile
};

// GetFile(W) for the member, file output into `dir` (ANSI: `ansiDir`) or
// memory output into *block, watched by `line`.
int CallGetFile(const Extraction& x, const Member& m, const std::wstring& dir,
                const std::string& ansiDir, HLOCAL* block, ProgressLine* line) {
    const void* source = NULL;
    LONG_PTR len = 0;
    if (!MemberSource(x.plugin, x.src, m.position, &source, &len)) {
        fprintf(stderr, "spihost: position %llu lies outside the list\n",
                (unsigned long long)m.position);
        return kHostFailed;
    }
    unsigned output = block != NULL ? kOutputToMemory : kOutputToFile;
    unsigned flag = InputKind(x.src) | (output << kOutputKindShift);
    LONG_PTR datum = reinterpret_cast<LONG_PTR>(line);
    if (block != NULL) *block = NULL;
    line->startTick = GetTickCount64();
    if (x.plugin.wide) {
        LPWSTR dest = block != NULL ? (LPWSTR)block : (LPWSTR)dir.c_str();
        return x.plugin.getFileW((LPCWSTR)source, len, dest, flag, OnProgress, datum);
    }
    LPSTR dest = block != NULL ? (LPSTR)block : (LPSTR)ansiDir.c_str();
    return x.plugin.getFile((LPCSTR)source, len, dest, flag, OnProgress, datum);
}

// The host writes the member: memory output, then the file through a
// temporary one beside it.
int ExtractByHost(const Extraction& x, const Target& t, const std::wstring& path,
                  ProgressLine* line, int64_t* size) {
    HLOCAL block = NULL;
    int code = CallGetFile(x, *t.member, std::wstring(), std::string(), &block, line);
    if (code != SPI_SUCCESS) return code;
    if (block == NULL) {
        fprintf(stderr, "spihost: %s returned 0 and no block\n", x.plugin.Name("GetFile"));
        return kHostFailed;
    }
    *size = (int64_t)LocalSize(block);
    const void* data = LocalLock(block);
    bool written = data != NULL && WriteFileWhole(path.c_str(), data, *size);
    if (data != NULL) LocalUnlock(block);
    LocalFree(block);
    if (!written) {
        fprintf(stderr, "spihost: cannot write %s\n", Utf8(path).c_str());
        return kHostFailed;
    }
    return SPI_SUCCESS;
}

// A new, empty directory beside the output files for the plug-in to write a
// member into whose name an earlier member's file has taken.
bool MakeStagingDirectory(const std::wstring& dir, std::wstring* out) {
    const int kAttempts = 64;
    for (int i = 0; i < kAttempts; i++) {
        std::wstring name = L"~spihost-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(i);
        if (!OutputPath(dir, name, out)) return false;
        if (CreateDirectoryW(out->c_str(), NULL)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// The plug-in writes the member: file output into DIR, or, for a numbered
// name, into a staging directory from which the host moves the file.
int ExtractByPlugin(const Extraction& x, const Target& t, const std::wstring& path,
                    ProgressLine* line, int64_t* size) {
    const std::wstring& name = t.member->name;
    if (t.fileName == name) {
        int code = CallGetFile(x, *t.member, x.dir, x.ansiDir, NULL, line);
        if (code != SPI_SUCCESS) return code;
    } else {
        std::wstring stage;
        std::wstring staged;
        std::string ansiStage;
        if (!MakeStagingDirectory(x.dir, &stage)) {
            fprintf(stderr, "spihost: cannot make a directory in %s\n", Utf8(x.dir).c_str());
            return kHostFailed;
        }
        int code = kHostFailed;
        if (Spellable(x.plugin, stage, &ansiStage) && OutputPath(stage, name, &staged)) {
            code = CallGetFile(x, *t.member, stage, ansiStage, NULL, line);
        }
        bool moved = code == SPI_SUCCESS &&
                     MoveFileExW(staged.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (!moved && !staged.empty()) DeleteFileW(staged.c_str());
        RemoveDirectoryW(stage.c_str());
        if (code != SPI_SUCCESS) return code;
        if (!moved) {
            fprintf(stderr, "spihost: cannot move the member to %s\n", Utf8(path).c_str());
            return kHostFailed;
        }
    }
    *size = FileSize(path);
    if (*size < 0) {
        fprintf(stderr, "spihost: %s returned 0 but %s is missing\n", x.plugin.Name("GetFile"),
                Utf8(path).c_str());
        return kHostFailed;
    }
    return SPI_SUCCESS;
}

int ExtractOne(const Extraction& x, const Target& t) {
    const std::wstring& name = t.member->name;
    bool pluginWrites = x.opt.Has(kOptPluginWrites);
    std::wstring path;
    bool usable = IsPlainFileName(t.fileName.c_str()) && OutputPath(x.dir, t.fileName, &path);
    // A plug-in that writes under the member's own name judges that name itself.
    if (!usable && !(pluginWrites && t.fileName == name)) {
        fprintf(stderr, "spihost: refusing to write member name '%s'\n", Utf8(name).c_str());
        return kExitFailed;
    }
    ProgressLine line;
    line.shown = IsConsole(STD_ERROR_HANDLE);
    line.name = Utf8(name);
    line.listedSize = t.member->filesize;
    int64_t size = 0;
    int code = pluginWrites ? ExtractByPlugin(x, t, path, &line, &size)
                            : ExtractByHost(x, t, path, &line, &size);
    EndProgress(&line, code == SPI_CANCELLED ? "  cancelled" : "");
    if (code == SPI_CANCELLED) {
        fprintf(stderr, "spihost: '%s' cancelled; nothing written\n", Utf8(name).c_str());
        return kExitCancelled;
    }
    if (code == kHostFailed) return kExitFailed;
    if (code != SPI_SUCCESS) return ReportFailure(x.plugin, "GetFile", code);
    PutText(name);
    printf(" %lld -> ", (long long)size);
    PutText(path);
    putchar('\n');
    fflush(stdout);
    return kExitOk;
}

// The members to extract: every one, or those of the names given (every
// member of each name, in listing order). False when a name is not listed.
bool SelectMembers(const std::vector<Member>& members, const Options& opt,
                   std::vector<const Member*>* selected) {
    bool ok = true;
    std::vector<std::wstring> names;
    for (size_t i = 2; i < opt.args.size(); i++) {
        bool listed = false;
        for (const Member& m : members) listed = listed || m.name == opt.args[i];
        if (!listed) {
            fprintf(stderr, "spihost: no member named '%s'\n", Utf8(opt.args[i]).c_str());
            ok = false;
        }
        names.push_back(opt.args[i]);
    }
    for (const Member& m : members) {
        bool wanted = names.empty();
        for (const std::wstring& n : names) wanted = wanted || m.name == n;
        if (wanted) selected->push_back(&m);
    }
    return ok;
}

// Extracts the selected members; a failed member does not stop the others,
// but makes the exit status 1. Ctrl-C stops at the member under way.
int ExtractListed(const Extraction& x, const std::vector<Member>& members) {
    std::vector<const Member*> selected;
    if (!SelectMembers(members, x.opt, &selected)) return kExitFailed;
    int status = kExitOk;
    SetCancellable(true);
    for (const Target& t : PlanTargets(selected)) {
        int result = CancelRequested() ? kExitCancelled : ExtractOne(x, t);
        if (result == kExitCancelled) {
            status = kExitCancelled;
            break;
        }
        if (result != kExitOk) {
            fprintf(stderr, "spihost: '%s' not extracted\n", Utf8(t.member->name).c_str());
            status = kExitFailed;
        }
    }
    if (CancelRequested()) status = kExitCancelled;
    SetCancellable(false);
    return status;
}

int CommandExtract(const Plugin& plugin, const Options& opt) {
    Source src;
    int status = OpenSource(plugin, opt, opt.args[1], &src);
    Extraction x = {plugin, src, opt, opt.outDir, std::string()};
    if (status == kExitOk && !Spellable(plugin, x.dir, &x.ansiDir)) status = kExitFailed;
    std::vector<Member> members;
    if (status == kExitOk) status = FetchListing(plugin, src, &members);
    if (status == kExitOk) status = ExtractListed(x, members);
    if (status == kExitCancelled && CancelRequested()) {
        fputs("spihost: cancelled by Ctrl-C\n", stderr);
    }
    return status;
}

// ------------------------------------------------------------- dispatch

// The commands, their word counts (command included) and the options each
// takes besides --plugin and --ansi, so that a usage error shows before
// anything is loaded.
struct Command {
    const wchar_t* name;
    size_t minWords;
    size_t maxWords;  // 0: any number
    unsigned options;
    int (*run)(const Plugin&, const Options&);
};

const unsigned kEveryCommand = kOptPlugin | kOptAnsi;

const Command kCommands[] = {
    {L"info", 1, 1, 0, CommandInfo},
    {L"supported", 2, 2, 0, CommandSupported},
    {L"list", 2, 2, kOptMemory | kOptOffset | kOptSeconds, CommandList},
    {L"show", 3, 3, kOptMemory | kOptOffset, CommandShow},
    {L"extract", 2, 0, kOptMemory | kOptOffset | kOptOut | kOptPluginWrites, CommandExtract},
};

// The command the words name, or NULL (with a message) when there is none or
// the words or options do not fit it.
const Command* FindCommand(const Options& opt) {
    const Command* found = NULL;
    for (const Command& c : kCommands) {
        if (wcscmp(opt.args[0], c.name) == 0) found = &c;
    }
    if (found == NULL) {
        fprintf(stderr, "spihost: unknown command '%s'\n", Utf8(opt.args[0]).c_str());
        return NULL;
    }
    size_t words = opt.args.size();
    if (words < found->minWords || (found->maxWords != 0 && words > found->maxWords)) {
        fprintf(stderr, "spihost: wrong number of arguments for %s\n", Utf8(found->name).c_str());
        return NULL;
    }
    unsigned refused = opt.given & ~(found->options | kEveryCommand);
    for (unsigned bit = 1; refused != 0; bit <<= 1) {
        if ((refused & bit) == 0) continue;
        fprintf(stderr, "spihost: %s does not take %s\n", Utf8(found->name).c_str(),
                Utf8(OptionName(bit)).c_str());
        refused &= ~bit;
        found = NULL;
    }
    return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Plain LF line ends, the same bytes on every platform's console or file;
    // a console shows the UTF-8 as text.
    _setmode(_fileno(stdout), _O_BINARY);
    SetUpConsole(kExitCancelled);
    Options opt;
    int status = kExitUsage;
    const Command* command = ParseOptions(argc, argv, &opt) ? FindCommand(opt) : NULL;
    if (command != NULL) {
        Plugin plugin;
        status = LoadPlugin(opt, &plugin);
        if (status == kExitOk) {
            status = command->run(plugin, opt);
            FreeLibrary(plugin.module);
        }
    }
    if (status == kExitUsage) Usage();
    fflush(stdout);
    RestoreConsole();
    return status;
}
