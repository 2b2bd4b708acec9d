// Host names against a certificate's subject alternative names, by browsers'
// rules: wildcards only as a whole left-most label over two or more labels,
// IP addresses only against IP-address entries, no name without a list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/certname.h"

namespace {

struct Entry {
    bool ip;
    std::string bytes;
};

Entry Dns(const std::string& name) { return {false, name}; }
Entry Ip(std::initializer_list<unsigned char> b) { return {true, std::string(b.begin(), b.end())}; }

bool Names(const std::vector<Entry>& entries, const char* host) {
    std::vector<CertAltName> names;
    for (const Entry& e : entries) {
        names.push_back({e.ip, reinterpret_cast<const unsigned char*>(e.bytes.data()),
                         e.bytes.size()});
    }
    return CertNamesHost(names.data(), names.size(), host);
}

const Entry kLoopback4 = Ip({127, 0, 0, 1});
const Entry kLoopback6 = Ip({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

TEST(CertName, BrowsersRules) {
    const struct Row {
        const char* what;
        std::vector<Entry> names;
        const char* host;
        bool named;
    } rows[] = {
        {"exact", {Dns("example.com")}, "example.com", true},
        {"letters in any case", {Dns("Example.COM")}, "eXample.com", true},
        {"a final dot on the host", {Dns("example.com")}, "example.com.", true},
        {"a final dot on the entry", {Dns("example.com.")}, "example.com", true},
        {"another name", {Dns("example.com")}, "example.org", false},
        {"a longer host", {Dns("example.com")}, "www.example.com", false},
        {"the second entry", {Dns("a.test"), Dns("example.com")}, "example.com", true},
        {"wildcard, one label", {Dns("*.example.com")}, "a.example.com", true},
        {"wildcard, the bare domain", {Dns("*.example.com")}, "example.com", false},
        {"wildcard, two labels", {Dns("*.example.com")}, "a.b.example.com", false},
        {"wildcard, an empty label", {Dns("*.example.com")}, ".example.com", false},
        {"wildcard over one label", {Dns("*.com")}, "foo.com", false},
        {"wildcard inside a label", {Dns("f*.example.com")}, "foo.example.com", false},
        {"wildcard ending a label", {Dns("*oo.example.com")}, "foo.example.com", false},
        {"wildcard not left-most", {Dns("a.*.example.com")}, "a.b.example.com", false},
        {"a lone star", {Dns("*")}, "localhost", false},
        {"star dot", {Dns("*.")}, "a.", false},
        {"an empty entry", {Dns("")}, "example.com", false},
        {"a NUL inside the entry", {Dns(std::string("example.com\0.evil.test", 22))},
         "example.com", false},
        {"no list at all", {}, "example.com", false},
        {"an A-label", {Dns("xn--bcher-kva.example")}, "xn--bcher-kva.example", true},
        {"IPv4 entry", {kLoopback4}, "127.0.0.1", true},
        {"IPv4, another address", {kLoopback4}, "127.0.0.2", false},
        {"IPv4 named only as DNS", {Dns("127.0.0.1")}, "127.0.0.1", false},
        {"IPv4 under a DNS wildcard", {Dns("*.0.0.1")}, "127.0.0.1", false},
        {"IPv6 entry", {kLoopback6}, "::1", true},
        {"IPv6 written out", {kLoopback6}, "0:0:0:0:0:0:0:1", true},
        {"IPv6 against an IPv4 entry", {kLoopback4}, "::1", false},
        {"IPv6 named only as DNS", {Dns("::1")}, "::1", false},
        {"an IP entry for a host name", {kLoopback4}, "localhost", false},
        {"an empty host", {Dns("example.com")}, "", false},
    };
    for (const Row& r : rows) EXPECT_EQ(r.named, Names(r.names, r.host)) << r.what;
}

}  // namespace
