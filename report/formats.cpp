#include "report/formats.h"

#include "common/text.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

namespace kestrune::report {
namespace {

constexpr Outcome FAILURES[] = {Outcome::DownloadError, Outcome::NotResponding,
                                Outcome::PortFailure, Outcome::WrongBox, Outcome::Aborted};

std::string printf1(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string imageLabel(const ImageRow& row) {
    return (row.image.empty() ? std::string("(no image)") : visible(row.image)) + " " +
           visible(row.sha256.substr(0, 16));
}

std::string fileLine(const FileFacts& f) {
    std::string out =
        visible(f.path) + ": " + groupDigits(f.lines) + (f.lines == 1 ? " line" : " lines");
    if (f.skipped > 0) {
        out += ", " + groupDigits(f.skipped) + " skipped (not whole record lines)";
    }
    return out + "\n";
}

// ---- text -------------------------------------------------------------------------------

// Columns two spaces apart; numbers to the right.
class Table {
public:
    explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
    void row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    // The first `leftColumns` columns, and the last one when `lastLeft`, are text: to the left.
    std::string text(size_t leftColumns, bool lastLeft = false) const {
        std::vector<size_t> widths;
        for (const auto& row : rows_) {
            widths.resize(std::max(widths.size(), row.size()));
            for (size_t c = 0; c < row.size(); ++c) {
                widths[c] = std::max(widths[c], row[c].size());
            }
        }
        std::string out;
        for (const auto& row : rows_) {
            std::string line;
            for (size_t c = 0; c < row.size(); ++c) {
                const std::string pad(widths[c] - row[c].size(), ' ');
                if (c > 0) {
                    line += "  ";
                }
                const bool left = c < leftColumns || (lastLeft && c + 1 == row.size());
                line += left ? row[c] + pad : pad + row[c];
            }
            while (!line.empty() && line.back() == ' ') {
                line.pop_back();
            }
            out += line + "\n";
        }
        return out;
    }

private:
    std::vector<std::vector<std::string>> rows_;
};

std::string seconds(double s) {
    return printf1(s < 10 ? "%.2f s" : "%.1f s", s);
}

std::string stationTime(double s) {
    const auto total = static_cast<uint64_t>(std::llround(s));
    if (total >= 3600) {
        char text[64];
        std::snprintf(text, sizeof text, "%s h %02u min", groupDigits(total / 3600).c_str(),
                      unsigned(total / 60 % 60));
        return text;
    }
    if (total >= 60) {
        char text[64];
        std::snprintf(text, sizeof text, "%u min %02u s", unsigned(total / 60),
                      unsigned(total % 60));
        return text;
    }
    return printf1("%.1f s", s);
}

std::vector<std::string> countCells(const Counts& c) {
    const bool anyComplete = c.downloads.count() > 0;
    return {groupDigits(c.boxes),
            groupDigits(c.complete),
            groupDigits(c.failed()),
            station::yieldText(c.boxCounts()),
            groupDigits(c.retriesSaved),
            anyComplete ? seconds(c.downloads.quantile(0.5)) : "-",
            anyComplete ? seconds(c.downloads.quantile(0.95)) : "-",
            c.stationSeconds > 0 ? groupDigits(uint64_t(std::llround(c.boxesPerHour()))) : "-",
            groupDigits(c.portFailures)};
}

const std::vector<std::string> COUNT_HEADER = {"BOXES", "COMPLETE",       "FAILED",
                                               "YIELD", "SAVED BY RETRY", "MEDIAN",
                                               "P95",   "BOXES/H",        "PORT FAILURES"};

template <typename Each> void eachGroup(const Summary& s, Each each) {
    for (const PortRow& row : s.ports) {
        each(visible(row.port), row.counts);
    }
    for (const ImageRow& row : s.images) {
        each(imageLabel(row), row.counts);
    }
    each(std::string("total"), s.total);
}

} // namespace

std::string visible(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        char escaped[8];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F in UTF-8: C1 controls, CSI among them.
            std::snprintf(escaped, sizeof escaped, "\\u%04X",
                          static_cast<unsigned char>(text[i + 1]));
            out += escaped;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string skippedNote(const Summary& s) {
    std::string out;
    for (const FileFacts& f : s.files) {
        if (f.skipped > 0) {
            out += fileLine(f);
        }
    }
    return out;
}

std::string formatReport(const Summary& summary, Format format) {
    switch (format) {
    case Format::Csv:
        return csvReport(summary);
    case Format::Json:
        return jsonReport(summary);
    case Format::Text:
        break;
    }
    return textReport(summary);
}

std::string textReport(const Summary& s) {
    std::string out;
    for (const FileFacts& f : s.files) {
        out += fileLine(f);
    }
    if (!s.hasTimes) {
        out += "no attempts in the report\n";
        return out;
    }
    out += "attempts from " + formatTime(s.firstStartMs) + " to " + formatTime(s.lastEndMs) +
           "; station time " + stationTime(s.total.stationSeconds) + "\n";

    std::vector<std::string> header = {"PORT"};
    header.insert(header.end(), COUNT_HEADER.begin(), COUNT_HEADER.end());
    Table ports(header);
    for (const PortRow& row : s.ports) {
        std::vector<std::string> cells = {visible(row.port)};
        for (std::string& cell : countCells(row.counts)) {
            cells.push_back(std::move(cell));
        }
        ports.row(std::move(cells));
    }
    std::vector<std::string> total = {"total"};
    for (std::string& cell : countCells(s.total)) {
        total.push_back(std::move(cell));
    }
    ports.row(total);
    out += "\n" + ports.text(1);

    header = {"IMAGE", "SHA-256", "SIZE"};
    header.insert(header.end(), COUNT_HEADER.begin(), COUNT_HEADER.end());
    Table images(header);
    for (const ImageRow& row : s.images) {
        std::vector<std::string> cells = {row.image.empty() ? "(no image)" : visible(row.image),
                                          visible(row.sha256.substr(0, 16)),
                                          groupDigits(row.imageSize)};
        for (std::string& cell : countCells(row.counts)) {
            cells.push_back(std::move(cell));
        }
        images.row(std::move(cells));
    }
    out += "\n" + images.text(2);

    if (!s.releases.empty()) {
        header = {"RELEASE", "SHA-256"};
        header.insert(header.end(), COUNT_HEADER.begin(), COUNT_HEADER.end());
        Table releases(header);
        for (const ReleaseRow& row : s.releases) {
            std::vector<std::string> cells = {visible(row.name), visible(row.sha256.substr(0, 16))};
            for (std::string& cell : countCells(row.counts)) {
                cells.push_back(std::move(cell));
            }
            releases.row(std::move(cells));
        }
        out += "\n" + releases.text(2);
    }

    if (s.total.failed() > 0) {
        Table outcomes({"FAILED BY OUTCOME", "DOWNLOAD ERROR", "NOT RESPONDING", "PORT FAILURE",
                        "WRONG BOX", "ABORTED"});
        Table reasons({"FAILED BY REASON", "BOXES", "REASON"});
        eachGroup(s, [&](const std::string& name, const Counts& c) {
            if (c.failed() == 0) {
                return;
            }
            std::vector<std::string> cells = {name};
            for (const Outcome o : FAILURES) {
                cells.push_back(groupDigits(c.failedBy[size_t(o)]));
            }
            outcomes.row(std::move(cells));
            for (const auto& [reason, count] : c.reasons) {
                reasons.row(
                    {name, groupDigits(count), reason.empty() ? "(other)" : visible(reason)});
            }
        });
        out += "\n" + outcomes.text(1) + "\n" + reasons.text(1, true);
    } else {
        out += "\nno failed boxes\n";
    }

    std::string suspects;
    for (const PortRow& row : s.ports) {
        if (row.suspect) {
            suspects += (suspects.empty() ? "" : ", ") + visible(row.port) + " (" +
                        std::to_string(row.failuresInRow) + " failures in a row)";
        }
    }
    out += "\nsuspect ports (" + std::to_string(s.suspectAfter) +
           " failures in a row or more): " + (suspects.empty() ? "none" : suspects) + "\n";
    if (!s.causes.empty()) {
        out += "\nFAILURES BY CAUSE\n";
        for (const CauseGroup& g : s.causes) {
            out += std::string(causeName(g.cause)) + ": " + visible(g.evidence) + "\n";
        }
    }
    return out;
}

// ---- CSV --------------------------------------------------------------------------------

namespace {} // namespace

std::string csvSafe(const std::string& text) {
    if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
        return "'" + text;
    }
    return text;
}

namespace {

std::string csvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) {
        return value;
    }
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string csvRow(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += csvField(fields[i]);
    }
    return line + "\r\n";
}

std::vector<std::string> csvCounts(const Counts& c) {
    const bool anyComplete = c.downloads.count() > 0;
    std::vector<std::string> fields = {std::to_string(c.boxes), std::to_string(c.complete),
                                       std::to_string(c.failed())};
    for (const Outcome o : FAILURES) {
        fields.push_back(std::to_string(c.failedBy[size_t(o)]));
    }
    fields.push_back(std::to_string(c.retriesSaved));
    fields.push_back(c.boxes == 0 ? "" : printf1("%.4f", c.yield()));
    fields.push_back(anyComplete ? printf1("%.3f", c.downloads.quantile(0.5)) : "");
    fields.push_back(anyComplete ? printf1("%.3f", c.downloads.quantile(0.95)) : "");
    fields.push_back(c.stationSeconds > 0 ? printf1("%.1f", c.boxesPerHour()) : "");
    fields.push_back(printf1("%.3f", c.stationSeconds));
    fields.push_back(std::to_string(c.portFailures));
    return fields;
}

} // namespace

