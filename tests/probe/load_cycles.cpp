// load_cycles: a viewer that loads the plug-in for every file it opens and
// unloads it after, as hosts do, from one or more threads at once. Each
// cycle loads the plug-in, lists a URL list (a memory image, so that the
// listing's threads download its members in parallel), extracts one member
// into memory and unloads the plug-in. It imports nothing from ws2_32.dll
// and never starts Winsock itself: many viewers don't, and then the
// plug-in's unload is what unloads the socket library.
//
//   load_cycles PLUGIN LIST CYCLES THREADS KEPT
//
// The first cycles (on one thread) give the records every later listing
// must repeat. Then THREADS threads run KEPT cycles each while the probe
// itself holds the plug-in loaded, so that only the calls
// run and nothing is unloaded (what Wine keeps per thread or per call shows
// here), then CYCLES cycles each with every FreeLibrary unloading it. Prints what it saw, one
// "name value..." per line, for tests/e2e/test_tls.py to judge: failures,
// and the process's free TLS slots, handles, threads and private bytes
// before, between and after the two rounds. Exit status 0 when every cycle
// gave the records and bytes of the first, else 1; 2 on bad usage.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/entries.h"
#include "tests/probe/wine_support.h"

#include <tlhelp32.h>

namespace {

const int kWarmUpCycles = 20;  // Wine's own first-use costs come before the first sample
const unsigned kMemoryInput = 0x0001;
const unsigned kMemoryOutput = 0x0100;

struct Shared {
    std::wstring plugin;
    std::string list;
    int cycles;  // per thread, in the round under way
    std::vector<fileInfo> reference;  // the records of the first listing
    volatile LONG failures;
    volatile LONG reported;  // failures printed so far (a few are enough)
};

void Fail(Shared* s, int cycle, const char* what, long detail) {
    InterlockedIncrement(&s->failures);
    if (InterlockedIncrement(&s->reported) <= 10) {
        printf("failure cycle %d: %s (%ld)\n", cycle, what, detail);
        fflush(stdout);
    }
}

// One load, listing, extraction and unload. Records the listing into
// `records` when it is not NULL (the reference), else compares with it.
void Cycle(Shared* s, int cycle, std::vector<fileInfo>* records) {
    HMODULE m = LoadLibraryW(s->plugin.c_str());
    if (!m) {
        Fail(s, cycle, "LoadLibrary", (long)GetLastError());
        return;
    }
    PluginEntries e;
    FindPluginEntries(m, &e);
    if (!e.HasAnsiSet()) {
        Fail(s, cycle, "entry points", 0);
        FreeLibrary(m);
        return;
    }
    HLOCAL listing = NULL;
    int rc = e.getArchiveInfo(s->list.data(), (LONG_PTR)s->list.size(), kMemoryInput, &listing);
    if (rc != SPI_SUCCESS || !listing) {
        Fail(s, cycle, "GetArchiveInfo", rc);
        FreeLibrary(m);
        return;
    }
    const fileInfo* got = static_cast<const fileInfo*>(LocalLock(listing));
    size_t count = LocalSize(listing) / sizeof(fileInfo) - 1;
    if (records) {
        records->assign(got, got + count);
    } else if (count != s->reference.size()) {
        Fail(s, cycle, "record count", (long)count);
    } else {
        for (size_t i = 0; i < count; ++i) {
            const fileInfo& want = s->reference[i];
            if (got[i].filesize != want.filesize || got[i].timestamp != want.timestamp ||
                got[i].position != want.position || strcmp(got[i].filename, want.filename) != 0) {
                Fail(s, cycle, "record differs from the first listing's", (long)i);
            }
        }
    }
    const std::vector<fileInfo>& ref = records ? *records : s->reference;
    LocalUnlock(listing);
    LocalFree(listing);
    if (!ref.empty()) {
        const fileInfo& member = ref[(size_t)cycle % ref.size()];
        HLOCAL body = NULL;
        const char* at = s->list.data() + member.position;
        rc = e.getFile(at, (LONG_PTR)(s->list.size() - member.position), (LPSTR)&body,
                       kMemoryInput | kMemoryOutput, NULL, 0);
        if (rc != SPI_SUCCESS || !body) {
            Fail(s, cycle, "GetFile", rc);
        } else if (LocalSize(body) != member.filesize) {
            Fail(s, cycle, "GetFile size", (long)LocalSize(body));
        }
        if (body) LocalFree(body);
    }
    if (!FreeLibrary(m)) Fail(s, cycle, "FreeLibrary", (long)GetLastError());
}

DWORD WINAPI Run(LPVOID parameter) {
    Shared* s = static_cast<Shared*>(parameter);
    for (int i = 0; i < s->cycles; ++i) Cycle(s, i, NULL);
    return 0;
}

// Runs `threads` threads of s->cycles cycles each to their end; the cycles run.
int RunThreads(Shared* s, int threads) {
    std::vector<HANDLE> running;
    for (int i = 0; i < threads; ++i) {
        HANDLE h = CreateThread(NULL, 0, Run, s, 0, NULL);
        if (h) running.push_back(h);
    }
    for (HANDLE h : running) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
    return s->cycles * (int)running.size();
}

// Free thread-local slots: taken until none is left, then given back.
int FreeTlsSlots() {
    std::vector<DWORD> taken;
    for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(slot);
    for (DWORD slot : taken) TlsFree(slot);
    return (int)taken.size();
}

// Open handles of this process, counted by asking about every handle value
// (Wine's GetProcessHandleCount answers 0): values are multiples of 4, and
// the walk ends 16,384 values past the last open one.
int OpenHandles() {
    int open = 0;
    uintptr_t lastOpen = 0;
    for (uintptr_t v = 4; v < lastOpen + 4 * 16384; v += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags)) {
            ++open;
            lastOpen = v;
        }
    }
    return open;
}

