// Web addresses as the fetch uses them: an address parsed by the URL room
// (url/url.h: the WHATWG URL Standard's parser for http: and https:), what
// a connection needs from it (host, port, TLS), the request a browser would
// send for it, and a redirect's "Location:" resolved against it. Nothing
// here touches the network.
//
// What is sent for an address:
//   http://ExAmPlE.CoM/a b/../c?x y#f  GET /c?x%20y HTTP/1.1  Host: example.com
//   https://host:8443/日本.png         GET /%E6%97%A5%E6%9C%AC.png HTTP/1.1  Host: host:8443
//   https://u:p@host/                  ... and Authorization: Basic dTpw
//   http://u:p@host/                   no Authorization: never in the clear
#ifndef KESTA_HTTP_ADDRESS_H
#define KESTA_HTTP_ADDRESS_H

#include <stddef.h>

#include "url/url.h"

// 4095: the longest a redirect may lead to (resolved, without its fragment),
// as a list line may hold an address of at most 4095 bytes.
const size_t kMaxAddress = 4095;
// The longest host name a connection is made to: a DNS name has at most
// 253 characters; an IPv6 address is shorter.
const size_t kMaxHostPart = 255;

struct Address {
    Url url;
    bool secure;                  // https
    char host[kMaxHostPart + 1];  // to connect to: a name in ASCII, or an IP address without brackets
    bool ipLiteral;               // an IPv4 or IPv6 address, not a name
    unsigned short port;          // the port as written, or 80 or 443
};

enum AddressOutcome {
    kAddressOk,
    kAddressNotHttp,  // no "http:" or "https:" scheme
    kAddressBad,      // refused by the URL parser, or a host name past kMaxHostPart
    kAddressTooLong,  // past the URL's length limit
};

// Parses `text` (`length` bytes of UTF-8).
AddressOutcome ParseAddress(const char* text, size_t length, Address* out);

// Resolves a "Location:" value (`length` bytes as the server sent them;
// bytes that are not UTF-8 are taken as bytes to percent-encode) against
// `base`. kAddressTooLong also when the target, without its fragment, is
// longer than kMaxAddress.
AddressOutcome ResolveLocation(const Address& base, const char* location, size_t length,
                               Address* out);

// True when `a` and `b` have the same origin: scheme, host and port.
bool SameOrigin(const Address& a, const Address& b);

// kMaxHrefLength of target, and the fields around it: the longest request
// BuildRequest can write, with up to kMostExtraLines of caller's lines.
const size_t kMostExtraLines = 1200;
const size_t kRequestCapacity = kMaxHrefLength + 2048 + kMostExtraLines;

// Writes the request for `a` into `out` (kRequestCapacity bytes) and returns
// its length: "GET <path>[?<query>] HTTP/1.1", "Host: <host>[:<port>]" (the
// port only when it is not the scheme's default, as browsers send it), the
// user agent line, and, when `credentials` has a user name or password and
// `a` is https://, "Authorization: Basic" with them (user info never goes
// out in the clear); then `extraLines` (header lines ending in CR LF, at
// most kMostExtraLines bytes: more are not sent), then the blank line.
size_t BuildRequest(const Address& a, const Address* credentials, char* out,
                    const char* extraLines = NULL);

#endif  // KESTA_HTTP_ADDRESS_H
