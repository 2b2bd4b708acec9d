// Listing a URL list and looking one member up: every address line becomes a
// member whose size and timestamp come from downloading it.
#include <string.h>

#include "cache/cache.h"
#include "compat/handles.h"
#include "http/fetch.h"
#include "http/pool.h"
#include "url/url.h"
#include "plugin/parallel.h"
#include "plugin/records.h"
#include "plugin/source.h"

namespace {

// Downloads in flight at once while listing: what browsers allow per server.
const int kListingDownloads = 6;

bool StartsWithAddress(const char* url) { return AddressPrefixLength(url, kUrlCapacity) > 0; }

// A listing while its members are measured. The lines are handed out in
// order, under the lock, by scanning them again as they are taken: nothing
// is kept per member but its record, so the memory a listing holds is the
// list, the records and a constant, however long the list.
struct Listing {
    const SourceCopy* source;
    SRWLOCK lock;
    UrlScan scan;     // the scan of the lines handed out so far
    int64_t pos;      // where the next line begins
    int64_t next;     // the index of the next member to hand out
    int64_t count;    // members to measure
    char* records;    // the host's records, NULL when the list fails anyway
    RecordKind kind;
    size_t recordSize;
    int64_t lastFetched;  // the highest index downloaded so far, -1 before any
    FetchMessage lastOutcome;
    FetchMessage sockets;  // Winsock's start-up for the call: kFetchOk, or every download's failure
    ConnectionPool pool;   // connections kept for the threads' next members of the same origin
};

// One member as handed out: its index, its line's address and name.
struct Job {
    int64_t index;
    Member member;
    bool fetchable;  // false: the address was too long to fetch whole
    char url[kUrlCapacity];  // the download's private copy of the address, as the list has it
    char text[kMaxHrefLength + 1];  // the same as UTF-8, for the fetch
};

bool TakeNext(Listing* l, Job* job) {
    AcquireSRWLockExclusive(&l->lock);
    bool taken = l->next < l->count;
    if (taken) {
        job->index = l->next++;
        ScanUrlLine(l->source->data, l->source->size, &l->pos, &l->scan);
        memcpy(job->url, l->scan.url, strlen(l->scan.url) + 1);
        job->fetchable = !l->scan.overlong;
        job->member.position = l->scan.position;
    }
    ReleaseSRWLockExclusive(&l->lock);
    return taken;
}

// The last-error text that downloading the members one after another would
// leave is the outcome of the last member downloaded.
void NoteOutcome(Listing* l, int64_t index, FetchMessage outcome) {
    AcquireSRWLockExclusive(&l->lock);
    if (index > l->lastFetched) {
        l->lastFetched = index;
        l->lastOutcome = outcome;
    }
    ReleaseSRWLockExclusive(&l->lock);
}

// Measures one member: its size and timestamp, from a download of its
// address whose body the cache keeps for the calls after this one. A failed download counts as size 0 with
// timestamp 0, and so does a body too large for the record.
void Measure(Listing* l, Job* job) {
    NameMember(job->url, l->source->encoding, &job->member);
    job->member.size = 0;
    job->member.timestamp = 0;
    if (job->fetchable) {
        FetchResult result;
        FetchMessage outcome = l->sockets;
        if (!AddressAsUtf8(job->url, strlen(job->url), l->source->encoding, job->text,
                           sizeof job->text)) {
            outcome = kFetchBadParameter;
        }
        if (outcome == kFetchOk) {
            outcome = FetchThroughCache(job->text, false, NULL, &result, NULL, &l->pool);
        }
        if (outcome == kFetchOk && SizeFitsRecord(result.length)) {
            job->member.size = result.length;
            job->member.timestamp = result.timestamp;
        }
        NoteOutcome(l, job->index, outcome);
    }
    // Each thread writes records of its own members only.
    if (l->records) {
        WriteRecord(l->records + (size_t)job->index * l->recordSize, l->kind, job->member);
    }
}

void MeasureAll(void* context) {
    Listing* l = static_cast<Listing*>(context);
    Job job;
    while (TakeNext(l, &job)) Measure(l, &job);
}

// How many of the first `count` lines from the start offset hold an
// address, before the first that does not. Allocates nothing.
int64_t CountAddressLines(const SourceCopy& src, int64_t count) {
    UrlScan scan;
    memset(&scan, 0, sizeof scan);
    int64_t pos = src.start;
    for (int64_t i = 0; i < count; ++i) {
        ScanUrlLine(src.data, src.size, &pos, &scan);
        if (!StartsWithAddress(scan.url)) return i;
    }
    return count;
}

// Largest listing whose byte count still fits a SIZE_T.
bool ListingFits(int64_t count, size_t recordSize) {
    return count >= 0 && (uint64_t)count < (uint64_t)(SIZE_MAX / recordSize) - 1;
}

}  // namespace

