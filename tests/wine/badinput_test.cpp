// Bad input that a viewer could pass to the plug-in: null pointers, offsets
// out of range, odd sources, huge lists and lines, addresses and names at
// their limits. Each call gives its code; on failure it leaves NULL in the
// handle it was given and the record untouched. The offset or length
// argument is pointer-sized (LONG_PTR): its extremes are those of 32 bits for
// KESTA.SPI and of 64 bits for KESTA.SPH.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/probe/wine_support.h"
#include "tests/support/loopback_server.h"

namespace {

using wine_support::HostWinsock;
using wine_support::Plugin;

const unsigned kFileIn = 0x0000;
const unsigned kMemoryIn = 0x0001;
const unsigned kFileOut = 0x0000;    // output kind 0 in bits 8 to 10
const unsigned kMemoryOut = 0x0100;  // output kind 1
const HLOCAL kUntouched = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x5A5A));
const unsigned char kRecordFill = 0xAB;
const int kNotChecked = -1;
const size_t kRecordNameLimit = 199;  // the record's filename field less its NUL
const size_t kUrlLimit = 4095;        // the longest address a line hands to the fetch
const char kDated[] = "HTTP/1.0 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n";
const int32_t kNov94 = 784111777;

// What a call may write for the host: a handle (listing or extracted block)
// and a record. Both start out holding values that no success would leave.
// A failed call stores NULL in a handle it was handed, so that the host never
// holds a stale one, unless it refused the output kind outright.
struct Outputs {
    HLOCAL handle;
    bool handed;  // the call was given &handle
    fileInfo info;

    HLOCAL* Handle() {
        handed = true;
        return &handle;
    }
};

struct CodeRow {
    std::string what;
    std::function<int(Outputs*)> call;
    int expected;
    int records;  // on success with a listing: its member count; kNotChecked otherwise
};

bool RecordUntouched(const fileInfo& info) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&info);
    for (size_t i = 0; i < sizeof info; ++i) {
        if (b[i] != kRecordFill) return false;
    }
    return true;
}

bool AllZero(const unsigned char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (b[i] != 0) return false;
    }
    return true;
}

// Member records of a listing block: those before the all-zero end record.
// -1 when the block is not a whole number of records or has no end record.
int ListingCount(HLOCAL block) {
    size_t size = LocalSize(block);
    if (size == 0 || size % sizeof(fileInfo) != 0) return -1;
    const unsigned char* b = static_cast<const unsigned char*>(LocalLock(block));
    size_t n = size / sizeof(fileInfo);
    int count = -1;
    for (size_t i = 0; i < n; ++i) {
        if (AllZero(b + i * sizeof(fileInfo), sizeof(fileInfo))) {
            count = i + 1 == n ? (int)i : -1;  // the end record is the block's last
            break;
        }
    }
    LocalUnlock(block);
    return count;
}

// Runs one row with fresh outputs; returns its code.
int RunRow(const CodeRow& row, Outputs* o) {
    o->handle = kUntouched;
    o->handed = false;
    memset(&o->info, kRecordFill, sizeof o->info);
    return row.call(o);
}

void CheckRows(const std::vector<CodeRow>& rows) {
    for (const CodeRow& row : rows) {
        SCOPED_TRACE(row.what);
        Outputs o;
        int got = RunRow(row, &o);
        EXPECT_EQ(row.expected, got);
        if (got != SPI_SUCCESS) {
            HLOCAL left = o.handed && got != SPI_NOT_IMPLEMENTED ? NULL : kUntouched;
            EXPECT_EQ(left, o.handle) << "handle after the failure";
            EXPECT_TRUE(RecordUntouched(o.info)) << "record written on failure";
        }
        if (got == SPI_SUCCESS && row.records != kNotChecked) {
            ASSERT_NE(kUntouched, o.handle);
            EXPECT_EQ(row.records, ListingCount(o.handle));
        }
        if (o.handle != kUntouched && o.handle != NULL) LocalFree(o.handle);
    }
}

std::string Dated(const std::string& body) { return kDated + body; }

// Extractions are watched by a progress callback that lets them go on; each
// call must carry the host's datum unchanged, all of its bits on either width.
const LONG_PTR kDatum = (LONG_PTR)(~(ULONG_PTR)0 / 3);  // 0x5555...
int g_strangeData = 0;
int __stdcall WatchProgress(int, int, LONG_PTR datum) {
    if (datum != kDatum) ++g_strangeData;
    return 0;
}

// An address of exactly `total` characters whose member name is `name`:
// the query is padded up to the length.
std::string PaddedAddress(const std::string& base, size_t total, const std::string& name) {
    std::string head = base + "/pad?p=";
    std::string tail = "&n=" + name;
    return head + std::string(total - head.size() - tail.size(), 'p') + tail;
}

class BadInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(wine_support::LoadPlugin(&plugin_)) << KESTA_PLUGIN_FILE " not loaded";
        g_strangeData = 0;
        char tmp[MAX_PATH];
        DWORD n = GetTempPathA(sizeof tmp, tmp);
        ASSERT_TRUE(n > 0 && n < sizeof tmp);
        dir_ = std::string(tmp) + "kesta-badinput-" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS);
    }

    void TearDown() override {
        for (const std::string& f : files_) DeleteFileA(f.c_str());
        for (auto d = dirs_.rbegin(); d != dirs_.rend(); ++d) RemoveDirectoryA(d->c_str());
        RemoveDirectoryA(dir_.c_str());
        wine_support::UnloadPlugin(&plugin_);
        EXPECT_EQ(0, g_strangeData) << "progress calls with another datum than the host's";
    }

    std::string Path(const std::string& name) { return dir_ + "\\" + name; }

    std::string WriteList(const std::string& name, const std::string& bytes) {
        std::string path = Path(name);
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_TRUE(f != NULL) << path;
        if (f) {
            EXPECT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
            fclose(f);
        }
        files_.push_back(path);
        return path;
    }

    std::string MakeDir(const std::string& name) {
        std::string path = Path(name);
        CreateDirectoryA(path.c_str(), NULL);
        dirs_.push_back(path);
        return path;
    }

    int List(const std::string& src, LONG_PTR len, unsigned flag, HLOCAL* out) {
        return plugin_.getArchiveInfo(src.c_str(), len, flag, out);
    }
    int Describe(const std::string& src, LONG_PTR len, const std::string& name, unsigned flag,
                 fileInfo* info) {
        return plugin_.getFileInfo(src.c_str(), len, name.c_str(), flag, info);
    }
    int Extract(const char* src, LONG_PTR len, void* dest, unsigned flag) {
        return plugin_.getFile(src, len, static_cast<LPSTR>(dest), flag, WatchProgress, kDatum);
    }

    // The listing's records (copied) for a successful GetArchiveInfo.
    std::vector<fileInfo> Listing(const std::string& src, LONG_PTR len, unsigned flag, int* code) {
        HLOCAL h = NULL;
        *code = List(src, len, flag, &h);
        std::vector<fileInfo> out;
        if (*code != SPI_SUCCESS) return out;
        int n = ListingCount(h);
        EXPECT_GE(n, 0) << "listing without a proper end record";
        const fileInfo* r = static_cast<const fileInfo*>(LocalLock(h));
        out.assign(r, r + (n > 0 ? n : 0));
        LocalUnlock(h);
        LocalFree(h);
        return out;
    }

    // Memory-output extraction; the body, or an empty string with *code != 0.
    std::string ExtractToMemory(const char* src, LONG_PTR len, unsigned flag, int* code) {
        HLOCAL h = kUntouched;
        *code = Extract(src, len, &h, flag | kMemoryOut);
        if (*code != SPI_SUCCESS) {
            EXPECT_EQ((HLOCAL)NULL, h) << "handle after the failure";
            return std::string();
        }
        std::string body(static_cast<const char*>(LocalLock(h)), LocalSize(h));
        LocalUnlock(h);
        LocalFree(h);
        return body;
    }

    Plugin plugin_;
    std::string dir_;
    std::vector<std::string> files_;
    std::vector<std::string> dirs_;
};

// ------------------------------------------------------------ null pointers

