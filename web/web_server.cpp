#include "web/web_server.h"

#include "web/net.h"

#include <algorithm>
#include <array>

namespace kestrune::web {
namespace {

using Clock = std::chrono::steady_clock;

// How long a refused or misdirected client may take to read its answer before the
// connection ends, and how much more it may send meanwhile: what it sends is read and dropped,
// so that closing with unread bytes does not reset the connection before the answer arrives.
constexpr std::chrono::milliseconds LINGER{1000};
constexpr size_t LINGER_BYTES = 64 * 1024;
// The loop's longest wait: a stop, a deadline or a publication is seen within it.
constexpr int TICK_MS = 50;
// Connections taken from the listen queue in one turn of the loop.
constexpr int ACCEPTS_PER_TURN = 64;
constexpr std::chrono::milliseconds ACCEPT_RETRY{1000};
// How often the budget is fitted to the descriptors the process has left: the page takes at
// most half of them, the other half stays for the ports (their reopening, Test Logs, captures).
constexpr std::chrono::milliseconds ROOM_EVERY{1000};
constexpr size_t READ_CHUNK = 4096;

const char* reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 414:
        return "URI Too Long";
    case 421:
        return "Misdirected Request";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Error";
    }
}

const char* refusalText(int status) {
    switch (status) {
    case 400:
        return "bad request\n";
    case 404:
        return "no such page\n";
    case 405:
        return "read only: GET and HEAD\n";
    case 414:
        return "request line too long (8 KB at most)\n";
    case 421:
        return "this server does not answer for that Host\n";
    case 431:
        return "request headers too large (8 KB a line, 32 KB in all)\n";
    case 503:
        return "too many clients at once; try again in a few seconds\n";
    case 505:
        return "HTTP/1.0 and HTTP/1.1 only\n";
    default:
        return "\n";
    }
}

// Every answer's status line and the headers they all have.
std::string headLines(int status, const char* type, size_t length, bool close) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
                      "\r\nContent-Type: " + type +
                      "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    if (length != std::string::npos) {
        out += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    out += close ? "Connection: close\r\n" : "";
    return out;
}

const std::string& refusedAnswer() {
    static const std::string text =
        headLines(503, "text/plain; charset=utf-8", std::string(refusalText(503)).size(), true) +
        "Retry-After: 5\r\n\r\n" + refusalText(503);
    return text;
}

enum class Phase {
    Reading,   // the request's head, until its deadline
    Writing,   // an answer, until its deadline
    Feeding,   // /events, until the client or the station ends it
    Lingering, // an answer that ends the connection is out; what comes in is dropped
};

struct Connection {
    net::Socket sock;
    Phase phase = Phase::Reading;
    RequestParser parser;
    std::string pending; // bytes read and not yet parsed (the next request's), READ_CHUNK at most
    std::string out;
    size_t sent = 0;
    bool closeAfter = false;
    size_t dropped = 0; // bytes read and dropped while lingering
    Clock::time_point deadline;
    std::shared_ptr<ClientQueue> feed;
    bool dead = false;
};

} // namespace

struct WebServer::Impl {
    Impl(Dashboard& d, WebLimits l) : dashboard(d), limits(l) {}

    void run();
    void accept(Clock::time_point now);
    void turnAway(net::Socket sock);
    void readFrom(Connection& c, Clock::time_point now);
    void parse(Connection& c, Clock::time_point now);
    void answer(Connection& c, Clock::time_point now);
    void refuse(Connection& c, int status, Clock::time_point now, const char* extra = "");
    void flush(Connection& c, Clock::time_point now);
    void feedMessages(Connection& c);
    void closeConnection(Connection& c);
    void report();

    Dashboard& dashboard;
    const WebLimits limits;
    net::Socket listener{};
    bool listening = false;
    AllowedHosts hosts;
    std::atomic<bool> stopping{false};
    std::vector<std::unique_ptr<Connection>> connections;
    size_t feeds = 0;
    WebView counts;
    WebView reported;
    bool acceptFailing = false;
    Clock::time_point acceptAgain{};
    size_t budget = 0;
    Clock::time_point nextRoom{};
};

