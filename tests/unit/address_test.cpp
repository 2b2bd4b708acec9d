// The request a browser would send for an address, byte for byte: the
// target percent-encoded and with its dot segments resolved, "Host:" in its
// ASCII form with the port only when it is not the default, user info sent
// only over https://; and redirect targets as browsers resolve them. (How
// each part of a URL is parsed is tests/unit/url_test.cpp's.)
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>

#include "http/address.h"

namespace {

// "<connect host>|<port>|<s or -><i or ->" and the request's lines joined by
// " / ", or the outcome's name.
std::string Request(const std::string& url) {
    std::unique_ptr<Address> a(new Address);
    AddressOutcome outcome = ParseAddress(url.data(), url.size(), a.get());
    if (outcome == kAddressNotHttp) return "not-http";
    if (outcome == kAddressBad) return "bad";
    if (outcome == kAddressTooLong) return "too long";
    std::unique_ptr<char[]> request(new char[kRequestCapacity]);
    std::string text(request.get(), BuildRequest(*a, a.get(), request.get()));
    std::string lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.rfind("User-Agent:", 0) != 0) lines += " / " + line;
        at = end + 2;
    }
    return std::string(a->host) + "|" + std::to_string(a->port) + "|" + (a->secure ? "s" : "-") +
           (a->ipLiteral ? "i" : "-") + lines;
}