std::string csvReport(const Summary& s) {
    std::string out =
        csvRow({"scope",      "port",         "imageSha256",    "image",         "boxes",
                "complete",   "failed",       "downloadError",  "notResponding", "portFailure",
                "wrongBox",   "aborted",      "retriesSaved",   "yield",         "medianSeconds",
                "p95Seconds", "boxesPerHour", "stationSeconds", "portFailures",  "failuresInRow",
                "suspect",    "reason"});
    const auto emit = [&out](const std::string& scope, const std::string& port,
                             const ImageRow* image, const Counts& c, const std::string& inRow,
                             const std::string& suspect) {
        std::vector<std::string> fields = {scope, csvSafe(port),
                                           image ? csvSafe(image->sha256) : "",
                                           image ? csvSafe(image->image) : ""};
        for (std::string& f : csvCounts(c)) {
            fields.push_back(std::move(f));
        }
        fields.insert(fields.end(), {inRow, suspect, ""});
        out += csvRow(fields);
    };
    for (const PortRow& row : s.ports) {
        emit("port", row.port, nullptr, row.counts, std::to_string(row.failuresInRow),
             row.suspect ? "yes" : "no");
    }
    for (const ImageRow& row : s.images) {
        emit("image", "", &row, row.counts, "", "");
    }
    emit("total", "", nullptr, s.total, "", "");
    // Reasons as rows of their own: the count of failed boxes, and the words.
    const auto reasons = [&out](const std::string& scope, const std::string& port,
                                const ImageRow* image, const Counts& c) {
        for (const auto& [reason, count] : c.reasons) {
            std::vector<std::string> fields(22);
            fields[0] = scope;
            fields[1] = csvSafe(port);
            fields[2] = image ? csvSafe(image->sha256) : "";
            fields[3] = image ? csvSafe(image->image) : "";
            fields[6] = std::to_string(count);
            fields[21] = reason.empty() ? "(other)" : csvSafe(reason);
            out += csvRow(fields);
        }
    };
    for (const PortRow& row : s.ports) {
        reasons("port reason", row.port, nullptr, row.counts);
    }
    for (const ImageRow& row : s.images) {
        reasons("image reason", "", &row, row.counts);
    }
    reasons("total reason", "", nullptr, s.total);
    // The likely causes, each with the ports behind it, the failures it explains and its
    // evidence in the text's words.
    for (const CauseGroup& g : s.causes) {
        std::vector<std::string> fields(22);
        fields[0] = std::string(causeName(g.cause)) + " cause";
        for (const std::string& port : g.ports) {
            fields[1] += (fields[1].empty() ? "" : " ") + port;
        }
        fields[1] = csvSafe(fields[1]);
        fields[6] = std::to_string(g.failed);
        fields[21] = csvSafe(g.evidence);
        out += csvRow(fields);
    }
    return out;
}

