// Failed attempts grouped by their likely cause, each from the record lines its fault leaves.

#include "report/causes.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune::report {
namespace {

// One attempt: port, outcome, resends, and for a failure the block it stopped at (-1: none).
struct CauseAttempt {
    const char* port;
    Outcome outcome = Outcome::Complete;
    uint32_t resends = 0;
    int block = -1; // of module 1
    const char* box = nullptr;
    uint32_t attempt = 1;
};

std::string causesOf(const std::vector<CauseAttempt>& attempts) {
    FailureCauses causes;
    int n = 0;
    for (const CauseAttempt& a : attempts) {
        RecordLine line;
        line.port = a.port;
        line.outcome = a.outcome;
        line.framesResent = a.resends;
        line.deliveredBytes = a.outcome == Outcome::Complete ? 32768 : 8192;
        line.stoppedInBlock = a.block >= 0;
        line.stoppedModule = 1;
        line.stoppedBlock = a.block >= 0 ? uint32_t(a.block) : 0;
        line.boxSession = a.box != nullptr ? a.box : "box" + std::to_string(++n);
        if (a.outcome == Outcome::PortFailure && a.box == nullptr) {
            line.boxSession.clear(); // the port went away with no box on it
        }
        line.attempt = a.attempt;
        causes.add(line);
    }
    std::string out;
    for (const CauseGroup& g : causes.groups()) {
        out += std::string(causeName(g.cause)) + ": " + g.evidence + "\n";
    }
    return out;
}

constexpr Outcome OK = Outcome::Complete, ERR = Outcome::DownloadError, GONE = Outcome::PortFailure,
                  SILENT = Outcome::NotResponding;

TEST(FailureCauses, NamesEachCauseWithItsEvidence) {
    const struct {
        const char* what;
        std::vector<CauseAttempt> attempts;
        const char* causes;
    } rows[] = {
        {"one block fails on most ports: the image",
         {{"p1", ERR, 10, 3},
          {"p2", ERR, 10, 3},
          {"p3", ERR, 10, 3},
          {"p4", OK},
          {"p4", ERR, 10, 3}},
         "image: block 3 of module 1 failed on 4 of 4 ports (4 downloads): check the image\n"},
        {"one port resends far more than the others and fails: the port",
         {{"p1", OK, 1}, {"p2", OK, 1}, {"p3", OK, 40}, {"p3", ERR, 60, 2}, {"p3", ERR, 50, 7}},
         "port: p3: 2 failed downloads, 3.125 resends per KiB against 0.031 on the other ports: "
         "check its cable and adapter\n"},
        {"a box that ends early on every retry: the box",
         {{"p1", OK}, {"p2", ERR, 0, 4, "b"}, {"p2", ERR, 0, 4, "b", 2}, {"p2", OK}, {"p1", OK}},
         "box: p2: 1 box failed again on a retry (2 failed downloads): check the box\n"},
        {"one box fails where the port's others pass",
         {{"p1", OK}, {"p1", OK}, {"p1", SILENT, 0, 5}, {"p2", OK}, {"p1", OK}},
         "box: p1: 1 box failed where 3 others passed on the same port: check the box\n"},
        {"a box that passes on its retry is not a neighbour that passed",
         {{"p1", ERR, 0, 4, "b"}, {"p1", OK, 0, -1, "b", 2}, {"p2", OK}},
         ""},
        {"a download cut off by an unplug, and a port gone with its box: handling",
         {{"p1", OK}, {"p1", SILENT, 0, 2}, {"p1", GONE}, {"p2", OK}, {"p2", GONE, 0, -1, "b"}},
         "handling: p1: 1 download was cut off (the line went away during it): check the cable "
         "is plugged in and the box stays powered\n"
         "handling: p2: 1 download was cut off (the line went away during it): check the cable "
         "is plugged in and the box stays powered\n"},
        {"the image's resends say nothing of the ports: the noisy one still stands out",
         {{"p1", ERR, 10, 3},
          {"p2", ERR, 10, 3},
          {"p3", ERR, 10, 3},
          {"p1", OK},
          {"p2", OK},
          {"p3", OK},
          {"p4", OK, 30},
          {"p4", ERR, 20, 6}},
         "image: block 3 of module 1 failed on 3 of 4 ports (3 downloads): check the image\n"
         "port: p4: 1 failed download, 1.250 resends per KiB against 0.000 on the other ports: "
         "check its cable and adapter\n"},
        {"no failures: no causes", {{"p1", OK, 3}, {"p2", OK}}, ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(causesOf(row.attempts), row.causes) << row.what;
    }
}

} // namespace
} // namespace kestrune::report
