#pragma once

// The download session: the handshake, the data block serving and the session driver that
// runs one round of a download on the session thread.
//
// Everything a download works on lives in one SessionContext. A front end keeps exactly one
// for the whole run of the program (roundNumber and the response's downloadId carry over from
// one download to the next) and hands it to every session thread it starts. The session
// reaches its front end only through its ProgressReporter.
//
// Nothing here allocates, throws, takes a lock or formats through the C runtime: the Windows
// front end may terminate the session thread at any point.

#include "dsmcc/records.h"
#include "link/link_frame.h"
#include "session/progress_reporter.h"

#include <cstdint>

namespace kestrune {

constexpr uint32_t SESSION_WAKEUP_TIMEOUT_MS = 650000;
constexpr uint16_t SESSION_INFO_REQUEST_TIMEOUT_MS = 30000;
constexpr uint16_t SESSION_DATA_REQUEST_TIMEOUT_MS = 60000;
constexpr uint32_t SESSION_BLOCK_PAUSE_MS = 100;
constexpr uint16_t SESSION_DEFAULT_BLOCK_SIZE = 16384;
// 18 header bytes + 65517 data bytes = 65535, the largest payload a frame carries.
constexpr uint16_t SESSION_MAX_BLOCK_SIZE = 65517;
constexpr uint32_t SESSION_DOWNLOAD_WINDOW_MS = 180000;
constexpr uint32_t SESSION_DOWNLOAD_SCENARIO_MS = 3600000;

constexpr uint8_t DOWNLOAD_REASON_START = 1;
constexpr uint8_t DOWNLOAD_REASON_ACK = 2;
constexpr uint8_t DOWNLOAD_REASON_COMPLETE = 5;

// The session's log and result texts.
constexpr const char SESSION_BANNER[] = "Kestrune (NorDig)  V1.01  08-Dec-1998\n\n";
constexpr const char SESSION_STARTED[] = "DOWNLOAD STARTED\n";
constexpr const char SESSION_SUCCESS_TEXT[] =
    "Download was successful.\nEnjoy your upgraded set top box.";
constexpr const char SESSION_SUCCESS_CAPTION[] = "Download complete";
constexpr const char SESSION_FAILURE_TEXT[] =
    "Download was not successful.\nYou can press \"Start download\",\nto try downloading again.";
constexpr const char SESSION_FAILURE_CAPTION[] = "Download error";

// Where the data phase stands. Reset at the start of every data phase; a session ended from
// outside leaves it as it was until then.
struct ServingPosition {
    uint16_t currentModule = 0; // row index, also the moduleId written into every block
    uint16_t nextBlockNumber = 0;
    uint32_t moduleOffset = 0; // data bytes of the current module already served
    uint16_t windowCount = 0;  // blocks sent since the last request
};

// What the box has acknowledged in this data phase: per module row, the extent from offset 0
// covered by DownloadDataBlock frames that the box answered with 3. A block that starts inside
// the extent (or right at its end) extends it; a repeated block adds nothing.
struct ModuleDelivery {
    uint32_t acknowledged[MAX_MODULES] = {};
};

// The session thread's wait for the front end's start signal (an auto-reset event on
// Windows). Called once per session, before the round begins.
class StartSignal {
public:
    virtual ~StartSignal() = default;
    virtual void wait() = 0;
};

// A front end that serves only some boxes (a guard against the wrong hardware) decides here,
// between the box's DownloadInfoRequest and the DownloadInfoResponse, whether this box is served
// at all. Called on the session thread: like a FrameTap it must not allocate, block or take a
// lock the front end needs after an abort.
class RequestGate {
public:
    virtual ~RequestGate() = default;
    // `received`: receiveInfoRequest's result. `request`: the message as it arrived, `length`
    // bytes (0 when no frame arrived whole). false: the box gets no DownloadInfoResponse and no
    // block, and the session ends.
    virtual bool admit(int received, const uint8_t* request, uint32_t length) = 0;
};

// The process-wide state of the download session. Large (the frame buffer alone is 128 KiB):
// allocate it once at start-up, never on a stack.
struct SessionContext {
    SessionContext(SerialPort& port, Pauser& pauser, ProgressReporter& reporter)
        : reporter(reporter), link{port, pauser, reporter} {}
    SessionContext(const SessionContext&) = delete;
    SessionContext& operator=(const SessionContext&) = delete;