// ---- JSON -------------------------------------------------------------------------------

namespace {

using nlohmann::ordered_json;

// To `digits` decimals, so that the writer prints 1908.1 rather than 1908.1000000000001.
double rounded(double value, int digits) {
    const double scale = std::pow(10.0, digits);
    return std::round(value * scale) / scale;
}

ordered_json jsonCounts(const Counts& c) {
    ordered_json j;
    j["boxes"] = c.boxes;
    j["complete"] = c.complete;
    j["failed"] = c.failed();
    ordered_json byOutcome = ordered_json::object();
    for (const Outcome o : FAILURES) {
        byOutcome[outcomeWord(o)] = c.failedBy[size_t(o)];
    }
    j["failedByOutcome"] = byOutcome;
    ordered_json byReason = ordered_json::array();
    for (const auto& [reason, count] : c.reasons) {
        byReason.push_back(
            {{"reason", reason.empty() ? ordered_json(nullptr) : ordered_json(reason)},
             {"boxes", count}});
    }
    j["failedByReason"] = byReason;
    j["retriesSaved"] = c.retriesSaved;
    j["yield"] = c.boxes == 0 ? ordered_json(nullptr) : ordered_json(rounded(c.yield(), 4));
    const bool anyComplete = c.downloads.count() > 0;
    j["medianSeconds"] =
        anyComplete ? ordered_json(rounded(c.downloads.quantile(0.5), 3)) : ordered_json(nullptr);
    j["p95Seconds"] =
        anyComplete ? ordered_json(rounded(c.downloads.quantile(0.95), 3)) : ordered_json(nullptr);
    j["boxesPerHour"] =
        c.stationSeconds > 0 ? ordered_json(rounded(c.boxesPerHour(), 1)) : ordered_json(nullptr);
    j["stationSeconds"] = rounded(c.stationSeconds, 3);
    j["portFailures"] = c.portFailures;
    return j;
}

} // namespace