TEST_F(BadInputTest, NullPointerForEveryPointerArgument) {
    const std::string image = "no address here\r\n";
    const std::string list = WriteList("plain.ykt", image);
    const char* img = image.c_str();
    const LONG_PTR size = (LONG_PTR)image.size();
    Plugin& p = plugin_;
    char buf[16];
    std::vector<CodeRow> rows = {
        {"GetPluginInfo, NULL buffer", [&](Outputs*) { return p.getPluginInfo(0, NULL, 16); }, 0,
         kNotChecked},
        {"GetPluginInfo, buffer but length 0",
         [&](Outputs*) { return p.getPluginInfo(0, buf, 0); }, 0, kNotChecked},
        {"IsSupported, NULL name", [&](Outputs*) { return p.isSupported(NULL, 0); }, 0,
         kNotChecked},
        {"IsSupported, NULL name with data",
         [&](Outputs*) { return p.isSupported(NULL, (DWORD_PTR)img); }, 0, kNotChecked},

        {"GetArchiveInfo, NULL listing pointer, memory",
         [&](Outputs*) { return p.getArchiveInfo(img, size, kMemoryIn, NULL); }, 5, kNotChecked},
        {"GetArchiveInfo, NULL listing pointer, file",
         [&](Outputs*) { return p.getArchiveInfo(list.c_str(), 0, kFileIn, NULL); }, 5,
         kNotChecked},
        {"GetArchiveInfo, NULL file name",
         [&](Outputs* o) { return p.getArchiveInfo(NULL, 0, kFileIn, o->Handle()); }, 6,
         kNotChecked},
        {"GetArchiveInfo, NULL image with a length",
         [&](Outputs* o) { return p.getArchiveInfo(NULL, size, kMemoryIn, o->Handle()); }, 3,
         kNotChecked},
        {"GetArchiveInfo, NULL image of length 0",
         [&](Outputs* o) { return p.getArchiveInfo(NULL, 0, kMemoryIn, o->Handle()); }, 0, 0},

        {"GetFileInfo, NULL record",
         [&](Outputs*) { return p.getFileInfo(img, size, "x", kMemoryIn, NULL); }, 5,
         kNotChecked},
        {"GetFileInfo, NULL name",
         [&](Outputs* o) { return p.getFileInfo(img, size, NULL, kMemoryIn, &o->info); }, 6,
         kNotChecked},
        {"GetFileInfo, NULL file name",
         [&](Outputs* o) { return p.getFileInfo(NULL, 0, "x", kFileIn, &o->info); }, 6,
         kNotChecked},
        {"GetFileInfo, NULL image with a length",
         [&](Outputs* o) { return p.getFileInfo(NULL, size, "x", kMemoryIn, &o->info); }, 3,
         kNotChecked},
        {"GetFileInfo, NULL image of length 0",
         [&](Outputs* o) { return p.getFileInfo(NULL, 0, "x", kMemoryIn, &o->info); }, 6,
         kNotChecked},
        {"GetFileInfo, everything NULL",
         [&](Outputs*) { return p.getFileInfo(NULL, 0, NULL, kFileIn, NULL); }, 5, kNotChecked},

        {"GetFile, NULL handle pointer, memory output",
         [&](Outputs*) { return p.getFile(img, size, NULL, kMemoryIn | kMemoryOut, NULL, 0); }, 5,
         kNotChecked},
        {"GetFile, NULL directory, file output",
         [&](Outputs*) { return p.getFile(img, size, NULL, kMemoryIn | kFileOut, NULL, 0); }, 8,
         kNotChecked},
        {"GetFile, NULL file name",
         [&](Outputs* o) {
             return p.getFile(NULL, 0, (LPSTR)o->Handle(), kFileIn | kMemoryOut, NULL, 0);
         },
         6, kNotChecked},
        {"GetFile, NULL image with a length",
         [&](Outputs* o) {
             return p.getFile(NULL, size, (LPSTR)o->Handle(), kMemoryIn | kMemoryOut, NULL, 0);
         },
         3, kNotChecked},
        {"GetFile, NULL image of length 0",
         [&](Outputs* o) {
             return p.getFile(NULL, 0, (LPSTR)o->Handle(), kMemoryIn | kMemoryOut, NULL, 0);
         },
         3, kNotChecked},
    };
    CheckRows(rows);
    EXPECT_TRUE(DeleteFileA(list.c_str())) << "the list file is still held open";
}

// ------------------------------------------------- offsets, lengths and flags

