// The request head as the server reads it: what a request is refused with, what is kept of it,
// bounds seen the moment they are passed whatever the bytes' pieces, and the Host a request may
// give.

#include "web/http_request.h"

#include <gtest/gtest.h>

namespace kestrune::web {
namespace {

struct Read {
    RequestParser::State state;
    int refusal;
    size_t used;
};

// Fed in pieces of `piece` bytes, as a slow client sends them.
Read feed(RequestParser& p, const std::string& bytes, size_t piece) {
    size_t used = 0;
    while (used < bytes.size() && p.state() == RequestParser::State::More) {
        used += p.feed(std::string_view(bytes).substr(used, piece));
    }
    return {p.state(), p.refusal(), used};
}

TEST(RequestParser, RefusalsAndWhatIsKept) {
    using S = RequestParser::State;
    const std::string line(MAX_REQUEST_LINE - 14, 'a'); // "GET /" + this + " HTTP/1.1" = 8 KB
    const struct {
        const char* what;
        std::string bytes;
        S state;
        int refusal;
        const char* path;
        bool closeAfter;
        bool hasBody;
    } cases[] = {
        {"plain", "GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", S::Done, 0, "/metrics", false,
         false},
        {"bare line feeds, leading empty line", "\r\nHEAD / HTTP/1.1\nHost: a\n\n", S::Done, 0, "/",
         false, false},
        {"HTTP/1.0 without Host closes", "GET / HTTP/1.0\r\n\r\n", S::Done, 0, "/", true, false},
        {"Connection: close", "GET / HTTP/1.1\r\nHost: a\r\nconnection: Keep-Alive, CLOSE\r\n\r\n",
         S::Done, 0, "/", true, false},
        {"Content-Length 0 is no body", "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 00\r\n\r\n",
         S::Done, 0, "/", false, false},
        {"Content-Length", "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\n", S::Done, 0,
         "/", false, true},
        {"chunked", "GET / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", S::Done, 0,
         "/", false, true},
        {"a Range is no fault", "GET / HTTP/1.1\r\nHost: a\r\nRange: bytes=0-1,0-1\r\n\r\n",
         S::Done, 0, "/", false, false},
        {"request line of 8 KB", "GET /" + line + " HTTP/1.1\r\nHost: a\r\n\r\n", S::Done, 0,
         nullptr, false, false},
        {"request line of 8 KB + 1", "GET /a" + line + " HTTP/1.1\r\n", S::Refused, 414, nullptr,
         false, false},
        {"header line of 8 KB + 1", "GET / HTTP/1.1\r\nX: " + std::string(8190, 'a') + "\r\n",
         S::Refused, 431, nullptr, false, false},
        {"head of 32 KB + 1",
         "GET / HTTP/1.1\r\n" + std::string(8, 'X') + ": " + std::string(8000, 'a') + "\r\n" +
             "Y: " + std::string(8000, 'a') + "\r\nZ: " + std::string(8000, 'a') +
             "\r\nW: " + std::string(8000, 'a') + "\r\nV: " + std::string(800, 'a'),
         S::Refused, 431, nullptr, false, false},
        {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n", S::Refused, 400, nullptr, false, false},
        {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", S::Refused, 400, nullptr,
         false, false},
        {"two Content-Lengths",
         "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\n"
         "Content-Length: 2\r\n\r\n",
         S::Refused, 400, nullptr, false, false},
        {"Content-Length not a number", "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n",
         S::Refused, 400, nullptr, false, false},
        {"space before the colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", S::Refused, 400, nullptr,
         false, false},
        {"folded header", "GET / HTTP/1.1\r\nHost: a\r\n b\r\n\r\n", S::Refused, 400, nullptr,
         false, false},
        {"bare CR", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", S::Refused, 400, nullptr, false, false},
        {"control byte in a value", std::string("GET / HTTP/1.1\r\nHost: a\r\nX: \x01\r\n\r\n"),
         S::Refused, 400, nullptr, false, false},
        {"absolute target", "GET http://a/ HTTP/1.1\r\nHost: a\r\n\r\n", S::Refused, 400, nullptr,
         false, false},
        {"two spaces", "GET  / HTTP/1.1\r\n", S::Refused, 400, nullptr, false, false},
        {"no version", "GET /\r\n", S::Refused, 400, nullptr, false, false},
        {"HTTP/1.2 is read as 1.1", "GET / HTTP/1.2\r\n\r\n", S::Refused, 400, nullptr, false,
         false},
        {"HTTP/2.0", "GET / HTTP/2.0\r\n", S::Refused, 505, nullptr, false, false},
        {"not HTTP", "GET / HTTQ/1.1\r\n", S::Refused, 400, nullptr, false, false},
        {"a method is a token", "G(T / HTTP/1.1\r\n", S::Refused, 400, nullptr, false, false},
        {"unfinished", "GET / HTTP/1.1\r\nHost: a\r\n", S::More, 0, nullptr, false, false},
    };
    for (const auto& c : cases) {
        for (const size_t piece : {size_t(1), size_t(7), size_t(100000)}) {
            RequestParser p;
            const Read r = feed(p, c.bytes, piece);
            EXPECT_EQ(r.state, c.state) << c.what << " in pieces of " << piece;
            EXPECT_EQ(r.refusal, c.refusal) << c.what;
            if (c.state == S::Done) {
                EXPECT_EQ(r.used, c.bytes.size()) << c.what;
                if (c.path != nullptr) {
                    EXPECT_EQ(p.head().path, c.path) << c.what;
                }
                EXPECT_EQ(p.head().closeAfter, c.closeAfter) << c.what;
                EXPECT_EQ(p.head().hasBody, c.hasBody) << c.what;
            }
        }
    }
}

TEST(RequestParser, StopsAtTheBoundOfAnEndlessLineAndAtTheHeadsEnd) {
    // A line without end is refused at its 8,193rd byte: nothing after it is taken.
    RequestParser endless;
    const std::string bytes = "GET /" + std::string(100000, 'a');
    EXPECT_EQ(endless.feed(bytes), MAX_REQUEST_LINE + 1);
    EXPECT_EQ(endless.refusal(), 414);
    // Two pipelined requests: the first head ends where the second begins.
    RequestParser p;
    const std::string first = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
    const std::string both = first + "GET /b HTTP/1.1\r\nHost: h\r\n\r\n";
    EXPECT_EQ(p.feed(both), first.size());
    EXPECT_EQ(p.head().path, "/a");
    p.reset();
    EXPECT_EQ(p.feed(std::string_view(both).substr(first.size())), both.size() - first.size());
    EXPECT_EQ(p.head().path, "/b");
}

TEST(AllowedHosts, ByTheListeningAddress) {
    const struct {
        const char* address;
        int port;
        const char* host;
        bool allowed;
    } cases[] = {
        {"127.0.0.1", 8080, "127.0.0.1:8080", true},
        {"127.0.0.1", 8080, "localhost:8080", true},
        {"127.0.0.1", 8080, "[::1]:8080", true},
        {"127.0.0.1", 8080, "station.example:8080", true}, // given by --http-host
        {"127.0.0.1", 8080, "127.0.0.1:8081", false},
        {"127.0.0.1", 8080, "127.0.0.1", false},
        {"127.0.0.1", 80, "localhost", true},
        {"127.0.0.1", 8080, "evil.example:8080", false}, // a rebound name
        {"127.0.0.1", 8080, "localhost.evil.example:8080", false},
        {"127.0.0.1", 8080, "10.0.0.5:8080", false},
        {"::1", 9100, "[::1]:9100", true},
        {"192.168.1.20", 8080, "192.168.1.20:8080", true},
        {"192.168.1.20", 8080, "127.0.0.1:8080", false},
        {"192.168.1.20", 8080, "linepc:8080", false},
        {"0.0.0.0", 8080, "192.168.1.20:8080", true},
        {"0.0.0.0", 8080, "[fe80::1]:8080", true},
        {"0.0.0.0", 8080, "linepc:8080", true}, // the machine's name
        {"0.0.0.0", 8080, "localhost:8080", true},
        {"0.0.0.0", 8080, "evil.example:8080", false},
        {"0.0.0.0", 8080, "1.2.3:8080", false},
        {"0.0.0.0", 8080, "256.1.1.1:8080", false},
    };
    for (const auto& c : cases) {
        const AllowedHosts hosts(c.address, c.port, {"Station.example"}, "LinePC");
        EXPECT_EQ(hosts.allows(c.host), c.allowed) << c.address << " " << c.host;
    }
}

} // namespace
} // namespace kestrune::web
