#pragma once

// Serials from a barcode scanner: the operator scans a fixture slot's label, then the unit's
// label, and that serial belongs to the next box that wakes on the slot. Anything that could put
// a serial on the wrong box is shown and dropped instead: a unit scan that follows no slot scan,
// a second unit scan for a slot whose first is still waiting (which of the two is on the slot?),
// a scan that waited longer than the time-out, a slot that is no longer served. Pure and with
// the time given, so that the tests run it on a virtual clock; the station locks it.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::station {

// One line from the scanner: its printable text, trimmed ("" for a line with nothing to read).
// At most this many characters are kept; a longer line is no label.
constexpr size_t MAX_SCAN = 128;
std::string scanText(std::string_view line, bool& tooLong);

class ScanBinder {
public:
    // `slots`: the labels of the slots (the ports' names); `timeoutMs`: how long a bound serial
    // waits for its box.
    ScanBinder(std::vector<std::string> slots, int64_t timeoutMs);

    // A scan at `nowMs`; what to tell the operator, with the slot it is about ("" for none).
    struct Told {
        std::string slot;
        std::string text;
    };
    Told scan(const std::string& text, int64_t nowMs);
    // The serial bound to `slot` for the box that woke there now, taken off the slot ("" when
    // none).
    std::string take(const std::string& slot, int64_t nowMs);
    // The box that took `serial` from `slot` is another unit: the scan is the slot's again, for
    // its next box, which is compared with it in turn; a new unit scan for the slot replaces it.
    void refused(const std::string& slot, const std::string& serial, int64_t nowMs);
    // Bindings that waited too long, dropped and told.
    std::vector<Told> expire(int64_t nowMs);
    // The slots served from now on: bindings of slots no longer among them are dropped.
    std::vector<Told> setSlots(std::vector<std::string> slots);
    // "VB-2000-00123456, waiting for the box" for a slot with a binding, else "".
    std::string waiting(const std::string& slot) const;

private:
    struct Slot {
        std::string name;
        std::string serial; // bound, waiting for its box
        int64_t boundMs = 0;
        bool refused = false; // a box was refused for it
    };
    Slot* find(const std::string& label);

    std::vector<Slot> slots_;
    int64_t timeoutMs_;
    std::string armed_; // the slot scanned last, waiting for its unit's scan
    int64_t armedMs_ = 0;
};

// The station's one binder: the scanner's thread and every port's session thread use it.
struct ScanBoard {
    ScanBoard(std::vector<std::string> slots, int64_t timeoutMs)
        : binder(std::move(slots), timeoutMs) {}
    std::mutex mutex;
    ScanBinder binder;
};

} // namespace kestrune::station
