// The serial port on Win32 comm handles, the time-outs set before every read. Synchronous:
// blocking ReadFile/WriteFile, exactly the platform calls the box's line has always had.
// Overlapped: the same calls on a FILE_FLAG_OVERLAPPED handle, each waited for together with
// the cancel event, because nothing else stops a serial read in progress under Wine (neither
// CancelSynchronousIo nor CancelIoEx, PurgeComm or CloseHandle from another thread).

#include "common/result_codes.h"
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

// One handle's OVERLAPPED and its event, made at the handle's first open and reused by every
// transfer on it.
struct Transfer {
    OVERLAPPED overlapped{};
    HANDLE event = nullptr;
};

class Win32SerialPort final : public SystemSerialPort {
public:
    Win32SerialPort(PortErrorSink sink, void* context, PortIo io)
        : sink_(sink), context_(context), overlapped_(io == PortIo::Overlapped) {
        if (overlapped_) {
            // Manual reset: it stays set for every transfer on both handles until the next open.
            cancelEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
    }

    ~Win32SerialPort() override {
        closeDownloadPort();
        closeWatchPort();
        for (HANDLE event : {portTransfer_.event, watchTransfer_.event, cancelEvent_}) {
            if (event != nullptr) {
                CloseHandle(event);
            }
        }
    }

    bool openDownloadPort(const char* name) override {
        closeDownloadPort();
        clearCancel();
        port_ = openDevice(name, portTransfer_);
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
        if (overlapped_) {
            startTransfer(portTransfer_);
            const BOOL done = WriteFile(port_, data, count, nullptr, &portTransfer_.overlapped);
            return finishTransfer(port_, portTransfer_, done, written) ? LINK_OK : LINK_ERR_IO;
        }
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
        if (overlapped_) {
            startTransfer(portTransfer_);
            const BOOL done = ReadFile(port_, buffer, wanted, nullptr, &portTransfer_.overlapped);
            finishTransfer(port_, portTransfer_, done, got);
        } else {
            ReadFile(port_, buffer, wanted, &got, nullptr);
        }
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
        clearCancel();
        watchLost_ = false;
        watch_ = openDevice(name, watchTransfer_);
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
        BOOL read = FALSE;
        if (overlapped_) {
            startTransfer(watchTransfer_);
            const BOOL done = ReadFile(watch_, &byte, 1, nullptr, &watchTransfer_.overlapped);
            read = finishTransfer(watch_, watchTransfer_, done, got) ? TRUE : FALSE;
        } else {
            read = ReadFile(watch_, &byte, 1, &got, nullptr);
        }
        // Wine may end a read whose time-outs ran out with ERROR_TIMEOUT rather than with no
        // byte (seen after a session was cancelled in the middle of a frame): no byte, then.
        if (!read && !cancelled_.load() && GetLastError() != ERROR_TIMEOUT) {
            // The device is gone (an adapter unplugged): it does not come back on this handle.
            watchLost_ = true;
        }
        return read && got == 1;
    }

    void closeWatchPort() override { closeDevice(watch_); }

    void cancel() override {
        cancelled_.store(true);
        if (cancelEvent_ != nullptr) {
            SetEvent(cancelEvent_);
        }
    }

    const char* lastError() const override { return error_; }
    PortOpenError lastOpenError() const override { return failure_; }
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
            failure_ = PortOpenError::NotFound;
            break;
        // A COM port that another program holds answers "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            failure_ = PortOpenError::Busy;
            break;
        default:
            failure_ =
                port_ != INVALID_HANDLE_VALUE ? PortOpenError::Settings : PortOpenError::Other;
            break;
        }
    }

    HANDLE openDevice(const char* name, Transfer& transfer) {
        error_[0] = '\0';
        failure_ = PortOpenError::None;
        char device[MAX_PATH + 8];
        deviceName(name, device, sizeof device);
        if (overlapped_ && transfer.event == nullptr) {
            transfer.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
        if (overlapped_ && (transfer.event == nullptr || cancelEvent_ == nullptr)) {
            noteError("CreateEvent", device);
            return INVALID_HANDLE_VALUE;
        }
        // Read and write, no sharing, the device must exist.
        HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               overlapped_ ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            noteError("CreateFile", device);
        }
        return h;
    }

    // The event first: a cancel that lands in between sets the flag again at the next wait.
    void clearCancel() {
        if (cancelEvent_ != nullptr) {
            ResetEvent(cancelEvent_);
        }
        cancelled_.store(false);
    }

    static void startTransfer(Transfer& transfer) {
        ZeroMemory(&transfer.overlapped, sizeof transfer.overlapped);
        transfer.overlapped.hEvent = transfer.event;
    }

    // Waits for the ReadFile or WriteFile just started on `h` (`started` is what it returned)
    // or for cancel(), whichever comes first; a cancelled transfer is called off and its end
    // waited for, since the OVERLAPPED is reused. `done` gets the bytes moved either way.
    bool finishTransfer(HANDLE h, Transfer& transfer, BOOL started, DWORD& done) {
        done = 0;
        if (!started && GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (!started) {
            const HANDLE events[2] = {transfer.event, cancelEvent_};
            if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                cancelled_.store(true);
                CancelIoEx(h, &transfer.overlapped);
            }
        }
        return GetOverlappedResult(h, &transfer.overlapped, &done, TRUE) != FALSE;
    }

    static void closeDevice(HANDLE& h) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
        }
    }

    PortErrorSink sink_;
    void* context_;
    const bool overlapped_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE watch_ = INVALID_HANDLE_VALUE;
    Transfer portTransfer_;
    Transfer watchTransfer_;
    HANDLE cancelEvent_ = nullptr;
    std::atomic<bool> cancelled_{false};
    char error_[MAX_PATH + 64] = "";
    PortOpenError failure_ = PortOpenError::None;
    bool watchLost_ = false;
};

} // namespace

// The adapter's latency timer is the driver's setting here (Device Manager): a program cannot
// change it for one download.
std::unique_ptr<SystemSerialPort> createSystemSerialPort(PortErrorSink sink, void* context,
                                                         PortIo io, PortLatency) {
    return std::make_unique<Win32SerialPort>(sink, context, io);
}

void systemPortErrorSink(void*, const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_TASKMODAL | MB_ICONERROR);
}

} // namespace kestrune
