#include "station/record.h"

#include "station/record_schema.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace kestrune::station {
namespace {

bool validUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + n >= text.size()) {
            return false;
        }
        uint32_t code = c & (0x3F >> n);
        for (size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (d & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

std::string hex(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

nlohmann::ordered_json reading(const SystemDescriptor& d) {
    if (!d.present) {
        return nullptr;
    }
    nlohmann::ordered_json r;
    r["specifierType"] = d.specifierType;
    r["specifierData"] = d.specifierData;
    r["oui"] = d.hasOui() ? nlohmann::ordered_json(formatOui(d.specifierData)) : nullptr;
    r["model"] = d.model;
    r["version"] = d.version;
    r["subDescriptorCount"] = d.subDescriptorCount;
    return r;
}

// Every descriptor as the box sent it, and the two readings of ISO/IEC 13818-6.
nlohmann::ordered_json boxField(const BoxIdentity& identity) {
    if (!identity.requestSeen) {
        return nullptr;
    }
    nlohmann::ordered_json box;
    box["descriptors"] = nlohmann::ordered_json::array();
    for (uint32_t i = 0; i < identity.descriptorCount; ++i) {
        const BoxIdentity::Raw& raw = identity.descriptors[i];
        box["descriptors"].push_back(
            {{"type", raw.type},
             {"bytes", hex(std::string(reinterpret_cast<const char*>(identity.bytes) + raw.offset,
                                       raw.length))}});
    }
    box["hardware"] = reading(identity.hardware);
    box["software"] = reading(identity.software);
    return box;
}

double threeDecimals(double seconds) {
    return static_cast<double>(std::llround((seconds < 0 ? 0.0 : seconds) * 1000)) / 1000;
}

nlohmann::ordered_json linkQuality(const AttemptPlace& place) {
    if (!place.healthKnown) {
        return nullptr;
    }
    const PortHealth& h = place.health;
    nlohmann::ordered_json q;
    q["boxes"] = h.boxes;
    q["resendsPerKiB"] = threeDecimals(h.figure);
    q["lineResendsPerKiB"] =
        h.hasLine ? nlohmann::ordered_json(threeDecimals(h.line)) : nlohmann::ordered_json(nullptr);
    q["firstRequestSeconds"] = h.firstRequestMs != 0
                                   ? nlohmann::ordered_json(threeDecimals(h.firstRequestMs / 1000))
                                   : nlohmann::ordered_json(nullptr);
    q["degrading"] = h.degrading;
    q["lineWorsened"] = place.lineWorsened;
    return q;
}

} // namespace

std::string describeProvenance(const Provenance& p) {
    return "station " + p.station + (p.lot.empty() ? "" : ", lot " + p.lot) +
           (p.workOrder.empty() ? "" : ", work order " + p.workOrder) +
           (p.operatorName.empty() ? "" : ", operator " + p.operatorName);
}

std::string recordLine(const AttemptReport& report, const std::string& port,
                       const ImageFacts& image, const std::string& testLog,
                       const std::string& capture, const AttemptPlace& place,
                       const ReleaseFacts* release) {
    using nlohmann::ordered_json;
    const double seconds = std::chrono::duration<double>(report.ended - report.started).count();
    const auto nullable = [](const std::string& text) {
        return text.empty() ? ordered_json(nullptr) : ordered_json(text);
    };
    // Fields the box never got as far as are null rather than a misleading 0.
    const bool woke = report.boxWoke;
    const bool ran = report.sessionRan;
    const auto handshake = [woke](uint32_t value) {
        return woke && value != 0 ? ordered_json(value) : ordered_json(nullptr);
    };
    ordered_json line;
    const auto field = [&line](RecordField f) -> ordered_json& { return line[fieldName(f)]; };
    field(RecordField::Start) = isoTime(report.started);
    field(RecordField::End) = isoTime(report.ended);
    field(RecordField::Port) = port;
    field(RecordField::Slot) = nullable(place.slot);
    field(RecordField::Device) = place.device.empty() ? port : place.device;
    field(RecordField::BoxSession) = nullable(place.boxSession);
    field(RecordField::AttemptId) = place.attemptId;
    field(RecordField::Station) = place.provenance.station;
    field(RecordField::Lot) = nullable(place.provenance.lot);
    field(RecordField::Operator) = nullable(place.provenance.operatorName);
    field(RecordField::WorkOrder) = nullable(place.provenance.workOrder);
    field(RecordField::Attempt) = place.attempt;
    field(RecordField::FailuresInRow) = place.failuresInRow;
    if (release != nullptr) {
        field(RecordField::Release) = {{"name", release->name},
                                       {"sha256", release->sha256},
                                       {"keyId", nullable(release->keyId)}};
    } else {
        field(RecordField::Release) = nullptr;
    }
    const bool served = !image.path.empty();
    field(RecordField::Image) = served ? ordered_json(image.path) : nullptr;
    if (!validUtf8(image.path)) {
        field(RecordField::ImagePathHex) = hex(image.path);
    }
    field(RecordField::ImageLabel) = nullable(image.label);
    field(RecordField::ImageSize) = served ? ordered_json(image.size) : nullptr;
    field(RecordField::ImageSha256) = served ? ordered_json(image.sha256) : nullptr;
    field(RecordField::WakeupByte) =
        woke && report.wakeupKnown ? ordered_json(report.wakeupByte) : nullptr;
    field(RecordField::DownloadId) = handshake(report.downloadId);
    field(RecordField::BlockSize) = handshake(report.blockSize);
    field(RecordField::WindowSize) = handshake(report.windowSize);
    field(RecordField::AckPeriod) = handshake(report.ackPeriod);
    field(RecordField::Box) = boxField(report.identity);
    field(RecordField::UnitSerial) = nullable(place.unitSerial);
    field(RecordField::UnitSerialFrom) = nullable(place.unitSerialFrom);
    field(RecordField::Outcome) = outcomeName(report.outcome);
    field(RecordField::ResultCode) = ran ? ordered_json(report.resultCode) : nullptr;
    field(RecordField::Reason) = nullable(report.reason);
    field(RecordField::ModuleBytesDelivered) = woke ? ordered_json(report.deliveredBytes) : nullptr;
    field(RecordField::ModuleBytes) = woke ? ordered_json(report.moduleBytes) : nullptr;
    field(RecordField::FramesResent) = woke ? ordered_json(report.framesResent) : nullptr;
    field(RecordField::Naks) = woke ? ordered_json(report.naks) : nullptr;
    field(RecordField::CrcErrors) = woke ? ordered_json(report.crcErrors) : nullptr;
    field(RecordField::FirstRequestSeconds) =
        woke && report.firstRequestMs != 0 ? ordered_json(report.firstRequestMs / 1000.0) : nullptr;
    field(RecordField::StoppedAtModule) =
        woke && report.stoppedInBlock ? ordered_json(report.stoppedModule) : nullptr;
    field(RecordField::StoppedAtBlock) =
        woke && report.stoppedInBlock ? ordered_json(report.stoppedBlock) : nullptr;
    field(RecordField::LinkQuality) = linkQuality(place);
    // Milliseconds are what the clocks give: three decimals, not a binary fraction's digits.
    field(RecordField::DurationSeconds) = threeDecimals(seconds);
    field(RecordField::TestLog) = nullable(testLog);
    field(RecordField::Capture) = nullable(capture);
    // A byte that is not UTF-8 (a path from a Latin-1 file system) becomes U+FFFD, so that every
    // line is JSON whatever the bytes; the image path's own bytes are kept above.
    return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

} // namespace kestrune::station
