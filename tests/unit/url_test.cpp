// The URL parser (url/) row by row: each rule of the WHATWG URL Standard's
// basic URL parser for http: and https:, with the standard's own host
// examples, the percent-encode sets, references against bases, the length
// limit, truncation ladders and the href parsing to itself again.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>

#include "compat/win32.h"
#include "url/percent.h"
#include "url/url.h"

namespace {

struct Row {
    std::string input;
    const char* base;      // NULL: none
    std::string expected;  // the href, or "!failure", "!not-http", "!too-long"
};

std::unique_ptr<Url> NewUrl() { return std::unique_ptr<Url>(new Url()); }

std::string Name(UrlOutcome outcome) {
    switch (outcome) {
        case kUrlOk: return "ok";
        case kUrlNotHttp: return "!not-http";
        case kUrlFailure: return "!failure";
        case kUrlTooLong: return "!too-long";
    }
    return "?";
}

// The input in a block of its exact size, so that AddressSanitizer sees a
// read past its end.
UrlOutcome ParseExact(const std::string& input, const Url* base, Url* out) {
    std::unique_ptr<char[]> exact(new char[input.size() + 1]);
    memcpy(exact.get(), input.data(), input.size());
    return ParseUrl(input.empty() ? NULL : exact.get(), input.size(), base, out);
}

// The href, or the outcome's name. An href must parse to itself.
std::string Parse(const std::string& input, const char* baseText = NULL) {
    std::unique_ptr<Url> base = NewUrl(), url = NewUrl(), again = NewUrl();
    if (baseText && ParseUrl(baseText, strlen(baseText), NULL, base.get()) != kUrlOk) {
        return "bad base";
    }
    UrlOutcome outcome = ParseExact(input, baseText ? base.get() : NULL, url.get());
    if (outcome != kUrlOk) return Name(outcome);
    std::string href(url->href, url->length);
    EXPECT_EQ(strlen(url->href), url->length) << href;
    EXPECT_EQ(kUrlOk, ParseUrl(url->href, url->length, NULL, again.get())) << href;
    EXPECT_EQ(href, std::string(again->href, again->length)) << "not idempotent";
    return href;
}

void Check(const Row* rows, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(rows[i].expected, Parse(rows[i].input, rows[i].base))
            << "input \"" << rows[i].input << "\" base " << (rows[i].base ? rows[i].base : "none");
    }
}

#define CHECK_ROWS(rows) Check(rows, sizeof rows / sizeof rows[0])

std::string Text(const Url& u, const UrlPart& part) {
    return std::string(u.href + part.start, part.length);
}

TEST(UrlParse, PreprocessingAndSchemes) {
    const Row rows[] = {
        // leading and trailing C0 controls and spaces go; tabs and newlines anywhere
        {std::string("\0\x1b\x04 http://h/\x1f \r ", 17), NULL, "http://h/"},
        {"h\tt\nt\rp://h\to\ns\rt:9\t0/p\ta?q\nr#f\rg", NULL, "http://host:90/pa?qr#fg"},
        {std::string("http://h/a\0b", 12), NULL, "http://h/a%00b"},
        {"http://h/ a ", NULL, "http://h/%20a"},
        // scheme letters in any case; only http and https are ours
        {"HTTP://H/", NULL, "http://h/"},
        {"hTtPs://h", NULL, "https://h/"},
        {"ftp://h/", NULL, "!not-http"},
        {"file:///c:/x", NULL, "!not-http"},
        {"ws://h/", NULL, "!not-http"},
        {"mailto:a@b", NULL, "!not-http"},
        {"javascript:alert(1)", NULL, "!not-http"},
        {"data:,x", NULL, "!not-http"},
        {"httpx://h/", NULL, "!not-http"},
        {"http+s://h/", NULL, "!not-http"},
        {"ftp://h/", "http://b/", "!not-http"},
        // no scheme and no base
        {"", NULL, "!not-http"},
        {"//h/p", NULL, "!not-http"},
        {"1http://h/", NULL, "!not-http"},
        {"h", NULL, "!not-http"},
        // a special scheme whose authority is missing
        {"http:", NULL, "!failure"},
        {"http://", NULL, "!failure"},
        {"https:///", NULL, "!failure"},
        {"http://?", NULL, "!failure"},
        {"http://#", NULL, "!failure"},
        // slashes after the scheme: any number, either kind
        {"http:h/p", NULL, "http://h/p"},
        {"http:\\\\h\\p", NULL, "http://h/p"},
        {"http:////h//p", NULL, "http://h//p"},
    };
    CHECK_ROWS(rows);
}

