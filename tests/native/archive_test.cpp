// The three archive entry points over memory images and files, against a
// scripted loopback server that serves "/<n>" with n bytes and a date, and
// fails everything else with 404.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "plugin/spi.h"
#include "cache/index.h"
#include "tests/native/cache_reset.h"
#include "tests/support/loopback_server.h"

namespace {

const char kDate[] = "Sun, 06 Nov 1994 08:49:37 GMT";
const int32_t kStamp = 784111777;
const unsigned kMemory = 1;
const unsigned kToMemory = 0x100;

std::string BodyOf(size_t n) {
    std::string b(n, '\0');
    for (size_t i = 0; i < n; ++i) b[i] = (char)('a' + i % 26);
    return b;
}

// A path whose last segment starts with digits gives that many bytes, with a
// date unless the path starts "/nodate".
std::string Serve(const std::string& request) {
    size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    bool dated = path.compare(0, 7, "/nodate") != 0;
    const char* digits = path.c_str() + path.rfind('/') + 1;
    if (*digits < '0' || *digits > '9') return "HTTP/1.0 404 Not Found\r\n\r\nnot here";
    std::string head = "HTTP/1.0 200 OK\r\n";
    if (dated) head += std::string("Last-Modified: ") + kDate + "\r\n";
    return head + "\r\n" + BodyOf((size_t)atol(digits));
}

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override { blocks_ = stub::LiveBlocks(); }
    void TearDown() override { EXPECT_EQ(blocks_, BlocksOutsideTheCache()) << "blocks leaked"; }
    std::string U(const std::string& path) { return server_.Url(path); }

    // Lists a memory image; returns the code and the records before the end record.
    int List(const std::string& doc, std::vector<fileInfo>* out) {
        HLOCAL h = reinterpret_cast<HLOCAL>(0x99);
        int rc = GetArchiveInfo(doc.data(), (long)doc.size(), kMemory, &h);
        if (rc != 0) {
            EXPECT_EQ(nullptr, h) << "a failed listing leaves NULL for the host";
            return rc;
        }
        size_t n = LocalSize(h) / sizeof(fileInfo);
        EXPECT_EQ(0u, LocalSize(h) % sizeof(fileInfo));
        const fileInfo* r = static_cast<const fileInfo*>(LocalLock(h));
        fileInfo zero;
        memset(&zero, 0, sizeof zero);
        EXPECT_EQ(0, memcmp(&r[n - 1], &zero, sizeof zero)) << "end record not all zero";
        out->assign(r, r + n - 1);
        LocalFree(h);
        return rc;
    }

    LoopbackServer server_{Serve};
    long blocks_ = 0;
};

TEST_F(ArchiveTest, ListingRecordsFollowTheLines) {
    std::string l1 = U("/x/10");
    std::string l2 = U("/nodate/20");
    std::string l3 = U("/300");
    std::string doc = l1 + "\r\n" + l2 + "\r\n" + l3 + "\r\n";
    std::vector<fileInfo> r;
    ASSERT_EQ(0, List(doc, &r));
    ASSERT_EQ(3u, r.size());
    struct Row {
        uint32_t position, size;
        int32_t timestamp;
        const char* name;
    } rows[] = {
        {0, 10, kStamp, "10"},
        {(uint32_t)(l1.size() + 2), 20, -1, "20"},
        {(uint32_t)(l1.size() + l2.size() + 4), 300, kStamp, "300"},
    };
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_STREQ("YKTPK", r[i].method) << i;
        EXPECT_EQ(rows[i].position, r[i].position) << i;
        EXPECT_EQ(rows[i].size, r[i].filesize) << i;
        EXPECT_EQ(rows[i].size, r[i].compsize) << i;
        EXPECT_EQ(rows[i].timestamp, r[i].timestamp) << i;
        EXPECT_STREQ("", r[i].path) << i;
        EXPECT_STREQ(rows[i].name, r[i].filename) << i;
        EXPECT_EQ(0u, r[i].crc) << i;
    }
}

