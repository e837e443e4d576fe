#pragma once

// The terminal the command line writes to, one implementation per platform
// (terminal_posix.cpp, terminal_win32.cpp).

namespace kestrune::cli {

// Whether standard error is a terminal that takes the escape sequences the bar uses. On
// Windows this switches the console's VT processing on first (once); where that fails, or on
// anything that is not a terminal, no escape sequence is ever written.
bool stderrIsTerminal();
// Columns of the terminal behind standard error (80 when unknown).
int terminalColumns();
// Whether standard output is a terminal.
bool stdoutIsTerminal();
// Standard output passes every byte as it is (on Windows no LF becomes CR LF).
void setBinaryStdout();

} // namespace kestrune::cli
