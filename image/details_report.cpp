#include "image/details_report.h"

#include <cstdio>

namespace kestrune {

namespace {

constexpr const char* CRLF = "\r\n";

void appendLine(std::string& out, int indent, const char* name, uint32_t value, int width) {
    out += formatFieldLine(indent, name, formatFieldValue(value, width));
    out += CRLF;
}

} // namespace

std::string formatFieldValue(uint32_t value, int width) {
    char text[40];
    int length = 0;
    if (width <= 1) {
        length = std::snprintf(text, sizeof text, "0x%2X (%d)", value, static_cast<int>(value));
    } else if (width == 2) {
        length = std::snprintf(text, sizeof text, "0x%4X (%d)", value, static_cast<int>(value));
    } else if (width == 3) {
        length = std::snprintf(text, sizeof text, "0x%6X (%lu)", value,
                               static_cast<unsigned long>(value));
    } else {
        length = std::snprintf(text, sizeof text, "0x%8X (%lu)", value,
                               static_cast<unsigned long>(value));
    }
    return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

std::string formatFieldLine(int indent, const char* name, const std::string& value) {
    std::string line(indent > 0 ? static_cast<size_t>(indent) : 0, ' ');
    line += name;
    line += '\t';
    line += value;
    return line;
}

std::string dumpByteArray(int indent, const uint8_t* bytes, uint32_t length) {
    const std::string blanks(indent > 0 ? static_cast<size_t>(indent) : 0, ' ');
    std::string out;
    out.reserve(blanks.size() * (2 + length / 8 + 1) + length * 6 + 16);
    out += blanks;
    out += '{';
    for (uint32_t i = 0; i < length; ++i) {
        if (i % 8 == 0) {
            out += CRLF;
            out += blanks;
        }
        char text[8];
        std::snprintf(text, sizeof text, "0x%2x  ", bytes[i]);
        out += text;
    }
    out += CRLF;
    out += blanks;
    out += "}\r\n";
    return out;
}

void detailsReport(const DownloadInfoResponse& record, std::string& out) {
    out.clear();
    out.reserve(DETAILS_REPORT_MAX_LENGTH + 1);
    const MessageHeaderRecord& header = record.header;

    out += "DownloadInfoResponse() {\r\n";
    out += "    dsmccMessageHeader() {\r\n";
    appendLine(out, 8, "protocolDiscriminator", header.protocolDiscriminator, 1);
    appendLine(out, 8, "dsmccType", header.dsmccType, 1);
    appendLine(out, 8, "messageId", header.messageId, 2);
    appendLine(out, 8, "transactionId", header.transactionId, 4);
    appendLine(out, 8, "reserved", header.reserved, 1);
    // The line names "adapationLength" and "modulesLength" are the report's own spelling.
    appendLine(out, 8, "adapationLength", header.adaptationLength, 1);
    appendLine(out, 8, "messageLength", header.messageLength, 2);
    out += "        dsmccAdaptationHeader {\r\n";
    out += "        }\r\n";
    out += "    }\r\n";

    appendLine(out, 4, "downloadId", record.downloadId, 4);
    appendLine(out, 4, "blockSize", record.blockSize, 2);
    appendLine(out, 4, "windowSize", record.windowSize, 1);
    appendLine(out, 4, "ackPeriod", record.ackPeriod, 1);
    appendLine(out, 4, "tCDownloadWindow", record.tCDownloadWindow, 4);
    appendLine(out, 4, "tCDownloadScenario", record.tCDownloadScenario, 4);
    out += "    userCompatibilities {\r\n";
    out += "    }\r\n";
    out += CRLF;

    appendLine(out, 4, "numberOfModules", record.numberOfModules, 2);
    const int modules = record.numberOfModules < MAX_MODULES ? record.numberOfModules : MAX_MODULES;
    for (int i = 0; i < modules; ++i) {
        const ModuleEntry& row = record.modules[i];
        out += CRLF;
        appendLine(out, 8, "moduleId", row.moduleId, 2);
        appendLine(out, 8, "moduleSize", row.moduleSize, 4);
        appendLine(out, 8, "moduleVersion", row.moduleVersion, 1);
        appendLine(out, 8, "modulesLength", row.moduleInfoLength, 1);
        out += dumpByteArray(8, row.moduleInfo, row.moduleInfoLength);
    }

    out += CRLF;
    // Printed four bytes wide although the field is two.
    appendLine(out, 4, "privateDataLength", record.privateDataLength, 4);
    if (record.privateDataLength != 0) {
        const uint32_t length = record.privateDataLength < MAX_PRIVATE_DATA
                                    ? record.privateDataLength
                                    : static_cast<uint32_t>(MAX_PRIVATE_DATA);
        out += dumpByteArray(8, record.privateData, length);
        out += CRLF;
    }

    out += CRLF;
    out += '}';
}

std::string detailsReport(const DownloadInfoResponse& record) {
    std::string out;
    detailsReport(record, out);
    return out;
}

} // namespace kestrune
