// Addresses as the fetch splits them and the requests it writes for them,
// and redirect targets resolved against the current address: the reference
// resolution examples of RFC 3986 section 5.4, then the forms servers send.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "http/address.h"

namespace {

// "<outcome> <host>|<Host: value>|<port>|<s or -><i or -> <request line>"
std::string Split(const std::string& url) {
    Address a;
    AddressOutcome outcome = ParseAddress(url.data(), url.size(), &a);
    if (outcome == kAddressNotHttp) return "not-http";
    if (outcome == kAddressBad) return "bad";
    char request[kRequestCapacity];
    size_t n = BuildRequest(a, request);
    std::string text(request, n);
    std::string line = text.substr(0, text.find("\r\n"));
    std::string host = text.substr(text.find("Host: ") + 6);
    host = host.substr(0, host.find("\r\n"));
    return std::string(a.host) + "|" + host + "|" + std::to_string(a.port) + "|" +
           (a.secure ? "s" : "-") + (a.ipLiteral ? "i" : "-") + " " + line;
}

TEST(ParseAddress, PartsAndRequestLine) {
    const struct {
        std::string url;
        std::string expected;
    } rows[] = {
        {"http://a/b/c.png", "a|a:80|80|-- GET /b/c.png HTTP/1.1"},
        {"https://a/b/c.png", "a|a:443|443|s- GET /b/c.png HTTP/1.1"},
        {"HTTPS://Host:8443", "Host|Host:8443|8443|s- GET / HTTP/1.1"},
        {"http://a?q=1", "a|a:80|80|-- GET /?q=1 HTTP/1.1"},
        {"http://a#top", "a|a:80|80|-- GET / HTTP/1.1"},
        {"http://a/p?q#frag/x?y", "a|a:80|80|-- GET /p?q HTTP/1.1"},
        {"http://a/p#", "a|a:80|80|-- GET /p HTTP/1.1"},
        {"http://127.0.0.1:8080/x", "127.0.0.1|127.0.0.1:8080|8080|-i GET /x HTTP/1.1"},
        {"http://[::1]:8080/x", "::1|[::1]:8080|8080|-i GET /x HTTP/1.1"},
        {"https://[::1]/x", "::1|[::1]:443|443|si GET /x HTTP/1.1"},
        {"http://[fe80::1%25eth0]/", "fe80::1%25eth0|[fe80::1%25eth0]:80|80|-i GET / HTTP/1.1"},
        // the port text as atol reads it; the first ':' counts; past 65535 is refused
        {"http://a:65616/x", "bad"},
        {"http://a:65536/x", "bad"},
        {"http://a:-1/x", "bad"},
        {"http://a:65535/x", "a|a:65535|65535|-- GET /x HTTP/1.1"},
        {"http://a:+80/x", "a|a:80|80|-- GET /x HTTP/1.1"},
        {"http://a:/x", "a|a:0|0|-- GET /x HTTP/1.1"},
        {"http://a:12ab/x", "a|a:12|12|-- GET /x HTTP/1.1"},
        {"http://a:b:80/x", "a|a:0|0|-- GET /x HTTP/1.1"},
        {"http://a:0000080/x", "a|a:80|80|-- GET /x HTTP/1.1"},
        // bytes are sent as they stand
        {"http://a/with space\\x\"", "a|a:80|80|-- GET /with space\\x\" HTTP/1.1"},
        {"http://1.2.3/", "1.2.3|1.2.3:80|80|-i GET / HTTP/1.1"},
        {"http://", "|:80|80|-- GET / HTTP/1.1"},
        // refused
        {"http://a:00000080/x", "bad"},
        {"http://[::1/x", "bad"},
        {"http://[::1]8080/x", "bad"},
        {"http://" + std::string(256, 'h') + "/x", "bad"},
        {"http://" + std::string(255, 'h') + "/x", std::string(255, 'h') + "|" +
                                                       std::string(255, 'h') +
                                                       ":80|80|-- GET /x HTTP/1.1"},
        {"http://a/" + std::string(4087, 'p'), "bad"},
        {"ftp://a/", "not-http"},
        {"https:/a/", "not-http"},
        {"http:", "not-http"},
        {"", "not-http"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.expected, Split(r.url)) << r.url.substr(0, 80);
    }
}

TEST(BuildRequest, LongestAddressFitsTheRequestBuffer) {
    std::string url = "https://" + std::string(249, 'h') + ":65535/" + std::string(4095 - 8 - 256, 'p');
    ASSERT_EQ(kMaxAddress, url.size());
    Address a;
    ASSERT_EQ(kAddressOk, ParseAddress(url.data(), url.size(), &a));
    char request[kRequestCapacity + 1];
    request[kRequestCapacity] = 'G';  // a guard byte past the capacity
    size_t n = BuildRequest(a, request);
    EXPECT_LE(n, kRequestCapacity);
    EXPECT_EQ('G', request[kRequestCapacity]);
}

std::string Resolve(const char* base, const std::string& location) {
    char out[kMaxAddress + 1];
    memset(out, 'Z', sizeof out);
    switch (ResolveLocation(base, location.c_str(), out)) {
        case kResolved:
            return out;
        case kResolveRefused:
            return "refused";
        case kResolveTooLong:
            return "too long";
    }
    return "?";
}

// RFC 3986 sections 5.4.1 and 5.4.2, with "http://a/b/c/d;p?q" as the base.
TEST(ResolveLocation, ExamplesOfRfc3986) {
    const struct {
        const char* reference;
        const char* expected;
    } rows[] = {
        {"g:h", "refused"},  // another scheme
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q"},
        {"g#s", "http://a/b/c/g"},
        {"g?y#s", "http://a/b/c/g?y"},
        {";x", "http://a/b/c/;x"},
        {"g;x", "http://a/b/c/g;x"},
        {"g;x?y#s", "http://a/b/c/g;x?y"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../", "http://a/"},
        {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"},
        {"../../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {".g", "http://a/b/c/.g"},
        {"g..", "http://a/b/c/g.."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"./g/.", "http://a/b/c/g/"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"},
        {"g?y/../x", "http://a/b/c/g?y/../x"},
        {"g#s/./x", "http://a/b/c/g"},
        {"g#s/../x", "http://a/b/c/g"},
        {"http:g", "refused"},  // a scheme without "//host" cannot be fetched
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.expected, Resolve("http://a/b/c/d;p?q", r.reference)) << r.reference;
    }
}

// What servers send in "Location:", against the base's own forms.
TEST(ResolveLocation, ServerForms) {
    const struct {
        const char* base;
        std::string location;
        std::string expected;
    } rows[] = {
        {"http://h:81/a/b.png", "https://cdn.example/x/y.png", "https://cdn.example/x/y.png"},
        {"http://h:81/a/b.png", "HTTPS://Cdn/Y", "https://Cdn/Y"},
        {"https://h/a/b.png", "http://h/a/b.png", "http://h/a/b.png"},  // the caller refuses it
        {"https://h/a/b.png", "//other:8443/z", "https://other:8443/z"},
        {"http://h/a/b.png", "//other/z", "http://other/z"},
        {"http://h:81/a/b.png", "/root.png", "http://h:81/root.png"},
        {"http://h:81/a/b.png", "c.png", "http://h:81/a/c.png"},
        {"http://h:81/a/b.png", "../up.png", "http://h:81/up.png"},
        {"http://h:81/a/b.png?x=1", "?x=2", "http://h:81/a/b.png?x=2"},
        {"http://h:81/a/b.png#top", "#other", "http://h:81/a/b.png"},
        {"http://h", "next", "http://h/next"},
        {"http://h?q", "next", "http://h/next"},
        {"http://[::1]:8080/a/b", "c", "http://[::1]:8080/a/c"},
        {"http://h/a/b", "  /spaced.png \t", "http://h/spaced.png"},
        {"http://h/a/b", "/a b/c d.png", "http://h/a b/c d.png"},
        {"http://h/a/b", "/x#frag#more", "http://h/x"},
        {"http://h/a/b", "ftp://h/x", "refused"},
        {"http://h/a/b", "mailto:a@h", "refused"},
        {"http://h/a/b", "javascript:alert(1)", "refused"},
        {"http://h/a/b", "https:x", "refused"},
        {"http://h/a/b", "/" + std::string(4086, 'p'), "http://h/" + std::string(4086, 'p')},
        {"http://h/a/b", "/" + std::string(4087, 'p'), "too long"},
        {"http://h/a/b", "https://h/" + std::string(4085, 'p'), "https://h/" + std::string(4085, 'p')},
        {"http://h/a/b", "https://h/" + std::string(4086, 'p'), "too long"},
        // dot segments can bring a long reference back under the limit
        {"http://h/a/b", std::string(2000, 'q') + "/../" + std::string(2000, 'r'),
         "http://h/a/" + std::string(2000, 'r')},
        {"http://h/a/b", std::string(5000, 'q'), "too long"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.expected, Resolve(r.base, r.location))
            << r.base << " + " << r.location.substr(0, 60);
    }
}

}  // namespace
