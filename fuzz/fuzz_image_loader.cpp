// The image loader on arbitrary file contents: the walk over the bytes in memory, and the same
// bytes through a real file and its read-only mapping. Any accepted image must describe modules
// that lie wholly inside the file.
#include "image/image_loader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

using namespace kestrune;

namespace {

DownloadInfoResponse record;
DownloadImage image;

void checkAccepted(const uint8_t* data, size_t size) {
    if (record.numberOfModules > MAX_MODULES) {
        std::abort();
    }
    for (int i = 0; i < record.numberOfModules; ++i) {
        const ModuleEntry& row = record.modules[i];
        if (row.moduleInfoLength < 2 || row.moduleInfo[1] + 2 != row.moduleInfoLength) {
            std::abort();
        }
        if (row.moduleData < data || row.moduleData > data + size ||
            row.moduleSize > static_cast<size_t>(data + size - row.moduleData)) {
            std::abort();
        }
        // Touch the module's first and last byte: the sanitizer sees any stray position.
        if (row.moduleSize > 0) {
            volatile uint8_t sink = row.moduleData[0];
            sink = row.moduleData[row.moduleSize - 1];
            (void)sink;
        }
    }
}

// A file of its own for this process, removed at exit.
struct ScratchFile {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("kestrune-fuzz-image-" + std::to_string(std::random_device{}()) + ".dl"))
                           .string();
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

const std::string& scratchPath() {
    static const ScratchFile file;
    return file.path;
}

// Mapping a file costs far more than walking bytes: take the file path for one input in eight,
// chosen by the input itself so that a crash reproduces.
bool throughFile(const uint8_t* data, size_t size) {
    uint32_t hash = static_cast<uint32_t>(size) * 2654435761u;
    for (size_t i = 0; i < size && i < 16; ++i) {
        hash = (hash ^ data[i]) * 16777619u;
    }
    return (hash >> 29) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 0xFFFFFFFFu) {
        return 0;
    }
    const bool accepted = walkImage(record, data, static_cast<uint32_t>(size));
    if (accepted) {
        checkAccepted(data, size);
    } else if (record.numberOfModules != 0) {
        std::abort();
    }

    // The same bytes through the file path; it must judge them the same way.
    if (!throughFile(data, size)) {
        return 0;
    }
    FILE* file = std::fopen(scratchPath().c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    if (size > 0) {
        std::fwrite(data, 1, size, file);
    }
    std::fclose(file);
    const bool loaded = loadImage(record, scratchPath().c_str(), image);
    if (loaded != accepted) {
        std::abort();
    }
    if (loaded) {
        checkAccepted(image.data(), image.size());
    }
    return 0;
}
