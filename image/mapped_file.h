#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrune {

// Why a file could not be mapped. The core reports the stage; the platform's own error code
// (errno or GetLastError) is kept for the front ends' messages.
enum class MapError {
    None,
    Open,  // missing, unreadable, not a regular file
    Size,  // size unavailable or not representable in 32 bits
    Empty, // a 0-byte file, which cannot be mapped
    Map,   // the mapping or the view could not be made
    // (POSIX) no private copy to serve from could be made anywhere; the file itself is fine
    Snapshot,
};

// One place where a private copy of the file was tried, and why it could not be made there.
struct SnapshotAttempt {
    std::string folder; // empty for an anonymous memory file
    int systemError = 0;
};

// A whole file mapped read-only, opened shared for reading. Move-only; the mapping and the
// file are released by the destructor or by close(). The view is a snapshot of the file as it
// was opened: on Windows the sharing mode keeps writers out, elsewhere the view is a private
// copy of the file in a removed file beside it, in the temporary folder or in memory (holes
// kept, so a sparse file stays sparse).
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() { close(); }
    MappedFile(MappedFile&& other) noexcept { swap(other); }
    MappedFile& operator=(MappedFile&& other) noexcept {
        // The old mapping ends up in `other` and is released with it.
        swap(other);
        return *this;
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the file at `path`. On failure the object is left closed and `error` tells why; for
    // MapError::Snapshot, `attempts` (when given) lists every place tried, in order.
    bool open(const char* path, MapError& error, int& systemError,
              std::vector<SnapshotAttempt>* attempts = nullptr);
    void close();

    bool isOpen() const { return view_ != nullptr; }
    const uint8_t* data() const { return view_; }
    uint32_t size() const { return size_; }

private:
    void swap(MappedFile& other) noexcept {
        std::swap(file_, other.file_);
        std::swap(mapping_, other.mapping_);
        std::swap(view_, other.view_);
        std::swap(size_, other.size_);
    }

    // Platform handles, kept opaque so that no platform header leaks into the core:
    // a file descriptor or a HANDLE (-1 when closed), the mapping HANDLE (Win32 only).
    intptr_t file_ = -1;
    void* mapping_ = nullptr;
    const uint8_t* view_ = nullptr;
    uint32_t size_ = 0;
};

// systemError of a path that names something other than a regular file (a FIFO, a device).
constexpr int NOT_A_REGULAR_FILE = -1;
// systemError of a file that another program changed while it was being loaded.
constexpr int FILE_CHANGED_WHILE_LOADING = -2;

// The platform's text for a systemError code from MappedFile::open.
std::string describeSystemError(int systemError);

} // namespace kestrune
