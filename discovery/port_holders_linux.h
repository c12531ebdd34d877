#pragma once

// Which programs hold a Linux serial port open, as fuser finds them, from the /proc tree: the
// only way to see a terminal program that takes neither flock, TIOCEXCL nor a lock file
// (minicom, for one). The roots are parameters so that tests use fake trees. And what else can
// be seen of a port without opening it.

#include <optional>
#include <string>

#include "port_discovery.h"

// The first process other than this one with a descriptor open on the character device at
// `devicePath`, or nullopt. Only descriptors that lead into /dev (or `devRoot`) are looked at,
// and only where this user may read them.
std::optional<PortHolder> FindPortHolder(const std::string& devicePath, const std::string& devRoot,
                                         const std::string& procRoot);

// The check for the ports EnumSerialPortsFromSysfs lists: a port directly under `devRoot`
// whose tty in sysfs is backed by hardware is looked up with FindPortHolder; anything else (a
// DRAVIK_EXTRA_PORTS path, a pty) is never reported held.
HolderCheck HardwarePortHolders(const std::string& sysfsRoot, const std::string& devRoot,
                                const std::string& procRoot);

// PlatformPortPeek with the UUCP lock files in `lockDir` and the holders `holderOf` finds.
PortPeek LinuxPortPeek(const std::string& lockDir, HolderCheck holderOf);
