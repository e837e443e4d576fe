#include "common/system_error.h"
#include "web/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrune::web::net {
namespace {

void makeNonBlocking(int sock) {
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    fcntl(sock, F_SETFD, FD_CLOEXEC);
}

std::string errorText(int code) {
    return systemErrorText(CrtError{code});
}

} // namespace

std::string listenOn(const std::string& address, int port, Socket& out, int& boundPort) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found); rc != 0) {
        return rc == EAI_SYSTEM ? errorText(errno) : "the name does not resolve";
    }
    std::string why = "not an address of this machine";
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int sock = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (sock < 0) {
            why = errorText(errno);
            continue;
        }
        // Not SO_REUSEPORT: a second station on the same port must fail to listen.
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        const int buffer = 64 * 1024;
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        if (bind(sock, a->ai_addr, a->ai_addrlen) != 0 || ::listen(sock, 64) != 0) {
            why = errorText(errno);
            ::close(sock);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length);
        boundPort =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        makeNonBlocking(sock);
        out = sock;
        freeaddrinfo(found);
        return "";
    }
    freeaddrinfo(found);
    return why;
}

Accept acceptOne(Socket listener, Socket& out, std::string& error) {
    const int sock = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (sock >= 0) {
        out = sock;
        return Accept::Taken;
    }
    const int code = errno;
    switch (code) {
    case EAGAIN:
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
        return Accept::None;
    default:
        error = errorText(code);
        return Accept::Failed;
    }
}

long receiveSome(Socket sock, char* data, size_t size) {
    const ssize_t n = recv(sock, data, size, 0);
    if (n >= 0) {
        return static_cast<long>(n);
    }
    return errno == EAGAIN || errno == EINTR ? -1 : -2;
}

long sendSome(Socket sock, const char* data, size_t size) {
    const ssize_t n = send(sock, data, size, MSG_NOSIGNAL);
    if (n >= 0) {
        return static_cast<long>(n);
    }
    return errno == EAGAIN || errno == EINTR ? -1 : -2;
}

void shutdownSend(Socket sock) {
    shutdown(sock, SHUT_WR);
}

void closeSocket(Socket sock) {
    ::close(sock);
}

void waitFor(std::vector<Watch>& watches, int timeoutMs) {
    thread_local std::vector<pollfd> fds;
    fds.clear();
    for (const Watch& w : watches) {
        fds.push_back(
            {w.sock, static_cast<short>((w.read ? POLLIN : 0) | (w.write ? POLLOUT : 0)), 0});
    }
    if (poll(fds.data(), fds.size(), timeoutMs) <= 0) {
        fds.assign(fds.size(), pollfd{});
    }
    for (size_t i = 0; i < watches.size(); ++i) {
        const short r = fds[i].revents;
        watches[i].readable = (r & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        watches[i].writable = (r & (POLLOUT | POLLERR | POLLHUP)) != 0;
    }
}

size_t descriptorRoom() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return SIZE_MAX;
    }
    // The descriptors open now, as Linux lists them (elsewhere: no figure, no bound).
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return SIZE_MAX;
    }
    size_t open = 0;
    while (const dirent* entry = readdir(dir)) {
        open += entry->d_name[0] == '.' ? 0 : 1;
    }
    closedir(dir);
    return limit.rlim_cur > open ? static_cast<size_t>(limit.rlim_cur) - open : 0;
}

std::string outwardAddress() {
    // A UDP socket "connected" to a documentation address sends nothing; the address the
    // system picks for it is the one of the default route.
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return "";
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    sockaddr_in me{};
    socklen_t length = sizeof me;
    std::string out;
    char text[INET_ADDRSTRLEN] = {};
    if (connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        getsockname(sock, reinterpret_cast<sockaddr*>(&me), &length) == 0 &&
        inet_ntop(AF_INET, &me.sin_addr, text, sizeof text) != nullptr &&
        (ntohl(me.sin_addr.s_addr) >> 24) != 127 && me.sin_addr.s_addr != 0) {
        out = text;
    }
    ::close(sock);
    return out;
}

std::string machineName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

} // namespace kestrune::web::net
