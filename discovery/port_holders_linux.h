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
// only where this user may read it. After `limit`, or at once on a stop request, the pass is
// given up, and the ports it has not found held are unchecked.
//
// The pass runs on a thread of its own, since a look at another process's file can wait on a
// filesystem that never answers; the caller returns by the deadline whatever that thread does.
// A thread stuck in the kernel still costs its stack (mostly address space; a few pages are
// resident), a kernel task and two open directories, until its call returns. Leaving the
// process kills it, and a FUSE or NFS wait gives way to that; a wait that does not (a
// filesystem that sleeps uninterruptibly) holds the exiting process back until the call returns.
// At most a few such threads are kept: past them, every port is unchecked without a look.
HolderScan ScanPortHolders(const std::vector<std::wstring>& ports, const std::string& procRoot,
                           std::chrono::milliseconds limit, const StopToken& stop);

// The check for hardware ports, by whatever name they come (EnumSerialPortsFromSysfs's list, a
// DRAVIK_EXTRA_PORTS path, a named port): the ports whose node, links resolved, lies directly
// under `devRoot` and whose tty in sysfs is backed by hardware are looked up with
// ScanPortHolders; anything else (a pty) is never reported held.
HolderCheck HardwarePortHolders(const std::string& sysfsRoot, const std::string& devRoot,
                                const std::string& procRoot,
                                std::chrono::milliseconds limit = kHolderScanLimit);

// PlatformPortPeek on the lock files, PID range and console of `roots`.
PortPeek LinuxPortPeek(const SystemRoots& roots);
