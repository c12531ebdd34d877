// Which listed ports another program holds, on fake sysfs and /proc trees built in a temp dir
// (the machine's own /proc only ever answers for the ptys the test made), one look for the
// whole list, and what else shows of a port without opening it.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "holder_process.h"
#include "port_holders_linux.h"
#include "scratch_dir.h"
#include "sim_process.h"
#include "stop_token.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// <root>/sys, <root>/dev and <root>/proc, shaped as the kernel's where the check looks.
class FakeMachine {
  public:
    bool Ok() const { return m_root.Ok(); }
    std::string Sys() const { return m_root.Path() + "/sys"; }
    std::string Dev() const { return m_root.Path() + "/dev"; }
    std::string Proc() const { return m_root.Path() + "/proc"; }

    // A tty in sysfs (with a `device` link when hardware backs it) and its node in <root>/dev,
    // which leads to the pty `device` so that it is a character device of its own.
    void AddTty(const std::string& name, bool hardware, const std::string& device) {
        const fs::path tty = fs::path(Sys()) / "class/tty" / name;
        fs::create_directories(tty);
        if (hardware) fs::create_directory_symlink(Sys(), tty / "device");
        fs::create_directories(Dev());
        fs::create_symlink(device, fs::path(Dev()) / name);
    }

    // A process with the short name `program` and descriptor `fd` open on `target`, with the
    // fdinfo and mountinfo lines the kernel writes for it (a mount of its own per descriptor).
    void AddDescriptor(const std::string& pid, const std::string& program, int fd,
                       const std::string& target) {
        const fs::path process = fs::path(Proc()) / pid;
        fs::create_directories(process / "fd");
        fs::create_directories(process / "fdinfo");
        std::ofstream(process / "comm") << program << "\n";
        fs::create_symlink(target, process / "fd" / std::to_string(fd));
        struct stat file {};
        if (stat(target.c_str(), &file) != 0) return;
        const int mount = 100 + fd;
        std::ofstream(process / "fdinfo" / std::to_string(fd))
            << "pos:\t0\nflags:\t0100002\nmnt_id:\t" << mount << "\nino:\t" << file.st_ino << "\n";
        std::ofstream(process / "mountinfo", std::ios::app)
            << mount << " 1 " << major(file.st_dev) << ":" << minor(file.st_dev)
            << " / /dev rw - devpts devpts rw\n";
    }

  private:
    ScratchDir m_root;
};

TEST(PortHolders, OneLookFindsTheHardwarePortsOtherProcessesHold) {
    FakeMachine machine;
    PtyPair usb0;
    PtyPair usb1;
    PtyPair simulator;
    ASSERT_TRUE(machine.Ok() && usb0.Ok() && usb1.Ok() && simulator.Ok());
    machine.AddTty("ttyUSB0", true, usb0.SlavePath());
    machine.AddTty("ttyUSB1", true, usb1.SlavePath());
    machine.AddTty("ttyV0", false, usb0.SlavePath());
    const std::string dev = machine.Dev();
    machine.AddDescriptor("4242", "minicom", 0, "/dev/null");
    machine.AddDescriptor("4242", "minicom", 3, dev + "/ttyUSB0");
    machine.AddDescriptor("4242", "minicom", 4, dev + "/ttyV0");
    machine.AddDescriptor(std::to_string(getpid()), "self", 5, dev + "/ttyUSB1");
    machine.AddDescriptor("5151", "picocom", 3, usb1.SlavePath());  // as /proc shows a link
    machine.AddDescriptor("4343", "meter-sim", 6, simulator.SlavePath());
    machine.AddDescriptor("self", "not-a-process", 7, dev + "/ttyUSB1");
    fs::create_directories(machine.Proc() + "/5000");  // a process whose fds we may not see

    const std::vector<std::wstring> ports = {
        WidePath(dev + "/ttyUSB0"),
        WidePath(dev + "/ttyUSB1"),  // by this process too, and by another under its device's path
        WidePath(dev + "/ttyV0"),    // no hardware behind it
        simulator.PortName(),        // a pty: its simulator holds it by design
        WidePath(dev + "/ttyUSB9"),  // not there at all
        WidePath(machine.Dev() + "-by-id"),  // a link to a held port, as /dev/serial/by-id has
    };
    fs::create_symlink(dev + "/ttyUSB0", machine.Dev() + "-by-id");
    const HolderScan scan =
        HardwarePortHolders(machine.Sys(), dev, machine.Proc())(ports, ProcessStop());
    EXPECT_EQ(scan.held, (std::map<std::wstring, PortHolder>{{ports[0], {L"minicom", 4242}},
                                                             {ports[1], {L"picocom", 5151}},
                                                             {ports[5], {L"minicom", 4242}}}));
    EXPECT_TRUE(scan.unchecked.empty());

    // Out of time before the first descriptor: every hardware port is said to be unchecked.
    const HolderScan cut = HardwarePortHolders(machine.Sys(), dev, machine.Proc(),
                                               std::chrono::milliseconds(0))(ports, ProcessStop());
    EXPECT_TRUE(cut.held.empty());
    EXPECT_EQ(cut.unchecked, (std::set<std::wstring>{ports[0], ports[1], ports[5]}));
}