TEST(UrlParse, UserinfoAndPort) {
    const Row rows[] = {
        {"http://u:p@h/", NULL, "http://u:p@h/"},
        {"http://u@h", NULL, "http://u@h/"},
        {"http://:p@h", NULL, "http://:p@h/"},
        {"http://u:@h", NULL, "http://u@h/"},
        {"http://:@h", NULL, "http://h/"},
        {"http://@h", NULL, "http://h/"},
        // up to the last '@'; the first ':' parts username from password
        {"http://a@b@c/", NULL, "http://a%40b@c/"},
        {"http://a:b:c@h", NULL, "http://a:b%3Ac@h/"},
        {"http://a:b@c:d@h", NULL, "http://a:b%40c%3Ad@h/"},
        {"http://a b\"<>`{}|^[];=@h/", NULL, "http://a%20b%22%3C%3E%60%7B%7D%7C%5E%5B%5D%3B%3D@h/"},
        {"http://!$&'()*+,-.~%41:x@h/", NULL, "http://!$&'()*+,-.~%41:x@h/"},
        {"http://\xc3\xa9:\xff@h/", NULL, "http://%C3%A9:%EF%BF%BD@h/"},
        {"http://h/u@v", NULL, "http://h/u@v"},
        // the host missing after the userinfo
        {"http://@/x", NULL, "!failure"},
        {"http://u@/x", NULL, "!failure"},
        {"http://u:p@", NULL, "!failure"},
        {"http://u@:80/", NULL, "!failure"},
        // ports: digits only, at most 65535, the default dropped
        {"http://h:80/", NULL, "http://h/"},
        {"https://h:443/", NULL, "https://h/"},
        {"http://h:443/", NULL, "http://h:443/"},
        {"https://h:80/", NULL, "https://h:80/"},
        {"http://h:0/", NULL, "http://h:0/"},
        {"http://h:65535", NULL, "http://h:65535/"},
        {"http://h:000080/", NULL, "http://h/"},
        {"http://h:08080?q", NULL, "http://h:8080/?q"},
        {"http://h:/", NULL, "http://h/"},
        {"http://h:\\x", NULL, "http://h/x"},
        {"http://h:65536/", NULL, "!failure"},
        {"http://h:99999999999999999999/", NULL, "!failure"},
        {"http://h:-1/", NULL, "!failure"},
        {"http://h:8a/", NULL, "!failure"},
        {"http://h: 80/", NULL, "!failure"},
        {"http://h:80:80/", NULL, "!failure"},
    };
    CHECK_ROWS(rows);
}

