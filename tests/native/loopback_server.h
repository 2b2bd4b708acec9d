// A scripted HTTP server on 127.0.0.1 for the native tests: it accepts
// connections on a free port, records each request (up to its blank line),
// answers with a response chosen by the test and closes. Connections are
// served one after another, or each on a thread of its own once
// ServeConcurrently() is called. Every wait is bounded, and the destructor
// stops the threads.
#ifndef KESTA_TESTS_NATIVE_LOOPBACK_SERVER_H
#define KESTA_TESTS_NATIVE_LOOPBACK_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/fetch.h"

// The last-error text that a download outcome leaves.
inline std::string FetchText(FetchMessage m) {
    RecordFetchMessage(m);
    return HttpLastError();
}

class LoopbackServer {
public:
    // Answers a request (as received) with the bytes to send.
    using Script = std::function<std::string(const std::string& request)>;

    // Serves a connection itself (the socket, the request); the server closes it after.
    using RawScript = std::function<void(int socket, const std::string& request)>;

    explicit LoopbackServer(RawScript raw) : LoopbackServer(Script(), std::move(raw)) {}
    explicit LoopbackServer(Script script) : LoopbackServer(std::move(script), RawScript()) {}

    LoopbackServer(Script script, RawScript raw) : script_(std::move(script)), raw_(std::move(raw)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = 0;
        bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(listener_, 16);
        socklen_t len = sizeof sa;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Run(); });
    }

    explicit LoopbackServer(const std::string& response)
        : LoopbackServer([response](const std::string&) { return response; }) {}

    ~LoopbackServer() {
        stop_ = true;
        thread_.join();
        for (std::thread& t : connections_) t.join();
        close(listener_);
    }

    // From now on each connection is served on a thread of its own, so that
    // a slow answer holds up no other.
    void ServeConcurrently() { concurrent_ = true; }

    int port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    static const int kPollMs = 20;
    static const int kRequestWaitMs = 2000;

    void Run() {
        while (!stop_) {
            pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, kPollMs) <= 0) continue;
            int c = accept(listener_, nullptr, nullptr);
            if (c < 0) continue;
            if (concurrent_) {
                connections_.emplace_back([this, c] { Serve(c); });
            } else {
                Serve(c);
            }
        }
    }

    void Serve(int c) {
        std::string request = ReadRequest(c);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        if (raw_) {
            raw_(c, request);
            close(c);
            return;
        }
        std::string response = script_(request);
        size_t sent = 0;
        while (sent < response.size()) {
            ssize_t n = send(c, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += (size_t)n;
        }
        close(c);
    }

    static std::string ReadRequest(int c) {
        std::string request;
        char buf[4096];
        for (int waited = 0; waited < kRequestWaitMs && request.find("\r\n\r\n") == std::string::npos;) {
            pollfd p = {c, POLLIN, 0};
            if (poll(&p, 1, kPollMs) <= 0) {
                waited += kPollMs;
                continue;
            }
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, (size_t)n);
        }
        return request;
    }

    Script script_;
    RawScript raw_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> concurrent_{false};
    std::vector<std::thread> connections_;  // touched by the accepting thread only
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A port on 127.0.0.1 with nothing listening: bound, then closed.
inline int UnusedLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    close(s);
    return ntohs(sa.sin_port);
}

#endif  // KESTA_TESTS_NATIVE_LOOPBACK_SERVER_H
