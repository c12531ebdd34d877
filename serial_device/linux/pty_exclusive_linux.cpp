#include "pty_exclusive_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>

namespace {

// UNIX98 pty slaves: one major, the pty's index their minor (the kernel's 20-bit minors hold
// every index it hands out).
constexpr unsigned kPtySlaveMajor = 136;

// The look reads link text only, which reaches no file's filesystem, but a machine may hold a
// great many descriptors: past this, nothing is sure and the port stays plain busy.
constexpr auto kLookLimit = std::chrono::milliseconds(500);

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

std::optional<unsigned> PtyIndex(const struct stat& node) {
    if (!S_ISCHR(node.st_mode) || major(node.st_rdev) != kPtySlaveMajor) return std::nullopt;
    return minor(node.st_rdev);
}

// The pty a master descriptor stands for, from the "tty-index:" line current kernels
// writes in its fdinfo. Without it no master is known, and its holder counts as any opener.
bool IsMasterOf(const std::string& fdinfoPath, unsigned index) {
    std::istringstream lines(ReadAttribute(fdinfoPath).value_or(""));
    for (std::string key, value; lines >> key >> value;) {
        if (key == "tty-index:") return DecimalNumber(value) == index;
    }
    return false;
}

// A node only its owner, this user, may open (devpts makes a slave 0620: the tty group may only
// write, as write(1) and wall do, and they set no mode).
bool OursAlone(const struct stat& node) {
    return node.st_uid == geteuid() && (node.st_mode & (S_IRGRP | S_IRWXO)) == 0;
}

}  // namespace

bool ExclusiveLeftBehind(const SystemRoots& roots, const std::string& devicePath,
                         const struct stat& node, int ownFd, bool lockWasStale) {
    const std::optional<unsigned> index = PtyIndex(node);
    const Dir processes(index ? opendir(roots.proc.c_str()) : nullptr);
    if (!processes) return false;
    const auto deadline = std::chrono::steady_clock::now() + kLookLimit;
    const auto self = static_cast<std::uint32_t>(getpid());
    bool sawSelf = false;
    bool hidden = false;
    while (const dirent* entry = readdir(processes.get())) {
        const std::optional<std::uint32_t> pid = DecimalNumber(entry->d_name);
        if (!pid) continue;
        const std::string processDir = roots.proc + "/" + entry->d_name;
        const Dir fds(opendir((processDir + "/fd").c_str()));
        if (!fds) {
            // A process that ended meanwhile has nothing open; another user's hides its own.
            hidden = hidden || errno == EACCES || errno == EPERM;
            continue;
        }
        sawSelf = sawSelf || *pid == self;
        bool slave = false;
        bool master = false;
        while (const dirent* fd = readdir(fds.get())) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::array<char, PATH_MAX> target{};
            const ssize_t length =
                readlinkat(dirfd(fds.get()), fd->d_name, target.data(), target.size() - 1);
            if (length <= 0) continue;
            const std::string_view link(target.data(), static_cast<std::size_t>(length));
            if (link == devicePath) {
                slave = slave || *pid != self || ownFd < 0 ||
                        DecimalNumber(fd->d_name) != static_cast<std::uint32_t>(ownFd);
            } else if (link.ends_with("/ptmx")) {
                master = master || IsMasterOf(processDir + "/fdinfo/" + fd->d_name, *index);
            }
        }
        // It has the slave open, and could have set the mode on it: a live holder.
        if (slave && !master) return false;
    }
    // Only root's processes could have opened a node of ours alone, and they stay hidden from
    // this user: the doubt is a root program that keeps the slave exclusively and keeps to no
    // lock file. A stale lock found for it speaks for the crash instead: the last program that
    // locked the port ended without unlocking it.
    return sawSelf && (!hidden || (lockWasStale && OursAlone(node)));
}
