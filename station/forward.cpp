#include "station/forward.h"

#include "common/iso_time.h"
#include "common/sha256.h"
#include "station/record.h"
#include "station/record_io.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

namespace kestrune::station {
namespace {

// A line longer than this is no record line of ours: it is set aside, not sent.
constexpr size_t MAX_LINE = 1 << 20;
constexpr uint32_t IDLE_MS = 200;
constexpr size_t ANSWER_KEPT = 2048;
constexpr char CURSOR_HEAD[] = "kestrune forward cursor 1";

bool readNumber(std::string_view& text, uint64_t& value) {
    size_t i = 0;
    value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 19) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        ++i;
    }
    // The cursor writes no leading zero: one there means the file is not a cursor we wrote.
    const bool ok = i != 0 && (i == text.size() || text[i] < '0' || text[i] > '9') &&
                    (i == 1 || text[0] != '0');
    text.remove_prefix(i);
    return ok;
}

bool expect(std::string_view& text, std::string_view word) {
    if (text.substr(0, word.size()) != word) {
        return false;
    }
    text.remove_prefix(word.size());
    return true;
}

class SystemClock final : public ForwardClock {
public:
    int64_t nowMs() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

} // namespace

std::string parseForwardUrl(const std::string& url, ForwardTarget& target) {
    static constexpr std::string_view scheme = "http://";
    if (url.rfind(scheme, 0) != 0) {
        return "--forward " + url +
               ": only http:// URLs (put a TLS proxy on this machine in front of an https one)";
    }
    std::string rest = url.substr(scheme.size());
    ForwardTarget read;
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        read.path = rest.substr(slash);
        rest.resize(slash);
    }
    if (const size_t colon = rest.rfind(':');
        colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        uint64_t value = 0;
        std::string_view digits = port;
        if (!readNumber(digits, value) || !digits.empty() || value == 0 || value > 65535) {
            return "--forward " + url + ": the port must be 1 to 65535";
        }
        read.port = static_cast<int>(value);
        rest.resize(colon);
    }
    if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']') {
        rest = rest.substr(1, rest.size() - 2);
    }
    if (rest.empty() || rest.find_first_of(" @?#[]") != std::string::npos) {
        return "--forward " + url + ": no host name";
    }
    read.host = rest;
    target = read;
    return "";
}

uint32_t Backoff::failed() {
    const uint32_t wait = next_;
    next_ = next_ >= MOST_MS / 2 ? MOST_MS : next_ * 2;
    return wait;
}

std::string formatCursor(const ForwardCursor& cursor) {
    return std::string(CURSOR_HEAD) + "\noffset " + std::to_string(cursor.offset) + "\nlines " +
           std::to_string(cursor.lines) + "\n";
}

bool parseCursor(std::string_view text, ForwardCursor& cursor) {
    ForwardCursor read;
    if (!expect(text, CURSOR_HEAD) || !expect(text, "\noffset ") ||
        !readNumber(text, read.offset) || !expect(text, "\nlines ") ||
        !readNumber(text, read.lines) || text != "\n" || read.lines > read.offset) {
        return false;
    }
    cursor = read;
    return true;
}

ForwardClock& systemForwardClock() {
    static SystemClock clock;
    return clock;
}

std::string describeForward(const ForwardState& s) {
    std::string text = s.name + ": ";
    text += s.pending == 0
                ? std::string("up to date")
                : std::to_string(s.pending) + (s.pending == 1 ? " line" : " lines") + " behind";
    if (!s.lastError.empty()) {
        // "10:42" of the record's own UTC times.
        const std::string at =
            isoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(s.lastErrorMs)))
                .substr(11, 5);
        text += ", last error " + s.lastError + " at " + at;
    }
    return text;
}

Forwarder::Forwarder(std::string record, std::string name, Poster& poster, ForwardClock& clock)
    : record_(std::move(record)), poster_(poster), clock_(clock) {
    state_.name = std::move(name);
}

