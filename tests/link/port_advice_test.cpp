// The operator's words for a port that cannot be opened or does not exist. On Linux the
// permission cases are real files chowned and chmodded as root, one per line of the table.

#include "link/port_advice.h"
#include "tests/support/test_files.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune {
namespace {

#ifndef _WIN32
TEST(PermissionAdvice, NamesASerialGroupOrShowsTheUdevRule) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "chown needs root";
    }
    struct Case {
        const char* owner;
        const char* group;
        mode_t mode;
        // The sentence; PATH stands for the device, RULE for the udev remedy.
        const char* want;
    };
    const Case table[] = {
        {"root", "dialout", 0660,
         "PATH belongs to the group dialout: join it with 'sudo usermod -aG dialout root', then "
         "log in again"},
        {"root", "uucp", 0660,
         "PATH belongs to the group uucp: join it with 'sudo usermod -aG uucp root', then log in "
         "again"},
        {"root", "root", 0600, "only root can open PATH (owner root, group root, mode 0600)RULE"},
        {"root", "root", 0660, "only root can open PATH (owner root, group root, mode 0660)RULE"},
        {"root", "dialout", 0640,
         "only root can open PATH (owner root, group dialout, mode 0640)RULE"},
        {"root", "plugdev", 0660,
         "only root and the group plugdev can open PATH (owner root, group plugdev, mode 0660)"
         "RULE"},
        {"nobody", "root", 0600,
         "only nobody and root can open PATH (owner nobody, group root, mode 0600)RULE"},
        {"nobody", "plugdev", 0660,
         "only nobody, the group plugdev, and root can open PATH (owner nobody, group plugdev, "
         "mode 0660)RULE"},
        {"root", "root", 0666,
         "every user may open PATH (mode 0666), so something other than its owner and mode "
         "refuses it: an ACL (getfacl PATH) or a security module"},
    };
    const std::string rule = "; a udev rule gives it to the group dialout: echo "
                             "'KERNEL==\"tty\", GROUP=\"dialout\", MODE=\"0660\"' | sudo tee "
                             "/etc/udev/rules.d/70-serial-dialout.rules && sudo udevadm trigger, "
                             "then 'sudo usermod -aG dialout root' and log in again";
    TestFolder folder;
    const std::string path = folder.write("tty", {});
    for (const Case& c : table) {
        const passwd* pw = getpwnam(c.owner);
        const group* gr = getgrnam(c.group);
        ASSERT_TRUE(pw != nullptr && gr != nullptr) << c.owner << ":" << c.group;
        ASSERT_EQ(chown(path.c_str(), pw->pw_uid, gr->gr_gid), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        std::string want = std::regex_replace(c.want, std::regex("RULE"), rule);
        want = std::regex_replace(want, std::regex("PATH"), path);
        EXPECT_EQ(permissionAdvice(path), want)
            << c.owner << ":" << c.group << " " << std::oct << c.mode;
    }
    // Through a stable link (/dev/serial/by-id/...): the rule names the device itself.
    const std::string link = folder.file("usb-FTDI-if00");
    std::filesystem::create_symlink(path, link);
    ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const std::string viaLink = permissionAdvice(link);
    EXPECT_NE(viaLink.find("only root can open " + link), std::string::npos) << viaLink;
    EXPECT_NE(viaLink.find("KERNEL==\"tty\""), std::string::npos) << viaLink;
    // A device that is gone gets the words for a missing port.
    EXPECT_EQ(permissionAdvice(folder.file("gone")), missingPortAdvice(folder.file("gone")));
}
#endif

TEST(MissingPortAdvice, PointsToThePortListAndTheOtherPlatformsNames) {
    struct Case {
        const char* name;
        const char* want;
    };
    const Case table[] = {
#ifdef _WIN32
        {"/dev/ttyS0", "/dev/ttyS0 is a Linux name: on Windows serial ports are COM1, COM2, ... "
                       "(under Wine each COM port is mapped to a Linux device in the prefix); "
                       "'kestrune-cli ports' lists them"},
        {"COM7", "no such port COM7; 'kestrune-cli ports' lists the serial ports of this machine "
                 "(Device Manager shows which COM number a USB adapter got)"},
#else
        {"COM3", "COM3 is a Windows name: on Linux COM1 and COM2 stand for /dev/ttyS0 and "
                 "/dev/ttyS1, and other ports go by their device names (/dev/ttyUSB0, "
                 "/dev/ttyACM0); 'kestrune-cli ports' lists them"},
        {"com12", "com12 is a Windows name: on Linux COM1 and COM2 stand for /dev/ttyS0 and "
                  "/dev/ttyS1, and other ports go by their device names (/dev/ttyUSB0, "
                  "/dev/ttyACM0); 'kestrune-cli ports' lists them"},
        {"/dev/ttyUSB3", "no such device /dev/ttyUSB3 (is the adapter plugged in?); "
                         "'kestrune-cli ports' lists the serial ports of this machine"},
        {"/dev/ttyACM0", "no such device /dev/ttyACM0 (is the adapter plugged in?); "
                         "'kestrune-cli ports' lists the serial ports of this machine"},
        {"/dev/ttyS9", "no such device /dev/ttyS9; 'kestrune-cli ports' lists the serial ports of "
                       "this machine"},
        {"COMX", "no such device COMX; 'kestrune-cli ports' lists the serial ports of this "
                 "machine"},
#endif
    };
    for (const Case& c : table) {
        EXPECT_EQ(missingPortAdvice(c.name), c.want) << c.name;
    }
}

} // namespace
} // namespace kestrune
