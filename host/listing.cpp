// Reading the list for the plug-in, and reading the plug-in's records out
// of its listing block and its lookups.
#include "host/listing.h"

#include <stdio.h>
#include <string.h>

#include "host/status.h"
#include "host/text.h"

namespace {

const int64_t kMaxImageBytes = 256 << 20;  // a URL list is text; refuse anything larger

// Reads the whole file; false (with a message) on failure.
bool ReadWholeFile(const HostPath& name, std::vector<char>* data, int64_t* size) {
    HANDLE f = CreateFileW(name.opened.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "spihost: cannot open %s\n", Utf8(name.typed).c_str());
        return false;
    }
    LARGE_INTEGER length;
    bool ok = GetFileSizeEx(f, &length) && length.QuadPart <= kMaxImageBytes;
    DWORD got = 0;
    if (ok) {
        // One spare byte so that an empty file still gets a buffer of its own.
        data->assign((size_t)length.QuadPart + 1, '\0');
        ok = ReadFile(f, data->data(), (DWORD)length.QuadPart, &got, NULL) &&
             got == (DWORD)length.QuadPart;
    }
    CloseHandle(f);
    if (!ok) {
        fprintf(stderr, "spihost: cannot read %s\n", Utf8(name.typed).c_str());
        return false;
    }
    *size = length.QuadPart;
    return true;
}

// The source and long argument of a listing or lookup: the name and the
// start offset, or the image from the start offset on and its length.
const void* ListSource(const Plugin& plugin, const Source& src) {
    if (src.memory) return src.image.data() + src.start;
    return plugin.wide ? (const void*)src.name.opened.c_str() : (const void*)src.ansiName.c_str();
}

LONG_PTR ListLength(const Source& src) {
    return src.memory ? (LONG_PTR)(src.imageSize - src.start) : src.start;
}

template <typename Record>
Member MemberOf(const Record& r, const Source& src) {
    Member m;
    m.method = FieldText(r.method);
    // A memory image starts at the start offset: its positions count from there.
    m.position = (uint64_t)r.position + (src.memory ? (uint64_t)src.start : 0);
    m.compsize = r.compsize;
    m.filesize = r.filesize;
    m.timestamp = r.timestamp;
    m.path = FieldText(r.path);
    m.name = FieldText(r.filename);
    m.crc = r.crc;
    return m;
}

bool IsEndRecord(const unsigned char* record, size_t size) {
    for (size_t i = 0; i < size; i++) {
        if (record[i] != 0) return false;
    }
    return true;
}

// The record at `bytes`, copied out: the block holds no alignment promise.
Member MemberAt(const Plugin& plugin, const Source& src, const unsigned char* bytes) {
    if (plugin.wide) {
        fileInfoW r;
        memcpy(&r, bytes, sizeof r);
        return MemberOf(r, src);
    }
    fileInfo r;
    memcpy(&r, bytes, sizeof r);
    return MemberOf(r, src);
}

// Reads the records out of the plug-in's block: never past LocalSize, and
// not past the all-zero end record. False when the block has no end record.
bool CopyListing(const Plugin& plugin, const Source& src, HLOCAL block,
                 std::vector<Member>* out) {
    size_t recordSize = plugin.wide ? sizeof(fileInfoW) : sizeof(fileInfo);
    size_t capacity = LocalSize(block) / recordSize;
    const unsigned char* bytes = (const unsigned char*)LocalLock(block);
    if (bytes == NULL) {
        fputs("spihost: cannot lock the listing block\n", stderr);
        return false;
    }
    size_t count = 0;
    for (; count < capacity; count++) {
        const unsigned char* record = bytes + count * recordSize;
        if (IsEndRecord(record, recordSize)) break;
        out->push_back(MemberAt(plugin, src, record));
    }
    LocalUnlock(block);
    if (count == capacity) fputs("spihost: the listing has no end record\n", stderr);
    return count < capacity;
}

}  // namespace

int OpenSource(const Plugin& plugin, const Options& opt, const wchar_t* file, Source* src) {
    src->name = PathArgument(file);
    src->memory = opt.Has(kOptMemory);
    src->start = opt.offset;
    if (!src->memory) return Spellable(plugin, src->name, &src->ansiName) ? kExitOk : kExitFailed;
    if (!ReadWholeFile(src->name, &src->image, &src->imageSize)) return kExitFailed;
    if (src->start > src->imageSize) {
        fprintf(stderr, "spihost: offset %lld lies beyond the end of %s (%lld bytes)\n",
                (long long)src->start, Utf8(src->name.typed).c_str(), (long long)src->imageSize);
        return kExitFailed;
    }
    return kExitOk;
}

unsigned InputKind(const Source& src) { return src.memory ? 1u : 0u; }

bool MemberSource(const Plugin& plugin, const Source& src, uint64_t position,
                  const void** source, LONG_PTR* len) {
    if (!src.memory) {
        if (position > (uint64_t)INTPTR_MAX) return false;
        *source = ListSource(plugin, src);
        *len = (LONG_PTR)position;
        return true;
    }
    if (position < (uint64_t)src.start || position > (uint64_t)src.imageSize) return false;
    *source = src.image.data() + position;
    *len = (LONG_PTR)(src.imageSize - (int64_t)position);
    return true;
}

int FetchListing(const Plugin& plugin, const Source& src, std::vector<Member>* out) {
    HLOCAL block = NULL;
    const void* source = ListSource(plugin, src);
    int code = plugin.wide ? plugin.getArchiveInfoW((LPCWSTR)source, ListLength(src),
                                                    InputKind(src), &block)
                           : plugin.getArchiveInfo((LPCSTR)source, ListLength(src),
                                                   InputKind(src), &block);
    if (code != SPI_SUCCESS) return ReportFailure(plugin, "GetArchiveInfo", code);
    if (block == NULL) {
        fprintf(stderr, "spihost: %s returned 0 and no listing\n",
                plugin.Name("GetArchiveInfo"));
        return kExitFailed;
    }
    bool ok = CopyListing(plugin, src, block, out);
    LocalFree(block);
    return ok ? kExitOk : kExitFailed;
}

int LookUpMember(const Plugin& plugin, const Source& src, const wchar_t* name, Member* out) {
    std::string ansiName;
    if (!Spellable(plugin, name, &ansiName)) return kExitFailed;
    const void* source = ListSource(plugin, src);
    Member m;
    int code = 0;
    if (plugin.wide) {
        fileInfoW info;
        memset(&info, 0, sizeof info);
        code = plugin.getFileInfoW((LPCWSTR)source, ListLength(src), name, InputKind(src), &info);
        m = MemberOf(info, src);
    } else {
        fileInfo info;
        memset(&info, 0, sizeof info);
        code = plugin.getFileInfo((LPCSTR)source, ListLength(src), ansiName.c_str(),
                                  InputKind(src), &info);
        m = MemberOf(info, src);
    }
    if (code != SPI_SUCCESS) return ReportFailure(plugin, "GetFileInfo", code);
    *out = m;
    return kExitOk;
}
