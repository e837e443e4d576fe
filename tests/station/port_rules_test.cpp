// What follows an outcome on a port: a box's attempts in order, as the station sees them.

#include "station/port_rules.h"

#include <gtest/gtest.h>
#include <vector>

namespace kestrune::station {
namespace {

using O = Outcome;
using Count = std::atomic<uint32_t> PortStatus::*;

TEST(PortRules, CountsRetriesFailuresInARowAndSuspects) {
    const Count done = &PortStatus::done, failed = &PortStatus::failed;
    const struct {
        const char* what;
        uint32_t retries;
        std::vector<O> attempts;
        std::vector<bool> servedAgain; // if it wakes again within the settle time
        Count count;                   // of the last attempt
        uint32_t failuresInRow;        // after the last
        bool suspect;
    } rows[] = {
        {"failed, then complete",
         2,
         {O::DownloadError, O::Complete},
         {true, false},
         done,
         0,
         false},
        {"failed N+1 times: a suspect at the third",
         2,
         {O::NotResponding, O::DownloadError, O::NotResponding},
         {true, true, false},
         failed,
         3,
         true},
        {"complete, then rebooting: never twice", 2, {O::Complete}, {false}, done, 0, false},
        {"no retries", 0, {O::DownloadError}, {false}, failed, 1, false},
        {"wrong box: not served again, the port not blamed",
         2,
         {O::WrongBox},
         {false},
         &PortStatus::wrongBoxes,
         0,
         false},
        {"port failures count against the port",
         3,
         {O::PortFailure, O::PortFailure},
         {false, false},
         &PortStatus::portFailures,
         2,
         false},
        {"aborted: neither", 3, {O::Aborted}, {false}, &PortStatus::aborted, 0, false},
        {"a suspect stays one through a wrong box, not through a complete one",
         0,
         {O::PortFailure, O::DownloadError, O::NotResponding, O::WrongBox, O::Complete},
         {false, false, false, false, false},
         done,
         0,
         false},
    };
    for (const auto& row : rows) {
        const PortRules rules{row.retries, 3};
        uint32_t inRow = 0;
        bool suspect = false;
        uint32_t attempt = 1;
        AfterOutcome after;
        for (size_t i = 0; i < row.attempts.size(); ++i) {
            after = afterOutcome(row.attempts[i], attempt, inRow, suspect, rules);
            EXPECT_EQ(after.mayRetry, row.servedAgain[i]) << row.what << ", attempt " << i + 1;
            EXPECT_EQ(after.newSuspect, after.suspect && !suspect) << row.what;
            inRow = after.failuresInRow;
            suspect = after.suspect;
            attempt = after.mayRetry ? attempt + 1 : 1;
        }
        EXPECT_EQ(after.count, row.count) << row.what;
        EXPECT_EQ(inRow, row.failuresInRow) << row.what;
        EXPECT_EQ(suspect, row.suspect) << row.what;
    }
}

} // namespace
} // namespace kestrune::station
