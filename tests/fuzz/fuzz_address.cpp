// Arbitrary bytes as an address and a redirect's "Location:": the first
// line is split as the fetch splits an address, the rest resolved against
// it. Traps on any broken invariant: a request past its buffer, a fragment
// sent, a resolved address that is too long, not absolute, keeps dot
// segments, or resolves to something else when resolved again.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "http/address.h"

static void Require(bool holds) {
    if (!holds) __builtin_trap();
}

static bool Split(const std::string& url, Address* a) {
    AddressOutcome outcome = ParseAddress(url.data(), url.size(), a);
    if (outcome != kAddressOk) return false;
    char* request = static_cast<char*>(malloc(kRequestCapacity));
    size_t n = BuildRequest(*a, request);
    Require(n <= kRequestCapacity);
    Require(memchr(a->target, '#', a->targetLength) == NULL);
    Require(memcmp(request, "GET /", 5) == 0);
    free(request);
    return true;
}

// The path of an absolute address holds no "." or ".." segment.
static void CheckPath(const std::string& out) {
    size_t from = out.find("//") + 2;
    size_t path = out.find_first_of("/?", from);
    if (path == std::string::npos || out[path] != '/') return;
    size_t end = out.find('?', path);
    std::string p = out.substr(path, end == std::string::npos ? std::string::npos : end - path) + "/";
    Require(p.find("/./") == std::string::npos && p.find("/../") == std::string::npos);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t n) {
    std::string input(reinterpret_cast<const char*>(bytes), n);
    size_t cut = input.find('\n');
    std::string base = input.substr(0, cut);
    std::string location = cut == std::string::npos ? "" : input.substr(cut + 1);
    location = location.substr(0, location.find('\0'));
    Address a;
    if (!Split(base, &a) || base.find('\0') != std::string::npos) return 0;
    char* out = static_cast<char*>(malloc(kMaxAddress + 1));
    // The base as a list line may give it can hold dot segments, which a
    // reference without a path keeps: resolve it against itself first.
    if (ResolveLocation(base.c_str(), base.c_str(), out) != kResolved) {
        free(out);
        return 0;
    }
    base = out;
    if (ResolveLocation(base.c_str(), location.c_str(), out) == kResolved) {
        std::string resolved(out);
        Require(resolved.size() <= kMaxAddress);
        Require(resolved.rfind("http://", 0) == 0 || resolved.rfind("https://", 0) == 0);
        Require(resolved.find('#') == std::string::npos);
        CheckPath(resolved);
        Address b;
        Split(resolved, &b);
        // An absolute address without dot segments resolves to itself (unless
        // it ends in a blank, which a "Location:" value loses).
        char last = resolved.back();
        if (last != ' ' && last != '\t') {
            Require(ResolveLocation(base.c_str(), resolved.c_str(), out) == kResolved);
            Require(resolved == out);
        }
    }
    free(out);
    return 0;
}
