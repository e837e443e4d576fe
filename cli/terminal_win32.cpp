#include "cli/terminal.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace kestrune::cli {

bool stderrIsTerminal() {
    static const bool vt = [] {
        if (_isatty(2) == 0) {
            return false;
        }
        HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        return GetConsoleMode(err, &mode) != FALSE &&
               SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
    }();
    return vt;
}

int terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) != FALSE) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) {
            return columns;
        }
    }
    return 80;
}

bool stdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

// The report's CR LF must reach the file as is, not become CR CR LF.
void setBinaryStdout() {
    _setmode(_fileno(stdout), _O_BINARY);
}

} // namespace kestrune::cli
