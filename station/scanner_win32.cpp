#include "station/scanner_io.h"

namespace kestrune::station {

// Not built for Windows yet: the command says so before the station starts.
std::unique_ptr<ScannerDevice> openScanner(const std::string&, std::string& error) {
    error = "a scanner is not available in the Windows build";
    return nullptr;
}

} // namespace kestrune::station
