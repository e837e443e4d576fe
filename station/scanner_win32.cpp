#include "common/system_error.h"
#include "station/scanner_io.h"

#include <windows.h>

namespace kestrune::station {
namespace {

class Win32Scanner final : public ScannerDevice {
public:
    explicit Win32Scanner(HANDLE handle) : handle_(handle) {}
    ~Win32Scanner() override { CloseHandle(handle_); }

    Read readLine(std::string& line, int ms) override {
        for (;;) {
            if (takeScanLine(pending_, line)) {
                return Read::Line;
            }
            if (ms != timeoutMs_ && !setTimeout(ms)) {
                return Read::Gone;
            }
            char buffer[256];
            DWORD n = 0;
            if (!ReadFile(handle_, buffer, sizeof buffer, &n, nullptr)) {
                return Read::Gone; // the adapter was pulled
            }
            if (n == 0) {
                return Read::Nothing;
            }
            pending_.append(buffer, n);
            ms = 0; // what is there is read; the rest of the line comes at the next call
        }
    }

private:
    // A read returns as soon as a byte is there, or after `ms` with none (0: at once), so
    // that the scanner's thread sees a stop.
    bool setTimeout(int ms) {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = ms > 0 ? MAXDWORD : 0;
        timeouts.ReadTotalTimeoutConstant = ms > 0 ? static_cast<DWORD>(ms) : 0;
        if (!SetCommTimeouts(handle_, &timeouts)) {
            return false;
        }
        timeoutMs_ = ms;
        return true;
    }

    HANDLE handle_;
    int timeoutMs_ = -1;
    std::string pending_;
};

} // namespace

std::unique_ptr<ScannerDevice> openScanner(const std::string& path, std::string& error) {
    if (path == SCANNER_STDIN) {
        error = "a keyboard-wedge scanner is not read in the Windows build; set the scanner to "
                "its serial (CDC) mode and give its COM port";
        return nullptr;
    }
    // COM10 and above are only opened under the device prefix; it does for COM1-COM9 too.
    const std::string name = path.rfind("\\\\.\\", 0) == 0 ? path : "\\\\.\\" + path;
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = systemErrorText(lastSystemError());
        return nullptr;
    }
    // Eight data bits, no parity, no flow control, at the speed the port has: the bytes as
    // they come, as on POSIX.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle, &dcb)) {
        dcb.fBinary = TRUE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.fParity = FALSE;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        SetCommState(handle, &dcb);
    }
    return std::make_unique<Win32Scanner>(handle);
}

} // namespace kestrune::station
