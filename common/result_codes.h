#pragma once

// Result codes passed up unchanged as integers. 0 is success everywhere.
namespace kestrune {

constexpr int LINK_OK = 0;
constexpr int LINK_ERR_IO = 512;      // nothing arrived within a time-out, or a port write failed
constexpr int LINK_ERR_RETRIES = 513; // a frame failed 10 attempts
constexpr int DSMCC_ERR_DISCRIMINATOR = 1312;
constexpr int DSMCC_ERR_TYPE = 1313;
constexpr int DSMCC_ERR_ADAPTATION = 1314;
constexpr int DSMCC_ERR_PROTOCOL = 1315;
constexpr int DSMCC_ERR_COMPATIBILITY = 1319;

} // namespace kestrune
