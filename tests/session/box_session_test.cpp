// The box simulator's box (the box library) against the real session on a clean virtual line:
// what the box's verdict says must be what happened on the server's side too.

#include "dsmcc/codec.h"
#include "session/session.h"
#include "tests/support/quiet_reporter.h"
#include "tests/support/virtual_port.h"
#include "tools/boxsim/box.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace kestrune::test {
namespace {

class Go final : public StartSignal {
public:
    void wait() override {}
};

struct Outcome {
    boxsim::Verdict verdict;
    bool serverSucceeded = false;
};

// One session of a three-module image of 34,768 bytes (the sample's size): one window of the
// default blocks (16384 bytes, 4 a window) holds it all.
Outcome download(const boxsim::Options& options) {
    static const std::vector<std::vector<uint8_t>> data = [] {
        std::vector<std::vector<uint8_t>> d;
        for (uint32_t size : {20000u, 10000u, 4768u}) {
            std::vector<uint8_t> m(size);
            for (uint32_t j = 0; j < size; ++j) {
                m[j] = static_cast<uint8_t>(j * 13 + size);
            }
            d.push_back(std::move(m));
        }
        return d;
    }();
    std::vector<boxsim::Module> modules;
    boxsim::NoiseModel noise(0, 1);
    boxsim::VirtualWire toBox("to box", noise);
    boxsim::VirtualWire toServer("to server", noise);
    boxsim::VirtualLine line(toBox, toServer);
    BoxLinePort port(line, toBox, toServer);
    BoxLinePauser pauser(port);
    QuietReporter reporter;
    auto ctx = std::make_unique<SessionContext>(port, pauser, reporter);
    ctx->response.numberOfModules = static_cast<uint16_t>(data.size());
    for (size_t m = 0; m < data.size(); ++m) {
        ModuleEntry& row = ctx->response.modules[m];
        row.moduleId = static_cast<uint16_t>(0x20 + m);
        row.moduleSize = static_cast<uint32_t>(data[m].size());
        row.moduleVersion = 1;
        row.moduleData = data[m].data();
        modules.push_back({row.moduleId, row.moduleSize, 1, {}, data[m].data()});
    }
    initResponseHeader(ctx->response);
    ctx->link.imageSize = 35000;

    boxsim::Box box(line, options, modules, noise);
    boxsim::Task<boxsim::Verdict> task = box.download(1);
    task.start();
    Go go;
    runSession(*ctx, go);
    line.runUntil(port.nowUs + 20000 * boxsim::VIRTUAL_MS); // the last acknowledgement
    EXPECT_TRUE(task.done());
    return {task.done() ? task.result() : boxsim::Verdict{}, ctx->lastSucceeded};
}

TEST(BoxSession, VerdictSaysWhatHappened) {
    struct Case {
        const char* name;
        uint32_t bufferSize;
        uint16_t maximumBlockSize;
        int endEarly;
        int status;
        const char* verdict;
        bool serverSucceeded;
    };
    const Case cases[] = {
        {"a clean download", 65536, 0, -1, boxsim::EXIT_EXACT, "byte-exact: 3 modules", true},
        {"an early end after the first window of 1024-byte blocks", 4096, 1024, 1,
         boxsim::EXIT_INCOMPLETE, "ended early, as asked", false},
        // One window holds the image: nothing is left to end early.
        {"an early end asked for where one window holds everything", 65536, 0, 1,
         boxsim::EXIT_EXACT, "not ended early", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxsim::Options options;
        options.bufferSize = c.bufferSize;
        options.maximumBlockSize = c.maximumBlockSize;
        options.endEarly = c.endEarly;
        const Outcome outcome = download(options);
        EXPECT_EQ(outcome.verdict.status, c.status) << outcome.verdict.text;
        EXPECT_NE(outcome.verdict.text.find(c.verdict), std::string::npos) << outcome.verdict.text;
        EXPECT_EQ(outcome.serverSucceeded, c.serverSucceeded);
    }
}

} // namespace
} // namespace kestrune::test
