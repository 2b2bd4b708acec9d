// The plug-in as a host of its own width sees it under Wine: the record
// layouts read at the byte offsets a host uses, the Unicode entry points with
// a folder whose name the ANSI code page cannot spell, NULL left for the host
// after a failure, and the host's progress callback: cancelling leaves
// nothing behind, and a lying announcement holds no memory.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/probe/wine_support.h"
#include "tests/support/loopback_server.h"
#include "tests/support/progress_rule.h"

namespace {

using wine_support::HostWinsock;

const unsigned kFileIn = 0;
const unsigned kMemoryIn = 1;
const unsigned kToMemory = 0x100;
const char kBody[] = "a body of 19 bytes.";
const char kDated[] =
    "HTTP/1.0 200 OK\r\nLast-Modified: Tue, 19 Jan 2038 03:14:08 GMT\r\n\r\na body of 19 bytes.";

// Where a host of this build's width finds each field, and how wide it is.
struct Layout {
    size_t size, position, compsize, filesize, timestamp, path, filename, crc, fieldBytes;
};
#if KESTA_64BIT
const Layout kAnsi = {448, 8, 16, 24, 32, 40, 240, 440, 8};
const Layout kWide = {848, 8, 16, 24, 32, 40, 440, 840, 8};
const int64_t kStamp2038 = 2147483648LL;  // the second after the last of 32 bits
#else
const Layout kAnsi = {428, 8, 12, 16, 20, 24, 224, 424, 4};
const Layout kWide = {828, 8, 12, 16, 20, 24, 424, 824, 4};
const int64_t kStamp2038 = -2147483647LL - 1;  // wrapped, as 32 bits always did
#endif

int64_t ReadField(const unsigned char* record, size_t offset, size_t bytes, bool isSigned) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= (uint64_t)record[offset + i] << (8 * i);
    if (isSigned && bytes == 4) return (int32_t)(uint32_t)v;
    return (int64_t)v;
}

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

class HostView : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(wine_support::LoadPlugin(&p_)) << KESTA_PLUGIN_FILE " not loaded";
        ASSERT_TRUE(server_.listening());
        wchar_t tmp[MAX_PATH];
        DWORD n = GetTempPathW(MAX_PATH, tmp);
        ASSERT_TRUE(n > 0 && n < MAX_PATH);
        base_ = std::wstring(tmp) + L"kesta-view-" + std::to_wstring(GetCurrentProcessId());
        // 日本語: code page 932 spells it, 1252 cannot.
        folder_ = base_ + L"\\\u65e5\u672c\u8a9e";
        ASSERT_TRUE(CreateDirectoryW(base_.c_str(), NULL));
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), NULL));
        doc_ = server_.Url("/a/first.png") + "\r\n" + server_.Url("/b/second.jpg") + "\r\n";
    }
    void TearDown() override {
        for (const std::wstring& f : created_) DeleteFileW(f.c_str());
        RemoveDirectoryW((folder_ + L"\\out").c_str());
        RemoveDirectoryW(folder_.c_str());
        RemoveDirectoryW(base_.c_str());
        wine_support::UnloadPlugin(&p_);
    }

    std::wstring WriteList(const std::wstring& path) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, h);
        DWORD written = 0;
        WriteFile(h, doc_.data(), (DWORD)doc_.size(), &written, NULL);
        CloseHandle(h);
        created_.push_back(path);
        return path;
    }

    static std::string ReadAll(const std::wstring& path) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) return "<missing>";
        std::string out(4096, '\0');
        DWORD got = 0;
        ReadFile(h, &out[0], (DWORD)out.size(), &got, NULL);
        CloseHandle(h);
        out.resize(got);
        return out;
    }

    HostWinsock winsock_;
    LoopbackServer server_{std::string(kDated)};
    wine_support::Plugin p_;
    std::wstring base_, folder_;
    std::string doc_;
    std::vector<std::wstring> created_;
};

