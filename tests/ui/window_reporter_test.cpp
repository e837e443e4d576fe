// The window's side of the session's reports, driven by real sessions against a scripted box in
// virtual time: what the window is asked to show, in which order, and how.

#include "tests/support/allocation_counter.h"
#include "tests/support/scripted_box.h"
#include "ui/window_reporter.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace kestrune::ui {
namespace {

using test::Bytes;
using test::ImmediateStart;

// Records what the window is asked to do; the log as the edit control would hold it.
class RecordingWindow final : public SessionWindow {
public:
    std::vector<std::string> calls; // every operation but the typed characters and the posts
    std::string log;
    std::vector<int> posted;
    std::vector<std::string> statusTexts;
    std::string resultText, resultCaption;
    bool resultError = false;
    int abortsSent = 0;

    void showTestLogWindow() override { calls.push_back("showTestLogWindow"); }
    void showProgressControls() override { calls.push_back("showProgressControls"); }
    void setProgressRange(int low, int high) override {
        calls.push_back("range " + std::to_string(low) + ".." + std::to_string(high));
    }
    void setStatusText(const char* text) override {
        if (statusTexts.empty()) {
            calls.push_back(std::string("status ") + text);
        }
        statusTexts.push_back(text);
    }
    // As an edit control types: at the caret, which a click in the log moves.
    void typeLogCharacter(char c) override {
        log.insert(caret, 1, c);
        ++caret;
        if (drawingHeld) {
            piece += c;
        } else {
            ++typedWhileDrawing;
        }
    }
    void moveLogCaretToEnd() override { caret = log.size(); }
    void holdLogDrawing() override {
        EXPECT_FALSE(drawingHeld) << "held twice";
        drawingHeld = true;
        piece.clear();
    }
    void drawLogOnce() override {
        EXPECT_TRUE(drawingHeld) << "drawn without a hold";
        drawingHeld = false;
        drawnPieces.push_back(piece);
    }
    void showResultBox(const char* text, const char* caption, bool errorIcon) override {
        calls.push_back(std::string("result ") + caption);
        resultText = text;
        resultCaption = caption;
        resultError = errorIcon;
        logAtResult = log;
    }
    void sendAbort() override {
        calls.push_back("abort");
        ++abortsSent;
    }
    void postProgressPosition(int percent) override { posted.push_back(percent); }

    std::string logAtResult;
    size_t caret = 0;
    // The log's drawing: held around each piece of text, drawn once after it.
    bool drawingHeld = false;
    int typedWhileDrawing = 0;
    std::string piece;
    std::vector<std::string> drawnPieces;
};

class QuietSurface final : public ControlSurface {
public:
    void showRestartDialog() override {}
    void destroyRestartDialog() override {}
    void setMenuBusy(bool) override {}
    void enableStartButton(bool) override {}
    void showMessage(ControlMessage, const char*, const char*) override {}
    const char* portName() override { return "COM1"; }
    bool imageLoaded() override { return true; }
    void loadImage() override {}
    void setStartEvent() override {}
    void createTestLog() override {}
    void startSession() override {}
    void stopSession() override {}
    void postStart() override {}
    void resetProgressDisplay() override {}
    void drawReadyLamp() override {}
};

// A box, the window's reporter and the control whose counters the session clears.
struct WindowRig {
    test::ScriptedBox box;
    test::VirtualPauser pauser{box.nowMs};
    RecordingWindow window;
    QuietSurface surface;
    DownloadControl control{box, surface};
    WindowReporter reporter{window, control};
    SessionContext ctx{box, pauser, reporter};
    Bytes module;

    // One module of `size` bytes.
    explicit WindowRig(uint32_t size) : module(size) {
        for (uint32_t j = 0; j < size; ++j) {
            module[j] = static_cast<uint8_t>(j * 7);
        }
        ctx.response.numberOfModules = 1;
        ModuleEntry& row = ctx.response.modules[0];
        row.moduleId = 0x100;
        row.moduleSize = size;
        row.moduleVersion = 1;
        row.moduleInfoLength = 2;
        row.moduleInfo[0] = 1;
        row.moduleData = module.data();
        initResponseHeader(ctx.response);
        ctx.link.imageSize = 7 + 10 + size;
    }

