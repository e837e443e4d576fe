#pragma once

// Writes every transfer on a port with its time since start to standard error, for a stalled
// download's post-mortem (`--trace`).

#include "common/result_codes.h"
#include "link/serial_port.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace kestrune::capture {

class TracingPort final : public SerialPort {
public:
    TracingPort(SerialPort& inner, std::string name) : inner_(inner), name_(std::move(name)) {}

    bool openDownloadPort(const char* name) override {
        const bool ok = inner_.openDownloadPort(name);
        note("open download", ok ? "ok" : "failed");
        return ok;
    }
    void closeDownloadPort() override {
        inner_.closeDownloadPort();
        note("close download", "");
    }
    bool purge() override {
        const bool ok = inner_.purge();
        note("purge", ok ? "ok" : "failed");
        return ok;
    }
    int writeByte(uint8_t value) override {
        const int r = inner_.writeByte(value);
        dump("write", &value, 1, r);
        return r;
    }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        const int r = inner_.writeBlock(data, count);
        dump("write", data, count, r);
        return r;
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        const int r = inner_.readBlock(buffer, count, timeoutMs);
        dump("read ", buffer, *count, r);
        return r;
    }
    int readByte(uint8_t* value, uint32_t timeoutMs) override {
        const int r = inner_.readByte(value, timeoutMs);
        dump("read ", value, r == LINK_OK ? 1 : 0, r);
        return r;
    }
    bool openWatchPort(const char* name) override {
        const bool ok = inner_.openWatchPort(name);
        note("open watch", ok ? "ok" : "failed");
        return ok;
    }
    bool pollWatchByte() override {
        const bool got = inner_.pollWatchByte();
        if (got) {
            note("watch", "byte");
        }
        return got;
    }
    void closeWatchPort() override {
        inner_.closeWatchPort();
        note("close watch", "");
    }

private:
    double now() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    void note(const char* what, const char* how) {
        std::fprintf(stderr, "%s: trace %9.3f %s %s\n", name_.c_str(), now(), what, how);
    }
    void dump(const char* what, const uint8_t* data, uint32_t count, int result) {
        char hex[3 * 16 + 1];
        const uint32_t shown = count < 16 ? count : 16;
        for (uint32_t i = 0; i < shown; ++i) {
            std::snprintf(hex + 3 * i, 4, " %02X", data[i]);
        }
        hex[3 * shown] = '\0';
        std::fprintf(stderr, "%s: trace %9.3f %s %5lu bytes%s%s%s\n", name_.c_str(), now(), what,
                     static_cast<unsigned long>(count), hex, count > shown ? " ..." : "",
                     result == LINK_OK ? "" : " (no data / failed)");
    }

    SerialPort& inner_;
    std::string name_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace kestrune::capture