int ThreadsOfThisProcess() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 t;
    t.dwSize = sizeof t;
    int n = 0;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t)) {
        n += t.th32OwnerProcessID == GetCurrentProcessId();
    }
    CloseHandle(snap);
    return n;
}

struct State {
    int tlsSlots, handles, threads;
    size_t privateBytes;
};

State Sample() {
    State s;
    s.tlsSlots = FreeTlsSlots();
    s.handles = OpenHandles();
    s.threads = ThreadsOfThisProcess();
    s.privateBytes = wine_support::SampleMemory().privateBytes;
    return s;
}

bool ReadFileBytes(const wchar_t* name, std::string* out) {
    FILE* f = _wfopen(name, L"rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    fclose(f);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: load_cycles PLUGIN LIST CYCLES THREADS KEPT\n");
        return 2;
    }
    static Shared s;
    s.plugin = argv[1];
    const int rounds[2] = {_wtoi(argv[5]), _wtoi(argv[3])};  // kept loaded, unloaded
    int threads = _wtoi(argv[4]);
    if (!ReadFileBytes(argv[2], &s.list) || rounds[0] < 1 || rounds[1] < 1 || threads < 1 ||
        threads > 8) {
        fprintf(stderr, "load_cycles: bad arguments\n");
        return 2;
    }
    Cycle(&s, 0, &s.reference);
    for (int i = 1; i < kWarmUpCycles; ++i) Cycle(&s, i, NULL);
    State states[3];
    states[0] = Sample();
    DWORD started = GetTickCount();
    int cycles[2] = {0, 0};
    for (int round = 0; round < 2; ++round) {
        HMODULE held = round == 0 ? LoadLibraryW(s.plugin.c_str()) : NULL;
        s.cycles = rounds[round];
        cycles[round] = RunThreads(&s, threads);
        if (held) FreeLibrary(held);
        states[round + 1] = Sample();
    }
    DWORD seconds = (GetTickCount() - started) / 1000;
    printf("members %u\n", (unsigned)s.reference.size());
    printf("cycles %d %d\n", cycles[0], cycles[1]);
    printf("failures %ld\n", (long)s.failures);
    printf("seconds %lu\n", (unsigned long)seconds);
    // before, after the round kept loaded, after the round with unloads
    printf("tls_slots %d %d %d\n", states[0].tlsSlots, states[1].tlsSlots, states[2].tlsSlots);
    printf("handles %d %d %d\n", states[0].handles, states[1].handles, states[2].handles);
    printf("threads %d %d %d\n", states[0].threads, states[1].threads, states[2].threads);
    printf("private_bytes %lu %lu %lu\n", (unsigned long)states[0].privateBytes,
           (unsigned long)states[1].privateBytes, (unsigned long)states[2].privateBytes);
    return s.failures == 0 && !s.reference.empty() ? 0 : 1;
}