// The URL Standard's own host examples (its host parsing section), then the
// rest of the rules.
TEST(UrlParse, Hosts) {
    const Row rows[] = {
        {"http://EXAMPLE.COM/", NULL, "http://example.com/"},
        {"http://example%2Ecom/", NULL, "http://example.com/"},
        {"http://0/", NULL, "http://0.0.0.0/"},
        {"http://%30/", NULL, "http://0.0.0.0/"},
        {"http://0x/", NULL, "http://0.0.0.0/"},
        {"http://0xffffffff1/", NULL, "!failure"},
        {"http://[0:0::1]/", NULL, "http://[::1]/"},
        {"http://[0:0::1%5D/", NULL, "!failure"},
        {"http://[0:0::%31]/", NULL, "!failure"},
        {"http://09/", NULL, "!failure"},
        {"http://example.255/", NULL, "!failure"},
        {"http://example^example/", NULL, "!failure"},
        // domains: trailing dot and empty labels kept, percent-decoded
        {"http://h.example./", NULL, "http://h.example./"},
        {"http://a..b/", NULL, "http://a..b/"},
        {"http://%41%62/", NULL, "http://ab/"},
        {"http://!$&'()*+,;=_`{}~\"/", NULL, "http://!$&'()*+,;=_`{}~\"/"},
        // forbidden domain code points, as written or percent-encoded
        {"http://a b/", NULL, "!failure"},
        {"http://a<b/", NULL, "!failure"},
        {"http://a%b/", NULL, "!failure"},
        {"http://a%25b/", NULL, "!failure"},
        {"http://a%00b/", NULL, "!failure"},
        {"http://a%2Fb/", NULL, "!failure"},
        {"http://a\x7f" "b/", NULL, "!failure"},
        {"http://a|b/", NULL, "!failure"},
        {"http://a]b/", NULL, "!failure"},
        {"http://%5B::1]/", NULL, "!failure"},
        // IPv4 in every form: decimal, hex, octal, one to four parts
        {"http://192.168.0.1/", NULL, "http://192.168.0.1/"},
        {"http://0xC0.0xa8.0.1/", NULL, "http://192.168.0.1/"},
        {"http://0300.0250.00.01/", NULL, "http://192.168.0.1/"},
        {"http://3232235521/", NULL, "http://192.168.0.1/"},
        {"http://192.11010049/", NULL, "http://192.168.0.1/"},
        {"http://192.168.1/", NULL, "http://192.168.0.1/"},
        {"http://0x7f.1/", NULL, "http://127.0.0.1/"},
        {"http://1.2.3.4./", NULL, "http://1.2.3.4/"},
        {"http://0x.0X.0/", NULL, "http://0.0.0.0/"},
        {"http://4294967295/", NULL, "http://255.255.255.255/"},
        {"http://4294967296/", NULL, "!failure"},
        {"http://0x100000000/", NULL, "!failure"},
        {"http://1.2.3.256/", NULL, "!failure"},
        {"http://256.1.1.1/", NULL, "!failure"},
        {"http://1.2.65536/", NULL, "!failure"},
        {"http://1.2.3.4.5/", NULL, "!failure"},
        {"http://1.2.3.09/", NULL, "!failure"},
        {"http://1..2/", NULL, "!failure"},
        {"http://a.0x/", NULL, "!failure"},
        {"http://a.1/", NULL, "!failure"},
        // not ending in a number: a domain
        {"http://1.2.3.4.com/", NULL, "http://1.2.3.4.com/"},
        {"http://0x7g/", NULL, "http://0x7g/"},
        {"http://1.2.3.4..", NULL, "http://1.2.3.4../"},
        // IPv6: shortest form, lower case, the first longest zero run
        {"http://[::1]:8080/", NULL, "http://[::1]:8080/"},
        {"http://[0:0:0:0:0:0:0:1]/", NULL, "http://[::1]/"},
        {"http://[2001:DB8::1]/", NULL, "http://[2001:db8::1]/"},
        {"http://[1:0:0:2:0:0:0:3]/", NULL, "http://[1:0:0:2::3]/"},
        {"http://[1:0:0:2:0:0:3:4]/", NULL, "http://[1::2:0:0:3:4]/"},
        {"http://[0:1:0:1:0:1:0:1]/", NULL, "http://[0:1:0:1:0:1:0:1]/"},
        {"http://[1::]/", NULL, "http://[1::]/"},
        {"http://[::]/", NULL, "http://[::]/"},
        {"http://[0001:002:03:4::]/", NULL, "http://[1:2:3:4::]/"},
        {"http://[::ffff:192.168.0.1]/", NULL, "http://[::ffff:c0a8:1]/"},
        {"http://[1:2:3:4:5:6:1.2.3.4]/", NULL, "http://[1:2:3:4:5:6:102:304]/"},
        {"http://[\t::1\n]/", NULL, "http://[::1]/"},
        {"http://[/", NULL, "!failure"},
        {"http://[::1/", NULL, "!failure"},
        {"http://[]/", NULL, "!failure"},
        {"http://[:]/", NULL, "!failure"},
        {"http://[:1]/", NULL, "!failure"},
        {"http://[1:]/", NULL, "!failure"},
        {"http://[1:2:3:4:5:6:7:8:9]/", NULL, "!failure"},
        {"http://[1:2:3:4:5:6:7]/", NULL, "!failure"},
        {"http://[1::2::3]/", NULL, "!failure"},
        {"http://[12345::]/", NULL, "!failure"},
        {"http://[::g]/", NULL, "!failure"},
        {"http://[::1.2.3]/", NULL, "!failure"},
        {"http://[::1.2.3.4.5]/", NULL, "!failure"},
        {"http://[::01.2.3.4]/", NULL, "!failure"},
        {"http://[::256.0.0.1]/", NULL, "!failure"},
        {"http://[::.1.2.3]/", NULL, "!failure"},
        {"http://[1:2:3:4:5:6:7:1.2.3.4]/", NULL, "!failure"},
        {"http://[::1]x/", NULL, "!failure"},
        {"http://[::1]:x/", NULL, "!failure"},
        // non-ASCII text that is not a name: broken UTF-8, U+FFFD
        {"http://\xff.example/", NULL, "!failure"},
        {"http://%FF.example/", NULL, "!failure"},
        {"http://\xef\xbf\xbd/", NULL, "!failure"},
    };
    CHECK_ROWS(rows);
}

