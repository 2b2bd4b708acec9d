// The header block's end and the response's date, for the fetch. Candidate
// positions for the end are decided in order, each once its four bytes have
// arrived, so the result never depends on how the bytes were split.
#include "http/response.h"

#include <string.h>

#include "http/header.h"
#include "http/httpdate.h"
#include "text/lineend.h"

namespace {

const uint32_t kLfLf = 0x0A0A;

}  // namespace

void ScanForHeaderEnd(HeaderEndScan* s, const unsigned char* p, size_t n) {
    size_t k = 0;
    while (k < n && !s->found) {
        if (!IsLineEndByte(p[k]) && (s->window & 0xFFFFFF) == 0) {
            // No open candidate can match any more: skip to the next line end.
            size_t j = k;
            while (j < n && !IsLineEndByte(p[j])) ++j;
            s->seen += j - k;
            s->window = 0;
            k = j;
            continue;
        }
        s->window = (s->window << 8) | (IsLineEndByte(p[k]) ? p[k] : 0);
        ++s->seen;
        ++k;
        if (s->seen < 4) continue;
        uint32_t w = s->window;
        if (w == 0x0D0D0D0D || w == 0x0D0A0D0A || w == 0x0A0D0A0D || w == 0x0A0A0A0A) {
            s->found = true;
            s->headerLength = s->seen;
        } else if ((w >> 16) == kLfLf) {
            s->found = true;
            s->headerLength = s->seen - 2;
        }
    }
}

void FinishHeaderEndScan(HeaderEndScan* s) {
    if (s->found || s->seen < 2) return;
    if (s->seen >= 3 && ((s->window >> 8) & 0xFFFF) == kLfLf) {
        s->found = true;
        s->headerLength = s->seen - 1;
    } else if ((s->window & 0xFFFF) == kLfLf) {
        s->found = true;
        s->headerLength = s->seen;
    }
}

int StatusCode(const char* text) {
    static const char kName[] = "HTTP/";
    for (int i = 0; i < 5; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
        if (c != kName[i]) return 0;
    }
    const char* p = text + 5;
    while (*p && *p != ' ' && *p != '\t' && !IsLineEndByte((unsigned char)*p)) ++p;
    while (*p == ' ' || *p == '\t') ++p;
    int code = 0;
    for (int i = 0; i < 3; ++i, ++p) {
        if (*p < '0' || *p > '9') return 0;
        code = code * 10 + (*p - '0');
    }
    bool ends = *p == '\0' || *p == ' ' || *p == '\t' || IsLineEndByte((unsigned char)*p);
    return ends ? code : 0;
}

int HttpMinorVersion(const char* text) {
    static const char kName[] = "HTTP/1.";
    for (int i = 0; i < 7; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
        if (c != kName[i]) return -1;
    }
    if (text[7] < '0' || text[7] > '9') return -1;
    return text[7] == '0' ? 0 : 1;
}

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// The list element [from, to) of `value` without the spaces and tabs around it.
bool ElementIs(const char* from, const char* to, const char* token) {
    while (from < to && (*from == ' ' || *from == '\t')) ++from;
    while (to > from && (to[-1] == ' ' || to[-1] == '\t')) --to;
    size_t n = strlen(token);
    if ((size_t)(to - from) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (LowerAscii(from[i]) != LowerAscii(token[i])) return false;
    }
    return true;
}

}  // namespace

bool HasToken(const char* value, const char* token) {
    for (const char* p = value;;) {
        const char* comma = strchr(p, ',');
        const char* end = comma ? comma : p + strlen(p);
        if (ElementIs(p, end, token)) return true;
        if (!comma) return false;
        p = comma + 1;
    }
}

bool LastTokenIs(const char* value, const char* token) {
    const char* comma = strrchr(value, ',');
    const char* from = comma ? comma + 1 : value;
    return ElementIs(from, from + strlen(from), token);
}

bool IsRedirectStatus(int code) {
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

bool IsBodilessStatus(int code) {
    return (code >= 100 && code < 200) || code == 204 || code == 304;
}

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool FindLocation(const char* text, char* out, int capacity) {
    if (!FindHeaderField(text, "Location:", out, capacity)) return false;
    size_t n = strlen(out);
    while (n > 0 && IsBlank(out[n - 1])) --n;
    out[n] = '\0';
    return n > 0;
}

bool AnnouncedLength(const char* text, int64_t* length) {
    char value[32];
    if (!FindHeaderField(text, "Content-Length:", value, (int32_t)sizeof value)) return false;
    return ReadAnnouncedLength(value, length);
}

bool ReadAnnouncedLength(const char* value, int64_t* length) {
    const char* p = value;
    if (*p < '0' || *p > '9') return false;
    int64_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (n > (INT64_MAX - 9) / 10) return false;
        n = n * 10 + (*p - '0');
    }
    while (IsBlank(*p)) ++p;
    if (*p != '\0') return false;
    *length = n;
    return true;
}

int64_t DateFromHeader(const char* headerText) {
    char value[kFieldValueCapacity];
    if (!FindHeaderField(headerText, "Last-Modified:", value, kFieldValueCapacity) &&
        !FindHeaderField(headerText, "Date:", value, kFieldValueCapacity)) {
        value[0] = '\0';
    }
    if (value[0] == '\0') return -1;
    int64_t t = 0;
    ConvertHttpDate(value, &t);
    return t;
}