void WebServer::Impl::run() {
    std::vector<net::Watch> watches;
    Clock::time_point nextPublish = Clock::now();
    while (!stopping) {
        Clock::time_point now = Clock::now();
        if (now >= nextPublish) {
            dashboard.publish();
            nextPublish = now + limits.publishEvery;
        }
        if (now >= nextRoom) {
            budget = std::min(limits.connections, connections.size() + net::descriptorRoom() / 2);
            nextRoom = now + ROOM_EVERY;
        }
        watches.clear();
        const bool watchListener = now >= acceptAgain;
        if (watchListener) {
            watches.push_back({listener, true, false});
        }
        for (const auto& c : connections) {
            if (c->phase == Phase::Feeding) {
                feedMessages(*c);
            }
            if (c->phase != Phase::Feeding && now >= c->deadline) {
                c->dead = true;
            }
            if (!c->dead) {
                watches.push_back({c->sock, c->phase != Phase::Writing, c->sent < c->out.size()});
            }
        }
        std::erase_if(connections, [this](const std::unique_ptr<Connection>& c) {
            if (c->dead) {
                closeConnection(*c);
            }
            return c->dead;
        });
        const auto untilPublish =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextPublish - now).count();
        net::waitFor(watches, static_cast<int>(std::clamp<long long>(untilPublish, 1, TICK_MS)));
        now = Clock::now();
        size_t at = watchListener ? 1 : 0;
        // The watches follow the live connections in order.
        for (size_t i = 0; at < watches.size() && i < connections.size(); ++i) {
            Connection& c = *connections[i];
            if (c.dead || c.sock != watches[at].sock) {
                continue;
            }
            const net::Watch& w = watches[at++];
            if (w.writable && c.sent < c.out.size()) {
                flush(c, now);
            }
            if (w.readable && !c.dead) {
                readFrom(c, now);
            }
        }
        // Last: a new connection may take the place of another.
        if (watchListener && watches[0].readable) {
            accept(now);
        }
        report();
    }
    for (const auto& c : connections) {
        closeConnection(*c);
    }
    connections.clear();
    report();
}

void WebServer::Impl::accept(Clock::time_point now) {
    for (int i = 0; i < ACCEPTS_PER_TURN; ++i) {
        net::Socket sock{};
        std::string error;
        const net::Accept got = net::acceptOne(listener, sock, error);
        if (got == net::Accept::None) {
            return;
        }
        if (got == net::Accept::Failed) {
            counts.acceptFailures += 1;
            acceptAgain = now + ACCEPT_RETRY;
            if (!acceptFailing) {
                acceptFailing = true;
                dashboard.event("", "dashboard: cannot accept connections (" + error +
                                        "); trying again every second");
            }
            return;
        }
        if (acceptFailing) {
            acceptFailing = false;
            dashboard.event("", "dashboard: accepting connections again");
        }
        if (connections.size() >= budget) {
            // The oldest connection still sending its request makes room; it has had the
            // longest time for it.
            Connection* oldest = nullptr;
            for (const auto& c : connections) {
                if (!c->dead && c->phase == Phase::Reading &&
                    (oldest == nullptr || c->deadline < oldest->deadline)) {
                    oldest = c.get();
                }
            }
            if (oldest == nullptr) {
                turnAway(sock);
                continue;
            }
            closeConnection(*oldest);
            std::erase_if(connections, [oldest](const std::unique_ptr<Connection>& c) {
                return c.get() == oldest;
            });
            counts.refused += 1;
        }
        auto c = std::make_unique<Connection>();
        c->sock = sock;
        c->deadline = now + limits.requestDeadline;
        connections.push_back(std::move(c));
    }
}

void WebServer::Impl::turnAway(net::Socket sock) {
    counts.refused += 1;
    const std::string& text = refusedAnswer();
    net::sendSome(sock, text.data(), text.size());
    net::closeSocket(sock);
}

