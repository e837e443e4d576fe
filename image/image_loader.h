#pragma once

#include "dsmcc/records.h"
#include "image/mapped_file.h"

#include <cstdint>
#include <vector>

namespace kestrune {

// Why a load failed, for front ends that say more than "Incorrect file format!".
enum class LoadError {
    None,
    Open,  // missing or unreadable file (systemError tells which)
    Size,  // the size could not be determined or is not below 0xFFFFFFFF
    Empty, // a 0-byte file (it cannot be mapped)
    Map,   // the mapping failed
    // no private copy to serve from could be made (POSIX): nothing is wrong with the file
    Snapshot,
    Format, // the walk found the file inconsistent
};

struct LoadStatus {
    LoadError error = LoadError::None;
    int systemError = 0; // errno or GetLastError for Open, Size and Map
    // Snapshot: each folder tried (an empty name: the memory file) and why it failed there.
    std::vector<SnapshotAttempt> snapshotAttempts;
};

// The loaded download image: the open file, its read-only mapping and its size. The module
// rows of the DownloadInfoResponse record point into this mapping (moduleData), so it must
// stay alive for as long as the rows are used. Move-only.
class DownloadImage {
public:
    bool isLoaded() const { return file_.isOpen(); }
    const uint8_t* data() const { return file_.data(); }
    // The file's size in bytes: what the front ends take as imageSize.
    uint32_t size() const { return file_.size(); }
    // Releases the mapping. Only call it once nothing uses the record's rows any more.
    void release() { file_.close(); }

private:
    friend bool loadImage(DownloadInfoResponse&, const char*, DownloadImage&, LoadStatus*);
    MappedFile file_;
};

// Walks an image held in memory and fills numberOfModules and the module rows of `record`,
// with moduleData pointing into `data`. Reads nothing outside [data, data + size) and writes
// no row beyond the 50th. Refuses a file that declares more than 50 modules, whose moduleInfo
// is not exactly one descriptor, or whose blocks, entries or module data run past its end.
//
// On success the rows past numberOfModules get a null moduleData, so no row refers to an
// earlier image. On failure the fields of the rows walked so far stay written, their moduleData
// is set to null, and numberOfModules is set to 0: nothing in the record points into `data`.
bool walkImage(DownloadInfoResponse& record, const uint8_t* data, uint32_t size);

// How much of an image file its module table accounts for: the three blocks, the module count,
// every module's entry and data, as walkImage walks them. Anything after the last module is
// ignored by the loader, so a file that is mostly such bytes (an executable, a document whose
// first bytes happen to read as an empty module table) is probably not a download image.
struct ImageCoverage {
    bool walkable = false;       // false: walkImage refuses the file (describedBytes is 0)
    uint32_t describedBytes = 0; // from the file's start up to the end of its last module
    uint32_t fileBytes = 0;
};
ImageCoverage imageCoverage(const uint8_t* data, uint32_t size);

// True when more than half of a walkable file lies after its last module.
bool mostlyUndescribed(const ImageCoverage& coverage);

// Maps the file at `path` read-only and walks it into `record`.
//
// Success: `image` holds the new mapping and the mapping it held before is released, after the
// rows have been repointed into the new one.
// Failure: `image` is left as it was (its mapping, if any, stays alive), the new file is
// released, and the record is as walkImage leaves it on failure (untouched when the file could
// not even be mapped). The caller marks that no image is loaded.
bool loadImage(DownloadInfoResponse& record, const char* path, DownloadImage& image,
               LoadStatus* status = nullptr);

} // namespace kestrune
