// Whether a server certificate names the host a download asked for, by the
// rules browsers apply (RFC 6125 and the CA/Browser Forum's), not by the
// platform's more lenient ones:
//   - the names come from the subject-alternative-name list only; a
//     certificate without one names nothing (no common-name fallback);
//   - an IP address ("127.0.0.1", "::1") matches only an IP-address entry
//     of the same bytes, never a DNS name, however it is written;
//   - a DNS name matches a DNS-name entry equal to it, ASCII letters in any
//     case and a final dot aside, or a wildcard "*.rest" whose "*" is the
//     whole left-most label, with at least two labels in "rest", standing for
//     exactly one non-empty label: "*.example.com" names "a.example.com" but
//     neither "example.com", "a.b.example.com" nor "*.com" any ".com" host.
#ifndef KESTA_HTTP_CERTNAME_H
#define KESTA_HTTP_CERTNAME_H

#include <stddef.h>

// One entry of the list: a DNS name (`bytes`, `length` characters, as the
// certificate holds it) or an IP address (`length` 4 or 16 bytes).
struct CertAltName {
    bool ip;
    const unsigned char* bytes;
    size_t length;
};

// True when one of the `count` entries names `host` (a host name in ASCII,
// or an IPv4 or IPv6 address without brackets).
bool CertNamesHost(const CertAltName* names, size_t count, const char* host);

#endif  // KESTA_HTTP_CERTNAME_H
