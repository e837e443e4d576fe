// The details report on every record the loader accepts, with the download parameters and header
// taken from the input too so that every value width shows up.
#include "dsmcc/codec.h"
#include "image/details_report.h"
#include "image/image_loader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace kestrune;

namespace {

DownloadInfoResponse record;
std::string report;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 0xFFFFFFFFu || !walkImage(record, data, static_cast<uint32_t>(size))) {
        return 0;
    }
    initResponseHeader(record);
    // The fields a download would set, from the input's first bytes.
    uint8_t fields[24] = {};
    std::memcpy(fields, data, size < sizeof fields ? size : sizeof fields);
    record.header.transactionId = readU32BE(fields);
    record.header.messageLength = readU16BE(fields + 4);
    record.downloadId = readU32BE(fields + 6);
    record.blockSize = readU16BE(fields + 10);
    record.windowSize = fields[12];
    record.ackPeriod = fields[13];
    record.tCDownloadWindow = readU32BE(fields + 14);
    record.tCDownloadScenario = readU32BE(fields + 18);

    detailsReport(record, report);
    if (report.size() > DETAILS_REPORT_MAX_LENGTH || report.empty() || report.back() != '}' ||
        report.compare(0, 24, "DownloadInfoResponse() {") != 0) {
        std::abort();
    }
    // Every module shows up once, in order.
    size_t position = 0;
    for (int i = 0; i < record.numberOfModules; ++i) {
        position = report.find("        moduleId\t", position);
        if (position == std::string::npos) {
            std::abort();
        }
        ++position;
    }
    if (report.find("        moduleId\t", position) != std::string::npos) {
        std::abort();
    }
    return 0;
}
