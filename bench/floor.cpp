// make bench: the floor of a download. A bare client sends the plug-in's GET
// request and receives until the server closes into one block, asking each
// recv for up to READ bytes, and prints the seconds and the bytes. Built for
// Wine at both widths (Winsock 1.1) and natively (POSIX sockets).
// Usage: floor HOST PORT PATH CAPACITY touched|fresh READ
//   touched: the block is written before the clock starts, so no page fault
//   is timed; fresh: it is new and untouched, as a block handed to a host is,
//   and the receive pays the first touch of every page.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>
#define close closesocket
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int SOCKET;
#endif

static const unsigned long kMaxCapacity = 1024ul * 1024 * 1024;  // 1 GiB: sane at 32 bits

static int Fail(const char* what) {
    fprintf(stderr, "floor: %s failed\n", what);
    return 1;
}

int main(int argc, char** argv) {
    unsigned long capacity = argc == 7 ? strtoul(argv[4], NULL, 10) : 0;
    unsigned long read = argc == 7 ? strtoul(argv[6], NULL, 10) : 0;
    bool fresh = argc == 7 && strcmp(argv[5], "fresh") == 0;
    int port = argc == 7 ? atoi(argv[2]) : 0;
    if (port <= 0 || port > 65535 || capacity == 0 || capacity > kMaxCapacity || read == 0 ||
        read > capacity || (!fresh && strcmp(argv[5], "touched") != 0)) {
        fprintf(stderr, "usage: floor HOST PORT PATH CAPACITY touched|fresh READ\n");
        return 2;
    }
    char request[8192];  // path and host are short here
    int length = snprintf(request, sizeof request,
                          "GET %s HTTP/1.0\r\nHost: %s:%d\r\n"
                          "User-Agent: RUSKO Susie Plugin Http Client/1.0\r\n\r\n",
                          argv[3], argv[1], port);
    if (length <= 0 || (size_t)length >= sizeof request) return Fail("request");
    char* block = static_cast<char*>(malloc(capacity));
    if (block == NULL) return Fail("malloc");
    if (!fresh) memset(block, 1, capacity);

    auto start = std::chrono::steady_clock::now();
#ifdef _WIN32
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0) return Fail("WSAStartup");
#endif
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((unsigned short)port);
    sa.sin_addr.s_addr = inet_addr(argv[1]);
    if (connect(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) return Fail("connect");
    for (int sent = 0, n = 0; sent < length; sent += n) {
        n = (int)send(s, request + sent, length - sent, 0);
        if (n <= 0) return Fail("send");
    }
    unsigned long total = 0;
    for (;;) {
        unsigned long room = capacity - total;
        if (room == 0) return Fail("a response longer than the block:");
        int got = (int)recv(s, block + total, (int)(room < read ? room : read), 0);
        if (got == 0) break;
        if (got < 0) return Fail("recv");
        total += (unsigned long)got;
    }
    close(s);
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    printf("seconds: %.6f\nbytes: %lu\n", seconds.count(), total);
    free(block);
    return 0;
}
