// The host parser for special URLs: IPv6 in brackets, or a domain that is
// percent-decoded, taken to ASCII (IDNA through the platform), checked for
// forbidden code points and, when it ends in a number, read as IPv4.
#include "url/host.h"

#include <stdint.h>
#include <string.h>

#include "compat/win32.h"
#include "url/percent.h"
#include "url/utf8.h"

namespace {

const size_t kIPv6Pieces = 8;
// "[" + eight pieces of four hex digits and seven ':' + "]"
const size_t kMaxIPv6Text = 41;
// "255.255.255.255"
const size_t kMaxIPv4Text = 15;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// The standard's forbidden domain code points, for the ASCII that is left
// after IDNA: the forbidden host code points, C0 controls, '%' and DEL.
bool IsForbiddenDomainByte(unsigned char c) {
    return c <= 0x20 || c == '#' || c == '%' || c == '/' || c == ':' || c == '<' || c == '>' ||
           c == '?' || c == '@' || c == '[' || c == '\\' || c == ']' || c == '^' || c == '|' ||
           c == 0x7F;
}

// ----------------------------------------------------------------- IPv6

// One group of IPv4 digits inside an IPv6 address: no leading zero, at most
// 255. Advances *at past the digits.
bool ReadIPv4Piece(const char* s, size_t n, size_t* at, unsigned* piece) {
    if (*at >= n || !IsDigit(s[*at])) return false;
    size_t start = *at;
    unsigned value = 0;
    while (*at < n && IsDigit(s[*at])) {
        if (*at > start && value == 0) return false;
        value = value * 10 + (unsigned)(s[*at] - '0');
        if (value > 255) return false;
        ++*at;
    }
    *piece = value;
    return true;
}

// The dotted IPv4 tail "a.b.c.d" from s[at], into pieces[index] and the next.
bool ReadEmbeddedIPv4(const char* s, size_t n, size_t at, uint16_t* pieces, size_t index) {
    if (index > kIPv6Pieces - 2) return false;
    for (int seen = 0; seen < 4; ++seen) {
        if (seen > 0) {
            if (at >= n || s[at] != '.') return false;
            ++at;
        }
        unsigned piece = 0;
        if (!ReadIPv4Piece(s, n, &at, &piece)) return false;
        pieces[index] = (uint16_t)(pieces[index] * 0x100 + piece);
        if (seen == 1 || seen == 3) ++index;
    }
    return at == n;
}

// The standard's IPv6 parser over `n` bytes (no brackets).
bool ParseIPv6(const char* s, size_t n, uint16_t pieces[kIPv6Pieces]) {
    memset(pieces, 0, kIPv6Pieces * sizeof pieces[0]);
    size_t index = 0, at = 0;
    long compress = -1;
    if (n > 0 && s[0] == ':') {
        if (n < 2 || s[1] != ':') return false;
        at = 2;
        compress = (long)++index;
    }
    while (at < n) {
        if (index == kIPv6Pieces) return false;
        if (s[at] == ':') {
            if (compress >= 0) return false;
            ++at;
            compress = (long)++index;
            continue;
        }
        unsigned value = 0;
        size_t digits = 0;
        while (digits < 4 && at < n && IsHexDigit(s[at])) {
            value = value * 16 + (unsigned)HexValue(s[at++]);
            ++digits;
        }
        if (at < n && s[at] == '.') {
            if (digits == 0 || !ReadEmbeddedIPv4(s, n, at - digits, pieces, index)) return false;
            index += 2;
            break;
        }
        if (at < n && s[at] == ':') {
            if (++at == n) return false;
        } else if (at < n) {
            return false;
        }
        pieces[index++] = (uint16_t)value;
    }
    if (compress < 0) return index == kIPv6Pieces;
    // Move the pieces after "::" to the end.
    size_t swaps = index - (size_t)compress;
    for (size_t to = kIPv6Pieces - 1; to != 0 && swaps > 0; --to, --swaps) {
        uint16_t moved = pieces[(size_t)compress + swaps - 1];
        pieces[(size_t)compress + swaps - 1] = pieces[to];
        pieces[to] = moved;
    }
    return true;
}

// The first longest run of two or more zero pieces, or -1.
int LongestZeroRun(const uint16_t pieces[kIPv6Pieces]) {
    int best = -1, bestLength = 1;
    for (int i = 0; i < (int)kIPv6Pieces;) {
        int j = i;
        while (j < (int)kIPv6Pieces && pieces[j] == 0) ++j;
        if (j - i > bestLength) {
            best = i;
            bestLength = j - i;
        }
        i = j > i ? j : i + 1;
    }
    return best;
}

size_t SerializeIPv6(const uint16_t pieces[kIPv6Pieces], char* out) {
    static const char kHex[] = "0123456789abcdef";
    int compress = LongestZeroRun(pieces);
    size_t n = 0;
    out[n++] = '[';
    for (int i = 0; i < (int)kIPv6Pieces; ++i) {
        if (i == compress) {
            out[n++] = ':';
            if (i == 0) out[n++] = ':';
            while (i + 1 < (int)kIPv6Pieces && pieces[i + 1] == 0) ++i;
            continue;
        }
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            unsigned digit = (pieces[i] >> shift) & 0xF;
            if (digit || started || shift == 0) {
                out[n++] = kHex[digit];
                started = true;
            }
        }
        if (i != (int)kIPv6Pieces - 1) out[n++] = ':';
    }
    out[n++] = ']';
    return n;
}

