// Where a kept body lives: a chain of memory blocks, or a temporary file
// that the system deletes when its handle is closed (on the cache's release,
// or by the system when the process ends however it ends). Nothing here
// counts budgets or takes locks: cache/index.h does both.
#ifndef KESTA_CACHE_STORE_H
#define KESTA_CACHE_STORE_H

#include "compat/win32.h"
#include "http/fetch.h"

struct KeptChunk;

struct KeptBody {
    KeptChunk* first;
    KeptChunk* last;
    HANDLE file;     // NULL while the body is in memory
    int64_t length;  // bytes kept
    size_t memory;   // bytes of memory its blocks take
};

// The memory KeepInMemory would add for `n` more bytes.
size_t MemoryNeeded(const KeptBody& b, size_t n);
// Appends `n` bytes in memory. False when no block can be had.
bool KeepInMemory(KeptBody* b, const char* bytes, size_t n);

// Moves the body into a new temporary file named after `serial` (the bytes
// so far written there, its blocks freed). False when no file can be made
// or written; the body is then as it was.
bool MoveToFile(KeptBody* b, unsigned serial);
// Appends `n` bytes to the body's file. False on a write error.
bool KeepInFile(KeptBody* b, const char* bytes, size_t n);

// Frees the blocks or closes (and so deletes) the file; the body is empty.
void FreeKept(KeptBody* b);

// The body's bytes into `out` (b.length bytes). Several threads may read
// one body at once. False on a read error.
bool CopyKept(const KeptBody& b, char* out);
// The body's bytes to `sink`, in pieces. False when the sink refuses them
// or a read fails.
bool StreamKept(const KeptBody& b, const BodySink* sink);

// Bytes free to us on the temporary folder's drive; -1 when unknown.
int64_t TemporaryDriveFree();

#endif  // KESTA_CACHE_STORE_H
