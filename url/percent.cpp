// The percent-encode sets, one predicate, and the decoder.
#include "url/percent.h"

namespace {

bool InC0ControlSet(unsigned char b) { return b < 0x20 || b > 0x7E; }

bool InFragmentOnly(unsigned char b) {
    return b == ' ' || b == '"' || b == '<' || b == '>' || b == '`';
}

bool InQueryOnly(unsigned char b) {
    return b == ' ' || b == '"' || b == '#' || b == '<' || b == '>';
}

bool InPathOnly(unsigned char b) {
    return b == '?' || b == '^' || b == '`' || b == '{' || b == '}';
}

bool InUserinfoOnly(unsigned char b) {
    return b == '/' || b == ':' || b == ';' || b == '=' || b == '@' || b == '[' ||
           b == '\\' || b == ']' || b == '|';
}

}  // namespace

bool InPercentEncodeSet(unsigned char b, PercentEncodeSet set) {
    if (InC0ControlSet(b)) return true;
    switch (set) {
        case kC0ControlSet:
            return false;
        case kFragmentSet:
            return InFragmentOnly(b);
        case kQuerySet:
            return InQueryOnly(b);
        case kSpecialQuerySet:
            return InQueryOnly(b) || b == '\'';
        case kPathSet:
            return InQueryOnly(b) || InPathOnly(b);
        case kUserinfoSet:
            return InQueryOnly(b) || InPathOnly(b) || InUserinfoOnly(b);
    }
    return true;
}

void PercentEncodeByte(unsigned char byte, char out[3]) {
    static const char kHex[] = "0123456789ABCDEF";
    out[0] = '%';
    out[1] = kHex[byte >> 4];
    out[2] = kHex[byte & 0x0F];
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsHexDigit(char c) { return HexValue(c) >= 0; }

size_t PercentDecode(const char* in, size_t length, char* out, size_t capacity) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++n) {
        if (n + 1 >= capacity) {
            if (capacity > 0) out[0] = '\0';
            return kPercentDecodeRefused;
        }
        if (in[i] == '%' && i + 2 < length && IsHexDigit(in[i + 1]) && IsHexDigit(in[i + 2])) {
            out[n] = (char)(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2]));
            i += 3;
        } else {
            out[n] = in[i];
            i += 1;
        }
    }
    if (capacity == 0) return kPercentDecodeRefused;
    out[n] = '\0';
    return n;
}
