// The kept responses of the process: an index by address, least recently
// used first out, within a memory and a disk budget. Every function here
// takes the cache's one lock for itself; none is held across a download.
#ifndef KESTA_CACHE_INDEX_H
#define KESTA_CACHE_INDEX_H

#include "cache/freshness.h"
#include "cache/store.h"

// Bodies in memory up to this (with the entries themselves): at 32 bits the
// viewer's own images need the address space.
#if KESTA_64BIT
const int64_t kMemoryBudget = 512 * 1024 * 1024LL;
#else
const int64_t kMemoryBudget = 64 * 1024 * 1024LL;
#endif
// Bodies past the memory budget go to temporary files, up to this in all,
// or half of what the temporary folder's drive has free if that is less.
const int64_t kDiskBudget = 2 * 1024 * 1024 * 1024LL;
// A larger body is never kept.
const int64_t kMostKeptBody = kDiskBudget / 4;
const int kMostEntries = 8192;
const int kMostFiles = 1024;

struct Entry {
    Entry* older;  // the list from least to most recently used
    Entry* newer;
    Entry* nextSameHash;
    uint32_t hash;
    char* key;         // the address without its fragment
    char* finalHref;   // where the body came from after redirects
    char* conditions;  // the revalidation's request lines, "" when there are none
    int64_t length;
    int64_t timestamp;  // held while the body is kept
    Freshness freshness;  // read and written under the lock (a 304 renews it)
    KeptBody body;
    size_t footprint;  // memory held: the entry, its texts and its blocks
    int pins;          // readers; an entry is freed only when it has none
    bool listed;       // false once replaced or evicted: freed at the last unpin
};

// The entry for `key`, pinned (and now the most recently used), or NULL.
Entry* FindEntry(const char* key);
void UnpinEntry(Entry* e);
// A pinned entry's freshness as it stands.
Freshness EntryFreshness(Entry* e);
// A 304 said the entry is good: fresh again from `f`.
void RefreshEntry(Entry* e, const Freshness& f);
// Takes a pinned entry out of the index (freed at its last unpin).
void ForgetEntry(Entry* e);

// A body on its way into the cache, within the budgets: past the memory
// budget it moves to a temporary file; past the disk budget, or past
// kMostKeptBody, it is refused and what it held is given back.
struct EntryWriter {
    KeptBody body;
    bool refused;
};
void WriterStart(EntryWriter* w);
void WriterTake(EntryWriter* w, const char* bytes, size_t n);
void WriterDrop(EntryWriter* w);
// Puts the written body in the index under `key` (replacing any entry
// there), the least recently used leaving while the budgets are passed.
// The writer is empty afterwards, whether the body was kept or not.
void CommitEntry(EntryWriter* w, const char* key, const char* finalHref, const char* conditions,
                 int64_t timestamp, const Freshness& f);

// Frees every entry: the plug-in's unload, when no call is running.
void ReleaseCache();

// What the cache holds now.
struct CacheUsage {
    int64_t memory;
    int64_t disk;
    int entries;
    int files;
};
CacheUsage CacheUsageNow();
// Tests shrink the budgets; 0 restores a default.
void SetCacheBudgets(int64_t memory, int64_t disk);

#endif  // KESTA_CACHE_INDEX_H
