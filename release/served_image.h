#pragma once

// An image a serve or a station serves, loaded once: its rows point into its mapping (a private
// snapshot on POSIX), and every runner copies them.

#include "image/image_loader.h"

#include <cstdint>
#include <string>

namespace kestrune::release {

struct ImageFacts {
    std::string path;
    uint32_t size = 0;
    std::string sha256;
    std::string label = ""; // the release entry's label ("" without a release)
};

struct ServedImage {
    DownloadInfoResponse response{};
    DownloadImage image;
    ImageFacts facts; // path, size, SHA-256
};

// Loads and hashes `path`; false, with `status` saying why, when it cannot be served at all.
bool loadServedImage(const std::string& path, ServedImage& served, LoadStatus& status);

} // namespace kestrune::release
