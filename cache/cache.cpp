// A download through the cache: the address is parsed for its key; a fresh
// entry is served; a stale one with a validator is asked about with a
// conditional request (a 304 serves it, a 200 replaces it); anything else
// is downloaded, and kept as it arrives when the response allows.
#include "cache/cache.h"

#include <string.h>

#include "cache/freshness.h"
#include "cache/index.h"
#include "url/url.h"

namespace {

// Too large for a download thread's stack: one block per download.
struct Work {
    Url url;
    char key[kMaxHrefLength + 1];
    char finalHref[kMaxHrefLength + 1];
    char conditions[kMostConditionBytes + 1];
    FetchExtras extras;
    EntryWriter writer;
    const BodySink* sink;  // the caller's, or NULL
    bool judged;           // the response was judged at its body's first bytes
};

// True when the response announces a body longer than the cache keeps:
// a file extraction of gigabytes must not fill the cache's memory and
// evict every other entry on its way to being refused.
bool AnnouncedTooLong(const CacheFields& fields) {
    const char* v = CacheFieldValue(fields, kContentLength);
    while (*v == ' ' || *v == '\t') ++v;
    int64_t length = 0;
    for (; *v >= '0' && *v <= '9'; ++v) {
        length = length * 10 + (*v - '0');
        if (length > kMostKeptBody) return true;
    }
    return false;
}

// The body as it arrives: to the cache (unless the response may not be
// kept), then to the caller's sink. The cache never stops a download.
bool Tee(void* context, const char* bytes, size_t n) {
    Work* w = static_cast<Work*>(context);
    if (!w->judged) {
        w->judged = true;
        // Nothing of a response that may not be kept is written anywhere,
        // not even for a moment.
        if (!JudgeResponse(w->extras.fields, SecondsNow()).storable ||
            AnnouncedTooLong(w->extras.fields)) {
            WriterDrop(&w->writer);
        }
    }
    WriterTake(&w->writer, bytes, n);
    return !w->sink || w->sink->write(w->sink->context, bytes, n);
}

// Tells a watching host (done, total), both halved until they fit an int.
// True when it asks to cancel.
bool ReportServed(const FetchWatch* watch, int64_t done, int64_t total) {
    if (!watch || !watch->callback) return false;
    if (total < 1) total = done = 1;
    while (total > 0x7FFFFFFF) {
        total >>= 1;
        done >>= 1;
    }
    return watch->callback((int)done, (int)total, watch->datum) != 0;
}

// A kept entry as a download's outputs: its length and held timestamp, and
// its body in a new block or through the sink.
FetchMessage Serve(const Entry& e, bool keepBody, const FetchWatch* watch, FetchResult* result,
                   const BodySink* sink) {
    if (ReportServed(watch, 0, e.length)) return kFetchCancelled;
    HLOCAL block = NULL;
    if (sink) {
        if (!StreamKept(e.body, sink)) return kFetchWriteFailed;
    } else if (keepBody) {
        if ((uint64_t)e.length >= (uint64_t)SIZE_MAX) return kFetchReceiveFailed;
        block = LocalAlloc(LMEM_FIXED, (SIZE_T)e.length);
        char* bytes = block ? static_cast<char*>(LocalLock(block)) : NULL;
        bool copied = bytes && CopyKept(e.body, bytes);
        if (bytes) LocalUnlock(block);
        if (!copied) {
            if (block) LocalFree(block);
            return kFetchReceiveFailed;
        }
    }
    if (ReportServed(watch, e.length, e.length)) {
        if (block) LocalFree(block);
        return kFetchCancelled;
    }
    result->body = block;
    result->length = e.length;
    result->timestamp = e.timestamp;
    return kFetchOk;
}

// A 304's freshness: its own fields where it brings a rule of its own,
// else the kept response's lifetime counted again from the 304.
Freshness Revalidated(Entry& e, CacheFields* fields) {
    fields->status = 200;  // judged as the response it stands for
    Freshness f = JudgeResponse(*fields, SecondsNow());
    bool ownRule = CacheFieldValue(*fields, kCacheControl)[0] || CacheFieldValue(*fields, kExpires)[0] ||
                   CacheFieldValue(*fields, kPragma)[0];
    if (f.storable && !ownRule) f.lifetime = EntryFreshness(&e).lifetime;
    return f;
}

// The download, `old` being the stale entry of the address (NULL: none),
// revalidated when it has a validator; keeps the response when it may be
// kept.
FetchMessage Download(Work* w, const char* url, bool keepBody, const FetchWatch* watch,
                      FetchResult* result, ConnectionPool* pool, Entry* old) {
    Entry* stale = old && old->conditions[0] ? old : NULL;
    FetchExtras* x = &w->extras;
    CacheFieldsStart(&x->fields);
    x->finalHref = w->finalHref;
    w->finalHref[0] = '\0';
    x->conditionalFor = stale ? stale->finalHref : NULL;
    x->conditions = stale ? stale->conditions : NULL;
    WriterStart(&w->writer);
    FetchMessage outcome;
    if (keepBody && !w->sink) {
        outcome = FetchUrl(url, true, watch, result, NULL, pool, x);
        // The body came straight into the caller's block: a copy is kept
        // when it is small enough for the copy to cost little.
        if (outcome == kFetchOk && result->length <= kMostCopiedBody &&
            JudgeResponse(x->fields, SecondsNow()).storable) {
            const char* bytes = static_cast<const char*>(LocalLock(result->body));
            if (bytes) WriterTake(&w->writer, bytes, (size_t)result->length);
            if (bytes) LocalUnlock(result->body);
        } else {
            WriterDrop(&w->writer);
        }
    } else {
        BodySink tee = {Tee, w};
        outcome = FetchUrl(url, false, watch, result, &tee, pool, x);
    }

    if (outcome == kFetchOk && stale && x->fields.status == 304 &&
        strcmp(w->finalHref, stale->finalHref) == 0) {
        WriterDrop(&w->writer);
        if (result->body) LocalFree(result->body);
        result->body = NULL;
        Freshness f = Revalidated(*stale, &x->fields);
        if (f.storable) RefreshEntry(stale, f);
        outcome = Serve(*stale, keepBody, watch, result, w->sink);
        if (!f.storable) ForgetEntry(stale);
        return outcome;
    }
    Freshness f = JudgeResponse(x->fields, SecondsNow());
    if (outcome == kFetchOk && f.storable && !w->writer.refused &&
        w->writer.body.length == result->length) {
        ConditionsFor(x->fields, w->conditions, sizeof w->conditions);
        CommitEntry(&w->writer, w->key, w->finalHref, w->conditions, result->timestamp, f);
    } else {
        WriterDrop(&w->writer);
        // A stale body that its server no longer lets us keep goes now.
        if (outcome == kFetchOk && old) ForgetEntry(old);
    }
    return outcome;
}

}  // namespace

