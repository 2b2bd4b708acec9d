// make bench: the floor for a download under Wine. A bare Winsock 1.1 client
// sends the same GET request text as the plug-in and receives into one
// buffer until the server closes, asking each recv for up to READ bytes.
// Prints the seconds (performance counter) and the bytes. Built at both
// widths.
// Usage: floor.exe HOST PORT PATH CAPACITY [touched|fresh [READ]]
//   CAPACITY: buffer bytes; when the response is longer, receiving wraps to
//   the start of the buffer (65536: one reused 64 KiB buffer).
//   touched (the default): the buffer is touched before the clock starts, so
//   no page fault is timed. fresh: the buffer is as new as a block handed to
//   a host (committed, never touched) and the receive pays the first touch of
//   every page, as any download into a new block must.
//   READ: the most bytes asked of one recv (default 65536).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <winsock.h>

static const unsigned long kDefaultRead = 64 * 1024;  // bytes asked of each recv
static const size_t kRequestCapacity = 8192;  // path and host are short here
static const unsigned long kMaxCapacity = 1024ul * 1024 * 1024;  // 1 GiB: a 32-bit process's sane bound

static int Fail(const char* what) {
    fprintf(stderr, "floor: %s failed (%d)\n", what, WSAGetLastError());
    return 1;
}

// Sends all of data; false on an error.
static bool SendAll(SOCKET s, const char* data, int n) {
    while (n > 0) {
        int sent = send(s, data, n, 0);
        if (sent <= 0) return false;
        data += sent;
        n -= sent;
    }
    return true;
}

// Receives until the server closes; returns the byte count, or -1.
static long long ReceiveAll(SOCKET s, char* buffer, size_t capacity, size_t read) {
    long long total = 0;
    size_t at = 0;
    for (;;) {
        if (at == capacity) at = 0;
        size_t room = capacity - at;
        int want = (int)(room < read ? room : read);
        int got = recv(s, buffer + at, want, 0);
        if (got == 0) return total;
        if (got < 0) return -1;
        at += (size_t)got;
        total += got;
    }
}

int main(int argc, char** argv) {
    bool fresh = argc >= 6 && strcmp(argv[5], "fresh") == 0;
    bool touched = argc < 6 || strcmp(argv[5], "touched") == 0;
    if (argc < 5 || argc > 7 || (!fresh && !touched)) {
        fprintf(stderr, "usage: floor.exe HOST PORT PATH CAPACITY [touched|fresh [READ]]\n");
        return 2;
    }
    const char* host = argv[1];
    int port = atoi(argv[2]);
    unsigned long capacity = strtoul(argv[4], NULL, 10);
    unsigned long read = argc == 7 ? strtoul(argv[6], NULL, 10) : kDefaultRead;
    if (port <= 0 || port > 65535 || capacity < kDefaultRead || capacity > kMaxCapacity ||
        read == 0 || read > kMaxCapacity) {
        fprintf(stderr, "floor: bad port, capacity or read size\n");
        return 2;
    }
    char request[kRequestCapacity];
    int requestLength = snprintf(request, sizeof request,
                                 "GET %s HTTP/1.0\r\nHost: %s:%d\r\n"
                                 "User-Agent: RUSKO Susie Plugin Http Client/1.0\r\n\r\n",
                                 argv[3], host, port);
    if (requestLength <= 0 || (size_t)requestLength >= sizeof request) {
        fprintf(stderr, "floor: request too long\n");
        return 2;
    }
    char* buffer = static_cast<char*>(
        VirtualAlloc(NULL, capacity, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!buffer) {
        fprintf(stderr, "floor: no buffer of %lu bytes\n", capacity);
        return 1;
    }
    if (!fresh) memset(buffer, 0, capacity);  // fault the pages in before timing

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0) return Fail("WSAStartup");
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return Fail("socket");
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((unsigned short)port);
    sa.sin_addr.s_addr = inet_addr(host);
    if (connect(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) {
        return Fail("connect");
    }
    if (!SendAll(s, request, requestLength)) return Fail("send");
    long long total = ReceiveAll(s, buffer, capacity, read);
    closesocket(s);
    QueryPerformanceCounter(&end);
    WSACleanup();
    if (total < 0) return Fail("recv");
    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    printf("seconds: %.6f\n", seconds);
    printf("bytes: %lld\n", total);
    VirtualFree(buffer, 0, MEM_RELEASE);
    return 0;
}
