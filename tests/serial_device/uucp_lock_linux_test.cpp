// The UUCP lock files in a scratch lock directory, with a fake /proc for pid_max: whatever any
// user may plant at a lock's name and what Take makes of it, and two runs that find the same
// stale lock at once. The device is only named, never opened.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "holder_process.h"
#include "scratch_dir.h"
#include "sim_process.h"
#include "test_support.h"
#include "uucp_lock_linux.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDevice = "/dev/ttyFAKE0";

// A lock directory, and a /proc with nothing but sys/kernel/pid_max.
struct LockPlace {
    LockPlace() {
        fs::create_directories(Proc() + "/sys/kernel");
        fs::create_directory(Locks());
    }
    std::string Locks() const { return root.Path() + "/locks"; }
    std::string Proc() const { return root.Path() + "/proc"; }
    std::string PidMax() const { return Proc() + "/sys/kernel/pid_max"; }
    std::string Lock() const { return Locks() + "/LCK..ttyFAKE0"; }
    SystemRoots Roots() const { return {.lockDir = Locks(), .proc = Proc()}; }
    // The lock directory's one entry, if it is the lock, as its text; "" when it has none.
    std::string Only() const {
        std::ostringstream text;
        if (std::distance(fs::directory_iterator(Locks()), {}) == 1)
            text << std::ifstream(Lock()).rdbuf();
        return text.str();
    }
    const ScratchDir root;
};

std::string PidText(long long pid) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%10lld\n", pid);
    return text.data();
}

TEST(UucpLockFile, WhatStandsAtTheLocksNameDecidesAndOnlyAStaleLockIsRemoved) {
    const auto parent = static_cast<std::uint32_t>(getppid());  // a live process, not us
    const auto dead = static_cast<std::uint32_t>(DeadPid());
    // Above every PID a case names, below others that may run on the machine.
    const std::uint32_t pidMax = std::max(parent, dead) + 1;
    const auto text = [](std::string content) {
        return [content](const std::string& path) { std::ofstream(path) << content; };
    };
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> plant;
        bool taken;
        std::uint32_t pid;  // the live PID a refusal names
    };
    const std::vector<Case> cases = {
        {"nothing", [](const std::string&) {}, true, 0},
        {"a live process's", text(PidText(parent)), false, parent},
        {"init's", text(PidText(1)), false, 1},
        {"a dead process's", text(PidText(dead)), true, 0},
        {"garbage", text("minicom\n"), false, 0},
        {"PID 0", text(PidText(0)), false, 0},
        {"a negative PID", text(PidText(-5)), false, 0},
        {"a PID above pid_max", text(PidText(pidMax + 1)), false, 0},
        {"a binary PID", text(std::string(reinterpret_cast<const char*>(&parent), 4)), false, 0},
        {"a directory", [](const std::string& path) { fs::create_directory(path); }, false, 0},
        {"a FIFO", [](const std::string& path) { mkfifo(path.c_str(), 0644); }, false, 0},
        {"a symlink to a live process's lock",
         [parent](const std::string& path) {
             std::ofstream(path + "-real") << PidText(parent);
             fs::create_symlink(path + "-real", path);
         },
         false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LockPlace place;
        std::ofstream(place.PidMax()) << pidMax << "\n";
        c.plant(place.Lock());
        struct stat before {};
        lstat(place.Lock().c_str(), &before);
        const PortHolder refusal{L"", c.pid, WidePath(place.Lock()),
                                 WidePath(getpwuid(geteuid())->pw_name)};
        EXPECT_EQ(UucpLockHolder(place.Roots(), kDevice),
                  c.taken ? std::nullopt : std::optional(refusal));

        UucpLock lock;
        PortHolder holder;
        const UucpLock::Outcome outcome = lock.Take(place.Roots(), kDevice, holder);
        if (!c.taken) {
            EXPECT_EQ(outcome, UucpLock::Outcome::Held);
            EXPECT_EQ(holder, refusal);
            struct stat after {};
            lstat(place.Lock().c_str(), &after);
            EXPECT_TRUE(after.st_ino == before.st_ino &&
                        after.st_ctim.tv_nsec == before.st_ctim.tv_nsec)
                << "a lock that stands was touched";
            continue;
        }
        EXPECT_EQ(outcome, UucpLock::Outcome::Taken);
        EXPECT_EQ(place.Only(), PidText(getpid())) << "not our lock alone";
        lock.Release();
        EXPECT_EQ(place.Only(), "") << "our lock outlived Release";
    }
}