FetchMessage FetchThroughCache(const char* url, bool keepBody, const FetchWatch* watch,
                               FetchResult* result, const BodySink* sink, ConnectionPool* pool) {
    Work* w = url ? static_cast<Work*>(GlobalAlloc(GMEM_FIXED, sizeof(Work))) : NULL;
    if (!w || ParseUrl(url, strnlen(url, kMaxHrefLength + 1), NULL, &w->url) != kUrlOk) {
        // Not an address the cache can name: the download says what is wrong.
        if (w) GlobalFree(w);
        return FetchUrl(url, keepBody, watch, result, sink, pool);
    }
    const Url& u = w->url;
    size_t keyLength = u.hasFragment ? u.fragment.start - 1 : u.length;
    memcpy(w->key, u.href, keyLength);
    w->key[keyLength] = '\0';
    w->sink = sink;
    w->judged = false;

    FetchMessage outcome;
    Entry* e = FindEntry(w->key);
    if (e && StillFresh(EntryFreshness(e), SecondsNow())) {
        outcome = Serve(*e, keepBody, watch, result, sink);
    } else {
        outcome = Download(w, url, keepBody, watch, result, pool, e);
    }
    if (e) UnpinEntry(e);
    GlobalFree(w);
    return outcome;
}

void EmptyCache() { ReleaseCache(); }