TEST_F(ArchiveTest, ListingCodesForEachKindOfDocument) {
    std::string port = std::to_string(UnusedLoopbackPort());
    struct Row {
        const char* what;
        std::string doc;
        int code;
        size_t records;
    } rows[] = {
        {"no address", "just text\r\nmore\r\n", 0, 0},
        {"empty image", "", 0, 0},
        {"blank line between", U("/1") + "\r\n\r\n" + U("/2"), 6, 0},
        {"two addresses on one line", U("/1") + " " + U("/2") + "\r\n", 6, 0},
        {"LF line ends", U("/1") + "\n" + U("/2") + "\n", 0, 2},
        {"CR line ends", U("/1") + "\r" + U("/2"), 0, 2},
        {"no final line end", U("/1") + "\r\n" + U("/2"), 0, 2},
        {"text after the last address", U("/1") + "\r\nthe end\r\n", 0, 1},
        {"unreachable member", U("/1") + "\r\nhttp://127.0.0.1:" + port + "/5\r\n" + U("/3"), 0, 3},
    };
    for (const Row& r : rows) {
        std::vector<fileInfo> got;
        EXPECT_EQ(r.code, List(r.doc, &got)) << r.what;
        EXPECT_EQ(r.records, got.size()) << r.what;
    }
}

TEST_F(ArchiveTest, FailedMemberShowsSizeAndTimestampZero) {
    std::string port = std::to_string(UnusedLoopbackPort());
    std::string doc = U("/7") + "\r\nhttp://127.0.0.1:" + port + "/5\r\n" + U("/missing") + "\r\n" +
                      "http://127.0.0.1/" + std::string(4100, 'z') + "\r\n";
    std::vector<fileInfo> r;
    ASSERT_EQ(0, List(doc, &r));
    ASSERT_EQ(4u, r.size());
    EXPECT_EQ(7u, r[0].filesize);
    EXPECT_EQ(kStamp, r[0].timestamp);
    EXPECT_EQ(0u, r[1].filesize);
    EXPECT_EQ(0, r[1].timestamp) << "previous member's date leaked into a failed one";
    EXPECT_EQ(8u, r[2].filesize) << "a 404 page is the content";
    EXPECT_EQ(0u, r[3].filesize) << "an address longer than 4095 is never fetched";
    EXPECT_EQ(199u, strlen(r[3].filename));
}

TEST_F(ArchiveTest, LookupFindsTheFirstMatchByExactName) {
    std::string doc = U("/a/12") + "\r\n" + U("/b/12") + "\r\n" + U("/34");
    struct Row {
        const char* name;
        int code;
        uint32_t position;
        uint32_t size;
    } rows[] = {
        {"12", 0, 0, 12},
        {"34", 0, (uint32_t)(doc.size() - U("/34").size()), 34},
        {"missing", 6, 0, 0},
        {"", 6, 0, 0},
    };
    for (const Row& r : rows) {
        fileInfo info;
        memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(r.code, GetFileInfo(doc.data(), (long)doc.size(), r.name, kMemory, &info)) << r.name;
        if (r.code != 0) continue;
        EXPECT_EQ(0, memcmp(info.method, "YKTPK", 6));
        EXPECT_EQ(0x5A, (unsigned char)info.method[6]) << "bytes past the method's NUL are left alone";
        EXPECT_EQ(r.position, info.position) << r.name;
        EXPECT_EQ(r.size, info.filesize) << r.name;
        EXPECT_EQ(kStamp, info.timestamp);
        EXPECT_EQ('\0', info.path[0]);
        EXPECT_EQ(0x5A, (unsigned char)info.path[1]);
        EXPECT_STREQ(r.name, info.filename);
        EXPECT_EQ(0x5A, (unsigned char)info.filename[strlen(r.name) + 1]);
    }
}

