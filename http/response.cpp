// The header block's end and the response's date, for the fetch. Candidate
// positions for the end are decided in order, each once its four bytes have
// arrived, so the result never depends on how the bytes were split.
#include "http/response.h"

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
