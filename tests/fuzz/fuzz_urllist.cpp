// Arbitrary bytes as a URL list's memory image: reads its encoding, counts
// its addresses, then scans and names every line (and turns each address to
// UTF-8), and traps on any broken invariant: a name empty, unterminated or
// holding a character no file name may hold; UTF-8 text that is not. The
// bytes sit in a heap block of exactly their size, so an over-read is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "urllist/urllist.h"

static void Require(bool holds) {
    if (!holds) __builtin_trap();
}

// What the scanner reported for the line [from, to): when the URL buffer
// begins with "http://" or "https://" the line held an address, at
// `position`, and the buffer is the rest of the line, cut at 4095 and marked
// when longer.
static void CheckLine(const char* data, long from, long to, const UrlScan* scan) {
    const char* end = (const char*)memchr(scan->url, '\0', kUrlCapacity);
    Require(end != NULL);
    long length = end - scan->url;
    Require(scan->overlong == false || length == kUrlCapacity - 1);
    int scheme = AddressPrefixLength(scan->url, length);
    if (scheme == 0) {
        Require(length < kHttpPrefixLength && !scan->overlong);
        return;
    }
    long at = (long)scan->position;
    Require(at >= from && at < to);
    Require(AddressPrefixLength(data + at, to - at) == scheme);
    long line_end = at;
    while (line_end < to && data[line_end] != '\r' && data[line_end] != '\n') ++line_end;
    long expected = line_end - at;
    if (expected > kUrlCapacity - 1) expected = kUrlCapacity - 1;
    // a NUL inside the line ends the C string early; otherwise the lengths agree
    Require(length <= expected);
    Require(memcmp(scan->url, data + at, (size_t)length) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t n) {
    char* data = (char*)malloc(n ? n : 1);
    if (!data) return 0;
    memcpy(data, bytes, n);
    long size = (long)n;
    long count = CountAddresses(data, 0, size);
    Require(count >= 0 && count <= size / kHttpPrefixLength);

    ListEncoding encoding = DetectListEncoding(data, size);
    UrlScan* scan = (UrlScan*)calloc(1, sizeof(UrlScan));
    WCHAR* name = (WCHAR*)malloc(kWideNameCapacity * sizeof(WCHAR));
    const size_t kText = 3 * kUrlCapacity;
    char* text = (char*)malloc(kText);
    long pos = 0;
    long found = 0;
    for (long line = 0; scan && name && text && pos < size; ++line) {
        Require(line <= size);  // every line moves at least one byte on
        long from = pos;
        ScanUrlLine(data, size, &pos, scan);
        Require(pos > from);
        CheckLine(data, from, pos < size ? pos : size, scan);
        if (AddressPrefixLength(scan->url, kUrlCapacity) > 0) ++found;
        size_t length = strlen(scan->url);
        DeriveMemberNameW(scan->url, length, encoding, name);
        size_t units = 0;
        while (units < (size_t)kWideNameCapacity && name[units]) {
            WCHAR c = name[units++];
            Require(c >= 0x20 && c != '/' && c != '\\' && c != ':' && c != '*' && c != '?' &&
                    c != '"' && c != '<' && c != '>' && c != '|');
        }
        Require(units > 0 && units < (size_t)kWideNameCapacity);
        if (AddressAsUtf8(scan->url, length, encoding, text, kText)) {
            size_t utf8 = strlen(text);
            Require(utf8 < kText);
            Require(DetectListEncoding(text, (long)utf8) == kListUtf8);
        }
    }
    // Each line's first address is also one that the whole-document count sees.
    Require(found <= count);
    free(text);
    free(name);
    free(scan);
    free(data);
    return 0;
}
