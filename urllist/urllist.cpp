// A URL list's bytes: loaded from a file into a block of our own or taken in
// place from the host's memory image, scanned line by line for "http://" and
// "https://" addresses, and each address given its member name.
// Line ends it knows: CR LF ("a\r\nb"), a lone LF ("a\nb"), a lone CR ("a\rb").
#include "urllist/urllist.h"

#include <stdint.h>
#include <string.h>

#include "codes/results.h"
#include "compat/handles.h"
#include "text/codepage.h"
#include "text/lineend.h"

// The matcher of "http://" and "https://": how many bytes of which form
// have matched. Both share "http"; an 's' there turns to the second form.
struct SchemeMatch {
    int k;
    bool secure;
};

// One step of the matcher after byte c. A mismatch starts over at 0 without
// testing c against the first byte again, so "hhttp://" holds no address
// while "xhttp://" and "xhttps://" do.
static void MatchStep(SchemeMatch* m, char c) {
    const char* form = m->secure ? kHttpsPrefix : kHttpPrefix;
    if (c == form[m->k]) {
        ++m->k;
    } else if (!m->secure && m->k == 4 && c == 's') {
        m->secure = true;
        m->k = 5;
    } else {
        m->k = 0;
        m->secure = false;
    }
}

static int FormLength(const SchemeMatch& m) {
    return m.secure ? kHttpsPrefixLength : kHttpPrefixLength;
}

int AddressPrefixLength(const char* text, int64_t available) {
    if (!text) return 0;
    if (available >= kHttpPrefixLength && memcmp(text, kHttpPrefix, kHttpPrefixLength) == 0) {
        return kHttpPrefixLength;
    }
    if (available >= kHttpsPrefixLength && memcmp(text, kHttpsPrefix, kHttpsPrefixLength) == 0) {
        return kHttpsPrefixLength;
    }
    return 0;
}

// Reads the whole open file into a new block of exactly its size at the time
// of opening (a file that shrinks meanwhile gives what is left). Returns 0
// with the block, 5 when no block can hold it, 6 on a read error. Nothing is
// held on failure.
static int ReadWholeFile(HANDLE file, HGLOBAL* block, int64_t* size) {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length) || length.QuadPart < 0) return SPI_FILE_READ_ERROR;
    if ((uint64_t)length.QuadPart >= (uint64_t)SIZE_MAX) return SPI_MEMORY_ERROR;
    // One spare byte: an empty file still gets a block of its own.
    GlobalBlock mem(GlobalAlloc(GMEM_FIXED, (SIZE_T)length.QuadPart + 1));
    if (!mem.get()) return SPI_MEMORY_ERROR;
    char* bytes = static_cast<char*>(mem.get());
    int64_t used = 0;
    while (used < length.QuadPart) {
        // ReadFile counts in 32 bits; 1 GiB steps stay clear of that.
        int64_t rest = length.QuadPart - used;
        DWORD want = rest > (1 << 30) ? (DWORD)(1 << 30) : (DWORD)rest;
        DWORD got = 0;
        if (!ReadFile(file, bytes + used, want, &got, NULL)) return SPI_FILE_READ_ERROR;
        if (got == 0) break;
        used += got;
    }
    *block = mem.Release();
    *size = used;
    return SPI_SUCCESS;
}

// File input: the whole file, read as bytes.
static int LoadFile(const WCHAR* name, int64_t start, SourceCopy* copy) {
    if (!name) return SPI_FILE_READ_ERROR;
    HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return SPI_FILE_READ_ERROR;
    HGLOBAL block = NULL;
    int64_t size = 0;
    int result = ReadWholeFile(file, &block, &size);
    CloseHandle(file);
    if (result != SPI_SUCCESS) return result;
    if (start < 0 || size < start) {
        GlobalFree(block);
        return SPI_BROKEN_DATA;
    }
    copy->data = static_cast<const char*>(block);
    copy->size = size;
    copy->start = start;
    copy->owned = block;
    copy->encoding = DetectListEncoding(copy->data, size);
    return SPI_SUCCESS;
}

