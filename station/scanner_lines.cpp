#include "station/scanner_io.h"

namespace kestrune::station {

bool takeScanLine(std::string& pending, std::string& line) {
    for (;;) {
        const size_t end = pending.find_first_of("\r\n");
        if (end == std::string::npos && pending.size() < MAX_SCAN_LINE) {
            return false;
        }
        const size_t cut = end != std::string::npos ? end : MAX_SCAN_LINE;
        line = pending.substr(0, cut);
        pending.erase(0, cut + (end != std::string::npos ? 1 : 0));
        if (!line.empty()) {
            return true;
        }
        // the LF of a CR LF, or a blank line
    }
}

} // namespace kestrune::station
