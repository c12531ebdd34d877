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
#include "utf8_text.h"

namespace {

// Tries to take a lock that others remove or take at the same moment before giving up.
constexpr int kTakeAttempts = 3;

std::uint32_t OwnPid() {
    return static_cast<std::uint32_t>(getpid());
}

// What stands at a lock's name, as read once.
struct LockFile {
    bool present = false;
    uid_t owner = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::optional<std::int64_t> number;  // the one decimal number a plain file holds
};

LockFile ReadLock(const std::string& path) {
    LockFile lock;
    struct stat info {};
    // Never blocks (a FIFO planted there), never follows a link, never makes a tty ours.
    const UniqueFd fd(
        open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    // What will not open (a symlink, a socket, a file we may not read) still shows whose it
    // is. Nothing to see (ENOENT, or a lock directory we may not search) is no lock.
    const bool seen = fd.Valid() ? fstat(fd.Get(), &info) == 0
                                 : fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (!seen) return lock;
    lock = {true, info.st_uid, info.st_dev, info.st_ino, std::nullopt};
    if (!fd.Valid() || !S_ISREG(info.st_mode)) return lock;
    std::array<char, 64> text{};
    const ssize_t count = read(fd.Get(), text.data(), text.size());
    // A PID takes eleven bytes; what fills the buffer is no PID.
    if (count <= 0 || count == static_cast<ssize_t>(text.size())) return lock;
    const char* first = text.data();
    const char* last = first + count;
    while (first != last && *first == ' ')
        ++first;
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(first, last, number);
    const bool rest = std::all_of(end, last, [](char c) { return c == '\n' || c == ' '; });
    if (error == std::errc() && rest) lock.number = number;
    return lock;
}

// pid_max, read the first time a lock names a number, then kept for the rest of one look.
class PidLimit {
  public:
    explicit PidLimit(const std::string& procRoot) : m_procRoot(procRoot) {}
    std::uint32_t Get() {
        if (!m_max) m_max = PidMax(m_procRoot);
        return *m_max;
    }

  private:
    const std::string& m_procRoot;
    std::optional<std::uint32_t> m_max;
};

enum class Verdict {
    Absent,
    Live,    // names a running process
    Nobody,  // stands for good: nothing tells it is stale
    Stale,   // names a process that has ended
};

Verdict Judge(const LockFile& lock, PidLimit& limit) {
    if (!lock.present) return Verdict::Absent;
    if (!lock.number || *lock.number <= 0 || *lock.number > limit.Get()) return Verdict::Nobody;
    // One we may not signal runs too (EPERM); only ESRCH says it is gone.
    if (kill(static_cast<pid_t>(*lock.number), 0) == 0 || errno == EPERM) return Verdict::Live;
    return Verdict::Stale;
}

// A lock that stands at `path`, as the operator reads of it: a stale one with the PID of the
// process that has ended.
PortHolder Named(const std::string& path, const LockFile& lock, Verdict verdict) {
    const bool stale = verdict == Verdict::Stale;
    const std::uint32_t pid =
        verdict == Verdict::Live || stale ? static_cast<std::uint32_t>(*lock.number) : 0;
    return {L"", pid, WideFromBytes(path), WideFromBytes(UserName(lock.owner)), stale};
}

// Whether a stale lock at `path` would stay where Take finds it, as far as the rules of the
// directory tell: another user's file in a sticky directory (as /run/lock is) may be removed or
// replaced only by its owner, the directory's or root. A directory this user may not write is
// none of that: Take goes on without a lock there.
bool KeptFromUs(const std::string& path, const LockFile& lock) {
    const std::string dir = path.substr(0, path.find_last_of('/'));
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 ||
        faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return false;
    }
    const uid_t us = geteuid();
    return (info.st_mode & S_ISVTX) != 0 && lock.owner != us && info.st_uid != us && us != 0;
}

bool Standing(const std::string& path, PidLimit& limit, PortHolder& holder) {
    const LockFile lock = ReadLock(path);
    const Verdict verdict = Judge(lock, limit);
    const bool stays = verdict == Verdict::Live || verdict == Verdict::Nobody ||
                       (verdict == Verdict::Stale && KeptFromUs(path, lock));
    if (!stays) return false;
    holder = Named(path, lock, verdict);
    return true;
}

// Our PID, complete, in a file of our own beside the lock (Kermit's LTMP.<pid>), removed again
// with its owner: linked to the lock's name, it is the lock.
class PidFile {
  public:
    explicit PidFile(const std::string& lockDir) {
        std::string path = lockDir + "/LTMP." + std::to_string(OwnPid()) + ".XXXXXX";
        const UniqueFd fd(mkostemp(path.data(), O_CLOEXEC));
        if (!fd.Valid()) return;
        // Readable by every other program that checks it, whatever our umask.
        fchmod(fd.Get(), S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
        std::array<char, 16> text{};
        const int length =
            std::snprintf(text.data(), text.size(), "%10u\n", static_cast<unsigned>(OwnPid()));
        // A disk too full for eleven bytes: a lock naming nobody would keep everyone out.
        if (write(fd.Get(), text.data(), static_cast<std::size_t>(length)) != length) {
            unlink(path.c_str());
            return;
        }
        m_path = std::move(path);
    }
    ~PidFile() {
        if (!m_path.empty()) unlink(m_path.c_str());
    }
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    bool Made() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    // What now stands at our name is someone else's: it stays.
    void Disown() { m_path.clear(); }

    // Whether the file is now also the lock at `lockPath`; errno says why not.
    bool LinkTo(const std::string& lockPath) const {
        if (link(m_path.c_str(), lockPath.c_str()) == 0) return true;
        const int error = errno;
        // Over NFS a link that was made can be reported failed: the link count tells.
        struct stat info {};
        if (stat(m_path.c_str(), &info) == 0 && info.st_nlink == 2) return true;
        errno = error;
        return false;
    }

  private:
    std::string m_path;
};

enum class Swap {
    Taken,    // the stale lock is out, ours stands
    Again,    // what stands at the name is to be looked at again
    Refused,  // the stale lock may not be removed by this user (another's, in a sticky directory)
};

bool Forbidden(int error) {
    return error == EPERM || error == EACCES;
}

// Puts our lock in place of the stale one at `lockPath` in one step, so the name never stands
// empty for another program to take, and judges what came out: Taken when it was still stale
// (it now has our file's name, and goes with it), else it is put back. A run that judged the same
// lock stale a moment ago and swaps now gets our live lock out, and puts it back.
Swap SwapForStale(PidFile& ours, const std::string& lockPath, const LockFile& stale,
                  PidLimit& limit) {
    if (renameat2(AT_FDCWD, ours.Path().c_str(), AT_FDCWD, lockPath.c_str(), RENAME_EXCHANGE) !=
        0) {
        if (Forbidden(errno)) return Swap::Refused;
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without the exchange (NFS): the lock is read again and removed
            // only when it is still the file that was judged, with the same dead PID.
            const LockFile again = ReadLock(lockPath);
            if (again.device == stale.device && again.inode == stale.inode &&
                again.number == stale.number && Judge(again, limit) == Verdict::Stale &&
                unlink(lockPath.c_str()) != 0 && Forbidden(errno)) {
                return Swap::Refused;
            }
        }
        return Swap::Again;
    }
    if (Judge(ReadLock(ours.Path()), limit) == Verdict::Stale) return Swap::Taken;
    if (renameat2(AT_FDCWD, ours.Path().c_str(), AT_FDCWD, lockPath.c_str(), RENAME_EXCHANGE) !=
        0) {
        // Cannot happen unless someone removed our live lock meanwhile; what we swapped out
        // is left where it is, and the next look finds whatever stands at the name.
        ours.Disown();
    }
    return Swap::Again;
}

}  // namespace

