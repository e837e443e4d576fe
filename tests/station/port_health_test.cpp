// Port health box by box (the boxes are the clock): the running figures, a port marked against
// the line and against its own past, a line that worsens as a whole, and recovery.

#include "station/port_health.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace kestrune::station {
namespace {

constexpr uint64_t BOX = 32 * 1024; // module bytes of every box here: a window is 128 KiB

HealthSample healthOf(uint32_t resends, uint32_t firstRequestMs = 300) {
    HealthSample s;
    s.deliveredBytes = BOX;
    s.framesResent = resends;
    s.firstRequestMs = firstRequestMs;
    return s;
}

// Each round every port takes one box, in port order; after each round the marks: "D" for a
// degrading port, "." for the others, and "W" when the line as a whole worsened.
std::string run(size_t ports, int rounds, const std::function<HealthSample(int, size_t)>& sample) {
    LineHealth health(ports, HealthThresholds{});
    std::string marks;
    for (int round = 0; round < rounds; ++round) {
        for (size_t p = 0; p < ports; ++p) {
            health.add(p, sample(round, p));
        }
        marks += round == 0 ? "" : "|";
        for (size_t p = 0; p < ports; ++p) {
            marks += health.port(p).degrading ? "D" : ".";
        }
        marks += health.lineWorsened() ? "W" : "";
    }
    return marks;
}

TEST(PortHealth, MarksPortsAgainstTheLineAndTheirOwnPast) {
    const struct {
        const char* what;
        size_t ports;
        int rounds;
        std::function<HealthSample(int, size_t)> sample;
        const char* marks;
    } rows[] = {
        {"one port's resends rise box by box: marked once 3 times the others'", 4, 8,
         [](int r, size_t p) { return healthOf(p == 1 ? uint32_t(r) : 1); },
         "....|....|....|....|....|.D..|.D..|.D.."},
        {"every port rises together: none marked, the line worsened", 4, 8,
         [](int r, size_t) { return healthOf(uint32_t(r)); },
         "....|....|....|....|....|....|....|....W"},
        {"half the ports far above the rest at once: the line changed, none marked", 4, 6,
         [](int, size_t p) { return healthOf(p < 2 ? 10 : 1); }, "....|....|....|....|....|...."},
        {"bad from the first box: marked with a full window, cleared below two thirds", 4, 10,
         [](int r, size_t p) {
             return healthOf(p == 1 && r < 6 ? 10 : p == 1 ? 0 : 1);
         },
         "....|....|....|.D..|.D..|.D..|.D..|.D..|.D..|...."},
        {"a clean line with one stray resend: under the floor", 4, 8,
         [](int r, size_t p) { return healthOf(p == 2 && r == 4 ? 1 : 0); },
         "....|....|....|....|....|....|....|...."},
        {"alone on its station: against its own best window", 1, 9,
         [](int r, size_t) { return healthOf(r < 6 ? 1 : 4); }, ".|.|.|.|.|.|.|.|D"},
        {"a port whose boxes ask seconds late", 4, 5,
         [](int, size_t p) { return healthOf(0, p == 3 ? 3000 : 300); },
         "....|....|....|...D|...D"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(run(row.ports, row.rounds, row.sample), row.marks) << row.what;
    }
}

TEST(PortHealth, FiguresRunOverTheLastBoxesOfEachPort) {
    LineHealth health(3, HealthThresholds{});
    // Port 0: 8, 0, 0, 0 resends, then a clean box pushes the 8 out of its window.
    for (const uint32_t resends : {8u, 0u, 0u, 0u}) {
        health.add(0, healthOf(resends, resends == 8 ? 900 : 300));
    }
    EXPECT_EQ(health.port(0).boxes, 4u);
    EXPECT_DOUBLE_EQ(health.port(0).figure, 8.0 / 128);
    EXPECT_DOUBLE_EQ(health.port(0).firstRequestMs, 450);
    EXPECT_FALSE(health.port(0).hasLine); // the other ports have no full window yet
    health.add(0, healthOf(0));
    EXPECT_DOUBLE_EQ(health.port(0).figure, 0);
    EXPECT_DOUBLE_EQ(health.port(0).best, 0);
    for (size_t p : {1u, 2u}) {
        for (int i = 0; i < 4; ++i) {
            health.add(p, healthOf(p == 1 ? 2 : 4));
        }
    }
    EXPECT_DOUBLE_EQ(health.port(0).line, (8.0 + 16.0) / 2 / 128);
    EXPECT_DOUBLE_EQ(health.lineFigure(), 8.0 / 128);
    // A failed box delivers little: its resends weigh by what did arrive.
    HealthSample failed = healthOf(6);
    failed.deliveredBytes = 0;
    health.add(2, failed);
    EXPECT_DOUBLE_EQ(health.port(2).figure, 18.0 / 96);
}

} // namespace
} // namespace kestrune::station
