#include "tools/boxsim/box_image.h"

#include "common/byte_order.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace boxsim {

bool readImage(const char* path, Bytes& storage, std::vector<Module>& modules, std::string& error) {
    // Read whole: the box keeps the image it started with, whatever happens to the file (a test
    // rewrites the server's copy during a download).
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    storage.clear();
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        storage.insert(storage.end(), chunk, chunk + n);
    }
    std::fclose(f);
    if (storage.empty()) {
        error = std::string(path) + ": empty";
        return false;
    }
    const size_t size = storage.size();
    const uint8_t* p = storage.data();
    size_t at = 0;
    auto need = [&](size_t n) { return at + n <= size; };
    at += 1 + p[at];
    for (int block = 0; block < 2; ++block) {
        if (!need(2)) {
            error = "image too short";
            return false;
        }
        at += 2 + (p[at] | p[at + 1] << 8);
    }
    if (!need(2)) {
        error = "image too short";
        return false;
    }
    const uint16_t count = kestrune::readU16BE(p + at);
    at += 2;
    for (uint16_t i = 0; i < count; ++i) {
        if (!need(8) || !need(8 + p[at + 7])) {
            error = "image truncated in module entry " + std::to_string(i);
            return false;
        }
        Module m{kestrune::readU16BE(p + at), kestrune::readU32BE(p + at + 2), p[at + 6],
                 Bytes(p + at + 8, p + at + 8 + p[at + 7]), nullptr};
        at += 8 + m.info.size();
        if (!need(m.size)) {
            error = "image truncated in module data " + std::to_string(i);
            return false;
        }
        m.data = p + at;
        at += m.size;
        modules.push_back(std::move(m));
    }
    return true;
}

} // namespace boxsim
