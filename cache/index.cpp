#include "cache/index.h"

#include <string.h>

namespace {

const size_t kBuckets = 4096;

// The cache's state, process-wide; zero is its empty state (an SRWLOCK of
// zeros is an unlocked lock), so nothing runs at load.
struct State {
    SRWLOCK lock;
    Entry* buckets[kBuckets];
    Entry* oldest;
    Entry* newest;
    int64_t memory;  // held by entries and reserved by writers
    int64_t disk;
    int entries;
    int files;
    unsigned serial;         // the last temporary file's
    int64_t diskLimit;       // the disk budget as last measured
    int64_t memoryOverride;  // tests' budgets; 0: the defaults
    int64_t diskOverride;
};
State g;

struct Locked {
    Locked() { AcquireSRWLockExclusive(&g.lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

uint32_t Hash(const char* s) {
    uint32_t h = 2166136261u;
    for (; *s; ++s) h = (h ^ (unsigned char)*s) * 16777619u;
    return h;
}

int64_t MemoryBudget() { return g.memoryOverride ? g.memoryOverride : kMemoryBudget; }

// The disk budget, measured again: kDiskBudget, or half of what the drive
// would have free without our files, if less.
int64_t MeasureDiskBudget() {
    int64_t budget = g.diskOverride ? g.diskOverride : kDiskBudget;
    int64_t free = TemporaryDriveFree();
    if (free < 0) return 0;  // no temporary folder we can use
    int64_t half = (free + g.disk) / 2;
    return half < budget ? half : budget;
}

void Unlink(Entry* e) {
    Entry** at = &g.buckets[e->hash % kBuckets];
    while (*at != e) at = &(*at)->nextSameHash;
    *at = e->nextSameHash;
    (e->older ? e->older->newer : g.oldest) = e->newer;
    (e->newer ? e->newer->older : g.newest) = e->older;
    e->older = e->newer = e->nextSameHash = NULL;
    e->listed = false;
}

void LinkNewest(Entry* e) {
    e->older = g.newest;
    e->newer = NULL;
    (g.newest ? g.newest->newer : g.oldest) = e;
    g.newest = e;
}

void Free(Entry* e) {
    g.memory -= (int64_t)e->footprint;
    if (e->body.file) {
        g.disk -= e->body.length;
        --g.files;
    }
    --g.entries;
    FreeKept(&e->body);
    GlobalFree(e);
}

// Out of the index; freed now unless a reader holds it.
void Evict(Entry* e) {
    Unlink(e);
    if (e->pins == 0) Free(e);
}

// The eviction: least recently used first, any entry no reader holds that
// gives back what is short, until `memory` and `disk` more bytes, `files`
// more files and `entries` more entries fit. False when they still do not.
bool MakeRoom(int64_t memory, int64_t disk, int files, int entries) {
    for (Entry* e = g.oldest; e;) {
        Entry* next = e->newer;
        bool overMemory = g.memory + memory > MemoryBudget();
        bool overDisk = g.disk + disk > g.diskLimit;
        bool overFiles = g.files + files > kMostFiles;
        bool overEntries = g.entries + entries > kMostEntries;
        if (!overMemory && !overDisk && !overFiles && !overEntries) return true;
        bool helps = overMemory || overEntries || ((overDisk || overFiles) && e->body.file);
        if (helps && e->pins == 0) Evict(e);
        e = next;
    }
    return g.memory + memory <= MemoryBudget() && g.disk + disk <= g.diskLimit &&
           g.files + files <= kMostFiles && g.entries + entries <= kMostEntries;
}

// Gives back what the writer held (its blocks' memory, `disk` bytes of its
// file's share, the file) and keeps nothing more of the body.
void Refuse(EntryWriter* w, int64_t disk) {
    {
        Locked hold;
        g.memory -= (int64_t)w->body.memory;
        g.disk -= disk;
        if (w->body.file) --g.files;
    }
    FreeKept(&w->body);
    w->refused = true;
}

// Moves the writer's body from memory to a new temporary file. False when
// the disk budget cannot make room for it or no file can be made.
bool MoveWriterToFile(EntryWriter* w) {
    unsigned serial = 0;
    const int64_t bytes = w->body.length;
    {
        Locked hold;
        g.diskLimit = MeasureDiskBudget();
        if (!MakeRoom(0, bytes, 1, 0)) return false;
        g.disk += bytes;
        ++g.files;
        serial = ++g.serial;
    }
    const size_t memory = w->body.memory;
    const bool moved = MoveToFile(&w->body, serial);
    Locked hold;
    if (!moved) {
        g.disk -= bytes;
        --g.files;
        return false;
    }
    g.memory -= (int64_t)memory;
    return true;
}

}  // namespace

Entry* FindEntry(const char* key) {
    uint32_t h = Hash(key);
    Locked hold;
    Entry* e = g.buckets[h % kBuckets];
    while (e && (e->hash != h || strcmp(e->key, key) != 0)) e = e->nextSameHash;
    if (!e) return NULL;
    ++e->pins;
    if (e != g.newest) {
        (e->older ? e->older->newer : g.oldest) = e->newer;
        e->newer->older = e->older;
        LinkNewest(e);
    }
    return e;
}

void UnpinEntry(Entry* e) {
    Locked hold;
    if (--e->pins == 0 && !e->listed) Free(e);
}

Freshness EntryFreshness(Entry* e) {
    Locked hold;
    return e->freshness;
}

void RefreshEntry(Entry* e, const Freshness& f) {
    Locked hold;
    e->freshness = f;
}

void ForgetEntry(Entry* e) {
    Locked hold;
    if (e->listed) Unlink(e);
}

void WriterStart(EntryWriter* w) { memset(w, 0, sizeof *w); }

void WriterTake(EntryWriter* w, const char* bytes, size_t n) {
    if (w->refused || n == 0) return;
    const int64_t onDisk = w->body.file ? w->body.length : 0;
    if (w->body.length + (int64_t)n > kMostKeptBody) return Refuse(w, onDisk);
    if (!w->body.file) {
        const size_t need = MemoryNeeded(w->body, n);
        bool fits = false;
        {
            Locked hold;
            // While the least recently used entry of all is one in memory,
            // it leaves for this body; else the body goes to a file.
            while (g.memory + (int64_t)need > MemoryBudget() && g.oldest && !g.oldest->body.file &&
                   g.oldest->pins == 0) {
                Evict(g.oldest);
            }
            fits = g.memory + (int64_t)need <= MemoryBudget();
            if (fits) g.memory += (int64_t)need;
        }
        if (fits) {
            const size_t before = w->body.memory;
            const bool kept = KeepInMemory(&w->body, bytes, n);
            {
                Locked hold;
                g.memory += (int64_t)(w->body.memory - before) - (int64_t)need;
            }
            if (!kept) Refuse(w, 0);
            return;
        }
        // Past the memory budget: this body goes on in a file.
        if (!MoveWriterToFile(w)) return Refuse(w, 0);
    }
    bool room = false;
    {
        Locked hold;
        room = MakeRoom(0, (int64_t)n, 0, 0);
        if (room) g.disk += (int64_t)n;
    }
    if (!room) return Refuse(w, w->body.length);
    if (!KeepInFile(&w->body, bytes, n)) Refuse(w, w->body.length + (int64_t)n);
}

void WriterDrop(EntryWriter* w) {
    if (!w->refused) Refuse(w, w->body.file ? w->body.length : 0);
}

void CommitEntry(EntryWriter* w, const char* key, const char* finalHref, const char* conditions,
                 int64_t timestamp, const Freshness& f) {
    if (w->refused) return;
    const size_t keyBytes = strlen(key) + 1, finalBytes = strlen(finalHref) + 1,
                 conditionBytes = strlen(conditions) + 1;
    const size_t size = sizeof(Entry) + keyBytes + finalBytes + conditionBytes;
    Entry* e = static_cast<Entry*>(GlobalAlloc(GMEM_FIXED, size));
    if (!e) return WriterDrop(w);
    memset(e, 0, sizeof *e);
    e->key = reinterpret_cast<char*>(e + 1);
    e->finalHref = e->key + keyBytes;
    e->conditions = e->finalHref + finalBytes;
    memcpy(e->key, key, keyBytes);
    memcpy(e->finalHref, finalHref, finalBytes);
    memcpy(e->conditions, conditions, conditionBytes);
    e->hash = Hash(key);
    e->length = w->body.length;
    e->timestamp = timestamp;
    e->freshness = f;
    e->body = w->body;
    e->footprint = size + w->body.memory;
    e->listed = true;
    Locked hold;
    if (!MakeRoom((int64_t)size, 0, 0, 1)) {
        // Nothing can leave to make room (every entry is being read).
        g.memory += (int64_t)size;
        ++g.entries;
        Free(e);
        memset(&w->body, 0, sizeof w->body);
        w->refused = true;
        return;
    }
    g.memory += (int64_t)size;
    ++g.entries;
    // The writer's share of the budgets is the entry's now.
    memset(&w->body, 0, sizeof w->body);
    w->refused = true;
    Entry** at = &g.buckets[e->hash % kBuckets];
    for (Entry* old = *at; old; old = old->nextSameHash) {
        if (old->hash == e->hash && strcmp(old->key, key) == 0) {
            Evict(old);
            break;
        }
    }
    e->nextSameHash = g.buckets[e->hash % kBuckets];
    g.buckets[e->hash % kBuckets] = e;
    LinkNewest(e);
}

void ReleaseCache() {
    Locked hold;
    while (g.oldest) Evict(g.oldest);
}

CacheUsage CacheUsageNow() {
    Locked hold;
    CacheUsage u = {g.memory, g.disk, g.entries, g.files};
    return u;
}

void SetCacheBudgets(int64_t memory, int64_t disk) {
    Locked hold;
    g.memoryOverride = memory;
    g.diskOverride = disk;
}
