// kestrune-cli ports: the serial ports of this machine, so the operator knows what to pass to
// --port.

#include "cli/cli.h"

namespace kestrune::cli {

int runPorts(int, char**) {
    return 0;
}

} // namespace kestrune::cli