// True when the platform's IDNA maps as UTS #46 does (Windows), false with
// the native build's plain punycode stand-in: full-width "Ｇｏ" is "go".
bool MapsLikeUts46() {
    const WCHAR fullWidth[] = {0xFF27, 0xFF4F};
    WCHAR out[16];
    int n = DomainToAscii(fullWidth, 2, out, 16);
    return n == 2 && out[0] == 'g' && out[1] == 'o';
}

TEST(UrlParse, InternationalNames) {
    // The same on Windows and with the stand-in: valid labels, no mapping.
    const Row rows[] = {
        {"http://b\xc3\xbc" "cher.example/", NULL, "http://xn--bcher-kva.example/"},
        {"http://B\xc3\xbc" "CHER.Example/", NULL, "http://xn--bcher-kva.example/"},
        {"http://b%C3%BC" "cher.example/", NULL, "http://xn--bcher-kva.example/"},
        {"http://\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xbd\xa0\xe5\xa5\xbd/", NULL, "http://xn--6qqa088eba/"},
        {"http://xn--bcher-kva.example/", NULL, "http://xn--bcher-kva.example/"},
        {"http://XN--BCHER-KVA.example/", NULL, "http://xn--bcher-kva.example/"},
        {"http://\xc3\xbc.1/", NULL, "!failure"},
        {"http://xn--/", NULL, "!failure"},
        {"http://a.XN--/", NULL, "!failure"},
    };
    CHECK_ROWS(rows);
    // Where UTS #46 maps and the stand-in does not.
    // Where UTS #46 maps and the stand-in does not; an "xn--" label that
    // decodes to code points UTS #46 would map (circled digits) is refused.
    const Row mapped[] = {
        {"http://\xef\xbc\xa7\xef\xbd\x8f.com/", NULL, "http://go.com/"},
        {"http://www.foo\xe3\x80\x82" "bar.com/", NULL, "http://www.foo.bar.com/"},
        {"http://a%C2%ADb/", NULL, "http://ab/"},
        {"http://a.b.c.xn--pokxncvks/", NULL, "!failure"},
    };
    const Row plain[] = {
        {"http://\xef\xbc\xa7\xef\xbd\x8f.com/", NULL, "http://xn--vh7cwc.com/"},
        {"http://www.foo\xe3\x80\x82" "bar.com/", NULL, "http://www.xn--foobar-rr3e.com/"},
        {"http://a%C2%ADb/", NULL, "http://xn--ab-5da/"},
        {"http://a.b.c.xn--pokxncvks/", NULL, "http://a.b.c.xn--pokxncvks/"},
    };
    if (MapsLikeUts46()) {
        CHECK_ROWS(mapped);
    } else {
        CHECK_ROWS(plain);
    }
}