TEST_F(HostView, RecordsAtTheOffsetsAHostReads) {
    HLOCAL a = NULL;
    HLOCAL w = NULL;
    ASSERT_EQ(0, p_.getArchiveInfo(doc_.data(), (LONG_PTR)doc_.size(), kMemoryIn, &a));
    ASSERT_EQ(0, p_.getArchiveInfoW(reinterpret_cast<LPCWSTR>(doc_.data()), (LONG_PTR)doc_.size(),
                                    kMemoryIn, &w));
    ASSERT_EQ(3 * kAnsi.size, LocalSize(a));
    ASSERT_EQ(3 * kWide.size, LocalSize(w));
    const unsigned char* ra = static_cast<const unsigned char*>(LocalLock(a));
    const unsigned char* rw = static_cast<const unsigned char*>(LocalLock(w));
    const char* const names[] = {"first.png", "second.jpg"};
    const int64_t positions[] = {0, (int64_t)doc_.find("\r\n") + 2};
    for (int i = 0; i < 2; ++i) {
        const unsigned char* r[] = {ra + i * kAnsi.size, rw + i * kWide.size};
        const Layout* l[] = {&kAnsi, &kWide};
        for (int k = 0; k < 2; ++k) {
            SCOPED_TRACE(std::string(k ? "W " : "A ") + names[i]);
            EXPECT_EQ(0, memcmp(r[k], "YKTPK", 6));
            EXPECT_EQ(positions[i], ReadField(r[k], l[k]->position, l[k]->fieldBytes, false));
            EXPECT_EQ(19, ReadField(r[k], l[k]->compsize, l[k]->fieldBytes, false));
            EXPECT_EQ(19, ReadField(r[k], l[k]->filesize, l[k]->fieldBytes, false));
            EXPECT_EQ(kStamp2038, ReadField(r[k], l[k]->timestamp, l[k]->fieldBytes, true));
            EXPECT_EQ(0, ReadField(r[k], l[k]->crc, 4, false));
            // The padding after the crc, where there is one, stays zero.
            for (size_t b = l[k]->crc + 4; b < l[k]->size; ++b) EXPECT_EQ(0, r[k][b]) << b;
        }
        EXPECT_EQ(0, r[0][kAnsi.path]);
        EXPECT_STREQ(names[i], reinterpret_cast<const char*>(r[0] + kAnsi.filename));
        EXPECT_EQ(0, ReadField(r[1], kWide.path, 2, false));
        EXPECT_EQ(Widen(names[i]), std::wstring(reinterpret_cast<const wchar_t*>(r[1] + kWide.filename)));
    }
    for (size_t b = 0; b < kAnsi.size; ++b) ASSERT_EQ(0, ra[2 * kAnsi.size + b]) << "A end record";
    for (size_t b = 0; b < kWide.size; ++b) ASSERT_EQ(0, rw[2 * kWide.size + b]) << "W end record";
    LocalFree(a);
    LocalFree(w);
}

