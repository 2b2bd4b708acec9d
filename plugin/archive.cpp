// The archive operations behind GetArchiveInfo, GetFileInfo and GetFile: a
// URL list is listed by downloading every address, a member is looked up by
// name, and a member is extracted to a memory block or to a file.
#include <stdio.h>
#include <string.h>

#include "http/fetch.h"
#include "plugin/plugin.h"
#include "urllist/urllist.h"

namespace {

const char kMessageBoxCaption[] = "TEST";

bool StartsWithHttp(const char* url) { return strncmp(url, kHttpPrefix, kHttpPrefixLength) == 0; }

// The member name as the record shows it: cut to the record's 199 characters.
void RecordName(char* out, const char* name) {
    size_t n = strlen(name);
    if (n > (size_t)kRecordNameCapacity - 1) n = kRecordNameCapacity - 1;
    memcpy(out, name, n);
    out[n] = '\0';
}

// Size and timestamp of one member; a failed download (or an address too
// long to fetch whole) counts as size 0 with timestamp 0.
struct Measure {
    bool ok;
    long size;
    int32_t timestamp;
};

Measure MeasureMember(const UrlScan& scan) {
    Measure m = {false, 0, 0};
    if (scan.overlong) return m;
    long length = 0;
    int32_t timestamp = 0;
    if (HttpFetch(scan.url, NULL, &length, &timestamp) < 0) return m;
    m.ok = true;
    m.size = length;
    m.timestamp = timestamp;
    return m;
}

void FillRecord(fileInfo* r, unsigned long position, const Measure& m, const char* recordName) {
    memcpy(r->method, kMethod, sizeof kMethod);
    r->position = (uint32_t)position;
    r->compsize = (uint32_t)m.size;
    r->filesize = (uint32_t)m.size;
    r->timestamp = m.timestamp;
    r->path[0] = '\0';
    memcpy(r->filename, recordName, strlen(recordName) + 1);
    r->crc = 0;
}

// Largest listing whose byte count still fits a signed 32-bit size.
const long kMaxRecords = 0x7FFFFFFF / (long)sizeof(fileInfo) - 1;

}  // namespace

int ListArchive(const char* source, LONG_PTR arg, unsigned flag, HLOCAL* listing) {
    if (!listing) return SPI_MEMORY_ERROR;
    SourceCopy src;
    int rc = LoadSource(source, arg, flag, &src);
    if (rc != SPI_SUCCESS) return rc;

    long count = CountAddresses(src.data, src.start, src.size);
    if (count > kMaxRecords) {
        ReleaseSource(&src);
        return SPI_MEMORY_ERROR;
    }
    HLOCAL block = LocalAlloc(LPTR, (SIZE_T)(count + 1) * sizeof(fileInfo));
    fileInfo* records = block ? static_cast<fileInfo*>(LocalLock(block)) : NULL;
    if (!records) {
        if (block) LocalFree(block);
        ReleaseSource(&src);
        return SPI_MEMORY_ERROR;
    }

    // UrlScan is too large for some hosts' thread stacks; it lives in a block.
    UrlScan* scan = static_cast<UrlScan*>(GlobalAlloc(GPTR, sizeof(UrlScan)));
    if (!scan) {
        LocalUnlock(block);
        LocalFree(block);
        ReleaseSource(&src);
        return SPI_MEMORY_ERROR;
    }
    long pos = src.start;
    char name[kNameCapacity];
    char recordName[kRecordNameCapacity];
    for (long i = 0; i < count; ++i) {
        ScanUrlLine(src.data, src.size, &pos, scan);
        DeriveMemberName(name, scan->url);
        if (!StartsWithHttp(scan->url)) {
            GlobalFree(scan);
            LocalUnlock(block);
            LocalFree(block);
            ReleaseSource(&src);
            return SPI_FILE_READ_ERROR;
        }
        RecordName(recordName, name);
        FillRecord(&records[i], scan->position, MeasureMember(*scan), recordName);
    }
    GlobalFree(scan);
    LocalUnlock(block);
    *listing = block;
    ReleaseSource(&src);
    return SPI_SUCCESS;
}

int DescribeMember(const char* source, LONG_PTR arg, const char* name, unsigned flag, fileInfo* info) {
    MessageBoxA(NULL, name ? name : "", kMessageBoxCaption, MB_OK);
    if (!info) return SPI_MEMORY_ERROR;
    if (!name) return SPI_FILE_READ_ERROR;
    SourceCopy src;
    int rc = LoadSource(source, arg, flag, &src);
    if (rc != SPI_SUCCESS) return rc;
    if (src.start >= src.size) {
        ReleaseSource(&src);
        return SPI_FILE_READ_ERROR;
    }
    UrlScan* scan = static_cast<UrlScan*>(GlobalAlloc(GPTR, sizeof(UrlScan)));
    if (!scan) {
        ReleaseSource(&src);
        return SPI_MEMORY_ERROR;
    }
    long pos = src.start;
    char memberName[kNameCapacity];
    char recordName[kRecordNameCapacity];
    bool found = false;
    while (!found && pos < src.size) {
        ScanUrlLine(src.data, src.size, &pos, scan);
        DeriveMemberName(memberName, scan->url);
        RecordName(recordName, memberName);
        found = strcmp(recordName, name) == 0;
    }
    rc = SPI_FILE_READ_ERROR;
    if (found && StartsWithHttp(scan->url)) {
        Measure m = MeasureMember(*scan);
        if (m.ok) {
            // Only the bytes the record defines are written: "YKTPK" and its
            // NUL, the path's NUL, the name and its NUL.
            FillRecord(info, scan->position, m, recordName);
            rc = SPI_SUCCESS;
        }
    }
    GlobalFree(scan);
    ReleaseSource(&src);
    return rc;
}