std::string jsonReport(const Summary& s) {
    ordered_json j;
    j["files"] = ordered_json::array();
    for (const FileFacts& f : s.files) {
        j["files"].push_back({{"path", f.path},
                              {"lines", f.lines},
                              {"skipped", f.skipped},
                              {"stationSeconds", rounded(f.stationSeconds, 3)}});
    }
    // Beside each file's: the report's numbers leave these lines out.
    j["skipped"] = s.skipped();
    j["firstStart"] = s.hasTimes ? ordered_json(formatTime(s.firstStartMs)) : nullptr;
    j["lastEnd"] = s.hasTimes ? ordered_json(formatTime(s.lastEndMs)) : nullptr;
    j["suspectAfter"] = s.suspectAfter;
    j["causes"] = ordered_json::array();
    for (const CauseGroup& g : s.causes) {
        j["causes"].push_back({{"cause", causeName(g.cause)},
                               {"ports", g.ports},
                               {"failed", g.failed},
                               {"evidence", g.evidence}});
    }
    j["ports"] = ordered_json::array();
    for (const PortRow& row : s.ports) {
        ordered_json p = {{"port", row.port}};
        p.update(jsonCounts(row.counts));
        p["failuresInRow"] = row.failuresInRow;
        p["suspect"] = row.suspect;
        j["ports"].push_back(p);
    }
    j["images"] = ordered_json::array();
    for (const ImageRow& row : s.images) {
        ordered_json i = {
            {"imageSha256", row.sha256}, {"image", row.image}, {"imageSize", row.imageSize}};
        i.update(jsonCounts(row.counts));
        j["images"].push_back(i);
    }
    j["releases"] = ordered_json::array();
    for (const ReleaseRow& row : s.releases) {
        ordered_json r = {{"releaseSha256", row.sha256}, {"release", row.name}};
        r.update(jsonCounts(row.counts));
        j["releases"].push_back(r);
    }
    j["total"] = jsonCounts(s.total);
    j["suspectPorts"] = ordered_json::array();
    for (const PortRow& row : s.ports) {
        if (row.suspect) {
            j["suspectPorts"].push_back({{"port", row.port}, {"failuresInRow", row.failuresInRow}});
        }
    }
    // Paths are bytes: one that is not UTF-8 gets U+FFFD rather than stopping the report.
    return j.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

} // namespace kestrune::report