// A folder named 日本語: the Unicode entry points open a list in it under
// any code page; the ANSI ones where the ANSI code page spells the name
// (932, the Japanese prefix of the tests) and fail cleanly where it cannot
// (1252). File output into it works through both where they can open it.
TEST_F(HostView, AFolderNamedInJapanese) {
    std::wstring list = WriteList(folder_ + L"\\list.ykt");
    char ansi[MAX_PATH * 2];
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, 0, list.c_str(), -1, ansi, sizeof ansi, NULL, &lossy);
    EXPECT_EQ(GetACP() != 932, lossy != FALSE) << "code page " << GetACP();
    HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
    EXPECT_EQ(lossy ? 6 : 0, p_.getArchiveInfo(ansi, 0, kFileIn, &h));
    if (!lossy) {
        EXPECT_EQ(3 * sizeof(fileInfo), LocalSize(h));
        LocalFree(h);
        std::wstring outA = folder_ + L"\\outA";
        ASSERT_TRUE(CreateDirectoryW(outA.c_str(), NULL));
        char outAnsi[MAX_PATH * 2];
        WideCharToMultiByte(CP_ACP, 0, outA.c_str(), -1, outAnsi, sizeof outAnsi, NULL, NULL);
        ASSERT_EQ(0, p_.getFile(ansi, 0, outAnsi, kFileIn, NULL, 0));
        EXPECT_EQ(kBody, ReadAll(outA + L"\\first.png"));
        DeleteFileW((outA + L"\\first.png").c_str());
        RemoveDirectoryW(outA.c_str());
    } else {
        EXPECT_EQ(nullptr, h);
    }

    ASSERT_EQ(0, p_.getArchiveInfoW(list.c_str(), 0, kFileIn, &h));
    EXPECT_EQ(3 * sizeof(fileInfoW), LocalSize(h));
    LocalFree(h);
    fileInfoW info;
    ASSERT_EQ(0, p_.getFileInfoW(list.c_str(), 0, L"second.jpg", kFileIn, &info));
    EXPECT_EQ(19u, info.filesize);
    EXPECT_EQ((uint64_t)doc_.find("\r\n") + 2, info.position);

    std::wstring out = folder_ + L"\\out";
    ASSERT_TRUE(CreateDirectoryW(out.c_str(), NULL));
    ASSERT_EQ(0, p_.getFileW(list.c_str(), (LONG_PTR)info.position, &out[0], kFileIn, NULL, 0));
    created_.push_back(out + L"\\second.jpg");
    EXPECT_EQ(kBody, ReadAll(out + L"\\second.jpg"));
    ASSERT_EQ(0, p_.getFileW(list.c_str(), 0, reinterpret_cast<LPWSTR>(&h), kFileIn | kToMemory,
                             NULL, 0));
    EXPECT_EQ(19u, LocalSize(h));
    LocalFree(h);
}

// A failed listing or memory extraction leaves NULL where the host looks for
// its block, through A and W alike; a failed lookup touches no record byte.
TEST_F(HostView, FailuresLeaveNullForTheHost) {
    const std::string missing = "Z:\\no\\such\\list.ykt";
    const std::wstring missingW = Widen(missing);
    std::string notHttp = "ftp://x/y";
    for (int wide = 0; wide < 2; ++wide) {
        SCOPED_TRACE(wide ? "W" : "A");
        HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
        int code = wide ? p_.getArchiveInfoW(missingW.c_str(), 0, kFileIn, &h)
                        : p_.getArchiveInfo(missing.c_str(), 0, kFileIn, &h);
        EXPECT_EQ(6, code);
        EXPECT_EQ(nullptr, h);
        h = reinterpret_cast<HLOCAL>(0x77);
        code = wide ? p_.getFileW(reinterpret_cast<LPCWSTR>(notHttp.data()), (LONG_PTR)notHttp.size(),
                                  reinterpret_cast<LPWSTR>(&h), kMemoryIn | kToMemory, NULL, 0)
                    : p_.getFile(notHttp.data(), (LONG_PTR)notHttp.size(),
                                 reinterpret_cast<LPSTR>(&h), kMemoryIn | kToMemory, NULL, 0);
        EXPECT_EQ(3, code);
        EXPECT_EQ(nullptr, h);
        unsigned char record[sizeof(fileInfoW)];
        memset(record, 0x5A, sizeof record);
        code = wide ? p_.getFileInfoW(missingW.c_str(), 0, L"x.png", kFileIn,
                                      reinterpret_cast<fileInfoW*>(record))
                    : p_.getFileInfo(missing.c_str(), 0, "x.png", kFileIn,
                                     reinterpret_cast<fileInfo*>(record));
        EXPECT_EQ(6, code);
        for (unsigned char b : record) ASSERT_EQ(0x5A, b);
    }
}

