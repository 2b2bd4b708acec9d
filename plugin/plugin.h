// The operations behind the five exports (exports.cpp only forwards to them).
#ifndef KESTA_PLUGIN_PLUGIN_H
#define KESTA_PLUGIN_PLUGIN_H

#include "plugin/spi.h"

// Copies description text `infono` (0 to 3) into buf: at most buflen - 1
// characters, NUL bytes up to buflen. Returns the characters copied; 0 for
// another index or a buflen of 0 or less, with buf untouched.
int CopyPluginInfo(int infono, char* buf, int buflen);

// 1 when the name's last three characters are "ykt" or "YKT", else 0.
int IsUrlListName(const char* filename);

// The archive operations; each returns an SpiResult.
int ListArchive(const char* source, LONG_PTR arg, unsigned flag, HLOCAL* listing);
int DescribeMember(const char* source, LONG_PTR arg, const char* name, unsigned flag, fileInfo* info);
int ExtractMember(const char* source, LONG_PTR arg, char* dest, unsigned flag);

#endif  // KESTA_PLUGIN_PLUGIN_H
