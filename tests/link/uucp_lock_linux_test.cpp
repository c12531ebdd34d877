// The UUCP lock files in a scratch lock directory, with a fake /proc for pid_max: whatever any
// user may plant at a lock's name and what Take makes of it, and two runs that find the same
// stale lock at once. The device is only named, never opened.

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "sim_process.h"
#include "test_support.h"
#include "uucp_lock_linux.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDevice = "/dev/ttyFAKE0";

// A lock directory and a /proc whose sys/kernel/pid_max is the caller's.
class LockPlace {
  public:
    LockPlace() {
        fs::create_directories(Locks());
        fs::create_directories(Proc() + "/sys/kernel");
    }
    bool Ok() const { return m_root.Ok(); }
    std::string Locks() const { return m_root.Path() + "/locks"; }
    std::string Proc() const { return m_root.Path() + "/proc"; }
    std::string PidMaxPath() const { return Proc() + "/sys/kernel/pid_max"; }
    std::string LockPath() const { return Locks() + "/LCK..ttyFAKE0"; }
    SystemRoots Roots() const { return {.lockDir = Locks(), .proc = Proc()}; }

    // What stands in the lock directory: each entry's name, type and content (or target).
    std::string Contents() const {
        std::ostringstream seen;
        for (const fs::directory_entry& entry : fs::directory_iterator(Locks())) {
            seen << entry.path().filename().string() << ' ';
            if (entry.is_symlink()) {
                seen << "-> " << fs::read_symlink(entry.path()).string();
            } else if (entry.is_regular_file()) {
                seen << '"' << (std::ostringstream() << std::ifstream(entry.path()).rdbuf()).str()
                     << '"';
            } else {
                seen << static_cast<int>(entry.status().type());
            }
            seen << '\n';
        }
        return seen.str();
    }

  private:
    ScratchDir m_root;
};

// A PID as lock files carry it: ten characters and a newline.
std::string PidText(long long pid) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%10lld\n", pid);
    return text.data();
}

