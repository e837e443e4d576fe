#ifdef _WIN32
// The serial ports of a Windows machine: the SERIALCOMM device map, where every serial driver
// (built-in UARTs, USB adapters, modems) enters its ports as device -> COMn, and the COM names
// of the DOS device namespace for ports whose driver leaves the map out. Under Wine also the
// comN links of the prefix's dosdevices folder: a port mapped there by hand opens, but Wine
// enters it in neither of the two.

#include "link/port_list.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

namespace kestrune {

namespace {

// "COM" and a number from 1 on, any case, as CreateFile takes it; nothing else ("COMX", "COM0"
// and names such as "COM1SPECIAL" are not ports --port can name).
bool isComName(const char* name) {
    if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
        (name[2] != 'M' && name[2] != 'm') || name[3] < '1' || name[3] > '9') {
        return false;
    }
    for (const char* p = name + 4; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = char(c - 'a' + 'A');
        }
    }
    return text;
}

std::string systemMessage(DWORD code) {
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    message.erase(message.find_last_not_of(" \r\n.") + 1);
    if (message.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
        message = number;
    }
    return message;
}

// The prefix's folder as Wine gives it to its programs ("\??\Z:\home\u\.wine"), as a
// path CreateFile takes; "" outside Wine.
std::string winePrefixFolder() {
    char folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("WINECONFIGDIR", folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) {
        return "";
    }
    std::string path(folder, length);
    if (path.rfind("\\??\\", 0) == 0) {
        path.erase(0, 4);
    }
    return path;
}

// The comN links of the prefix's dosdevices folder whose device is there (a link to an
// unplugged adapter is left out, as Windows leaves out an unplugged port).
void wineLinkPorts(std::vector<PortInfo>& ports) {
    const std::string prefix = winePrefixFolder();
    if (prefix.empty()) {
        return;
    }
    const std::string folder = prefix + "\\dosdevices\\";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "com*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string link = folder + found.cFileName;
        if (isComName(found.cFileName) &&
            GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
            ports.push_back(PortInfo{upper(found.cFileName), "", "Wine dosdevices link", {}});
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

} // namespace

int deviceMapPorts(std::vector<PortInfo>& ports) {
    HKEY key;
    const LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                         KEY_QUERY_VALUE, &key);
    if (opened != ERROR_SUCCESS) {
        return int(opened);
    }
    LSTATUS status = ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        char device[256];
        DWORD deviceLength = sizeof device;
        char com[64];
        DWORD comLength = sizeof com - 1;
        DWORD type = 0;
        status = RegEnumValueA(key, index, device, &deviceLength, nullptr, &type,
                               reinterpret_cast<BYTE*>(com), &comLength);
        if (status == ERROR_NO_MORE_ITEMS) {
            status = ERROR_SUCCESS;
            break;
        }
        if (status == ERROR_MORE_DATA) {
            continue; // too long for a device and a COM name
        }
        if (status != ERROR_SUCCESS) {
            break;
        }
        com[comLength] = '\0';
        if (type == REG_SZ && isComName(com)) {
            ports.push_back(PortInfo{upper(com), "", std::string(device, deviceLength), {}});
        }
    }
    RegCloseKey(key);
    return int(status);
}

int dosDevicePorts(std::vector<PortInfo>& ports, size_t room) {
    // Every DOS device name, each ended by a NUL, the list by another; it grows with the
    // machine's drives and devices, so ask again with more room while it does not fit.
    std::vector<char> names(room < 2 ? 2 : room);
    for (;;) {
        const DWORD length = QueryDosDeviceA(nullptr, names.data(), DWORD(names.size()));
        if (length != 0) {
            names.resize(length);
            break;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 24)) {
            return int(code);
        }
        names.resize(names.size() * 4);
    }
    for (size_t at = 0; at < names.size() && names[at] != '\0';) {
        const char* name = names.data() + at;
        const size_t length = std::strlen(name);
        if (isComName(name)) {
            char target[512];
            std::string description;
            if (QueryDosDeviceA(name, target, sizeof target) != 0) {
                description = target;
            }
            ports.push_back(PortInfo{upper(name), "", description, {}});
        }
        at += length + 1;
    }
    return 0;
}

int listSerialPorts(std::vector<PortInfo>& ports, std::string& error) {
    ports.clear();
    const int mapStatus = deviceMapPorts(ports);
    std::vector<PortInfo> dosPorts;
    const int dosStatus = dosDevicePorts(dosPorts);
    wineLinkPorts(dosPorts);
    if (mapStatus != ERROR_SUCCESS && mapStatus != ERROR_FILE_NOT_FOUND && dosStatus != 0) {
        error = "cannot read HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM (" +
                systemMessage(DWORD(mapStatus)) + ") nor the DOS devices (" +
                systemMessage(DWORD(dosStatus)) + ")";
        return mapStatus;
    }
    // A name from the device map keeps the map's device; the DOS devices (and Wine's links)
    // only add ports.
    for (PortInfo& port : dosPorts) {
        bool known = false;
        for (const PortInfo& mapped : ports) {
            known = known || mapped.name == port.name;
        }
        if (!known) {
            ports.push_back(std::move(port));
        }
    }
    sortPorts(ports);
    return 0;
}

} // namespace kestrune
#endif
