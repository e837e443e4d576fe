#include "common/system_error.h"
#include "web/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace kestrune::web::net {
namespace {

// Winsock, started once for the process (and never stopped: the process ends it).
bool started() {
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

std::string errorText(int code) {
    return systemErrorText(Win32Error{static_cast<unsigned long>(code)});
}

void prepare(SOCKET sock) {
    u_long yes = 1;
    ioctlsocket(sock, FIONBIO, &yes);
    SetHandleInformation(reinterpret_cast<HANDLE>(sock), HANDLE_FLAG_INHERIT, 0);
}

} // namespace

std::string listenOn(const std::string& address, int port, Socket& out, int& boundPort) {
    if (!started()) {
        return errorText(WSAGetLastError());
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0) {
        return "the name does not resolve";
    }
    std::string why = "not an address of this machine";
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const SOCKET sock = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (sock == INVALID_SOCKET) {
            why = errorText(WSAGetLastError());
            continue;
        }
        // No other program may take the port while the station holds it, nor share it.
        const BOOL yes = TRUE;
        setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
                   sizeof yes);
        const int buffer = 64 * 1024;
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer),
                   sizeof buffer);
        if (bind(sock, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 ||
            ::listen(sock, 64) != 0) {
            why = errorText(WSAGetLastError());
            closesocket(sock);
            continue;
        }
        sockaddr_storage bound{};
        int length = sizeof bound;
        getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length);
        boundPort =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        prepare(sock);
        out = sock;
        freeaddrinfo(found);
        return "";
    }
    freeaddrinfo(found);
    return why;
}

Accept acceptOne(Socket listener, Socket& out, std::string& error) {
    const SOCKET sock = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (sock != INVALID_SOCKET) {
        prepare(sock);
        out = sock;
        return Accept::Taken;
    }
    const int code = WSAGetLastError();
    switch (code) {
    case WSAEWOULDBLOCK:
    case WSAEINTR:
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return Accept::None;
    default:
        error = errorText(code);
        return Accept::Failed;
    }
}

long receiveSome(Socket sock, char* data, size_t size) {
    const int n = recv(static_cast<SOCKET>(sock), data, static_cast<int>(size), 0);
    if (n >= 0) {
        return n;
    }
    const int code = WSAGetLastError();
    return code == WSAEWOULDBLOCK || code == WSAEINTR ? -1 : -2;
}

long sendSome(Socket sock, const char* data, size_t size) {
    const int n = send(static_cast<SOCKET>(sock), data, static_cast<int>(size), 0);
    if (n >= 0) {
        return n;
    }
    const int code = WSAGetLastError();
    return code == WSAEWOULDBLOCK || code == WSAEINTR ? -1 : -2;
}

void shutdownSend(Socket sock) {
    shutdown(static_cast<SOCKET>(sock), SD_SEND);
}

void closeSocket(Socket sock) {
    closesocket(static_cast<SOCKET>(sock));
}

void waitFor(std::vector<Watch>& watches, int timeoutMs) {
    thread_local std::vector<WSAPOLLFD> fds;
    fds.clear();
    for (const Watch& w : watches) {
        // Only these two may be asked for: WSAPoll fails the whole call on any other flag.
        fds.push_back({static_cast<SOCKET>(w.sock),
                       static_cast<short>((w.read ? POLLRDNORM : 0) | (w.write ? POLLWRNORM : 0)),
                       0});
    }
    // WSAPoll fails on an empty set instead of waiting.
    if (fds.empty()) {
        Sleep(static_cast<DWORD>(timeoutMs));
        return;
    }
    if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs) <= 0) {
        fds.assign(fds.size(), WSAPOLLFD{});
    }
    for (size_t i = 0; i < watches.size(); ++i) {
        const short r = fds[i].revents;
        // A closed or reset connection may come as POLLHUP or POLLERR alone: a read tells.
        watches[i].readable = (r & (POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR | POLLNVAL)) != 0;
        watches[i].writable = (r & (POLLWRNORM | POLLHUP | POLLERR)) != 0;
    }
}

size_t descriptorRoom() {
    // Sockets are handles, without a per-process limit short of memory.
    return SIZE_MAX;
}

std::string outwardAddress() {
    if (!started()) {
        return "";
    }
    // A UDP socket "connected" to a documentation address sends nothing; the address the
    // system picks for it is the one of the default route.
    const SOCKET sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock == INVALID_SOCKET) {
        return "";
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    sockaddr_in me{};
    int length = sizeof me;
    std::string out;
    char text[INET_ADDRSTRLEN] = {};
    if (connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        getsockname(sock, reinterpret_cast<sockaddr*>(&me), &length) == 0 &&
        inet_ntop(AF_INET, &me.sin_addr, text, sizeof text) != nullptr &&
        (ntohl(me.sin_addr.s_addr) >> 24) != 127 && me.sin_addr.s_addr != 0) {
        out = text;
    }
    closesocket(sock);
    return out;
}

std::string machineName() {
    if (!started()) {
        return "";
    }
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

} // namespace kestrune::web::net
