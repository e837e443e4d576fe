#pragma once

// A barcode scanner on a serial line (or a pseudo-terminal in the tests): one line per scan.
// One file per platform (scanner_posix.cpp, scanner_win32.cpp).

#include <cstddef>
#include <memory>
#include <string>

namespace kestrune::station {

class ScannerDevice {
public:
    virtual ~ScannerDevice() = default;
    enum class Read { Line, Nothing, Gone };
    // Waits at most `ms` for a whole line (without its line end).
    virtual Read readLine(std::string& line, int ms) = 0;
};

// A line longer than this is no scan: it is cut and handed on as it is (the binder refuses it).
constexpr size_t MAX_SCAN_LINE = 4096;

// The next whole line of what a scanner sent (`pending`), without its line end, taken off it; a
// CR LF is one line end, and an empty line is none. False while no line is whole.
bool takeScanLine(std::string& pending, std::string& line);

// The name that reads a keyboard-wedge scanner (one that types) from the station's standard
// input, which must be a terminal.
constexpr const char* SCANNER_STDIN = "-";

// The device opened for reading (SCANNER_STDIN: the standard input); none, with `error` saying
// why.
std::unique_ptr<ScannerDevice> openScanner(const std::string& path, std::string& error);

} // namespace kestrune::station
