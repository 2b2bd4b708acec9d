// Whole URL-list documents through the three archive operations, with the
// download replaced by a function of the address, so that only the list
// handling is exercised: every record must describe a real "http://" or
// "https://" line, every member must be found and extracted, and nothing may
// leak.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <memory>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "http/fetch.h"
#include "plugin/spi.h"
#include "url/url.h"
#include "urllist/names.h"
#include "urllist/urllist.h"

namespace {

uint32_t Hash(const char* s) {
    uint32_t h = 2166136261u;
    for (; *s; ++s) h = (h ^ (unsigned char)*s) * 16777619u;
    return h;
}

// What a server sees of an address: its href without the fragment (texts
// that parse alike are one resource), or the text when it does not parse.
uint32_t ResourceHash(const char* url) {
    std::unique_ptr<Url> parsed(new Url);  // the listing's threads call this at once
    if (ParseUrl(url, strlen(url), NULL, parsed.get()) != kUrlOk) return Hash(url);
    if (parsed->hasFragment) parsed->href[parsed->fragment.start - 1] = '\0';
    return Hash(parsed->href);
}

// A member's size: a function of its resource; one in eight fails.
int64_t FakeLength(const char* url) {
    uint32_t h = ResourceHash(url);
    return h % 8 == 0 ? -1 : (int64_t)(h % 3000);
}

}  // namespace

// The download, replaced for this target. Its responses may be kept (a 200
// without dates: a minute), so that the calls after a listing are served by
// the cache.
FetchMessage FetchUrl(const char* url, bool keepBody, const FetchWatch*, FetchResult* result,
                      const BodySink* sink, ConnectionPool*, FetchExtras* extras) {
    int64_t n = FakeLength(url);
    if (n < 0) return kFetchConnectFailed;
    if (extras) {
        extras->fields.status = ResourceHash(url) % 5 == 0 ? 404 : 200;
        if (extras->finalHref) snprintf(extras->finalHref, kMaxHrefLength + 1, "%s", url);
    }
    HLOCAL b = NULL;
    if (sink) {
        std::string bytes((size_t)n, 'x');
        if (n > 0 && !sink->write(sink->context, bytes.data(), bytes.size())) return kFetchWriteFailed;
    } else if (keepBody) {
        b = LocalAlloc(LMEM_FIXED, (size_t)n);
        if (!b) return kFetchReceiveFailed;
        memset(b, 'x', (size_t)n);
    }
    result->body = b;
    result->length = n;
    result->timestamp = (int32_t)ResourceHash(url);
    return kFetchOk;
}
int64_t HttpFetch(const char* url, HLOCAL* body, int64_t* length, int64_t* timestamp) {
    FetchResult r;
    if (FetchUrl(url, body != NULL, NULL, &r) != kFetchOk) return -1;
    if (body) *body = r.body;
    if (length) *length = r.length;
    if (timestamp) *timestamp = r.timestamp;
    return r.length;
}

