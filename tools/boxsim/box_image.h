#pragma once

// What the simulated box knows of the image, read by its own parser with its own checksums
// rather than the server's code, so that the simulator is an independent judge of the server.

#include "tools/boxsim/box_link.h"

#include <cstdint>
#include <string>
#include <vector>

namespace boxsim {

struct Module {
    uint16_t moduleId;
    uint32_t size;
    uint8_t version;
    Bytes info;
    const uint8_t* data;
};

// Reads the image into `storage` and lists its modules (their data point into `storage`);
// false with a reason on a file it cannot use.
bool readImage(const char* path, Bytes& storage, std::vector<Module>& modules, std::string& error);

} // namespace boxsim
