// HttpFetch against a scripted loopback server: the request text, the split
// between header block and body, the dates, every failure's message, and
// that nothing is leaked or left half-written.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include <string>

#include "http/fetch.h"
#include "tests/native/fetch_text.h"
#include "tests/support/loopback_server.h"

namespace {

const char kUserAgent[] = "User-Agent: RUSKO Susie Plugin Http Client/1.0\r\n\r\n";
const char kDate1994[] = "Sun, 06 Nov 1994 08:49:37 GMT";
const int64_t k1994 = 784111777;

struct Fetched {
    int64_t result;
    std::string body;
    int64_t length;
    int64_t timestamp;
    size_t blockSize;
};

Fetched Fetch(const std::string& url) {
    Fetched f = {0, "", -7, -7, 0};
    HLOCAL body = NULL;
    f.result = HttpFetch(url.c_str(), &body, &f.length, &f.timestamp);
    if (f.result >= 0) {
        f.body.assign(static_cast<const char*>(LocalLock(body)), (size_t)f.result);
        f.blockSize = LocalSize(body);
        LocalFree(body);
    }
    return f;
}

std::string Show(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else out += (char)c;
    }
    return out;
}

TEST(FetchRequest, TextIsExactForEveryAddressForm) {
    LoopbackServer server("HTTP/1.0 200 OK\r\n\r\nok");
    std::string hostPort = "127.0.0.1:" + std::to_string(server.port());
    std::string longQuery = "/q?" + std::string(3000, 'k');
    struct Row {
        std::string url;
        std::string requestLine;  // "GET <path> HTTP/1.1"
        std::string host;
    } rows[] = {
        {"http://" + hostPort, "GET / HTTP/1.1", hostPort},
        {"http://" + hostPort + "/", "GET / HTTP/1.1", hostPort},
        {"http://" + hostPort + "/x?y=1", "GET /x?y=1 HTTP/1.1", hostPort},
        {"HTTP://" + hostPort + "/Pic.JPG", "GET /Pic.JPG HTTP/1.1", hostPort},
        {"hTtP://" + hostPort + "/a%20b", "GET /a%20b HTTP/1.1", hostPort},
        {"http://localhost:" + std::to_string(server.port()) + "/l",
         "GET /l HTTP/1.1", "localhost:" + std::to_string(server.port())},
        {"http://" + hostPort + longQuery, "GET " + longQuery + " HTTP/1.1", hostPort},
        {"http://" + hostPort + "/with space\" >", "GET /with%20space%22%20%3E HTTP/1.1", hostPort},
        {"http://LOCALHOST:" + std::to_string(server.port()) + "/x/../y", "GET /y HTTP/1.1",
         "localhost:" + std::to_string(server.port())},
    };
    for (const Row& r : rows) {
        size_t before = server.Requests().size();
        Fetched f = Fetch(r.url);
        ASSERT_EQ(2, f.result) << r.url;
        std::vector<std::string> got = server.Requests();
        ASSERT_EQ(before + 1, got.size());
        std::string expected = r.requestLine + "\r\nHost: " + r.host + "\r\n" + kUserAgent;
        EXPECT_EQ(Show(expected), Show(got.back())) << r.url;
    }
}

TEST(FetchRequest, PortIsDigitsOnlyAndNeverWraps) {
    LoopbackServer server("HTTP/1.0 200 OK\r\n\r\n");
    std::string port = std::to_string(server.port());
    // Leading zeros are read; a sign or letters are refused; 65536 + port
    // would wrap onto the server's port, and is refused before any connection.
    struct Row {
        std::string portText;
        bool fetched;
    } rows[] = {{"+" + port, false},
                {"0" + port, true},
                {port + "abc", false},
                {std::to_string(65536 + server.port()), false}};
    for (const Row& r : rows) {
        size_t before = server.Requests().size();
        Fetched f = Fetch("http://127.0.0.1:" + r.portText + "/p");
        std::string text = HttpLastError();
        if (!r.fetched) {
            EXPECT_EQ(-1, f.result) << r.portText;
            EXPECT_EQ(FetchText(kFetchBadParameter), text) << r.portText;
            EXPECT_EQ(before, server.Requests().size()) << r.portText;
            continue;
        }
        ASSERT_EQ(0, f.result) << r.portText;
        EXPECT_NE(std::string::npos, server.Requests().back().find("Host: 127.0.0.1:" + port + "\r\n"))
            << r.portText;
    }
}

