#include "http/cachefields.h"

namespace {

const char* const kNames[kCacheFieldCount] = {
    "Cache-Control:", "Pragma:", "Vary:", "Expires:", "Date:", "Last-Modified:", "ETag:", "Age:",
    "Content-Length:",
};

bool IsList(int which) { return which == kCacheControl || which == kPragma || which == kVary; }

}  // namespace

void CacheFieldsStart(CacheFields* f) {
    f->status = 0;
    for (int i = 0; i < kCacheFieldCount; ++i) {
        if (IsList(i)) {
            FieldCatchStartList(&f->catches[i], kNames[i], f->values[i], kCacheFieldCapacity);
        } else {
            FieldCatchStart(&f->catches[i], kNames[i], f->values[i], kCacheFieldCapacity);
        }
    }
}

void CacheFieldsFeed(CacheFields* f, const char* bytes, size_t n) {
    for (int i = 0; i < kCacheFieldCount; ++i) FieldCatchFeed(&f->catches[i], bytes, n);
}

void CacheFieldsEnd(CacheFields* f) {
    for (int i = 0; i < kCacheFieldCount; ++i) FieldCatchEnd(&f->catches[i]);
}

const char* CacheFieldValue(const CacheFields& f, CacheField which) {
    return f.catches[which].found ? f.values[which] : "";
}

bool CacheFieldsOverlong(const CacheFields& f) {
    for (int i = 0; i < kCacheFieldCount; ++i) {
        if (f.catches[i].overlong) return true;
    }
    return false;
}
