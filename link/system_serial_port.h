#pragma once

#include "link/serial_port.h"

#include <memory>

namespace kestrune {

// Why the last open failed, so that a front end can tell the operator what to do about it.
enum class PortOpenError {
    None,
    NotFound,         // no such device
    PermissionDenied, // the user may not open it (on Linux: not in the dialout group)
    Busy,             // another program has it open
    NotSerialPort,    // it opens, but it is a file or a device that is not a terminal
    Settings,         // the line settings could not be applied
    Other,
};

// The platform's serial port: Win32 comm handles on Windows, termios elsewhere.
//
// Port names: on Windows "COM1".."COM9" are opened under exactly that name and any other
// name (COM10 and above, or a device name) gets the "\\.\" device prefix unless it already
// has one. Elsewhere "COM1" and "COM2" (any case) mean /dev/ttyS0 and /dev/ttyS1 and any
// other name is a device path used as it is. On POSIX the open is exclusive through an
// advisory lock (flock) and the terminal's exclusive mode (TIOCEXCL), as the Win32 open is
// through no sharing; a path that is not a terminal (a regular file, /dev/null) is refused
// before anything is written to it.
//
// The download and watch configurations each have their own handle. Opening a
// configuration that is already open closes it first. Closing twice is harmless.
class SystemSerialPort : public SerialPort {
public:
    // Stops the link co-operatively, for a front end that cannot terminate its session
    // thread. A transfer blocked in this port returns at once (a read with what it has,
    // usually nothing, so LINK_ERR_IO; a write with LINK_ERR_IO), and every later transfer
    // and watch poll fails at once, until the next openDownloadPort or openWatchPort clears
    // the cancel. Safe to call from any thread at any time, also while the port is being
    // opened or closed, and on POSIX from a signal handler. A cancel that races with an
    // open may or may not survive it: a front end that reopens in a loop keeps its own stop
    // flag too. On Windows this holds for a PortIo::Overlapped port; on a synchronous one a
    // read already blocked in ReadFile cannot be woken and ends at its own time-out, and
    // everything after it fails at once.
    virtual void cancel() = 0;

    // Which port and operation failed last, e.g. "open /dev/ttyS0: No such file or
    // directory"; "" when nothing failed. Set by the opens and the line settings only (the
    // transfers stay free of formatting). For logs; the operator message goes to the sink.
    virtual const char* lastError() const = 0;
    // The kind of the last failure of an open or of the line settings; None when the last
    // open succeeded.
    virtual PortOpenError lastOpenError() const = 0;

    // Whether the watch port has gone away since it was opened: a read error or a hang-up (a
    // USB adapter unplugged, the far side of a pseudo-terminal closed). It never comes back:
    // the front end closes the watch and opens the port again.
    virtual bool watchLost() const = 0;
};

// A short phrase for an operator: "not found", "permission denied", "busy", ...
const char* describePortOpenError(PortOpenError failure);

// How the Win32 backend moves bytes; both have the same line settings and time-outs. The
// termios backend always behaves as Overlapped does and ignores the choice.
enum class PortIo {
    // Blocking ReadFile/WriteFile, for a front end that ends its session thread itself.
    Synchronous,
    // FILE_FLAG_OVERLAPPED, each transfer waited for together with the cancel: cancel() ends
    // a transfer in progress at once, from any thread.
    Overlapped,
};

// What the download configuration does to a USB adapter's latency (link/adapter_latency.h).
enum class PortLatency {
    AsItIs,
    // On Linux, lowered from the open to the close of the download port, and put back on
    // every close (also after a cancel, and when the port object is destroyed). Windows
    // leaves it to the driver's setting.
    LowWhileDownloading,
};

// `sink` (may be null) receives "Cannot Start Downloading!!!." / "Error" when the download
// port cannot be opened; a failed watch open only returns false, its caller reports it.
std::unique_ptr<SystemSerialPort> createSystemSerialPort(PortErrorSink sink, void* context,
                                                         PortIo io = PortIo::Synchronous,
                                                         PortLatency latency = PortLatency::AsItIs);

#ifndef _WIN32
// The same, with the adapters looked for in `root`/sys and `root`/dev (a fake machine).
std::unique_ptr<SystemSerialPort> createSystemSerialPortUnder(const char* root, PortErrorSink sink,
                                                              void* context, PortLatency latency);
#endif

// Shows a port error the platform's way: on Windows a task-modal error message box with
// no owner window, elsewhere "caption: text" on standard error. `context` is not used.
void systemPortErrorSink(void* context, const char* text, const char* caption);

} // namespace kestrune
