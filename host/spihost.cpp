// spihost: a command-line host that loads an archive plug-in as a viewer does.
// This file holds the commands, their table and the entry point; the other
// jobs live beside it (options, loader, listing, extract, paths, text, console).
//
// The plug-in is the one of spihost's width (KESTA.SPI beside a 32-bit
// spihost, KESTA.SPH beside a 64-bit one); its Unicode entry points are
// called when it has them all, else (or with --ansi) the ANSI ones. The
// command line and spihost's own files are Unicode; text is printed as UTF-8.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "host/console.h"
#include "host/extract.h"
#include "host/listing.h"
#include "host/loader.h"
#include "host/options.h"
#include "host/status.h"
#include "host/text.h"
#include "host/utc.h"

namespace {

const int kInfoCapacity = 1024;  // longer than any description text
const int kInfoCount = 4;        // description texts 0 to 3

// Description text `i`, as long as the plug-in says it wrote but never past
// its NUL or the buffer.
std::wstring InfoText(const Plugin& plugin, int i) {
    if (plugin.wide) {
        WCHAR buf[kInfoCapacity] = {0};
        int n = plugin.getPluginInfoW(i, buf, kInfoCapacity);
        if (n < 0 || n > kInfoCapacity) n = kInfoCapacity;
        return std::wstring(buf, wcsnlen(buf, (size_t)n));
    }
    char buf[kInfoCapacity] = {0};
    int n = plugin.getPluginInfo(i, buf, kInfoCapacity);
    if (n < 0 || n > kInfoCapacity) n = kInfoCapacity;
    return FromAnsi(buf, strnlen(buf, (size_t)n));
}

int CommandInfo(const Plugin& plugin, const Options&) {
    for (int i = 0; i < kInfoCount; i++) {
        printf("%d: ", i);
        PutText(InfoText(plugin, i));
        putchar('\n');
    }
    return kExitOk;
}

int CommandSupported(const Plugin& plugin, const Options& opt) {
    HostPath file = PathArgument(opt.args[1]);
    std::string ansi;
    if (!Spellable(plugin, file, &ansi)) return kExitFailed;
    int answer = plugin.wide ? plugin.isSupportedW(file.opened.c_str(), NULL)
                             : plugin.isSupported(ansi.c_str(), 0);
    printf("%d\n", answer);
    return kExitOk;
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

int CommandList(const Plugin& plugin, const Options& opt) {
    Source src;
    int status = OpenSource(plugin, opt, opt.args[1], &src);
    std::vector<Member> members;
    if (status == kExitOk) status = FetchListing(plugin, src, &members);
    if (status == kExitOk && opt.Has(kOptAgain)) {
        members.clear();
        status = FetchListing(plugin, src, &members);
    }
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
    Member m;
    int status = OpenSource(plugin, opt, opt.args[1], &src);
    if (status == kExitOk) status = LookUpMember(plugin, src, opt.args[2], &m);
    if (status != kExitOk) return status;
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
    {L"list", 2, 2, kOptMemory | kOptOffset | kOptSeconds | kOptAgain, CommandList},
    {L"show", 3, 3, kOptMemory | kOptOffset, CommandShow},
    {L"extract", 2, 0, kOptMemory | kOptOffset | kOptOut | kOptPluginWrites, CommandExtract},
};

// False (with a message per option) when an option given is not the command's.
bool TakesGivenOptions(const Command& c, const Options& opt) {
    unsigned refused = opt.given & ~(c.options | kEveryCommand);
    for (unsigned bit = 1; bit != 0; bit <<= 1) {
        if ((refused & bit) == 0) continue;
        fprintf(stderr, "spihost: %s does not take %s\n", Utf8(c.name).c_str(),
                Utf8(OptionName(bit)).c_str());
    }
    return refused == 0;
}

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
    return TakesGivenOptions(*found, opt) ? found : NULL;
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