// ----------------------------------------------------------------- IPv4

// The standard's IPv4 number parser: "0x" hex, leading-zero octal or decimal;
// "" after a prefix is 0. Values past 32 bits saturate (every such part fails
// later).
bool ParseIPv4Number(const char* s, size_t n, uint64_t* value) {
    if (n == 0) return false;
    unsigned radix = 10;
    if (n >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        radix = 16;
        s += 2;
        n -= 2;
    } else if (n >= 2 && s[0] == '0') {
        radix = 8;
        s += 1;
        n -= 1;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        int d = HexValue(s[i]);
        if (d < 0 || (unsigned)d >= radix) return false;
        v = v * radix + (unsigned)d;
        if (v > 0xFFFFFFFFull) v = 0x100000000ull;
    }
    *value = v;
    return true;
}

// The last label (a trailing dot aside) is all digits or an IPv4 number.
bool EndsInNumber(const char* s, size_t n) {
    if (n > 0 && s[n - 1] == '.') {
        if (n == 1) return false;
        --n;
    }
    size_t start = n;
    while (start > 0 && s[start - 1] != '.') --start;
    if (start == n) return false;
    bool digits = true;
    for (size_t i = start; i < n; ++i) digits = digits && IsDigit(s[i]);
    uint64_t ignored = 0;
    return digits || ParseIPv4Number(s + start, n - start, &ignored);
}

// The standard's IPv4 parser: one to four parts, a trailing dot allowed, the
// last part filling the bytes the others leave.
bool ParseIPv4(const char* s, size_t n, uint32_t* address) {
    if (n > 0 && s[n - 1] == '.') --n;
    uint64_t numbers[4];
    size_t count = 0;
    for (size_t start = 0;;) {
        size_t end = start;
        while (end < n && s[end] != '.') ++end;
        if (count == 4 || !ParseIPv4Number(s + start, end - start, &numbers[count])) return false;
        ++count;
        if (end == n) break;
        start = end + 1;
    }
    for (size_t i = 0; i + 1 < count; ++i) {
        if (numbers[i] > 255) return false;
    }
    if (numbers[count - 1] >= (1ull << (8 * (5 - count)))) return false;
    uint64_t v = numbers[count - 1];
    for (size_t i = 0; i + 1 < count; ++i) v += numbers[i] << (8 * (3 - i));
    *address = (uint32_t)v;
    return true;
}

size_t SerializeIPv4(uint32_t address, char* out) {
    size_t n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned part = (address >> shift) & 0xFF;
        if (part >= 100) out[n++] = (char)('0' + part / 100);
        if (part >= 10) out[n++] = (char)('0' + part / 10 % 10);
        out[n++] = (char)('0' + part % 10);
        if (shift) out[n++] = '.';
    }
    return n;
}

// ----------------------------------------------------------------- domains

bool IsAscii(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if ((unsigned char)s[i] >= 0x80) return false;
    }
    return true;
}

// Some label starts with "xn--", in any case.
bool HasAceLabel(const char* s, size_t n) {
    for (size_t i = 0; i + 4 <= n; ++i) {
        bool labelStart = i == 0 || s[i - 1] == '.';
        if (labelStart && Lower(s[i]) == 'x' && Lower(s[i + 1]) == 'n' && s[i + 2] == '-' &&
            s[i + 3] == '-') {
            return true;
        }
    }
    return false;
}

