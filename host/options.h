// spihost's command line: the options, which take a value, where they may
// stand, and the usage text. Which command takes which option is the
// command table's business (spihost.cpp).
#ifndef KESTA_HOST_OPTIONS_H
#define KESTA_HOST_OPTIONS_H

#include <vector>

#include "compat/win32.h"
#include "host/paths.h"

enum OptionBit : unsigned {
    kOptPlugin = 1u << 0,
    kOptAnsi = 1u << 1,
    kOptMemory = 1u << 2,
    kOptOffset = 1u << 3,
    kOptSeconds = 1u << 4,
    kOptOut = 1u << 5,
    kOptPluginWrites = 1u << 6,
    kOptAgain = 1u << 7,
};

// The command line after the options are taken out: positionals keep their order.
struct Options {
    HostPath plugin;                 // --plugin; without it, the plug-in beside spihost.exe
    HostPath outDir{L".", L"."};     // -o
    LONG_PTR offset = 0;             // --offset: where the list begins in FILE
    unsigned given = 0;              // the OptionBits on the command line
    std::vector<const wchar_t*> args;  // command first

    bool Has(OptionBit bit) const { return (given & bit) != 0; }
};

// The option's name as typed ("--memory"); "?" for a bit that names none.
const wchar_t* OptionName(unsigned bit);

// Options may stand anywhere; "--" makes every later word a positional (a
// member name that starts with '-'). False (with a message for a bad
// option) when an option is unknown or lacks its value, or no command is given.
bool ParseOptions(int argc, wchar_t** argv, Options* opt);

// The usage text, on stderr.
void Usage();

#endif  // KESTA_HOST_OPTIONS_H