// Another user's stale lock in a sticky lock directory (as /run/lock is), which this one may
// not remove: the port stays refused, the lock named as stale with its owner and the dead PID,
// by Take as by a look, and the lock is left as it is.
TEST(UucpLockFile, AStaleLockThisUserMayNotRemoveIsNamedStale) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can look as another user";
    const LockPlace place;
    ASSERT_EQ(chmod(place.root.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(place.Locks().c_str(), 01777), 0);
    std::ofstream(place.PidMax()) << "4194304\n";
    const auto dead = static_cast<std::uint32_t>(DeadPid());
    std::ofstream(place.Lock()) << PidText(dead);
    const PortHolder stale{L"", dead, WidePath(place.Lock()), WidePath(getpwuid(0)->pw_name), true};
    EXPECT_EXIT(
        {
            const bool dropped = setgroups(0, nullptr) == 0 &&
                                 setresgid(65534, 65534, 65534) == 0 &&
                                 setresuid(65534, 65534, 65534) == 0;
            UucpLock lock;
            PortHolder holder;
            const bool held = lock.Take(place.Roots(), kDevice, holder) == UucpLock::Outcome::Held;
            std::_Exit(dropped && held && holder == stale &&
                               UucpLockHolder(place.Roots(), kDevice) == std::optional(stale)
                           ? 0
                           : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(place.Only(), PidText(dead)) << "the stale lock was touched, or ours left behind";
}

// Run A finds the stale lock and is held up (reading pid_max, a FIFO here) while run B removes
// it and takes the lock; when A goes on, B's lock stands and names B.
TEST(UucpLockFile, OfTwoRunsThatFindTheSameStaleLockOnlyOneTakesIt) {
    const LockPlace place;
    const LockPlace slow;  // A's /proc
    std::ofstream(place.PidMax()) << "4194304\n";
    ASSERT_EQ(mkfifo(slow.PidMax().c_str(), 0600), 0);
    std::ofstream(place.Lock()) << PidText(DeadPid());
    std::array<int, 2> result{-1, -1};
    ASSERT_EQ(pipe2(result.data(), O_CLOEXEC), 0);
    const int a = fork();
    if (a == 0) {
        UucpLock lock;
        PortHolder holder;
        const bool held = lock.Take({.lockDir = place.Locks(), .proc = slow.Proc()}, kDevice,
                                    holder) == UucpLock::Outcome::Held;
        const std::uint32_t named = held ? holder.pid : 0;
        _exit(write(result[1], &named, sizeof named) == sizeof named ? 0 : 1);
    }
    close(result[1]);
    int fifo = -1;  // opens once A is reading pid_max
    EXPECT_TRUE(
        PollUntil([&] { return (fifo = open(slow.PidMax().c_str(), O_WRONLY | O_NONBLOCK)) >= 0; },
                  kPtyWaitLimit));

    UucpLock b;
    PortHolder holder;
    EXPECT_EQ(b.Take(place.Roots(), kDevice, holder), UucpLock::Outcome::Taken);
    EXPECT_EQ(write(fifo, "4194304\n", 8), 8);
    close(fifo);
    std::uint32_t aSaw = 0;
    EXPECT_EQ(read(result[0], &aSaw, sizeof aSaw), static_cast<ssize_t>(sizeof aSaw));
    close(result[0]);
    waitpid(a, nullptr, 0);
    EXPECT_EQ(aSaw, static_cast<std::uint32_t>(getpid())) << "A did not find B's lock standing";
    EXPECT_EQ(place.Only(), PidText(getpid()));

    // Should another run replace B's lock all the same, B sees it lost and leaves it.
    std::ofstream(place.Lock() + "-new") << PidText(getppid());
    fs::rename(place.Lock() + "-new", place.Lock());
    EXPECT_TRUE(b.Lost());
    b.Release();
    EXPECT_EQ(place.Only(), PidText(getppid()));
}

}  // namespace
