#include "report/read_records.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrune::report {
namespace {

// One piece of the file at a time: its lines parsed, then counted in order.
class Batch {
public:
    explicit Batch(Summariser& summariser) : summariser_(summariser) {}

    void line(std::string_view text) {
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1); // a record that went through a Windows editor
        }
        if (text.find_first_not_of(" \t") == std::string_view::npos) {
            return; // an empty line is no line
        }
        lines_.push_back(text);
    }

    void tooLong() {
        flush();
        summariser_.skip();
    }

    void flush() {
        const size_t n = lines_.size();
        if (parsed_.size() < n) {
            parsed_.resize(n);
        }
        ok_.resize(n);
        const auto parse = [this](size_t from, size_t to) {
            for (size_t i = from; i < to; ++i) {
                ok_[i] = parseRecordLine(lines_[i], parsed_[i]) ? 1 : 0;
            }
        };
        bool split = n >= 256 && std::thread::hardware_concurrency() > 1;
        if (split) {
            try {
                std::thread other(parse, n / 2, n);
                parse(0, n / 2);
                other.join();
            } catch (const std::system_error&) {
                split = false; // no thread to be had: one is enough
            }
        }
        if (!split) {
            parse(0, n);
        }
        for (size_t i = 0; i < n; ++i) {
            if (ok_[i] != 0) {
                summariser_.add(parsed_[i]);
            } else {
                summariser_.skip();
            }
        }
        lines_.clear();
    }

private:
    Summariser& summariser_;
    std::vector<std::string_view> lines_;
    std::vector<RecordLine> parsed_;
    std::vector<unsigned char> ok_;
};

} // namespace

ReadFailure readRecordFile(const std::string& path, Summariser& summariser, size_t bufferBytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return {errno, true};
    }
    summariser.beginFile(path);
    std::vector<char> buffer(bufferBytes < 16 ? 16 : bufferBytes);
    Batch batch(summariser);
    size_t held = 0;         // bytes of an unfinished line at the start of the buffer
    bool discarding = false; // inside a line too long for the buffer, until its end
    ReadFailure failure;
    for (;;) {
        const size_t got = std::fread(buffer.data() + held, 1, buffer.size() - held, file);
        if (got == 0 && std::ferror(file)) {
            failure.error = errno != 0 ? errno : EIO;
            break;
        }
        const bool atEnd = got == 0;
        const size_t filled = held + got;
        size_t lineStart = 0;
        for (const char* at = buffer.data();;) {
            const auto* newline = static_cast<const char*>(
                std::memchr(at, '\n', size_t(buffer.data() + filled - at)));
            if (newline == nullptr) {
                break;
            }
            if (!discarding) {
                batch.line(
                    {buffer.data() + lineStart, size_t(newline - buffer.data()) - lineStart});
            }
            discarding = false;
            lineStart = size_t(newline - buffer.data()) + 1;
            at = newline + 1;
        }
        if (atEnd) {
            // A last line without its line feed: torn by a crash, or written by hand.
            if (!discarding && lineStart < filled) {
                batch.line({buffer.data() + lineStart, filled - lineStart});
            }
            batch.flush();
            break;
        }
        batch.flush();
        held = filled - lineStart;
        if (held == buffer.size()) {
            // One line fills the whole buffer: it is not a record line.
            if (!discarding) {
                batch.tooLong();
            }
            discarding = true;
            held = 0;
        } else if (discarding) {
            held = 0;
        } else if (lineStart > 0) {
            std::memmove(buffer.data(), buffer.data() + lineStart, held);
        }
    }
    std::fclose(file);
    summariser.endFile();
    return failure;
}

} // namespace kestrune::report
