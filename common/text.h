#pragma once

// Numbers as an operator reads them.

#include <cstdint>
#include <string>

namespace kestrune {

// 34863 -> "34,863".
std::string groupDigits(uint64_t value);

} // namespace kestrune
