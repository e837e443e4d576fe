#include "station/verdict.h"

#include "common/result_codes.h"
#include "common/text.h"

namespace kestrune::station {

namespace {

std::string howFar(const AttemptFacts& facts) {
    return groupDigits(facts.deliveredBytes) + " of " + groupDigits(facts.moduleBytes) +
           " module bytes";
}

std::string times(uint32_t n) {
    return n == 1 ? "once" : std::to_string(n) + " times";
}

std::string frameName(const FrameRefusals& frame) {
    if (!frame.dataBlock) {
        return "the DownloadInfoResponse";
    }
    return "block " + std::to_string(frame.blockNumber) + " of module " +
           std::to_string(frame.moduleId);
}

std::string stalled(const AttemptFacts& facts) {
    const FrameRefusals& frame = facts.lastFrame;
    if (frame.refused > 0) {
        // The box was answering, with NAKs: the cable is not the first suspect.
        return "no frame got through for 20 s: the box refused " + frameName(frame) + " " +
               times(frame.refused) + " with CRC errors";
    }
    if (frame.crcErrors > 0) {
        return "no frame got through for 20 s: the box's frames arrived with CRC errors (" +
               times(frame.crcErrors) + ")";
    }
    return "the box stopped answering during the download (20 s without a frame sent)";
}

} // namespace

Verdict judgeAttempt(const AttemptFacts& facts, const std::string& port) {
    // A box that has its image is complete whatever happened afterwards (a stop that came
    // late, a port that failed to close).
    if (facts.boxWoke && facts.sessionSucceeded) {
        return {Outcome::Complete, ""};
    }
    switch (facts.end) {
    case AttemptEnd::Stopped:
        return {Outcome::Aborted, facts.boxWoke ? "stopped from outside after " + howFar(facts)
                                                : "stopped from outside"};
    case AttemptEnd::PortNotOpened:
        return {Outcome::PortFailure, facts.portProblem};
    case AttemptEnd::PortLost:
        return {Outcome::PortFailure,
                port + " went away (a read error or hang-up); check its cable and adapter"};
    case AttemptEnd::Watchdog:
        if (facts.boxWoke && (facts.lastFrame.refused > 0 || facts.lastFrame.crcErrors > 0)) {
            // The box was answering (NAKs, or frames with CRC errors) until the end: the line
            // or the box's loader, not its power.
            return {Outcome::DownloadError, stalled(facts)};
        }
        return {Outcome::NotResponding,
                facts.boxWoke ? stalled(facts) : "no box woke up within 20 s"};
    case AttemptEnd::WrongBox: {
        if (!facts.unitRefusal.empty()) {
            return {Outcome::WrongBox, facts.unitRefusal};
        }
        const BoxIdentity none;
        const BoxIdentity& identity = facts.identity != nullptr ? *facts.identity : none;
        if (facts.release != nullptr) {
            int entry = -1;
            const BoxRefusal refusal =
                checkReleaseBox(*facts.release, facts.requestResult, identity, entry);
            return {Outcome::WrongBox,
                    describeReleaseRefusal(refusal, *facts.release, facts.requestResult, identity)};
        }
        return {Outcome::WrongBox,
                describeRefusal(checkBox(facts.guard, facts.requestResult, identity), facts.guard,
                                facts.requestResult, identity)};
    }
    case AttemptEnd::SessionEnded:
        break;
    }
    if (!facts.sessionThreadError.empty()) {
        return {Outcome::DownloadError,
                "the download could not start: no thread for its session (" +
                    facts.sessionThreadError + ")"};
    }
    if (!facts.downloadPortOpened) {
        return {Outcome::PortFailure, facts.portProblem};
    }
    if (facts.resultCode == 0) {
        return {Outcome::DownloadError, "the box ended the download after " + howFar(facts)};
    }
    if (!facts.responseAccepted) {
        return {Outcome::DownloadError, "the box never accepted the DownloadInfoResponse: " +
                                            describeResultCode(facts.resultCode)};
    }
    return {Outcome::DownloadError,
            describeResultCode(facts.resultCode) + "; the box got " + howFar(facts)};
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Complete:
        return "complete";
    case Outcome::DownloadError:
        return "download error";
    case Outcome::NotResponding:
        return "not responding";
    case Outcome::PortFailure:
        return "port failure";
    case Outcome::WrongBox:
        return "wrong box";
    case Outcome::Aborted:
        break;
    }
    return "aborted";
}

std::string describeResultCode(int code) {
    switch (code) {
    case 0:
        return "the box ended the download early";
    case LINK_ERR_IO:
        return "no answer from the box within the time-out (result 512)";
    case LINK_ERR_RETRIES:
        return "a frame failed 10 attempts (result 513)";
    case DSMCC_ERR_DISCRIMINATOR:
        return "a malformed request: protocolDiscriminator is not 0x11 (result 1312)";
    case DSMCC_ERR_TYPE:
        return "a malformed request: dsmccType is not 3 (result 1313)";
    case DSMCC_ERR_ADAPTATION:
        return "a malformed request: adaptationLength is not a multiple of 4 (result 1314)";
    case DSMCC_ERR_PROTOCOL:
        return "an unexpected or truncated request, or a wrong downloadId (result 1315)";
    case DSMCC_ERR_COMPATIBILITY:
        return "a malformed request: no compatibility descriptor of type 1 (result 1319)";
    default:
        return "result " + std::to_string(code);
    }
}

} // namespace kestrune::station