#if KESTA_64BIT
// A 64-bit host may hand over a list of more than 2 GiB: a file whose one
// address line lies past 2 GiB (the rest a hole of zero bytes), listed from a
// start offset past 2 GiB, gives a position that only 64 bits hold, and the
// member is extracted from there.
TEST_F(HostView, ListFileLargerThan2GiB) {
    const int64_t kStart = 0x80000000LL;
    const int64_t kLine = kStart + 8;  // eight zero bytes, then the address
    std::wstring list = folder_ + L"\\big.ykt";
    HANDLE h = CreateFileW(list.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    created_.push_back(list);
    std::string line = server_.Url("/far/away.bin") + "\r\n";
    LARGE_INTEGER at;
    at.QuadPart = kLine;
    DWORD written = 0;
    ASSERT_TRUE(SetFilePointerEx(h, at, NULL, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(h, line.data(), (DWORD)line.size(), &written, NULL));
    CloseHandle(h);

    HLOCAL listing = NULL;
    ASSERT_EQ(0, p_.getArchiveInfoW(list.c_str(), (LONG_PTR)kStart, kFileIn, &listing));
    ASSERT_EQ(2 * sizeof(fileInfoW), LocalSize(listing));
    const fileInfoW* r = static_cast<const fileInfoW*>(LocalLock(listing));
    EXPECT_EQ((uint64_t)kLine, r[0].position);
    EXPECT_EQ(19u, r[0].filesize);
    EXPECT_EQ(std::wstring(L"away.bin"), std::wstring(r[0].filename));
    LocalFree(listing);
    HLOCAL body = NULL;
    ASSERT_EQ(0, p_.getFileW(list.c_str(), (LONG_PTR)kLine, reinterpret_cast<LPWSTR>(&body),
                             kFileIn | kToMemory, NULL, 0));
    EXPECT_EQ(19u, LocalSize(body));
    LocalFree(body);
}
#endif

// ------------------------------------------------------------ host control

struct Watch {
    int calls = 0;
    int cancelAt = -1;          // cancel on this call
    int cancelWhenDone = -1;    // cancel once this many bytes have arrived
    int cancelAfterSilent = -1; // cancel after this many calls without news
    int lastDone = -1;
    int silent = 0;
    size_t basePrivate = 0;
    size_t mostPrivate = 0;
};
int __stdcall OnProgress(int done, int, LONG_PTR datum) {
    Watch* w = reinterpret_cast<Watch*>(datum);
    size_t now = wine_support::SampleMemory().privateBytes;
    if (now > w->mostPrivate) w->mostPrivate = now;
    w->silent = done == w->lastDone ? w->silent + 1 : 0;
    w->lastDone = done;
    int call = w->calls++;
    if (w->cancelAt >= 0 && call >= w->cancelAt) return 1;
    if (w->cancelWhenDone >= 0 && done >= w->cancelWhenDone) return 1;
    if (w->cancelAfterSilent >= 0 && done > 0 && w->silent >= w->cancelAfterSilent) return 1;
    return 0;
}

// Header, then the body in pieces `gapMs` apart, then `silenceMs` of silence.
LoopbackServer::RawScript Paced(const std::string& header, size_t bodyBytes, int pieces, int gapMs,
                                int silenceMs) {
    return [=](SOCKET c, const std::string&) {
        if (!LoopbackServer::SendAll(c, header)) return;
        size_t step = (bodyBytes + pieces - 1) / pieces;
        for (size_t at = 0; at < bodyBytes; at += step) {
            Sleep(gapMs);
            if (!LoopbackServer::SendAll(c, std::string(std::min(step, bodyBytes - at), 'b'))) return;
        }
        Sleep(silenceMs);
    };
}

TEST_F(HostView, CancelLeavesNoBlockNoFileAndNoMemory) {
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\n";
    LoopbackServer paced(Paced(header, 300000, 30, 20, 0));
    LoopbackServer stalled(Paced(header, 1000, 1, 0, 1500));
    paced.ServeConcurrently();
    stalled.ServeConcurrently();
    std::wstring out = folder_ + L"\\out";
    ASSERT_TRUE(CreateDirectoryW(out.c_str(), NULL));
    // The ANSI entry point writes into a folder every code page spells.
    std::wstring outA = base_ + L"\\outA";
    ASSERT_TRUE(CreateDirectoryW(outA.c_str(), NULL));
    std::string dirA(outA.begin(), outA.end());
    struct Row {
        const char* what;
        std::string url;
        Watch watch;
    } rows[] = {
        {"at the first report", paced.Url("/c/x.bin"), Watch{0, 0, -1, -1}},
        {"in the middle of the body", paced.Url("/c/x.bin"), Watch{0, -1, 100000, -1}},
        {"while the server is silent", stalled.Url("/c/x.bin"), Watch{0, -1, -1, 2}},
    };
    size_t before = 0;
    // Two rounds: memory after the second may not exceed memory after the
    // first (a body of 300,000 bytes left behind per call would).
    for (int round = 0; round < 2; ++round) {
        for (Row& r : rows) {
            for (int wide = 0; wide < 2; ++wide) {
                for (unsigned output : {kToMemory, 0u}) {
                    SCOPED_TRACE(std::string(r.what) + (wide ? " W" : " A") +
                                 (output ? " memory" : " file"));
                    Watch w = r.watch;
                    HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
                    DWORD start = GetTickCount();
                    int code;
                    if (wide) {
                        LPWSTR dest = output ? reinterpret_cast<LPWSTR>(&h) : &out[0];
                        code = p_.getFileW(reinterpret_cast<LPCWSTR>(r.url.data()), (LONG_PTR)r.url.size(),
                                           dest, kMemoryIn | output, OnProgress,
                                           reinterpret_cast<LONG_PTR>(&w));
                    } else {
                        LPSTR dest = output ? reinterpret_cast<LPSTR>(&h) : &dirA[0];
                        code = p_.getFile(r.url.data(), (LONG_PTR)r.url.size(), dest,
                                          kMemoryIn | output, OnProgress,
                                          reinterpret_cast<LONG_PTR>(&w));
                    }
                    EXPECT_EQ(1, code);
                    EXPECT_LT(GetTickCount() - start, 2000u) << "the cancel was not prompt";
                    if (output) {
                        EXPECT_EQ(nullptr, h);
                    }
                }
            }
        }
        if (round == 0) before = wine_support::SampleMemory().privateBytes;
    }
    size_t after = wine_support::SampleMemory().privateBytes;
    EXPECT_LE(after, before + 256 * 1024) << "cancelled extractions leave memory behind";
    for (const std::wstring& dir : {out, outA}) {
        WIN32_FIND_DATAW found;
        HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &found);
        int entries = 0;
        if (f != INVALID_HANDLE_VALUE) {
            do {
                entries += found.cFileName[0] != L'.';
            } while (FindNextFileW(f, &found));
            FindClose(f);
        }
        EXPECT_EQ(0, entries) << "a cancelled extraction left a file";
    }
    RemoveDirectoryW(outA.c_str());
}

// A server that announces 1.5 GB and then drips a few bytes: while it does,
// the process's private bytes grow by far less than 20 MiB; a body that ends
// so far short of its announcement is a failed download.
TEST_F(HostView, LyingAnnouncementHoldsNoMemory) {
    LoopbackServer liar([](SOCKET c, const std::string&) {
        if (!LoopbackServer::SendAll(c, "HTTP/1.0 200 OK\r\nContent-Length: 1500000000\r\n\r\nfive!")) {
            return;
        }
        for (int i = 0; i < 12; ++i) {
            Sleep(100);
            if (!LoopbackServer::SendAll(c, "d")) return;
        }
    });
    std::string url = liar.Url("/drip");
    Watch w;
    w.basePrivate = wine_support::SampleMemory().privateBytes;
    HLOCAL h = NULL;
    ASSERT_EQ(6, p_.getFile(url.data(), (LONG_PTR)url.size(), reinterpret_cast<LPSTR>(&h),
                            kMemoryIn | kToMemory, OnProgress, reinterpret_cast<LONG_PTR>(&w)));
    EXPECT_EQ(NULL, h);
    EXPECT_GE(w.calls, 5);
    EXPECT_LT(w.mostPrivate, w.basePrivate + 20 * 1024 * 1024);
}

// Member names whose Shift-JIS bytes end in 0x5C (ソ, 表, 能, 予: the byte of
// '\\' in single-byte code pages), through both listings, both lookups and
// file output, and a name cut at 199 bytes inside such a character. Under
// code page 932 the names are the characters; under 1252 the 0x5C is a
// separator, as a host of that code page reads it.
TEST_F(HostView, ShiftJisNamesInTheHostsCodePage) {
    const bool japanese = GetACP() == 932;
    const std::string so = "\x83\x5C", hyo = "\x95\x5C", no = "\x94\x5C", yo = "\x97\x5C";
    const std::string cut = std::string(198, 'a') + so + ".jpg";  // 198 + 2 + 4 bytes
    doc_ = server_.Url("/p/" + so + ".jpg") + "\r\n" + server_.Url("/p/" + hyo + no + yo + ".png") +
           "\r\n" + server_.Url("/p/" + cut) + "\r\n";
    // The third is cut to 199 in its stem, and keeps its extension.
    const std::string names[] = {japanese ? so + ".jpg" : ".jpg",
                                 japanese ? hyo + no + yo + ".png" : ".png",
                                 japanese ? std::string(195, 'a') + ".jpg" : ".jpg"};
    const std::wstring wide[] = {L"\u30bd.jpg", L"\u8868\u80fd\u4e88.png",
                                 std::wstring(195, L'a') + L".jpg"};
    std::wstring list = WriteList(folder_ + L"\\names.ykt");
    HLOCAL a = NULL;
    HLOCAL w = NULL;
    ASSERT_EQ(0, p_.getArchiveInfo(doc_.data(), (LONG_PTR)doc_.size(), kMemoryIn, &a));
    ASSERT_EQ(0, p_.getArchiveInfoW(list.c_str(), 0, kFileIn, &w));
    const fileInfo* ra = static_cast<const fileInfo*>(LocalLock(a));
    const fileInfoW* rw = static_cast<const fileInfoW*>(LocalLock(w));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(names[i], std::string(ra[i].filename));
        if (japanese) {
            EXPECT_EQ(wide[i], std::wstring(rw[i].filename));
        }
        fileInfo info;
        EXPECT_EQ(0, p_.getFileInfo(doc_.data(), (LONG_PTR)doc_.size(), ra[i].filename, kMemoryIn,
                                    &info));
        fileInfoW infoW;
        EXPECT_EQ(0, p_.getFileInfoW(list.c_str(), 0, rw[i].filename, kFileIn, &infoW));
        // Under 1252 the third name is ".jpg" again: a lookup finds the first.
        EXPECT_EQ(ra[japanese || i < 2 ? i : 0].position, infoW.position);
        EXPECT_EQ(infoW.position, info.position);
    }
    if (japanese) {
        // The file written is named by the characters, in a Japanese folder.
        std::wstring out = folder_ + L"\\out";
        ASSERT_TRUE(CreateDirectoryW(out.c_str(), NULL));
        ASSERT_EQ(0, p_.getFileW(list.c_str(), 0, &out[0], kFileIn, NULL, 0));
        created_.push_back(out + L"\\" + wide[0]);
        EXPECT_EQ(kBody, ReadAll(out + L"\\" + wide[0]));
    }
    LocalFree(a);
    LocalFree(w);
}

