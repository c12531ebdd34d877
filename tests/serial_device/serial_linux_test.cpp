// The Linux serial layer on kernel pseudo-terminals, below CMeterPort: the baud rates it takes,
// writes and closes bounded whatever the line does, the ports it refuses and the line as it
// leaves them, and its UUCP lock files.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "holder_process.h"
#include "scratch_dir.h"
#include "serial_linux.h"
#include "sim_process.h"
#include "stop_token.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The pty's line settings as its master sees them (the master reports the slave's, and does
// so under any line discipline), and the slave's exclusive mode.
LineSnapshot Snapshot(const PtyPair& pty) {
    return SnapshotLine(pty.Master(), pty.Slave());
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Where a lock file for the pty goes: its path below /dev, '/' written as '_' (LCK..pts_3).
std::string LockPath(const ScratchDir& dir, const PtyPair& pty) {
    std::string name = pty.SlavePath().substr(std::string("/dev/").size());
    std::replace(name.begin(), name.end(), '/', '_');
    return dir.Path() + "/LCK.." + name;
}

TEST(LinuxLineState, StandardRatesApplyAndOthersAreRefused) {
    struct Case {
        std::uint32_t rate;
        bool supported;
    };
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ISerialLayer& layer = PlatformSerialLayer();
    const PortHandle handle = layer.Open(pty.PortName());
    ASSERT_NE(handle, kInvalidPort);
    for (const Case c : {Case{1200, true}, Case{9600, true}, Case{19200, true}, Case{115200, true},
                         Case{0, false}, Case{12345, false}, Case{19201, false}}) {
        ASSERT_TRUE(layer.SetCommState(handle, {57600, 8, 0}));
        EXPECT_EQ(layer.SetCommState(handle, {c.rate, 8, 0x1A}), c.supported) << c.rate;
        LineState state;
        ASSERT_TRUE(layer.GetCommState(handle, state));
        EXPECT_EQ(state.baudRate, c.supported ? c.rate : 57600u) << c.rate;
        EXPECT_EQ(state.eofChar, c.supported ? 0x1A : 0) << c.rate;
    }
    layer.Close(handle);
}

TEST(LinuxWrite, AWriteTheDeviceCannotTakeEndsAtTheWriteTimeOut) {
    PtyPair pty;  // nobody reads the master: the pty's buffers fill and stay full
    ASSERT_TRUE(pty.Ok());
    ISerialLayer& layer = PlatformSerialLayer();
    const PortHandle handle = layer.Open(pty.PortName());
    ASSERT_NE(handle, kInvalidPort);
    ASSERT_TRUE(layer.SetCommTimeouts(handle, {0, 0, 0, 0, 200}));
    const Bytes big(1 << 20, 0x55);
    const auto started = std::chrono::steady_clock::now();
    const std::uint32_t written =
        layer.Write(handle, big.data(), static_cast<std::uint32_t>(big.size()));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, std::chrono::seconds(10)) << "the write time-out bounds the call";
    layer.Close(handle);
}

