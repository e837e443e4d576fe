#include "common/system_error.h"
#include "station/scanner_io.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kestrune::station {
namespace {

class PosixScanner final : public ScannerDevice {
public:
    explicit PosixScanner(int fd) : fd_(fd) {}
    // The standard input, a terminal whose settings are put back at the end.
    PosixScanner(int fd, const termios& before) : fd_(fd), restore_(true), before_(before) {}
    ~PosixScanner() override {
        if (restore_) {
            ::tcsetattr(fd_, TCSANOW, &before_);
        } else {
            ::close(fd_);
        }
    }

    Read readLine(std::string& line, int ms) override {
        for (;;) {
            if (takeScanLine(pending_, line)) {
                return Read::Line;
            }
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, ms);
            if (ready == 0 || (ready < 0 && errno == EINTR)) {
                return Read::Nothing;
            }
            char buffer[256];
            const ssize_t n = ready > 0 ? ::read(fd_, buffer, sizeof buffer) : -1;
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                return Read::Nothing;
            }
            if (n <= 0) {
                return Read::Gone;
            }
            pending_.append(buffer, static_cast<size_t>(n));
            ms = 0; // what is there is read; the rest of the line comes at the next call
        }
    }

private:
    int fd_;
    bool restore_ = false;
    termios before_{};
    std::string pending_;
};

} // namespace

std::unique_ptr<ScannerDevice> openScanner(const std::string& path, std::string& error) {
    if (path == SCANNER_STDIN) {
        termios before{};
        if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &before) != 0) {
            error = "the standard input is not a terminal; a keyboard-wedge scanner types into "
                    "the terminal the station runs in";
            return nullptr;
        }
        // Lines as the terminal edits them, and Ctrl-C still a signal; only the echo goes, so
        // that what the scanner types does not run through the table.
        termios quiet = before;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        return std::make_unique<PosixScanner>(STDIN_FILENO, before);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = systemErrorText(lastCrtError());
        return nullptr;
    }
    // Bytes as they come, not the terminal's line editing: a scanner sends whole lines anyway.
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CREAD | CLOCAL;
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return std::make_unique<PosixScanner>(fd);
}

} // namespace kestrune::station
