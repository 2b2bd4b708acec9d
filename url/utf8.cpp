// The Encoding Standard's UTF-8 decoder, one code point per call, and the
// plain encoder.
#include "url/utf8.h"

namespace {

// The lead byte's payload and how many continuation bytes follow it, with the
// narrower range the first continuation byte must fall in (which rules out
// overlong forms, surrogates and code points past U+10FFFF); false for a byte
// that cannot lead.
bool ReadLead(unsigned char b, uint32_t* cp, size_t* needed, unsigned char* lower,
              unsigned char* upper) {
    *lower = 0x80;
    *upper = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        *needed = 1;
        *cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        if (b == 0xE0) *lower = 0xA0;
        if (b == 0xED) *upper = 0x9F;
        *needed = 2;
        *cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        if (b == 0xF0) *lower = 0x90;
        if (b == 0xF4) *upper = 0x8F;
        *needed = 3;
        *cp = b & 0x07;
    } else {
        return false;
    }
    return true;
}

}  // namespace

uint32_t DecodeUtf8(const unsigned char* bytes, size_t available, size_t* used) {
    *used = 1;
    if (bytes[0] < 0x80) return bytes[0];
    uint32_t cp = 0;
    size_t needed = 0;
    unsigned char lower = 0, upper = 0;
    if (!ReadLead(bytes[0], &cp, &needed, &lower, &upper)) return kReplacementCharacter;
    for (size_t seen = 1; seen <= needed; ++seen) {
        if (seen >= available || bytes[seen] < lower || bytes[seen] > upper) {
            *used = seen;
            return kReplacementCharacter;
        }
        cp = (cp << 6) | (bytes[seen] & 0x3F);
        lower = 0x80;
        upper = 0xBF;
    }
    *used = needed + 1;
    return cp;
}

size_t EncodeUtf8(uint32_t cp, unsigned char out[4]) {
    if (cp < 0x80) {
        out[0] = (unsigned char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (unsigned char)(0xC0 | (cp >> 6));
        out[1] = (unsigned char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (unsigned char)(0xE0 | (cp >> 12));
        out[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (unsigned char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (unsigned char)(0xF0 | (cp >> 18));
    out[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (unsigned char)(0x80 | (cp & 0x3F));
    return 4;
}
