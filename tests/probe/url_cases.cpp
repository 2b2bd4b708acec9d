// url_cases: runs ParseUrl over cases read from standard input and prints one
// answer a line, for tools/url-conformance.py (natively and under Wine).
//
//   in:  <base as hex> <tab> <input as hex>      (an empty base: none)
//   out: ok <href as hex> | not-http | failure | too-long | bad-base
//
// Hex on both sides keeps NULs, controls and broken UTF-8 intact through
// pipes and code pages.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "url/url.h"

namespace {

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += (char)strtol(hex.substr(i, 2).c_str(), NULL, 16);
    }
    return bytes;
}

std::string ToHex(const char* s, size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < n; ++i) {
        hex += kHex[(unsigned char)s[i] >> 4];
        hex += kHex[(unsigned char)s[i] & 15];
    }
    return hex;
}

bool ReadLine(std::string* line) {
    line->clear();
    for (;;) {
        int c = getc(stdin);
        if (c == EOF) return !line->empty();
        if (c == '\n') return true;
        if (c != '\r') *line += (char)c;
    }
}

const char* Name(UrlOutcome outcome) {
    switch (outcome) {
        case kUrlOk: return "ok";
        case kUrlNotHttp: return "not-http";
        case kUrlFailure: return "failure";
        case kUrlTooLong: return "too-long";
    }
    return "?";
}

}  // namespace

int main() {
    static Url base, url;  // 16 KiB each: off the stack
    std::string line;
    while (ReadLine(&line)) {
        size_t tab = line.find('\t');
        std::string baseText = FromHex(line.substr(0, tab));
        std::string input = FromHex(tab == std::string::npos ? "" : line.substr(tab + 1));
        const Url* b = NULL;
        if (!baseText.empty()) {
            if (ParseUrl(baseText.data(), baseText.size(), NULL, &base) != kUrlOk) {
                printf("bad-base\n");
                continue;
            }
            b = &base;
        }
        UrlOutcome outcome = ParseUrl(input.data(), input.size(), b, &url);
        if (outcome == kUrlOk) {
            printf("ok %s\n", ToHex(url.href, url.length).c_str());
        } else {
            printf("%s\n", Name(outcome));
        }
    }
    return 0;
}
