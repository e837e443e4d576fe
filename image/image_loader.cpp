#include "image/image_loader.h"

#include "dsmcc/codec.h"

#include <cstring>

namespace kestrune {

namespace {

// Every position is checked against the file's size before it is read. Positions are kept
// 64 bits wide so that no length field can wrap them. Without a record the walk only measures:
// `end` is where the last module's data (or the module count, for none) ends.
bool walkModules(DownloadInfoResponse* record, const uint8_t* data, uint64_t size, int& rowsTouched,
                 uint64_t& end) {
    uint64_t p = 0;

    // Three blocks this system does not interpret: a 1-byte length, then two 2-byte lengths
    // stored least significant byte first.
    if (p + 1 > size) {
        return false;
    }
    p += 1 + static_cast<uint64_t>(data[p]);
    for (int block = 0; block < 2; ++block) {
        if (p + 2 > size) {
            return false;
        }
        p += 2 + (static_cast<uint64_t>(data[p]) | (static_cast<uint64_t>(data[p + 1]) << 8));
    }

    if (p + 2 > size) {
        return false;
    }
    const uint16_t numberOfModules = readU16BE(data + p);
    if (record != nullptr) {
        record->numberOfModules = numberOfModules;
    }
    p += 2;
    end = p;
    if (numberOfModules > MAX_MODULES) {
        return false;
    }

    for (int i = 0; i < numberOfModules; ++i) {
        if (p + 8 > size) {
            return false;
        }
        ModuleEntry scratch;
        ModuleEntry& row = record != nullptr ? record->modules[i] : scratch;
        rowsTouched = i + 1;
        row.moduleId = readU16BE(data + p);
        row.moduleSize = readU32BE(data + p + 2);
        row.moduleVersion = data[p + 6];
        row.moduleInfoLength = data[p + 7];

        // moduleInfo must be exactly one descriptor: tag, length, length bytes.
        if (row.moduleInfoLength < 2) {
            return false;
        }
        if (p + 8 + row.moduleInfoLength > size) {
            return false;
        }
        if (data[p + 9] + 2 != row.moduleInfoLength) {
            return false;
        }
        std::memcpy(row.moduleInfo, data + p + 8, row.moduleInfoLength);

        const uint64_t moduleData = p + 8 + row.moduleInfoLength;
        if (moduleData + row.moduleSize > size) {
            return false;
        }
        row.moduleData = data + moduleData;
        p = moduleData + row.moduleSize;
        end = p;
    }
    return true;
}

} // namespace

bool walkImage(DownloadInfoResponse& record, const uint8_t* data, uint32_t size) {
    int rowsTouched = 0;
    uint64_t end = 0;
    if (data == nullptr || !walkModules(&record, data, size, rowsTouched, end)) {
        for (int i = 0; i < rowsTouched; ++i) {
            record.modules[i].moduleData = nullptr;
        }
        record.numberOfModules = 0;
        return false;
    }
    for (int i = record.numberOfModules; i < MAX_MODULES; ++i) {
        record.modules[i].moduleData = nullptr;
    }
    return true;
}

ImageCoverage imageCoverage(const uint8_t* data, uint32_t size) {
    ImageCoverage coverage;
    coverage.fileBytes = size;
    int rowsTouched = 0;
    uint64_t end = 0;
    coverage.walkable = data != nullptr && walkModules(nullptr, data, size, rowsTouched, end);
    coverage.describedBytes = coverage.walkable ? static_cast<uint32_t>(end) : 0;
    return coverage;
}

bool mostlyUndescribed(const ImageCoverage& coverage) {
    return coverage.walkable &&
           uint64_t{coverage.fileBytes - coverage.describedBytes} * 2 > coverage.fileBytes;
}

bool loadImage(DownloadInfoResponse& record, const char* path, DownloadImage& image,
               LoadStatus* status) {
    LoadStatus local;
    LoadStatus& result = status != nullptr ? *status : local;
    result = LoadStatus{};

    MappedFile file;
    MapError mapError = MapError::None;
    if (path == nullptr ||
        !file.open(path, mapError, result.systemError, &result.snapshotAttempts)) {
        switch (mapError) {
        case MapError::Size:
            result.error = LoadError::Size;
            break;
        case MapError::Empty:
            result.error = LoadError::Empty;
            break;
        case MapError::Map:
            result.error = LoadError::Map;
            break;
        case MapError::Snapshot:
            result.error = LoadError::Snapshot;
            break;
        default:
            result.error = LoadError::Open;
            break;
        }
        return false;
    }
    if (!walkImage(record, file.data(), file.size())) {
        result.error = LoadError::Format;
        return false; // `file` is released here; no row points into it
    }
    // The rows now point into `file`: only now may the previous mapping go.
    image.file_ = std::move(file);
    return true;
}

} // namespace kestrune