// A list saved as Shift-JIS and one saved as UTF-8 (with and without its
// byte-order mark), and one copied from a browser (percent-encoded), all
// naming 日本語.png: the server receives the request a browser sends, the
// Unicode records show the characters, and the ANSI records show them in the
// host's code page (932), or '_' for each one it cannot hold (1252).
TEST_F(HostView, ShiftJisAndUtf8ListsSendAndShowTheSame) {
    const bool japanese = GetACP() == 932;
    const std::string path = "/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.png";  // UTF-8
    const struct {
        const char* what;
        std::string line;  // the bytes after the host
        bool readHere;     // read as intended in this code page
    } lists[] = {
        {"Shift-JIS", "/\x93\xfa\x96\x7b\x8c\xea.png", japanese},
        {"UTF-8", path, true},
        {"UTF-8 with its mark", path, true},
        {"percent-encoded", "/%E6%97%A5%E6%9C%AC%E8%AA%9E.png", true},
    };
    const std::wstring wide = L"\u65e5\u672c\u8a9e.png";
    const std::string ansi = japanese ? "\x93\xfa\x96\x7b\x8c\xea.png" : "___.png";
    const std::string sent = "GET /%E6%97%A5%E6%9C%AC%E8%AA%9E.png HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(server_.port()) + "\r\n";
    for (const auto& l : lists) {
        SCOPED_TRACE(l.what);
        doc_ = (std::string(l.what) == "UTF-8 with its mark" ? "\xef\xbb\xbf" : "") +
               server_.Url(l.line) + "\r\n";
        std::wstring list = WriteList(folder_ + L"\\l.ykt");
        size_t before = server_.Requests().size();
        HLOCAL a = NULL;
        HLOCAL w = NULL;
        ASSERT_EQ(0, p_.getArchiveInfo(doc_.data(), (LONG_PTR)doc_.size(), kMemoryIn, &a));
        ASSERT_EQ(0, p_.getArchiveInfoW(list.c_str(), 0, kFileIn, &w));
        std::string ansiName = static_cast<const fileInfo*>(LocalLock(a))[0].filename;
        std::wstring wideName = static_cast<const fileInfoW*>(LocalLock(w))[0].filename;
        LocalFree(a);
        LocalFree(w);
        std::vector<std::string> requests = server_.Requests();
        ASSERT_EQ(before + 2, requests.size());
        if (!l.readHere) continue;
        EXPECT_EQ(0u, requests.back().rfind(sent, 0)) << requests.back();
        EXPECT_EQ(ansi, ansiName);
        EXPECT_TRUE(wide == wideName);
        fileInfo info;
        fileInfoW infoW;
        EXPECT_EQ(0, p_.getFileInfo(doc_.data(), (LONG_PTR)doc_.size(), ansi.c_str(), kMemoryIn, &info));
        EXPECT_EQ(0, p_.getFileInfoW(list.c_str(), 0, wide.c_str(), kFileIn, &infoW));
    }
}

