// The scripted HTTP server of the C++ tests, native and under Wine alike: it
// listens on a free port of 127.0.0.1, reads each request up to its blank
// line (bounded), and answers it as the test's script says, then closes.
// Connections are served one after another, or each on a thread of its own
// once ServeConcurrently() is called. Written against the Winsock names that
// compat/win32.h gives on both platforms; under Wine the caller must have
// started Winsock. Every wait is bounded, and the destructor stops the threads.
#ifndef KESTA_TESTS_SUPPORT_LOOPBACK_SERVER_H
#define KESTA_TESTS_SUPPORT_LOOPBACK_SERVER_H

#include <string.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compat/win32.h"

class LoopbackServer {
public:
    // Answers a request (as received) with the bytes to send.
    using Script = std::function<std::string(const std::string& request)>;
    // Serves a connection itself (the socket, the request); the server closes it after.
    using RawScript = std::function<void(SOCKET socket, const std::string& request)>;

    explicit LoopbackServer(RawScript raw) : LoopbackServer(Script(), std::move(raw)) {}
    explicit LoopbackServer(Script script) : LoopbackServer(std::move(script), RawScript()) {}
    explicit LoopbackServer(const std::string& response)
        : LoopbackServer([response](const std::string&) { return response; }) {}

    LoopbackServer(Script script, RawScript raw) : script_(std::move(script)), raw_(std::move(raw)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ == INVALID_SOCKET) return;
        struct sockaddr_in sa = Loopback(0);
        SocketLength length = sizeof sa;
        if (bind(listener_, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(listener_, 16) != 0 ||
            getsockname(listener_, reinterpret_cast<struct sockaddr*>(&sa), &length) != 0) {
            closesocket(listener_);
            listener_ = INVALID_SOCKET;
            return;
        }
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Run(); });
    }

    ~LoopbackServer() { Stop(); }

    // Stops accepting, waits for the connections being served and closes the
    // listener. What the server recorded stays readable.
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (std::thread& t : connections_) t.join();
        connections_.clear();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }

    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // From now on each connection is served on a thread of its own, so that
    // a slow answer holds up no other.
    void ServeConcurrently() { concurrent_ = true; }
    // Keeps no requests (a memory measurement must not see them grow).
    void ForgetRequests() { keepRequests_ = false; }

    bool listening() const { return listener_ != INVALID_SOCKET; }
    int port() const { return port_; }
    int served() const { return served_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // The paths of the requests, in the order they came.
    std::vector<std::string> Paths() {
        std::vector<std::string> paths;
        for (const std::string& r : Requests()) paths.push_back(PathOf(r));
        return paths;
    }

    static struct sockaddr_in Loopback(int port) {
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = inet_addr("127.0.0.1");
        sa.sin_port = htons((unsigned short)port);
        return sa;
    }

    // True once `s` is readable, within `millis`; false at once when stopped.
    static bool WaitReadable(SOCKET s, int millis, const std::atomic<bool>* stop = nullptr) {
        for (int waited = 0; waited < millis && !(stop && *stop); waited += kPollMillis) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            struct timeval tv = {0, kPollMillis * 1000};
            int n = select((int)s + 1, &set, NULL, NULL, &tv);
            if (n != 0) return n > 0;
        }
        return false;
    }

    static bool SendAll(SOCKET s, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            int n = send(s, bytes.data() + sent, (int)(bytes.size() - sent), 0);
            if (n <= 0) return false;
            sent += (size_t)n;
        }
        return true;
    }

    // The path of "GET <path> HTTP/1.0".
    static std::string PathOf(const std::string& request) {
        std::string line = request.substr(0, request.find("\r\n"));
        size_t first = line.find(' ');
        size_t last = line.rfind(' ');
        if (first == std::string::npos || last <= first) return std::string();
        return line.substr(first + 1, last - first - 1);
    }

private:
    static const int kPollMillis = 20;           // how often a wait looks at the stop flag
    static const int kRequestWaitMillis = 5000;  // bound on waiting for a request's blank line
    static const size_t kRequestCap = 64 * 1024; // a longer request is cut (ours are < 5 KiB)

    void Run() {
        while (!stop_) {
            if (!WaitReadable(listener_, kPollMillis, &stop_)) continue;
            SOCKET c = accept(listener_, NULL, NULL);
            if (c == INVALID_SOCKET) continue;
            if (concurrent_) {
                connections_.emplace_back([this, c] { Serve(c); });
            } else {
                Serve(c);
            }
        }
    }

    void Serve(SOCKET c) {
        std::string request = ReadRequest(c);
        if (keepRequests_) {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        if (raw_) {
            raw_(c, request);
        } else {
            SendAll(c, script_(request));
            shutdown(c, 1);  // no more sends: the client sees the end of the response
        }
        closesocket(c);
        ++served_;
    }

    std::string ReadRequest(SOCKET c) {
        std::string data;
        char buf[4096];
        while (data.find("\r\n\r\n") == std::string::npos && data.size() < kRequestCap) {
            if (!WaitReadable(c, kRequestWaitMillis, &stop_)) break;
            int n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            data.append(buf, (size_t)n);
        }
        return data;
    }

    Script script_;
    RawScript raw_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> concurrent_{false};
    std::atomic<bool> keepRequests_{true};
    std::atomic<int> served_{0};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::thread> connections_;  // touched by the accepting thread only
    std::thread thread_;
};

// A port of 127.0.0.1 on which nothing listens: bound, then released.
inline int UnusedLoopbackPort() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = LoopbackServer::Loopback(0);
    SocketLength length = sizeof sa;
    bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa);
    getsockname(s, reinterpret_cast<struct sockaddr*>(&sa), &length);
    closesocket(s);
    return ntohs(sa.sin_port);
}

#endif  // KESTA_TESTS_SUPPORT_LOOPBACK_SERVER_H
