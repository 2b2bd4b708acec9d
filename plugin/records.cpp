// Member records in the host's layouts, and the names they carry: the
// Unicode record's in UTF-16 as derived from the address, the ANSI record's
// that name in the ANSI code page.
#include "plugin/records.h"

#include <string.h>

#include "text/codepage.h"

namespace {

// The record's integer fields for this build's width.
#if KESTA_64BIT
typedef uint64_t RecordUnsigned;
typedef int64_t RecordSigned;
#else
typedef uint32_t RecordUnsigned;
typedef int32_t RecordSigned;
#endif

template <typename Record, typename NameChar>
void FillFields(Record* r, const Member& m, const NameChar* name) {
    memcpy(r->method, kMethod, sizeof kMethod);
    r->position = (RecordUnsigned)m.position;
    r->compsize = (RecordUnsigned)m.size;
    r->filesize = (RecordUnsigned)m.size;
    // A 32-bit timestamp arrives already reduced to 32 bits (http/httpdate.h).
    r->timestamp = (RecordSigned)m.timestamp;
    r->path[0] = 0;
    size_t n = 0;
    while (name[n]) ++n;
    memcpy(r->filename, name, (n + 1) * sizeof(NameChar));
    r->crc = 0;
}

}  // namespace

namespace {

// An extension of this many bytes or fewer, its dot included, is kept when
// an ANSI name is cut (as urllist's cut keeps one of as many units).
const size_t kShortExtension = 16;

// `name` (`n` bytes) cut to at most `limit` bytes into `out`: whole
// characters of the ANSI code page, a short extension kept.
void CutAnsiName(const char* name, size_t n, size_t limit, char* out) {
    if (n <= limit) {
        memcpy(out, name, n);
        out[n] = '\0';
        return;
    }
    size_t dot = n;
    while (dot > 0 && name[dot - 1] != '.') --dot;
    size_t extension = 0;
    // The dot must be a character of its own, not a trail byte.
    if (dot > 1 && n - (dot - 1) <= kShortExtension && n - (dot - 1) < limit &&
        WholeCharacters(name, n, dot - 1) == dot - 1) {
        extension = n - (dot - 1);
    }
    size_t stem = WholeCharacters(name, n - extension, limit - extension);
    memcpy(out, name, stem);
    memcpy(out + stem, name + n - extension, extension);
    out[stem + extension] = '\0';
}

}  // namespace

void NameMember(const char* address, ListEncoding encoding, Member* m) {
    WCHAR name[kWideNameCapacity];
    DeriveMemberNameW(address, address ? strlen(address) : 0, encoding, name);
    // The ANSI name from the whole name, then each cut to its record.
    char ansi[kWideNameCapacity * 2];
    const char kReplacement[] = "_";
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, ansi, (int)sizeof ansi,
                                kReplacement, NULL);
    if (n <= 0) {
        ansi[0] = '_';
        n = 2;
    }
    CutAnsiName(ansi, (size_t)n - 1, kRecordNameCapacity - 1, m->name);
    CutNameKeepingExtension(name, kRecordNameCapacity - 1);
    size_t units = 0;
    while (name[units]) ++units;
    memcpy(m->wideName, name, (units + 1) * sizeof(WCHAR));
}

void WidenRecordName(const char* name, WCHAR* out) {
    int n = MultiByteToWideChar(CP_ACP, 0, name, -1, out, kRecordNameCapacity);
    if (n <= 0) n = 1;
    out[n - 1] = 0;
}

size_t RecordSize(RecordKind kind) {
    return kind == kWideRecords ? sizeof(fileInfoW) : sizeof(fileInfo);
}

void WriteRecord(void* record, RecordKind kind, const Member& m) {
    if (kind == kAnsiRecords) {
        FillFields(static_cast<fileInfo*>(record), m, m.name);
        return;
    }
    FillFields(static_cast<fileInfoW*>(record), m, m.wideName);
}

bool SizeFitsRecord(int64_t size) {
    return size >= 0 && (uint64_t)size <= (uint64_t)(RecordUnsigned)-1;
}
