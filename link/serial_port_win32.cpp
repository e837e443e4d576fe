// The serial port on Win32 comm handles: synchronous ReadFile/WriteFile, the time-outs
// set before every read, exactly the platform calls the box's line has always had.

#include "link/result_codes.h"
#include "link/system_serial_port.h"

#include <atomic>
#include <cstdio>
#include <windows.h>

namespace kestrune {
namespace {

// "COM1".."COM9" are opened under exactly that name; other names get the device prefix
// that COM10 and above need (unless they have it already).
void deviceName(const char* name, char* out, size_t size) {
    const bool shortCom =
        (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm') && name[3] >= '1' && name[3] <= '9' && name[4] == '\0';
    const bool prefixed =
        name[0] == '\\' && name[1] == '\\' && (name[2] == '.' || name[2] == '?') && name[3] == '\\';
    std::snprintf(out, size, "%s%s", shortCom || prefixed ? "" : "\\\\.\\", name);
}

class Win32SerialPort final : public SystemSerialPort {
public:
    Win32SerialPort(PortErrorSink sink, void* context) : sink_(sink), context_(context) {}

    ~Win32SerialPort() override {
        closeDownloadPort();
        closeWatchPort();
    }

    bool openDownloadPort(const char* name) override {
        closeDownloadPort();
        cancelled_.store(false);
        port_ = openDevice(name);
        if (port_ == INVALID_HANDLE_VALUE) {
            if (sink_ != nullptr) {
                sink_(context_, "Cannot Start Downloading!!!.", "Error");
            }
            return false;
        }
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!BuildCommDCBA("57600,n,8,1", &dcb)) {
            noteError("BuildCommDCB", name);
            return false;
        }
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        if (!SetCommState(port_, &dcb)) {
            noteError("SetCommState", name);
            return false;
        }
        return true;
    }

    void closeDownloadPort() override { closeDevice(port_); }

    bool purge() override {
        if (port_ == INVALID_HANDLE_VALUE || cancelled_.load()) {
            return false;
        }
        return PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) !=
               FALSE;
    }

    int writeByte(uint8_t value) override { return writeBlock(&value, 1); }

    int writeBlock(const uint8_t* data, uint32_t count) override {
        if (port_ == INVALID_HANDLE_VALUE || cancelled_.load()) {
            return LINK_ERR_IO;
        }
        DWORD written = 0;
        return WriteFile(port_, data, count, &written, nullptr) ? LINK_OK : LINK_ERR_IO;
    }

    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        const DWORD wanted = *count;
        *count = 0;
        if (port_ == INVALID_HANDLE_VALUE || cancelled_.load()) {
            return LINK_ERR_IO;
        }
        // Returns when every wanted byte is in or timeoutMs after the read began; no
        // write time-out.
        COMMTIMEOUTS timeouts = {timeoutMs, 0, timeoutMs, 0, 0};
        SetCommTimeouts(port_, &timeouts);
        DWORD got = 0;
        ReadFile(port_, buffer, wanted, &got, nullptr);
        *count = got;
        return got != 0 ? LINK_OK : LINK_ERR_IO;
    }

    int readByte(uint8_t* value, uint32_t timeoutMs) override {
        uint8_t byte = 0;
        uint32_t count = 1;
        if (readBlock(&byte, &count, timeoutMs) != LINK_OK) {
            return LINK_ERR_IO;
        }
        *value = byte;
        return LINK_OK;
    }

    bool openWatchPort(const char* name) override {
        closeWatchPort();
        cancelled_.store(false);
        watchLost_ = false;
        watch_ = openDevice(name);
        if (watch_ == INVALID_HANDLE_VALUE) {
            return false;
        }
        // The port's own settings, changed to 19200 8N1 without parity checking.
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        GetCommState(watch_, &dcb);
        dcb.BaudRate = 19200;
        dcb.fParity = FALSE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        SetCommState(watch_, &dcb);
        // One byte waits at most 50 + 1 * 50 ms.
        COMMTIMEOUTS timeouts = {50, 50, 50, 0, 0};
        SetCommTimeouts(watch_, &timeouts);
        return true;
    }

    bool pollWatchByte() override {
        if (watch_ == INVALID_HANDLE_VALUE || cancelled_.load()) {
            return false;
        }
        uint8_t byte = 0;
        DWORD got = 0;
        if (!ReadFile(watch_, &byte, 1, &got, nullptr)) {
            // The device is gone (an adapter unplugged): it does not come back on this handle.
            watchLost_ = true;
            return false;
        }
        return got == 1;
    }

    void closeWatchPort() override { closeDevice(watch_); }

    void cancel() override { cancelled_.store(true); }

    const char* lastError() const override { return error_; }
    PortFailure lastFailure() const override { return failure_; }
    bool watchLost() const override { return watchLost_; }

private:
    void noteError(const char* operation, const char* name) {
        const DWORD code = GetLastError();
        std::snprintf(error_, sizeof error_, "%s %s: error %lu", operation, name,
                      static_cast<unsigned long>(code));
        switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            failure_ = PortFailure::NotFound;
            break;
        // A COM port that another program holds answers "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            failure_ = PortFailure::Busy;
            break;
        default:
            failure_ = port_ != INVALID_HANDLE_VALUE ? PortFailure::Settings : PortFailure::Other;
            break;
        }
    }

    HANDLE openDevice(const char* name) {
        error_[0] = '\0';
        failure_ = PortFailure::None;
        char device[MAX_PATH + 8];
        deviceName(name, device, sizeof device);
        // Read and write, no sharing, the device must exist.
        HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            noteError("CreateFile", device);
        }
        return h;
    }

    static void closeDevice(HANDLE& h) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
        }
    }

    PortErrorSink sink_;
    void* context_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE watch_ = INVALID_HANDLE_VALUE;
    std::atomic<bool> cancelled_{false};
    char error_[MAX_PATH + 64] = "";
    PortFailure failure_ = PortFailure::None;
    bool watchLost_ = false;
};

} // namespace

std::unique_ptr<SystemSerialPort> createSystemSerialPort(PortErrorSink sink, void* context) {
    return std::make_unique<Win32SerialPort>(sink, context);
}

void systemPortErrorSink(void*, const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_TASKMODAL | MB_ICONERROR);
}

} // namespace kestrune
