// Listing a URL list and looking one member up: every address line becomes a
// member whose size and timestamp come from downloading it.
#include <string.h>

#include "compat/handles.h"
#include "http/fetch.h"
#include "plugin/parallel.h"
#include "plugin/records.h"
#include "plugin/source.h"

namespace {

const char kMessageBoxCaption[] = "TEST";
const WCHAR kMessageBoxCaptionW[] = {'T', 'E', 'S', 'T', 0};

// Downloads in flight at once while listing: what browsers allow per server.
const int kListingDownloads = 6;

bool StartsWithAddress(const char* url) { return AddressPrefixLength(url, kUrlCapacity) > 0; }

// One member of a listing while it is measured: where its address lies in
// the source, and what its download gave.
struct Job {
    Member member;
    int64_t urlLength;   // the address: source bytes [position, position + urlLength)
    bool fetched;        // false: the address was too long to fetch whole
    FetchMessage outcome;
};

struct Listing {
    const SourceCopy* source;
    Job* jobs;
};

// Measures one member: its size and timestamp, from a download of its
// address that keeps no body. A failed download counts as size 0 with
// timestamp 0, and so does a body too large for the record.
void MeasureJob(void* context, int64_t i) {
    Listing* listing = static_cast<Listing*>(context);
    Job* job = &listing->jobs[i];
    job->member.size = 0;
    job->member.timestamp = 0;
    if (!job->fetched) return;
    char url[kUrlCapacity];  // the download's private copy of the address
    memcpy(url, listing->source->data + job->member.position, (size_t)job->urlLength);
    url[job->urlLength] = '\0';
    FetchResult result;
    job->outcome = FetchUrl(url, false, NULL, &result);
    if (job->outcome == kFetchOk && SizeFitsRecord(result.length)) {
        job->member.size = result.length;
        job->member.timestamp = result.timestamp;
    }
}

// Scans the first `count` lines from the start offset into `jobs`. Returns
// how many lines hold an address before the first that does not (count when
// all do).
int64_t ScanJobs(const SourceCopy& src, int64_t count, Job* jobs) {
    UrlScan scan;
    memset(&scan, 0, sizeof scan);
    int64_t pos = src.start;
    char name[kNameCapacity];
    for (int64_t i = 0; i < count; ++i) {
        ScanUrlLine(src.data, src.size, &pos, &scan);
        if (!StartsWithAddress(scan.url)) return i;
        DeriveMemberName(name, scan.url);
        Job* job = &jobs[i];
        job->member.position = scan.position;
        CutRecordName(name, job->member.name);
        job->urlLength = (int64_t)strlen(scan.url);
        job->fetched = !scan.overlong;
        job->outcome = kFetchOk;
    }
    return count;
}

// The last-error text that downloading the members one after another would
// leave: the outcome of the last member downloaded, if any was.
void RecordLastOutcome(const Job* jobs, int64_t count) {
    for (int64_t i = count; i > 0; --i) {
        if (jobs[i - 1].fetched) {
            RecordFetchMessage(jobs[i - 1].outcome);
            return;
        }
    }
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

    const size_t recordSize = RecordSize(kind);
    int64_t count = CountAddresses(src.copy.data, src.copy.start, src.copy.size);
    if (!ListingFits(count, recordSize)) return SPI_MEMORY_ERROR;
    LocalBlock block(LocalAlloc(LPTR, (SIZE_T)(count + 1) * recordSize));
    char* records = block.get() ? static_cast<char*>(LocalLock(block.get())) : NULL;
    // One more job than members: an empty list still gets a block.
    GlobalBlock jobBlock(GlobalAlloc(GMEM_FIXED, (SIZE_T)(count + 1) * sizeof(Job)));
    Job* jobs = static_cast<Job*>(jobBlock.get());
    if (!records || !jobs) return SPI_MEMORY_ERROR;

    // The members before the first line without an address are downloaded
    // even when there is such a line, as reading the lines one by one would.
    int64_t good = ScanJobs(src.copy, count, jobs);
    Listing work = {&src.copy, jobs};
    RunInOrder(good, kListingDownloads, MeasureJob, &work);
    RecordLastOutcome(jobs, good);
    if (good < count) return SPI_FILE_READ_ERROR;

    for (int64_t i = 0; i < count; ++i) {
        WriteRecord(records + (size_t)i * recordSize, kind, jobs[i].member);
    }
    LocalUnlock(block.get());
    *listing = block.Release();
    return SPI_SUCCESS;
}

namespace {

// True when the record name of a line equals the host's name exactly: bytes
// for the ANSI entry point, the converted name for the Unicode one.
bool NameMatches(const char* recordName, const void* wanted, RecordKind kind) {
    if (kind == kAnsiRecords) return strcmp(recordName, static_cast<const char*>(wanted)) == 0;
    WCHAR wide[kRecordNameCapacity];
    WidenRecordName(recordName, wide);
    const WCHAR* w = static_cast<const WCHAR*>(wanted);
    size_t i = 0;
    for (; wide[i] && wide[i] == w[i]; ++i) {
    }
    return wide[i] == w[i];
}

void ShowRequestedName(const void* name, RecordKind kind) {
    if (kind == kAnsiRecords) {
        const char* text = static_cast<const char*>(name);
        MessageBoxA(NULL, text ? text : "", kMessageBoxCaption, MB_OK);
        return;
    }
    static const WCHAR kEmpty[] = {0};
    const WCHAR* text = static_cast<const WCHAR*>(name);
    MessageBoxW(NULL, text ? text : kEmpty, kMessageBoxCaptionW, MB_OK);
}

}  // namespace

int DescribeMember(HostText source, LONG_PTR arg, const void* name, unsigned flag,
                   RecordKind kind, void* info) {
    ShowRequestedName(name, kind);
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
    char memberName[kNameCapacity];
    Member m;
    bool found = false;
    while (!found && pos < copy.size) {
        ScanUrlLine(copy.data, copy.size, &pos, &scan);
        DeriveMemberName(memberName, scan.url);
        CutRecordName(memberName, m.name);
        found = NameMatches(m.name, name, kind);
    }
    if (!found || !StartsWithAddress(scan.url) || scan.overlong) return SPI_FILE_READ_ERROR;
    int64_t length = 0;
    int64_t timestamp = 0;
    if (HttpFetch(scan.url, NULL, &length, &timestamp) < 0) return SPI_FILE_READ_ERROR;
    if (!SizeFitsRecord(length)) return SPI_FILE_READ_ERROR;
    m.position = scan.position;
    m.size = length;
    m.timestamp = timestamp;
    WriteRecord(info, kind, m);
    return SPI_SUCCESS;
}