int DeadPid() {
    const int pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

std::wstring OwnerName() {
    return WidePath(getpwuid(geteuid())->pw_name);
}

TEST(UucpLockFile, WhatStandsAtTheLocksNameDecidesAndOnlyAStaleLockIsRemoved) {
    using O = UucpLock::Outcome;
    const auto parent = static_cast<std::uint32_t>(getppid());  // a live process, not us
    const auto dead = static_cast<std::uint32_t>(DeadPid());
    // Above every PID a case names, below others that may be running on the machine.
    const std::uint32_t pidMax = std::max(parent, dead) + 1;
    const auto text = [](std::string content) {
        return [content](const std::string& path) { std::ofstream(path) << content; };
    };
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> plant;
        O outcome;
        std::uint32_t pid;  // the live PID a refusal names
    };
    const std::vector<Case> cases = {
        {"nothing", [](const std::string&) {}, O::Taken, 0},
        {"a live process's", text(PidText(parent)), O::Held, parent},
        {"init's", text(PidText(1)), O::Held, 1},
        {"a dead process's", text(PidText(dead)), O::Taken, 0},
        {"garbage", text("minicom\n"), O::Held, 0},
        {"empty", text(""), O::Held, 0},
        {"PID 0", text(PidText(0)), O::Held, 0},
        {"a negative PID", text(PidText(-5)), O::Held, 0},
        {"a PID above pid_max", text(PidText(pidMax + 1)), O::Held, 0},
        {"a binary PID", text(std::string(reinterpret_cast<const char*>(&parent), 4)), O::Held, 0},
        {"a directory", [](const std::string& path) { fs::create_directory(path); }, O::Held, 0},
        {"a FIFO", [](const std::string& path) { mkfifo(path.c_str(), 0644); }, O::Held, 0},
        {"a symlink to a live process's lock",
         [parent](const std::string& path) {
             std::ofstream(path + ".elsewhere") << PidText(parent);
             fs::create_symlink(path + ".elsewhere", path);
         },
         O::Held, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LockPlace place;
        ASSERT_TRUE(place.Ok());
        std::ofstream(place.PidMaxPath()) << pidMax << "\n";
        c.plant(place.LockPath());
        const std::string planted = place.Contents();
        const PortHolder refusal{L"", c.pid, WidePath(place.LockPath()), OwnerName()};
        EXPECT_EQ(UucpLockHolder(place.Roots(), kDevice),
                  c.outcome == O::Held ? std::optional(refusal) : std::nullopt);

        UucpLock lock;
        PortHolder holder;
        EXPECT_EQ(lock.Take(place.Roots(), kDevice, holder), c.outcome);
        if (c.outcome == O::Held) {
            EXPECT_EQ(holder, refusal);
            EXPECT_EQ(place.Contents(), planted) << "a lock that stands was touched";
            continue;
        }
        EXPECT_EQ(place.Contents(), "LCK..ttyFAKE0 \"" + PidText(getpid()) + "\"\n");
        EXPECT_FALSE(lock.Lost());
        lock.Release();
        EXPECT_EQ(place.Contents(), "") << "our lock outlived Release";
    }
}

// Run A finds the stale lock and is held up (reading pid_max, a FIFO here) while run B removes
// it and takes the lock; when A goes on, B's lock stands and names B.
TEST(UucpLockFile, OfTwoRunsThatFindTheSameStaleLockOnlyOneTakesIt) {
    const LockPlace place;
    const LockPlace slowProc;  // only its pid_max is used: A's
    ASSERT_TRUE(place.Ok() && slowProc.Ok());
    std::ofstream(place.PidMaxPath()) << "4194304\n";
    ASSERT_EQ(mkfifo(slowProc.PidMaxPath().c_str(), 0600), 0);
    std::ofstream(place.LockPath()) << PidText(DeadPid());

    std::array<int, 2> result{-1, -1};
    ASSERT_EQ(pipe2(result.data(), O_CLOEXEC), 0);
    const int a = fork();
    if (a == 0) {
        close(result[0]);
        UucpLock lock;
        PortHolder holder;
        const SystemRoots roots{.lockDir = place.Locks(), .proc = slowProc.Proc()};
        const bool held = lock.Take(roots, kDevice, holder) == UucpLock::Outcome::Held;
        const std::uint32_t reply = held ? holder.pid : 0;
        const bool sent = write(result[1], &reply, sizeof reply) == sizeof reply;
        lock.Release();
        _exit(sent ? 0 : 1);
    }
    close(result[1]);
    ASSERT_GT(a, 0);
    // A is at pid_max once the FIFO has a reader.
    int slow = -1;
    EXPECT_TRUE(PollUntil(
        [&] {
            slow = open(slowProc.PidMaxPath().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return slow >= 0;
        },
        kPtyWaitLimit));

    UucpLock b;
    PortHolder holder;
    EXPECT_EQ(b.Take(place.Roots(), kDevice, holder), UucpLock::Outcome::Taken);
    EXPECT_EQ(write(slow, "4194304\n", 8), 8);
    close(slow);

    std::uint32_t aSaw = 0;
    EXPECT_EQ(read(result[0], &aSaw, sizeof aSaw), static_cast<ssize_t>(sizeof aSaw));
    close(result[0]);
    int status = -1;
    waitpid(a, &status, 0);
    EXPECT_EQ(aSaw, static_cast<std::uint32_t>(getpid())) << "A did not find B's lock standing";
    EXPECT_FALSE(b.Lost());
    EXPECT_EQ(place.Contents(), "LCK..ttyFAKE0 \"" + PidText(getpid()) + "\"\n");
}

TEST(UucpLockFile, ALockSomeoneReplacedIsLostAndLeftToThem) {
    const LockPlace place;
    ASSERT_TRUE(place.Ok());
    UucpLock lock;
    PortHolder holder;
    ASSERT_EQ(lock.Take(place.Roots(), kDevice, holder), UucpLock::Outcome::Taken);
    std::ofstream(place.LockPath() + ".new") << PidText(getppid());
    fs::rename(place.LockPath() + ".new", place.LockPath());
    EXPECT_TRUE(lock.Lost());
    lock.Release();
    EXPECT_EQ(place.Contents(), "LCK..ttyFAKE0 \"" + PidText(getppid()) + "\"\n");
}

}  // namespace
