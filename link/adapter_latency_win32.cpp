#ifdef _WIN32
// A USB serial adapter's latency on Windows: FTDI's driver keeps the latency timer as the
// value LatencyTimer (milliseconds) among the device's parameters, where the Device Manager's
// advanced port settings write it; the port is found by its PortName there. Only read: the
// driver takes a new value when the adapter is plugged in again, so a program cannot lower it
// for one download.

#include "link/adapter_latency.h"
#include "link/port_identity.h"

// windows.h first: setupapi.h uses its types.
#include <windows.h>
// clang-format off
#include <setupapi.h>
// clang-format on

namespace kestrune {

namespace {

// The Ports (COM & LPT) device class.
constexpr GUID PORTS_CLASS = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// A string value of an open key, "" when there is none.
std::string stringValue(HKEY key, const char* name) {
    char text[256];
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return "";
    }
    text[size] = '\0';
    return text;
}

} // namespace

LatencyFacts readLatencyFacts(const std::string& port) {
    LatencyFacts facts;
    const std::string wanted = portIdentity(port);
    HDEVINFO devices = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return facts;
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        const std::string name = stringValue(key, "PortName");
        DWORD timer = 0;
        DWORD type = 0;
        DWORD size = sizeof timer;
        const bool told =
            !name.empty() && portIdentity(name) == wanted &&
            RegQueryValueExA(key, "LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&timer),
                             &size) == ERROR_SUCCESS &&
            type == REG_DWORD;
        RegCloseKey(key);
        if (!told) {
            continue;
        }
        facts.adapter = true;
        facts.timerMs = timer > 255 ? 255 : int(timer);
        facts.control = LatencyControl::DriverSetting;
        char instance[512];
        if (SetupDiGetDeviceInstanceIdA(devices, &device, instance, sizeof instance, nullptr)) {
            facts.where = std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\") +
                          instance + "\\Device Parameters";
        }
        break;
    }
    SetupDiDestroyDeviceInfoList(devices);
    return facts;
}

} // namespace kestrune
#endif
