#include "cli/cli.h"

#include <cstdio>

namespace kestrune::cli {

int runInfo(int, char**) {
    std::fputs("kestrune-cli info: not built yet\n", stderr);
    return 1;
}

} // namespace kestrune::cli