TEST(UrlParse, PathQueryFragment) {
    const Row rows[] = {
        // single- and double-dot segments, never above the root
        {"http://h/a/./b", NULL, "http://h/a/b"},
        {"http://h/a/../b", NULL, "http://h/b"},
        {"http://h/a/b/..", NULL, "http://h/a/"},
        {"http://h/a/b/.", NULL, "http://h/a/b/"},
        {"http://h/..", NULL, "http://h/"},
        {"http://h/../../x", NULL, "http://h/x"},
        {"http://h/a/%2e%2E/b", NULL, "http://h/b"},
        {"http://h/a/.%2e", NULL, "http://h/"},
        {"http://h/a/%2E./b", NULL, "http://h/b"},
        {"http://h/a/%2e/b", NULL, "http://h/a/b"},
        {"http://h/a/..b/.../.b", NULL, "http://h/a/..b/.../.b"},
        {"http://h/a/%2e%2", NULL, "http://h/a/%2e%2"},
        {"http://h//../x", NULL, "http://h/x"},
        {"http://h/a/..?q", NULL, "http://h/?q"},
        {"http://h/a/.#f", NULL, "http://h/a/#f"},
        {"http://h\\a\\..\\b\\", NULL, "http://h/b/"},
        // the path set; existing escapes kept as written
        {"http://h/ \"<>`{}^#", NULL, "http://h/%20%22%3C%3E%60%7B%7D%5E#"},
        {"http://h/!$&'()*+,;=:@|[]~%", NULL, "http://h/!$&'()*+,;=:@|[]~%"},
        {"http://h/%41%2f%zz%", NULL, "http://h/%41%2f%zz%"},
        {"http://h/\x01\x7f\xc3\xa9", NULL, "http://h/%01%7F%C3%A9"},
        // the special-query set
        {"http://h?a b\"'<>", NULL, "http://h/?a%20b%22%27%3C%3E"},
        {"http://h/?`{}|^\\/?:@", NULL, "http://h/?`{}|^\\/?:@"},
        {"http://h/?\xe2\x82\xac", NULL, "http://h/?%E2%82%AC"},
        {"http://h/?", NULL, "http://h/?"},
        {"http://h/?#", NULL, "http://h/?#"},
        // the fragment set
        {"http://h/#a b\"<>`", NULL, "http://h/#a%20b%22%3C%3E%60"},
        {"http://h/#'{}|^#?\\", NULL, "http://h/#'{}|^#?\\"},
        {"http://h/#\xe2\x82\xac\x01x", NULL, "http://h/#%E2%82%AC%01x"},
        // broken UTF-8 reads as U+FFFD, only the bytes that fitted consumed
        {"http://h/\xc3", NULL, "http://h/%EF%BF%BD"},
        {"http://h/\xe2\x82x", NULL, "http://h/%EF%BF%BDx"},
        {"http://h/\xc0\x80", NULL, "http://h/%EF%BF%BD%EF%BF%BD"},
        {"http://h/\xed\xa0\x80", NULL, "http://h/%EF%BF%BD%EF%BF%BD%EF%BF%BD"},
        {"http://h/\xf4\x90\x80\x80", NULL,
         "http://h/%EF%BF%BD%EF%BF%BD%EF%BF%BD%EF%BF%BD"},
        {"http://h/\xe2\x82\t\xac", NULL, "http://h/%EF%BF%BD%EF%BF%BD"},
        {"http://h/\xf0\x9f\x92\xa9", NULL, "http://h/%F0%9F%92%A9"},
    };
    CHECK_ROWS(rows);
}