// The prefix runs in the code page its test asks for (KESTA_EXPECT_ACP),
// so that the rows above prove something about that code page.
TEST_F(HostView, CodePageIsTheOneAskedFor) {
    char expected[16];
    DWORD n = GetEnvironmentVariableA("KESTA_EXPECT_ACP", expected, sizeof expected);
    if (n == 0 || n >= sizeof expected) GTEST_SKIP() << "no code page asked for";
    EXPECT_EQ((UINT)atoi(expected), GetACP());
}

// The progress numbers a host divides by, row by row, through the plug-in
// (tests/support/progress_rule.h).
TEST_F(HostView, ProgressNumbersAHostCanDivideBy) { progress_rule::RunRows(p_.getFile, 60); }

// The most private bytes the process held while `call` ran, sampled every
// millisecond.
template <typename Call>
size_t PeakPrivateBytesDuring(Call call) {
    std::atomic<bool> done{false};
    std::atomic<size_t> peak{wine_support::SampleMemory().privateBytes};
    std::thread sampler([&] {
        while (!done) {
            size_t now = wine_support::SampleMemory().privateBytes;
            if (now > peak) peak = now;
            Sleep(1);
        }
    });
    call();
    done = true;
    sampler.join();
    return peak;
}

// A junk list (addresses without line ends, 1 and 8 MiB) fails without
// holding more than a constant besides the host's image: once, every
// address in it was given a record and a download job first (786 MiB for
// the 8 MiB list).
TEST_F(HostView, JunkListsHoldNoMoreThanAConstant) {
    const size_t kConstant = 16 * 1024 * 1024;
    for (size_t mib : {1u, 8u}) {
        std::string junk;
        while (junk.size() < (mib << 20)) junk += "http://";
        size_t before = wine_support::SampleMemory().privateBytes;
        HLOCAL h = reinterpret_cast<HLOCAL>(0x77);
        int code = -99;
        size_t peak = PeakPrivateBytesDuring([&] {
            code = p_.getArchiveInfo(junk.data(), (LONG_PTR)junk.size(), kMemoryIn, &h);
        });
        EXPECT_EQ(6, code) << mib << " MiB";
        EXPECT_EQ(nullptr, h);
        EXPECT_LT(peak, before + kConstant) << mib << " MiB: " << peak - before << " bytes more";
    }
}

}  // namespace
