// Plain Win32 threads: no C++ threads library, whose runtime keeps a
// thread-local slot per load of the DLL. Threads, not non-blocking sockets
// with select: each download stays the same blocking exchange that a single
// download is, so a member's request and reception are byte for byte what
// they would be on its own, and only the interleaving of connections changes.
#include "plugin/parallel.h"

#include "compat/win32.h"

namespace {

// More would not help: a listing keeps a handful of downloads in flight.
const int kMostThreads = 16;
// Each thread needs some 30 KiB (a request, a URL and the header texts).
const SIZE_T kStackReserve = 256 * 1024;

struct Work {
    void (*work)(void*);
    void* context;
};

DWORD WINAPI ThreadMain(LPVOID parameter) {
    const Work* w = static_cast<const Work*>(parameter);
    w->work(w->context);
    return 0;
}

}  // namespace

void RunOnThreads(int width, void (*work)(void* context), void* context) {
    Work w = {work, context};
    HANDLE threads[kMostThreads];
    int started = 0;
    while (started < width - 1 && started < kMostThreads) {
        HANDLE h = CreateThread(NULL, kStackReserve, ThreadMain, &w,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
        if (!h) break;  // no more threads to be had: fewer do the work
        threads[started++] = h;
    }
    ThreadMain(&w);
    for (int i = 0; i < started; ++i) {
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
    }
}
