#pragma once

// Test helpers for the link on real pseudo-terminals (Linux only): the simulated meter run as a
// child process, a pty pair for tests that play the meter themselves, and a pass-through serial
// layer for tests that observe the real one.

#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "pass_through_layer.h"
#include "scratch_dir.h"

// Limit for anything a test waits for from a simulated meter or a pty: generous, since only a
// fault should ever reach it.
inline constexpr std::chrono::milliseconds kPtyWaitLimit{10'000};

// Directory holding the built executables (meter-sim, Dravik): DRAVIK_BIN_DIR, or else the
// directory of the running program, since tests and benchmarks are built beside meter-sim.
std::string BinDir();

// A device path as the wide port name CMeterPort::Open takes.
std::wstring WidePath(const std::string& path);

// Bytes as the sim logs them after "hex=" (upper-case pairs separated by spaces: "AA 04 02"), or
// as dravik-cli's --json and log carry them (lower-case pairs, unspaced: "aa0402").
std::string OracleHex(std::span<const std::uint8_t> bytes, bool simLog);
inline std::string SimLogHex(std::span<const std::uint8_t> bytes) {
    return OracleHex(bytes, true);
}
// The "hex=" part of one of the sim's FRAME lines; empty when the line has none.
std::string LoggedHex(const std::string& logLine);

// build/<preset>/bin/meter-sim (from BinDir()) as a child process. The log lines it prints are
// collected on a thread of their own; see tools/meter_sim.cpp for options and line formats.
//
//   MeterSimProcess sim({"--silent"});
//   ASSERT_TRUE(sim.Started());
//   port.Open(sim.PortName());
//   ...
//   ASSERT_TRUE(sim.WaitForFrames(1));
class MeterSimProcess {
  public:
    // Starts the sim with `options`; with a `linkPath` the sim also makes a symlink to its
    // device there. Started() tells whether it runs and has announced its device.
    explicit MeterSimProcess(std::vector<std::string> options = {}, std::string linkPath = {});
    // Stops the sim (SIGTERM, SIGKILL if it lingers) and reaps it.
    ~MeterSimProcess();
    MeterSimProcess(const MeterSimProcess&) = delete;
    MeterSimProcess& operator=(const MeterSimProcess&) = delete;

    bool Started() const { return !m_device.empty(); }
    const std::string& DevicePath() const { return m_device; }
    std::wstring PortName() const { return WidePath(m_device); }
    const std::string& LinkPath() const { return m_link; }

    // Log lines of the current run (since the last start), all or those starting with `prefix`.
    std::vector<std::string> Lines(std::string_view prefix = {}) const;
    std::vector<std::string> Frames() const { return Lines("FRAME "); }
    // Blocks until `count` lines starting with `prefix` were logged; false after `limit`.
    bool WaitForLines(std::string_view prefix, std::size_t count,
                      std::chrono::milliseconds limit = kPtyWaitLimit);
    bool WaitForFrames(std::size_t count, std::chrono::milliseconds limit = kPtyWaitLimit) {
        return WaitForLines("FRAME ", count, limit);
    }
    // Blocks until the sim has ended by itself (--unplug-after) and reaps it.
    bool WaitForExit(std::chrono::milliseconds limit = kPtyWaitLimit);

    // Ends the sim with SIGTERM: its pty master closes and the device vanishes, as when the
    // meter's cable is pulled.
    void Unplug();
    // Unplugs a running sim, then starts it again with the same options and link path: a new
    // device, reachable under the same link.
    bool Restart();

  private:
    bool Start();
    void Stop();
    void Reap();
    void ReadLog(int fd);

    const std::vector<std::string> m_options;
    const std::string m_link;
    int m_pid = -1;
    std::thread m_reader;
    std::string m_device;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
    bool m_logClosed = false;
};

// A program of the build (in BinDir()) started with `args`, its output thrown away and with the
// default handling of every signal, whatever the test blocks; its PID, or -1. posix_spawn, not
// fork: ThreadSanitizer cannot follow a fork of a process with threads.
int StartProgram(const std::string& name, const std::vector<std::string>& args);
// Its wait status once it has ended; -1, and the program killed, after kPtyWaitLimit.
int WaitForProgram(int pid);

// A copy of a program of the build (from BinDir()) for a test that runs it as another user, who
// may not be able to enter the build tree: a checkout in root's home or under mktemp -d lies in a
// 0700 directory. The copy lies in a fresh directory under /tmp, both open to every user (0755),
// and goes at the end. The build's own libraries are static, so the program needs nothing else
// from the tree.
class SharedProgram {
  public:
    explicit SharedProgram(const std::string& name);

    // The copy's path; empty when it could not be made.
    const std::string& Path() const { return m_path; }

  private:
    ScratchDir m_dir{"/tmp"};
    std::string m_path;
};

// What of a line a program that used it must leave as it found it: the settings and exclusive
// mode.
struct LineSnapshot {
    termios tio{};
    int exclusive = -1;
};
// The settings of the tty `termiosFd` is open on, and the exclusive mode seen through `ttyFd`.
LineSnapshot SnapshotLine(int termiosFd, int ttyFd);
void ExpectSameLine(const LineSnapshot& before, const LineSnapshot& after);

// The line as a freshly booted tty has it: canonical input, echo, signal characters, CR/LF
// mapping, XON/XOFF, output post-processing, 7 data bits, 9600 baud. Opening it for the meter
// must undo all of it, and closing it must bring it back.
void MakeCooked(int fd);

// An in-process pseudo-terminal: the test holds the master (the meter's end of the cable), the
// code under test opens the slave by SlavePath(). The slave starts raw at 19200 baud 8N1; both
// descriptors are close-on-exec, so a simulated meter started meanwhile cannot hold them.
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return m_master >= 0 && m_slave >= 0; }
    int Master() const { return m_master; }
    // The pair's own slave descriptor, for termios settings and queue sizes; it stays open
    // beside whatever the code under test opens.
    int Slave() const { return m_slave; }
    const std::string& SlavePath() const { return m_path; }
    std::wstring PortName() const { return WidePath(m_path); }

    // The meter sends `bytes` (all of them, or false).
    bool Send(const std::vector<std::uint8_t>& bytes);
    // What the code under test sent: up to `count` bytes, fewer if `limit` passes first.
    std::vector<std::uint8_t> Receive(std::size_t count,
                                      std::chrono::milliseconds limit = kPtyWaitLimit);
    // Bytes waiting in the slave's input queue.
    std::size_t Queued() const;
    // Blocks until the slave's input queue holds at least `count` bytes; false after `limit`.
    bool WaitQueued(std::size_t count, std::chrono::milliseconds limit = kPtyWaitLimit) const;
    // The device vanishes: every descriptor of the slave is hung up.
    void CloseMaster();

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};
