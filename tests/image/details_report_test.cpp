#include "dsmcc/codec.h"
#include "image/details_report.h"
#include "image/image_loader.h"
#include "tests/support/test_files.h"
#include "tools/mkimage/image_writer.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace kestrune;

namespace {

// The report of the two-module example image right after loading it (header preset, no
// download run yet), with TAB and CR LF written out.
const char* const EXAMPLE_REPORT = "DownloadInfoResponse() {\r\n"
                                   "    dsmccMessageHeader() {\r\n"
                                   "        protocolDiscriminator\t0x11 (17)\r\n"
                                   "        dsmccType\t0x 3 (3)\r\n"
                                   "        messageId\t0x1002 (4098)\r\n"
                                   "        transactionId\t0x       0 (0)\r\n"
                                   "        reserved\t0x 0 (0)\r\n"
                                   "        adapationLength\t0x 0 (0)\r\n"
                                   "        messageLength\t0x   0 (0)\r\n"
                                   "        dsmccAdaptationHeader {\r\n"
                                   "        }\r\n"
                                   "    }\r\n"
                                   "    downloadId\t0x       0 (0)\r\n"
                                   "    blockSize\t0x   0 (0)\r\n"
                                   "    windowSize\t0x 0 (0)\r\n"
                                   "    ackPeriod\t0x 0 (0)\r\n"
                                   "    tCDownloadWindow\t0x       0 (0)\r\n"
                                   "    tCDownloadScenario\t0x       0 (0)\r\n"
                                   "    userCompatibilities {\r\n"
                                   "    }\r\n"
                                   "\r\n"
                                   "    numberOfModules\t0x   2 (2)\r\n"
                                   "\r\n"
                                   "        moduleId\t0x   1 (1)\r\n"
                                   "        moduleSize\t0x   1F400 (128000)\r\n"
                                   "        moduleVersion\t0x 1 (1)\r\n"
                                   "        modulesLength\t0x 4 (4)\r\n"
                                   "        {\r\n"
                                   "        0x81  0x 2  0x 0  0x a  \r\n"
                                   "        }\r\n"
                                   "\r\n"
                                   "        moduleId\t0x   2 (2)\r\n"
                                   "        moduleSize\t0x     800 (2048)\r\n"
                                   "        moduleVersion\t0x 0 (0)\r\n"
                                   "        modulesLength\t0x A (10)\r\n"
                                   "        {\r\n"
                                   "        0x81  0x 8  0x 0  0x 1  0x 2  0x 3  0x 4  0x 5  \r\n"
                                   "        0x 6  0x 7  \r\n"
                                   "        }\r\n"
                                   "\r\n"
                                   "    privateDataLength\t0x       0 (0)\r\n"
                                   "\r\n"
                                   "}";

} // namespace

TEST(DetailsReport, ExampleImageByteForByte) {
    mkimage::ImageSpec plan;
    plan.block1 = {'e', 'x'};
    plan.modules.push_back({1, 1, 0x81, {0x00, 0x0A}, mkimage::patternData(128000, 1)});
    plan.modules.push_back({2, 0, 0x81, {0, 1, 2, 3, 4, 5, 6, 7}, mkimage::patternData(2048, 2)});
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(mkimage::buildImage(plan, bytes, error)) << error;

    TestFolder folder;
    static DownloadInfoResponse record{}; // zeroed, as at start-up
    DownloadImage image;
    ASSERT_TRUE(loadImage(record, folder.write("example.dl", bytes).c_str(), image));
    initResponseHeader(record);
    std::string report;
    detailsReport(record, report);
    EXPECT_EQ(report, EXAMPLE_REPORT);
    EXPECT_EQ(detailsReport(record), report);
}

TEST(DetailsReport, ValueFormats) {
    EXPECT_EQ(formatFieldValue(3, 1), "0x 3 (3)");
    EXPECT_EQ(formatFieldValue(0x11, 1), "0x11 (17)");
    EXPECT_EQ(formatFieldValue(10, 1), "0x A (10)");
    EXPECT_EQ(formatFieldValue(255, 1), "0xFF (255)");
    EXPECT_EQ(formatFieldValue(0x1002, 2), "0x1002 (4098)");
    EXPECT_EQ(formatFieldValue(2, 2), "0x   2 (2)");
    EXPECT_EQ(formatFieldValue(0xFFFF, 2), "0xFFFF (65535)");
    EXPECT_EQ(formatFieldValue(0x1F400, 3), "0x 1F400 (128000)");
    EXPECT_EQ(formatFieldValue(0, 4), "0x       0 (0)");
    EXPECT_EQ(formatFieldValue(0x80000000u, 4), "0x80000000 (2147483648)");
    EXPECT_EQ(formatFieldValue(0xFFFFFFFFu, 4), "0xFFFFFFFF (4294967295)");
    EXPECT_EQ(formatFieldLine(4, "blockSize", "0x   0 (0)"), "    blockSize\t0x   0 (0)");
    EXPECT_EQ(formatFieldLine(0, "x", ""), "x\t");
}