TEST_F(ArchiveTest, LookupRefusalsGiveSix) {
    std::string port = std::to_string(UnusedLoopbackPort());
    struct Row {
        const char* what;
        std::string doc;
        const char* name;
    } rows[] = {
        {"empty line named index.html first", U("/p.png") + "\r\n\r\n" + U("/dir/"), "index.html"},
        {"case matters", U("/pic.jpg"), "PIC.JPG"},
        {"unreachable member", "http://127.0.0.1:" + port + "/1", "1"},
        {"empty image", "", "x"},
    };
    for (const Row& r : rows) {
        fileInfo info;
        EXPECT_EQ(6, GetFileInfo(r.doc.data(), (long)r.doc.size(), r.name, kMemory, &info)) << r.what;
    }
}

TEST_F(ArchiveTest, LookupUsesTheNameAsTheRecordShowsIt) {
    std::string longName(230, 'n');
    std::string doc = U("/5?q=") + longName;
    fileInfo info;
    EXPECT_EQ(6, GetFileInfo(doc.data(), (long)doc.size(), longName.c_str(), kMemory, &info));
    std::string cut = longName.substr(0, 199);
    ASSERT_EQ(0, GetFileInfo(doc.data(), (long)doc.size(), cut.c_str(), kMemory, &info));
    EXPECT_EQ(cut, info.filename);
}

TEST_F(ArchiveTest, ExtractionHandsOverExactlyTheBody) {
    struct Row {
        size_t size;
    } rows[] = {{0}, {3}, {2047}, {2048}, {2049}, {300000}};
    for (const Row& r : rows) {
        std::string doc = U("/" + std::to_string(r.size)) + "\r\nnext line is not read";
        HLOCAL h = NULL;
        ASSERT_EQ(0, GetFile(doc.data(), (long)doc.size(), reinterpret_cast<char*>(&h),
                             kMemory | kToMemory, NULL, 0))
            << r.size;
        EXPECT_EQ(r.size, LocalSize(h));
        EXPECT_TRUE(std::string(static_cast<const char*>(LocalLock(h)), r.size) == BodyOf(r.size));
        LocalFree(h);
    }
}

TEST_F(ArchiveTest, ExtractionRefusals) {
    std::string port = std::to_string(UnusedLoopbackPort());
    struct Row {
        const char* what;
        std::string doc;
        unsigned flag;
        int code;
    } rows[] = {
        {"text before the address", "x" + U("/1"), kMemory | kToMemory, 3},
        {"middle of an address", U("/1").substr(1), kMemory | kToMemory, 3},
        {"too short for http://", "http:/", kMemory | kToMemory, 3},
        {"upper-case scheme is not a member start", "HTTP" + U("/1").substr(4), kMemory | kToMemory, 3},
        {"unreachable", "http://127.0.0.1:" + port + "/1", kMemory | kToMemory, 6},
        {"longer than 4095", "http://127.0.0.1/" + std::string(4090, 'a'), kMemory | kToMemory, 6},
        {"unknown output kind", U("/1"), kMemory | 0x200, -1},
        {"another unknown output kind", U("/1"), kMemory | 0x700, -1},
    };
    for (const Row& r : rows) {
        HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
        EXPECT_EQ(r.code, GetFile(r.doc.data(), (long)r.doc.size(), reinterpret_cast<char*>(&h), r.flag,
                                  NULL, 0))
            << r.what;
        // A failed memory output leaves NULL; another output kind has no handle.
        bool memoryOut = (r.flag & 0x700) == kToMemory;
        EXPECT_EQ(memoryOut ? nullptr : reinterpret_cast<HLOCAL>(0x77), h) << r.what;
    }
}

std::string ReadFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

// The names in `dir`, one a line, sorted, dot files included.
std::string ListDir(const std::string& dir) {
    std::string listing;
    FILE* p = popen(("ls -A " + dir).c_str(), "r");
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) listing.append(buf, n);
    pclose(p);
    return listing;
}

