// Web addresses as the fetch reads them: splitting an "http://" or
// "https://" address into what a connection and a request need, writing the
// request, and resolving a redirect's "Location:" against the current
// address. Plain code over byte texts: nothing here touches the network.
//
// Forms it accepts, scheme letters in any case:
//   http://host/path?query#fragment   port 80
//   https://host:8443/path            the port as written
//   http://[::1]:8080/x               an IPv6 literal in brackets
#ifndef KESTA_HTTP_ADDRESS_H
#define KESTA_HTTP_ADDRESS_H

#include <stddef.h>

// 4095: the longest address a list line can hand over, and the longest a
// redirect may lead to (the URL buffer less its NUL).
const size_t kMaxAddress = 4095;
// The host part, with its ':' and port, may use 255 characters and the port
// text 7, as the fixed buffers of the request format always allowed.
const size_t kMaxHostPart = 255;
const size_t kMaxPortText = 7;

struct Address {
    bool secure;                  // "https://"
    char host[kMaxHostPart + 1];  // the name or address to connect to, without brackets
    char hostText[kMaxHostPart + 1];  // the host as written (brackets kept), for "Host:"
    bool ipLiteral;               // an IPv4 or bracketed IPv6 address, not a name
    unsigned short port;
    const char* target;           // path and query: into the address, up to the fragment
    size_t targetLength;          // (never sent); BuildRequest puts "/" before an empty
};                                // target or one that begins with '?'

enum AddressOutcome {
    kAddressOk,
    kAddressNotHttp,   // no "http://" or "https://" scheme
    kAddressBad,       // too long, a host part or port text past its buffer, a port past
                       // 65535, an open '['
};

// Splits `url` (`length` bytes; it must outlive `out`, whose target points
// into it). The host part runs to the first '/', '?' or '#'; its first ':'
// (after the ']' of an IPv6 literal) starts the port text, read as atol does
// ("0080" and "+80" are 80, "" is 0); a number outside 0 to 65535 is
// refused; no port text means 80 or 443.
AddressOutcome ParseAddress(const char* url, size_t length, Address* out);

// 4 + kMaxAddress + 17 + kMaxHostPart + 1 + 5 + the user agent lines: the
// longest request BuildRequest can write.
const size_t kRequestCapacity = 4400;

// Writes "GET <target> HTTP/1.1\r\nHost: <host>:<port>\r\n" and the user
// agent line and the blank line into `out` (kRequestCapacity bytes).
// Returns the request's length.
size_t BuildRequest(const Address& a, char* out);

enum ResolveOutcome {
    kResolved,
    kResolveRefused,   // a scheme other than http and https, or one without "//host"
    kResolveTooLong,   // the resolved address is longer than kMaxAddress
};

// Resolves the reference `location` (a "Location:" value; spaces and tabs
// around it are ignored) against the absolute address `base` as RFC 3986
// section 5.2 does: absolute, "//host/p", "/p", a relative path with "."
// and ".." segments, "?q" alone. The fragment is dropped. On kResolved `out`
// (kMaxAddress + 1 bytes) holds the new address, its scheme in lower case.
// Whether a downgrade to "http://" is allowed is the caller's rule.
ResolveOutcome ResolveLocation(const char* base, const char* location, char* out);

#endif  // KESTA_HTTP_ADDRESS_H
