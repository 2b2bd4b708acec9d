// The progress numbers a host divides by, as a table of servers that the
// native tests and the Wine tests (through the plug-in) both run: no length,
// lying lengths, silence before the header, a redirect, and bytes that drip
// at 90, 190 and 290 ms. For every call: total >= 1, 0 <= done <= total, done
// never smaller than before, and at most 250 ms (plus the slack a loaded
// machine needs) since the call before; the last call's numbers are the
// row's own.
#ifndef KESTA_TESTS_SUPPORT_PROGRESS_RULE_H
#define KESTA_TESTS_SUPPORT_PROGRESS_RULE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_server.h"

namespace progress_rule {

const int kUnknown = 1024 * 1024;  // what the plug-in adds to done while the total is unknown
const int kGapLimitMs = 250;       // the host's limit between two calls
const unsigned kMemoryInMemoryOut = 0x0101;  // GetFile's flag: memory image in, memory block out

struct Call {
    long long atMs;
    int done;
    int total;
};

// What the callback saw.
struct Record {
    std::vector<Call> calls;
};

inline long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline int __stdcall OnProgress(int done, int total, LONG_PTR datum) {
    reinterpret_cast<Record*>(datum)->calls.push_back({NowMs(), done, total});
    return 0;
}

inline void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A server that waits `beforeMs`, sends `head`, then `body` one piece of
// `piece` bytes every `gapMs`.
inline LoopbackServer::RawScript Drip(int beforeMs, std::string head, std::string body, size_t piece,
                                      int gapMs) {
    return [=](SOCKET c, const std::string&) {
        Pause(beforeMs);
        if (!LoopbackServer::SendAll(c, head)) return;
        for (size_t at = 0; at < body.size(); at += piece) {
            Pause(gapMs);
            if (!LoopbackServer::SendAll(c, body.substr(at, piece))) return;
        }
    };
}

struct Row {
    const char* what;
    LoopbackServer::RawScript script;
    int announced;    // the final response's Content-Length, 0 for none
    int code;         // GetFile's result
    int lastDone;
    int lastTotal;
};

inline std::vector<Row> Rows() {
    const std::string body(3000, 'b');
    const std::string ok = "HTTP/1.0 200 OK\r\n";
    auto moved = [=](SOCKET c, const std::string& request) {
        if (LoopbackServer::PathOf(request) != "/final") {
            Pause(300);
            LoopbackServer::SendAll(c, "HTTP/1.0 302 Found\r\nLocation: /final\r\n\r\n");
            return;
        }
        Drip(0, ok + "Content-Length: 3000\r\n\r\n", body, 1000, 100)(c, request);
    };
    return {
        {"no length", Drip(0, ok + "\r\n", body, 1000, 150), 0, 0, 3000, 3000},
        {"the announced length", Drip(0, ok + "Content-Length: 3000\r\n\r\n", body, 1000, 150),
         3000, 0, 3000, 3000},
        {"more than announced: the announced part", Drip(0, ok + "Content-Length: 1500\r\n\r\n",
                                                          body, 1000, 150),
         1500, 0, 1500, 1500},
        {"less than announced", Drip(0, ok + "Content-Length: 9000\r\n\r\n", body, 1000, 150),
         9000, 6, 3000, 9000},
        {"silence before the header", Drip(700, ok + "\r\n", body, 3000, 0), 0, 0, 3000,
         3000},
        {"a redirect first", moved, 3000, 0, 3000, 3000},
        {"a byte every 90 ms", Drip(0, ok + "\r\n", std::string(8, 'x'), 1, 90), 0, 0, 8, 8},
        {"a byte every 190 ms", Drip(0, ok + "\r\n", std::string(5, 'x'), 1, 190), 0, 0, 5,
         5},
        {"a byte every 290 ms", Drip(0, ok + "\r\n", std::string(4, 'x'), 1, 290), 0, 0, 4,
         4},
    };
}

// The faults of one row's calls, empty when the rule holds; `slackMs` is
// added to the gap limit for the machine's scheduling.
inline std::vector<std::string> Check(const Row& row, const Record& r, int code, int slackMs) {
    std::vector<std::string> faults;
    if (code != row.code) faults.push_back("code " + std::to_string(code));
    if (r.calls.empty()) {
        faults.push_back("no call at all");
        return faults;
    }
    for (size_t i = 0; i < r.calls.size(); ++i) {
        const Call& c = r.calls[i];
        std::string at = "call " + std::to_string(i) + " (" + std::to_string(c.done) + ", " +
                         std::to_string(c.total) + "): ";
        if (c.total < 1) faults.push_back(at + "total below 1");
        if (c.done < 0 || c.done > c.total) faults.push_back(at + "done outside 0..total");
        if (i > 0 && c.done < r.calls[i - 1].done) faults.push_back(at + "done went down");
        if (i > 0 && c.atMs - r.calls[i - 1].atMs > kGapLimitMs + slackMs) {
            faults.push_back(at + std::to_string(c.atMs - r.calls[i - 1].atMs) + " ms after the last");
        }
        bool unknown = c.total == c.done + kUnknown;
        bool announced = row.announced > 0 && c.total == row.announced && c.done <= row.announced;
        if (i + 1 < r.calls.size() && !unknown && !announced) {
            faults.push_back(at + "a total neither announced nor the unknown rule's");
        }
    }
    const Call& last = r.calls.back();
    if (last.done != row.lastDone || last.total != row.lastTotal) {
        faults.push_back("last call (" + std::to_string(last.done) + ", " +
                         std::to_string(last.total) + ")");
    }
    return faults;
}

// Runs every row through `getFile` (GetFile's arguments and result) and
// reports each fault as a test failure.
template <typename GetFileFn>
void RunRows(GetFileFn getFile, int slackMs) {
    for (const Row& row : Rows()) {
        LoopbackServer server(row.script);
        Record record;
        std::string url = server.Url("/row");
        HLOCAL h = NULL;
        int code = getFile(url.data(), (LONG_PTR)url.size(), reinterpret_cast<char*>(&h),
                           kMemoryInMemoryOut, OnProgress, reinterpret_cast<LONG_PTR>(&record));
        LocalFree(h);
        for (const std::string& fault : Check(row, record, code, slackMs)) {
            ADD_FAILURE() << row.what << ": " << fault;
        }
    }
}

}  // namespace progress_rule

#endif  // KESTA_TESTS_SUPPORT_PROGRESS_RULE_H
