// Plain threads over one shared counter. Threads, not non-blocking sockets
// with select: each download stays the same blocking exchange that a single
// download is, so a member's request and reception are byte for byte what
// they would be on its own, and only the interleaving of connections
// changes. The counter hands out the jobs in order, so they start in order.
#include "plugin/parallel.h"

#include <atomic>
#include <thread>

namespace {

struct Queue {
    std::atomic<int64_t> next;
    int64_t count;
    void (*job)(void*, int64_t);
    void* context;
};

void Drain(Queue* q) {
    for (;;) {
        int64_t i = q->next.fetch_add(1);
        if (i >= q->count) return;
        q->job(q->context, i);
    }
}

}  // namespace

void RunInOrder(int64_t count, int width, void (*job)(void* context, int64_t i), void* context) {
    Queue q;
    q.next = 0;
    q.count = count;
    q.job = job;
    q.context = context;
    int64_t helpers = (count < width ? count : width) - 1;
    std::thread threads[16];
    int started = 0;
    for (; started < helpers && started < 16; ++started) {
        try {
            threads[started] = std::thread(Drain, &q);
        } catch (...) {
            break;  // no more threads to be had: fewer do the work
        }
    }
    Drain(&q);
    for (int i = 0; i < started; ++i) threads[i].join();
}
