// make bench: the native floor for a download into a new block. A plain
// POSIX client sends the same GET request text as the plug-in and receives
// into a freshly malloc'd, never touched block until the server closes, up to
// READ bytes a recv: what native HttpFetch's figure is fairly compared with
// (curl -o /dev/null reuses one small buffer and keeps nothing). Prints the
// seconds and the bytes.
// Usage: native_floor HOST PORT PATH CAPACITY READ
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

static const size_t kRequestCapacity = 8192;  // path and host are short here
static const unsigned long kMaxCapacity = 1024ul * 1024 * 1024;  // 1 GiB is plenty here

static int Fail(const char* what) {
    perror(what);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: native_floor HOST PORT PATH CAPACITY READ\n");
        return 2;
    }
    int port = atoi(argv[2]);
    unsigned long capacity = strtoul(argv[4], NULL, 10);
    unsigned long read = strtoul(argv[5], NULL, 10);
    if (port <= 0 || port > 65535 || capacity == 0 || capacity > kMaxCapacity || read == 0 ||
        read > capacity) {
        fprintf(stderr, "native_floor: bad port, capacity or read size\n");
        return 2;
    }
    char request[kRequestCapacity];
    int requestLength = snprintf(request, sizeof request,
                                 "GET %s HTTP/1.0\r\nHost: %s:%d\r\n"
                                 "User-Agent: RUSKO Susie Plugin Http Client/1.0\r\n\r\n",
                                 argv[3], argv[1], port);
    if (requestLength <= 0 || (size_t)requestLength >= sizeof request) {
        fprintf(stderr, "native_floor: request too long\n");
        return 2;
    }

    auto start = std::chrono::steady_clock::now();
    char* buffer = static_cast<char*>(malloc(capacity));  // untouched: its pages fault in as bytes arrive
    if (!buffer) return Fail("malloc");
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return Fail("socket");
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((unsigned short)port);
    sa.sin_addr.s_addr = inet_addr(argv[1]);
    if (connect(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) return Fail("connect");
    for (int sent = 0; sent < requestLength;) {
        ssize_t n = send(s, request + sent, (size_t)(requestLength - sent), 0);
        if (n <= 0) return Fail("send");
        sent += (int)n;
    }
    size_t total = 0;
    for (;;) {
        size_t room = capacity - total;
        if (room == 0) {
            fprintf(stderr, "native_floor: the response is longer than the buffer\n");
            return 1;
        }
        ssize_t n = recv(s, buffer + total, room < read ? room : read, 0);
        if (n == 0) break;
        if (n < 0) return Fail("recv");
        total += (size_t)n;
    }
    close(s);
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    printf("seconds: %.6f\n", seconds.count());
    printf("bytes: %zu\n", total);
    free(buffer);
    return 0;
}
