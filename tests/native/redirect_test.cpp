// Redirects through the fetch against a scripted loopback server: which
// statuses are followed, every form of "Location:", the limit of ten, the
// refusals, and that a redirect's own body is never waited for. (This build
// has no TLS: a hop to "https://" ends as a TLS-less system would end it.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "http/fetch.h"
#include "tests/native/fetch_text.h"
#include "tests/support/loopback_server.h"

namespace {

const char kFinalBody[] = "the final body";

std::string Moved(int status, const std::string& location, const std::string& body = "moved") {
    return "HTTP/1.0 " + std::to_string(status) + " Moved\r\nLocation: " + location +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Serves the routes of one test; "/chain/N" redirects to "/chain/N-1" down
// to "/chain/0", and "/stall" redirects and then holds the connection open.
class Router {
public:
    explicit Router(std::map<std::string, std::string>* routes) : routes_(routes) {}

    void Serve(SOCKET c, const std::string& request) {
        std::string path = LoopbackServer::PathOf(request);
        std::string reply;
        if (path.rfind("/chain/", 0) == 0) {
            int n = atoi(path.c_str() + 7);
            reply = n > 0 ? Moved(302, "/chain/" + std::to_string(n - 1)) : Final();
        } else if (routes_->count(path)) {
            reply = (*routes_)[path];
        } else {
            reply = "HTTP/1.0 404 Not Found\r\n\r\nnot here";
        }
        LoopbackServer::SendAll(c, reply);
        if (path == "/stall") std::this_thread::sleep_for(std::chrono::seconds(3));
        shutdown(c, 1);
    }

    static std::string Final() {
        return std::string("HTTP/1.0 200 OK\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n") +
               "Content-Length: " + std::to_string(sizeof kFinalBody - 1) + "\r\n\r\n" + kFinalBody;
    }

private:
    std::map<std::string, std::string>* routes_;
};

TEST(FetchRedirect, StatusesLocationFormsAndLimits) {
    std::map<std::string, std::string> routes;
    Router router(&routes);
    LoopbackServer server([&](SOCKET c, const std::string& r) { router.Serve(c, r); });
    LoopbackServer other([&](SOCKET c, const std::string& r) { router.Serve(c, r); });
    server.ServeConcurrently();
    std::string here = "127.0.0.1:" + std::to_string(server.port());
    std::string there = "localhost:" + std::to_string(other.port());
    routes["/final"] = Router::Final();
    routes["/final?x=1"] = Router::Final();
    routes["/stall"] = Moved(302, "/final", std::string(100000, 's'));

    struct Row {
        const char* what;
        std::string route;     // the response of the path the row starts at
        FetchMessage outcome;
        std::string body;      // on success
        std::vector<std::string> then;  // the paths requested after the first ('@': the first)
    } rows[] = {
        {"301", Moved(301, "/final"), kFetchOk, kFinalBody, {"/final"}},
        {"302", Moved(302, "/final"), kFetchOk, kFinalBody, {"/final"}},
        {"303", Moved(303, "/final"), kFetchOk, kFinalBody, {"/final"}},
        {"307", Moved(307, "/final"), kFetchOk, kFinalBody, {"/final"}},
        {"308", Moved(308, "/final"), kFetchOk, kFinalBody, {"/final"}},
        {"300 is content", Moved(300, "/final", "choices"), kFetchOk, "choices", {}},
        {"304 is content", Moved(304, "/final", ""), kFetchOk, "", {}},
        {"305 is content", Moved(305, "/final", "proxy"), kFetchOk, "proxy", {}},
        {"no Location: content", "HTTP/1.0 302 Found\r\n\r\nstay", kFetchOk, "stay", {}},
        {"empty Location: content", "HTTP/1.0 302 Found\r\nLocation:  \t\r\n\r\nstay", kFetchOk,
         "stay", {}},
        {"Location past the first 4096 bytes of the header",
         "HTTP/1.0 302 Found\r\nX-Pad: " + std::string(4100, 'p') + "\r\nLocation: /final\r\n\r\nfar",
         kFetchOk, kFinalBody, {"/final"}},
        {"Location across the 4096th byte",
         "HTTP/1.0 302 Found\r\nX-Pad: " + std::string(4070, 'p') + "\r\nLocation: /final\r\n\r\ncut",
         kFetchOk, kFinalBody, {"/final"}},
        {"a 10 KB Location: too long", Moved(302, "/" + std::string(10000, 'x')),
         kFetchRedirectTooLong, "", {}},
        {"a Location longer than is kept: too long", Moved(302, "/" + std::string(20000, 'x')),
         kFetchRedirectTooLong, "", {}},
        {"bare LF lines", "HTTP/1.0 302 Found\nLocation: /final\n\nmoved", kFetchOk, kFinalBody,
         {"/final"}},
        {"no blank line", "HTTP/1.0 302 Found\r\nLocation: /final\r\n", kFetchOk, kFinalBody,
         {"/final"}},
        {"absolute", Moved(302, "http://" + here + "/final"), kFetchOk, kFinalBody, {"/final"}},
        {"scheme-relative", Moved(302, "//" + here + "/final"), kFetchOk, kFinalBody, {"/final"}},
        {"relative with ..", Moved(302, "../final?x=1"), kFetchOk, kFinalBody, {"/final?x=1"}},
        {"query only", Moved(302, "?v=2"), kFetchOk, kFinalBody, {"@?v=2"}},
        {"fragment never sent", Moved(302, "/final#part"), kFetchOk, kFinalBody, {"/final"}},
        {"spaces around the target", Moved(302, "  /final \t"), kFetchOk, kFinalBody, {"/final"}},
        {"ten hops", Moved(302, "/chain/9"), kFetchOk, kFinalBody,
         {"/chain/9", "/chain/8", "/chain/7", "/chain/6", "/chain/5", "/chain/4", "/chain/3",
          "/chain/2", "/chain/1", "/chain/0"}},
        {"eleven hops", Moved(302, "/chain/10"), kFetchTooManyRedirects, "",
         {"/chain/10", "/chain/9", "/chain/8", "/chain/7", "/chain/6", "/chain/5", "/chain/4",
          "/chain/3", "/chain/2", "/chain/1"}},
        {"a redirect's endless body is not waited for", Moved(302, "/stall"), kFetchOk, kFinalBody,
         {"/stall", "/final"}},
        {"another scheme", Moved(302, "ftp://" + here + "/final"), kFetchRedirectRefused, "", {}},
        {"the same scheme without slashes is relative", Moved(302, "http:/final"), kFetchOk,
         kFinalBody, {"/final"}},
        {"a scheme with an empty host", Moved(302, "http://:80/final"), kFetchRedirectRefused, "",
         {}},
        {"up to https", Moved(302, "https://" + here + "/final"), kFetchTlsUnavailable, "", {}},
    };
    int i = 0;
    for (const Row& r : rows) {
        std::string start = "/row/" + std::to_string(i++);
        routes[start] = r.route;
        routes[start + "?v=2"] = Router::Final();
        std::vector<std::string> expected = r.then;
        for (std::string& p : expected) {
            if (p[0] == '@') p = start + p.substr(1);
        }
        size_t before = server.Paths().size();
        HLOCAL body = NULL;
        int64_t length = -7;
        int64_t timestamp = -7;
        auto began = std::chrono::steady_clock::now();
        int64_t got = HttpFetch(server.Url(start).c_str(), &body, &length, &timestamp);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        std::string text = HttpLastError();
        EXPECT_EQ(FetchText(r.outcome), text) << r.what;
        if (r.outcome == kFetchOk) {
            std::string received = got >= 0 ? std::string(static_cast<char*>(LocalLock(body)), (size_t)got) : "";
            if (got >= 0) LocalFree(body);
            EXPECT_EQ(r.body, received) << r.what;
            // the final response dates the member
            if (!r.then.empty()) EXPECT_EQ(784111777, timestamp) << r.what;
        } else {
            EXPECT_EQ(-1, got) << r.what;
        }
        EXPECT_LT(seconds, 2.0) << r.what;
        std::vector<std::string> paths = server.Paths();
        std::vector<std::string> then(paths.begin() + (long)before + 1, paths.end());
        EXPECT_EQ(expected, then) << r.what;
    }

    // A relative target that makes a long address longer than 4095 characters.
    std::string deep = "/deep/" + std::string(3000, 'd') + "/p";
    routes[deep] = Moved(302, std::string(1100, 'q'));
    EXPECT_EQ(-1, HttpFetch(server.Url(deep).c_str(), NULL, NULL, NULL));
    std::string text = HttpLastError();
    EXPECT_EQ(FetchText(kFetchRedirectTooLong), text);

    // Across servers: the request to the new host names it in "Host:".
    routes["/cross"] = Moved(302, "http://" + there + "/final");
    HLOCAL body = NULL;
    EXPECT_EQ((int64_t)sizeof kFinalBody - 1, HttpFetch(server.Url("/cross").c_str(), &body, NULL, NULL));
    LocalFree(body);
    ASSERT_EQ(1u, other.Requests().size());
    EXPECT_NE(std::string::npos, other.Requests()[0].find("\r\nHost: " + there + "\r\n"));
}

// A loop ends after ten redirects, with eleven requests made.
TEST(FetchRedirect, LoopEndsAtTheLimit) {
    LoopbackServer server(Moved(301, "/again"));
    EXPECT_EQ(-1, HttpFetch(server.Url("/again").c_str(), NULL, NULL, NULL));
    std::string text = HttpLastError();
    EXPECT_EQ(FetchText(kFetchTooManyRedirects), text);
    EXPECT_EQ(1 + kMaxRedirects, (int)server.Requests().size());
}

}  // namespace
