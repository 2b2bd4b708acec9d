// Host name matching against a certificate's subject alternative names. A
// name holding anything but letters, digits, '-', '.' and a leading "*."
// matches nothing: an entry with a NUL inside ("bank.example\0.evil") or a
// wildcard elsewhere in a label is no name a browser accepts.
#include "http/certname.h"

#include <string.h>

#include "compat/win32.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

bool SameNoCase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool IsNameByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.';
}

// `length` without one final dot: "example.com." is "example.com".
size_t WithoutFinalDot(const char* name, size_t length) {
    return length > 1 && name[length - 1] == '.' ? length - 1 : length;
}

// The host's address bytes into `out` (16 bytes): 4 for IPv4, 16 for IPv6,
// 0 for a host name.
size_t AddressOf(const char* host, unsigned char* out) {
    if (inet_pton(AF_INET, host, out) == 1) return 4;
    if (inet_pton(AF_INET6, host, out) == 1) return 16;
    return 0;
}

bool DnsNameMatches(const char* host, size_t hostLength, const unsigned char* entry,
                    size_t length) {
    const char* pattern = reinterpret_cast<const char*>(entry);
    size_t start = length >= 2 && pattern[0] == '*' && pattern[1] == '.' ? 2 : 0;
    for (size_t i = start; i < length; ++i) {
        if (!IsNameByte(entry[i])) return false;
    }
    if (length <= start) return false;
    length = start + WithoutFinalDot(pattern + start, length - start);
    if (start == 0) return length == hostLength && SameNoCase(pattern, host, length);
    // "*." and a rest of at least two labels, standing for one whole label.
    const char* rest = pattern + 2;
    size_t restLength = length - 2;
    if (!memchr(rest, '.', restLength) || rest[0] == '.' || rest[restLength - 1] == '.') {
        return false;
    }
    const char* dot = static_cast<const char*>(memchr(host, '.', hostLength));
    if (!dot || dot == host) return false;
    size_t hostRest = hostLength - (size_t)(dot + 1 - host);
    return hostRest == restLength && SameNoCase(dot + 1, rest, restLength);
}

}  // namespace

bool CertNamesHost(const CertAltName* names, size_t count, const char* host) {
    if (!names || !host || !*host) return false;
    unsigned char address[16];
    size_t addressLength = AddressOf(host, address);
    size_t hostLength = WithoutFinalDot(host, strlen(host));
    for (size_t i = 0; i < count; ++i) {
        const CertAltName& n = names[i];
        if (!n.bytes) continue;
        if (addressLength > 0) {
            if (n.ip && n.length == addressLength && memcmp(n.bytes, address, addressLength) == 0) {
                return true;
            }
        } else if (!n.ip && DnsNameMatches(host, hostLength, n.bytes, n.length)) {
            return true;
        }
    }
    return false;
}