// The UTF-8 decoded domain as UTF-16 with ASCII letters lowered (the UTS #46
// mapping for ASCII), for the platform's IDNA. False when it does not fit.
bool ToWide(const char* s, size_t n, WCHAR* wide, int* units) {
    int count = 0;
    for (size_t at = 0; at < n;) {
        size_t used = 0;
        uint32_t cp = DecodeUtf8(reinterpret_cast<const unsigned char*>(s + at), n - at, &used);
        at += used;
        if (cp >= 'A' && cp <= 'Z') cp += 'a' - 'A';
        int need = cp >= 0x10000 ? 2 : 1;
        if (count + need > kMaxIdnaUnits) return false;
        if (need == 2) {
            wide[count++] = (WCHAR)(0xD800 + ((cp - 0x10000) >> 10));
            wide[count++] = (WCHAR)(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            wide[count++] = (WCHAR)cp;
        }
    }
    *units = count;
    return true;
}

// The platform's IDNA of `wide`, which must be ASCII, and must come back the
// same through its Unicode form: UTS #46 takes an "xn--" label only when it
// decodes to a valid label, one that its own mapping leaves as it is (the
// platform's IdnToAscii passes such labels through unchecked).
bool PlatformToAscii(const WCHAR* wide, int units, WCHAR* ascii, int* written) {
    *written = DomainToAscii(wide, units, ascii, kMaxIdnaUnits);
    if (*written <= 0) return false;
    for (int i = 0; i < *written; ++i) {
        if (ascii[i] >= 0x80) return false;
    }
    WCHAR unicode[kMaxIdnaUnits];
    WCHAR again[kMaxIdnaUnits];
    int decoded = DomainToUnicode(ascii, *written, unicode, kMaxIdnaUnits);
    if (decoded <= 0) return false;
    int encoded = DomainToAscii(unicode, decoded, again, kMaxIdnaUnits);
    return encoded == *written && memcmp(again, ascii, (size_t)encoded * sizeof ascii[0]) == 0;
}

// The standard's "domain to ASCII" with beStrict false, in place. ASCII
// without an "xn--" label is only lowered; anything else goes through the
// platform's IDNA.
HostOutcome DomainToAsciiInPlace(char* s, size_t* n, size_t capacity) {
    if (IsAscii(s, *n) && !HasAceLabel(s, *n)) {
        for (size_t i = 0; i < *n; ++i) s[i] = Lower(s[i]);
        return kHostOk;
    }
    WCHAR wide[kMaxIdnaUnits];
    WCHAR ascii[kMaxIdnaUnits];
    int units = 0, written = 0;
    if (!ToWide(s, *n, wide, &units)) return kHostTooLong;
    if (!PlatformToAscii(wide, units, ascii, &written)) return kHostFailure;
    if ((size_t)written + 1 > capacity) return kHostTooLong;
    for (int i = 0; i < written; ++i) s[i] = Lower((char)ascii[i]);
    *n = (size_t)written;
    return kHostOk;
}

HostOutcome ParseBracketedIPv6(char* text, size_t length, size_t capacity, ParsedHost* host) {
    if (length < 2 || text[length - 1] != ']') return kHostFailure;
    uint16_t pieces[kIPv6Pieces];
    if (!ParseIPv6(text + 1, length - 2, pieces)) return kHostFailure;
    char serialized[kMaxIPv6Text];
    size_t n = SerializeIPv6(pieces, serialized);
    if (n + 1 > capacity) return kHostTooLong;
    for (size_t i = 0; i < kIPv6Pieces; ++i) {
        host->address[2 * i] = (unsigned char)(pieces[i] >> 8);
        host->address[2 * i + 1] = (unsigned char)(pieces[i] & 0xFF);
    }
    memcpy(text, serialized, n);
    text[n] = '\0';
    host->kind = kUrlIPv6;
    host->length = n;
    return kHostOk;
}

}  // namespace

HostOutcome ParseSpecialHost(char* text, size_t length, size_t capacity, ParsedHost* host) {
    if (capacity < length + 1 || length == 0) return kHostFailure;
    memset(host->address, 0, sizeof host->address);
    if (text[0] == '[') return ParseBracketedIPv6(text, length, capacity, host);
    size_t n = PercentDecode(text, length, text, capacity);
    if (n == kPercentDecodeRefused) return kHostTooLong;
    HostOutcome outcome = DomainToAsciiInPlace(text, &n, capacity);
    if (outcome != kHostOk) return outcome;
    if (n == 0) return kHostFailure;
    for (size_t i = 0; i < n; ++i) {
        if (IsForbiddenDomainByte((unsigned char)text[i])) return kHostFailure;
    }
    host->kind = kUrlDomain;
    if (EndsInNumber(text, n)) {
        uint32_t address = 0;
        if (!ParseIPv4(text, n, &address)) return kHostFailure;
        char serialized[kMaxIPv4Text];
        n = SerializeIPv4(address, serialized);
        if (n + 1 > capacity) return kHostTooLong;
        memcpy(text, serialized, n);
        for (int i = 0; i < 4; ++i) host->address[i] = (unsigned char)(address >> (24 - 8 * i));
        host->kind = kUrlIPv4;
    }
    text[n] = '\0';
    host->length = n;
    return kHostOk;
}