TEST(FetchSplit, HeaderBlockEndsAtTheFirstBlankLine) {
    const std::string date = std::string("Date: ") + kDate1994;
    struct Row {
        const char* what;
        std::string response;
        std::string body;
    } rows[] = {
        {"CR LF header, body abc", "HTTP/1.0 200 OK\r\n" + date + "\r\n\r\nabc", "abc"},
        {"ends right after the blank line", "HTTP/1.0 200 OK\r\n" + date + "\r\n\r\n", ""},
        {"error page is the content", "HTTP/1.0 404 Not Found\r\n\r\n<h1>gone</h1>", "<h1>gone</h1>"},
        {"bare LF header, LF LF", "HTTP/1.0 200 OK\n" + date + "\n\nbody", "body"},
        {"bare LF header ending the response", "HTTP/1.0 200 OK\n" + date + "\n\n", ""},
        {"CR LF CR LF wins over a later LF LF", "HTTP/1.0 200 OK\r\n\r\nA\n\nB", "A\n\nB"},
        {"LF LF LF LF at the same position wins", "H\n\n\n\nbody", "body"},
        {"LF LF then one more LF", "H\n\n\nX", "\nX"},
        {"CR CR CR CR", "H\r\r\r\rb", "b"},
        {"LF CR LF CR", "H\n\r\n\rb", "b"},
        {"no blank line: all header", "HTTP/1.0 200 OK\r\nX: y", ""},
        {"four bytes, no blank line", "HTTP", ""},
        {"blank line at the very start", "\r\n\r\nxyz", "xyz"},
        {"binary body with NULs", std::string("H\r\n\r\n\0\x01\r\n\r\n\xFF", 12), std::string("\0\x01\r\n\r\n\xFF", 7)},
    };
    for (const Row& r : rows) {
        LoopbackServer server(r.response);
        Fetched f = Fetch(server.Url("/x"));
        EXPECT_EQ((int64_t)r.body.size(), f.result) << r.what;
        EXPECT_EQ((int64_t)r.body.size(), f.length) << r.what;
        EXPECT_EQ(Show(r.body), Show(f.body)) << r.what;
        EXPECT_EQ(r.body.size(), f.blockSize) << r.what;
    }
}

TEST(FetchSplit, LargeBodiesCrossManyBlocksIntact) {
    struct Row {
        size_t bodySize;
        size_t headerPad;  // bytes of an extra header field
    } rows[] = {{4096, 0}, {65536 - 19, 0}, {65536, 0}, {5 * 1024 * 1024 + 7, 0}, {1000, 70000}};
    for (const Row& r : rows) {
        std::string body(r.bodySize, '\0');
        for (size_t i = 0; i < body.size(); ++i) body[i] = (char)(i * 31 + i / 251);
        std::string header = "HTTP/1.0 200 OK\r\nX-Pad: " + std::string(r.headerPad, 'p') + "\r\n\r\n";
        LoopbackServer server(header + body);
        Fetched f = Fetch(server.Url("/big"));
        ASSERT_EQ((int64_t)body.size(), f.result) << r.bodySize;
        EXPECT_TRUE(f.body == body) << r.bodySize;
        // Asking for the length only gives the same answer without keeping the body.
        int64_t length = -1;
        int64_t ts = 5;
        EXPECT_EQ((int64_t)body.size(), HttpFetch(server.Url("/big").c_str(), NULL, &length, &ts));
        EXPECT_EQ((int64_t)body.size(), length);
        EXPECT_EQ(-1, ts);
    }
}

