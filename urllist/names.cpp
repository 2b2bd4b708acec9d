// A list's encoding, its addresses as UTF-8 and its members' names as UTF-16.
// UTF-8 is read and written by the URL room's own coder, the ANSI code page
// by the system, so that both builds read a list the same way.
#include "urllist/names.h"

#include <string.h>

#include "url/percent.h"
#include "url/utf8.h"
#include "urllist/urllist.h"

namespace {

const unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
const WCHAR kDefaultName[] = {'i', 'n', 'd', 'e', 'x', '.', 'h', 't', 'm', 'l', 0};
// An extension of this many units or fewer, its dot included, is kept when
// a name is cut: ".jpeg", ".webp", ".tar.gz"'s ".gz".
const size_t kShortExtension = 16;

bool IsSeparator(WCHAR c) { return c == '/' || c == '\\' || c == ':' || c == '='; }

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }

// Characters Windows refuses in a file name.
bool IsForbidden(WCHAR c) {
    return c < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '/' || c == '\\' ||
           c == '|' || c == '?' || c == '*';
}

// True when all `n` bytes are valid UTF-8 (no overlong form, no surrogate,
// nothing past U+10FFFF, nothing cut short).
bool IsUtf8(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n;) {
        size_t used = 0;
        uint32_t cp = DecodeUtf8(p + i, n - i, &used);
        bool replacement = used == 3 && p[i] == 0xEF && p[i + 1] == 0xBF && p[i + 2] == 0xBD;
        if (cp == kReplacementCharacter && !replacement) return false;
        i += used;
    }
    return true;
}

// Appends code point `cp` as UTF-16 to `out` at *n (capacity `cap`, one unit
// kept for the NUL). False when it does not fit.
bool PutWide(uint32_t cp, WCHAR* out, size_t* n, size_t cap) {
    if (cp == 0) cp = '_';  // a decoded NUL: a name goes on past it
    size_t units = cp >= 0x10000 ? 2 : 1;
    if (*n + units >= cap) return false;
    if (units == 2) {
        cp -= 0x10000;
        out[(*n)++] = (WCHAR)(0xD800 + (cp >> 10));
        out[(*n)++] = (WCHAR)(0xDC00 + (cp & 0x3FF));
    } else {
        out[(*n)++] = (WCHAR)cp;
    }
    return true;
}

// Appends the UTF-8 bytes `p` (`n`, valid or not) as UTF-16.
bool PutUtf8(const unsigned char* p, size_t n, WCHAR* out, size_t* at, size_t cap) {
    for (size_t i = 0; i < n;) {
        size_t used = 0;
        uint32_t cp = DecodeUtf8(p + i, n - i, &used);
        if (!PutWide(cp, out, at, cap)) return false;
        i += used;
    }
    return true;
}

// The address's text as UTF-16 into `out` (`cap` units, NUL-terminated);
// the number of units, or 0 when it cannot be read or does not fit.
size_t ToWide(const char* bytes, size_t n, ListEncoding encoding, WCHAR* out, size_t cap) {
    size_t at = 0;
    if (encoding == kListUtf8) {
        if (!PutUtf8(reinterpret_cast<const unsigned char*>(bytes), n, out, &at, cap)) return 0;
    } else if (n > 0) {
        int got = MultiByteToWideChar(CP_ACP, 0, bytes, (int)n, out, (int)cap - 1);
        if (got <= 0) return 0;
        at = (size_t)got;
    }
    out[at] = 0;
    return at;
}

// The length of the run of "%XX" triples at `text`.
size_t EscapedRun(const WCHAR* text, size_t n) {
    size_t i = 0;
    while (i + 2 < n && text[i] == '%' && text[i + 1] < 0x80 && text[i + 2] < 0x80 &&
           IsHexDigit((char)text[i + 1]) && IsHexDigit((char)text[i + 2])) {
        i += 3;
    }
    return i;
}

