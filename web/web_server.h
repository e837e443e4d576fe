#pragma once

// The station's web server: the page (/), its live state (/events, Server-Sent Events), the same
// state as one JSON document (/api/station) and the Prometheus metrics (/metrics). Read only
// (GET and HEAD; anything else is answered 405), bounded (a fixed number of connections at once,
// 503 beyond; limits on the request line and each header line; read, write and idle time-outs)
// and never in the ports' way: it only reads the station's state and its own queues.

#include "web/dashboard.h"

#include <memory>
#include <string>
#include <thread>

namespace kestrune::web {

struct WebLimits {
    size_t connections = 16; // served at once; one more is answered 503
    int timeoutSeconds = 5;  // reading a request, writing to a client, an idle keep-alive
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

    // Takes the address (port 0: any free one). "" when done, else why not.
    std::string listen(const std::string& address, int port);
    int port() const { return port_; }
    // "http://127.0.0.1:8080/"
    std::string url() const;
    // The server's and the publisher's threads, until stop().
    void start();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Dashboard& dashboard_;
    const WebLimits limits_;
    std::string address_;
    int port_ = 0;
    std::thread serving_;
    std::thread publishing_;
};

// The page, compiled in: HTML, CSS and script in one document.
extern const char* const DASHBOARD_PAGE;

} // namespace kestrune::web
