#include "station/record.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kestrune::station {
namespace {

std::tm utc(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    return parts;
}

} // namespace

std::string isoTime(std::chrono::system_clock::time_point when) {
    const std::tm t = utc(when);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<int>(ms < 0 ? ms + 1000 : ms));
    return text;
}

std::string fileTime(std::chrono::system_clock::time_point when) {
    const std::tm t = utc(when);
    char text[80];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Complete:
        return "complete";
    case Outcome::DownloadError:
        return "download error";
    case Outcome::NotResponding:
        return "not responding";
    case Outcome::PortFailure:
        return "port failure";
    case Outcome::Aborted:
        break;
    }
    return "aborted";
}

std::string recordLine(const AttemptReport& report, const std::string& port,
                       const ImageFacts& image, const std::string& testLog,
                       const std::string& capture) {
    const std::string reason = explainOutcome(report, port);
    const double seconds = std::chrono::duration<double>(report.ended - report.started).count();
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", seconds < 0 ? 0.0 : seconds);
    const auto nullable = [](const std::string& text) {
        return text.empty() ? std::string("null") : jsonString(text);
    };
    // Fields the box never got as far as are null rather than a misleading 0.
    const bool woke = report.boxWoke;
    const bool ran = report.sessionRan;
    std::string line = "{";
    line += "\"start\":" + jsonString(isoTime(report.started));
    line += ",\"end\":" + jsonString(isoTime(report.ended));
    line += ",\"port\":" + jsonString(port);
    line += ",\"image\":" + jsonString(image.path);
    line += ",\"imageSize\":" + std::to_string(image.size);
    line += ",\"imageSha256\":" + jsonString(image.sha256);
    line += ",\"wakeupByte\":" + (ran ? std::to_string(report.wakeupByte) : "null");
    line += ",\"downloadId\":" +
            (woke && report.downloadId != 0 ? std::to_string(report.downloadId) : "null");
    line += ",\"blockSize\":" +
            (woke && report.blockSize != 0 ? std::to_string(report.blockSize) : "null");
    line += ",\"windowSize\":" +
            (woke && report.windowSize != 0 ? std::to_string(report.windowSize) : "null");
    line += ",\"ackPeriod\":" +
            (woke && report.ackPeriod != 0 ? std::to_string(report.ackPeriod) : "null");
    line += ",\"outcome\":" + jsonString(outcomeName(report.outcome));
    line += ",\"resultCode\":" + (ran ? std::to_string(report.resultCode) : "null");
    line += ",\"reason\":" + nullable(reason);
    line += ",\"moduleBytesDelivered\":" + (ran ? std::to_string(report.deliveredBytes) : "null");
    line += ",\"moduleBytes\":" + (ran ? std::to_string(report.moduleBytes) : "null");
    line += ",\"framesResent\":" + (woke ? std::to_string(report.framesResent) : "null");
    line += ",\"durationSeconds\":" + std::string(duration);
    line += ",\"testLog\":" + nullable(testLog);
    line += ",\"capture\":" + nullable(capture);
    line += "}\n";
    return line;
}

RecordFile::~RecordFile() {
    if (fd_ >= 0) {
#ifdef _WIN32
        _close(fd_);
#else
        ::close(fd_);
#endif
    }
}

bool RecordFile::open(const std::string& path) {
#ifdef _WIN32
    fd_ = _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, 0644);
#else
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
#endif
    return fd_ >= 0;
}

bool RecordFile::append(const std::string& line) {
    // O_APPEND makes each write land whole at the end, whichever thread writes.
#ifdef _WIN32
    const bool written = _write(fd_, line.data(), static_cast<unsigned>(line.size())) ==
                         static_cast<int>(line.size());
    return _commit(fd_) == 0 && written;
#else
    const bool written =
        ::write(fd_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    return ::fsync(fd_) == 0 && written;
#endif
}

} // namespace kestrune::station
