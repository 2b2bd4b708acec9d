// Arbitrary bytes as an address and a redirect's "Location:": the first line
// is parsed as a list line's address, the rest resolved against it. Traps on
// any broken invariant: a request past its buffer; a request line or Host
// holding a byte a server cannot read (a space, a control, non-ASCII) or the
// fragment; credentials in the clear; a connect host with brackets; a
// resolved target past the limit; an address that parses to something else
// when its own href is parsed again.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "http/address.h"

namespace {

void Require(bool holds) {
    if (!holds) __builtin_trap();
}

bool Printable(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)p[i];
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
}

void CheckRequest(const Address& a) {
    char* request = static_cast<char*>(malloc(kRequestCapacity));
    size_t n = BuildRequest(a, &a, request);
    Require(n <= kRequestCapacity);
    std::string text(request, n);
    free(request);
    size_t lineEnd = text.find("\r\n");
    std::string line = text.substr(0, lineEnd);
    Require(line.compare(0, 5, "GET /") == 0);
    size_t space = line.find(' ', 4);
    Require(line.substr(space) == " HTTP/1.1");
    std::string target = line.substr(4, space - 4);
    Require(Printable(target.data(), target.size()) && target.find('#') == std::string::npos);
    size_t hostAt = text.find("\r\nHost: ") + 8;
    std::string host = text.substr(hostAt, text.find("\r\n", hostAt) - hostAt);
    Require(!host.empty() && Printable(host.data(), host.size()));
    Require(a.secure || text.find("\r\nAuthorization:") == std::string::npos);
    Require(a.host[0] != '\0' && a.host[0] != '[');
    Require(a.port != 0 || a.url.port == 0);
}

void CheckAgain(const Address& a) {
    Address* again = static_cast<Address*>(malloc(sizeof(Address)));
    Require(ParseAddress(a.url.href, a.url.length, again) == kAddressOk);
    Require(strcmp(a.url.href, again->url.href) == 0);
    Require(again->port == a.port && strcmp(again->host, a.host) == 0);
    free(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t n) {
    const char* text = reinterpret_cast<const char*>(bytes);
    const char* newline = static_cast<const char*>(memchr(text, '\n', n));
    size_t first = newline ? (size_t)(newline - text) : n;
    Address* a = static_cast<Address*>(malloc(sizeof(Address)));
    if (ParseAddress(text, first, a) == kAddressOk) {
        CheckRequest(*a);
        CheckAgain(*a);
        if (newline) {
            Address* to = static_cast<Address*>(malloc(sizeof(Address)));
            AddressOutcome outcome = ResolveLocation(*a, newline + 1, n - first - 1, to);
            if (outcome == kAddressOk) {
                size_t target = to->url.hasFragment ? to->url.fragment.start - 1 : to->url.length;
                Require(target <= kMaxAddress);
                CheckRequest(*to);
                CheckAgain(*to);
            }
            free(to);
        }
    }
    free(a);
    return 0;
}