TEST_F(BadInputTest, OffsetsAndLengthsOutOfRange) {
    const std::string plain = "no address here\r\n";
    const std::string listPlain = WriteList("plain.ykt", plain);
    const LONG_PTR plainSize = (LONG_PTR)plain.size();
    HostWinsock winsock;
    ASSERT_EQ(0, winsock.started);
    const std::string refused =
        "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/a.png";
    const std::string listAddress = WriteList("address.ykt", refused);
    const LONG_PTR addressSize = (LONG_PTR)refused.size();
    Plugin& p = plugin_;

    struct Offset {
        const char* what;
        LONG_PTR value;
    };
    auto ladder = [](LONG_PTR size) {
        return std::vector<Offset>{{"MINLONG_PTR", MINLONG_PTR}, {"-1", -1},
                                   {"MAXLONG_PTR", MAXLONG_PTR}, {"size + 1", size + 1},
                                   {"size", size}, {"size - 1", size - 1}, {"0", 0}};
    };
    // Expected codes along the ladder above, per entry point and input kind.
    const int listFile[] = {3, 3, 3, 3, 0, 0, 0};
    const int describeFile[] = {3, 3, 3, 3, 6, 6, 6};
    const int extractFile[] = {3, 3, 3, 3, 3, 3, 6};  // position 0: the server refuses
    std::vector<CodeRow> rows;
    std::vector<Offset> plainLadder = ladder(plainSize);
    std::vector<Offset> addressLadder = ladder(addressSize);
    for (size_t i = 0; i < plainLadder.size(); ++i) {
        LONG_PTR at = plainLadder[i].value;
        std::string label = std::string(" at ") + plainLadder[i].what;
        rows.push_back({"GetArchiveInfo, file" + label,
                        [&p, &listPlain, at](Outputs* o) {
                            return p.getArchiveInfo(listPlain.c_str(), at, kFileIn, o->Handle());
                        },
                        listFile[i], 0});
        rows.push_back({"GetFileInfo, file" + label,
                        [&p, &listPlain, at](Outputs* o) {
                            return p.getFileInfo(listPlain.c_str(), at, "index.html", kFileIn,
                                                 &o->info);
                        },
                        describeFile[i], kNotChecked});
        LONG_PTR position = addressLadder[i].value;
        rows.push_back({std::string("GetFile, file at ") + addressLadder[i].what,
                        [&p, &listAddress, position](Outputs* o) {
                            return p.getFile(listAddress.c_str(), position, (LPSTR)o->Handle(),
                                             kFileIn | kMemoryOut, NULL, 0);
                        },
                        extractFile[i], kNotChecked});
    }
    // Memory images: the long argument is the image's length.
    const char* img = refused.c_str();
    struct Length {
        const char* what;
        LONG_PTR value;
        int list, describe, extract;
    } lengths[] = {
        {"MINLONG_PTR", MINLONG_PTR, 3, 3, 3},
        {"-1", -1, 3, 3, 3},
        {"0", 0, 0, 6, 3},
        {"6: \"http:/\"", 6, 0, 6, 3},
        {"7: \"http://\" and nothing more", 7, 0, 6, 6},
        {"whole address, refused", addressSize, 0, 6, 6},
    };
    for (const Length& l : lengths) {
        LONG_PTR len = l.value;
        std::string label = std::string(", image of length ") + l.what;
        rows.push_back({"GetArchiveInfo" + label,
                        [&p, img, len](Outputs* o) {
                            return p.getArchiveInfo(img, len, kMemoryIn, o->Handle());
                        },
                        l.list, kNotChecked});
        rows.push_back({"GetFileInfo" + label,
                        [&p, img, len](Outputs* o) {
                            return p.getFileInfo(img, len, "a.png", kMemoryIn, &o->info);
                        },
                        l.describe, kNotChecked});
        rows.push_back({"GetFile" + label,
                        [&p, img, len](Outputs* o) {
                            return p.getFile(img, len, (LPSTR)o->Handle(), kMemoryIn | kMemoryOut,
                                             NULL, 0);
                        },
                        l.extract, kNotChecked});
    }
    CheckRows(rows);
    EXPECT_TRUE(DeleteFileA(listPlain.c_str())) << "a list file is still held open";
    EXPECT_TRUE(DeleteFileA(listAddress.c_str())) << "a list file is still held open";
}

TEST_F(BadInputTest, FlagBitsOutsideTheKindsAreIgnoredAndUnknownOutputKindsRefused) {
    const std::string image = "ftp://not.an.address/x\r\n";
    const char* img = image.c_str();
    const LONG_PTR size = (LONG_PTR)image.size();
    Plugin& p = plugin_;
    std::vector<CodeRow> rows;
    for (unsigned kind = 2; kind <= 7; ++kind) {
        unsigned flag = kMemoryIn | (kind << 8);
        rows.push_back({"GetFile, output kind " + std::to_string(kind),
                        [&p, img, size, flag](Outputs* o) {
                            return p.getFile(img, size, (LPSTR)o->Handle(), flag, NULL, 0);
                        },
                        -1, kNotChecked});
    }
    // Input kinds 1 to 7 all mean a memory image; the bits above 10 mean nothing.
    const unsigned memoryFlags[] = {0x0002, 0x0007, 0xFFFFF801u, 0x80000104u};
    for (unsigned flag : memoryFlags) {
        char hex[16];
        snprintf(hex, sizeof hex, "%#x", flag);
        rows.push_back({std::string("GetArchiveInfo, flag ") + hex,
                        [&p, img, size, flag](Outputs* o) {
                            return p.getArchiveInfo(img, size, flag, o->Handle());
                        },
                        0, 0});
        unsigned getFileFlag = (flag & ~0x700u) | kMemoryOut;
        rows.push_back({std::string("GetFile, memory output, flag ") + hex,
                        [&p, img, size, getFileFlag](Outputs* o) {
                            return p.getFile(img, size, (LPSTR)o->Handle(), getFileFlag, NULL, 0);
                        },
                        3, kNotChecked});
    }
    // Input kind 0 with high bits set is still a file name: this one is missing.
    rows.push_back({"GetArchiveInfo, file input with high bits",
                    [&p](Outputs* o) {
                        return p.getArchiveInfo("no-such.ykt", 0, 0xFFFFF800u, o->Handle());
                    },
                    6, kNotChecked});
    CheckRows(rows);
}

// ------------------------------------------------------------------ sources

