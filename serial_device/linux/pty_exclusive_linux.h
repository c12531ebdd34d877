#pragma once

// Exclusive mode left behind on a pseudo-terminal. A tty's exclusive mode (TIOCEXCL) lives as
// long as the tty: a serial port's goes with its last close, so whoever set it still has the
// port. A pty slave lives on while anyone holds its master, so a host that crashed (SIGKILL)
// with the slave in exclusive mode leaves it set, and every later open but root's is refused,
// though no live program uses the line beside the one at the pty's other end.

#include <sys/stat.h>

#include <string>

#include "system_linux.h"

// Whether the exclusive mode found set on the tty `node` (at `devicePath`, its canonical path)
// was left behind: it is a pty slave, and no live process but one holding its master has the
// slave open, as roots.proc shows every process's descriptors (our own `ownFd`, -1 for none,
// aside). `lockWasStale`: the UUCP lock this open found for the device named a process that
// had ended. False whenever that cannot be told for sure: the look ran out of time, it could
// not see this process, or processes it may not look into could have opened the node.
bool ExclusiveLeftBehind(const SystemRoots& roots, const std::string& devicePath,
                         const struct stat& node, int ownFd, bool lockWasStale);
