// Header field lookup: walks an HTTP header block one logical line at a time,
// matches the field name without regard to case and copies the value with its
// folded continuation lines joined on. Line ends known: CR LF, CR alone, LF alone.
#include "http/header.h"
#include "text/lineend.h"

// The platform comparison's results are 1, 2, 3 (less, equal, greater) and 0
// on failure; subtracting this maps them to -1, 0, 1 and -2.
static const int32_t kCompareResultBias = 2;


static bool IsFoldByte(char c) { return c == ' ' || c == '\t'; }

// The bytes of the line end that starts at `p` (which is a CR or an LF):
// two for CR LF, one otherwise. An LF CR is an LF end; the CR starts a line.
static int LineEndLength(const char* p) { return (p[0] == '\r' && p[1] == '\n') ? 2 : 1; }

int32_t BoundedLength(const char* text, int32_t count) {
    if (count < 0) return count;
    int32_t n = 0;
    while (n < count && text[n] != '\0') ++n;
    return n;
}

int32_t CompareFieldName(const char* first, const char* second, int32_t count) {
    int32_t firstLength = BoundedLength(first, count);
    int32_t secondLength = BoundedLength(second, count);
    int result = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, first, firstLength, second,
                                secondLength);
    return result - kCompareResultBias;
}

const char* NextHeaderLine(const char* position) {
    const char* p = position;
    for (;;) {
        while (*p != '\0' && !IsLineEndByte(*p)) ++p;
        if (*p == '\0') return p;
        p += LineEndLength(p);
        if (!IsFoldByte(*p)) return p;
    }
}

// Copies the value that starts at `p` into `value`, at most capacity - 1
// bytes, dropping each fold (line end plus the first space or tab of the
// continuation line). Stops at the NUL, at a line end not followed by a
// fold, or when the buffer is full; always terminates.
static void CopyFieldValue(const char* p, char* value, int32_t capacity) {
    int32_t used = 0;
    while (used < capacity - 1 && *p != '\0') {
        if (IsLineEndByte(*p)) {
            const char* next = p + LineEndLength(p);
            if (!IsFoldByte(*next)) break;
            p = next + 1;
            continue;
        }
        value[used] = *p;
        ++used;
        ++p;
    }
    value[used] = '\0';
}

// The logical line of `block` whose start matches `name` over `nameLength`
// bytes, or NULL when the first empty line or the end comes first. The first
// line is compared before any end test, so an empty first line (a block with
// no status line) does not end the search.
static const char* FindFieldLine(const char* block, const char* name, int32_t nameLength) {
    const char* line = block;
    for (;;) {
        if (CompareFieldName(line, name, nameLength) == 0) return line;
        line = NextHeaderLine(line);
        if (*line == '\0' || IsLineEndByte(*line)) return NULL;
    }
}

int32_t FindHeaderField(const char* block, const char* name, char* value, int32_t capacity) {
    if (block == NULL || name == NULL || value == NULL || capacity <= 0) return 0;
    int32_t nameLength = lstrlenA(name);
    const char* line = FindFieldLine(block, name, nameLength);
    if (line == NULL) return 0;
    // Skip the name's bytes, never past the NUL: the platform comparison is
    // linguistic and may call a shorter line equal (it can ignore a hyphen).
    const char* p = line + BoundedLength(line, nameLength);
    while (IsFoldByte(*p)) ++p;
    CopyFieldValue(p, value, capacity);
    return 1;
}
