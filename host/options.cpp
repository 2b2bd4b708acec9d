// Parsing spihost's options, and its usage text.
#include "host/options.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

#include "host/text.h"

namespace {

struct OptionShape {
    const wchar_t* name;
    OptionBit bit;
    bool takesValue;
};

const OptionShape kOptions[] = {
    {L"--plugin", kOptPlugin, true},  {L"--ansi", kOptAnsi, false},
    {L"--memory", kOptMemory, false}, {L"--offset", kOptOffset, true},
    {L"--seconds", kOptSeconds, false}, {L"-o", kOptOut, true},
    {L"--plugin-writes", kOptPluginWrites, false}, {L"--again", kOptAgain, false},
};

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

const OptionShape* FindOption(const wchar_t* word) {
    for (const OptionShape& o : kOptions) {
        if (wcscmp(word, o.name) == 0) return &o;
    }
    return NULL;
}

bool TakeValue(OptionBit bit, const wchar_t* value, Options* opt) {
    if (bit == kOptPlugin) opt->plugin = PathArgument(value);
    if (bit == kOptOut) opt->outDir = PathArgument(value);
    if (bit == kOptOffset) {
        long long offset = 0;
        if (!ParseNumber(value, 0, INTPTR_MAX, &offset)) {
            fprintf(stderr, "spihost: bad offset '%s'\n", Utf8(value).c_str());
            return false;
        }
        opt->offset = (LONG_PTR)offset;
    }
    return true;
}

bool TakeOption(int argc, wchar_t** argv, int* i, Options* opt) {
    const OptionShape* shape = FindOption(argv[*i]);
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
    return TakeValue(shape->bit, argv[++*i], opt);
}

}  // namespace

const wchar_t* OptionName(unsigned bit) {
    for (const OptionShape& o : kOptions) {
        if (o.bit == bit) return o.name;
    }
    return L"?";
}

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

void Usage() {
    fputs(
        "usage: spihost [--plugin PATH] [--ansi] COMMAND ...\n"
        "  info                           the plug-in's description texts\n"
        "  supported FILE                 IsSupported on the name (1 or 0)\n"
        "  list FILE [--memory] [--offset N] [--seconds] [--again]\n"
        "  show FILE NAME [--memory] [--offset N]\n"
        "  extract FILE [NAME...] [-o DIR] [--memory] [--offset N] [--plugin-writes]\n"
        "The plug-in is KESTA.SPI beside a 32-bit spihost.exe, KESTA.SPH beside a\n"
        "64-bit one, or PATH. Its Unicode entry points are used when it has them;\n"
        "--ansi forces the ANSI ones. The list starts at offset N of FILE; with\n"
        "--memory the plug-in gets FILE's bytes from N on instead of its name.\n"
        "Positions are offsets in FILE. list --again lists FILE a second time with\n"
        "the plug-in still loaded, as a viewer that lists again does, and shows that\n"
        "second listing.\n"
        "extract writes every member, or every member of the names given, into DIR\n"
        "(default .) under its name. Members sharing a name (case ignored) are each\n"
        "written: the first under the name, the others as NAME (2).EXT, NAME (3).EXT\n"
        "and so on; each line shows the file written, as DIR/NAME with DIR as typed,\n"
        "and a last line on stderr says how many files went into DIR. On a terminal\n"
        "each member's progress is shown; Ctrl-C cancels the download under way and\n"
        "stops without leaving a partial file.\n"
        "Exit status: 0 done, 1 a call or member failed, 2 usage, 3 no usable plug-in,\n"
        "4 cancelled by Ctrl-C.\n",
        stderr);
}
