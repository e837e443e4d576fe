// The box library's requests as the server's handshake reads them.

#include "session/session.h"
#include "tests/support/scripted_box.h"
#include "tools/boxsim/box_messages.h"

#include <gtest/gtest.h>
#include <memory>

namespace kestrune::test {
namespace {

// Descriptors laid out as ISO/IEC 13818-6 does (length 9, an OUI) walk as whole descriptors:
// the request is taken, and a type-1 one is what the handshake looks for.
TEST(BoxSession, StandardCompatibilityDescriptorsAreWalked) {
    struct Case {
        const char* name;
        bool hardware;
        bool software;
        int result;
    };
    const Case cases[] = {
        {"hardware and software", true, true, 0},
        {"hardware alone", true, false, 0},
        {"software alone", false, true, DSMCC_ERR_COMPATIBILITY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxsim::InfoRequestShape shape;
        shape.bufferSize = 8192;
        shape.maximumBlockSize = 2048;
        if (c.hardware) {
            boxsim::appendCompatibilityDescriptor(shape.descriptors, boxsim::DESCRIPTOR_HARDWARE,
                                                  0x00A0B1, 0x1234, 7);
            ++shape.descriptorCount;
        }
        if (c.software) {
            boxsim::appendCompatibilityDescriptor(shape.descriptors, boxsim::DESCRIPTOR_SOFTWARE,
                                                  0x00A0B1, 0x0042, 3);
            ++shape.descriptorCount;
        }
        auto rig = std::make_unique<SessionRig>();
        rig->image({100});
        rig->box.add(boxsim::infoRequest(shape));
        rig->box.writeByte(LINK_ACK_WAKEUP);
        EXPECT_EQ(receiveInfoRequest(rig->ctx), c.result);
        EXPECT_EQ(rig->ctx.infoRequest.bufferSize, 8192u);
        EXPECT_EQ(rig->ctx.infoRequest.maximumBlockSize, 2048u);
    }
}

} // namespace
} // namespace kestrune::test
