// Sorting and laying out the port list; the same on every platform.

#include "link/port_list.h"

#include <algorithm>
#include <cstddef>

namespace kestrune {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Compares the digit runs starting at a[i] and b[j] by value and moves both past them.
// Returns <0, 0 or >0.
int compareNumbers(const std::string& a, size_t& i, const std::string& b, size_t& j) {
    while (i < a.size() && a[i] == '0' && i + 1 < a.size() && isDigit(a[i + 1])) {
        ++i;
    }
    while (j < b.size() && b[j] == '0' && j + 1 < b.size() && isDigit(b[j + 1])) {
        ++j;
    }
    size_t endA = i;
    size_t endB = j;
    while (endA < a.size() && isDigit(a[endA])) {
        ++endA;
    }
    while (endB < b.size() && isDigit(b[endB])) {
        ++endB;
    }
    int result = 0;
    if (endA - i != endB - j) {
        result = endA - i < endB - j ? -1 : 1;
    } else {
        result = a.compare(i, endA - i, b, j, endB - j);
    }
    i = endA;
    j = endB;
    return result;
}

} // namespace

bool portNameLess(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            if (const int order = compareNumbers(a, i, b, j); order != 0) {
                return order < 0;
            }
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) {
        return j < b.size();
    }
    // Equal by value ("ttyS01", "ttyS1"): the plain order keeps the sort strict.
    return a < b;
}

void sortPorts(std::vector<PortInfo>& ports) {
    std::stable_sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return portNameLess(a.name, b.name);
    });
    std::vector<PortInfo> merged;
    for (PortInfo& port : ports) {
        if (!merged.empty() && merged.back().name == port.name) {
            PortInfo& into = merged.back();
            if (into.driver.empty()) {
                into.driver = port.driver;
            }
            if (into.description.empty()) {
                into.description = port.description;
            }
            into.aliases.insert(into.aliases.end(), port.aliases.begin(), port.aliases.end());
        } else {
            merged.push_back(std::move(port));
        }
    }
    for (PortInfo& port : merged) {
        std::sort(port.aliases.begin(), port.aliases.end());
        port.aliases.erase(std::unique(port.aliases.begin(), port.aliases.end()),
                           port.aliases.end());
    }
    ports = std::move(merged);
}

std::vector<std::string> portTable(const std::vector<PortInfo>& ports) {
    size_t nameWidth = 0;
    size_t driverWidth = 0;
    for (const PortInfo& port : ports) {
        nameWidth = std::max(nameWidth, port.name.size());
        driverWidth = std::max(driverWidth, port.driver.size());
    }
    std::vector<std::string> lines;
    for (const PortInfo& port : ports) {
        std::string line = port.name;
        line.append(nameWidth - port.name.size() + 2, ' ');
        if (driverWidth > 0) {
            line += port.driver;
            line.append(driverWidth - port.driver.size() + 2, ' ');
        }
        line += port.description;
        if (!port.aliases.empty()) {
            if (!port.description.empty()) {
                line += ' ';
            }
            line += '(';
            for (size_t k = 0; k < port.aliases.size(); ++k) {
                line += k == 0 ? "" : ", ";
                line += port.aliases[k];
            }
            line += ')';
        }
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(std::move(line));
    }
    return lines;
}

} // namespace kestrune
