#include "station/scan_binder.h"

namespace kestrune::station {

std::string scanText(std::string_view line, bool& tooLong) {
    std::string text;
    tooLong = false;
    for (const char c : line) {
        const auto b = static_cast<unsigned char>(c);
        if (b > 0x20 && b < 0x7F) {
            text += c;
        } else if (b == ' ' && !text.empty()) {
            text += c; // kept inside a label, trimmed at its end below
        }
        // Control bytes (a scanner's CR, a prefix or suffix it was set up with) are dropped.
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    if (text.size() > MAX_SCAN) {
        tooLong = true;
        text.clear();
    }
    return text;
}

ScanBinder::ScanBinder(std::vector<std::string> slots, int64_t timeoutMs) : timeoutMs_(timeoutMs) {
    setSlots(std::move(slots));
}

ScanBinder::Slot* ScanBinder::find(const std::string& label) {
    for (Slot& slot : slots_) {
        // A label names a slot by its whole name, or by the device's file name on a POSIX
        // path ("ttyUSB0" for /dev/ttyUSB0).
        const size_t cut = slot.name.rfind('/');
        if (label == slot.name ||
            (cut != std::string::npos && label == slot.name.substr(cut + 1))) {
            return &slot;
        }
    }
    return nullptr;
}

ScanBinder::Told ScanBinder::scan(const std::string& text, int64_t nowMs) {
    if (text.empty()) {
        return {};
    }
    if (Slot* slot = find(text)) {
        std::string note;
        if (!armed_.empty() && armed_ != slot->name) {
            note = " (the scan of " + armed_ + " had no unit after it)";
        }
        armed_ = slot->name;
        armedMs_ = nowMs;
        return {slot->name, "slot scanned; now scan the unit's label" + note};
    }
    Slot* slot = armed_.empty() ? nullptr : find(armed_);
    if (slot != nullptr && nowMs - armedMs_ > timeoutMs_) {
        slot = nullptr; // a slot scan long ago is no guide to this unit
    }
    armed_.clear();
    if (slot == nullptr) {
        return {"", "the scan " + text + " names no slot and follows no slot's scan: dropped; " +
                        "scan the slot's label, then the unit's"};
    }
    if (!slot->serial.empty() && slot->refused) {
        // The operator's answer to a refusal: the unit that is on the slot, or the one to be.
        const std::string before = slot->serial;
        slot->serial = text;
        slot->boundMs = nowMs;
        slot->refused = false;
        return {slot->name, text + ", waiting for the box (instead of " + before + ")"};
    }
    if (!slot->serial.empty()) {
        // Two units for one slot: either could be the one on it, so neither is kept.
        const std::string first = slot->serial;
        slot->serial.clear();
        return {slot->name, "a second unit scanned (" + text + ", after " + first +
                                "): both dropped; scan the slot and its unit again"};
    }
    slot->serial = text;
    slot->boundMs = nowMs;
    return {slot->name, text + ", waiting for the box"};
}

std::string ScanBinder::take(const std::string& slot, int64_t nowMs) {
    expire(nowMs);
    for (Slot& s : slots_) {
        if (s.name == slot) {
            std::string serial;
            serial.swap(s.serial);
            s.refused = false;
            return serial;
        }
    }
    return "";
}

void ScanBinder::refused(const std::string& slot, const std::string& serial, int64_t nowMs) {
    for (Slot& s : slots_) {
        if (s.name == slot && s.serial.empty() && !serial.empty()) {
            s.serial = serial;
            s.boundMs = nowMs;
            s.refused = true;
        }
    }
}

std::vector<ScanBinder::Told> ScanBinder::expire(int64_t nowMs) {
    std::vector<Told> told;
    for (Slot& s : slots_) {
        if (!s.serial.empty() && nowMs - s.boundMs > timeoutMs_) {
            told.push_back({s.name, "the scan " + s.serial + " waited longer than " +
                                        std::to_string(timeoutMs_ / 1000) +
                                        " s for its box: dropped"});
            s.serial.clear();
        }
    }
    return told;
}

std::vector<ScanBinder::Told> ScanBinder::setSlots(std::vector<std::string> names) {
    std::vector<Slot> kept;
    for (std::string& name : names) {
        Slot slot;
        slot.name = std::move(name);
        for (const Slot& old : slots_) {
            if (old.name == slot.name) {
                slot = old;
            }
        }
        kept.push_back(std::move(slot));
    }
    std::vector<Told> told;
    for (const Slot& old : slots_) {
        bool still = false;
        for (const Slot& now : kept) {
            still = still || now.name == old.name;
        }
        if (!still && !old.serial.empty()) {
            told.push_back(
                {old.name, "the slot is no longer served: the scan " + old.serial + " is dropped"});
        }
        if (!still && armed_ == old.name) {
            armed_.clear();
        }
    }
    slots_ = std::move(kept);
    return told;
}

std::string ScanBinder::waiting(const std::string& slot) const {
    for (const Slot& s : slots_) {
        if (s.name == slot && !s.serial.empty()) {
            return s.serial + ", waiting for the box";
        }
    }
    return "";
}

} // namespace kestrune::station
