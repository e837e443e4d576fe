#include "link/port_advice.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrune {
namespace {

// The groups distributions give their serial devices: Debian and Fedora dialout, Arch uucp.
bool isSerialGroup(const std::string& group) {
    return group == "dialout" || group == "uucp";
}

std::string userName() {
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr) {
        return pw->pw_name;
    }
    const char* user = std::getenv("USER");
    return user != nullptr && *user != '\0' ? user : "$USER";
}

std::string groupName(gid_t gid) {
    if (const group* gr = getgrgid(gid); gr != nullptr) {
        return gr->gr_name;
    }
    return std::to_string(gid);
}

std::string ownerName(uid_t uid) {
    if (const passwd* pw = getpwuid(uid); pw != nullptr) {
        return pw->pw_name;
    }
    return std::to_string(uid);
}

// Whether this session already has `gid` among its groups.
bool sessionHasGroup(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    const int count = getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

// Whether the group database lists `user` in the group (a joining that a new login brings).
bool databaseHasMember(gid_t gid, const std::string& user) {
    const group* gr = getgrgid(gid);
    if (gr == nullptr) {
        return false;
    }
    for (char** member = gr->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (user == *member) {
            return true;
        }
    }
    const passwd* pw = getpwnam(user.c_str());
    return pw != nullptr && pw->pw_gid == gid;
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

} // namespace

std::string permissionAdvice(const std::string& device) {
    struct stat st {};
    if (stat(device.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return missingPortAdvice(device);
        }
        return device + " cannot be looked at (" + std::strerror(errno) + ")";
    }
    const std::string user = userName();
    const std::string group = groupName(st.st_gid);
    const std::string owner = ownerName(st.st_uid);
    constexpr mode_t RW_GROUP = S_IRGRP | S_IWGRP;
    constexpr mode_t RW_OTHER = S_IROTH | S_IWOTH;
    const bool groupMay = (st.st_mode & RW_GROUP) == RW_GROUP;

    if ((st.st_mode & RW_OTHER) == RW_OTHER) {
        return "every user may open " + device + " (mode " + octalMode(st.st_mode) +
               "), so something other than its owner and mode refuses it: an ACL (getfacl " +
               device + ") or a security module";
    }
    if (groupMay && isSerialGroup(group)) {
        if (sessionHasGroup(st.st_gid)) {
            return device + " belongs to the group " + group + " (mode " + octalMode(st.st_mode) +
                   "), which this session has: something other than " +
                   "its mode refuses it (an ACL: getfacl " + device + ")";
        }
        if (databaseHasMember(st.st_gid, user)) {
            return device + " belongs to the group " + group + ", which " + user +
                   " joined after this session began: log in again (or run 'newgrp " + group + "')";
        }
        return device + " belongs to the group " + group + ": join it with 'sudo usermod -aG " +
               group + " " + user + "', then log in again";
    }

    // Nobody but the owner (and root), or a group that is not one for serial devices: joining
    // that group would open far more than a port, so the remedy is to give the device to
    // dialout.
    std::string who;
    if (st.st_uid == 0) {
        who = groupMay && st.st_gid != 0 ? "only root and the group " + group : "only root";
    } else {
        who = "only " + owner + (groupMay ? ", the group " + group + "," : "") + " and root";
    }
    // udev matches the kernel's name (ttyUSB0), not a by-id link to it.
    std::string kernelName = std::filesystem::path(device).filename().string();
    if (char* real = realpath(device.c_str(), nullptr); real != nullptr) {
        kernelName = std::filesystem::path(real).filename().string();
        std::free(real);
    }
    const std::string rule = "KERNEL==\"" + kernelName + "\", GROUP=\"dialout\", MODE=\"0660\"";
    return who + " can open " + device + " (owner " + owner + ", group " + group + ", mode " +
           octalMode(st.st_mode) + "); a udev rule gives it to the group dialout: echo '" + rule +
           "' | sudo tee /etc/udev/rules.d/70-serial-dialout.rules && sudo udevadm trigger, then "
           "'sudo usermod -aG dialout " +
           user + "' and log in again";
}

std::string missingPortAdvice(const std::string& name) {
    // COM1 and COM2 stand for /dev/ttyS0 and /dev/ttyS1 here; any other COM name is Windows'.
    const bool windowsName = name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
                             (name[1] == 'O' || name[1] == 'o') &&
                             (name[2] == 'M' || name[2] == 'm') &&
                             name.find_first_not_of("0123456789", 3) == std::string::npos;
    if (windowsName) {
        return name + " is a Windows name: on Linux COM1 and COM2 stand for /dev/ttyS0 and "
                      "/dev/ttyS1, and other ports go by their device names (/dev/ttyUSB0, "
                      "/dev/ttyACM0); 'kestrune-cli ports' lists them";
    }
    const std::string base = std::filesystem::path(name).filename().string();
    if (base.rfind("ttyUSB", 0) == 0 || base.rfind("ttyACM", 0) == 0) {
        return "no such device " + name +
               " (is the adapter plugged in?); 'kestrune-cli ports' lists the serial ports of "
               "this machine";
    }
    return "no such device " + name +
           "; 'kestrune-cli ports' lists the serial ports of this "
           "machine";
}

} // namespace kestrune
