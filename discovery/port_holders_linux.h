#pragma once

// Which programs hold Linux serial ports open, as fuser finds them, from the /proc tree: the
// only way to see a terminal program that takes neither flock, TIOCEXCL nor a lock file
// (minicom, for one). The roots are parameters so that tests use fake trees. And what else can
// be seen of a port without opening it.

#include <chrono>
#include <string>
#include <vector>

#include "port_discovery.h"
#include "system_linux.h"

// For each of `ports` (character devices, by path), the first process other than this one
// with a descriptor open on it, from one pass over `procRoot`. A descriptor is looked at
// further only when its link names one of the ports (as given, or as its canonical path), and
// only where this user may read it. After `limit` the pass stops, and the ports it has not
// found held are unchecked.
HolderScan ScanPortHolders(const std::vector<std::wstring>& ports, const std::string& procRoot,
                           std::chrono::milliseconds limit);

// The check for hardware ports, by whatever name they come (EnumSerialPortsFromSysfs's list, a
// DRAVIK_EXTRA_PORTS path, a named port): the ports whose node, links resolved, lies directly
// under `devRoot` and whose tty in sysfs is backed by hardware are looked up with
// ScanPortHolders; anything else (a pty) is never reported held.
HolderCheck HardwarePortHolders(const std::string& sysfsRoot, const std::string& devRoot,
                                const std::string& procRoot,
                                std::chrono::milliseconds limit = kHolderScanLimit);

// PlatformPortPeek on the lock files, PID range and console of `roots`.
PortPeek LinuxPortPeek(const SystemRoots& roots);