namespace {

// True when `name` can be a file name on Windows: no control characters, none
// of < > : " / \ | ? *, not "." or "..", no trailing dot or space, and not a
// device name such as CON or COM1 (with or without an extension).
bool IsValidFileName(const char* name) {
    size_t n = strlen(name);
    if (n == 0) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x20 || strchr("<>:\"/\\|?*", c)) return false;
    }
    if (name[n - 1] == '.' || name[n - 1] == ' ') return false;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    size_t stem = strcspn(name, ".");
    char upper[8];
    if (stem <= 4) {
        for (size_t i = 0; i < stem; ++i) {
            char c = name[i];
            upper[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
        }
        upper[stem] = '\0';
        for (const char* d : kDevices) {
            if (strcmp(upper, d) == 0) return false;
        }
        if (stem == 4 && (strncmp(upper, "COM", 3) == 0 || strncmp(upper, "LPT", 3) == 0) &&
            upper[3] >= '1' && upper[3] <= '9') {
            return false;
        }
    }
    return true;
}

// 260: the longest path the Windows ANSI file functions take, NUL included.
const size_t kMaxPath = 260;
const char kPartialSuffix[] = ".kesta-part";

// Writes `size` bytes to dir/name through a temporary file in the same
// directory, so a failure leaves no partial file and a success replaces any
// file of that name whole.
int WriteMemberFile(const char* dir, const char* name, const char* bytes, size_t size) {
    if (!IsValidFileName(name)) return SPI_FILE_WRITE_ERROR;
    size_t dirLength = strlen(dir);
    bool needSeparator = dirLength > 0 && dir[dirLength - 1] != '/' && dir[dirLength - 1] != '\\';
    char path[kMaxPath];
    char partial[kMaxPath + sizeof kPartialSuffix];
    int n = snprintf(path, sizeof path, "%s%s%s", dir, needSeparator ? "/" : "", name);
    if (n < 0 || (size_t)n >= sizeof path) return SPI_FILE_WRITE_ERROR;
    snprintf(partial, sizeof partial, "%s%s", path, kPartialSuffix);

    FILE* f = fopen(partial, "wb");
    if (!f) return SPI_FILE_WRITE_ERROR;
    bool ok = fwrite(bytes, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    if (ok) ok = MoveFileExA(partial, path, MOVEFILE_REPLACE_EXISTING) != 0;
    if (!ok) {
        remove(partial);
        return SPI_FILE_WRITE_ERROR;
    }
    return SPI_SUCCESS;
}

// Hands the body over as a block of exactly its length: the fetched block
// itself when it already has that size, else a copy.
int HandOverBody(HLOCAL body, long length, HLOCAL* out) {
    if (LocalSize(body) == (SIZE_T)length) {
        *out = body;
        return SPI_SUCCESS;
    }
    HLOCAL block = LocalAlloc(LPTR, (SIZE_T)length);
    char* bytes = block ? static_cast<char*>(LocalLock(block)) : NULL;
    if (!bytes) {
        if (block) LocalFree(block);
        LocalFree(body);
        return SPI_MEMORY_ERROR;
    }
    memcpy(bytes, LocalLock(body), (size_t)length);
    LocalFree(body);
    LocalUnlock(block);
    *out = block;
    return SPI_SUCCESS;
}

}  // namespace

int ExtractMember(const char* source, LONG_PTR arg, char* dest, unsigned flag) {
    unsigned kind = (flag & kOutputKindMask) >> kOutputKindShift;
    if (kind != kOutputToFile && kind != kOutputToMemory) return SPI_NOT_IMPLEMENTED;
    if (!dest) return kind == kOutputToMemory ? SPI_MEMORY_ERROR : SPI_FILE_WRITE_ERROR;

    SourceCopy src;
    int rc = LoadSource(source, arg, flag, &src);
    if (rc != SPI_SUCCESS) return rc;
    long at = src.start;
    if (src.size - at < kHttpPrefixLength ||
        memcmp(src.data + at, kHttpPrefix, kHttpPrefixLength) != 0) {
        ReleaseSource(&src);
        return SPI_BROKEN_DATA;
    }
    long end = at;
    while (end < src.size && src.data[end] != '\r' && src.data[end] != '\n') ++end;
    // An address that does not fit the URL buffer is never fetched cut short.
    if (end - at > kUrlCapacity - 1) {
        ReleaseSource(&src);
        return SPI_FILE_READ_ERROR;
    }
    char url[kUrlCapacity];
    memcpy(url, src.data + at, (size_t)(end - at));
    url[end - at] = '\0';
    ReleaseSource(&src);

    HLOCAL body = NULL;
    long length = 0;
    if (HttpFetch(url, &body, &length, NULL) < 0) return SPI_FILE_READ_ERROR;

    if (kind == kOutputToMemory) return HandOverBody(body, length, reinterpret_cast<HLOCAL*>(dest));

    char name[kNameCapacity];
    char recordName[kRecordNameCapacity];
    DeriveMemberName(name, url);
    RecordName(recordName, name);
    rc = WriteMemberFile(dest, recordName, static_cast<const char*>(LocalLock(body)), (size_t)length);
    LocalFree(body);
    return rc;
}