// A stop request ends a write the driver cannot take at its next step, long before its
// time-out; the request lasts for the process, so the test runs in a child.
TEST(LinuxWrite, AStopRequestEndsAWriteTheDeviceCannotTake) {
    EXPECT_EXIT(
        {
            PtyPair pty;  // nobody reads the master: the pty's buffers fill and stay full
            ISerialLayer& layer = PlatformSerialLayer();
            const PortHandle handle = layer.Open(pty.PortName());
            const Bytes big(1 << 20, 0x55);
            const bool ready =
                handle != kInvalidPort && layer.SetCommTimeouts(handle, {0, 0, 0, 0, 3'600'000});
            auto writing = std::async(std::launch::async, [&] {
                return ready
                           ? layer.Write(handle, big.data(), static_cast<std::uint32_t>(big.size()))
                           : 0u;
            });
            // Once the line holds what it can, the write waits for the driver.
            const bool full = PollUntil(
                [&] {
                    int queued = 0;
                    return ioctl(pty.Master(), FIONREAD, &queued) == 0 && queued > 0;
                },
                kPtyWaitLimit);
            RequestStop(SIGINT);
            const bool ended = writing.wait_for(kPtyWaitLimit) == std::future_status::ready;
            const std::uint32_t written = ended ? writing.get() : 0;
            std::_Exit(full && ended && written > 0 && written < big.size() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LinuxRefusal, ARefusedPortIsLeftAsItWasFound) {
    struct Case {
        const char* what;
        // Makes the pty busy or unfit; returns the holder's PID the refusal must name, or -1
        // to skip the case on this kernel.
        std::function<int(PtyPair& pty, const std::string& lockPath)> arrange;
        OpenReason reason;
        bool exclusiveLeft = false;  // the refusal names the mode as left behind
    };
    std::unique_ptr<HolderProcess> holder;
    const auto hold = [&holder](HolderProcess::Hold how) {
        return [&holder, how](PtyPair& pty, const std::string&) {
            holder = std::make_unique<HolderProcess>(pty.SlavePath(), how);
            EXPECT_TRUE(holder->Ok());
            return 0;
        };
    };
    const std::vector<Case> cases = {
        {"held by another process with TIOCEXCL", hold(HolderProcess::Hold::Exclusive),
         OpenReason::Busy},
        {"locked by another process with flock", hold(HolderProcess::Hold::Flock),
         OpenReason::Busy},
        {"a lock file names a live process",
         [&holder](PtyPair& pty, const std::string& lockPath) {
             holder = std::make_unique<HolderProcess>(pty.SlavePath(), HolderProcess::Hold::Open);
             std::ofstream(lockPath) << std::string(10 - std::to_string(holder->Pid()).size(), ' ')
                                     << holder->Pid() << "\n";
             return holder->Pid();
         },
         OpenReason::Busy},
        {"a lock file names no process",
         [](PtyPair&, const std::string& lockPath) {
             std::ofstream(lockPath) << "minicom\n";
             return 0;
         },
         OpenReason::Busy},
        {"a kernel line discipline",
         [](PtyPair& pty, const std::string&) {
             int discipline = 27;  // N_NULL, the one every kernel builds in
             return ioctl(pty.Slave(), TIOCSETD, &discipline) == 0 ? 0 : -1;
         },
         OpenReason::LineDiscipline},
        // Set through the pair's own slave, as by a host that crashed: this process holds the
        // master, so nobody else has the slave open.
        {"exclusive mode outlived its setter",
         [](PtyPair& pty, const std::string&) {
             return ioctl(pty.Slave(), TIOCEXCL) == 0 ? 0 : -1;
         },
         OpenReason::Busy, true},
        {"exclusive mode while another process has the slave open",
         [&holder](PtyPair& pty, const std::string&) {
             holder = std::make_unique<HolderProcess>(pty.SlavePath(), HolderProcess::Hold::Open);
             return holder->Ok() && ioctl(pty.Slave(), TIOCEXCL) == 0 ? 0 : -1;
         },
         OpenReason::Busy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ScratchDir locks;
        PtyPair pty;
        ASSERT_TRUE(pty.Ok() && locks.Ok());
        MakeCooked(pty.Slave());
        const std::string lockPath = LockPath(locks, pty);
        const int holderPid = c.arrange(pty, lockPath);
        if (holderPid < 0) continue;
        const LineSnapshot before = Snapshot(pty);
        const std::string lockBefore = ReadFile(lockPath);

        const std::unique_ptr<ISerialLayer> layer = MakeLinuxSerialLayer({.lockDir = locks.Path()});
        OpenStatus status;
        EXPECT_EQ(layer->Open(pty.PortName(), status), kInvalidPort);
        EXPECT_EQ(status.reason, c.reason);
        EXPECT_EQ(status.holder.pid, static_cast<std::uint32_t>(holderPid));
        EXPECT_EQ(status.holder.exclusiveLeftOn, c.exclusiveLeft ? pty.PortName() : L"");
        ExpectSameLine(before, Snapshot(pty));
        EXPECT_EQ(ReadFile(lockPath), lockBefore) << "someone else's lock file was touched";
        holder.reset();
    }
}

// The console's line is refused by its device number, whatever name leads to it: a name that
// stays put before anything touches it (even its lock); a name swapped for a link to it while
// its lock is taken (the lock's pid_max is a FIFO that holds the open up) on the opened
// descriptor, before its line is changed. Which device it is, fake sysfs and /dev trees say.
TEST(LinuxRefusal, TheConsoleIsNeverOpened) {
    struct Case {
        const char* what;
        bool declaredBySysfs;  // else by the fake /dev/console, as a container's is a pty
        bool swapped;
    };
    const Case cases[] = {
        {"console/active names it", true, false},
        {"/dev/console leads to it", false, false},
        {"a plain file swapped for a link to it", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PtyPair console;
        PtyPair other;
        const ScratchDir dir;
        ASSERT_TRUE(console.Ok() && other.Ok() && dir.Ok());
        struct stat node {};
        ASSERT_EQ(stat(console.SlavePath().c_str(), &node), 0);
        const fs::path root = dir.Path();
        fs::create_directories(root / "class/tty/console");
        fs::create_directories(root / "class/tty/ttyFAKE0");
        fs::create_directories(root / "dev");
        fs::create_directories(root / "proc/sys/kernel");
        std::ofstream(root / "class/tty/console/active")
            << (c.declaredBySysfs ? "tty0 ttyFAKE0\n" : "tty0\n");
        std::ofstream(root / "class/tty/ttyFAKE0/dev")
            << major(node.st_rdev) << ":" << minor(node.st_rdev);
        if (!c.declaredBySysfs) fs::create_symlink(console.SlavePath(), root / "dev/console");
        const std::string link = dir.Path() + "/meter";
        MakeCooked(console.Slave());
        const LineSnapshot before = Snapshot(console);
        const std::unique_ptr<ISerialLayer> layer = MakeLinuxSerialLayer(
            {dir.Path(), (root / "proc").string(), dir.Path(), (root / "dev").string()});

        std::vector<OpenStatus> seen;
        if (!c.swapped) {
            ASSERT_EQ(symlink(console.SlavePath().c_str(), link.c_str()), 0);
            for (const std::string& path : {console.SlavePath(), link}) {
                seen.emplace_back();
                EXPECT_EQ(layer->Open(WidePath(path), seen.back()), kInvalidPort) << path;
            }
            EXPECT_FALSE(fs::exists(LockPath(dir, console))) << "the console was locked";
        } else {
            std::ofstream(link) << "not a tty\n";
            std::ofstream(dir.Path() + "/LCK..meter") << std::setw(10) << DeadPid() << "\n";
            const std::string pidMax = (root / "proc/sys/kernel/pid_max").string();
            ASSERT_EQ(mkfifo(pidMax.c_str(), 0600), 0);
            auto opening = std::async(std::launch::async, [&] {
                OpenStatus status;
                EXPECT_EQ(layer->Open(WidePath(link), status), kInvalidPort);
                return status;
            });
            int fifo = -1;  // opens once the lock is being judged: the name was looked at
            ASSERT_TRUE(
                PollUntil([&] { return (fifo = open(pidMax.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; },
                          kPtyWaitLimit));
            fs::remove(link);
            ASSERT_EQ(symlink(console.SlavePath().c_str(), link.c_str()), 0);
            EXPECT_EQ(write(fifo, "4194304\n", 8), 8);
            close(fifo);
            seen.push_back(opening.get());
        }
        for (const OpenStatus& status : seen)
            EXPECT_EQ(status.reason, OpenReason::Console);
        ExpectSameLine(before, Snapshot(console));
        const PortHandle handle = layer->Open(other.PortName());
        EXPECT_NE(handle, kInvalidPort) << "another tty is no console";
        layer->Close(handle);
    }
}

// Every virtual console is one, tty0 (the foreground one, wherever it is) among them; the
// serial ports that share their major number are not.
TEST(LinuxRefusal, EveryVirtualConsoleIsAConsole) {
    const ScratchDir empty;
    const SystemRoots roots{.sysfs = empty.Path(), .dev = empty.Path()};
    EXPECT_TRUE(IsConsoleDevice(makedev(5, 1), roots));
    EXPECT_TRUE(IsConsoleDevice(makedev(4, 0), roots));
    EXPECT_TRUE(IsConsoleDevice(makedev(4, 1), roots));
    EXPECT_TRUE(IsConsoleDevice(makedev(4, 63), roots));
    EXPECT_FALSE(IsConsoleDevice(makedev(4, 64), roots)) << "ttyS0";
    EXPECT_FALSE(IsConsoleDevice(makedev(188, 0), roots)) << "ttyUSB0";
}

// As nobody, in a login (started before) that has none of the node's groups: the refusal names
// the node's group and what would let them in.
TEST(LinuxRefusal, ANodeThisUserMayNotOpenSaysWhatWouldLetThemIn) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can look as another user";
    const passwd* nobody = getpwnam("nobody");
    const group* dialout = getgrnam("dialout");
    ASSERT_TRUE(nobody != nullptr && dialout != nullptr);
    struct Case {
        gid_t group;
        mode_t mode;
        AccessHint hint;
    };
    // The group may, the account is not in it; nobody's account is in its own group, the login
    // not; not even the group may.
    const Case cases[] = {{dialout->gr_gid, 0660, AccessHint::JoinGroup},
                          {nobody->pw_gid, 0660, AccessHint::LogInAgain},
                          {dialout->gr_gid, 0600, AccessHint::AskAdmin}};
    const std::unique_ptr<ISerialLayer> layer = MakeLinuxSerialLayer({.lockDir = "/nonexistent"});
    for (const Case& c : cases) {
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        ASSERT_EQ(chown(pty.SlavePath().c_str(), static_cast<uid_t>(-1), c.group), 0);
        ASSERT_EQ(chmod(pty.SlavePath().c_str(), c.mode), 0);
        const NodeAccess expected{WidePath(getgrgid(c.group)->gr_name), c.hint};
        EXPECT_EXIT(
            {
                const uid_t uid = nobody->pw_uid;
                OpenStatus status;
                const bool refused = setgroups(0, nullptr) == 0 && setresgid(1, 1, 1) == 0 &&
                                     setresuid(uid, uid, uid) == 0 &&
                                     layer->Open(pty.PortName(), status) == kInvalidPort;
                std::_Exit(refused && status.access == expected ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << static_cast<int>(c.hint);
    }
}

TEST(LinuxLockFile, AStaleLockIsTakenOverAndOursGoesAtClose) {
    const ScratchDir locks;
    PtyPair pty;
    ASSERT_TRUE(pty.Ok() && locks.Ok());
    const std::string lockPath = LockPath(locks, pty);
    std::ofstream(lockPath) << "  " << DeadPid() << "\n";
    const std::unique_ptr<ISerialLayer> layer = MakeLinuxSerialLayer({.lockDir = locks.Path()});

    const PortHandle handle = layer->Open(pty.PortName());
    ASSERT_NE(handle, kInvalidPort);
    char ours[16] = {};
    std::snprintf(ours, sizeof ours, "%10d\n", static_cast<int>(getpid()));
    EXPECT_EQ(ReadFile(lockPath), ours);
    // Our own lock keeps out a second opener in this process as any other.
    OpenStatus second;
    EXPECT_EQ(layer->Open(pty.PortName(), second), kInvalidPort);
    EXPECT_EQ(second, (OpenStatus{OpenReason::Busy,
                                  {L"", static_cast<std::uint32_t>(getpid()), WidePath(lockPath),
                                   WidePath(getpwuid(geteuid())->pw_name)}}));

    layer->Close(handle);
    EXPECT_FALSE(std::ifstream(lockPath).is_open()) << "our lock file outlived the port";
}

TEST(LinuxLockFile, ALockDirectoryThatCannotBeWrittenIsNoReasonToRefuse) {
    const ScratchDir locks;
    PtyPair pty;
    ASSERT_TRUE(pty.Ok() && locks.Ok());
    const std::unique_ptr<ISerialLayer> layer =
        MakeLinuxSerialLayer({.lockDir = locks.Path() + "/missing"});
    const PortHandle handle = layer->Open(pty.PortName());
    EXPECT_NE(handle, kInvalidPort);
    layer->Close(handle);
}

TEST(LinuxClose, OutputStuckOnTheLineIsDiscardedAndCloseReturns) {
    PtyPair pty;  // nobody reads the master: what is written stays on the line
    ASSERT_TRUE(pty.Ok());
    ISerialLayer& layer = PlatformSerialLayer();
    const PortHandle handle = layer.Open(pty.PortName());
    ASSERT_NE(handle, kInvalidPort);
    ASSERT_TRUE(layer.SetCommTimeouts(handle, {0, 0, 0, 0, 100}));
    const Bytes big(1 << 20, 0x55);
    const std::uint32_t written =
        layer.Write(handle, big.data(), static_cast<std::uint32_t>(big.size()));
    ASSERT_GT(written, 0u);

    auto closing = std::async(std::launch::async, [&] { layer.Close(handle); });
    ASSERT_EQ(closing.wait_for(kPtyWaitLimit), std::future_status::ready) << "close blocked";
    // The master's own input buffer keeps its first few kilobytes; what still waited behind
    // them was discarded. Undiscarded, all of it would arrive within milliseconds.
    EXPECT_LT(pty.Receive(written, std::chrono::seconds(2)).size(), written)
        << "output left on the line at close reached the other end";
}

}  // namespace