// A "Content-Length:" field frames the body (bytes past it are not body)
// but never sizes memory. A body that stops short of a valid announcement
// is a failed download, never a shorter success; an announcement that is
// not a number is none, and the body runs to the connection's end.
TEST(FetchSplit, AnnouncedLengthFramesTheBodyButNeverSizesMemory) {
    struct Row {
        const char* what;
        std::string field;  // the whole header line, without its CR LF
        size_t bodySize;
        bool inPieces;  // header first, then the body in small sends
        bool cutShort;  // a failed download: the body ends before its announced length
        size_t kept = (size_t)-1;  // the body's bytes when fewer than were sent
    } rows[] = {
        {"exact", "Content-Length: 300000", 300000, false, false},
        {"exact, body after the header", "Content-Length: 300000", 300000, true, false},
        {"exact, under the minimum block", "Content-Length: 10", 10, true, false},
        {"exact, at the minimum block", "Content-Length: 2048", 2048, true, false},
        {"body longer than announced: the announced part", "Content-Length: 1000", 300000, true,
         false, 1000},
        {"body one byte longer: the announced part", "Content-Length: 5000", 5001, true, false,
         5000},
        {"body one byte shorter", "Content-Length: 5000", 4999, true, true},
        {"body shorter than announced", "Content-Length: 300000", 1234, true, true},
        {"nothing of an announced body", "Content-Length: 70000", 0, true, true},
        {"announcement of nearly 2 GiB", "Content-Length: 2147000000", 5000, true, true},
        {"announcement of 1.5 GB, then 5 bytes", "Content-Length: 1500000000", 5, true, true},
        {"announcement beyond 63 bits is no announcement", "Content-Length: 99999999999999999999",
         5000, true, false},
        {"not a number", "Content-Length: many", 5000, true, false},
        {"negative", "Content-Length: -5", 5000, true, false},
        {"trailing garbage is no announcement", "Content-Length: 9000x", 5000, true, false},
        {"trailing blanks", "Content-Length: 5000 \t", 5000, true, false},
        {"trailing blanks, cut short", "Content-Length: 5001 \t", 5000, true, true},
        {"empty", "Content-Length:", 5000, true, false},
        {"lower case", "content-length: 5000", 5000, true, false},
        {"lower case, cut short", "content-length: 6000", 5000, true, true},
    };
    for (const Row& r : rows) {
        std::string body(r.bodySize, '\0');
        for (size_t i = 0; i < body.size(); ++i) body[i] = (char)(i * 7 + i / 509);
        std::string header = "HTTP/1.0 200 OK\r\n" + r.field + "\r\n\r\n";
        bool pieces = r.inPieces;
        LoopbackServer server([&](int c, const std::string&) {
            std::string all = header + body;
            size_t at = 0;
            while (at < all.size()) {
                size_t n = pieces ? (at == 0 ? header.size() : std::min<size_t>(all.size() - at, 65536))
                                  : all.size();
                ssize_t sent = send(c, all.data() + at, n, MSG_NOSIGNAL);
                if (sent <= 0) break;
                at += (size_t)sent;
                if (pieces) usleep(2000);
            }
        });
        long blocks = stub::LiveBlocks();
        stub::ResetPeakBytes();
        Fetched f = Fetch(server.Url("/cl"));
        if (r.cutShort) {
            EXPECT_EQ(-1, f.result) << r.what;
            std::string got = HttpLastError();
            EXPECT_EQ(FetchText(kFetchBodyTruncated), got) << r.what;
        } else {
            std::string kept = body.substr(0, r.kept);
            ASSERT_EQ((int64_t)kept.size(), f.result) << r.what << ": " << HttpLastError();
            EXPECT_TRUE(f.body == kept) << r.what;
            EXPECT_EQ(kept.size(), f.blockSize) << r.what;
        }
        EXPECT_EQ(blocks, stub::LiveBlocks()) << r.what;
        // Whatever is announced, the fetch never holds more than twice what
        // arrived and 16 MiB.
        EXPECT_LE(stub::PeakBytes(), 2 * (header.size() + body.size()) + (16u << 20)) << r.what;
    }
}

