// kestrune-cli station: flashes boxes on many ports at once, unattended, with a record of every
// box.

#include "cli/cli.h"

namespace kestrune::cli {

int runStation(int, char**) {
    return EXIT_USAGE;
}

} // namespace kestrune::cli