TEST_F(BadInputTest, EmptyMissingAndDirectorySources) {
    const std::string empty = WriteList("empty.ykt", "");
    const std::string directory = MakeDir("folder.ykt");
    const std::string missing = Path("missing.ykt");
    const std::string emptyImage = "http://127.0.0.1:1/x";  // its first 0 bytes only
    Plugin& p = plugin_;
    struct Source {
        const char* what;
        const char* source;
        LONG_PTR len;
        unsigned flag;
        int list, describe, extract;
    } sources[] = {
        {"empty file", empty.c_str(), 0, kFileIn, 0, 6, 3},
        {"directory", directory.c_str(), 0, kFileIn, 6, 6, 6},
        {"missing file", missing.c_str(), 0, kFileIn, 6, 6, 6},
        {"empty name", "", 0, kFileIn, 6, 6, 6},
        {"memory image of length 0", emptyImage.c_str(), 0, kMemoryIn, 0, 6, 3},
    };
    std::vector<CodeRow> rows;
    for (const Source& s : sources) {
        const char* src = s.source;
        LONG_PTR len = s.len;
        unsigned flag = s.flag;
        rows.push_back({std::string("GetArchiveInfo, ") + s.what,
                        [&p, src, len, flag](Outputs* o) {
                            return p.getArchiveInfo(src, len, flag, o->Handle());
                        },
                        s.list, 0});
        rows.push_back({std::string("GetFileInfo, ") + s.what,
                        [&p, src, len, flag](Outputs* o) {
                            return p.getFileInfo(src, len, "index.html", flag, &o->info);
                        },
                        s.describe, kNotChecked});
        rows.push_back({std::string("GetFile, ") + s.what,
                        [&p, src, len, flag](Outputs* o) {
                            return p.getFile(src, len, (LPSTR)o->Handle(), flag | kMemoryOut, NULL,
                                             0);
                        },
                        s.extract, kNotChecked});
    }
    CheckRows(rows);
    EXPECT_TRUE(DeleteFileA(empty.c_str())) << "the empty list is still held open";
}

// ------------------------------------------------------------- large lists

const int kManyLines = 100000;
const int kUnreachableLines = 200;

TEST_F(BadInputTest, HundredThousandLinesWithoutAddresses) {
    std::string doc;
    for (int i = 0; i < kManyLines; ++i) doc += "line " + std::to_string(i) + " of text\r\n";
    const std::string list = WriteList("many.ykt", doc);
    auto start = std::chrono::steady_clock::now();
    struct Row {
        const char* what;
        std::string source;
        LONG_PTR len;
        unsigned flag;
    } rows[] = {
        {"file", list, 0, kFileIn},
        {"memory image", doc, (LONG_PTR)doc.size(), kMemoryIn},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        int code = -99;
        EXPECT_TRUE(Listing(r.source, r.len, r.flag, &code).empty());
        EXPECT_EQ(SPI_SUCCESS, code);
        fileInfo info;
        // "index.html": the name of every line without an address, met at once;
        // "text": no line has it, so all 100,000 are scanned.
        EXPECT_EQ(SPI_FILE_READ_ERROR, Describe(r.source, r.len, "index.html", r.flag, &info));
        EXPECT_EQ(SPI_FILE_READ_ERROR, Describe(r.source, r.len, "text", r.flag, &info));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 20.0) << "scanning lines without addresses should be quick";
}

// 200 addresses to a port where nothing listens, then lines without any: the
// listing has the 200 records, all of size 0. The same list with an address
// to the test's server as its last line cannot be listed (a line without an
// address comes first), but that last member is found and extracted.
TEST_F(BadInputTest, HundredThousandLinesWithUnreachableAddresses) {
    HostWinsock winsock;
    ASSERT_EQ(0, winsock.started);
    LoopbackServer server([](const std::string&) { return Dated("last line"); });
    ASSERT_TRUE(server.listening());
    const std::string unreachable =
        "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/u";
    std::string doc;
    std::vector<LONG_PTR> offsets;
    for (int i = 0; i < kUnreachableLines; ++i) {
        offsets.push_back((LONG_PTR)doc.size());
        doc += unreachable + std::to_string(i) + ".bin\r\n";
    }
    for (int i = kUnreachableLines; i < kManyLines - 1; ++i) doc += "no address\r\n";
    const std::string unreachableList = WriteList("unreachable.ykt", doc);
    const LONG_PTR lastOffset = (LONG_PTR)doc.size();
    const std::string withLast = WriteList("with-last.ykt", doc + server.Url("/last.txt"));

    auto start = std::chrono::steady_clock::now();
    int code = -99;
    std::vector<fileInfo> records = Listing(unreachableList, 0, kFileIn, &code);
    ASSERT_EQ(SPI_SUCCESS, code);
    ASSERT_EQ((size_t)kUnreachableLines, records.size());
    for (int i = 0; i < kUnreachableLines; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((uint32_t)offsets[(size_t)i], records[(size_t)i].position);
        EXPECT_EQ(0u, records[(size_t)i].filesize);
        EXPECT_EQ(0, records[(size_t)i].timestamp);
        EXPECT_EQ("u" + std::to_string(i) + ".bin", std::string(records[(size_t)i].filename));
    }

    HLOCAL h = kUntouched;
    EXPECT_EQ(SPI_FILE_READ_ERROR, List(withLast, 0, kFileIn, &h));
    EXPECT_EQ((HLOCAL)NULL, h);
    // From inside the last unreachable address on, the first line has none.
    h = kUntouched;
    EXPECT_EQ(SPI_FILE_READ_ERROR, List(withLast, offsets.back() + 1, kFileIn, &h));
    EXPECT_EQ((HLOCAL)NULL, h);
    fileInfo info;
    memset(&info, kRecordFill, sizeof info);
    ASSERT_EQ(SPI_SUCCESS, Describe(withLast, 0, "last.txt", kFileIn, &info));
    EXPECT_EQ((uint32_t)lastOffset, info.position);
    EXPECT_EQ(9u, info.filesize);
    EXPECT_EQ(kNov94, info.timestamp);
    EXPECT_EQ(SPI_FILE_READ_ERROR, Describe(withLast, 0, "u7.bin", kFileIn, &info));
    EXPECT_EQ("last line", ExtractToMemory(withLast.c_str(), lastOffset, kFileIn, &code));
    EXPECT_EQ(SPI_SUCCESS, code);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 60.0);
    server.Stop();
    EXPECT_EQ(2, server.served()) << "only the last line's address is served";
}

