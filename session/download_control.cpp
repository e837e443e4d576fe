#include "session/download_control.h"

namespace kestrune {

DownloadControl::State DownloadControl::state() const {
    if (sessionRunning_ || wakeupSeen_ != 0) {
        return State::Running;
    }
    if (restartDialog_) {
        return State::AwaitingBox;
    }
    return downloadArmed() ? State::Armed : State::Idle;
}

void DownloadControl::onTick() {
    // Open the watch.
    if (!restartDialog_ && downloadArmed() && wakeupSeen_ == 0) {
        surface_.showRestartDialog();
        restartDialog_ = true;
        surface_.setMenuBusy(true);
        surface_.enableStartButton(false);
        if (!port_.openWatchPort(surface_.portName())) {
            downloadArmed_.store(0, std::memory_order_relaxed);
            stallTicks_.store(0, std::memory_order_relaxed);
            lastFailure_ = Failure::PortNotOpened;
            surface_.showMessage(ControlMessage::PortNotOpened, CONTROL_PORT_FAILURE_TEXT,
                                 CONTROL_PORT_FAILURE_CAPTION);
            surface_.destroyRestartDialog();
            restartDialog_ = false;
            port_.closeWatchPort();
            onAbort();
            return;
        }
    }

    // Poll, in the same tick that opened the watch. The byte's value does not matter.
    if (downloadArmed() && wakeupSeen_ == 0) {
        if (port_.pollWatchByte()) {
            wakeupSeen_ = 1;
            port_.closeWatchPort();
            if (restartDialog_) {
                surface_.destroyRestartDialog();
                restartDialog_ = false;
            }
            surface_.postStart();
        }
    }

    // Watchdog: counts from Start; only a sent frame (the session's reset) restarts it.
    if (downloadArmed()) {
        const int32_t ticks = stallTicks_.fetch_add(1, std::memory_order_relaxed) + 1;
        if (ticks > WATCHDOG_LIMIT_TICKS) {
            downloadArmed_.store(0, std::memory_order_relaxed);
            stallTicks_.store(0, std::memory_order_relaxed);
            if (restartDialog_) {
                surface_.destroyRestartDialog();
                restartDialog_ = false;
            }
            onAbort();
            lastFailure_ = Failure::NotResponding;
            surface_.showMessage(ControlMessage::NotResponding, CONTROL_NOT_RESPONDING_TEXT,
                                 CONTROL_NOT_RESPONDING_CAPTION);
        }
    }
}

void DownloadControl::onStart() {
    if (sessionRunning_) {
        // Reachable through a click on a lamp still on screen: the one port is open and the
        // one session runs, so there is nothing to start (and re-arming would let the
        // watchdog abort a finished session).
        return;
    }
    if (!surface_.imageLoaded()) {
        surface_.showMessage(ControlMessage::MissingFile, CONTROL_MISSING_FILE_TEXT,
                             CONTROL_MISSING_FILE_CAPTION);
        surface_.loadImage();
        return;
    }
    if (!downloadArmed() && wakeupSeen_ == 0 && !restartDialog_) {
        // A new attempt from Idle.
        lastFailure_ = Failure::None;
        downloadPortOpened_ = false;
    }
    downloadArmed_.store(1, std::memory_order_relaxed);
    if (wakeupSeen_ == 0) {
        return; // the next tick opens the watch
    }

    surface_.setStartEvent();
    surface_.createTestLog();
    downloadPortOpened_ = port_.openDownloadPort(surface_.portName());
    sessionRunning_ = true;
    surface_.startSession();
}

void DownloadControl::onAbort() {
    wakeupSeen_ = 0;
    downloadArmed_.store(0, std::memory_order_relaxed);
    if (sessionRunning_) {
        surface_.stopSession();
    }
    port_.closeWatchPort();
    port_.closeDownloadPort();
    stallTicks_.store(0, std::memory_order_relaxed);
    surface_.setMenuBusy(false);
    surface_.enableStartButton(true);
    if (restartDialog_) {
        surface_.destroyRestartDialog();
        restartDialog_ = false;
    }
    surface_.resetProgressDisplay();
    sessionRunning_ = false;
    surface_.setStartEvent();
    surface_.drawReadyLamp();
}

} // namespace kestrune