// The Unicode listing of the same image: as many records with the same
// fields; each name the ANSI one in UTF-16 (the native ANSI code page is
// Latin-1, so a character past U+00FF is '_' there, and a name without
// surrogates is as long in both, but for a character past U+FFFF that the
// Unicode cut drops whole where the ANSI one keeps its '_'), and the first
// names found by the Unicode lookup.
static void CheckWideListing(const char* image, size_t size, const fileInfo* a, size_t count) {
    HLOCAL h = NULL;
    if (GetArchiveInfoW((LPCWSTR)image, (LONG_PTR)size, 1, &h) != 0) abort();
    if (LocalSize(h) != (count + 1) * sizeof(fileInfoW)) abort();
    const fileInfoW* w = static_cast<const fileInfoW*>(LocalLock(h));
    for (size_t i = 0; i < count; ++i) {
        if (memcmp(w[i].method, a[i].method, sizeof a[i].method) != 0) abort();
        if (w[i].position != a[i].position || w[i].filesize != a[i].filesize ||
            w[i].compsize != a[i].compsize || w[i].timestamp != a[i].timestamp) {
            abort();
        }
        size_t n = 0;
        bool surrogates = false;
        for (; n < kRecordNameCapacity && w[i].filename[n]; ++n) {
            WCHAR c = w[i].filename[n];
            if (c < 0x20 || wcschr(L"<>:\"/\\|?*", c)) abort();
            if (c >= 0xD800 && c <= 0xDFFF) surrogates = true;
        }
        if (n == 0 || n == kRecordNameCapacity || w[i].path[0] != 0) abort();
        size_t skipped = 0;  // the '_' of a pair the Unicode cut dropped
        for (size_t j = 0; !surrogates && j <= n; ++j) {
            WCHAR c = w[i].filename[j];
            unsigned char ansi = (unsigned char)a[i].filename[j + skipped];
            if (ansi == (c <= 0xFF ? c : '_')) continue;
            if (skipped || ansi != '_' || n < kRecordNameCapacity - 2) abort();
            skipped = 1;
            --j;
        }
        if (i < 10) {
            fileInfoW info;
            int found = GetFileInfoW((LPCWSTR)image, (LONG_PTR)size, w[i].filename, 1, &info);
            if (found != 0 && found != 6) abort();
            if (found == 0 && memcmp(info.filename, w[i].filename, (n + 1) * sizeof(WCHAR)) != 0) {
                abort();
            }
        }
    }
    static const fileInfoW kZero = {};
    if (memcmp(&w[count], &kZero, sizeof kZero) != 0) abort();
    LocalFree(h);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const long blocks = stub::LiveBlocks();
    std::vector<char> doc(data, data + size);  // exact size: over-reads are caught
    const char* image = size ? doc.data() : NULL;

    HLOCAL listing = NULL;
    int rc = GetArchiveInfo(image, (long)size, 1, &listing);
    if (rc != 0 && rc != 6) abort();
    if (rc == 0) {
        size_t bytes = LocalSize(listing);
        if (bytes % sizeof(fileInfo) != 0 || bytes == 0) abort();
        size_t count = bytes / sizeof(fileInfo) - 1;
        fileInfo* r = static_cast<fileInfo*>(LocalLock(listing));
        static const fileInfo kZero = {};
        if (memcmp(&r[count], &kZero, sizeof kZero) != 0) abort();
        for (size_t i = 0; i < count && i < 50; ++i) {
            if (memcmp(r[i].method, "YKTPK", 6) != 0) abort();
            if (!memchr(r[i].filename, '\0', sizeof r[i].filename)) abort();
            if (r[i].filename[0] == '\0') abort();
            if (r[i].position + 7 > size ||
                AddressPrefixLength(image + r[i].position, (int64_t)(size - r[i].position)) == 0) {
                abort();
            }
            if (r[i].filesize != r[i].compsize) abort();

            // The member is extracted from its position with the listed size.
            // An image that starts at the member shows neither the list's
            // byte-order mark nor its earlier lines, so where it reads in the
            // other encoding the address (and so its fake size) may differ.
            const char* tail = image + r[i].position;
            const int64_t rest = (int64_t)(size - r[i].position);
            const bool sameReading =
                DetectListEncoding(image, (int64_t)size) == DetectListEncoding(tail, rest);
            HLOCAL out = NULL;
            int got = GetFile(tail, (long)rest, (char*)&out, 0x101, NULL, 0);
            if (got == 0) {
                if (sameReading && LocalSize(out) != r[i].filesize) abort();
                LocalFree(out);
            } else if (got != 6 || (sameReading && r[i].filesize != 0)) {
                abort();
            }
            // ...and a lookup by its name finds a record with the same name.
            fileInfo info;
            int found = GetFileInfo(image, (long)size, r[i].filename, 1, &info);
            if (found == 0 && strcmp(info.filename, r[i].filename) != 0) abort();
            if (found != 0 && found != 6) abort();
        }
        CheckWideListing(image, size, r, count);
        LocalFree(listing);
    }
    EmptyCache();
    if (stub::LiveBlocks() != blocks) abort();
    return 0;
}