// ------------------------------------------------------- long lines and names

TEST_F(BadInputTest, LineOfOneMebibyte) {
    HostWinsock winsock;
    ASSERT_EQ(0, winsock.started);
    LoopbackServer server([](const std::string&) { return Dated("end"); });
    ASSERT_TRUE(server.listening());
    const std::string mebibyte(1 << 20, 'x');
    const std::string overlong = server.Url("/") + std::string(1 << 20, 'a');
    const std::string atEnd = mebibyte + server.Url("/end.txt");
    const std::string cutName(kRecordNameLimit, 'a');
    struct Row {
        const char* what;
        std::string line;
        int records;        // in the listing
        uint32_t size;      // of the one record
        const char* name;   // looked up
        int describe;       // its code
        LONG_PTR position;  // where GetFile reads
        int extract;
    } rows[] = {
        {"no address", mebibyte, 0, 0, "index.html", 6, 0, 3},
        {"address far longer than the URL buffer", overlong, 1, 0, cutName.c_str(), 6, 0, 6},
        {"address after 1 MiB of text", atEnd, 1, 3, "end.txt", 0, (LONG_PTR)mebibyte.size(), 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        for (const char* ending : {"", "\r\n"}) {
            std::string doc = r.line + ending;
            int code = -99;
            std::vector<fileInfo> records = Listing(doc, (LONG_PTR)doc.size(), kMemoryIn, &code);
            EXPECT_EQ(SPI_SUCCESS, code);
            ASSERT_EQ((size_t)r.records, records.size());
            if (r.records) {
                EXPECT_EQ(r.size, records[0].filesize);
                EXPECT_EQ(std::string(r.name), records[0].filename);
            }
            fileInfo info;
            memset(&info, kRecordFill, sizeof info);
            EXPECT_EQ(r.describe, Describe(doc, (LONG_PTR)doc.size(), r.name, kMemoryIn, &info));
            std::string body = ExtractToMemory(doc.c_str() + r.position,
                                               (LONG_PTR)doc.size() - r.position, kMemoryIn, &code);
            EXPECT_EQ(r.extract, code);
            if (r.extract == SPI_SUCCESS) {
                EXPECT_EQ("end", body);
            }
        }
    }
    server.Stop();
    // Only the address after the text is ever requested: 3 calls x 2 endings.
    for (const std::string& path : server.Paths()) EXPECT_EQ("/end.txt", path);
    EXPECT_EQ(6, server.served());
}

TEST_F(BadInputTest, AddressesAtTheUrlBufferLimit) {
    HostWinsock winsock;
    ASSERT_EQ(0, winsock.started);
    LoopbackServer server([](const std::string&) { return Dated("edge"); });
    ASSERT_TRUE(server.listening());
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    // An address that does not fit is named after the part that does.
    const std::string padding(kRecordNameLimit, 'p');
    struct Row {
        const char* what;
        size_t length;
        const char* tail;  // the address's own member name
        const char* name;  // the name it is listed and found under
        bool fetched;
    } rows[] = {
        {"4094 characters", kUrlLimit - 1, "a4094", "a4094", true},
        {"4095 characters: the longest fetched", kUrlLimit, "a4095", "a4095", true},
        {"4096 characters: never fetched", kUrlLimit + 1, "a4096", "a409", false},
        {"8191 characters", 2 * kUrlLimit + 1, "a8191", padding.c_str(), false},
    };
    std::string doc;
    std::vector<LONG_PTR> offsets;
    std::vector<std::string> addresses;
    for (const Row& r : rows) {
        offsets.push_back((LONG_PTR)doc.size());
        addresses.push_back(PaddedAddress(base, r.length, r.tail));
        ASSERT_EQ(r.length, addresses.back().size());
        doc += addresses.back() + "\r\n";
    }
    const std::string list = WriteList("limits.ykt", doc);
    int code = -99;
    std::vector<fileInfo> records = Listing(list, 0, kFileIn, &code);
    ASSERT_EQ(SPI_SUCCESS, code);
    ASSERT_EQ(4u, records.size());
    for (size_t i = 0; i < 4; ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.what);
        EXPECT_EQ(std::string(r.name), records[i].filename);
        EXPECT_EQ((uint32_t)offsets[i], records[i].position);
        EXPECT_EQ(r.fetched ? 4u : 0u, records[i].filesize);
        fileInfo info;
        memset(&info, kRecordFill, sizeof info);
        int described = Describe(list, 0, r.name, kFileIn, &info);
        EXPECT_EQ(r.fetched ? SPI_SUCCESS : SPI_FILE_READ_ERROR, described);
        if (!r.fetched) {
            EXPECT_TRUE(RecordUntouched(info));
        }
        std::string body = ExtractToMemory(list.c_str(), offsets[i], kFileIn, &code);
        EXPECT_EQ(r.fetched ? SPI_SUCCESS : SPI_FILE_READ_ERROR, code);
        const std::string& a = addresses[i];
        body = ExtractToMemory(a.c_str(), (LONG_PTR)a.size(), kMemoryIn, &code);
        EXPECT_EQ(r.fetched ? SPI_SUCCESS : SPI_FILE_READ_ERROR, code);
        EXPECT_EQ(r.fetched ? "edge" : "", body);
    }
    server.Stop();
    // The listing fetches both (at once, in either order), then each is
    // looked up and extracted from the file and from memory; every request
    // carries the whole path.
    const std::string p0 = addresses[0].substr(base.size());
    const std::string p1 = addresses[1].substr(base.size());
    std::vector<std::string> paths = server.Paths();
    ASSERT_EQ(8u, paths.size());
    std::sort(paths.begin(), paths.begin() + 2);
    std::vector<std::string> sorted01 = {std::min(p0, p1), std::max(p0, p1)};
    EXPECT_EQ(std::vector<std::string>({sorted01[0], sorted01[1], p0, p0, p0, p1, p1, p1}), paths);
}

