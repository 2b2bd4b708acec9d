// Whole raw HTTP responses through the header/body split, the field lookup,
// the date conversion, and the status, target and length a redirect and a
// truncation are judged by. The split is fed in pieces whose sizes come from
// the input and must agree with a plain search over the whole response; the
// reception, fed the same pieces, must give a file (its sink) and a memory
// body that are the same bytes: those after that header block, cut at the
// announced length or decoded from chunks as the header frames them.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "http/chunked.h"
#include "http/reception.h"
#include "http/response.h"

namespace {

bool LfLfAt(const unsigned char* p, size_t n, size_t i) {
    return i + 2 <= n && p[i] == '\n' && p[i + 1] == '\n';
}

bool FourAt(const unsigned char* p, size_t n, size_t i) {
    if (i + 4 > n) return false;
    static const char* const kEnds[] = {"\r\r\r\r", "\r\n\r\n", "\n\r\n\r", "\n\n\n\n"};
    for (const char* e : kEnds) {
        if (memcmp(p + i, e, 4) == 0) return true;
    }
    return false;
}

// The header block's length by the plain definition, or n when there is no end.
size_t PlainHeaderLength(const unsigned char* p, size_t n) {
    for (size_t i = 0; i + 2 <= n; ++i) {
        if (FourAt(p, n, i)) return i + 4;
        if (LfLfAt(p, n, i)) return i + 2;
    }
    return n;
}

bool Append(void* context, const char* bytes, size_t n) {
    static_cast<std::string*>(context)->append(bytes, n);
    return true;
}

// What the reception judged, besides the body.
struct Judged {
    bool redirect;
    bool broken;
    int interim;
    Framing framing;
    int64_t length;
};

// The body the reception gives for the response fed in pieces of `piece`
// bytes: the memory body, or what the sink got.
std::string Received(const unsigned char* p, size_t n, size_t piece, bool keepBody, Judged* j) {
    Response r;
    std::string sunk;
    BodySink sink = {Append, &sunk};
    const BodySink* to = keepBody ? NULL : &sink;
    bool whole = false;
    for (size_t at = 0; at < n && !whole && !r.body.broken;) {
        char* room = NULL;
        size_t space = 0;
        if (!ResponseRoom(&r, keepBody, &room, &space)) abort();
        whole = space == 0;
        size_t len = n - at < piece ? n - at : piece;
        if (len > space) len = space;
        memcpy(room, p + at, len);
        FetchMessage arrived = len > 0 ? ResponseArrived(&r, len, to) : kFetchOk;
        if (arrived != kFetchOk && arrived != kFetchChunkedBroken) abort();
        at += len;
    }
    if (!whole && !r.body.broken && ResponseEnded(&r, to) != kFetchOk) abort();
    *j = Judged{r.redirect, r.body.broken, r.interim, r.body.framing, r.body.length};
    if (strnlen(r.location, kLocationCapacity) == kLocationCapacity) abort();
    if (!keepBody) return sunk;
    HLOCAL block = TakeBody(&r);
    if (!block) abort();
    std::string body(static_cast<const char*>(LocalLock(block)), (size_t)r.BodyLength());
    LocalFree(block);
    return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t piece = 1 + data[0] % 64;  // how the bytes arrive
    const unsigned char* p = data + 1;
    size_t n = size - 1;

    HeaderEndScan scan;
    memset(&scan, 0, sizeof scan);
    for (size_t at = 0; at < n; at += piece) {
        size_t len = n - at < piece ? n - at : piece;
        // Each piece in a buffer of its own size, so an over-read is caught.
        std::vector<unsigned char> chunk(p + at, p + at + len);
        ScanForHeaderEnd(&scan, chunk.data(), len);
    }
    FinishHeaderEndScan(&scan);
    size_t streamed = scan.found ? scan.headerLength : n;
    if (streamed != PlainHeaderLength(p, n)) abort();
    if (scan.found && scan.seen > n) abort();

    Judged m = {}, f = {};
    std::string memory = Received(p, n, piece, true, &m);
    std::string file = Received(p, n, piece, false, &f);
    if (m.redirect != f.redirect || m.broken != f.broken || m.framing != f.framing) abort();
    if (!m.broken && file != (m.redirect ? std::string() : memory)) abort();
    // Without an interim response, the body is what the framing makes of
    // the bytes after the header block.
    std::string rest(reinterpret_cast<const char*>(p) + streamed, n - streamed);
    if (m.interim == 0 && !m.broken && !m.redirect) {
        std::string expected = rest;
        if (m.framing == kFramedByLength && (uint64_t)m.length < rest.size()) {
            expected = rest.substr(0, (size_t)m.length);
        } else if (m.framing == kFramedEmpty) {
            expected.clear();
        } else if (m.framing == kFramedChunked) {
            ChunkDecoder d = {};
            size_t body = 0, used = 0;
            DecodeChunked(&d, &expected[0], expected.size(), &body, &used);
            expected.resize(body);
        }
        if (memory != expected) abort();
    }

    size_t textLength = streamed < (size_t)kHeaderTextCapacity ? streamed : (size_t)kHeaderTextCapacity;
    char* text = static_cast<char*>(malloc(textLength + 1));
    memcpy(text, p, textLength);
    text[textLength] = '\0';
    int32_t t = DateFromHeader(text);
    (void)t;
    // The fields that decide a redirect and a truncation.
    int status = StatusCode(text);
    if (status < 0 || status > 999) abort();
    char location[kHeaderTextCapacity + 1];
    if (FindLocation(text, location, (int)sizeof location)) {
        size_t length = strlen(location);
        if (length == 0 || length > textLength) abort();
        if (location[length - 1] == ' ' || location[length - 1] == '\t') abort();
    }
    int64_t announced = -1;
    if (AnnouncedLength(text, &announced) && announced < 0) abort();
    free(text);
    return 0;
}
