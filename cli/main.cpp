#include "cli/cli.h"

int main(int argc, char** argv) {
    return kestrune::cli::runCli(argc, argv);
}
