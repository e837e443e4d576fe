// kestrune-mkimage: writes a .dl download image from module files or generated content.
#include "tools/mkimage/image_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using kestrune::mkimage::ImageSpec;
using kestrune::mkimage::ModuleSpec;

namespace {

constexpr int EXIT_USAGE = 64;
constexpr int EXIT_INPUT = 66;  // an input file could not be read
constexpr int EXIT_OUTPUT = 73; // the image could not be written

void printUsage(FILE* out) {
    std::fputs(
        "usage: kestrune-mkimage -o IMAGE.dl [BLOCK OPTIONS] [--module ID MODULE OPTIONS]...\n"
        "\n"
        "Writes a download image: three leading blocks that the server skips, then one entry\n"
        "per module (moduleId, moduleSize, moduleVersion, moduleInfo, data).\n"
        "\n"
        "  -o, --output FILE     the image to write (required)\n"
        "  --block1 FILE         content of block 1 (at most 255 bytes), from a file\n"
        "  --block1-text TEXT    content of block 1, the given text\n"
        "  --block2 FILE, --block2-text TEXT, --block3 FILE, --block3-text TEXT\n"
        "                        the same for blocks 2 and 3 (at most 65535 bytes each)\n"
        "  --trailer FILE        bytes to append after the last module (ignored by the server)\n"
        "\n"
        "  --module ID           start a new module with this moduleId (decimal or 0x hex);\n"
        "                        the options below apply to the latest --module\n"
        "  --version N           moduleVersion, 0 to 255 (default 0)\n"
        "  --tag N               the moduleInfo descriptor's tag byte (default 0x81)\n"
        "  --info HEX            the descriptor's bytes, e.g. \"00 0A\" (default none; at most\n"
        "                        253 bytes; moduleInfoLength is their count + 2)\n"
        "  --file FILE           module data from a file\n"
        "  --size N              module data generated: N bytes of a deterministic pattern\n"
        "  --seed N              seed of the pattern (default: the moduleId)\n"
        "\n"
        "At most 50 modules. Prints one line per module and the image size.\n"
        "Exit status: 0 written, 64 wrong usage, 66 an input file unreadable, 73 output failed.\n"
        "\n"
        "Example:\n"
        "  kestrune-mkimage -o demo.dl --block1-text demo \\\n"
        "      --module 1 --version 1 --info \"00 0A\" --size 128000 \\\n"
        "      --module 2 --info \"00 01 02 03 04 05 06 07\" --file app.bin\n",
        out);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "kestrune-mkimage: %s\n", message.c_str());
    std::fputs(
        "usage: kestrune-mkimage -o IMAGE.dl [BLOCK OPTIONS] [--module ID MODULE OPTIONS]...\n"
        "Run 'kestrune-mkimage --help' for the options.\n",
        stderr);
    return EXIT_USAGE;
}

bool parseNumber(const char* text, uint64_t max, uint64_t& value) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

bool readFile(const char* path, std::vector<uint8_t>& out) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "kestrune-mkimage: cannot read %s: %s\n", path, std::strerror(errno));
        return false;
    }
    out.clear();
    uint8_t buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        out.insert(out.end(), buffer, buffer + got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        std::fprintf(stderr, "kestrune-mkimage: cannot read %s\n", path);
    }
    return !failed;
}

struct PendingModule {
    ModuleSpec plan;
    const char* file = nullptr;
    bool generated = false;
    uint32_t size = 0;
    bool seeded = false;
    uint32_t seed = 0;
};

} // namespace