void WebServer::Impl::readFrom(Connection& c, Clock::time_point now) {
    std::array<char, READ_CHUNK> buffer;
    // While an answer is on its way, the next request waits in the socket, not here.
    const size_t room = c.phase == Phase::Reading ? READ_CHUNK - c.pending.size() : READ_CHUNK;
    if (room == 0) {
        return;
    }
    const long n = net::receiveSome(c.sock, buffer.data(), room);
    if (n == -1) {
        return;
    }
    if (n <= 0) {
        c.dead = true;
        return;
    }
    if (c.phase == Phase::Reading) {
        c.pending.append(buffer.data(), static_cast<size_t>(n));
        parse(c, now);
    } else if (c.phase == Phase::Lingering) {
        c.dropped += static_cast<size_t>(n);
        c.dead = c.dropped > LINGER_BYTES;
    }
}

void WebServer::Impl::parse(Connection& c, Clock::time_point now) {
    while (c.phase == Phase::Reading && !c.pending.empty() && !c.dead) {
        const size_t used = c.parser.feed(c.pending);
        c.pending.erase(0, used);
        switch (c.parser.state()) {
        case RequestParser::State::More:
            break;
        case RequestParser::State::Refused:
            refuse(c, c.parser.refusal(), now);
            break;
        case RequestParser::State::Done:
            answer(c, now);
            break;
        }
    }
}

void WebServer::Impl::refuse(Connection& c, int status, Clock::time_point now, const char* extra) {
    const std::string text = refusalText(status);
    c.out = headLines(status, "text/plain; charset=utf-8", text.size(), true) + extra + "\r\n" +
            (c.parser.head().method == "HEAD" ? "" : text);
    c.sent = 0;
    c.closeAfter = true;
    c.pending.clear();
    c.phase = Phase::Writing;
    c.deadline = now + limits.answerDeadline;
    flush(c, now);
}

void WebServer::Impl::answer(Connection& c, Clock::time_point now) {
    const RequestHead& head = c.parser.head();
    if (head.hasHost ? !hosts.allows(head.host) : head.minorVersion != 0) {
        return refuse(c, 421, now);
    }
    if (head.method != "GET" && head.method != "HEAD") {
        return refuse(c, 405, now, "Allow: GET, HEAD\r\n");
    }
    // A body after a GET would be read as a request of its own.
    if (head.hasBody) {
        return refuse(c, 400, now);
    }
    const bool close = head.closeAfter;
    std::string body;
    const char* type = nullptr;
    std::string extra;
    if (head.path == "/") {
        body = DASHBOARD_PAGE;
        type = "text/html; charset=utf-8";
        // Everything of the page is in it: nothing may come from elsewhere.
        extra = "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
                "script-src 'unsafe-inline'; connect-src 'self'; img-src data:\r\n";
    } else if (head.path == "/api/station") {
        body = stationJson(dashboard.view()) + "\n";
        type = "application/json";
    } else if (head.path == "/metrics") {
        body = metricsText(dashboard.view());
        type = "text/plain; version=0.0.4; charset=utf-8";
    } else if (head.path == "/events") {
        if (stopping || feeds >= limits.feeds) {
            return refuse(c, 503, now, "Retry-After: 5\r\n");
        }
        // Not chunked: the feed's end is the connection's, which every HTTP/1.x client reads.
        c.out = headLines(200, "text/event-stream", std::string::npos, true) + "\r\n";
        c.sent = 0;
        c.closeAfter = true;
        c.pending.clear();
        if (head.method == "HEAD") {
            c.phase = Phase::Writing;
            c.deadline = now + limits.answerDeadline;
        } else {
            c.phase = Phase::Feeding;
            c.feed = dashboard.subscribe();
            feeds += 1;
            feedMessages(c);
        }
        flush(c, now);
        return;
    } else {
        return refuse(c, 404, now);
    }
    c.out = headLines(200, type, body.size(), close) + extra + "\r\n";
    if (head.method == "GET") {
        c.out += body;
    }
    c.sent = 0;
    c.closeAfter = close;
    c.phase = Phase::Writing;
    c.deadline = now + limits.answerDeadline;
    flush(c, now);
}