    // A box that wakes with 0x55, takes 1024-byte blocks four to a window and ends cleanly.
    void cleanBox() {
        box.restart();
        box.wakeup(0x55);
        box.add(test::infoRequest(4096, 1024));
        box.request(0, 0, 1, 1);
        box.request(0, 3, 5, 3);
    }
};

const std::string BANNER = "Kestrune (NorDig)  V1.01  08-Dec-1998\n\nDOWNLOAD STARTED\n";

TEST(WindowReporter, DownloadWithTheTestLogShowsLogsAndEndsThroughAbort) {
    auto rig = std::make_unique<WindowRig>(2500);
    rig->reporter.beginSession({.testLog = true});
    rig->control.onStart();
    for (int i = 0; i < 150; ++i) {
        rig->control.onTick();
    }
    ASSERT_TRUE(rig->control.downloadArmed());
    ASSERT_EQ(rig->control.stallTicks(), 150);

    rig->cleanBox();
    ImmediateStart start;
    EXPECT_EQ(runSession(rig->ctx, start), 0);

    const RecordingWindow& w = rig->window;
    EXPECT_EQ(w.calls, (std::vector<std::string>{"showTestLogWindow", "showProgressControls",
                                                 "status Download 0.0 %", "range 0..100",
                                                 "result Download complete", "abort"}));
    // Line feeds only; the closing line typed after the box was closed.
    EXPECT_EQ(w.logAtResult, BANNER + "Byte 85 received\n0 0 0\n1 0 0\n2 0 0\n");
    EXPECT_EQ(w.log, w.logAtResult + "Round 1; All modules sent; ret = 0\n");
    EXPECT_EQ(w.resultText, "Download was successful.\nEnjoy your upgraded set top box.");
    EXPECT_FALSE(w.resultError);

    // Every character typed while the log does not draw itself, one drawing per piece.
    EXPECT_EQ(w.typedWhileDrawing, 0);
    EXPECT_FALSE(w.drawingHeld);
    EXPECT_EQ(w.drawnPieces, (std::vector<std::string>{
                                 "Kestrune (NorDig)  V1.01  08-Dec-1998\n\n", "DOWNLOAD STARTED\n",
                                 "Byte 85 received\n", "0 ", "0 ", "0\n", "1 ", "0 ", "0\n", "2 ",
                                 "0 ", "0\n", "Round 1; ", "All modules sent; ret = 0\n"}));

    // One post and one status text per frame (the response and three blocks), rising past the
    // whole image (the response's bytes count too; the bar shows a full bar above 100).
    ASSERT_EQ(w.posted.size(), 4u);
    ASSERT_EQ(w.statusTexts.size(), 5u);
    for (size_t i = 1; i < w.posted.size(); ++i) {
        EXPECT_GT(w.posted[i], w.posted[i - 1]);
    }
    EXPECT_GE(w.posted.back(), 100);
    EXPECT_EQ(w.statusTexts.back(), "Download 100.0 %");

    // The session's two stores reached the control: no watchdog after the end.
    EXPECT_FALSE(rig->control.downloadArmed());
    EXPECT_EQ(rig->control.stallTicks(), 0);
}

TEST(WindowReporter, WithoutTheTestLogNothingIsTypedAndNoLogWindowShown) {
    auto rig = std::make_unique<WindowRig>(2500);
    rig->reporter.beginSession({.testLog = false});
    rig->cleanBox();
    ImmediateStart start;
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_EQ(rig->window.log, "");
    EXPECT_TRUE(rig->window.drawnPieces.empty());
    EXPECT_EQ(rig->window.calls.front(), "showProgressControls");
    EXPECT_EQ(rig->window.abortsSent, 1);

    // The next session of the same run takes the log again (round 2).
    rig->reporter.beginSession({.testLog = true});
    rig->cleanBox();
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_EQ(rig->box.responseDownloadId, 2u);
    EXPECT_NE(rig->window.log.find("Round 2; All modules sent; ret = 0\n"), std::string::npos);
}

TEST(WindowReporter, FailedDownloadShowsTheErrorBoxAndStillEndsThroughAbort) {
    auto rig = std::make_unique<WindowRig>(2500);
    rig->reporter.beginSession({.testLog = true});
    rig->box.restart();
    rig->box.wakeup(0x55);
    rig->box.add(test::infoRequest(4096, 1024));
    // A request with a downloadId the server never gave: the data phase ends with 1315.
    rig->box.add(test::dataRequest(77, 0, 0, 1), 1);
    ImmediateStart start;
    EXPECT_EQ(runSession(rig->ctx, start), 1315);
    EXPECT_EQ(rig->window.resultCaption, "Download error");
    EXPECT_EQ(rig->window.resultText, "Download was not successful.\nYou can press \"Start "
                                      "download\",\nto try downloading again.");
    EXPECT_TRUE(rig->window.resultError);
    EXPECT_NE(rig->window.log.find("Round 1; All modules sent; ret = 1315\n"), std::string::npos);
    EXPECT_EQ(rig->window.calls.back(), "abort");
}

TEST(WindowReporter, CarriageReturnsAreNotTypedAndAnEmptyTextDrawsNothing) {
    struct Case {
        const char* text;
        const char* typed;
        size_t drawings;
    };
    const Case cases[] = {
        {"a\r\nb\rc\n", "a\nbc\n", 1},
        {"", "", 0},
        {"\r", "", 1},
        {"x", "x", 1},
    };
    for (const Case& c : cases) {
        auto rig = std::make_unique<WindowRig>(10);
        rig->reporter.beginSession({.testLog = true});
        rig->reporter.logText(c.text);
        EXPECT_EQ(rig->window.log, c.typed) << c.text;
        EXPECT_EQ(rig->window.drawnPieces.size(), c.drawings) << c.text;
        EXPECT_FALSE(rig->window.drawingHeld) << c.text;
    }
}

// A click in the log during a download moves the caret; every piece still goes at the end.
TEST(WindowReporter, AClickInTheLogNeverReordersIt) {
    auto rig = std::make_unique<WindowRig>(10);
    rig->reporter.beginSession({.testLog = true});
    rig->reporter.logText("DOWNLOAD STARTED\n");
    for (const size_t click : {size_t(0), size_t(3), size_t(17)}) {
        rig->window.caret = click;
        rig->reporter.logText("0 0 0\n");
    }
    EXPECT_EQ(rig->window.log, "DOWNLOAD STARTED\n0 0 0\n0 0 0\n0 0 0\n");
}

// Counts the window operations and keeps nothing, as the real window keeps nothing.
class CountingWindow final : public SessionWindow {
public:
    int operations = 0;
    void showTestLogWindow() override { ++operations; }
    void showProgressControls() override { ++operations; }
    void setProgressRange(int, int) override { ++operations; }
    void setStatusText(const char*) override { ++operations; }
    void typeLogCharacter(char) override { ++operations; }
    void moveLogCaretToEnd() override { ++operations; }
    void holdLogDrawing() override { ++operations; }
    void drawLogOnce() override { ++operations; }
    void showResultBox(const char*, const char*, bool) override { ++operations; }
    void sendAbort() override { ++operations; }
    void postProgressPosition(int) override { ++operations; }
};

TEST(WindowReporter, SessionThreadOperationsDoNotAllocate) {
    auto rig = std::make_unique<WindowRig>(10);
    CountingWindow window;
    WindowReporter reporter(window, rig->control);
    reporter.beginSession({.testLog = true});

    test::countAllocations(true);
    reporter.showTestLog();
    reporter.showProgress();
    reporter.logText("Kestrune (NorDig)  V1.01  08-Dec-1998\n\nDOWNLOAD STARTED\n");
    for (int i = 0; i <= 100; ++i) {
        reporter.postProgress(i);
        reporter.setStatusText("Download 42.7 %");
        reporter.resetStallTicks();
    }
    reporter.disarm();
    reporter.showResult("text", "caption", true);
    reporter.endSession();
    test::countAllocations(false);

    EXPECT_EQ(test::allocationsCounted(), 0);

    // The counter itself sees an allocation.
    test::countAllocations(true);
    auto probe = std::make_unique<std::string>(100, 'x');
    test::countAllocations(false);
    EXPECT_GE(test::allocationsCounted(), 1);
    EXPECT_GT(window.operations, 200);
}

} // namespace
} // namespace kestrune::ui
