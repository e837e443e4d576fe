#include "web/listen_socket.h"

#include <sys/socket.h>

namespace kestrune::web {

void prepareListenSocket(ListenSocket sock) {
    // Not SO_REUSEPORT: a second station on the same port must fail to listen.
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const int buffer = 64 * 1024;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
}

} // namespace kestrune::web
