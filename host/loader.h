// Loading the plug-in as a viewer does: the file of this width beside
// spihost.exe or the one --plugin names, refused by its PE header when it is
// of the other width, and the set of entry points to call (host/entries.h).
#ifndef KESTA_HOST_LOADER_H
#define KESTA_HOST_LOADER_H

#include <string>

#include "host/entries.h"
#include "host/options.h"

struct Plugin : PluginEntries {
    HMODULE module = NULL;
    bool wide = false;  // the Unicode entry points are the ones called

    // The entry's name as called: "GetFile" or "GetFileW". Valid until the next call.
    const char* Name(const char* entry) const;
};

// Loads the plug-in and finds its entry points: the Unicode set when it is
// complete and --ansi is not given, else the ANSI set, which must be.
// kExitOk, or kExitNoPlugin (with a message).
int LoadPlugin(const Options& opt, Plugin* plugin);

// Says that the entry returned `code`; returns kExitFailed.
int ReportFailure(const Plugin& plugin, const char* entry, int code);

// A text the entry points of the plug-in can take: any with the Unicode ones,
// one the ANSI code page spells with the ANSI ones (then in *ansi). False
// (with a message) when the code page cannot spell it.
bool Spellable(const Plugin& plugin, const std::wstring& text, std::string* ansi);

// The same for a path: its opened form is checked, its typed form named.
bool Spellable(const Plugin& plugin, const HostPath& path, std::string* ansi);

#endif  // KESTA_HOST_LOADER_H
