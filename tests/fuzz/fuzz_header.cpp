// Arbitrary bytes as a header block: looks up "Last-Modified:", "Date:" and a
// name taken from the input, with small and large capacities, and traps when
// a value is not terminated within its buffer or an absent field wrote to it,
// or when the field caught from the bytes as a stream (cut at a point the
// input picks) is not the field the lookup finds in the block.
// Block, name and value sit in exact-size heap blocks, so over-reads are caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "http/fieldcatch.h"
#include "http/header.h"

static const char kFill = '#';
static const size_t kLongestInputName = 32;

static void Require(bool holds) {
    if (!holds) __builtin_trap();
}

static char* CopyTerminated(const uint8_t* bytes, size_t n) {
    char* text = (char*)malloc(n + 1);
    if (text == NULL) return NULL;
    memcpy(text, bytes, n);
    text[n] = '\0';
    return text;
}

static void CheckLookup(const char* block, const char* name, int32_t capacity) {
    size_t size = capacity > 0 ? (size_t)capacity : 1;
    char* value = (char*)malloc(size);
    if (value == NULL) return;
    memset(value, kFill, size);
    int32_t found = FindHeaderField(block, name, value, capacity);
    Require(found == 0 || found == 1);
    if (capacity <= 0) Require(found == 0);
    if (found == 1) {
        Require(memchr(value, '\0', size) != NULL);
    } else {
        for (size_t i = 0; i < size; ++i) Require(value[i] == kFill);
    }
    free(value);
}

// The streaming catch agrees with the lookup over the whole block.
static void CheckCatch(const uint8_t* bytes, size_t n, const char* block, const char* name) {
    const int32_t kCapacity = 64;
    char want[kCapacity];
    char got[kCapacity];
    int32_t found = FindHeaderField(block, name, want, kCapacity);
    FieldCatch c;
    FieldCatchStart(&c, name, got, sizeof got);
    size_t cut = n > 0 ? bytes[n - 1] % (n + 1) : 0;
    FieldCatchFeed(&c, reinterpret_cast<const char*>(bytes), cut);
    FieldCatchFeed(&c, reinterpret_cast<const char*>(bytes) + cut, n - cut);
    FieldCatchEnd(&c);
    Require(c.found == (found == 1));
    if (c.found) Require(strcmp(want, got) == 0);
}

// Every step lands inside the text, on a line start that is never a fold byte.
static void CheckLineWalk(const char* block, size_t n) {
    const char* line = block;
    for (size_t steps = 0; steps <= n; ++steps) {
        const char* next = NextHeaderLine(line);
        Require(next >= line && next <= block + n);
        if (*next == '\0') return;
        Require(next > line && *next != ' ' && *next != '\t');
        line = next;
    }
    Require(false);  // more steps than bytes
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t n) {
    char* block = CopyTerminated(bytes, n);
    // The name: the input's first bytes, up to its first colon or a NUL.
    size_t nameLength = 0;
    while (nameLength < n && nameLength < kLongestInputName && bytes[nameLength] != ':') ++nameLength;
    if (nameLength < n && bytes[nameLength] == ':') ++nameLength;
    char* name = CopyTerminated(bytes, nameLength);
    if (block != NULL && name != NULL) {
        const int32_t capacities[] = {-1, 0, 1, 2, 7, 1024, 5000};
        const char* const names[] = {"Last-Modified:", "Date:", name, ""};
        for (const char* fieldName : names) {
            for (int32_t capacity : capacities) CheckLookup(block, fieldName, capacity);
        }
        CheckLineWalk(block, strlen(block));
        for (const char* fieldName : names) CheckCatch(bytes, n, block, fieldName);
    }
    free(name);
    free(block);
    return 0;
}