void WebServer::Impl::feedMessages(Connection& c) {
    Message message;
    for (;;) {
        switch (c.feed->pop(message, std::chrono::milliseconds(0))) {
        case ClientQueue::Next::Message:
            if (c.sent == c.out.size()) {
                c.out.clear();
                c.sent = 0;
            }
            c.out += *message;
            if (c.out.size() - c.sent > limits.feedBacklog) {
                c.dead = true;
                return;
            }
            continue;
        case ClientQueue::Next::Timeout:
            return;
        case ClientQueue::Next::Ended:
            c.dead = true;
            return;
        }
    }
}

void WebServer::Impl::flush(Connection& c, Clock::time_point now) {
    while (c.sent < c.out.size()) {
        const long n = net::sendSome(c.sock, c.out.data() + c.sent, c.out.size() - c.sent);
        if (n == -1) {
            return;
        }
        if (n <= 0) {
            c.dead = true;
            return;
        }
        c.sent += static_cast<size_t>(n);
    }
    if (c.phase == Phase::Feeding) {
        return;
    }
    c.out.clear();
    c.out.shrink_to_fit();
    c.sent = 0;
    if (c.phase == Phase::Lingering) {
        return;
    }
    if (c.closeAfter) {
        net::shutdownSend(c.sock);
        c.phase = Phase::Lingering;
        c.deadline = now + LINGER;
        return;
    }
    // Kept alive: the next request (perhaps already here) has its own deadline.
    c.phase = Phase::Reading;
    c.parser.reset();
    c.deadline = now + limits.requestDeadline;
    parse(c, now);
}

void WebServer::Impl::closeConnection(Connection& c) {
    if (c.feed) {
        dashboard.unsubscribe(c.feed);
        c.feed.reset();
        feeds -= 1;
    }
    net::closeSocket(c.sock);
}

void WebServer::Impl::report() {
    counts.connections = connections.size();
    counts.accepting = !acceptFailing;
    if (counts.connections != reported.connections || counts.refused != reported.refused ||
        counts.acceptFailures != reported.acceptFailures ||
        counts.accepting != reported.accepting) {
        dashboard.web(counts);
        reported = counts;
    }
}

std::string parseHttpAddress(const std::string& text, std::string& address, int& port) {
    std::string digits = text;
    address = "127.0.0.1";
    if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        digits = text.substr(colon + 1);
        if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        }
        if (address.empty()) {
            return "--http " + text + ": no address before the port";
        }
    }
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
        return "--http " + text + ": the port must be a number from 0 to 65535";
    }
    port = std::stoi(digits);
    return "";
}

WebServer::WebServer(Dashboard& dashboard, WebLimits limits)
    : impl_(std::make_unique<Impl>(dashboard, limits)) {}

WebServer::~WebServer() {
    stop();
    if (impl_->listening) {
        net::closeSocket(impl_->listener);
    }
}

std::string WebServer::listen(const std::string& address, int port,
                              const std::vector<std::string>& hosts) {
    address_ = address;
    const std::string failed = net::listenOn(address, port, impl_->listener, port_);
    if (!failed.empty()) {
        const bool v6 = address.find(':') != std::string::npos;
        return "cannot listen on " + (v6 ? "[" + address + "]" : address) + ":" +
               std::to_string(port) + ": " + failed;
    }
    impl_->listening = true;
    impl_->hosts = AllowedHosts(address, port_, hosts, net::machineName());
    return "";
}

std::string WebServer::url() const {
    // Appended, not "..." + std::string: GCC 12's -O3 warns of an overlap (-Wrestrict) there.
    std::string port = ":";
    port += std::to_string(port_);
    port += "/";
    if (isEveryAddress(address_)) {
        const std::string outward = net::outwardAddress();
        if (outward.empty()) {
            return "http://127.0.0.1" + port +
                   " (every address; this machine has no network address now)";
        }
        return "http://" + outward + port + " (and every other address of this machine)";
    }
    const bool v6 = address_.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address_ + "]" : address_) + port;
}

void WebServer::start() {
    if (impl_->listening && !serving_.joinable()) {
        serving_ = std::thread([this] { impl_->run(); });
    }
}

void WebServer::stop() {
    impl_->stopping = true;
    if (serving_.joinable()) {
        serving_.join();
    }
    impl_->dashboard.closeAll();
}

} // namespace kestrune::web
