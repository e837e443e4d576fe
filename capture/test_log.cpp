#include "capture/test_log.h"

#include "capture/new_file.h"

#include <cerrno>
#include <filesystem>

namespace kestrune::capture {

TestLogFile::~TestLogFile() {
    close();
    if (created_ && !started_ && !path_.empty()) {
        std::remove(path_.c_str());
    }
}

CrtError TestLogFile::prepare(const std::string& path) {
    path_ = path;
    std::error_code ignored;
    created_ = !std::filesystem::exists(path_, ignored);
    file_ = std::fopen(path.c_str(), "ab");
    return file_ != nullptr ? CrtError{} : lastCrtError();
}

void TestLogFile::start() {
    if (file_ != nullptr) {
        file_ = std::freopen(path_.c_str(), "wb", file_);
        started_ = true;
        if (file_ == nullptr) {
            fail();
        }
    }
}

CrtError TestLogFile::create(const std::string& path) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    started_ = true;
    return file_ != nullptr ? CrtError{} : lastCrtError();
}

CrtError TestLogFile::createNew(const std::string& stem, const char* extension) {
    CrtError error;
    file_ = createNewFile(stem, extension, path_, error);
    started_ = true;
    return error;
}

void TestLogFile::fail() {
    int expected = 0;
    error_.compare_exchange_strong(expected, lastCrtError().code);
}

void TestLogFile::write(const char* text) {
    if (file_ == nullptr || !started_ || error_.load() != 0) {
        return;
    }
    if (std::fputs(text, file_) < 0 || std::fflush(file_) != 0) {
        fail();
    }
}

CrtError TestLogFile::close() {
    if (file_ != nullptr) {
        if (std::fclose(file_) != 0) {
            fail();
        }
        file_ = nullptr;
    }
    return error();
}

} // namespace kestrune::capture
