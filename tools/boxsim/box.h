#pragma once

// The set top box's side of one download: wake-up bytes, the DownloadInfoRequest, the
// DownloadDataRequests, and a check of every DownloadInfoResponse field and every block against
// the image. Fault options make it misbehave on purpose.

#include "tools/boxsim/box_image.h"
#include "tools/boxsim/capture_script.h"
#include "tools/boxsim/line.h"
#include "tools/boxsim/noise.h"
#include "tools/boxsim/task.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace boxsim {

constexpr int EXIT_EXACT = 0;
constexpr int EXIT_MISMATCH = 1;
constexpr int EXIT_INCOMPLETE = 2;
constexpr int EXIT_PROTOCOL = 3;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_SYSTEM = 70;

struct Options {
    std::string image;
    std::string replay; // a capture to play instead of an image's download
    std::string device;
    std::string link;
    uint32_t bufferSize = 65536;
    uint16_t maximumBlockSize = 0;
    bool typeOne = true;
    Bytes descriptors; // --hardware / --software, instead of the default two
    uint16_t descriptorCount = 0;
    std::string serial; // --serial: the unit's serial in a descriptor of serialType
    uint8_t serialType = 0x40;
    uint8_t wakeupByte = 0x55;
    double wakeupEvery = 0.05; // seconds between wake-up bytes
    uint32_t baud = 0;
    int downloads = 1;                // downloads per box
    int boxes = 1;                    // boxes in a row on the line
    bool line = false;                // --boxes given: verdicts name the box
    double gap = 0;                   // seconds of power-off between one box and the next
    double stay = 0;                  // seconds the line stays open after the last box
    double reboot = 0;                // seconds of wake-up bytes after a complete download
    bool restartAfterFailure = false; // a failed download is tried again (faults on the first)
    int unplugAfter = -1;             // blocks after which the box disappears from the line
    double timeout = 10.0;
    double wait = 120.0;
    std::map<int, int> naks;    // server frame index -> NAKs
    std::map<int, int> corrupt; // own request index -> damaged CRCs
    bool silent = false;
    std::string hold;      // no wake-up byte until this file exists (the simulator waits)
    int endEarly = -1;     // blocks after which to end with reason 5
    int repeatWindow = -1; // window after which to ask for its first block again
    int wrongId = -1;      // data request (1 = first) with a wrong downloadId
    double noise = 0;      // chance of a line fault per byte
    double noiseRise = 0;  // added to it for every box after the first (--boxes)
    uint64_t seed = 1;
    bool verbose = false;
};

struct Verdict {
    int status = EXIT_EXACT;
    std::string text;
    bool unplugged = false; // the box is to disappear now (--unplug-after)
};

// How a box's restart after its download went: a server that answered one of its wake-up
// bytes would flash it a second time.
struct Reboot {
    int answers = 0;          // wake-up acknowledgements (2) received while restarting
    double firstAnswer = 0.0; // seconds into the restart of the first of them
};

// One box on one line, the same on a pseudo-terminal and on a virtual line (see task.h).
class Box {
public:
    Box(Line& line, const Options& options, const std::vector<Module>& modules, NoiseModel& noise)
        : line_(line), options_(options), modules_(modules), noise_(noise) {}

    Task<Verdict> download(int number);
    // The box of a capture: wakes up, sends the captured requests in order (with the
    // downloadId this server gives) and checks that every answer is the one captured.
    Task<Verdict> replay(const ReplayScript& script);
    // After a complete download: `seconds` of wake-up bytes, every 50 ms as at power-up, with
    // nothing answered; counts the servers' answers. What the box sent and nobody read is
    // gone at the end.
    Task<Reboot> reboot(double seconds);

    // What the last download left: every block held (checked against the image) and the
    // request with reason 5 sent; an early end on purpose.
    bool complete() const;
    bool sentReason5() const { return sentReason5_; }
    bool endedEarly() const { return endedEarly_; }

private:
    bool fail(int status, const std::string& text);
    void note(const std::string& text);

    // A wake-up byte every 50 ms until a server answers 2; false (with the verdict) when none
    // does in time.
    Task<bool> wakeUp(const std::string& tag);
    void startDownload();
    bool matchesCapture(const Bytes& m, const CapturedMessage& captured, size_t step);
    Task<bool> sendFrame(const Bytes& payload, int requestIndex);
    Task<bool> receiveFrame(Bytes& payload);
    // Throws away what arrives until the line has been quiet for `quiet` seconds.
    Task<bool> settle(double quiet);
    Bytes infoRequest() const;
    Bytes dataRequest(uint16_t moduleId, uint32_t blockIndex, uint8_t reason, bool wrongId) const;
    bool checkResponse(const Bytes& m);
    bool checkBlock(const Bytes& m, uint16_t moduleId, uint32_t blockIndex);
    // A block of this download the box has already taken.
    bool isRepeat(const Bytes& m) const;
    // The blocks a window brings after a request naming (module, block index).
    void predictWindow(uint16_t moduleId, uint32_t blockIndex,
                       std::vector<std::pair<uint16_t, uint32_t>>& window) const;
    // The verdict's counts and times: "17 blocks, ...; 9.770 s (protocol minimum 9.684 s)".
    std::string stats(double started) const;
    bool unplugDue() const;
    Verdict unplugNow(double started);

    Line& line_;
    const Options& options_;
    const std::vector<Module>& modules_;
    NoiseModel& noise_;
    Verdict verdict_;
    uint32_t downloadId_ = 0;
    uint16_t blockSize_ = 0;
    uint8_t windowSize_ = 0;
    int serverFrames_ = 0; // frames accepted from the server, for --nak
    std::map<int, int> naks_;
    std::map<int, int> corrupt_;
    std::vector<std::vector<bool>> seen_;
    uint64_t blocks_ = 0;
    uint64_t dataBytes_ = 0;
    uint64_t attempts_ = 0; // server frame attempts (each with its own 100 ms pause)
    bool refused_ = false;  // the last request was refused 10 times
    bool sentReason5_ = false;
    bool endedEarly_ = false;
};

} // namespace boxsim
