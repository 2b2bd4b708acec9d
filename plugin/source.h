// The working copy of a URL list for one entry-point call, taken from the
// host's file name (ANSI or Unicode) or memory image, and given back on
// every way out of the call.
#ifndef KESTA_PLUGIN_SOURCE_H
#define KESTA_PLUGIN_SOURCE_H

#include <string.h>

#include "plugin/plugin.h"
#include "urllist/urllist.h"

struct SourceGuard {
    SourceCopy copy;

    SourceGuard() { memset(&copy, 0, sizeof copy); }
    ~SourceGuard() { ReleaseSource(&copy); }
    SourceGuard(const SourceGuard&) = delete;
    SourceGuard& operator=(const SourceGuard&) = delete;

    // LoadSource's codes: 0, 3, 5 or 6.
    int Load(HostText source, LONG_PTR arg, unsigned flag) {
        if (source.wide) return LoadSourceW(source.wide, arg, flag, &copy);
        return LoadSource(source.ansi, arg, flag, &copy);
    }
};

#endif  // KESTA_PLUGIN_SOURCE_H
