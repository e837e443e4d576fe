// A station's ports by their slots: what a --port names, and which lists of ports it refuses.
#include "station/station.h"

#include <gtest/gtest.h>

namespace kestrune::station {
namespace {

TEST(PortSlots, AGivenNameIsTheSlotsAndADeviceAloneIsItsOwn) {
    const struct {
        const char* given;
        PortSlot slot;
    } rows[] = {
        {"A1=/dev/serial/by-path/pci-0:1.0-port0",
         {"A1", "/dev/serial/by-path/pci-0:1.0-port0", true}},
        {"/dev/ttyUSB0", {"/dev/ttyUSB0", "/dev/ttyUSB0", false}},
        {"COM3", {"COM3", "COM3", false}},
        {"B2=COM12", {"B2", "COM12", true}},
        {"C1=/dev/odd=name", {"C1", "/dev/odd=name", true}}, // the first '=' ends the slot
    };
    for (const auto& row : rows) {
        const PortSlot slot = portSlot(row.given);
        EXPECT_EQ(slot.name, row.slot.name) << row.given;
        EXPECT_EQ(slot.device, row.slot.device) << row.given;
        EXPECT_EQ(slot.named, row.slot.named) << row.given;
    }
}

TEST(PortSlots, EachSlotAndEachDeviceOnce) {
    const struct {
        std::vector<std::string> ports;
        const char* refused; // "" when the list is taken
    } rows[] = {
        {{"A1=/dev/null", "A2=/dev/zero"}, ""},
        {{"A1=/dev/null", "/dev/zero"}, ""},
        {{"A1=/dev/null", "A1=/dev/zero"},
         "the slot A1 is given twice (--port A1=/dev/null, --port A1=/dev/zero)"},
        {{"A1=/dev/null", "A2=/dev/null"}, "--port /dev/null is given twice"},
        {{"=/dev/null"}, "--port =/dev/null needs a slot name before ="},
        {{"A1="}, "--port needs a device name"},
        {{}, "give at least one --port"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(checkPortList(row.ports).text, row.refused);
    }
}

} // namespace
} // namespace kestrune::station