Forwarder::~Forwarder() {
    stop();
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool Forwarder::followRename() {
    if (file_ != nullptr && record_io::stillNamed(file_, record_)) {
        return false;
    }
    std::FILE* named = std::fopen(record_.c_str(), "rb");
    if (named == nullptr) {
        return false;
    }
    const bool rotated = file_ != nullptr;
    if (rotated) {
        std::fclose(file_);
        // The new file from its start; the old one was read to its end.
        cursor_ = {};
        scanned_ = 0;
        totalLines_ = 0;
        if (const CrtError error =
                record_io::replaceFile(cursorPath(record_), formatCursor(cursor_))) {
            failedWith("cursor", "cursor " + systemErrorText(error));
        }
    }
    file_ = named;
    return rotated;
}

std::string Forwarder::open() {
    if (FILE* f = std::fopen(cursorPath(record_).c_str(), "rb")) {
        char text[256];
        const size_t n = std::fread(text, 1, sizeof text, f);
        std::fclose(f);
        if (!parseCursor(std::string_view(text, n), cursor_)) {
            // Lines again rather than lines lost: the receiver drops what it has by attemptId.
            cursor_ = {};
        }
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(record_, error);
    if (!error && cursor_.offset > size) {
        cursor_ = {}; // another record under the name: all of it is new
    }
    followRename();
    countLines();
    return "";
}

void Forwarder::countLines() {
    if (file_ == nullptr) {
        followRename();
    }
    FILE* f = file_;
    if (f == nullptr) {
        return;
    }
    if (std::fseek(f, static_cast<long>(scanned_), SEEK_SET) == 0) {
        char buffer[65536];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
            for (size_t i = 0; i < n; ++i) {
                totalLines_ += buffer[i] == '\n';
            }
            scanned_ += n;
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.pending = totalLines_ > cursor_.lines ? totalLines_ - cursor_.lines : 0;
    state_.longestBacklog = std::max(state_.longestBacklog, state_.pending);
}

bool Forwarder::nextLine(std::string& line) {
    line.clear();
    FILE* f = file_;
    if (f == nullptr) {
        return false;
    }
    bool whole = false;
    if (std::fseek(f, static_cast<long>(cursor_.offset), SEEK_SET) == 0) {
        int c = 0;
        while ((c = std::fgetc(f)) != EOF) {
            line += static_cast<char>(c);
            if (c == '\n' || line.size() > MAX_LINE) {
                whole = true;
                break;
            }
        }
    }
    return whole;
}

CrtError Forwarder::advance(uint64_t bytes) {
    cursor_.offset += bytes;
    cursor_.lines += 1;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        state_.pending = totalLines_ > cursor_.lines ? totalLines_ - cursor_.lines : 0;
    }
    return record_io::replaceFile(cursorPath(record_), formatCursor(cursor_));
}

void Forwarder::failedWith(const std::string& kind, const std::string& error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.errors[kind] += 1;
    state_.lastError = error;
    state_.lastErrorMs = clock_.nowMs();
}

uint32_t Forwarder::step() {
    countLines();
    std::string line;
    // At the end of a record that was rotated away: on in the one that took its name.
    bool whole = nextLine(line);
    if (!whole && file_ != nullptr && !record_io::stillNamed(file_, record_)) {
        // Renamed away: a line may have reached it after the read above, before the name
        // moved; only then on to the new file.
        countLines();
        whole = nextLine(line);
        if (!whole && followRename()) {
            countLines();
            whole = nextLine(line);
        }
    }
    if (!whole) {
        const std::lock_guard<std::mutex> lock(mutex_);
        idle_ = true;
        return IDLE_MS;
    }
    const uint64_t bytes = line.size();
    std::string refusal;
    int status = 0;
    std::string answer;
    std::string key;
    if (line.back() != '\n') {
        refusal = "longer than " + std::to_string(MAX_LINE) + " bytes";
    } else {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') {
            line.pop_back(); // a record that went through a text editor on Windows
        }
        const auto json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_discarded() || !json.is_object()) {
            refusal = "not a JSON object (a line torn by a crash)";
        } else if (const auto id = json.find("attemptId");
                   id != json.end() && id->is_string() && !id->get<std::string>().empty()) {
            key = id->get<std::string>();
        } else {
            // A line from before attempt ids: its own hash names it as well.
            Sha256 hash;
            hash.update(reinterpret_cast<const uint8_t*>(line.data()), line.size());
            key = "sha256-" + hash.hex();
        }
    }
    if (refusal.empty()) {
        const PostAnswer reply = poster_.post(line, key);
        status = reply.status;
        answer = reply.body.substr(0, ANSWER_KEPT);
        if (status >= 200 && status < 300) {
            backoff_.succeeded();
            if (const CrtError error = advance(bytes)) {
                failedWith("cursor", "cursor " + systemErrorText(error));
            }
            const std::lock_guard<std::mutex> lock(mutex_);
            state_.delivered += 1;
            return 0;
        }
        // 408 and 429 ask for the same line later; any other 4xx refuses this line for good.
        const bool refused = status >= 400 && status < 500 && status != 408 && status != 429;
        if (!refused) {
            failedWith(status != 0 ? "status" : reply.kind,
                       status != 0 ? std::to_string(status) : reply.kind);
            return backoff_.failed();
        }
        refusal = "refused with " + std::to_string(status);
    }
    // Set aside with the answer, and on to the next line: one bad line must not stop the rest.
    nlohmann::ordered_json dead;
    dead["refusedAt"] = isoTime(std::chrono::system_clock::now());
    dead["status"] = status != 0 ? nlohmann::ordered_json(status) : nullptr;
    dead["why"] = refusal;
    dead["answer"] = answer;
    dead["line"] = line;
    RecordFile file;
    CrtError error = file.open(deadLetterPath(record_));
    if (!error) {
        error = file.append(
            dead.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
    }
    if (error) {
        // Not delivered and not set aside: it stays the next line, tried again later.
        failedWith("deadLetter", "dead-letter file " + systemErrorText(error));
        return backoff_.failed();
    }
    failedWith("refused", status != 0 ? std::to_string(status) : "unreadable line");
    if (const CrtError failed = advance(bytes)) {
        failedWith("cursor", "cursor " + systemErrorText(failed));
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.refused += 1;
    return 0;
}

void Forwarder::start() {
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            const uint32_t wait = step();
            lock.lock();
            if (wait != 0) {
                wake_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return stopping_; });
            }
        }
    });
}

bool Forwarder::drain(double seconds, const std::function<bool()>& cut) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        idle_ = false; // a step after now must find nothing left
    }
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (idle_ && state_.pending == 0) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= until || cut()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void Forwarder::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

ForwardState Forwarder::state() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

} // namespace kestrune::station
