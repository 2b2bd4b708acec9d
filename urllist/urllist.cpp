// A URL list's bytes: loaded from a file into a block of our own or taken in
// place from the host's memory image, scanned line by line for "http://"
// addresses, and each address given its member name.
// Line ends it knows: CR LF ("a\r\nb"), a lone LF ("a\nb"), a lone CR ("a\rb").
#include "urllist/urllist.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "plugin/spi.h"

// 2048: most lists fit the first block; a longer file doubles it as it reads.
static const size_t kFirstBlockBytes = 2048;
// The list's length is carried in a long, so no block may outgrow one.
static const size_t kLargestBlockBytes = (size_t)LONG_MAX;
// The name of a member whose address ends in a separator (or has no text).
static const char kDefaultName[] = "index.html";

// One step of the "http://" matcher: the match count after byte c when k
// bytes have matched. A mismatch starts over at 0 without testing c against
// the first byte again, so "hhttp://" holds no address while "xhttp://" does.
static int MatchStep(int k, char c) {
    return c == kHttpPrefix[k] ? k + 1 : 0;
}

static bool IsLineEndByte(char c) {
    return c == '\r' || c == '\n';
}

// Doubles the block; on failure the old block is still held by *block.
static int GrowBlock(HGLOBAL* block, size_t* capacity) {
    if (*capacity > kLargestBlockBytes / 2) return SPI_MEMORY_ERROR;
    size_t bigger = *capacity * 2;
    HGLOBAL moved = GlobalReAlloc(*block, bigger, GMEM_MOVEABLE);
    if (!moved) return SPI_MEMORY_ERROR;
    *block = moved;
    *capacity = bigger;
    return SPI_SUCCESS;
}

// Reads the open file to its end into a new block. Returns 0 with the block
// and the byte count, 5 when the block cannot grow, 6 on a read error (on
// Linux a directory opens fine and fails here). Nothing is held on failure.
static int ReadToEnd(FILE* f, HGLOBAL* block, long* size) {
    size_t capacity = kFirstBlockBytes;
    size_t used = 0;
    HGLOBAL mem = GlobalAlloc(GMEM_FIXED, capacity);
    if (!mem) return SPI_MEMORY_ERROR;
    int result = SPI_SUCCESS;
    for (;;) {
        if (used == capacity) {
            result = GrowBlock(&mem, &capacity);
            if (result != SPI_SUCCESS) break;
        }
        used += fread(static_cast<char*>(mem) + used, 1, capacity - used, f);
        if (ferror(f)) {
            result = SPI_FILE_READ_ERROR;
            break;
        }
        if (feof(f)) break;
    }
    if (result != SPI_SUCCESS) {
        GlobalFree(mem);
        return result;
    }
    *block = mem;
    *size = (long)used;
    return SPI_SUCCESS;
}

// File input: the whole file, read without newline translation.
static int LoadFile(const char* name, long start, SourceCopy* copy) {
    if (!name) return SPI_FILE_READ_ERROR;
    FILE* f = fopen(name, "rb");
    if (!f) return SPI_FILE_READ_ERROR;
    HGLOBAL block = NULL;
    long size = 0;
    int result = ReadToEnd(f, &block, &size);
    fclose(f);
    if (result != SPI_SUCCESS) return result;
    if (start < 0 || size < start) {
        GlobalFree(block);
        return SPI_BROKEN_DATA;
    }
    copy->data = static_cast<const char*>(block);
    copy->size = size;
    copy->start = start;
    copy->owned = block;
    return SPI_SUCCESS;
}

// Memory input: the host's image in place; the long argument is its length.
static int UseMemoryImage(const char* image, long length, SourceCopy* copy) {
    if (length < 0) return SPI_BROKEN_DATA;
    if (!image && length > 0) return SPI_BROKEN_DATA;
    copy->data = image;
    copy->size = length;
    copy->start = 0;
    copy->owned = NULL;
    return SPI_SUCCESS;
}

int LoadSource(const char* source, long arg, unsigned flag, SourceCopy* copy) {
    if (!copy) return SPI_BROKEN_DATA;
    if (IsMemoryInput(flag)) return UseMemoryImage(source, arg, copy);
    return LoadFile(source, arg, copy);
}

void ReleaseSource(SourceCopy* copy) {
    if (!copy) return;
    if (copy->owned) GlobalFree(copy->owned);
    copy->owned = NULL;
    copy->data = NULL;
    copy->size = 0;
    copy->start = 0;
}

long CountAddresses(const char* data, long start, long size) {
    if (!data) return 0;
    long count = 0;
    int k = 0;
    for (long i = start < 0 ? 0 : start; i < size; ++i) {
        k = MatchStep(k, data[i]);
        if (k == kHttpPrefixLength) {
            ++count;
            k = 0;
        }
    }
    return count;
}

// Where the next line begins, given that this one stopped at p. A line that
// ran to the end of the data is followed by a two-byte step, as if it had a
// CR LF, so callers looping while pos < size always pass the end.
static long StepOverLineEnd(const char* data, long limit, long p) {
    if (p >= limit) return p > LONG_MAX - 2 ? LONG_MAX : p + 2;
    if (data[p] == '\r' && p + 1 < limit && data[p + 1] == '\n') return p + 2;
    return p + 1;
}

void ScanUrlLine(const char* data, long size, long* pos, UrlScan* scan) {
    if (!pos || !scan) return;
    long limit = data ? size : 0;
    long p = *pos < 0 ? 0 : *pos;
    int k = 0;
    bool cut = false;
    for (; p < limit && !IsLineEndByte(data[p]); ++p) {
        if (k < kHttpPrefixLength) {
            k = MatchStep(k, data[p]);
            if (k == kHttpPrefixLength) {
                memcpy(scan->url, kHttpPrefix, kHttpPrefixLength);
                scan->position = (unsigned long)(p - (kHttpPrefixLength - 1));
            }
        } else if (k < kUrlCapacity - 1) {
            scan->url[k] = data[p];
            ++k;
        } else {
            cut = true;  // the rest of the line does not fit; keep walking to its end
        }
    }
    // Without an address this cuts what earlier lines left at k (0 to 6), so
    // the buffer never begins with "http://" and callers can tell.
    scan->url[k] = '\0';
    scan->overlong = cut;
    *pos = StepOverLineEnd(data, limit, p);
}

void DeriveMemberName(char* name, const char* url) {
    if (!name) return;
    int length = 0;
    int from = 0;
    for (; url && length < kUrlCapacity && url[length] != '\0'; ++length) {
        char c = url[length];
        if (c == '/' || c == '\\' || c == ':' || c == '=') from = length + 1;
    }
    int n = length - from;
    if (n > kNameCapacity - 1) n = kNameCapacity - 1;
    memset(name, 0, kNameCapacity);
    if (n == 0) {
        memcpy(name, kDefaultName, sizeof kDefaultName);
        return;
    }
    memcpy(name, url + from, (size_t)n);
}
