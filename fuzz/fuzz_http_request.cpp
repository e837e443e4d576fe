// Request heads as the station's web server reads them from any client: the bytes fed whole and
// in pieces whose sizes the input's first byte picks. However they are cut, the parser comes to
// the same end, never takes a byte past the head (or past the fault), and a head it accepts
// holds only what the server may act on.
#include "web/http_request.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace kestrune::web;

namespace {

// The failed line is printed: the optimised target inlines every check into one frame.
void check(bool ok, int line = __builtin_LINE()) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_http_request.cpp:%d: check failed\n", line);
        std::abort();
    }
}

struct End {
    RequestParser::State state;
    int refusal;
    size_t used;
    RequestHead head;
};

End readAll(std::string_view bytes, size_t piece) {
    RequestParser p;
    size_t used = 0;
    while (used < bytes.size() && p.state() == RequestParser::State::More) {
        const std::string_view next = bytes.substr(used, piece);
        const size_t took = p.feed(next);
        check(took <= next.size());
        // A piece is taken whole unless the head ended or failed in it.
        check(took == next.size() || p.state() != RequestParser::State::More);
        used += took;
    }
    return {p.state(), p.refusal(), used, p.head()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 17;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const End whole = readAll(bytes, bytes.size() + 1);
    const End cut = readAll(bytes, piece);
    check(whole.state == cut.state && whole.refusal == cut.refusal && whole.used == cut.used);
    check(whole.used <= MAX_REQUEST_HEAD + 1);
    switch (whole.state) {
    case RequestParser::State::More:
        check(whole.used == bytes.size() && whole.refusal == 0);
        break;
    case RequestParser::State::Refused:
        check(whole.refusal == 400 || whole.refusal == 414 || whole.refusal == 431 ||
              whole.refusal == 505);
        break;
    case RequestParser::State::Done: {
        const RequestHead& h = whole.head;
        check(!h.method.empty() && !h.path.empty() && h.path.front() == '/');
        check(h.path.find_first_of(" \r\n?") == std::string::npos);
        check(h.minorVersion == 0 || h.minorVersion == 1);
        check(h.hasHost || h.minorVersion == 0);
        check(h.host.find_first_of(" \r\n") == std::string::npos);
        check(whole.used >= 4 && bytes[whole.used - 1] == '\n');
        // The Host check takes whatever the head holds.
        const AllowedHosts hosts("0.0.0.0", 8080, {"name"}, "machine");
        (void)hosts.allows(h.host);
        break;
    }
    }
    return 0;
}