std::string UucpLockName(const std::string& devicePath) {
    std::string name = devicePath.starts_with("/dev/")
                           ? devicePath.substr(5)
                           : devicePath.substr(devicePath.find_last_of('/') + 1);
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

std::optional<PortHolder> UucpLockHolder(const SystemRoots& roots, const std::string& devicePath) {
    PidLimit limit(roots.proc);
    PortHolder holder;
    if (!Standing(roots.lockDir + "/" + UucpLockName(devicePath), limit, holder)) {
        return std::nullopt;
    }
    return holder;
}

UucpLock::UucpLock(UucpLock&& other) noexcept
    : m_path(std::exchange(other.m_path, {})), m_tookOverStale(other.m_tookOverStale) {}

UucpLock::Outcome UucpLock::Take(const SystemRoots& roots, const std::string& devicePath,
                                 PortHolder& holder) {
    Release();
    m_tookOverStale = false;
    const std::string path = roots.lockDir + "/" + UucpLockName(devicePath);
    PidLimit limit(roots.proc);
    PidFile ours(roots.lockDir);
    // A directory we may not write (EACCES, EROFS, ...) still shows the others' locks.
    const auto unwritable = [&] {
        return Standing(path, limit, holder) ? Outcome::Held : Outcome::Unlocked;
    };
    if (!ours.Made()) return unwritable();
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        if (ours.LinkTo(path)) {
            m_path = path;
            return Outcome::Taken;
        }
        if (errno != EEXIST) return unwritable();
        const LockFile found = ReadLock(path);
        const Verdict verdict = Judge(found, limit);
        switch (verdict) {
            case Verdict::Absent:  // removed meanwhile
                break;
            case Verdict::Live:
            case Verdict::Nobody:
                holder = Named(path, found, verdict);
                return Outcome::Held;
            case Verdict::Stale: {
                const Swap swap = SwapForStale(ours, path, found, limit);
                if (swap == Swap::Taken) {
                    m_path = path;
                    m_tookOverStale = true;
                    return Outcome::Taken;
                }
                if (swap == Swap::Refused) {
                    holder = Named(path, found, verdict);
                    return Outcome::Held;
                }
                if (!ours.Made()) return unwritable();
                break;
            }
        }
    }
    holder = {};
    return Outcome::Held;
}

bool UucpLock::Lost() const {
    return !m_path.empty() && ReadLock(m_path).number != std::int64_t{OwnPid()};
}

void UucpLock::Release() {
    if (m_path.empty()) return;
    if (ReadLock(m_path).number == std::int64_t{OwnPid()}) unlink(m_path.c_str());
    m_path.clear();
}
