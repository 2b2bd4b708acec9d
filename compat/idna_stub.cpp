// The native build's stand-ins for IdnToAscii and IdnToUnicode, used by the
// URL parser's host step: plain RFC 3492 punycode, both ways, with ASCII
// letters lowered and no UTS #46 mapping at all. Names that UTS #46 would map
// (full-width letters, U+3002, soft hyphens) come out differently from
// Windows; the Wine runs of the URL tests show the real one.
#include "compat/win32.h"

#include <stdint.h>

namespace {

// RFC 3492 section 5: the bootstring parameters for punycode.
const uint32_t kBase = 36;
const uint32_t kTMin = 1;
const uint32_t kTMax = 26;
const uint32_t kSkew = 38;
const uint32_t kDamp = 700;
const uint32_t kInitialBias = 72;
const uint32_t kInitialN = 128;
const uint32_t kMaxInt = 0x7FFFFFFF;
// 1024 code points: far past the 63 octets DNS allows a label; a longer one
// is refused rather than cut.
const int kMaxLabel = 1024;

uint32_t Adapt(uint32_t delta, uint32_t points, bool first) {
    delta = first ? delta / kDamp : delta / 2;
    delta += delta / points;
    uint32_t k = 0;
    while (delta > ((kBase - kTMin) * kTMax) / 2) {
        delta /= kBase - kTMin;
        k += kBase;
    }
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

uint32_t Threshold(uint32_t k, uint32_t bias) {
    if (k <= bias) return kTMin;
    if (k >= bias + kTMax) return kTMax;
    return k - bias;
}

WCHAR Digit(uint32_t d) { return (WCHAR)(d < 26 ? 'a' + d : '0' + d - 26); }

int DigitValue(WCHAR c) {
    if (c >= '0' && c <= '9') return c - '0' + 26;
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= 'A' && c <= 'Z') return c - 'A';
    return -1;
}

struct Output {
    WCHAR* units;
    int capacity;
    int length;
    bool Put(WCHAR c) {
        if (length >= capacity) return false;
        units[length++] = c;
        return true;
    }
};

// Appends the punycode form of `cps` (RFC 3492 section 6.3).
bool Encode(const uint32_t* cps, int count, Output* out) {
    int basic = 0;
    for (int i = 0; i < count; ++i) {
        if (cps[i] < 0x80) {
            if (!out->Put((WCHAR)cps[i])) return false;
            ++basic;
        }
    }
    if (basic > 0 && !out->Put('-')) return false;
    uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
    for (int handled = basic; handled < count;) {
        uint32_t m = 0x110000;
        for (int i = 0; i < count; ++i) {
            if (cps[i] >= n && cps[i] < m) m = cps[i];
        }
        if ((m - n) > (kMaxInt - delta) / (uint32_t)(handled + 1)) return false;
        delta += (m - n) * (uint32_t)(handled + 1);
        n = m;
        for (int i = 0; i < count; ++i) {
            if (cps[i] < n) ++delta;
            if (delta > kMaxInt) return false;
            if (cps[i] != n) continue;
            uint32_t q = delta;
            for (uint32_t k = kBase;; k += kBase) {
                uint32_t t = Threshold(k, bias);
                if (q < t) break;
                if (!out->Put(Digit(t + (q - t) % (kBase - t)))) return false;
                q = (q - t) / (kBase - t);
            }
            if (!out->Put(Digit(q))) return false;
            bias = Adapt(delta, (uint32_t)(handled + 1), handled == basic);
            delta = 0;
            ++handled;
        }
        ++delta;
        ++n;
    }
    return true;
}

// Decodes `text` (the part of a label after "xn--", RFC 3492 section 6.2)
// into `decoded` (kMaxLabel code points). Returns the count, or -1.
int DecodePunycode(const WCHAR* text, int length, uint32_t* decoded) {
    int count = 0;
    int in = 0;
    for (int i = 0; i < length; ++i) {
        if (text[i] == '-') in = i + 1;
    }
    if (in - 1 >= kMaxLabel) return -1;
    for (int i = 0; i + 1 < in; ++i) {
        if (text[i] >= 0x80) return -1;
        decoded[count++] = text[i];
    }
    uint32_t n = kInitialN, i = 0, bias = kInitialBias;
    while (in < length) {
        uint32_t old = i, w = 1;
        for (uint32_t k = kBase;; k += kBase) {
            if (in >= length) return -1;
            int digit = DigitValue(text[in++]);
            if (digit < 0 || (uint32_t)digit > (kMaxInt - i) / w) return -1;
            i += (uint32_t)digit * w;
            uint32_t t = Threshold(k, bias);
            if ((uint32_t)digit < t) break;
            if (w > kMaxInt / (kBase - t)) return -1;
            w *= kBase - t;
        }
        if (count + 1 >= kMaxLabel) return -1;
        bias = Adapt(i - old, (uint32_t)count + 1, old == 0);
        if (i / (uint32_t)(count + 1) > kMaxInt - n) return -1;
        n += i / (uint32_t)(count + 1);
        i %= (uint32_t)(count + 1);
        if (n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF)) return -1;
        for (int j = count; j > (int)i; --j) decoded[j] = decoded[j - 1];
        decoded[i++] = n;
        ++count;
    }
    return count;
}

