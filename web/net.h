#pragma once

// The sockets of the web server, one file per platform (poll() on POSIX, WSAPoll on Windows):
// every socket is non-blocking, and every call answers at once.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::web::net {

#ifdef _WIN32
using Socket = uintptr_t;
#else
using Socket = int;
#endif

// Listens on ADDRESS (a numeric address or a name) and PORT (0: any free one), with the
// address exclusive to this process and a small send buffer inherited by every connection, so
// that a client that does not read is found out. "" and the socket and its port, else why not.
std::string listenOn(const std::string& address, int port, Socket& out, int& boundPort);

enum class Accept {
    Taken,  // `out` is a new connection
    None,   // nothing waiting, or a connection that went away before it was taken
    Failed, // the server cannot accept now (no descriptors, no memory): `error` says why
};
Accept acceptOne(Socket listener, Socket& out, std::string& error);

// Bytes read (0: the client closed), or -1: none now, -2: the connection failed.
long receiveSome(Socket sock, char* data, size_t size);
// Bytes written, or -1: no room now, -2: the connection failed.
long sendSome(Socket sock, const char* data, size_t size);
void shutdownSend(Socket sock);
void closeSocket(Socket sock);

struct Watch {
    Socket sock;
    bool read = false;
    bool write = false;
    // Results: readable (or closed, or failed: a read tells which), writable.
    bool readable = false;
    bool writable = false;
};
// Waits up to `timeoutMs` for any of `watches`; an empty list just waits.
void waitFor(std::vector<Watch>& watches, int timeoutMs);

// How many more descriptors the process may open now (SIZE_MAX when it has no such limit).
size_t descriptorRoom();

// An address of this machine that another machine can reach (the one its default route leaves
// by), "" when it has none.
std::string outwardAddress();
// The name of this machine, "" when unknown.
std::string machineName();

} // namespace kestrune::web::net
