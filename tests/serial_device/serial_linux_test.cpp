// The Linux serial layer on kernel pseudo-terminals, below CMeterPort: the baud rates it takes,
// writes and closes bounded whatever the line does, the ports it refuses and the line as it
// leaves them, and its UUCP lock files.

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
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "holder_process.h"
#include "scratch_dir.h"
#include "serial_linux.h"
#include "sim_process.h"

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

TEST(LinuxRefusal, ARefusedPortIsLeftAsItWasFound) {
    struct Case {
        const char* what;
        // Makes the pty busy or unfit; returns the holder's PID the refusal must name, or -1
        // to skip the case on this kernel.
        std::function<int(PtyPair& pty, const std::string& lockPath)> arrange;
        OpenReason reason;
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
        ExpectSameLine(before, Snapshot(pty));
        EXPECT_EQ(ReadFile(lockPath), lockBefore) << "someone else's lock file was touched";
        holder.reset();
    }
}

// The console's line is refused before anything touches it (even its lock), whatever name
// leads to it; which device it is, a fake sysfs tree says.
TEST(LinuxRefusal, TheConsoleIsNeverOpened) {
    PtyPair console;
    PtyPair other;
    const ScratchDir dir;
    ASSERT_TRUE(console.Ok() && other.Ok() && dir.Ok());
    struct stat node {};
    ASSERT_EQ(stat(console.SlavePath().c_str(), &node), 0);
    const fs::path tty = fs::path(dir.Path()) / "class/tty";
    fs::create_directories(tty / "console");
    fs::create_directories(tty / "ttyFAKE0");
    std::ofstream(tty / "console/active") << "tty0 ttyFAKE0\n";
    std::ofstream(tty / "ttyFAKE0/dev") << major(node.st_rdev) << ":" << minor(node.st_rdev);
    const std::string link = dir.Path() + "/meter";
    ASSERT_EQ(symlink(console.SlavePath().c_str(), link.c_str()), 0);
    MakeCooked(console.Slave());
    const LineSnapshot before = Snapshot(console);
    const std::unique_ptr<ISerialLayer> layer =
        MakeLinuxSerialLayer({.lockDir = dir.Path(), .sysfs = dir.Path()});

    for (const std::string& path : {console.SlavePath(), link}) {
        OpenStatus status;
        EXPECT_EQ(layer->Open(WidePath(path), status), kInvalidPort) << path;
        EXPECT_EQ(status.reason, OpenReason::Console) << path;
    }
    ExpectSameLine(before, Snapshot(console));
    EXPECT_FALSE(fs::exists(LockPath(dir, console))) << "the console was locked";
    const PortHandle handle = layer->Open(other.PortName());
    EXPECT_NE(handle, kInvalidPort) << "another tty is no console";
    layer->Close(handle);
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
