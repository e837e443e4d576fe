// The readers of untrusted bytes that say which unit got what: the box's serial descriptor (in a
// whole DownloadInfoRequest), the scanner's lines through the binder, the forwarder's cursor
// file, and the option texts beside them. The first byte picks the reader.
#include "dsmcc/identity.h"
#include "station/forward.h"
#include "station/scan_binder.h"
#include "station/unit_serial.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

using namespace kestrune;
using namespace kestrune::station;

namespace {

void check(bool ok, int line = __builtin_LINE()) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_traceability.cpp:%d: check failed\n", line);
        std::abort();
    }
}

void serials(const uint8_t* data, size_t size) {
    if (size < 1) {
        return;
    }
    BoxIdentity identity;
    readBoxIdentity(identity, data + 1, static_cast<uint32_t>(size - 1));
    for (const bool hex : {false, true}) {
        SerialSource source;
        source.on = true;
        source.type = static_cast<uint8_t>(0x40 | (data[0] & 0x3F));
        source.hex = hex;
        std::string serial;
        const SerialReading reading = readUnitSerial(identity, source, serial);
        check((reading == SerialReading::Found) == !serial.empty());
        check(serial.size() <= MAX_SERIAL);
        for (const char c : serial) {
            check(c > 0x20 && c < 0x7F);
        }
        check(describeSerialReading(reading, source).empty() == (reading == SerialReading::Found));
    }
}

void scans(std::string_view input) {
    ScanBinder binder({"A1", "/dev/ttyUSB0"}, 5000);
    std::set<std::string> scanned;
    int64_t now = 0;
    size_t at = 0;
    while (at < input.size()) {
        size_t end = input.find('\n', at);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        bool tooLong = false;
        const std::string text = scanText(input.substr(at, end - at), tooLong);
        at = end + 1;
        check(text.size() <= MAX_SCAN && (!tooLong || text.empty()));
        // A line of "+" lets the time pass, "<" lets a box wake on A1.
        if (text == "+") {
            now += 3000;
            continue;
        }
        if (text == "<") {
            const std::string taken = binder.take("A1", now);
            check(taken.empty() || scanned.count(taken) == 1);
            check(binder.waiting("A1").empty());
            continue;
        }
        scanned.insert(text);
        binder.scan(text, now);
        binder.expire(now);
    }
}

void cursor(std::string_view input) {
    ForwardCursor read;
    if (parseCursor(input, read)) {
        check(formatCursor(read) == input);
        check(read.lines <= read.offset);
    }
    const std::string text(input);
    SerialSource source;
    if (parseSerialSource(text, source).empty()) {
        check(source.on && source.type >= 0x40 && source.type <= 0x7F);
    }
    ForwardTarget target;
    if (parseForwardUrl(text, target).empty()) {
        check(!target.host.empty() && target.port > 0 && target.port < 65536);
        check(!target.path.empty() && target.path[0] == '/');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
    case 0:
        serials(data + 1, size - 1);
        break;
    case 1:
        scans(rest);
        break;
    default:
        cursor(rest);
        break;
    }
    return 0;
}