    // The loaded image's module rows (filled by loadImage, header preset by
    // initResponseHeader) and the negotiated transfer parameters (filled by the handshake).
    // downloadId counts up across the whole run.
    DownloadInfoResponse response{};
    DownloadInfoRequestRecord infoRequest{};
    DownloadDataRequestRecord dataRequest{};
    ServingPosition position{};
    ModuleDelivery delivery{};
    // Rounds started since the program started; never reset.
    int32_t roundNumber = 0;
    // Bytes of the DownloadInfoRequest frame the last receiveInfoRequest got whole, 0 when none.
    uint32_t infoRequestLength = 0;
    // None: every box is answered, whatever became of its request.
    RequestGate* gate = nullptr;
    // The front end; the link tells it of every frame sent.
    ProgressReporter& reporter;
    // Port, pauser, the reporter's frame progress, bytesSent and imageSize. imageSize is set by the
    // front end when it loads an image; bytesSent is reset at every session start.
    LinkContext link;

    // The outcome of the last round that got as far as its judgement. Written by the session
    // thread before it shows its result and ends; read by the front end once the session has
    // ended.
    int lastResult = 0;                // the data phase's result code
    bool lastSucceeded = false;        // result 0 and every module byte acknowledged
    uint64_t lastDeliveredBytes = 0;   // module bytes the box acknowledged in this session
    uint64_t lastModuleBytes = 0;      // the sum of moduleSize over the rows served
    bool lastResponseAccepted = false; // the DownloadInfoResponse was answered with 3
    uint8_t lastWakeupByte = 0;        // as logged: 0 after a timed-out wake-up read

    // Every frame of a session is received into it and every message is built in it. Zeroed
    // like everything else here, so that a context placed in reused memory holds no old bytes.
    alignas(8) uint8_t frameBuffer[FRAME_BUFFER_SIZE] = {};
};

// Handshake. Receives the box's DownloadInfoRequest into ctx.infoRequest (its frame's length in
// ctx.infoRequestLength): the receive's code when the frame did not arrive, else the parser's
// (0, 1312-1315, 1319).
int receiveInfoRequest(SessionContext& ctx);
// Takes a new downloadId (1, 2, 3, ..., never 0), derives blockSize (at most 65517),
// windowSize and ackPeriod from ctx.infoRequest (whatever the last parse left there), builds
// the DownloadInfoResponse into the frame buffer and sends it: sendFrame's result.
int sendInfoResponse(SessionContext& ctx);

// Data phase. 0 when the box ended the transfer with downloadReason 5; 1315 for a request with
// a wrong downloadId or an unexpected downloadReason, or one shorter than its fields; 512 or 513
// from the link; 1312-1314 from parsing a request, the first one included. Records every
// acknowledged block in ctx.delivery (reset at the start).
int serveDataBlocks(SessionContext& ctx);
// Receives one DownloadDataRequest into ctx.dataRequest (60000 ms payload time-out) and parses
// the bytes received.
int receiveDataRequest(SessionContext& ctx);
// Starts a new window at the block the request names. The 16-bit blockNumber names, among the
// module's blocks and the position just past its last one, the block whose number is congruent
// to it modulo 65536 and that lies nearest the module's current position (the serving position
// for the module being served, else how far the box has acknowledged it): for a module of fewer
// than 65536 blocks, simply the block named. The position past the end, or no such block at
// all, counts as an exhausted module. Returns 0.
int applyDataRequest(SessionContext& ctx);
// Builds the next DownloadDataBlock of the window into the frame buffer and returns its length
// (18 + data bytes), or 0 when the window is complete or nothing is left to serve.
uint32_t nextDataBlock(SessionContext& ctx);

// Module bytes the box has acknowledged in this data phase, and the module bytes of the rows
// served (at most MAX_MODULES of them).
uint64_t deliveredModuleBytes(const SessionContext& ctx);
uint64_t servedModuleBytes(const DownloadInfoResponse& response);

// The body of the session thread: one round from the wake-up byte to the result box, then
// reporter.endSession(). The download succeeds only when the data phase returned 0 and every
// module byte went out in an acknowledged block during this session. Returns (where endSession
// returns at all) the data phase's result. With a gate that refuses the box, nothing is sent
// after the request: the session fails, its closing line is "Round N; Not served; ret = R" and it
// returns R, the request's result. At session start the reporter's showTestLog() is always
// called; the front end shows the Test Log only while it is wanted.
int runSession(SessionContext& ctx, StartSignal& startSignal);

} // namespace kestrune
