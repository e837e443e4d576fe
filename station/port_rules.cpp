#include "station/port_rules.h"

namespace kestrune::station {

AfterOutcome afterOutcome(Outcome outcome, uint32_t attempt, uint32_t inRow, bool suspect,
                          const PortRules& rules) {
    AfterOutcome after;
    after.failuresInRow = inRow;
    switch (outcome) {
    case Outcome::Complete:
        after.count = &PortStatus::done;
        after.failuresInRow = 0;
        break;
    case Outcome::DownloadError:
    case Outcome::NotResponding:
        after.count = &PortStatus::failed;
        after.failuresInRow = inRow + 1;
        after.mayRetry = attempt <= rules.retries;
        break;
    case Outcome::PortFailure:
        after.count = &PortStatus::portFailures;
        after.failuresInRow = inRow + 1;
        break;
    case Outcome::WrongBox:
        after.count = &PortStatus::wrongBoxes;
        break;
    case Outcome::Aborted:
        after.count = &PortStatus::aborted;
        break;
    }
    after.suspect =
        after.failuresInRow == 0 ? false : suspect || after.failuresInRow >= rules.suspectAfter;
    after.newSuspect = after.suspect && !suspect;
    return after;
}

} // namespace kestrune::station