TEST(UrlParse, ReferencesAgainstBases) {
    const char* b = "http://u:p@h:8080/a/b/c?q#f";
    const Row rows[] = {
        {"", b, "http://u:p@h:8080/a/b/c?q"},
        {" \t", b, "http://u:p@h:8080/a/b/c?q"},
        {"#x", b, "http://u:p@h:8080/a/b/c?q#x"},
        {"#", b, "http://u:p@h:8080/a/b/c?q#"},
        {"?y", b, "http://u:p@h:8080/a/b/c?y"},
        {"?", b, "http://u:p@h:8080/a/b/c?"},
        {"d", b, "http://u:p@h:8080/a/b/d"},
        {"d?x#y", b, "http://u:p@h:8080/a/b/d?x#y"},
        {"./d", b, "http://u:p@h:8080/a/b/d"},
        {".", b, "http://u:p@h:8080/a/b/"},
        {"..", b, "http://u:p@h:8080/a/"},
        {"../d", b, "http://u:p@h:8080/a/d"},
        {"../../../../d", b, "http://u:p@h:8080/d"},
        {"/d", b, "http://u:p@h:8080/d"},
        {"\\d", b, "http://u:p@h:8080/d"},
        {"/..", b, "http://u:p@h:8080/"},
        {":d", b, "http://u:p@h:8080/a/b/:d"},
        {"//g/x", b, "http://g/x"},
        {"\\\\g\\x", b, "http://g/x"},
        {"/\\g", b, "http://g/"},
        {"///g", b, "http://g/"},
        {"//v@g", b, "http://v@g/"},
        {"//", b, "!failure"},
        // the base's scheme written again: relative; another scheme: absolute
        {"http:d", b, "http://u:p@h:8080/a/b/d"},
        {"HTTP:/d", b, "http://u:p@h:8080/d"},
        {"http:?z", b, "http://u:p@h:8080/a/b/c?z"},
        {"http:", b, "http://u:p@h:8080/a/b/c?q"},
        {"http://g", b, "http://g/"},
        {"https:d", b, "https://d/"},
        {"https:", b, "!failure"},
        {"ftp:d", b, "!not-http"},
        {"mailto:x@y", b, "!not-http"},
        // no path beyond the root in the base
        {"d", "https://h", "https://h/d"},
        {"..", "https://h", "https://h/"},
        {"#f", "https://h:444", "https://h:444/#f"},
        {"?q", "http://[::1]/", "http://[::1]/?q"},
    };
    CHECK_ROWS(rows);
}

TEST(UrlParse, TheParts) {
    std::unique_ptr<Url> u = NewUrl();
    const char input[] = "HTTPS://us%41:p@ss@[::FFFF:1.2.3.4]:8443/a/../p q?x y#z";
    ASSERT_EQ(kUrlOk, ParseUrl(input, strlen(input), NULL, u.get()));
    EXPECT_STREQ("https://us%41:p%40ss@[::ffff:102:304]:8443/p%20q?x%20y#z", u->href);
    EXPECT_TRUE(u->secure);
    EXPECT_EQ("us%41", Text(*u, u->username));
    EXPECT_EQ("p%40ss", Text(*u, u->password));
    EXPECT_EQ("[::ffff:102:304]", Text(*u, u->host));
    EXPECT_EQ(kUrlIPv6, u->hostKind);
    const unsigned char v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 1, 2, 3, 4};
    EXPECT_EQ(0, memcmp(v6, u->address, 16));
    EXPECT_EQ(8443, u->port);
    EXPECT_EQ("/p%20q", Text(*u, u->path));
    EXPECT_TRUE(u->hasQuery);
    EXPECT_EQ("x%20y", Text(*u, u->query));
    EXPECT_TRUE(u->hasFragment);
    EXPECT_EQ("z", Text(*u, u->fragment));

    const char v4[] = "http://0x7f.1";
    ASSERT_EQ(kUrlOk, ParseUrl(v4, strlen(v4), NULL, u.get()));
    EXPECT_EQ(kUrlIPv4, u->hostKind);
    const unsigned char loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(0, memcmp(loopback, u->address, 4));
    EXPECT_EQ(-1, u->port);
    EXPECT_EQ(0u, u->username.length);
    EXPECT_EQ(0u, u->password.length);
    EXPECT_EQ("/", Text(*u, u->path));
    EXPECT_FALSE(u->hasQuery);
    EXPECT_FALSE(u->hasFragment);

    // A base and the URL may not be one object.
    EXPECT_EQ(kUrlFailure, ParseUrl("x", 1, u.get(), u.get()));
}

