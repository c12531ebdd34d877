#pragma once

// What the Linux layer and the port list ask of the system beside the device itself: small
// kernel files, the console's devices, the PID range, user and group names, and why a device
// node refuses this user. The roots are parameters so that tests use fake trees.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial_layer.h"

// The system's directory of UUCP lock files.
inline constexpr const char* kSystemLockDir = "/run/lock";

// Where the layer looks: the system's own directories, or a test's.
struct SystemRoots {
    std::string lockDir = kSystemLockDir;
    std::string proc = "/proc";
    std::string sysfs = "/sys";
    std::string dev = "/dev";
};

// A small file of the kernel's (a sysfs attribute, a /proc entry) read whole, or nullopt when
// it cannot be read.
std::optional<std::string> ReadAttribute(const std::string& path);

// A decimal number written alone, as the kernel writes them (a trailing newline or blank
// allowed), or nullopt.
std::optional<std::uint32_t> DecimalNumber(std::string_view text);

// The ttys the kernel writes its console to (<sysfsRoot>/class/tty/console/active: "tty0 ttyS0").
std::vector<std::string> ConsoleNames(const std::string& sysfsRoot);

// Whether `device` (a character device's st_rdev) carries the system console: /dev/console's
// own number (5:1), the device <roots.dev>/console leads to (a container's /dev/console is a pty
// bound over it), a virtual console (tty0, which follows the foreground one, and tty1..tty63,
// one of which is always the foreground), or a tty ConsoleNames lists.
bool IsConsoleDevice(dev_t device, const SystemRoots& roots);

// The highest PID a process can have (<procRoot>/sys/kernel/pid_max).
std::uint32_t PidMax(const std::string& procRoot);

// The account's name, or the number when the user database has none.
std::string UserName(uid_t uid);

// The node's group, and what would let this user open it, for a node that refused them.
NodeAccess AccessOf(const std::string& devicePath);
