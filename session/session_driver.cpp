#include "session/session.h"
#include "session/session_log.h"

namespace kestrune {

int runSession(SessionContext& ctx, StartSignal& startSignal) {
    LinkContext& link = ctx.link;
    ProgressReporter& reporter = ctx.reporter;

    reporter.showTestLog();
    if (link.imageSize != 0) {
        reporter.showProgress();
    }
    link.bytesSent = 0;
    link.framesResent = 0;
    link.leftoversSkipped = 0;
    reporter.logText(SESSION_BANNER);
    reporter.logText(SESSION_STARTED);

    // Set by Start before the thread was created (and again by Abort): returns at once.
    startSignal.wait();

    ctx.roundNumber += 1;

    // A timed-out read leaves the byte as it was: the round goes on all the same.
    uint8_t wakeup = 0;
    link.port.readByte(&wakeup, SESSION_WAKEUP_TIMEOUT_MS);
    logNumber(reporter, "Byte ", wakeup, " received\n");

    link.port.purge();
    // What the purge cannot reach (bytes still inside a USB adapter) arrives after it.
    link.skipLeftovers = true;
    link.port.writeByte(LINK_ACK_WAKEUP);

    // Neither result decides the course: a failed handshake shows in the data phase. Only a
    // front end's gate can stop it here, before anything of the image goes out.
    const int request = receiveInfoRequest(ctx);
    link.skipLeftovers = false;
    if (link.leftoversSkipped != 0) {
        noteNumber(reporter, "Bytes skipped before the first frame header: ", link.leftoversSkipped,
                   "\n");
    }
    const bool admitted =
        ctx.gate == nullptr || ctx.gate->admit(request, ctx.frameBuffer, ctx.infoRequestLength);
    bool responseAccepted = false;
    int result = request;
    if (admitted) {
        responseAccepted = sendInfoResponse(ctx) == LINK_OK;
        result = serveDataBlocks(ctx);
    } else {
        ctx.delivery = {};
    }

    reporter.disarm();
    reporter.resetStallTicks();

    // A box is upgraded only when it said it has everything (reason 5, result 0) and every
    // module byte went out in a block it acknowledged in this session. Neither alone will do:
    // a box may end early with reason 5, and bytes counted as sent may never have arrived.
    const uint64_t delivered = deliveredModuleBytes(ctx);
    const uint64_t moduleBytes = servedModuleBytes(ctx.response);
    const bool succeeded = admitted && result == 0 && delivered == moduleBytes;
    ctx.lastResult = result;
    ctx.lastSucceeded = succeeded;
    ctx.lastDeliveredBytes = delivered;
    ctx.lastModuleBytes = moduleBytes;
    ctx.lastResponseAccepted = responseAccepted;
    ctx.lastWakeupByte = wakeup;
    if (succeeded) {
        reporter.showResult(SESSION_SUCCESS_TEXT, SESSION_SUCCESS_CAPTION, false);
    } else {
        reporter.showResult(SESSION_FAILURE_TEXT, SESSION_FAILURE_CAPTION, true);
    }

    logNumber(reporter, "Round ", ctx.roundNumber, "; ");
    logNumber(reporter, admitted ? "All modules sent; ret = " : "Not served; ret = ", result, "\n");

    reporter.endSession();
    return result;
}

} // namespace kestrune
