#include "web/listen_socket.h"

#include <winsock2.h>

namespace kestrune::web {

void prepareListenSocket(ListenSocket sock) {
    // No other program may take the port while the station holds it, nor share it.
    const BOOL yes = TRUE;
    setsockopt(static_cast<SOCKET>(sock), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&yes), sizeof yes);
    const int buffer = 64 * 1024;
    setsockopt(static_cast<SOCKET>(sock), SOL_SOCKET, SO_SNDBUF,
               reinterpret_cast<const char*>(&buffer), sizeof buffer);
}

} // namespace kestrune::web
