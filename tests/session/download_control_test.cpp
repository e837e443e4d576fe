#include "common/result_codes.h"
#include "session/download_control.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune::test {
namespace {

// The watch side of a port: whether it opens, on which poll the box's byte arrives.
class WatchPort final : public SerialPort {
public:
    std::vector<std::string>& calls;
    bool watchOpens = true;
    int byteOnPoll = -1; // 1-based poll number that sees the wake-up byte; -1: never
    int polls = 0;
    int downloadOpens = 0;
    explicit WatchPort(std::vector<std::string>& c) : calls(c) {}

    bool openDownloadPort(const char* name) override {
        ++downloadOpens;
        calls.push_back(std::string("openDownloadPort ") + name);
        return true;
    }
    void closeDownloadPort() override { calls.push_back("closeDownloadPort"); }
    bool purge() override { return false; }
    int writeByte(uint8_t) override { return LINK_ERR_IO; }
    int writeBlock(const uint8_t*, uint32_t) override { return LINK_ERR_IO; }
    int readBlock(uint8_t*, uint32_t* count, uint32_t) override {
        *count = 0;
        return LINK_ERR_IO;
    }
    int readByte(uint8_t*, uint32_t) override { return LINK_ERR_IO; }
    bool openWatchPort(const char* name) override {
        calls.push_back(std::string("openWatchPort ") + name);
        return watchOpens;
    }
    bool pollWatchByte() override {
        ++polls;
        calls.push_back("poll");
        return polls == byteOnPoll;
    }
    void closeWatchPort() override { calls.push_back("closeWatchPort"); }
};

class Surface final : public ControlSurface {
public:
    std::vector<std::string>& calls;
    bool loaded = true;
    const char* port = "COM1";
    std::string messageText;
    std::string messageCaption;
    explicit Surface(std::vector<std::string>& c) : calls(c) {}

