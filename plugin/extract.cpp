// Extracting one member: the address at the host's position is downloaded,
// watched by the host's progress callback, and the body is handed over as a
// memory block of exactly its length or written to a file in a directory.
#include <string.h>

#include "compat/handles.h"
#include "http/fetch.h"
#include "plugin/filename.h"
#include "plugin/records.h"
#include "plugin/source.h"

namespace {

// Copies the address at the start offset of the source into `url`. Returns
// 0, 3 when the bytes there are neither "http://" nor "https://", 6 when the
// address does not fit the URL buffer (it is never fetched cut short).
int ReadAddressAt(const SourceCopy& src, char* url) {
    int64_t at = src.start;
    if (AddressPrefixLength(src.data + at, src.size - at) == 0) return SPI_BROKEN_DATA;
    int64_t end = at;
    while (end < src.size && src.data[end] != '\r' && src.data[end] != '\n') ++end;
    if (end - at > kUrlCapacity - 1) return SPI_FILE_READ_ERROR;
    memcpy(url, src.data + at, (size_t)(end - at));
    url[end - at] = '\0';
    return SPI_SUCCESS;
}

int LoadAddress(HostText source, LONG_PTR arg, unsigned flag, char* url) {
    SourceGuard src;
    int rc = src.Load(source, arg, flag);
    if (rc != SPI_SUCCESS) return rc;
    return ReadAddressAt(src.copy, url);
}

// The directory as the wide file functions take it: the Unicode entry
// point's own text, or the ANSI one converted as CreateFileA would.
bool WideDirectory(HostText dest, WCHAR* out) {
    if (dest.wide) {
        size_t n = 0;
        while (dest.wide[n]) ++n;
        if (n >= kMaxPathChars) return false;
        memcpy(out, dest.wide, (n + 1) * sizeof(WCHAR));
        return true;
    }
    return MultiByteToWideChar(CP_ACP, 0, dest.ansi, -1, out, (int)kMaxPathChars) > 0;
}

// Writes the body to dir\name, name being the member name as the records
// show it (converted with the ANSI code page). 8 when the name cannot be a
// file name or the file cannot be written.
int WriteMember(HostText dest, const char* url, HLOCAL body, int64_t length) {
    char name[kNameCapacity];
    char recordName[kRecordNameCapacity];
    WCHAR wideName[kRecordNameCapacity];
    DeriveMemberName(name, url);
    CutRecordName(name, recordName);
    WidenRecordName(recordName, wideName);
    WCHAR dir[kMaxPathChars];
    WCHAR path[kMaxPathChars];
    if (!IsPlainFileName(wideName) || !WideDirectory(dest, dir) ||
        !JoinFilePath(dir, wideName, path)) {
        return SPI_FILE_WRITE_ERROR;
    }
    bool written = WriteFileWhole(path, LocalLock(body), length);
    LocalUnlock(body);
    return written ? SPI_SUCCESS : SPI_FILE_WRITE_ERROR;
}

}  // namespace

int ExtractMember(HostText source, LONG_PTR arg, HostText dest, unsigned flag,
                  SpiProgress progress, LONG_PTR datum) {
    unsigned kind = (flag & kOutputKindMask) >> kOutputKindShift;
    if (kind != kOutputToFile && kind != kOutputToMemory) return SPI_NOT_IMPLEMENTED;
    HLOCAL* handleOut = NULL;
    if (kind == kOutputToMemory) {
        handleOut = dest.wide ? reinterpret_cast<HLOCAL*>(const_cast<WCHAR*>(dest.wide))
                              : reinterpret_cast<HLOCAL*>(const_cast<char*>(dest.ansi));
        if (!handleOut) return SPI_MEMORY_ERROR;
        *handleOut = NULL;
    } else if (!dest.wide && !dest.ansi) {
        return SPI_FILE_WRITE_ERROR;
    }

    char url[kUrlCapacity];
    int rc = LoadAddress(source, arg, flag, url);
    if (rc != SPI_SUCCESS) return rc;

    FetchWatch watch = {progress, datum};
    FetchResult fetched;
    FetchMessage outcome = FetchUrl(url, true, &watch, &fetched);
    RecordFetchMessage(outcome);
    if (outcome == kFetchCancelled) return SPI_CANCELLED;
    if (outcome != kFetchOk) return SPI_FILE_READ_ERROR;

    LocalBlock body(fetched.body);
    if (kind == kOutputToMemory) {
        *handleOut = body.Release();
        return SPI_SUCCESS;
    }
    return WriteMember(dest, url, body.get(), fetched.length);
}
