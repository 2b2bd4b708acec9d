#include "cache/store.h"

#include <string.h>

struct KeptChunk {
    KeptChunk* next;
    size_t used;
    size_t capacity;
    // the bytes follow
};

namespace {

// A body's blocks grow with it, from 16 KiB to 1 MiB: a small body wastes
// little, a large one takes few blocks.
const size_t kFirstBlock = 16 * 1024;
const size_t kLargestBlock = 1024 * 1024;
// Files are read and written in pieces of this size.
const DWORD kFilePiece = 1024 * 1024;

char* BytesOf(KeptChunk* c) { return reinterpret_cast<char*>(c + 1); }

// The next block's size, when the body holds `length` bytes in blocks.
size_t Capacity(bool first, int64_t length) {
    if (first || length < (int64_t)kFirstBlock) return kFirstBlock;
    return length < (int64_t)kLargestBlock ? (size_t)length : kLargestBlock;
}

bool WriteAt(HANDLE file, int64_t at, const char* bytes, size_t n) {
    while (n > 0) {
        DWORD piece = n < kFilePiece ? (DWORD)n : kFilePiece;
        OVERLAPPED o = {};
        o.Offset = (DWORD)(uint64_t)at;
        o.OffsetHigh = (DWORD)((uint64_t)at >> 32);
        DWORD written = 0;
        if (!WriteFile(file, bytes, piece, &written, &o) || written != piece) return false;
        at += piece;
        bytes += piece;
        n -= piece;
    }
    return true;
}

bool ReadAt(HANDLE file, int64_t at, char* out, size_t n) {
    while (n > 0) {
        DWORD piece = n < kFilePiece ? (DWORD)n : kFilePiece;
        OVERLAPPED o = {};
        o.Offset = (DWORD)(uint64_t)at;
        o.OffsetHigh = (DWORD)((uint64_t)at >> 32);
        DWORD got = 0;
        if (!ReadFile(file, out, piece, &got, &o) || got != piece) return false;
        at += piece;
        out += piece;
        n -= piece;
    }
    return true;
}

void FreeChunks(KeptBody* b) {
    for (KeptChunk* c = b->first; c;) {
        KeptChunk* next = c->next;
        GlobalFree(c);
        c = next;
    }
    b->first = b->last = NULL;
    b->memory = 0;
}

size_t PutHex(WCHAR* out, size_t n, uint32_t value) {
    int shift = 28;
    while (shift > 0 && (value >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out[n++] = (WCHAR)"0123456789abcdef"[(value >> shift) & 15];
    return n;
}

// The temporary folder, or false when it cannot be had.
bool TemporaryFolder(WCHAR* out, DWORD capacity) {
    DWORD n = GetTempPathW(capacity, out);
    return n > 0 && n < capacity;
}

}  // namespace

size_t MemoryNeeded(const KeptBody& b, size_t n) {
    size_t room = b.last ? b.last->capacity - b.last->used : 0;
    if (n <= room) return 0;
    size_t need = 0;
    int64_t length = b.length + (int64_t)room;
    bool first = !b.last;
    for (size_t left = n - room; left > 0; first = false) {
        size_t capacity = Capacity(first, length);
        size_t piece = left < capacity ? left : capacity;
        need += sizeof(KeptChunk) + capacity;
        left -= piece;
        length += (int64_t)piece;
    }
    return need;
}

bool KeepInMemory(KeptBody* b, const char* bytes, size_t n) {
    while (n > 0) {
        if (!b->last || b->last->used == b->last->capacity) {
            size_t capacity = Capacity(!b->last, b->length);
            KeptChunk* c = static_cast<KeptChunk*>(GlobalAlloc(GMEM_FIXED, sizeof(KeptChunk) + capacity));
            if (!c) return false;
            c->next = NULL;
            c->used = 0;
            c->capacity = capacity;
            if (b->last) {
                b->last->next = c;
            } else {
                b->first = c;
            }
            b->last = c;
            b->memory += sizeof(KeptChunk) + capacity;
        }
        KeptChunk* c = b->last;
        size_t piece = c->capacity - c->used < n ? c->capacity - c->used : n;
        memcpy(BytesOf(c) + c->used, bytes, piece);
        c->used += piece;
        b->length += (int64_t)piece;
        bytes += piece;
        n -= piece;
    }
    return true;
}

bool MoveToFile(KeptBody* b, unsigned serial) {
    WCHAR path[MAX_PATH + 64];
    if (!TemporaryFolder(path, MAX_PATH)) return false;
    size_t n = 0;
    while (path[n]) ++n;
    // kesta-<process>-<serial>.tmp, both in hexadecimal.
    const char* prefix = "kesta-";
    while (*prefix) path[n++] = (WCHAR)*prefix++;
    n = PutHex(path, n, GetCurrentProcessId());
    path[n++] = '-';
    n = PutHex(path, n, serial);
    for (const char* suffix = ".tmp"; *suffix; ++suffix) path[n++] = (WCHAR)*suffix;
    path[n] = 0;
    // Read and written by us alone; the system deletes it at the close, and
    // keeps it out of the disk while the cache in memory can hold it.
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, NULL,
                              CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    int64_t at = 0;
    for (KeptChunk* c = b->first; c; c = c->next) {
        if (!WriteAt(file, at, BytesOf(c), c->used)) {
            CloseHandle(file);
            return false;
        }
        at += (int64_t)c->used;
    }
    FreeChunks(b);
    b->file = file;
    return true;
}

bool KeepInFile(KeptBody* b, const char* bytes, size_t n) {
    if (!WriteAt(b->file, b->length, bytes, n)) return false;
    b->length += (int64_t)n;
    return true;
}

void FreeKept(KeptBody* b) {
    FreeChunks(b);
    if (b->file) CloseHandle(b->file);
    b->file = NULL;
    b->length = 0;
}

bool CopyKept(const KeptBody& b, char* out) {
    if (b.file) return ReadAt(b.file, 0, out, (size_t)b.length);
    for (KeptChunk* c = b.first; c; c = c->next) {
        memcpy(out, BytesOf(c), c->used);
        out += c->used;
    }
    return true;
}

bool StreamKept(const KeptBody& b, const BodySink* sink) {
    if (!b.file) {
        for (KeptChunk* c = b.first; c; c = c->next) {
            if (c->used > 0 && !sink->write(sink->context, BytesOf(c), c->used)) return false;
        }
        return true;
    }
    char* piece = static_cast<char*>(GlobalAlloc(GMEM_FIXED, kFilePiece));
    if (!piece) return false;
    bool ok = true;
    for (int64_t at = 0; ok && at < b.length;) {
        size_t n = b.length - at < (int64_t)kFilePiece ? (size_t)(b.length - at) : kFilePiece;
        ok = ReadAt(b.file, at, piece, n) && sink->write(sink->context, piece, n);
        at += (int64_t)n;
    }
    GlobalFree(piece);
    return ok;
}

int64_t TemporaryDriveFree() {
    WCHAR folder[MAX_PATH + 1];
    ULARGE_INTEGER available;
    if (!TemporaryFolder(folder, MAX_PATH) ||
        !GetDiskFreeSpaceExW(folder, &available, NULL, NULL)) {
        return -1;
    }
    return available.QuadPart > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)available.QuadPart;
}
