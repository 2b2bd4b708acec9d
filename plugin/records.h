// One member as the plug-in knows it, and its record in the layout the host
// reads: fileInfo or fileInfoW, 32-bit or 64-bit by build (plugin/spi.h).
#ifndef KESTA_PLUGIN_RECORDS_H
#define KESTA_PLUGIN_RECORDS_H

#include "plugin/plugin.h"
#include "urllist/urllist.h"

struct Member {
    int64_t position;   // offset of the 'h' of its "http://" or "https://"
    int64_t size;       // body length; 0 when the download failed
    int64_t timestamp;  // seconds since 1970; 0 when the download failed
    char name[kRecordNameCapacity];       // the ANSI record's name, NUL-terminated
    WCHAR wideName[kRecordNameCapacity];  // the Unicode record's name, NUL-terminated
};

// The names of the member whose address is `address` (NUL-terminated, in the
// list's encoding), as the two records show them: the Unicode one cut to 199
// units, the ANSI one in the ANSI code page (a character it cannot hold
// becomes '_', never a look-alike) cut to 199 bytes; neither splits a
// character, and both keep a short extension when they are cut.
void NameMember(const char* address, ListEncoding encoding, Member* m);

// The ANSI record name converted with the ANSI code page, as CreateFileA
// would read it: `out` has kRecordNameCapacity characters.
void WidenRecordName(const char* name, WCHAR* out);

size_t RecordSize(RecordKind kind);

// Writes the fields of `m` into the record at `record`: "YKTPK" and its NUL,
// the position, the sizes, the timestamp, the path's NUL, the name and its
// NUL, and the crc. No other byte of the record is touched, so a listing
// block that starts zeroed keeps its padding zero.
void WriteRecord(void* record, RecordKind kind, const Member& m);

// False when the member's size cannot be shown in this build's record: the
// 32-bit record holds sizes up to 4 GiB - 1.
bool SizeFitsRecord(int64_t size);

#endif  // KESTA_PLUGIN_RECORDS_H
