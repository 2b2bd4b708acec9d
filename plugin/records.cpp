// Member records in the host's layouts. The Unicode record is the ANSI one
// with its name converted, so the two listings of one list agree field by
// field after that conversion.
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

void CutRecordName(const char* name, char* out) {
    size_t n = WholeCharacters(name, strlen(name), kRecordNameCapacity - 1);
    memcpy(out, name, n);
    out[n] = '\0';
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
    WCHAR wide[kRecordNameCapacity];
    WidenRecordName(m.name, wide);
    FillFields(static_cast<fileInfoW*>(record), m, wide);
}

bool SizeFitsRecord(int64_t size) {
    return size >= 0 && (uint64_t)size <= (uint64_t)(RecordUnsigned)-1;
}
