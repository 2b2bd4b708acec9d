// Extracting one member: the address at the host's position is downloaded,
// watched by the host's progress callback, and the body is handed over as a
// memory block of exactly its length or streamed into a file in a directory.
#include <string.h>

#include "cache/cache.h"
#include "compat/handles.h"
#include "http/fetch.h"
#include "url/url.h"
#include "plugin/filename.h"
#include "plugin/records.h"
#include "plugin/source.h"
#include "text/codepage.h"

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

int LoadAddress(HostText source, LONG_PTR arg, unsigned flag, char* url, ListEncoding* encoding) {
    SourceGuard src;
    int rc = src.Load(source, arg, flag);
    if (rc != SPI_SUCCESS) return rc;
    *encoding = src.copy.encoding;
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
    UINT codePage = FileNameCodePage();
    return MultiByteToWideChar(codePage, 0, dest.ansi, -1, out, (int)kMaxPathChars) > 0;
}

// The member's file in the host's directory: dir\name, name being the
// member name as the entry point's records show it (the ANSI one as
// CreateFileA reads it). False when the name cannot be a file name or the
// path does not fit.
bool MemberPath(HostText dest, const char* url, ListEncoding encoding, WCHAR* path) {
    Member m;
    NameMember(url, encoding, &m);
    WCHAR ansiName[kRecordNameCapacity];
    WidenRecordName(m.name, ansiName);
    const WCHAR* wideName = dest.wide ? m.wideName : ansiName;
    WCHAR dir[kMaxPathChars];
    return IsPlainFileName(wideName) && WideDirectory(dest, dir) &&
           JoinFilePath(dir, wideName, path);
}

bool WriteToStaged(void* context, const char* bytes, size_t n) {
    return WriteStaged(static_cast<StagedFile*>(context), bytes, (int64_t)n);
}

int CodeOf(FetchMessage outcome) {
    if (outcome == kFetchOk) return SPI_SUCCESS;
    if (outcome == kFetchCancelled) return SPI_CANCELLED;
    if (outcome == kFetchWriteFailed) return SPI_FILE_WRITE_ERROR;
    return SPI_FILE_READ_ERROR;
}

// File output: the body goes into a new file beside dir\name as it arrives
// (after the header block, and after the last redirect), so memory stays
// bounded whatever the member's size; only a complete body replaces the
// file of that name, and any failure leaves that file as it was.
int ExtractToFile(HostText dest, const char* url, ListEncoding encoding, const char* text,
                  const FetchWatch* watch) {
    WCHAR path[kMaxPathChars];
    StagedFile file;
    if (!MemberPath(dest, url, encoding, path) || !OpenStagedFile(path, &file)) {
        return SPI_FILE_WRITE_ERROR;
    }
    BodySink sink = {WriteToStaged, &file};
    FetchResult fetched;
    FetchMessage outcome = FetchThroughCache(text, false, watch, &fetched, &sink);
    RecordFetchMessage(outcome);
    if (outcome != kFetchOk) {
        AbandonStaged(&file);
        return CodeOf(outcome);
    }
    return CommitStaged(&file) ? SPI_SUCCESS : SPI_FILE_WRITE_ERROR;
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
    ListEncoding encoding = kListUtf8;
    int rc = LoadAddress(source, arg, flag, url, &encoding);
    if (rc != SPI_SUCCESS) return rc;
    GlobalBlock textBlock(GlobalAlloc(GMEM_FIXED, kMaxHrefLength + 1));
    char* text = static_cast<char*>(textBlock.get());
    if (!text) return SPI_MEMORY_ERROR;
    if (!AddressAsUtf8(url, strlen(url), encoding, text, kMaxHrefLength + 1)) {
        RecordFetchMessage(kFetchBadParameter);
        return SPI_FILE_READ_ERROR;
    }

    FetchWatch watch = {progress, datum};
    SocketLibrary sockets;
    if (sockets.started() != kFetchOk) {
        RecordFetchMessage(sockets.started());
        return SPI_FILE_READ_ERROR;
    }
    if (kind == kOutputToFile) return ExtractToFile(dest, url, encoding, text, &watch);
    FetchResult fetched;
    FetchMessage outcome = FetchThroughCache(text, true, &watch, &fetched);
    RecordFetchMessage(outcome);
    if (outcome != kFetchOk) return CodeOf(outcome);
    *handleOut = fetched.body;
    return SPI_SUCCESS;
}
