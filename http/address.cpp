// An address for the fetch: the URL parser's result, the host and port a
// connection needs, the request text, and a redirect's target.
#include "http/address.h"

#include <string.h>

#include "compat/win32.h"
#include "url/percent.h"
#include "url/utf8.h"

namespace {

const char kUserAgentLine[] = "User-Agent: RUSKO Susie Plugin Http Client/1.0\r\n";
const unsigned short kHttpPort = 80;
const unsigned short kHttpsPort = 443;
// "user:password", decoded, longer than this is not sent.
const size_t kMostCredentials = 1024;

AddressOutcome FromUrl(UrlOutcome parsed, Address* out) {
    if (parsed == kUrlNotHttp) return kAddressNotHttp;
    if (parsed == kUrlTooLong) return kAddressTooLong;
    if (parsed != kUrlOk) return kAddressBad;
    const Url& u = out->url;
    const char* host = u.href + u.host.start;
    size_t length = u.host.length;
    if (u.hostKind == kUrlIPv6 && length >= 2) {
        ++host;  // the brackets are the URL's, not the address's
        length -= 2;
    }
    if (length == 0 || length > kMaxHostPart) return kAddressBad;
    memcpy(out->host, host, length);
    out->host[length] = '\0';
    out->secure = u.secure;
    out->ipLiteral = u.hostKind != kUrlDomain;
    out->port = u.port >= 0 ? (unsigned short)u.port : (u.secure ? kHttpsPort : kHttpPort);
    return kAddressOk;
}

bool IsUtf8(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n;) {
        size_t used = 0;
        uint32_t cp = DecodeUtf8(p + i, n - i, &used);
        if (cp == kReplacementCharacter &&
            !(used == 3 && p[i] == 0xEF && p[i + 1] == 0xBF && p[i + 2] == 0xBD)) {
            return false;
        }
        i += used;
    }
    return true;
}

void Put(char* out, size_t* n, const char* text, size_t length) {
    memcpy(out + *n, text, length);
    *n += length;
}

void PutText(char* out, size_t* n, const char* text) { Put(out, n, text, strlen(text)); }

void PutPart(char* out, size_t* n, const Url& u, const UrlPart& part) {
    Put(out, n, u.href + part.start, part.length);
}

// RFC 4648 base64 of `n` bytes.
void PutBase64(char* out, size_t* at, const unsigned char* p, size_t n) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = (uint32_t)p[i] << 16;
        if (i + 1 < n) v |= (uint32_t)p[i + 1] << 8;
        if (i + 2 < n) v |= p[i + 2];
        out[(*at)++] = kDigits[(v >> 18) & 63];
        out[(*at)++] = kDigits[(v >> 12) & 63];
        out[(*at)++] = i + 1 < n ? kDigits[(v >> 6) & 63] : '=';
        out[(*at)++] = i + 2 < n ? kDigits[v & 63] : '=';
    }
}

// "user:password" of `u`, percent-decoded, into `out` (kMostCredentials + 1
// bytes); its length, or 0 when there are none or they are too long.
size_t Credentials(const Url& u, unsigned char* out) {
    if (u.username.length == 0 && u.password.length == 0) return 0;
    char* text = reinterpret_cast<char*>(out);
    size_t user = PercentDecode(u.href + u.username.start, u.username.length, text,
                                kMostCredentials + 1);
    if (user == kPercentDecodeRefused || user + 1 > kMostCredentials) return 0;
    text[user] = ':';
    size_t password = PercentDecode(u.href + u.password.start, u.password.length,
                                    text + user + 1, kMostCredentials - user);
    return password == kPercentDecodeRefused ? 0 : user + 1 + password;
}

}  // namespace

AddressOutcome ParseAddress(const char* text, size_t length, Address* out) {
    if (!text || !out) return kAddressBad;
    return FromUrl(ParseUrl(text, length, NULL, &out->url), out);
}

AddressOutcome ResolveLocation(const Address& base, const char* location, size_t length,
                               Address* out) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(location);
    UrlOutcome parsed;
    if (IsUtf8(p, length)) {
        parsed = ParseUrl(location, length, &base.url, &out->url);
    } else {
        // Raw bytes of another encoding stay those bytes, percent-encoded.
        char* encoded = static_cast<char*>(GlobalAlloc(GMEM_FIXED, 3 * length + 1));
        if (!encoded) return kAddressBad;
        size_t n = 0;
        for (size_t i = 0; i < length; ++i) {
            if (p[i] < 0x80) {
                encoded[n++] = (char)p[i];
            } else {
                PercentEncodeByte(p[i], encoded + n);
                n += 3;
            }
        }
        parsed = ParseUrl(encoded, n, &base.url, &out->url);
        GlobalFree(encoded);
    }
    AddressOutcome outcome = FromUrl(parsed, out);
    if (outcome != kAddressOk) return outcome;
    const Url& u = out->url;
    size_t target = u.hasFragment ? u.fragment.start - 1 : u.length;
    return target > kMaxAddress ? kAddressTooLong : kAddressOk;
}

bool SameOrigin(const Address& a, const Address& b) {
    return a.secure == b.secure && a.port == b.port && strcmp(a.host, b.host) == 0;
}

size_t BuildRequest(const Address& a, const Address* credentials, char* out,
                    const char* extraLines) {
    const Url& u = a.url;
    size_t n = 0;
    PutText(out, &n, "GET ");
    PutPart(out, &n, u, u.path);
    if (u.hasQuery) {
        out[n++] = '?';
        PutPart(out, &n, u, u.query);
    }
    PutText(out, &n, " HTTP/1.1\r\nHost: ");
    PutPart(out, &n, u, u.host);
    if (u.port >= 0) {
        char digits[8];
        int k = 0;
        for (unsigned p = (unsigned)u.port; k == 0 || p > 0; p /= 10) digits[k++] = (char)('0' + p % 10);
        out[n++] = ':';
        while (k > 0) out[n++] = digits[--k];
    }
    PutText(out, &n, "\r\n");
    PutText(out, &n, kUserAgentLine);
    unsigned char pair[kMostCredentials + 1];
    size_t pairLength = credentials && a.secure ? Credentials(credentials->url, pair) : 0;
    if (pairLength > 0) {
        PutText(out, &n, "Authorization: Basic ");
        PutBase64(out, &n, pair, pairLength);
        PutText(out, &n, "\r\n");
    }
    if (extraLines && strnlen(extraLines, kMostExtraLines + 1) <= kMostExtraLines) {
        PutText(out, &n, extraLines);
    }
    PutText(out, &n, "\r\n");
    return n;
}
