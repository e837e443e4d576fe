// Captures as `kestrune-boxsim --replay` reads them: the pcap read as a stream, its datagrams
// grouped into the box's requests, each with the answers that followed it.
#include "tools/boxsim/capture_script.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    boxsim::ReplayScript script;
    std::string error;
    if (!boxsim::parseCapture(data, size, script, error)) {
        check(!error.empty());
        return 0;
    }
    check(!script.steps.empty());
    size_t answers = 0;
    size_t bytes = 0;
    for (const boxsim::ReplayStep& step : script.steps) {
        // A request is whole; an answer holds at most its own length, never more than the
        // capture had.
        bytes += step.request.size();
        for (const boxsim::CapturedMessage& answer : step.answers) {
            check(answer.bytes.size() <= answer.fullLength);
            bytes += answer.bytes.size();
            ++answers;
        }
    }
    check(bytes <= size);
    check(script.blocks() <= answers);
    return 0;
}