TEST(UrlParse, LengthLimit) {
    std::string head = "http://h/";
    std::string fits = head + std::string(kMaxHrefLength - head.size(), 'a');
    const Row rows[] = {
        {fits, NULL, fits},
        {fits + "a", NULL, "!too-long"},
        {fits + "\t\n", NULL, fits},
        {std::string(20000, ' ') + fits + std::string(20000, '\t'), NULL, fits},
        {head + std::string(kMaxHrefLength / 3, ' ') + "x", NULL, "!too-long"},
        {head + std::string(kMaxHrefLength / 9 + 1, '\xff'), NULL, "!too-long"},
        // a path that passed the limit on its way is refused, though ".." would shorten it
        {fits + "a/..", NULL, "!too-long"},
        // the base's part counts too
        {std::string(kMaxHrefLength - 8, 'b'), "http://h/", "!too-long"},
        {"http://" + std::string(kMaxHrefLength, 'h') + "/", NULL, "!too-long"},
        {"http://u" + std::string(kMaxHrefLength, '@') + "h/", NULL, "!too-long"},
        // a long host still fails on its own merits
        {"http://" + std::string(kMaxHrefLength - 9, 'h') + "/", NULL,
         "http://" + std::string(kMaxHrefLength - 9, 'h') + "/"},
    };
    CHECK_ROWS(rows);
}

// Every prefix of a rich URL, and every one-byte corruption of it, gives one
// of the four answers; each href it gives parses to itself (Parse checks).
TEST(UrlParse, TruncationLadders) {
    const std::string rich[] = {
        "HTTPS://us@er:p%41ss@Ex\tample.COM:8443/a/./b/../%2e%2E/c?q=1 2#frag ment",
        "http://[::ffff:192.168.0.1]:80/\xc3\xa9\xff?\xe2\x82",
        "http://b\xc3\xbc" "cher.example/p",
        "http://0x7f.0.0.1\\a\\..\\b",
    };
    const char nasty[] = {'\0', '/', '\\', ':', '@', '[', ']', '%', '.', '#', '?', '\xff'};
    for (const std::string& url : rich) {
        for (size_t n = 0; n <= url.size(); ++n) {
            std::string answer = Parse(url.substr(0, n));
            EXPECT_FALSE(answer.empty()) << url.substr(0, n);
            Parse(url.substr(0, n), "http://base.example/x/y");
        }
        for (size_t i = 0; i < url.size(); ++i) {
            for (char c : nasty) {
                std::string bad = url;
                bad[i] = c;
                Parse(bad);
            }
        }
    }
}

TEST(PercentDecode, IntoABufferThatRefusesWhatDoesNotFit) {
    const struct {
        std::string in;
        size_t capacity;
        std::string out;  // "refused" for kPercentDecodeRefused
    } rows[] = {
        {"a%20b", 16, "a b"},
        {"%41%62%7e", 16, "Ab~"},
        {"100%", 16, "100%"},
        {"%4", 16, "%4"},
        {"%zz%4g", 16, "%zz%4g"},
        {"%%41", 16, "%A"},
        {"%C3%A9", 16, "\xc3\xa9"},
        {"", 1, ""},
        {"a%20b", 4, "a b"},
        {"a%20b", 3, "refused"},
        {"abc", 3, "refused"},
        {"", 0, "refused"},
    };
    for (const auto& row : rows) {
        char out[16] = "untouched";
        size_t n = PercentDecode(row.in.data(), row.in.size(), out, row.capacity);
        std::string got = n == kPercentDecodeRefused ? "refused" : std::string(out, n);
        EXPECT_EQ(row.out, got) << row.in << " into " << row.capacity;
        if (n != kPercentDecodeRefused) {
            EXPECT_EQ('\0', out[n]);
        } else if (row.capacity > 0) {
            EXPECT_STREQ("", out);
        }
    }
    char same[] = "a%00b%2";
    EXPECT_EQ(5u, PercentDecode(same, strlen(same), same, sizeof same));
    EXPECT_EQ(0, memcmp("a\0b%2", same, 6));
}

}  // namespace