namespace kestrune::report {

std::string formatHistory(const Summary& summary, const std::string& unit, Format format) {
    using nlohmann::ordered_json;
    const auto orNull = [](const std::string& text) {
        return text.empty() ? ordered_json(nullptr) : ordered_json(text);
    };
    if (format == Format::Json) {
        ordered_json out;
        out["unit"] = unit;
        out["attempts"] = ordered_json::array();
        for (const RecordLine& l : summary.history) {
            out["attempts"].push_back({{"start", formatTime(l.startMs)},
                                       {"attemptId", orNull(l.attemptId)},
                                       {"station", orNull(l.station)},
                                       {"port", l.port},
                                       {"lot", orNull(l.lot)},
                                       {"operator", orNull(l.operatorName)},
                                       {"workOrder", orNull(l.workOrder)},
                                       {"unitSerialFrom", orNull(l.unitSerialFrom)},
                                       {"attempt", l.attempt},
                                       {"image", orNull(l.image)},
                                       {"imageSha256", orNull(l.imageSha256)},
                                       {"release", orNull(l.releaseName)},
                                       {"outcome", outcomeWord(l.outcome)},
                                       {"reason", orNull(l.reason)},
                                       {"durationSeconds", l.seconds()}});
        }
        return out.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
    }
    const std::string sep = format == Format::Csv ? "," : "  ";
    const std::string end = format == Format::Csv ? "\r\n" : "\n";
    const auto cell = [format](const std::string& text) {
        if (format != Format::Csv) {
            return text.empty() ? std::string("-") : text;
        }
        std::string quoted = "\"";
        for (const char c : text) {
            quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        }
        return quoted + "\"";
    };
    std::string out;
    if (format == Format::Csv) {
        out = "start,attemptId,station,port,lot,operator,workOrder,attempt,image,outcome,reason" +
              end;
    } else {
        out = "unit " + unit + ": " + std::to_string(summary.history.size()) +
              (summary.history.size() == 1 ? " attempt" : " attempts") + ", the newest last" + end;
    }
    for (const RecordLine& l : summary.history) {
        const std::vector<std::string> cells = {
            formatTime(l.startMs),
            l.attemptId,
            l.station,
            l.port,
            l.lot,
            l.operatorName,
            l.workOrder,
            "attempt " + std::to_string(l.attempt),
            l.releaseName.empty() ? l.image : l.releaseName + " " + l.image,
            outcomeWord(l.outcome),
            l.reason};
        for (size_t i = 0; i < cells.size(); ++i) {
            out += (i == 0 ? "" : sep) +
                   cell(format == Format::Csv && i == 7 ? std::to_string(l.attempt) : cells[i]);
        }
        out += end;
    }
    return out;
}

} // namespace kestrune::report