    void showRestartDialog() override { calls.push_back("showRestartDialog"); }
    void destroyRestartDialog() override { calls.push_back("destroyRestartDialog"); }
    void setMenuBusy(bool busy) override { calls.push_back(busy ? "menuBusy" : "menuIdle"); }
    void enableStartButton(bool on) override { calls.push_back(on ? "buttonOn" : "buttonOff"); }
    void showMessage(ControlMessage which, const char* text, const char* caption) override {
        static const char* names[] = {"message MissingFile", "message PortNotOpened",
                                      "message NotResponding"};
        calls.push_back(names[static_cast<int>(which)]);
        messageText = text;
        messageCaption = caption;
    }
    const char* portName() override { return port; }
    bool imageLoaded() override { return loaded; }
    void loadImage() override { calls.push_back("loadImage"); }
    void setStartEvent() override { calls.push_back("setStartEvent"); }
    void createTestLog() override { calls.push_back("createTestLog"); }
    void startSession() override { calls.push_back("startSession"); }
    void stopSession() override { calls.push_back("stopSession"); }
    void postStart() override { calls.push_back("postStart"); }
    void resetProgressDisplay() override { calls.push_back("resetProgressDisplay"); }
    void drawReadyLamp() override { calls.push_back("drawReadyLamp"); }
};

struct Rig {
    std::vector<std::string> calls;
    WatchPort port{calls};
    Surface surface{calls};
    DownloadControl control{port, surface};
    std::vector<std::string> take() { return std::exchange(calls, {}); }
};

using Calls = std::vector<std::string>;
const Calls ABORT_WITHOUT_SESSION = {
    "closeWatchPort",       "closeDownloadPort",    "menuIdle",      "buttonOn",
    "destroyRestartDialog", "resetProgressDisplay", "setStartEvent", "drawReadyLamp"};

TEST(DownloadControl, StartWithoutImageAsksForOne) {
    Rig rig;
    rig.surface.loaded = false;
    rig.control.onStart();
    EXPECT_EQ(rig.take(), (Calls{"message MissingFile", "loadImage"}));
    EXPECT_EQ(rig.surface.messageText, "You need to load the *.dl file.");
    EXPECT_EQ(rig.surface.messageCaption, "Missing file.....");
    EXPECT_EQ(rig.control.state(), DownloadControl::State::Idle);
    rig.control.onTick();
    EXPECT_TRUE(rig.take().empty());
}

TEST(DownloadControl, WakeupByteOnTheFirstPollRunsTheSessionOneTickAfterStart) {
    Rig rig;
    rig.port.byteOnPoll = 1;
    rig.control.onStart();
    EXPECT_EQ(rig.control.state(), DownloadControl::State::Armed);
    EXPECT_TRUE(rig.take().empty());

    rig.control.onTick();
    EXPECT_EQ(rig.take(), (Calls{"showRestartDialog", "menuBusy", "buttonOff", "openWatchPort COM1",
                                 "poll", "closeWatchPort", "destroyRestartDialog", "postStart"}));
    EXPECT_EQ(rig.control.stallTicks(), 1);

    rig.control.onStart(); // the posted Start
    EXPECT_EQ(rig.take(),
              (Calls{"setStartEvent", "createTestLog", "openDownloadPort COM1", "startSession"}));
    EXPECT_EQ(rig.control.state(), DownloadControl::State::Running);

    // A second Start while running opens nothing and starts nothing.
    rig.control.onStart();
    EXPECT_TRUE(rig.take().empty());
    EXPECT_EQ(rig.port.downloadOpens, 1);

    // The session ends: disarm, reset, then its Abort.
    rig.control.disarm();
    rig.control.resetStallTicks();
    rig.control.onTick();
    EXPECT_TRUE(rig.take().empty());
    rig.control.onAbort();
    EXPECT_EQ(rig.take(),
              (Calls{"stopSession", "closeWatchPort", "closeDownloadPort", "menuIdle", "buttonOn",
                     "resetProgressDisplay", "setStartEvent", "drawReadyLamp"}));
    EXPECT_EQ(rig.control.state(), DownloadControl::State::Idle);
    EXPECT_EQ(rig.control.lastFailure(), DownloadControl::Failure::None);
}

TEST(DownloadControl, WatchIsOpenedOnceAndPolledEveryTick) {
    Rig rig;
    rig.port.byteOnPoll = 5;
    rig.surface.port = "COM2";
    rig.control.onStart();
    for (int i = 0; i < 4; ++i) {
        rig.control.onTick();
        EXPECT_EQ(rig.control.state(), DownloadControl::State::AwaitingBox);
    }
    rig.control.onStart(); // Start while awaiting the box only arms again
    rig.take();
    rig.control.onTick();
    EXPECT_EQ(rig.take(), (Calls{"poll", "closeWatchPort", "destroyRestartDialog", "postStart"}));
    rig.control.onStart();
    EXPECT_EQ(rig.take()[2], "openDownloadPort COM2");
    EXPECT_EQ(rig.port.polls, 5);
}

TEST(DownloadControl, WatchdogFiresOnThe201stTickAbortFirstThenTheMessage) {
    Rig rig;
    rig.control.onStart();
    for (int tick = 1; tick <= 200; ++tick) {
        rig.control.onTick();
    }
    EXPECT_EQ(rig.control.stallTicks(), 200);
    EXPECT_EQ(rig.control.state(), DownloadControl::State::AwaitingBox);
    rig.take();

    rig.control.onTick();
    Calls expected = {"poll", "destroyRestartDialog"};
    for (const std::string& c : ABORT_WITHOUT_SESSION) {
        if (c != "destroyRestartDialog") {
            expected.push_back(c);
        }
    }
    expected.push_back("message NotResponding");
    EXPECT_EQ(rig.take(), expected);
    EXPECT_EQ(rig.surface.messageCaption, "Communication error");
    EXPECT_EQ(rig.surface.messageText,
              "Not possible to download, the set top box is not responding.\nCheck that your set "
              "top box is connected and press \"Start download\" to try once again.");
    EXPECT_EQ(rig.control.state(), DownloadControl::State::Idle);
    EXPECT_EQ(rig.control.stallTicks(), 0);
    EXPECT_EQ(rig.control.lastFailure(), DownloadControl::Failure::NotResponding);

    rig.control.onTick();
    EXPECT_TRUE(rig.take().empty());
}

TEST(DownloadControl, WatchdogCountsFromStartAndOnlySentFramesRestartIt) {
    Rig rig;
    rig.port.byteOnPoll = 150;
    rig.control.onStart();
    for (int tick = 1; tick <= 150; ++tick) {
        rig.control.onTick();
    }
    rig.control.onStart();
    // The wake-up did not clear the count: 51 more ticks without a frame fire it.
    for (int tick = 151; tick <= 200; ++tick) {
        rig.control.onTick();
    }
    EXPECT_TRUE(rig.control.sessionRunning());
    rig.control.resetStallTicks(); // a frame was sent
    for (int tick = 0; tick < 200; ++tick) {
        rig.control.onTick();
    }
    EXPECT_TRUE(rig.control.sessionRunning());
    rig.take();
    rig.control.onTick();
    const Calls calls = rig.take();
    EXPECT_EQ(calls.front(), "stopSession");
    EXPECT_EQ(calls.back(), "message NotResponding");
    EXPECT_FALSE(rig.control.sessionRunning());
}

TEST(DownloadControl, PortThatDoesNotOpenReportsAndReturnsToIdle) {
    Rig rig;
    rig.port.watchOpens = false;
    rig.control.onStart();
    rig.control.onTick();
    Calls expected = {"showRestartDialog",
                      "menuBusy",
                      "buttonOff",
                      "openWatchPort COM1",
                      "message PortNotOpened",
                      "destroyRestartDialog",
                      "closeWatchPort"};
    for (const std::string& c : ABORT_WITHOUT_SESSION) {
        if (c != "destroyRestartDialog") {
            expected.push_back(c);
        }
    }
    EXPECT_EQ(rig.take(), expected);
    EXPECT_EQ(rig.surface.messageCaption, "Error");
    EXPECT_EQ(rig.surface.messageText,
              "Failed to open communication resource.\nThe com port may not be the correct one, "
              "choose option and select the right com port,\nor the com port is already busy, "
              "quit all other applications that are using the com port.");
    EXPECT_EQ(rig.control.state(), DownloadControl::State::Idle);
    EXPECT_EQ(rig.control.lastFailure(), DownloadControl::Failure::PortNotOpened);
    EXPECT_EQ(rig.port.polls, 0);
}

TEST(DownloadControl, OperatorAbortWhileAwaitingTheBoxResetsEverything) {
    Rig rig;
    rig.control.onStart();
    rig.control.onTick();
    rig.take();
    rig.control.onAbort();
    EXPECT_EQ(rig.take(), ABORT_WITHOUT_SESSION);
    EXPECT_EQ(rig.control.state(), DownloadControl::State::Idle);
    // A new Start opens the watch afresh.
    rig.control.onStart();
    rig.control.onTick();
    EXPECT_EQ(rig.take()[0], "showRestartDialog");
}

TEST(DownloadControl, DisarmedSessionIsNotCountedAndAStartThenStartsNothing) {
    Rig rig;
    rig.port.byteOnPoll = 1;
    rig.control.onStart();
    rig.control.onTick();
    rig.control.onStart();
    rig.control.disarm();
    rig.take();
    for (int tick = 0; tick < 500; ++tick) {
        rig.control.onTick();
    }
    rig.control.onStart(); // a lamp click while the result box is up
    EXPECT_TRUE(rig.take().empty());
    EXPECT_FALSE(rig.control.downloadArmed());
}

} // namespace
} // namespace kestrune::test