TEST(DetailsReport, ByteDumps) {
    const uint8_t bytes[9] = {0x0A, 0xFF, 0, 1, 2, 3, 4, 5, 0x9B};
    EXPECT_EQ(dumpByteArray(8, bytes, 0), "        {\r\n        }\r\n");
    EXPECT_EQ(dumpByteArray(8, bytes, 1), "        {\r\n        0x a  \r\n        }\r\n");
    EXPECT_EQ(dumpByteArray(8, bytes, 8),
              "        {\r\n"
              "        0x a  0xff  0x 0  0x 1  0x 2  0x 3  0x 4  0x 5  \r\n"
              "        }\r\n");
    EXPECT_EQ(dumpByteArray(8, bytes, 9),
              "        {\r\n"
              "        0x a  0xff  0x 0  0x 1  0x 2  0x 3  0x 4  0x 5  \r\n"
              "        0x9b  \r\n"
              "        }\r\n");
    EXPECT_EQ(dumpByteArray(2, bytes, 2), "  {\r\n  0x a  0xff  \r\n  }\r\n");
}

TEST(DetailsReport, NoModulesAndAnEmptyModuleInfo) {
    static DownloadInfoResponse record{};
    initResponseHeader(record);
    const std::string empty = detailsReport(record);
    const std::string tail = "    numberOfModules\t0x   0 (0)\r\n"
                             "\r\n"
                             "    privateDataLength\t0x       0 (0)\r\n"
                             "\r\n"
                             "}";
    ASSERT_GE(empty.size(), tail.size());
    EXPECT_EQ(empty.substr(empty.size() - tail.size()), tail);

    record.numberOfModules = 1;
    record.modules[0].moduleInfoLength = 0;
    const std::string one = detailsReport(record);
    EXPECT_NE(one.find("        modulesLength\t0x 0 (0)\r\n        {\r\n        }\r\n\r\n    "
                       "privateDataLength"),
              std::string::npos);
}

TEST(DetailsReport, PrivateDataAndDownloadParameters) {
    static DownloadInfoResponse record{};
    record.header.transactionId = 0x80000000u;
    record.downloadId = 0xCAFE;
    record.blockSize = 4066;
    record.privateDataLength = 3;
    record.privateData[0] = 0xAB;
    const std::string report = detailsReport(record);
    EXPECT_NE(report.find("        transactionId\t0x80000000 (2147483648)\r\n"), std::string::npos);
    EXPECT_NE(report.find("    downloadId\t0x    CAFE (51966)\r\n"), std::string::npos);
    EXPECT_NE(report.find("    blockSize\t0x FE2 (4066)\r\n"), std::string::npos);
    const std::string tail = "    privateDataLength\t0x       3 (3)\r\n"
                             "        {\r\n"
                             "        0xab  0x 0  0x 0  \r\n"
                             "        }\r\n"
                             "\r\n"
                             "\r\n"
                             "}";
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
}

TEST(DetailsReport, FullRecordHasTheLargestLength) {
    static DownloadInfoResponse record{};
    std::memset(&record.header, 0xFF, sizeof record.header);
    record.downloadId = record.tCDownloadWindow = record.tCDownloadScenario = 0xFFFFFFFFu;
    record.blockSize = 0xFFFF;
    record.windowSize = record.ackPeriod = 0xFF;
    record.numberOfModules = MAX_MODULES;
    for (ModuleEntry& row : record.modules) {
        row.moduleId = 0xFFFF;
        row.moduleSize = 0xFFFFFFFFu;
        row.moduleVersion = 0xFF;
        row.moduleInfoLength = 255;
        std::memset(row.moduleInfo, 0xFF, sizeof row.moduleInfo);
    }
    record.privateDataLength = MAX_PRIVATE_DATA;
    std::memset(record.privateData, 0xFF, sizeof record.privateData);
    EXPECT_EQ(dumpByteArray(8, record.modules[0].moduleInfo, 255).size(), 1872u);
    EXPECT_EQ(dumpByteArray(8, record.privateData, 1024).size(), 7446u);
    EXPECT_EQ(detailsReport(record).size(), DETAILS_REPORT_MAX_LENGTH);

    // A corrupt record is printed only within its bounds.
    record.numberOfModules = 0xFFFF;
    record.privateDataLength = 0xFFFF;
    const std::string report = detailsReport(record);
    EXPECT_NE(report.find("numberOfModules\t0xFFFF (65535)"), std::string::npos);
    // Only the two values are wider: "65535" against "50" and "1024".
    EXPECT_EQ(report.size(), DETAILS_REPORT_MAX_LENGTH + 3 + 1);
}