int ListArchive(HostText source, LONG_PTR arg, unsigned flag, RecordKind kind, HLOCAL* listing) {
    if (!listing) return SPI_MEMORY_ERROR;
    *listing = NULL;
    SourceGuard src;
    int rc = src.Load(source, arg, flag);
    if (rc != SPI_SUCCESS) return rc;

    // The lines are checked before anything is allocated for them: a list
    // that fails costs no more than itself.
    const size_t recordSize = RecordSize(kind);
    int64_t count = CountAddresses(src.copy.data, src.copy.start, src.copy.size);
    int64_t good = CountAddressLines(src.copy, count);
    LocalBlock block;
    char* records = NULL;
    if (good == count) {
        if (!ListingFits(count, recordSize)) return SPI_MEMORY_ERROR;
        block.Reset(LocalAlloc(LPTR, (SIZE_T)(count + 1) * recordSize));
        records = block.get() ? static_cast<char*>(LocalLock(block.get())) : NULL;
        if (!records) return SPI_MEMORY_ERROR;
    }

    // The members before the first line without an address are downloaded
    // even when there is such a line, as reading the lines one by one would.
    GlobalBlock work(GlobalAlloc(GMEM_FIXED, sizeof(Listing)));
    Listing* l = static_cast<Listing*>(work.get());
    if (!l) return SPI_MEMORY_ERROR;
    memset(l, 0, sizeof *l);
    l->source = &src.copy;
    l->lock = SRWLOCK_INIT;
    l->pos = src.copy.start;
    l->count = good;
    l->records = records;
    l->kind = kind;
    l->recordSize = recordSize;
    l->lastFetched = -1;
    // Winsock is started once here, on the host's thread, for all the
    // threads' downloads, and cleaned up when they have all ended.
    SocketLibrary sockets;
    l->sockets = sockets.started();
    PoolStart(&l->pool);
    RunOnThreads(good < kListingDownloads ? (int)good : kListingDownloads, MeasureAll, l);
    PoolClose(&l->pool);
    if (l->lastFetched >= 0) RecordFetchMessage(l->lastOutcome);
    if (good < count) return SPI_FILE_READ_ERROR;

    LocalUnlock(block.get());
    *listing = block.Release();
    return SPI_SUCCESS;
}

namespace {

// True when the record name of a line equals the host's name exactly: the
// ANSI record's bytes for the ANSI entry point, the Unicode record's name
// for the Unicode one (the names the listing gave).
bool NameMatches(const Member& m, const void* wanted, RecordKind kind) {
    if (kind == kAnsiRecords) return strcmp(m.name, static_cast<const char*>(wanted)) == 0;
    const WCHAR* w = static_cast<const WCHAR*>(wanted);
    size_t i = 0;
    for (; m.wideName[i] && m.wideName[i] == w[i]; ++i) {
    }
    return m.wideName[i] == w[i];
}

}  // namespace

int DescribeMember(HostText source, LONG_PTR arg, const void* name, unsigned flag,
                   RecordKind kind, void* info) {
    if (!info) return SPI_MEMORY_ERROR;
    if (!name) return SPI_FILE_READ_ERROR;
    SourceGuard src;
    int rc = src.Load(source, arg, flag);
    if (rc != SPI_SUCCESS) return rc;
    const SourceCopy& copy = src.copy;
    if (copy.start >= copy.size) return SPI_FILE_READ_ERROR;

    UrlScan scan;
    memset(&scan, 0, sizeof scan);
    int64_t pos = copy.start;
    Member m;
    bool found = false;
    while (!found && pos < copy.size) {
        ScanUrlLine(copy.data, copy.size, &pos, &scan);
        NameMember(scan.url, copy.encoding, &m);
        found = NameMatches(m, name, kind);
    }
    if (!found || !StartsWithAddress(scan.url) || scan.overlong) return SPI_FILE_READ_ERROR;
    int64_t length = 0;
    int64_t timestamp = 0;
    GlobalBlock text(GlobalAlloc(GMEM_FIXED, kMaxHrefLength + 1));
    char* utf8 = static_cast<char*>(text.get());
    if (!utf8) return SPI_MEMORY_ERROR;
    if (!AddressAsUtf8(scan.url, strlen(scan.url), copy.encoding, utf8, kMaxHrefLength + 1)) {
        RecordFetchMessage(kFetchBadParameter);
        return SPI_FILE_READ_ERROR;
    }
    SocketLibrary sockets;
    FetchResult fetched;
    FetchMessage outcome = sockets.started();
    if (outcome == kFetchOk) outcome = FetchThroughCache(utf8, false, NULL, &fetched);
    RecordFetchMessage(outcome);
    if (outcome != kFetchOk) return SPI_FILE_READ_ERROR;
    length = fetched.length;
    timestamp = fetched.timestamp;
    if (!SizeFitsRecord(length)) return SPI_FILE_READ_ERROR;
    m.position = scan.position;
    m.size = length;
    m.timestamp = timestamp;
    WriteRecord(info, kind, m);
    return SPI_SUCCESS;
}
