#include "cli/cli.h"

#include <cstdio>

namespace kestrune::cli {

int runServe(int, char**) {
    std::fputs("kestrune-cli serve: not built yet\n", stderr);
    return 1;
}

} // namespace kestrune::cli