TEST_F(BadInputTest, NamesAtTheRecordLimitAreCutTo199AndFoundByTheCutName) {
    HostWinsock winsock;
    ASSERT_EQ(0, winsock.started);
    // The body tells which line was fetched: the path's last four characters.
    LoopbackServer server([](const std::string& request) {
        std::string path = LoopbackServer::PathOf(request);
        return Dated(path.substr(path.size() < 4 ? 0 : path.size() - 4));
    });
    ASSERT_TRUE(server.listening());
    struct Row {
        const char* what;
        std::string name;  // as the address ends
    } rows[] = {
        {"199 bytes", std::string(199, 'a')},
        {"200 bytes", std::string(199, 'b') + "B"},
        {"259 bytes", std::string(199, 'c') + std::string(60, 'C')},
        {"300 bytes", std::string(199, 'd') + std::string(100, 'D') + "9"},
        {"200 bytes, same cut as the next", std::string(199, 'e') + "1"},
        {"200 bytes, same cut as the one before", std::string(199, 'e') + "2"},
    };
    std::string doc;
    std::vector<LONG_PTR> offsets;
    for (const Row& r : rows) {
        offsets.push_back((LONG_PTR)doc.size());
        doc += server.Url("/" + r.name) + "\r\n";
    }
    const std::string list = WriteList("names.ykt", doc);
    int code = -99;
    std::vector<fileInfo> records = Listing(list, 0, kFileIn, &code);
    ASSERT_EQ(SPI_SUCCESS, code);
    ASSERT_EQ(sizeof rows / sizeof rows[0], records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.what);
        std::string cut = r.name.substr(0, kRecordNameLimit);
        EXPECT_EQ(cut, std::string(records[i].filename, strnlen(records[i].filename, 200)));
        EXPECT_EQ('\0', records[i].filename[kRecordNameLimit]) << "name not terminated";
        EXPECT_EQ(4u, records[i].filesize);

        fileInfo info;
        memset(&info, kRecordFill, sizeof info);
        ASSERT_EQ(SPI_SUCCESS, Describe(list, 0, cut, kFileIn, &info));
        size_t first = cut == std::string(199, 'e') ? 4 : i;  // the first line with that cut
        EXPECT_EQ((uint32_t)offsets[first], info.position);
        EXPECT_EQ(cut, std::string(info.filename));
        if (r.name.size() > kRecordNameLimit) {
            memset(&info, kRecordFill, sizeof info);
            EXPECT_EQ(SPI_FILE_READ_ERROR, Describe(list, 0, r.name, kFileIn, &info))
                << "found by its uncut name";
            EXPECT_TRUE(RecordUntouched(info));
        }
        std::string body = ExtractToMemory(list.c_str(), offsets[i], kFileIn, &code);
        EXPECT_EQ(SPI_SUCCESS, code);
        EXPECT_EQ(r.name.substr(r.name.size() - 4), body);
    }
    // File output writes the member under its cut name; a missing directory fails.
    const std::string out = MakeDir("out");
    ASSERT_EQ(SPI_SUCCESS,
              Extract(list.c_str(), offsets[2], const_cast<char*>(out.c_str()), kFileIn | kFileOut));
    const std::string written = out + "\\" + std::string(199, 'c');
    files_.insert(files_.begin(), written);
    FILE* f = fopen(written.c_str(), "rb");
    ASSERT_TRUE(f != NULL) << "no file under the cut name";
    char bytes[16] = {0};
    size_t n = fread(bytes, 1, sizeof bytes, f);
    fclose(f);
    EXPECT_EQ("CCCC", std::string(bytes, n));
    const std::string nowhere = Path("no-such-dir");
    EXPECT_EQ(SPI_FILE_WRITE_ERROR, Extract(list.c_str(), offsets[0],
                                            const_cast<char*>(nowhere.c_str()), kFileIn | kFileOut));
    server.Stop();
}

