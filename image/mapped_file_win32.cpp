#include "common/system_error.h"
#include "image/mapped_file.h"

#include <windows.h>

namespace kestrune {

namespace {

HANDLE asHandle(intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

bool MappedFile::open(const char* path, MapError& error, int& systemError,
                      std::vector<SnapshotAttempt>* attempts) {
    close();
    // The sharing mode below is the snapshot: no copy is made, so no place can fail.
    if (attempts != nullptr) {
        attempts->clear();
    }
    error = MapError::None;
    systemError = 0;

    // Shared for reading only: no other program can write the image while it is loaded.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = MapError::Open;
        systemError = static_cast<int>(GetLastError());
        return false;
    }
    // The low part only: imageSize is 32 bits wide. GetFileSize leaves the last error alone
    // on success, so clear it first to tell a real failure from a size of 0xFFFFFFFF.
    SetLastError(NO_ERROR);
    const DWORD size = GetFileSize(file, nullptr);
    const DWORD sizeError = GetLastError();
    if (sizeError != NO_ERROR || size == INVALID_FILE_SIZE) {
        error = MapError::Size;
        systemError = static_cast<int>(sizeError);
        CloseHandle(file);
        return false;
    }
    // A maximum size of 0 maps the whole file; an empty file cannot be mapped and fails here.
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        error = size == 0 ? MapError::Empty : MapError::Map;
        systemError = static_cast<int>(GetLastError());
        CloseHandle(file);
        return false;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
    if (view == nullptr) {
        error = MapError::Map;
        systemError = static_cast<int>(GetLastError());
        CloseHandle(mapping);
        CloseHandle(file);
        return false;
    }
    file_ = reinterpret_cast<intptr_t>(file);
    mapping_ = mapping;
    view_ = static_cast<const uint8_t*>(view);
    size_ = size;
    return true;
}

void MappedFile::close() {
    if (view_ != nullptr) {
        UnmapViewOfFile(view_);
    }
    if (mapping_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(mapping_));
    }
    if (file_ != -1) {
        CloseHandle(asHandle(file_));
    }
    file_ = -1;
    mapping_ = nullptr;
    view_ = nullptr;
    size_ = 0;
}

std::string describeSystemError(int systemError) {
    if (systemError == NOT_A_REGULAR_FILE) {
        return "not a regular file";
    }
    return systemErrorText(Win32Error{static_cast<unsigned long>(systemError)});
}

} // namespace kestrune