TEST(FetchDate, TimestampComesFromLastModifiedElseDate) {
    struct Row {
        const char* what;
        std::string header;
        int64_t timestamp;
    } rows[] = {
        {"Date only", std::string("Date: ") + kDate1994 + "\r\n", k1994},
        {"Last-Modified first", std::string("Last-Modified: ") + kDate1994 +
                                    "\r\nDate: Thu, 01 Jan 1970 00:00:10 GMT\r\n", k1994},
        {"Last-Modified after Date still wins", "Date: Thu, 01 Jan 1970 00:00:10 GMT\r\nLast-Modified: " +
                                                     std::string(kDate1994) + "\r\n", k1994},
        {"no date field", "Server: x\r\n", -1},
        {"empty Last-Modified hides Date", std::string("Last-Modified:\r\nDate: ") + kDate1994 + "\r\n", -1},
        {"unparsable date", "Date: yesterday\r\n", 0},
        {"before 1970", "Date: Wed, 31 Dec 1969 23:59:59 +0000\r\n", -1},
        {"folded value", "Date: Sun, 06 Nov\r\n  1994 08:49:37 GMT\r\n", k1994},
        {"lower-case name", std::string("last-modified: ") + kDate1994 + "\r\n", k1994},
        {"RFC 850 form", "Date: Sunday, 06-Nov-94 08:49:37 GMT\r\n", k1994},
        {"asctime form", "Date: Sun Nov  6 08:49:37 1994\r\n", k1994},
        {"field after the blank line is body", "X: y\r\n\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n", -1},
    };
    for (const Row& r : rows) {
        LoopbackServer server("HTTP/1.0 200 OK\r\n" + r.header + "\r\nbody");
        Fetched f = Fetch(server.Url("/d"));
        EXPECT_EQ(r.timestamp, f.timestamp) << r.what;
    }
}

TEST(FetchFailure, EachFailureHasItsMessageAndLeavesOutputsAlone) {
    LoopbackServer closesAtOnce("");
    LoopbackServer oneByte("H");
    LoopbackServer threeBytes("HTT");
    std::string port = std::to_string(UnusedLoopbackPort());
    struct Row {
        std::string url;
        FetchMessage message;
    } rows[] = {
        {"http://", kFetchBadParameter},
        {"http:/", kFetchBadParameter},
        {"", kFetchBadParameter},
        {"ftp://127.0.0.1/x", kFetchNotHttp},
        {"httpx://127.0.0.1/x", kFetchNotHttp},
        // an https: URL without its slashes is still one (and this build has no TLS)
        {"https:/127.0.0.1/x", kFetchTlsUnavailable},
        {"http://[::1/x", kFetchBadParameter},
        {"http://[::1]x/", kFetchBadParameter},
        {"http://" + std::string(256, 'h') + "/x", kFetchBadParameter},
        {"http://127.0.0.1:" + std::string(8, '1') + "/x", kFetchBadParameter},
        {"http://127.0.0.1:" + std::string(4089, '1'), kFetchBadParameter},
        {"http://127.0.0.1:" + port + "/refused", kFetchConnectFailed},
        {closesAtOnce.Url("/empty"), kFetchReceiveFailed},
        {oneByte.Url("/one"), kFetchReceiveFailed},
        {threeBytes.Url("/three"), kFetchReceiveFailed},
        // This build has no TLS: refused before any connection is made.
        {"https://127.0.0.1:" + std::to_string(oneByte.port()) + "/tls", kFetchTlsUnavailable},
    };
    for (const Row& r : rows) {
        HLOCAL body = reinterpret_cast<HLOCAL>(0x1234);
        int64_t length = 77;
        int64_t ts = 88;
        int before = stub::WsaStartups();
        long blocks = stub::LiveBlocks();
        EXPECT_EQ(-1, HttpFetch(r.url.c_str(), &body, &length, &ts)) << r.url.substr(0, 60);
        std::string got = HttpLastError();
        EXPECT_EQ(FetchText(r.message), got) << r.url.substr(0, 60);
        EXPECT_EQ(reinterpret_cast<HLOCAL>(0x1234), body);
        EXPECT_EQ(77, length);
        EXPECT_EQ(88, ts);
        // Winsock's start-up is the call's own, and so is its clean-up.
        EXPECT_EQ(before, stub::WsaStartups()) << r.url.substr(0, 60);
        EXPECT_EQ(blocks, stub::LiveBlocks()) << r.url.substr(0, 60);
    }
    EXPECT_EQ(-1, HttpFetch(NULL, NULL, NULL, NULL));
    std::string got = HttpLastError();
    EXPECT_EQ(FetchText(kFetchBadParameter), got);
}

