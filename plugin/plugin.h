// The operations behind the exports (exports.cpp only forwards to them).
// The ANSI and Unicode entry points share each operation: a source or a
// destination is named by either kind of text, and the records are written
// in either layout, but the list is read, scanned and downloaded one way.
#ifndef KESTA_PLUGIN_PLUGIN_H
#define KESTA_PLUGIN_PLUGIN_H

#include "plugin/spi.h"

// Copies description text `infono` (0 to 3) into buf: at most buflen - 1
// characters, NUL characters up to buflen. Returns the characters copied; 0
// for another index or a buflen of 0 or less, with buf untouched.
int CopyPluginInfo(int infono, char* buf, int buflen);
int CopyPluginInfoW(int infono, WCHAR* buf, int buflen);

// 1 when the name's last three characters are "ykt" or "YKT", else 0.
int IsUrlListName(const char* filename);
int IsUrlListNameW(const WCHAR* filename);

// A list file's name or a destination directory, in the text of the entry
// point that received it. For a memory image `ansi` carries the bytes.
struct HostText {
    const char* ansi;   // set by the ANSI entry points
    const WCHAR* wide;  // set by the Unicode entry points
};

inline HostText AnsiText(const char* s) { return HostText{s, NULL}; }
inline HostText WideText(const WCHAR* s) { return HostText{NULL, s}; }

// Which record layout the host reads: fileInfo or fileInfoW.
enum RecordKind { kAnsiRecords, kWideRecords };

// The archive operations; each returns an SpiResult. The listing out-pointer
// and, with memory output, the handle out-pointer receive NULL on failure.
int ListArchive(HostText source, LONG_PTR arg, unsigned flag, RecordKind kind, HLOCAL* listing);
// `name` is a char* (kAnsiRecords) or a WCHAR* (kWideRecords), and `info`
// a fileInfo or a fileInfoW.
int DescribeMember(HostText source, LONG_PTR arg, const void* name, unsigned flag,
                   RecordKind kind, void* info);
int ExtractMember(HostText source, LONG_PTR arg, HostText dest, unsigned flag,
                  SpiProgress progress, LONG_PTR datum);

#endif  // KESTA_PLUGIN_PLUGIN_H
