// The host of an http: or https: URL, read as the WHATWG URL Standard's host
// parser reads a special URL's host, and written in its serialized form.
//
// Forms it accepts (as they stand in the URL, and what they become):
//   Example.COM.          a domain, lowered, trailing dot kept: "example.com."
//   b%C3%BCcher.example   percent-encoded UTF-8, through IDNA: "xn--bcher-kva.example"
//   192.168.0.1           dotted decimal: "192.168.0.1"
//   0xC0.0250.1           hex (0x) and octal (leading 0) parts, the last
//                         filling the rest: "192.168.0.1"
//   3232235521            one number for all 32 bits: "192.168.0.1"
//   [2001:DB8:0:0::1]     IPv6, in the shortest form: "[2001:db8::1]"
//   [::ffff:1.2.3.4]      IPv4 in the last 32 bits: "[::ffff:102:304]"
#ifndef KESTA_URL_HOST_H
#define KESTA_URL_HOST_H

#include <stddef.h>

enum UrlHostKind { kUrlDomain, kUrlIPv4, kUrlIPv6 };

enum HostOutcome {
    kHostOk,
    kHostFailure,  // the standard's host parser returns failure
    kHostTooLong,  // the serialized host would not fit `capacity`, or a name
                   // that needs IDNA is longer than kMaxIdnaUnits
};

// 1024 UTF-16 units: the buffers of the IDNA step (four of 2 KiB each on the
// stack).
// DNS allows 253 octets, and IdnToAscii refuses much less than this.
const int kMaxIdnaUnits = 1024;

struct ParsedHost {
    UrlHostKind kind;
    unsigned char address[16];  // kUrlIPv4: 4 bytes, kUrlIPv6: 16, network order
    size_t length;              // of the serialized host now at the start of the text
};

// Parses the host text `text` (`length` bytes of well-formed UTF-8, tabs and
// newlines already removed, not empty) in place: on kHostOk the buffer starts
// with the serialized host ("[...]" with its brackets for IPv6), NUL-
// terminated, and `host` says what it is. `capacity` is the buffer's size,
// at least `length` + 1. On anything else the buffer holds scratch.
HostOutcome ParseSpecialHost(char* text, size_t length, size_t capacity, ParsedHost* host);

#endif  // KESTA_URL_HOST_H
