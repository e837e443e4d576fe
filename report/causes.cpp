#include "report/causes.h"

#include "common/text.h"
#include "report/summary.h"

#include <algorithm>
#include <cstdio>

namespace kestrune::report {
namespace {

// A port with failures whose resends per KiB are this many times the other ports' median, and
// at least the floor, is the cause of its own failures: the figures of the station's degrading
// mark.
constexpr double PORT_RATIO = 3.0;
constexpr double RESENDS_FLOOR = 0.02;

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string times(uint64_t n, const char* one, const char* many) {
    return groupDigits(n) + " " + (n == 1 ? one : many);
}

std::string figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

} // namespace

const char* causeName(Cause cause) {
    switch (cause) {
    case Cause::Image:
        return "image";
    case Cause::Port:
        return "port";
    case Cause::Box:
        return "box";
    case Cause::Handling:
        break;
    }
    return "handling";
}

void FailureCauses::add(const RecordLine& line) {
    Port& port = ports_[line.port];
    const bool boxThere = !line.boxSession.empty();
    if (line.outcome == Outcome::PortFailure && !boxThere) {
        // The port went away right after a failed download: that download was cut off.
        if (port.lastFailed) {
            Failures& f = port.lastInBlock ? port.byBlock[port.lastBlock] : port.elsewhere;
            f.count -= 1;
            f.retries -= port.lastRetry ? 1 : 0;
            port.handling += 1;
        }
        port.lastFailed = false;
        return;
    }
    port.lastFailed = false;
    if (line.outcome == Outcome::WrongBox || line.outcome == Outcome::Aborted) {
        return; // not a failure of the line: refused on purpose, or stopped from outside
    }
    port.attempts += 1;
    port.resends += line.framesResent;
    port.bytes += line.deliveredBytes;
    if (line.outcome == Outcome::Complete) {
        port.complete += line.attempt == 1 ? 1 : 0;
        return;
    }
    port.failed += 1;
    if (line.outcome == Outcome::PortFailure) {
        port.handling += 1; // the port went away with the box on it
        return;
    }
    const bool retry = line.attempt > 1;
    Failures& f = line.stoppedInBlock ? port.byBlock[{line.stoppedModule, line.stoppedBlock}]
                                      : port.elsewhere;
    f.count += 1;
    f.retries += retry ? 1 : 0;
    f.resends += line.framesResent;
    f.bytes += line.deliveredBytes;
    port.lastFailed = true;
    port.lastInBlock = line.stoppedInBlock;
    port.lastBlock = {line.stoppedModule, line.stoppedBlock};
    port.lastRetry = retry;
}

std::vector<CauseGroup> FailureCauses::groups() const {
    std::vector<std::string> names;
    for (const auto& [name, port] : ports_) {
        if (port.attempts != 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return naturalLess(a, b); });

    // Image: one block failing on two ports or more.
    std::map<Block, std::vector<std::string>> blockPorts;
    std::map<Block, uint64_t> blockFailed;
    for (const std::string& name : names) {
        for (const auto& [block, f] : ports_.at(name).byBlock) {
            if (f.count != 0) {
                blockPorts[block].push_back(name);
                blockFailed[block] += f.count;
            }
        }
    }
    std::vector<CauseGroup> out;
    const auto imageBlock = [&blockPorts](const Block& block) {
        const auto it = blockPorts.find(block);
        return it != blockPorts.end() && it->second.size() >= 2;
    };
    for (const auto& [block, ports] : blockPorts) {
        if (ports.size() < 2) {
            continue;
        }
        CauseGroup g{Cause::Image, ports, blockFailed[block], ""};
        g.evidence = "block " + std::to_string(block.second) + " of module " +
                     std::to_string(block.first) + " failed on " + std::to_string(ports.size()) +
                     " of " + std::to_string(names.size()) + " ports (" +
                     times(g.failed, "download", "downloads") + "): check the image";
        out.push_back(std::move(g));
    }

    // What is left on each port once the image has its share: a block the image fails is
    // resent on every port, and says nothing of the port.
    std::vector<double> resends;
    for (const std::string& name : names) {
        const Port& p = ports_.at(name);
        uint64_t sent = p.resends, bytes = p.bytes;
        for (const auto& [block, f] : p.byBlock) {
            if (imageBlock(block)) {
                sent -= f.resends;
                bytes -= f.bytes;
            }
        }
        resends.push_back(double(sent) / std::max(double(bytes) / 1024, 1.0));
    }
    std::vector<CauseGroup> boxes, handling;
    for (size_t i = 0; i < names.size(); ++i) {
        const Port& p = ports_.at(names[i]);
        uint64_t left = 0, retried = 0;
        for (const auto& [block, f] : p.byBlock) {
            if (!imageBlock(block)) {
                left += f.count;
                retried += f.retries;
            }
        }
        left += p.elsewhere.count;
        retried += p.elsewhere.retries;
        std::vector<double> otherResends = resends;
        otherResends.erase(otherResends.begin() + long(i));
        const double lineResends = median(otherResends);
        const bool badPort = !otherResends.empty() && resends[i] > RESENDS_FLOOR &&
                             resends[i] > PORT_RATIO * lineResends;
        if (left != 0 && badPort) {
            out.push_back({Cause::Port,
                           {names[i]},
                           left,
                           names[i] + ": " + times(left, "failed download", "failed downloads") +
                               ", " + figure(resends[i]) + " resends per KiB against " +
                               figure(lineResends) +
                               " on the other ports: check its cable and adapter"});
        } else if (retried != 0) {
            boxes.push_back({Cause::Box,
                             {names[i]},
                             left,
                             names[i] + ": " +
                                 times(retried, "box failed again on a retry",
                                       "boxes failed again on a retry") +
                                 " (" + times(left, "failed download", "failed downloads") +
                                 "): check the box"});
        } else if (left != 0 && p.complete != 0) {
            boxes.push_back({Cause::Box,
                             {names[i]},
                             left,
                             names[i] + ": " + times(left, "box failed", "boxes failed") +
                                 " where " + times(p.complete, "other passed", "others passed") +
                                 " on the same port: check the box"});
        }
        if (p.handling != 0) {
            handling.push_back({Cause::Handling,
                                {names[i]},
                                p.handling,
                                names[i] + ": " +
                                    times(p.handling, "download was", "downloads were") +
                                    " cut off (the line went away during it): check the cable "
                                    "is plugged in and the box stays powered"});
        }
    }
    out.insert(out.end(), boxes.begin(), boxes.end());
    out.insert(out.end(), handling.begin(), handling.end());
    return out;
}

} // namespace kestrune::report
