#include "session/session.h"
#include "session/session_log.h"

namespace kestrune {

int runSession(SessionContext& ctx, StartSignal& startSignal) {
    LinkContext& link = ctx.link;
    ProgressReporter& reporter = link.reporter;

    reporter.showTestLog();
    if (link.imageSize != 0) {
        reporter.showProgress();
    }
    link.bytesSent = 0;
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
    link.port.writeByte(LINK_ACK_WAKEUP);

    // Neither result is examined: a failed handshake shows in the data phase.
    receiveInfoRequest(ctx);
    sendInfoResponse(ctx);

    const int result = serveDataBlocks(ctx);

    reporter.disarm();
    reporter.resetStallTicks();

    // Judged by the data phase's own result: the box said it has everything (reason 5).
    // Counting bytes would call an unacknowledged last block a success, and a complete
    // download that skipped large blocks a failure.
    const bool succeeded = result == 0;
    ctx.lastResult = result;
    ctx.lastSucceeded = succeeded;
    if (succeeded) {
        reporter.showResult(SESSION_SUCCESS_TEXT, SESSION_SUCCESS_CAPTION, false);
    } else {
        reporter.showResult(SESSION_FAILURE_TEXT, SESSION_FAILURE_CAPTION, true);
    }

    logNumber(reporter, "Round ", ctx.roundNumber, "; ");
    logNumber(reporter, "All modules sent; ret = ", result, "\n");

    reporter.endSession();
    return result;
}

} // namespace kestrune