// The segment `text` (`n` units) with its runs of "%XX" decoded where they
// are UTF-8, into `out` (`cap` units, NUL-terminated).
void DecodeSegment(const WCHAR* text, size_t n, WCHAR* out, size_t cap) {
    size_t at = 0;
    for (size_t i = 0; i < n;) {
        size_t run = EscapedRun(text + i, n - i);
        if (run > 0) {
            unsigned char bytes[kUrlCapacity / 3 + 1];
            size_t k = 0;
            for (size_t j = i; j < i + run; j += 3) {
                bytes[k++] = (unsigned char)(HexValue((char)text[j + 1]) * 16 +
                                             HexValue((char)text[j + 2]));
            }
            bool decoded = IsUtf8(bytes, k);
            bool put = decoded ? PutUtf8(bytes, k, out, &at, cap) : true;
            for (size_t j = i; !decoded && j < i + run && put; ++j) {
                put = PutWide(text[j], out, &at, cap);
            }
            if (!put) break;
            i += run;
            continue;
        }
        // A pair of surrogates goes whole or not at all.
        size_t units = IsHighSurrogate(text[i]) && i + 1 < n ? 2 : 1;
        if (at + units >= cap) break;
        for (size_t u = 0; u < units; ++u) out[at++] = text[i + u];
        i += units;
    }
    out[at] = 0;
}

}  // namespace

ListEncoding DetectListEncoding(const char* data, int64_t size) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    if (!p || size <= 0) return kListUtf8;
    if (size >= 3 && memcmp(p, kBom, 3) == 0) return kListUtf8;
    // Checked in pieces: a list may pass what a size_t holds on 32 bits.
    const int64_t kPiece = 1 << 20;
    for (int64_t at = 0; at < size;) {
        int64_t n = size - at < kPiece ? size - at : kPiece;
        // Stop a piece short of a character that would run into the next.
        while (n < size - at && n > 0 && (p[at + n] & 0xC0) == 0x80) --n;
        if (n == 0 || !IsUtf8(p + at, (size_t)n)) return kListAnsi;
        at += n;
    }
    return kListUtf8;
}

bool AddressAsUtf8(const char* bytes, size_t n, ListEncoding encoding, char* out,
                   size_t capacity) {
    if (capacity == 0) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    if (encoding == kListUtf8 && IsUtf8(p, n)) {
        if (n >= capacity) return false;
        memcpy(out, bytes, n);
        out[n] = '\0';
        return true;
    }
    // A list marked as UTF-8 may still hold bytes that are not: they read as
    // U+FFFD, as the URL parser would read them.
    WCHAR wide[kUrlCapacity];
    size_t units = ToWide(bytes, n, encoding, wide, kUrlCapacity);
    if (units == 0 && n > 0) return false;
    size_t at = 0;
    for (size_t i = 0; i < units; ++i) {
        uint32_t cp = wide[i];
        if (IsHighSurrogate(wide[i]) && i + 1 < units && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            cp = 0x10000 + (((uint32_t)wide[i] - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacementCharacter;
        }
        unsigned char utf8[4];
        size_t k = EncodeUtf8(cp, utf8);
        if (at + k >= capacity) return false;
        memcpy(out + at, utf8, k);
        at += k;
    }
    out[at] = '\0';
    return true;
}

void DeriveMemberNameW(const char* address, size_t n, ListEncoding encoding, WCHAR* name) {
    WCHAR text[kUrlCapacity];
    size_t units = address ? ToWide(address, n, encoding, text, kUrlCapacity) : 0;
    size_t end = 0;
    while (end < units && text[end] != '#') ++end;
    size_t from = end;
    while (from > 0 && !IsSeparator(text[from - 1])) --from;
    DecodeSegment(text + from, end - from, name, kWideNameCapacity);
    for (WCHAR* c = name; *c; ++c) {
        if (IsForbidden(*c)) *c = '_';
    }
    if (name[0] == 0) memcpy(name, kDefaultName, sizeof kDefaultName);
}

void CutNameKeepingExtension(WCHAR* name, size_t limit) {
    size_t n = 0;
    while (name[n]) ++n;
    if (n <= limit) return;
    size_t dot = n;
    while (dot > 0 && name[dot - 1] != '.') --dot;
    size_t extension = dot > 1 ? n - (dot - 1) : 0;  // with its dot; none for ".name"
    if (extension == 0 || extension > kShortExtension || extension >= limit) extension = 0;
    size_t stem = limit - extension;
    if (stem > 0 && IsHighSurrogate(name[stem - 1])) --stem;
    if (extension > 0) memmove(name + stem, name + n - extension, extension * sizeof(WCHAR));
    name[stem + extension] = 0;
}
