#include "cli/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrune::cli {

bool stderrIsTerminal() {
    return isatty(2) != 0;
}

int terminalColumns() {
    winsize size{};
    if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

bool stdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void setBinaryStdout() {}

} // namespace kestrune::cli
