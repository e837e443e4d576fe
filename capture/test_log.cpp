#include "capture/test_log.h"

#include <cerrno>
#include <filesystem>

namespace kestrune::capture {

TestLogFile::~TestLogFile() {
    close();
    if (created_ && !started_ && !path_.empty()) {
        std::remove(path_.c_str());
    }
}

int TestLogFile::prepare(const std::string& path) {
    path_ = path;
    std::error_code ignored;
    created_ = !std::filesystem::exists(path_, ignored);
    file_ = std::fopen(path.c_str(), "ab");
    return file_ != nullptr ? 0 : errno;
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

int TestLogFile::create(const std::string& path) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    started_ = true;
    return file_ != nullptr ? 0 : errno;
}

void TestLogFile::fail() {
    int expected = 0;
    error_.compare_exchange_strong(expected, errno != 0 ? errno : EIO);
}

void TestLogFile::write(const char* text) {
    if (file_ == nullptr || !started_ || error_.load() != 0) {
        return;
    }
    if (std::fputs(text, file_) < 0 || std::fflush(file_) != 0) {
        fail();
    }
}

int TestLogFile::close() {
    if (file_ != nullptr) {
        if (std::fclose(file_) != 0) {
            fail();
        }
        file_ = nullptr;
    }
    return error_.load();
}

} // namespace kestrune::capture
