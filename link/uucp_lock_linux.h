#pragma once

// The UUCP lock file convention that Linux terminal and modem programs share: a device is in
// use while <lock dir>/LCK..<device name> names a live process, its PID written as ten ASCII
// decimal characters and a newline. Programs that keep to it (and many that also use flock or
// nothing else) are kept out of a port this tool has, and their ports are left alone.

#include <cstdint>
#include <optional>
#include <string>

// The system's directory of UUCP lock files.
inline constexpr const char* kSystemLockDir = "/run/lock";

class UucpLock {
  public:
    enum class Outcome {
        Taken,     // the lock file is ours until Release
        Held,      // a live process holds it (or a lock file that names no PID stands)
        Unlocked,  // the lock directory cannot be written: go on without a lock file
    };

    UucpLock() = default;
    ~UucpLock() { Release(); }
    UucpLock(UucpLock&& other) noexcept;
    UucpLock& operator=(UucpLock&&) = delete;
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the lock of the device at `devicePath` (its canonical path) in `lockDir`. A lock
    // left by a process that no longer runs is removed first. When Held, `holderPid` is the PID
    // the file names (0 when it names none).
    Outcome Take(const std::string& lockDir, const std::string& devicePath,
                 std::uint32_t& holderPid);
    // Removes our lock file, unless someone has put theirs in its place.
    void Release();

  private:
    std::string m_path;  // of our lock file; empty when we hold none
};

// The PID named by a lock on the device at `devicePath` (its canonical path) that stands: a live
// process's, or 0 for a lock file that names none. nullopt when no lock stands.
std::optional<std::uint32_t> UucpLockHolder(const std::string& lockDir,
                                            const std::string& devicePath);

// The lock file's name for a device: LCK.. and its path below /dev with '/' as '_' (ttyUSB0,
// pts_3), or its file name for a device elsewhere.
std::string UucpLockName(const std::string& devicePath);
