#include "web/http_request.h"

namespace kestrune::web {
namespace {

bool isTokenChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    for (const char c : s) {
        if (!isTokenChar(c)) {
            return false;
        }
    }
    return true;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// A target's bytes: visible ASCII only (no spaces, no controls, nothing above 0x7E).
bool isTargetText(std::string_view s) {
    for (const char c : s) {
        if (c <= ' ' || c > '~') {
            return false;
        }
    }
    return true;
}

// A field value: tabs and visible bytes (obs-text above 0x7F included), no other control.
bool isValueText(std::string_view s) {
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace

void RequestParser::reset() {
    *this = RequestParser();
}

void RequestParser::refuse(int status) {
    state_ = State::Refused;
    refusal_ = status;
    line_.clear();
    line_.shrink_to_fit();
}

size_t RequestParser::feed(std::string_view bytes) {
    size_t used = 0;
    while (used < bytes.size() && state_ == State::More) {
        const char c = bytes[used++];
        if (++headBytes_ > MAX_REQUEST_HEAD) {
            refuse(431);
            break;
        }
        if (c != '\n') {
            line_ += c;
            // A line end's CR is not part of the line: one byte of room for it.
            if (line_.size() > MAX_REQUEST_LINE + (c == '\r' ? 1 : 0)) {
                refuse(requestLineSeen_ ? 431 : 414);
            }
            continue;
        }
        if (!line_.empty() && line_.back() == '\r') {
            line_.pop_back();
        }
        takeLine();
        line_.clear();
    }
    return used;
}

void RequestParser::takeLine() {
    if (line_.find('\r') != std::string::npos) {
        refuse(400);
    } else if (!requestLineSeen_) {
        // Empty lines before a request are allowed (a client's stray line end after a body).
        if (!line_.empty()) {
            takeRequestLine();
        }
    } else if (!line_.empty()) {
        takeHeader();
    } else if (head_.minorVersion == 1 && !head_.hasHost) {
        refuse(400);
    } else {
        // Only whether it is zero matters: a body is refused whatever its size.
        head_.hasBody =
            head_.hasBody ||
            (contentLengthSeen_ && contentLength_.find_first_not_of('0') != std::string::npos);
        state_ = State::Done;
        line_.shrink_to_fit();
    }
}

void RequestParser::takeRequestLine() {
    requestLineSeen_ = true;
    const size_t first = line_.find(' ');
    const size_t last = line_.rfind(' ');
    if (first == std::string::npos || first == last) {
        return refuse(400);
    }
    const std::string_view line(line_);
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, last - first - 1);
    const std::string_view version = line.substr(last + 1);
    if (!isToken(method) || target.empty() || target.front() != '/' || !isTargetText(target)) {
        return refuse(400);
    }
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
        version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9') {
        return refuse(400);
    }
    if (version[5] != '1') {
        return refuse(505);
    }
    head_.method = method;
    head_.path = target.substr(0, target.find('?'));
    // A later 1.x is read as 1.1, as the version says it understands it.
    head_.minorVersion = version[7] == '0' ? 0 : 1;
    head_.closeAfter = head_.minorVersion == 0;
}

void RequestParser::takeHeader() {
    const size_t colon = line_.find(':');
    if (colon == std::string::npos) {
        return refuse(400);
    }
    const std::string_view line(line_);
    // No space before the colon, no folded continuation lines.
    if (!isToken(line.substr(0, colon))) {
        return refuse(400);
    }
    const std::string name = lower(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (!isValueText(value)) {
        return refuse(400);
    }
    if (name == "host") {
        if (head_.hasHost || value.empty() || !isTargetText(value)) {
            return refuse(400);
        }
        head_.hasHost = true;
        head_.host = lower(value);
    } else if (name == "content-length") {
        if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos ||
            (contentLengthSeen_ && value != contentLength_)) {
            return refuse(400);
        }
        contentLengthSeen_ = true;
        contentLength_ = value;
    } else if (name == "transfer-encoding") {
        head_.hasBody = true;
    } else if (name == "connection") {
        std::string_view rest = value;
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            if (lower(trim(rest.substr(0, comma))) == "close") {
                head_.closeAfter = true;
            }
            rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
        }
    }
}

namespace {

bool isIpv4(std::string_view s) {
    int parts = 0;
    while (parts < 4) {
        const size_t dot = s.find('.');
        const std::string_view part = s.substr(0, dot);
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoi(std::string(part)) > 255) {
            return false;
        }
        ++parts;
        if (dot == std::string_view::npos) {
            break;
        }
        s.remove_prefix(dot + 1);
    }
    return parts == 4 && s.find('.') == std::string_view::npos;
}

// "[...]" holding hexadecimal digits, colons (at least two) and dots.
bool isBracketedIpv6(std::string_view s) {
    if (s.size() < 4 || s.front() != '[' || s.back() != ']') {
        return false;
    }
    s = s.substr(1, s.size() - 2);
    return s.find_first_not_of("0123456789abcdef:.") == std::string_view::npos &&
           s.find(':') != s.rfind(':');
}

} // namespace

bool isLoopbackAddress(const std::string& address) {
    return address == "localhost" || address == "::1" ||
           (isIpv4(address) && address.rfind("127.", 0) == 0);
}

bool isEveryAddress(const std::string& address) {
    return address == "0.0.0.0" || address == "::" || address == "[::]";
}

AllowedHosts::AllowedHosts(const std::string& address, int port,
                           const std::vector<std::string>& names, const std::string& machineName)
    : port_(std::to_string(port)) {
    const bool v6 = address.find(':') != std::string::npos;
    if (isLoopbackAddress(address) || isEveryAddress(address)) {
        names_ = {"127.0.0.1", "localhost", "[::1]"};
    }
    if (isEveryAddress(address)) {
        anyLiteral_ = true;
        if (!machineName.empty()) {
            names_.push_back(lower(machineName));
        }
    } else {
        names_.push_back(lower(v6 ? "[" + address + "]" : address));
    }
    for (const std::string& name : names) {
        names_.push_back(lower(name));
    }
}

bool AllowedHosts::allows(const std::string& host) const {
    // The port follows the last colon after a bracketed address's "]".
    const size_t bracket = host.rfind(']');
    const size_t colon = host.rfind(':');
    const bool hasPort =
        colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
    const std::string name = hasPort ? host.substr(0, colon) : host;
    if (hasPort ? host.substr(colon + 1) != port_ : port_ != "80") {
        return false;
    }
    if (anyLiteral_ && (isIpv4(name) || isBracketedIpv6(name))) {
        return true;
    }
    for (const std::string& allowed : names_) {
        if (name == allowed) {
            return true;
        }
    }
    return false;
}

} // namespace kestrune::web