// Memory input: the host's image in place; the long argument is its length.
static int UseMemoryImage(const void* image, int64_t length, SourceCopy* copy) {
    if (length < 0) return SPI_BROKEN_DATA;
    if (!image && length > 0) return SPI_BROKEN_DATA;
    copy->data = static_cast<const char*>(image);
    copy->size = length;
    copy->start = 0;
    copy->owned = NULL;
    copy->encoding = DetectListEncoding(copy->data, length);
    return SPI_SUCCESS;
}

int LoadSourceW(const WCHAR* source, LONG_PTR arg, unsigned flag, SourceCopy* copy) {
    if (!copy) return SPI_BROKEN_DATA;
    if (IsMemoryInput(flag)) return UseMemoryImage(source, arg, copy);
    return LoadFile(source, arg, copy);
}

int LoadSource(const char* source, LONG_PTR arg, unsigned flag, SourceCopy* copy) {
    if (!copy) return SPI_BROKEN_DATA;
    if (IsMemoryInput(flag)) return UseMemoryImage(source, arg, copy);
    if (!source) return SPI_FILE_READ_ERROR;
    // What CreateFileA does: the name converted with the file functions' code page.
    UINT codePage = FileNameCodePage();
    int chars = MultiByteToWideChar(codePage, 0, source, -1, NULL, 0);
    if (chars <= 0) return SPI_FILE_READ_ERROR;
    GlobalBlock wide(GlobalAlloc(GMEM_FIXED, (SIZE_T)chars * sizeof(WCHAR)));
    WCHAR* name = static_cast<WCHAR*>(wide.get());
    if (!name) return SPI_MEMORY_ERROR;
    if (MultiByteToWideChar(codePage, 0, source, -1, name, chars) != chars) {
        return SPI_FILE_READ_ERROR;
    }
    return LoadFile(name, arg, copy);
}

void ReleaseSource(SourceCopy* copy) {
    if (!copy) return;
    if (copy->owned) GlobalFree(copy->owned);
    copy->owned = NULL;
    copy->data = NULL;
    copy->size = 0;
    copy->start = 0;
}

int64_t CountAddresses(const char* data, int64_t start, int64_t size) {
    if (!data) return 0;
    int64_t count = 0;
    SchemeMatch m = {0, false};
    for (int64_t i = start < 0 ? 0 : start; i < size; ++i) {
        MatchStep(&m, data[i]);
        if (m.k == FormLength(m)) {
            ++count;
            m.k = 0;
            m.secure = false;
        }
    }
    return count;
}

// Where the next line begins, given that this one stopped at p. A line that
// ran to the end of the data is followed by a two-byte step, as if it had a
// CR LF, so callers looping while pos < size always pass the end.
static int64_t StepOverLineEnd(const char* data, int64_t limit, int64_t p) {
    if (p >= limit) return p > INT64_MAX - 2 ? INT64_MAX : p + 2;
    if (data[p] == '\r' && p + 1 < limit && data[p + 1] == '\n') return p + 2;
    return p + 1;
}

void ScanUrlLine(const char* data, int64_t size, int64_t* pos, UrlScan* scan) {
    if (!pos || !scan) return;
    int64_t limit = data ? size : 0;
    int64_t p = *pos < 0 ? 0 : *pos;
    SchemeMatch m = {0, false};
    bool found = false;
    int k = 0;
    bool cut = false;
    for (; p < limit && !IsLineEndByte(data[p]); ++p) {
        if (!found) {
            MatchStep(&m, data[p]);
            k = m.k;
            if (k == FormLength(m)) {
                memcpy(scan->url, m.secure ? kHttpsPrefix : kHttpPrefix, (size_t)k);
                scan->position = p - (k - 1);
                found = true;
            }
        } else if (k < kUrlCapacity - 1) {
            scan->url[k] = data[p];
            ++k;
        } else {
            cut = true;  // the rest of the line does not fit; keep walking to its end
        }
    }
    // Without an address this cuts what earlier lines left at k (0 to 6), so
    // the buffer never begins with "http://" or "https://" and callers can
    // tell; a partial "https:/" cuts at 6 too, as "http:/" does.
    if (!found && k > kHttpPrefixLength - 1) k = kHttpPrefixLength - 1;
    scan->url[k] = '\0';
    scan->overlong = cut;
    *pos = StepOverLineEnd(data, limit, p);
}
