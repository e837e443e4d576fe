#pragma once

// One HTTP/1.x request head, read as its bytes arrive: every bound is checked on each byte, so a
// client can never make a connection hold more than one line (8 KB) of its request. Only what
// the server acts on is kept (method, path, version, Host, Connection, whether a body follows);
// the other header lines are checked and dropped. Pure: no sockets, no clock.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::web {

// A request line, or one header line, without its line end.
constexpr size_t MAX_REQUEST_LINE = 8192;
// The request line and every header line, line ends included.
constexpr size_t MAX_REQUEST_HEAD = 32768;

struct RequestHead {
    std::string method;
    std::string path; // the target without its query
    int minorVersion = 1;
    bool hasHost = false;
    std::string host;        // as sent, lowercased
    bool closeAfter = false; // HTTP/1.0, or "Connection: close"
    bool hasBody = false;    // a Content-Length other than 0, or any Transfer-Encoding
};

class RequestParser {
public:
    // What the head has come to: More until its empty line; then Done, or the status of the
    // answer that refuses it (400, 414, 431, 505), after which the connection must end.
    enum class State { More, Done, Refused };

    // Takes bytes up to the head's end (or up to the fault); returns how many it used. The
    // bytes after a Done head belong to the next request.
    size_t feed(std::string_view bytes);
    State state() const { return state_; }
    int refusal() const { return refusal_; } // the status, when Refused
    const RequestHead& head() const { return head_; }
    // For the next request on the same connection.
    void reset();

private:
    void refuse(int status);
    void takeLine();
    void takeRequestLine();
    void takeHeader();

    State state_ = State::More;
    int refusal_ = 0;
    RequestHead head_;
    std::string line_;
    size_t headBytes_ = 0;
    bool requestLineSeen_ = false;
    bool contentLengthSeen_ = false;
    std::string contentLength_;
};

// Which Host a request may name: the one the server listens on, so that a page of another site
// whose name was rebound to this machine's address cannot read the station. A loopback address
// allows 127.0.0.1, localhost and [::1]; another address itself; every address (0.0.0.0, ::)
// any address literal and the machine's name; each with the port (port 80 also without it),
// and any of `names` besides.
class AllowedHosts {
public:
    AllowedHosts() = default;
    AllowedHosts(const std::string& address, int port, const std::vector<std::string>& names,
                 const std::string& machineName);
    bool allows(const std::string& host) const; // lowercased, as RequestHead holds it

private:
    std::vector<std::string> names_;
    bool anyLiteral_ = false;
    std::string port_;
};

// Whether ADDRESS (as --http names it) is a loopback one, or every address of the machine.
bool isLoopbackAddress(const std::string& address);
bool isEveryAddress(const std::string& address);

} // namespace kestrune::web
