#pragma once

// The verdict of one download attempt: what happened in, one outcome and its reason out. It is
// the one place that decides "complete", and every exit status, table count and record line
// follows from it.

#include "dsmcc/identity.h"
#include "link/system_serial_port.h"
#include "station/hardware_guard.h"

#include <cstdint>
#include <string>

namespace kestrune::station {

enum class Outcome {
    Complete,      // the box holds its whole image and said so
    DownloadError, // the session ended without delivering the whole image
    NotResponding, // the watchdog ended the attempt
    PortFailure,   // the port could not be opened, or went away while it was watched
    Aborted,       // stopped from outside (a signal)
    WrongBox,      // the box is not the hardware expected: it was not served
};
constexpr int OUTCOME_COUNT = 6;

// How the attempt came to its end.
enum class AttemptEnd {
    SessionEnded,  // the session reached its judgement and asked for its own end
    Watchdog,      // 20 s without a frame sent to the box (or no box within 20 s, for serve)
    PortNotOpened, // the watch port would not open
    PortLost,      // a read error or hang-up on the watched port
    Stopped,       // a stop or abort from outside
    WrongBox,      // a guard refused the box (checkBox): it got no DownloadInfoResponse
};

// What the link saw of the last frame it sent, for a download the watchdog ended.
struct FrameRefusals {
    uint32_t refused = 0;    // NAKs in a row for the frame in flight
    uint32_t unanswered = 0; // attempts in a row without any answer
    uint32_t crcErrors = 0;  // the box's frames refused for their CRC since the last frame sent
    bool dataBlock = false;  // the frame was a DownloadDataBlock (else the DownloadInfoResponse)
    uint16_t moduleId = 0;
    uint16_t blockNumber = 0;
};

// Everything the verdict looks at.
struct AttemptFacts {
    AttemptEnd end = AttemptEnd::Stopped;
    // The unit's serial refused the box (the box and the scan disagree): why.
    std::string unitRefusal{};
    bool boxWoke = false;           // the wake-up byte arrived and the session started
    bool downloadPortOpened = true; // the download port opened when the box woke
    bool sessionSucceeded = false;  // the session's own judgement (reason 5, every byte acked)
    int resultCode = 0;             // the data phase's result code (when the session ended)
    bool responseAccepted = false;  // the box acknowledged the DownloadInfoResponse
    uint64_t deliveredBytes = 0;    // module bytes the box acknowledged
    uint64_t moduleBytes = 0;       // module bytes of the image
    FrameRefusals lastFrame;        // the frame in flight when the attempt ended
    // What is wrong with a port that would not open, and what to do (describePortProblem).
    std::string portProblem;
    // The box's own words about itself, and what it was expected to be: what receiving and
    // parsing its DownloadInfoRequest gave, and the reading of it.
    int requestResult = 0;
    const BoxIdentity* identity = nullptr;
    HardwareGuard guard;
    // Under a release (none: the guard decides): the box's refusal is judged against it.
    const release::Release* release = nullptr;
    // Why the session's thread could not be started ("" when it was).
    std::string sessionThreadError;
};

struct Verdict {
    Outcome outcome = Outcome::Aborted;
    // Why it did not complete, in the command line's words ("" for complete).
    std::string reason;
};

// Pure: the same facts give the same verdict.
Verdict judgeAttempt(const AttemptFacts& facts, const std::string& port);

// "complete", "download error", "not responding", "port failure", "aborted", "wrong box": the
// record's words, and the table's.
const char* outcomeName(Outcome outcome);

// Sentences for an operator, in the command line's own words.
std::string describeResultCode(int code);

} // namespace kestrune::station
