#pragma once

// The station's web server: the page (/), its live state (/events, Server-Sent Events), the same
// state as one JSON document (/api/station) and the Prometheus metrics (/metrics). Read only
// (GET and HEAD), and never in the ports' way: one thread and a fixed budget of connections,
// each with a bounded request (web/http_request.h), a deadline for its request and for its
// answer, and a bounded backlog of its feed. It only reads the station's state.

#include "web/dashboard.h"
#include "web/http_request.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::web {

struct WebLimits {
    // Connections open at once. Beyond them, a new one takes the place of the oldest that has
    // not sent its whole request yet; when every one has, the new one is answered 503 and
    // closed without being read.
    size_t connections = 128;
    size_t feeds = 16; // of them, clients of /events; one more is answered 503
    // From a connection's start (or its previous answer) to the end of its request's head.
    std::chrono::milliseconds requestDeadline{3000};
    // For a whole answer to be taken by its client.
    std::chrono::milliseconds answerDeadline{10000};
    // Bytes of /events a client may leave unread before it is dropped.
    size_t feedBacklog = 256 * 1024;
    std::chrono::milliseconds publishEvery{250};
};

// --http [ADDRESS:]PORT: "8080" is 127.0.0.1:8080; "0.0.0.0:8080", "[::1]:8080" name the
// address. "" when it reads, else what is wrong.
std::string parseHttpAddress(const std::string& text, std::string& address, int& port);

class WebServer {
public:
    WebServer(Dashboard& dashboard, WebLimits limits = {});
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Takes the address (port 0: any free one); `hosts` are more names a request's Host may
    // give (--http-host). "" when done, else why not.
    std::string listen(const std::string& address, int port,
                       const std::vector<std::string>& hosts = {});
    int port() const { return port_; }
    // Where to open the page: "http://127.0.0.1:8080/"; for every address, one that another
    // machine can reach, followed by what it is.
    std::string url() const;
    // The server's thread, until stop().
    void start();
    // Closes every connection and ends the thread, within a tenth of a second.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string address_;
    int port_ = 0;
    std::thread serving_;
};

// The page, compiled in: HTML, CSS and script in one document.
extern const char* const DASHBOARD_PAGE;

} // namespace kestrune::web
