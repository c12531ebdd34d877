#include "uucp_lock_linux.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <optional>
#include <utility>

#include "unique_fd_linux.h"

namespace {

// Tries to take a lock that others remove or take at the same moment before giving up.
constexpr int kTakeAttempts = 3;

std::uint32_t OwnPid() {
    return static_cast<std::uint32_t>(getpid());
}

// The PID a lock file names: nullopt when there is no file, 0 when it names none (empty, still
// being written by a program that does not create it atomically, or in a format of its own).
std::optional<std::uint32_t> ReadLockPid(const std::string& path) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.Valid()) return errno == ENOENT ? std::nullopt : std::optional<std::uint32_t>(0);
    std::array<char, 64> text{};
    const ssize_t count = read(fd.Get(), text.data(), text.size());
    if (count <= 0) return 0;
    const char* first = text.data();
    const char* last = first + count;
    while (first != last && *first == ' ')
        ++first;
    std::uint32_t pid = 0;
    const auto [end, error] = std::from_chars(first, last, pid);
    const bool rest = std::all_of(end, last, [](char c) { return c == '\n' || c == ' '; });
    return error == std::errc() && rest ? pid : 0;
}

// A lock stands while the process it names runs (one we may not signal runs too: EPERM; only
// ESRCH says it is gone), and for good when it names none: nothing tells that one is stale.
bool Stands(std::uint32_t pid) {
    return pid == 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

std::string UucpLockName(const std::string& devicePath) {
    std::string name = devicePath.starts_with("/dev/")
                           ? devicePath.substr(5)
                           : devicePath.substr(devicePath.find_last_of('/') + 1);
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

std::optional<std::uint32_t> UucpLockHolder(const std::string& lockDir,
                                            const std::string& devicePath) {
    const std::optional<std::uint32_t> pid = ReadLockPid(lockDir + "/" + UucpLockName(devicePath));
    if (pid && Stands(*pid)) return pid;
    return std::nullopt;
}

UucpLock::UucpLock(UucpLock&& other) noexcept : m_path(std::exchange(other.m_path, {})) {}

UucpLock::Outcome UucpLock::Take(const std::string& lockDir, const std::string& devicePath,
                                 std::uint32_t& holderPid) {
    Release();
    const std::string path = lockDir + "/" + UucpLockName(devicePath);
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                         S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH));
        if (fd.Valid()) {
            // Readable by every other program that checks it, whatever our umask.
            fchmod(fd.Get(), S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
            std::array<char, 16> text{};
            const int length =
                std::snprintf(text.data(), text.size(), "%10u\n", static_cast<unsigned>(OwnPid()));
            const bool written =
                write(fd.Get(), text.data(), static_cast<std::size_t>(length)) == length;
            fd = -1;
            if (!written) {
                // A disk too full for eleven bytes: a lock naming nobody would keep everyone
                // out for ever.
                unlink(path.c_str());
                return Outcome::Unlocked;
            }
            m_path = path;
            return Outcome::Taken;
        }
        // A directory we may not write (EACCES, EROFS, ...) still shows the others' locks.
        const bool writable = errno == EEXIST;
        const std::optional<std::uint32_t> pid = ReadLockPid(path);
        if (!pid) {
            if (!writable) return Outcome::Unlocked;
            continue;  // removed meanwhile
        }
        if (Stands(*pid)) {
            holderPid = *pid;
            return Outcome::Held;
        }
        // Left behind by a process that ended without removing it.
        if (unlink(path.c_str()) != 0 && errno != ENOENT) return Outcome::Unlocked;
    }
    holderPid = 0;
    return Outcome::Held;
}

void UucpLock::Release() {
    if (m_path.empty()) return;
    if (ReadLockPid(m_path) == OwnPid()) unlink(m_path.c_str());
    m_path.clear();
}