TEST(FetchFailure, SuccessResetsTheMessage) {
    LoopbackServer server("HTTP/1.0 200 OK\r\n\r\n");
    HttpFetch("http://", NULL, NULL, NULL);
    EXPECT_EQ(0, HttpFetch(server.Url("/").c_str(), NULL, NULL, NULL));
    std::string got = HttpLastError();
    EXPECT_EQ(FetchText(kFetchOk), got);
}

TEST(FetchMemory, AllocationFailuresAreFailedDownloadsWithoutLeaks) {
    std::string big(300000, 'b');
    LoopbackServer plain("HTTP/1.0 200 OK\r\n\r\n" + big);
    // An announced length a little short of the body: the body is that long.
    LoopbackServer announced("HTTP/1.0 200 OK\r\nContent-Length: 299000\r\n\r\n" + big);
    // Each step lets one more allocation succeed: the first reception
    // block, the following ones, and finally the body block.
    for (long allowed = 0; allowed < 16; ++allowed) {
        LoopbackServer& server = allowed % 2 ? announced : plain;
        long blocks = stub::LiveBlocks();
        HLOCAL body = NULL;
        stub::FailAllocationsAfter(allowed / 2);
        int64_t r = HttpFetch(server.Url("/m").c_str(), &body, NULL, NULL);
        stub::FailAllocationsAfter(-1);
        if (r >= 0) {
            EXPECT_EQ(allowed % 2 ? 299000 : (int64_t)big.size(), r);
            LocalFree(body);
        } else {
            std::string got = HttpLastError();
            EXPECT_EQ(FetchText(kFetchReceiveFailed), got) << allowed;
        }
        EXPECT_EQ(blocks, stub::LiveBlocks()) << allowed;
    }
}

// The messages are Shift-JIS bytes; the readable texts here are UTF-8 and
// iconv gives the bytes they must have.
TEST(FetchMessages, AreTheShiftJisBytesOfTheTexts) {
    const char* texts[] = {
        "特に問題なし",           "不正なパラメータ\n",   "httpのURLではありません\n",
        "atexit(WSACleanup)失敗\n", "WinSockの初期化失敗\n", "Socket作成失敗\n",
        "ホストアドレス取得失敗\n", "サーバへの接続失敗\n", "サーバへの送信失敗\n",
        "サーバからの受信失敗\n", "ユーザによる中断\n",
        "このシステムではTLSが使えません\n", "TLSハンドシェイク失敗\n",
        "サーバ証明書が信頼できません\n", "サーバ証明書の名前が一致しません\n",
        "サーバ証明書の有効期間外\n", "TLSの受信データが不正\n",
        "リダイレクト先を拒否\n", "リダイレクトが多すぎます\n",
        "リダイレクト先のURLが長すぎます\n", "受信データがContent-Lengthより短い\n",
        "サーバの応答がタイムアウト\n", "ファイルの書き込み失敗\n", "TLSの終了通知なしに切断\n",
        "サーバ証明書の署名または鍵が弱すぎます\n", "チャンク形式の本文が不正または途中で終了\n",
    };
    ASSERT_EQ((int)(sizeof texts / sizeof texts[0]), (int)kFetchMessageCount);
    for (int i = 0; i < kFetchMessageCount; ++i) {
        std::string command = "printf '%s' '" + std::string(texts[i]) + "' | iconv -f UTF-8 -t CP932";
        FILE* p = popen(command.c_str(), "r");
        ASSERT_NE(nullptr, p);
        std::string expected;
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) expected.append(buf, n);
        ASSERT_EQ(0, pclose(p));
        EXPECT_EQ(Show(expected), Show(FetchText((FetchMessage)i))) << texts[i];
    }
}

}  // namespace