// True when `text` (after "xn--") decodes to a label holding non-ASCII.
bool DecodesToNonAscii(const WCHAR* text, int length) {
    uint32_t decoded[kMaxLabel];
    int count = DecodePunycode(text, length, decoded);
    for (int j = 0; j < count; ++j) {
        if (decoded[j] >= 0x80) return true;
    }
    return false;
}

bool IsAceLabel(const WCHAR* label, int length) {
    return length >= 4 && (label[0] | 0x20) == 'x' && (label[1] | 0x20) == 'n' &&
           label[2] == '-' && label[3] == '-';
}

// U+FFFD (what a broken UTF-8 byte became) and the noncharacters are never
// part of a name.
bool Refused(uint32_t cp) {
    return cp == 0xFFFD || (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
}

// One label of a name to ASCII.
bool ConvertLabel(const WCHAR* in, int length, Output* out) {
    uint32_t cps[kMaxLabel];
    int count = 0;
    bool ascii = true;
    for (int i = 0; i < length; ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            return false;
        }
        if (cp >= 'A' && cp <= 'Z') cp += 'a' - 'A';
        if (cp >= 0x80) ascii = false;
        if (Refused(cp) || count >= kMaxLabel) return false;
        cps[count++] = cp;
    }
    if (ascii) {
        if (IsAceLabel(in, length) && !DecodesToNonAscii(in + 4, length - 4)) return false;
        for (int i = 0; i < count; ++i) {
            if (!out->Put((WCHAR)cps[i])) return false;
        }
        return true;
    }
    const char prefix[] = "xn--";
    for (int i = 0; i < 4; ++i) {
        if (!out->Put((WCHAR)prefix[i])) return false;
    }
    return Encode(cps, count, out);
}

// One label of a name back to Unicode: "xn--" decoded, the rest lowered.
bool LabelToUnicode(const WCHAR* in, int length, Output* out) {
    if (!IsAceLabel(in, length)) {
        for (int i = 0; i < length; ++i) {
            WCHAR c = in[i] >= 'A' && in[i] <= 'Z' ? (WCHAR)(in[i] + 'a' - 'A') : in[i];
            if (!out->Put(c)) return false;
        }
        return true;
    }
    uint32_t decoded[kMaxLabel];
    int count = DecodePunycode(in + 4, length - 4, decoded);
    if (count <= 0) return false;
    for (int i = 0; i < count; ++i) {
        uint32_t cp = decoded[i];
        if (cp >= 0x10000) {
            if (!out->Put((WCHAR)(0xD800 + ((cp - 0x10000) >> 10)))) return false;
            cp = 0xDC00 + ((cp - 0x10000) & 0x3FF);
        }
        if (!out->Put((WCHAR)cp)) return false;
    }
    return true;
}

typedef bool (*LabelConverter)(const WCHAR* in, int length, Output* out);

// `convert` over each label of `in`, the dots kept.
int ConvertLabels(const WCHAR* in, int inChars, WCHAR* out, int outChars, LabelConverter convert) {
    if (!in || !out || inChars <= 0 || outChars <= 0) return 0;
    Output o = {out, outChars, 0};
    int from = 0;
    for (int i = 0; i <= inChars; ++i) {
        if (i < inChars && in[i] != '.') continue;
        if (!convert(in + from, i - from, &o)) return 0;
        if (i < inChars && !o.Put('.')) return 0;
        from = i + 1;
    }
    return o.length;
}

}  // namespace

int DomainToUnicode(const WCHAR* in, int inChars, WCHAR* out, int outChars) {
    return ConvertLabels(in, inChars, out, outChars, LabelToUnicode);
}

int DomainToAscii(const WCHAR* in, int inChars, WCHAR* out, int outChars) {
    return ConvertLabels(in, inChars, out, outChars, ConvertLabel);
}