TEST_F(ArchiveTest, FileOutputWritesTheMemberIntoTheDirectory) {
    char tmpl[] = "/tmp/kesta-out-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string dir = tmpl;
    // Files of the user's whose names a temporary file could once take.
    const char* const kUsersFiles[] = {"5.kesta-part", "~"};
    for (const char* name : kUsersFiles) {
        FILE* f = fopen((dir + "/" + name).c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fputs("the user's", f);
        fclose(f);
    }
    struct Row {
        const char* what;
        std::string path;   // the address's path
        std::string file;   // the file expected in dir, "" for none
        int code;
    } rows[] = {
        {"plain name", "/a/5", "5", 0},
        {"replaces an existing file", "/b/5", "5", 0},
        {"query value name", "/300?id=300", "300", 0},
        {"empty body", "/0", "0", 0},
        {"a bar in the name becomes _", "/7|x", "7_x", 0},
        {"a star in the name becomes _", "/7*", "7_", 0},
        {"device name", "/7/../CON", "", 8},
    };
    for (const Row& r : rows) {
        std::string doc = U(r.path);
        EXPECT_EQ(r.code, GetFile(doc.data(), (long)doc.size(), &dir[0], kMemory, NULL, 0)) << r.what;
        if (r.code == 0) {
            std::string name = r.file;
            EXPECT_EQ(BodyOf((size_t)atol(name.c_str())), ReadFile(dir + "/" + name)) << r.what;
        }
    }
    // Nothing else is left behind: no partial files, nothing for refused names.
    std::string listing = ListDir(dir);
    EXPECT_EQ("0\n300\n5\n5.kesta-part\n7_\n7_x\n~\n", listing);
    for (const char* name : kUsersFiles) EXPECT_EQ("the user's", ReadFile(dir + "/" + name));
    std::string missingDir = dir + "/no/such/dir";
    std::string doc = U("/5");
    EXPECT_EQ(8, GetFile(doc.data(), (long)doc.size(), &missingDir[0], kMemory, NULL, 0));
    system(("rm -rf " + dir).c_str());
}

int __stdcall CancelAtThirdCall(int, int, LONG_PTR datum) { return ++*reinterpret_cast<int*>(datum) >= 3; }

// File output streams the body into its file as it arrives: a member far
// larger than the blocks the fetch keeps is written whole with a few MiB
// held; one that fails, is cut short or cancelled leaves the old file whole
// and no other; a redirect's target is what is written.
TEST_F(ArchiveTest, FileOutputStreamsTheBodyAndKeepsTheOldFileOnFailure) {
    const std::string big = BodyOf(24 << 20);
    auto script = [&](SOCKET c, const std::string& request) {
        std::string path = LoopbackServer::PathOf(request);
        std::string ok = "HTTP/1.0 200 OK\r\n";
        if (path == "/big") {
            LoopbackServer::SendAll(c, ok + "Content-Length: " + std::to_string(big.size()) + "\r\n\r\n");
            for (size_t at = 0; at < big.size(); at += 1 << 20) LoopbackServer::SendAll(c, big.substr(at, 1 << 20));
        } else if (path == "/short") {
            LoopbackServer::SendAll(c, ok + "Content-Length: 5000\r\n\r\n" + BodyOf(100));
        } else if (path == "/moved") {
            LoopbackServer::SendAll(c, "HTTP/1.0 302 Found\r\nLocation: /target\r\n\r\nnot this");
        } else if (path == "/target") {
            LoopbackServer::SendAll(c, ok + "\r\n" + BodyOf(777));
        } else if (path == "/slow") {
            LoopbackServer::SendAll(c, ok + "\r\n" + BodyOf(10));
            LoopbackServer::WaitReadable(c, 3000);  // until the client gives up
        }
    };
    LoopbackServer server(script);
    server.ServeConcurrently();
    // The cache may keep the body as it streams, in a temporary file once
    // past its memory budget: the memory stays bounded either way.
    SetCacheBudgets(1 << 20, 64 << 20);
    char tmpl[] = "/tmp/kesta-stream-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string dir = tmpl;
    for (const char* old : {"short", "slow"}) {
        FILE* f = fopen((dir + "/" + old).c_str(), "wb");
        fputs("the old file", f);
        fclose(f);
    }
    struct Row {
        const char* path;
        bool cancel;
        int code;
        std::string file;  // the file's content afterwards
    } rows[] = {
        {"/big", false, 0, big},
        {"/short", false, 6, "the old file"},
        {"/moved", false, 0, BodyOf(777)},
        {"/slow", true, 1, "the old file"},
    };
    for (const Row& r : rows) {
        std::string doc = server.Url(r.path);
        int calls = 0;
        stub::ResetPeakBytes();
        int code = GetFile(doc.data(), (LONG_PTR)doc.size(), &dir[0], kMemory,
                           r.cancel ? CancelAtThirdCall : NULL, reinterpret_cast<LONG_PTR>(&calls));
        EXPECT_EQ(r.code, code) << r.path;
        EXPECT_LT(stub::PeakBytes(), 8u << 20) << r.path;
        EXPECT_TRUE(ReadFile(dir + "/" + (r.path + 1)) == r.file) << r.path;
    }
    std::string listing = ListDir(dir);
    EXPECT_EQ("big\nmoved\nshort\nslow\n", listing) << "no temporary file is left";
    system(("rm -rf " + dir).c_str());
}

// A destination path of 259 characters, the most Windows takes, is written:
// the temporary file beside it is never longer. One more character is refused.
TEST_F(ArchiveTest, FileOutputAtThePathLimit) {
    char tmpl[] = "/tmp/kesta-limit-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string name = "300";
    for (size_t extra : {0u, 1u}) {
        std::string dir = std::string(tmpl) + "/";
        dir += std::string(259 - dir.size() - 1 - name.size() + extra, 'd');
        ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
        std::string doc = U("/" + name);
        int code = GetFile(doc.data(), (LONG_PTR)doc.size(), &dir[0], kMemory, NULL, 0);
        EXPECT_EQ(extra ? 8 : 0, code) << dir.size() + 1 + name.size() << " characters";
        if (!extra) EXPECT_EQ(BodyOf(300), ReadFile(dir + "/" + name));
    }
    system((std::string("rm -rf ") + tmpl).c_str());
}

TEST_F(ArchiveTest, AllocationFailuresGiveFiveAndLeakNothing) {
    std::string doc = U("/10") + "\r\n" + U("/20");
    for (long allowed = 0; allowed < 6; ++allowed) {
        HLOCAL h = NULL;
        stub::FailAllocationsAfter(allowed);
        int rc = GetArchiveInfo(doc.data(), (long)doc.size(), kMemory, &h);
        stub::FailAllocationsAfter(-1);
        EXPECT_TRUE(rc == 0 || rc == 5) << allowed << ": " << rc;
        if (rc == 0) LocalFree(h);
    }
    std::string one = U("/3000");
    for (long allowed = 0; allowed < 6; ++allowed) {
        HLOCAL h = NULL;
        stub::FailAllocationsAfter(allowed);
        int rc = GetFile(one.data(), (long)one.size(), reinterpret_cast<char*>(&h), kMemory | kToMemory,
                         NULL, 0);
        stub::FailAllocationsAfter(-1);
        EXPECT_TRUE(rc == 0 || rc == 5 || rc == 6) << allowed << ": " << rc;
        if (rc == 0) LocalFree(h);
    }
}

TEST_F(ArchiveTest, NullArgumentsGiveCodes) {
    std::string doc = U("/1");
    fileInfo info;
    HLOCAL h = NULL;
    EXPECT_EQ(5, GetArchiveInfo(doc.data(), (long)doc.size(), kMemory, NULL));
    EXPECT_EQ(3, GetArchiveInfo(NULL, 10, kMemory, &h));
    EXPECT_EQ(6, GetArchiveInfo(NULL, 0, 0, &h));
    EXPECT_EQ(5, GetFileInfo(doc.data(), (long)doc.size(), "1", kMemory, NULL));
    EXPECT_EQ(6, GetFileInfo(doc.data(), (long)doc.size(), NULL, kMemory, &info));
    EXPECT_EQ(5, GetFile(doc.data(), (long)doc.size(), NULL, kMemory | kToMemory, NULL, 0));
    EXPECT_EQ(8, GetFile(doc.data(), (long)doc.size(), NULL, kMemory, NULL, 0));
    EXPECT_EQ(3, GetFile(NULL, 5, reinterpret_cast<char*>(&h), kMemory | kToMemory, NULL, 0));
}

}  // namespace