// A look at another process's file that never comes back (its name here is a FIFO nobody
// writes, as a file on a FUSE mount that never answers would hold a stat): the scan gives up at
// its deadline, and at once on a stop request, however long its limit.
TEST(PortHolders, AScanThatNeverComesBackIsGivenUp) {
    FakeMachine machine;
    PtyPair usb0;
    ASSERT_TRUE(machine.Ok() && usb0.Ok());
    machine.AddTty("ttyUSB0", true, usb0.SlavePath());
    const std::string dev = machine.Dev();
    machine.AddDescriptor("4242", "stuck", 3, dev + "/ttyUSB0");
    const std::string comm = machine.Proc() + "/4242/comm";
    fs::remove(comm);
    ASSERT_EQ(mkfifo(comm.c_str(), 0600), 0);
    const std::vector<std::wstring> ports = {WidePath(dev + "/ttyUSB0")};
    const auto scan = [&](std::chrono::milliseconds limit, const StopToken& stop) {
        return std::async(std::launch::async, [&, limit, token = &stop] {
            return HardwarePortHolders(machine.Sys(), dev, machine.Proc(), limit)(ports, *token);
        });
    };
    const std::set<std::wstring> unchecked(ports.begin(), ports.end());

    StopToken stop;
    auto byStop = scan(std::chrono::hours(1), stop);
    stop.Cancel();
    ASSERT_EQ(byStop.wait_for(kPtyWaitLimit), std::future_status::ready);
    EXPECT_EQ(byStop.get().unchecked, unchecked);

    auto byDeadline = scan(std::chrono::milliseconds(100), ProcessStop());
    ASSERT_EQ(byDeadline.wait_for(kPtyWaitLimit), std::future_status::ready);
    const HolderScan cut = byDeadline.get();
    EXPECT_TRUE(cut.held.empty());
    EXPECT_EQ(cut.unchecked, unchecked);
    // The thread left behind ends once its look comes back.
    int writer = -1;
    EXPECT_TRUE(PollUntil([&] { return (writer = open(comm.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; },
                          kPtyWaitLimit))
        << "the scan never looked at the file";
    if (writer >= 0) close(writer);
}

// What `dravik-cli ports` shows of a port, none of it by opening the port.
TEST(PortPeek, SeesLocksAndMissingDevicesWithoutOpening) {
    const ScratchDir locks;
    PtyPair free;
    PtyPair locked;
    PtyPair stale;
    ASSERT_TRUE(locks.Ok() && free.Ok() && locked.Ok() && stale.Ok());
    const auto lockFile = [&locks](const PtyPair& pty, int pid) {
        std::string name = pty.SlavePath().substr(5);
        std::replace(name.begin(), name.end(), '/', '_');
        const std::string path = locks.Path() + "/LCK.." + name;
        std::ofstream(path) << "      " << pid << "\n";
        return path;
    };
    const std::string lockPath = lockFile(locked, getpid());
    lockFile(stale, DeadPid());
    const PortPeek peek = LinuxPortPeek({.lockDir = locks.Path()});

    const auto pid = static_cast<std::uint32_t>(getpid());
    const std::wstring owner = WidePath(getpwuid(geteuid())->pw_name);
    EXPECT_EQ(peek(free.PortName()), OpenStatus{});
    EXPECT_EQ(peek(locked.PortName()),
              (OpenStatus{OpenReason::Busy, {L"", pid, WidePath(lockPath), owner}}));
    EXPECT_EQ(peek(stale.PortName()), OpenStatus{}) << "a dead process's lock";
    EXPECT_EQ(peek(free.PortName() + L"-gone").reason, OpenReason::Gone);
}

TEST(PortPeek, SeesANodeThisUserMayNotOpen) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can look as another user";
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0600), 0);
    const PortPeek peek = LinuxPortPeek({.lockDir = "/nonexistent"});
    EXPECT_EQ(peek(pty.PortName()).reason, OpenReason::Opened) << "root may open anything";
    // The look itself as nobody, in a child of its own.
    EXPECT_EXIT(
        {
            const bool dropped = setgroups(0, nullptr) == 0 &&
                                 setresgid(65534, 65534, 65534) == 0 &&
                                 setresuid(65534, 65534, 65534) == 0;
            std::_Exit(dropped && peek(pty.PortName()).reason == OpenReason::PermissionDenied ? 0
                                                                                              : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
