#pragma once

// The listening socket's options, one file per platform: the address must be free (two stations
// on one port is an error at the start, not a shared port), and a small send buffer, inherited by
// every connection, so that a client that does not read is found out within the write time-out.

#include <cstdint>

namespace kestrune::web {

#ifdef _WIN32
using ListenSocket = uintptr_t;
#else
using ListenSocket = int;
#endif

void prepareListenSocket(ListenSocket sock);

} // namespace kestrune::web
