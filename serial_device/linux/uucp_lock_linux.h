#pragma once

// The UUCP lock file convention that Linux terminal and modem programs share: a device is in
// use while <lock dir>/LCK..<device name> names a live process, its PID written as ten ASCII
// decimal characters and a newline. Programs that keep to it (and many that also use flock or
// nothing else) are kept out of a port this tool has, and their ports are left alone.
//
// The lock directory is writable by every user, so whatever stands at a lock's name is hostile
// until checked: it is opened without blocking and without following links, and anything but
// a plain file naming a PID a process can have is a lock that names nobody. Such a lock never
// goes stale and is never removed; the port stays refused, with the file and its owner named.
// A stale lock of another user's in the sticky lock directory cannot be removed by this one:
// the port stays refused too, the lock named as stale, with its owner and the dead PID.

#include <cstdint>
#include <optional>
#include <string>

#include "serial_layer.h"
#include "system_linux.h"

class UucpLock {
  public:
    enum class Outcome {
        Taken,     // the lock file is ours until Release
        Held,      // a live process holds it, or a lock that names nobody stands
        Unlocked,  // the lock directory cannot be written: go on without a lock file
    };

    UucpLock() = default;
    ~UucpLock() { Release(); }
    UucpLock(UucpLock&& other) noexcept;
    UucpLock& operator=(UucpLock&&) = delete;
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the lock of the device at `devicePath` (its canonical path) in roots.lockDir, as
    // liblockdev and Kermit do: our PID is written to a file of our own, which is then linked
    // to the lock's name, so the lock never stands half written. A lock whose process has ended
    // is swapped for ours in one step, and kept only when what came out is still stale, so that
    // of two runs that find the same stale lock only one takes it. When Held, `holder` names
    // the lock file, its owner and the live PID it names (0 when it names nobody), or the dead
    // one of a stale lock this user may not remove.
    Outcome Take(const SystemRoots& roots, const std::string& devicePath, PortHolder& holder);
    // Whether a lock we took no longer names us (removed or replaced by another taker).
    bool Lost() const;
    // Whether the last Take found a stale lock and put ours in its place.
    bool TookOverStale() const { return m_tookOverStale; }
    // Removes our lock file, unless someone has put theirs in its place.
    void Release();

  private:
    std::string m_path;  // of our lock file; empty when we hold none
    bool m_tookOverStale = false;
};

// The lock on the device at `devicePath` (its canonical path) that stands, as Take reports a
// Held one (a stale lock where the lock directory's rules keep it from this user); nullopt
// when none stands.
std::optional<PortHolder> UucpLockHolder(const SystemRoots& roots, const std::string& devicePath);

// The lock file's name for a device: LCK.. and its path below /dev with '/' as '_' (ttyUSB0,
// pts_3), or its file name for a device elsewhere.
std::string UucpLockName(const std::string& devicePath);