int main(int argc, char** argv) {
    ImageSpec image;
    std::vector<PendingModule> modules;
    const char* output = nullptr;
    const char* blockFiles[3] = {nullptr, nullptr, nullptr};
    const char* trailerFile = nullptr;

    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            printUsage(stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            return usageError("missing value after " + option);
        }
        const char* value = argv[++i];
        uint64_t number = 0;
        if (option == "-o" || option == "--output") {
            output = value;
        } else if (option == "--block1" || option == "--block2" || option == "--block3") {
            blockFiles[option[7] - '1'] = value;
        } else if (option == "--block1-text" || option == "--block2-text" ||
                   option == "--block3-text") {
            std::vector<uint8_t>& block = option[7] == '1'   ? image.block1
                                          : option[7] == '2' ? image.block2
                                                             : image.block3;
            block.assign(value, value + std::strlen(value));
        } else if (option == "--trailer") {
            trailerFile = value;
        } else if (option == "--module") {
            if (!parseNumber(value, 0xFFFF, number)) {
                return usageError("--module needs a moduleId from 0 to 65535, not " +
                                  std::string(value));
            }
            modules.emplace_back();
            modules.back().plan.moduleId = static_cast<uint16_t>(number);
        } else if (modules.empty()) {
            return usageError(option + " must follow a --module");
        } else if (option == "--version" || option == "--tag") {
            if (!parseNumber(value, 0xFF, number)) {
                return usageError(option + " needs a value from 0 to 255, not " + value);
            }
            (option == "--version" ? modules.back().plan.moduleVersion
                                   : modules.back().plan.infoTag) = static_cast<uint8_t>(number);
        } else if (option == "--info") {
            if (!kestrune::mkimage::parseHexBytes(value, modules.back().plan.infoBytes)) {
                return usageError("--info needs hex bytes such as \"00 0A\", not " +
                                  std::string(value));
            }
        } else if (option == "--file") {
            modules.back().file = value;
            modules.back().generated = false;
        } else if (option == "--size") {
            if (!parseNumber(value, 0xFFFFFFFEu, number)) {
                return usageError("--size needs a byte count, not " + std::string(value));
            }
            modules.back().generated = true;
            modules.back().file = nullptr;
            modules.back().size = static_cast<uint32_t>(number);
        } else if (option == "--seed") {
            if (!parseNumber(value, 0xFFFFFFFFu, number)) {
                return usageError("--seed needs a number, not " + std::string(value));
            }
            modules.back().seeded = true;
            modules.back().seed = static_cast<uint32_t>(number);
        } else {
            return usageError("unknown option " + option);
        }
    }
    if (output == nullptr) {
        return usageError("no output file (-o IMAGE.dl)");
    }

    std::vector<uint8_t>* blocks[3] = {&image.block1, &image.block2, &image.block3};
    for (int b = 0; b < 3; ++b) {
        if (blockFiles[b] != nullptr && !readFile(blockFiles[b], *blocks[b])) {
            return EXIT_INPUT;
        }
    }
    if (trailerFile != nullptr && !readFile(trailerFile, image.trailer)) {
        return EXIT_INPUT;
    }
    for (PendingModule& module : modules) {
        if (module.file != nullptr) {
            if (!readFile(module.file, module.plan.data)) {
                return EXIT_INPUT;
            }
        } else if (module.generated) {
            module.plan.data = kestrune::mkimage::patternData(
                module.size, module.seeded ? module.seed : module.plan.moduleId);
        }
        image.modules.push_back(std::move(module.plan));
    }

    std::vector<uint8_t> bytes;
    std::string error;
    if (!kestrune::mkimage::buildImage(image, bytes, error)) {
        return usageError(error);
    }

    FILE* file = std::fopen(output, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "kestrune-mkimage: cannot write %s: %s\n", output,
                     std::strerror(errno));
        return EXIT_OUTPUT;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "kestrune-mkimage: cannot write %s\n", output);
        std::remove(output);
        return EXIT_OUTPUT;
    }
    for (const ModuleSpec& module : image.modules) {
        std::printf("module %u: version %u, %zu info bytes, %zu data bytes\n",
                    static_cast<unsigned>(module.moduleId),
                    static_cast<unsigned>(module.moduleVersion), module.infoBytes.size() + 2,
                    module.data.size());
    }
    std::printf("wrote %s: %zu bytes, %zu modules\n", output, bytes.size(), image.modules.size());
    return 0;
}