TEST(BuildRequest, WhatABrowserSends) {
    const struct {
        const char* what;
        std::string url;
        std::string expected;
    } rows[] = {
        {"default port, not in Host", "http://a/b/c.png", "a|80|-- / GET /b/c.png HTTP/1.1 / Host: a"},
        {"https default", "https://a/b", "a|443|s- / GET /b HTTP/1.1 / Host: a"},
        {"another port", "HTTPS://Host:8443", "host|8443|s- / GET / HTTP/1.1 / Host: host:8443"},
        {"the default written out", "http://a:80/x", "a|80|-- / GET /x HTTP/1.1 / Host: a"},
        {"host in any case", "http://ExAmPlE.CoM/", "example.com|80|-- / GET / HTTP/1.1 / Host: example.com"},
        {"query, fragment never sent", "http://a/p?q#frag", "a|80|-- / GET /p?q HTTP/1.1 / Host: a"},
        {"space and DEL encoded", "http://a/a b\x7f.png", "a|80|-- / GET /a%20b%7F.png HTTP/1.1 / Host: a"},
        {"tab and newline removed", "http://a/a\tb\nc", "a|80|-- / GET /abc HTTP/1.1 / Host: a"},
        {"dot segments", "http://a/x/../y/./z/%2e%2E/w", "a|80|-- / GET /y/w HTTP/1.1 / Host: a"},
        {"backslash as slash", "http://a\\b\\c", "a|80|-- / GET /b/c HTTP/1.1 / Host: a"},
        {"UTF-8 path", "http://a/\xe6\x97\xa5\xe6\x9c\xac.png",
         "a|80|-- / GET /%E6%97%A5%E6%9C%AC.png HTTP/1.1 / Host: a"},
        {"existing escapes kept", "http://a/%7e%zz", "a|80|-- / GET /%7e%zz HTTP/1.1 / Host: a"},
        {"quote in the query", "http://a/?x='y'", "a|80|-- / GET /?x=%27y%27 HTTP/1.1 / Host: a"},
        {"IPv4 as hex", "http://0x7f.1/", "127.0.0.1|80|-i / GET / HTTP/1.1 / Host: 127.0.0.1"},
        {"IPv4 as one number", "http://2130706433:8080/", "127.0.0.1|8080|-i / GET / HTTP/1.1 / Host: 127.0.0.1:8080"},
        {"IPv6", "http://[0:0::1]:8080/x", "::1|8080|-i / GET /x HTTP/1.1 / Host: [::1]:8080"},
        {"IDN", "http://b\xc3\xbc" "cher.example/", "xn--bcher-kva.example|80|-- / GET / HTTP/1.1 / Host: xn--bcher-kva.example"},
        {"user info over https", "https://user:pa%20ss@a/",
         "a|443|s- / GET / HTTP/1.1 / Host: a / Authorization: Basic dXNlcjpwYSBzcw=="},
        {"user alone over https", "https://user@a/", "a|443|s- / GET / HTTP/1.1 / Host: a / Authorization: Basic dXNlcjo="},
        {"user info never in the clear", "http://user:pw@a/", "a|80|-- / GET / HTTP/1.1 / Host: a"},
        {"port with letters", "http://a:443abc/", "bad"},
        {"port past 16 bits", "http://a:65536/", "bad"},
        {"an empty host", "https://:443/", "bad"},
        {"user info, then no host", "http://127.0.0.1:8080@/x", "bad"},
        {"forbidden host code point", "http://a<b/", "bad"},
        {"a long host name", "http://" + std::string(256, 'h') + "/", "bad"},
        {"another scheme", "ftp://a/", "not-http"},
        {"no scheme", "//a/", "not-http"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.expected, Request(r.url)) << r.what;
}

TEST(BuildRequest, LongestAddressFitsTheRequestBuffer) {
    std::string url = "https://u:p@" + std::string(240, 'h') + ":65535/";
    url += std::string(kMaxHrefLength - url.size(), 'p');
    std::unique_ptr<Address> a(new Address);
    ASSERT_EQ(kAddressOk, ParseAddress(url.data(), url.size(), a.get()));
    std::unique_ptr<char[]> request(new char[kRequestCapacity + 1]);
    request[kRequestCapacity] = 'G';  // a guard byte past the capacity
    size_t n = BuildRequest(*a, a.get(), request.get());
    EXPECT_LE(n, kRequestCapacity);
    EXPECT_EQ('G', request[kRequestCapacity]);
}

// A redirect's target against the current address: the standard's relative
// references, raw bytes that are not UTF-8 kept as bytes, and the limit.
TEST(ResolveLocation, TargetsAsBrowsersResolveThem) {
    const char base[] = "http://h/a/b?q";
    std::unique_ptr<Address> from(new Address);
    ASSERT_EQ(kAddressOk, ParseAddress(base, strlen(base), from.get()));
    const struct {
        const char* what;
        std::string location;
        std::string expected;  // the href, or the outcome's name
    } rows[] = {
        {"absolute", "https://o/p", "https://o/p"},
        {"scheme-relative", "//o/p", "http://o/p"},
        {"absolute path", "/p", "http://h/p"},
        {"relative path", "p", "http://h/a/p"},
        {"dot segments", "../../p", "http://h/p"},
        {"query only", "?v=2", "http://h/a/b?v=2"},
        {"fragment only", "#f", "http://h/a/b?q#f"},
        {"spaces around", "  /p \t", "http://h/p"},
        {"UTF-8 bytes", "/\xe8\xa1\xa8", "http://h/%E8%A1%A8"},
        {"bytes that are not UTF-8, as browsers take them", "/\x95\x5c\x8c\xea",
         "http://h/%95/%8C%EA"},
        {"another scheme", "ftp://o/", "not-http"},
        {"an empty host", "http:///", "bad"},
        {"4095 characters", "/" + std::string(4095 - 9, 'x'), "http://h/" + std::string(4095 - 9, 'x')},
        {"4096 characters", "/" + std::string(4096 - 9, 'x'), "too long"},
        {"long with a fragment", "/" + std::string(4095 - 9, 'x') + "#f", "http://h/" + std::string(4095 - 9, 'x') + "#f"},
    };
    for (const auto& r : rows) {
        std::unique_ptr<Address> to(new Address);
        AddressOutcome outcome = ResolveLocation(*from, r.location.data(), r.location.size(), to.get());
        std::string got = outcome == kAddressOk        ? std::string(to->url.href)
                          : outcome == kAddressNotHttp ? "not-http"
                          : outcome == kAddressTooLong ? "too long"
                                                       : "bad";
        EXPECT_EQ(r.expected, got) << r.what;
    }
}

}  // namespace
