#pragma once

#include <cstdint>

namespace kestrune {

// The serial line to the box, in its two configurations: the wake-up watch (19200 baud,
// one-byte polls of at most 100 ms) and the download configuration ("57600,n,8,1",
// DTR and RTS raised). Every transfer is one blocking call bounded by its time-out.
// Transfers on a port that is not open fail at once with LINK_ERR_IO.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Download port.
    virtual bool openDownloadPort(const char* name) = 0;
    virtual void closeDownloadPort() = 0;
    virtual bool purge() = 0;
    virtual int writeByte(uint8_t value) = 0;
    virtual int writeBlock(const uint8_t* data, uint32_t count) = 0;
    // count: in, bytes wanted; out, bytes received. A short read is LINK_OK.
    virtual int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) = 0;
    // On a time-out the byte is left as it was.
    virtual int readByte(uint8_t* value, uint32_t timeoutMs) = 0;

    // Wake-up watch port, independent of the download port.
    virtual bool openWatchPort(const char* name) = 0;
    virtual bool pollWatchByte() = 0;
    virtual void closeWatchPort() = 0;
};

// How a backend tells the operator that a port cannot be opened
// ("Cannot Start Downloading!!!." / "Error"). The window shows a message box,
// the command line prints to standard error.
using PortErrorSink = void (*)(void* context, const char* text, const char* caption);

} // namespace kestrune