// ------------------------------------------------------------- clean state

// Every failing call of the tables above, many times over: the process's
// memory stays where it was once the calls had run a few times, and a good
// call still works afterwards.
TEST_F(BadInputTest, RepeatedBadCallsLeaveNothingBehind) {
    const std::string image = "no address here\r\n";
    const std::string list = WriteList("plain.ykt", image);
    const std::string directory = MakeDir("dir.ykt");
    const char* img = image.c_str();
    const LONG_PTR size = (LONG_PTR)image.size();
    Plugin& p = plugin_;
    HLOCAL h = kUntouched;
    fileInfo info;
    const char* src = list.c_str();
    const char* dir = directory.c_str();
    std::vector<std::function<int()>> calls = {
        [&] { return p.getArchiveInfo(src, -1, kFileIn, &h); },
        [&] { return p.getArchiveInfo(src, size + 1, kFileIn, &h); },
        [&] { return p.getArchiveInfo(dir, 0, kFileIn, &h); },
        [&] { return p.getArchiveInfo(NULL, 5, kMemoryIn, &h); },
        [&] { return p.getArchiveInfo(img, size, kMemoryIn, NULL); },
        [&] { return p.getFileInfo(src, size, "x", kFileIn, &info); },
        [&] { return p.getFileInfo(src, 0, "absent", kFileIn, &info); },
        [&] { return p.getFileInfo(src, 0, NULL, kFileIn, &info); },
        [&] { return p.getFileInfo(dir, 0, "x", kFileIn, &info); },
        [&] { return p.getFile(src, 3, (LPSTR)&h, kFileIn | kMemoryOut, NULL, 0); },
        [&] { return p.getFile(src, MAXLONG_PTR, (LPSTR)&h, kFileIn | kMemoryOut, NULL, 0); },
        [&] { return p.getFile(img, size, (LPSTR)&h, kMemoryIn | 0x0300, NULL, 0); },
        [&] { return p.getFile(img, size, NULL, kMemoryIn | kFileOut, NULL, 0); },
    };
    const int kRounds = 300;
    const int kWarmRounds = 20;
    const size_t kBound = 64 * 1024;
    wine_support::MemorySample warm = {0, 0};
    for (int round = 0; round < kRounds; ++round) {
        if (round == kWarmRounds) warm = wine_support::SampleMemory();
        for (size_t i = 0; i < calls.size(); ++i) {
            h = kUntouched;
            int code = calls[i]();
            ASSERT_NE(SPI_SUCCESS, code) << "call " << i;
            ASSERT_TRUE(h == kUntouched || h == NULL) << "call " << i;
        }
    }
    wine_support::MemorySample end = wine_support::SampleMemory();
    EXPECT_LE(end.privateBytes, warm.privateBytes + kBound)
        << "private bytes " << warm.privateBytes << " -> " << end.privateBytes;
    EXPECT_LE(end.workingSet, warm.workingSet + kBound)
        << "working set " << warm.workingSet << " -> " << end.workingSet;
    int code = -99;
    EXPECT_TRUE(Listing(list, 0, kFileIn, &code).empty());
    EXPECT_EQ(SPI_SUCCESS, code);
    EXPECT_TRUE(DeleteFileA(src)) << "the list file is still held open";
}

}  // namespace
