#include "sim_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <utility>

#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a stopped sim may take to exit before it is killed.
constexpr std::chrono::milliseconds kStopLimit{5000};

bool Exited(int pid, bool block) {
    int status = 0;
    pid_t r = 0;
    do {
        r = waitpid(pid, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    return r != 0;  // reaped, or no longer ours to reap
}

// A program of the build with `args`, stdout and stderr on the descriptors given (-1:
// /dev/null), and the default handling of every signal whatever the test blocks or ignores.
int Spawn(const std::string& name, const std::vector<std::string>& args, int out, int err) {
    std::vector<std::string> all = {BinDir() + "/" + name};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto& [from, to] : {std::pair{out, STDOUT_FILENO}, std::pair{err, STDERR_FILENO}}) {
        if (from < 0) {
            posix_spawn_file_actions_addopen(&actions, to, "/dev/null", O_WRONLY, 0);
        } else if (from != to) {
            posix_spawn_file_actions_adddup2(&actions, from, to);
        }
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

}  // namespace

std::string BinDir() {
    if (const char* dir = std::getenv("DRAVIK_BIN_DIR")) return dir;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

std::wstring WidePath(const std::string& path) {
    // Device and temporary paths are ASCII.
    return std::wstring(path.begin(), path.end());
}

// printf's own hex, apart from the product's HexBytes: an oracle must not share the code it
// checks.
std::string OracleHex(std::span<const std::uint8_t> bytes, bool simLog) {
    std::string hex;
    for (const std::uint8_t byte : bytes) {
        std::array<char, 4> cell{};
        std::snprintf(cell.data(), cell.size(),
                      !simLog       ? "%02x"
                      : hex.empty() ? "%02X"
                                    : " %02X",
                      byte);
        hex += cell.data();
    }
    return hex;
}

std::string LoggedHex(const std::string& logLine) {
    const auto at = logLine.find("hex=");
    return at == std::string::npos ? std::string() : logLine.substr(at + 4);
}

MeterSimProcess::MeterSimProcess(std::vector<std::string> options, std::string linkPath)
    : m_options(std::move(options)), m_link(std::move(linkPath)) {
    Start();
}

MeterSimProcess::~MeterSimProcess() {
    Stop();
}

bool MeterSimProcess::Start() {
    std::array<int, 2> out{};
    if (pipe2(out.data(), O_CLOEXEC) != 0) return false;

    std::vector<std::string> args = m_options;
    if (!m_link.empty()) {
        args.push_back("--link");
        args.push_back(m_link);
    }
    // The log pipe is its stdout; its stderr stays the test's, for what goes wrong.
    const int pid = Spawn("meter-sim", args, out[1], STDERR_FILENO);
    close(out[1]);
    if (pid <= 0) {
        close(out[0]);
        return false;
    }

    m_pid = pid;
    {
        const std::lock_guard lock(m_mutex);
        m_lines.clear();
        m_logClosed = false;
    }
    m_reader = std::thread([this, fd = out[0]] { ReadLog(fd); });
    if (!WaitForLines("PORT ", 1)) {
        Stop();
        return false;
    }
    m_device = Lines("PORT ").front().substr(5);
    return true;
}

void MeterSimProcess::ReadLog(int fd) {
    std::string partial;
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial.append(chunk.data(), static_cast<std::size_t>(n));
        std::size_t end = 0;
        const std::lock_guard lock(m_mutex);
        while ((end = partial.find('\n')) != std::string::npos) {
            m_lines.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
        m_changed.notify_all();
    }
    close(fd);
    const std::lock_guard lock(m_mutex);
    m_logClosed = true;
    m_changed.notify_all();
}

std::vector<std::string> MeterSimProcess::Lines(std::string_view prefix) const {
    const std::lock_guard lock(m_mutex);
    std::vector<std::string> matching;
    std::copy_if(m_lines.begin(), m_lines.end(), std::back_inserter(matching),
                 [prefix](const std::string& line) { return line.starts_with(prefix); });
    return matching;
}

bool MeterSimProcess::WaitForLines(std::string_view prefix, std::size_t count,
                                   std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    const auto found = [&] {
        const auto matching =
            std::count_if(m_lines.begin(), m_lines.end(),
                          [prefix](const std::string& line) { return line.starts_with(prefix); });
        return static_cast<std::size_t>(matching) >= count;
    };
    m_changed.wait_for(lock, limit, [&] { return found() || m_logClosed; });
    return found();
}

bool MeterSimProcess::WaitForExit(std::chrono::milliseconds limit) {
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, limit, [this] { return m_logClosed; })) return false;
    }
    // Its stdout is closed, so the process is on its way out.
    Reap();
    return true;
}

void MeterSimProcess::Reap() {
    if (m_pid > 0) {
        Exited(m_pid, true);
        m_pid = -1;
    }
    if (m_reader.joinable()) m_reader.join();
}

void MeterSimProcess::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        if (!PollUntil([this] { return Exited(m_pid, false); }, kStopLimit)) kill(m_pid, SIGKILL);
    }
    Reap();
}

void MeterSimProcess::Unplug() {
    Stop();
}

bool MeterSimProcess::Restart() {
    Stop();
    m_device.clear();
    return Start();
}

int StartProgram(const std::string& name, const std::vector<std::string>& args) {
    return Spawn(name, args, -1, -1);
}

int WaitForProgram(int pid) {
    int status = -1;
    if (!PollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, kPtyWaitLimit)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return status;
}

SharedProgram::SharedProgram(const std::string& name) {
    namespace fs = std::filesystem;
    if (!m_dir.Ok()) return;
    const std::string copy = m_dir.Path() + "/" + name;
    constexpr auto everyoneMayRun = fs::perms(0755);
    std::error_code error;
    fs::permissions(m_dir.Path(), everyoneMayRun, error);
    if (!error) fs::copy_file(BinDir() + "/" + name, copy, error);
    // Whatever the umask made of the original.
    if (!error) fs::permissions(copy, everyoneMayRun, error);
    if (!error) m_path = copy;
}

LineSnapshot SnapshotLine(int termiosFd, int ttyFd) {
    LineSnapshot line;
    EXPECT_EQ(tcgetattr(termiosFd, &line.tio), 0);
    EXPECT_EQ(ioctl(ttyFd, TIOCGEXCL, &line.exclusive), 0);
    return line;
}

void ExpectSameLine(const LineSnapshot& before, const LineSnapshot& after) {
    EXPECT_EQ(after.tio.c_iflag, before.tio.c_iflag);
    EXPECT_EQ(after.tio.c_oflag, before.tio.c_oflag);
    EXPECT_EQ(after.tio.c_cflag, before.tio.c_cflag);
    EXPECT_EQ(after.tio.c_lflag, before.tio.c_lflag);
    EXPECT_EQ(cfgetospeed(&after.tio), cfgetospeed(&before.tio));
    EXPECT_EQ(cfgetispeed(&after.tio), cfgetispeed(&before.tio));
    for (int i = 0; i < NCCS; ++i)
        EXPECT_EQ(after.tio.c_cc[i], before.tio.c_cc[i]) << "c_cc[" << i << "]";
    EXPECT_EQ(after.exclusive, before.exclusive);
}

void MakeCooked(int fd) {
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    tio.c_iflag |= ICRNL | IXON | IXOFF | IXANY | ISTRIP;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | CSTOPB | CRTSCTS;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 5;
    ASSERT_EQ(cfsetspeed(&tio, B9600), 0);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
}

PtyPair::PtyPair() {
    std::array<char, 128> name{};
    if (openpty(&m_master, &m_slave, name.data(), nullptr, nullptr) != 0) return;
    m_path = name.data();
    termios tio{};
    const bool ready = fcntl(m_master, F_SETFD, FD_CLOEXEC) == 0 &&
                       fcntl(m_slave, F_SETFD, FD_CLOEXEC) == 0 &&
                       fcntl(m_master, F_SETFL, O_NONBLOCK) == 0 && tcgetattr(m_slave, &tio) == 0;
    if (ready) {
        cfmakeraw(&tio);
        tio.c_cflag |= CREAD | CLOCAL;
        cfsetspeed(&tio, B19200);
    }
    if (!ready || tcsetattr(m_slave, TCSANOW, &tio) != 0) {
        close(m_master);
        close(m_slave);
        m_master = m_slave = -1;
    }
}

PtyPair::~PtyPair() {
    CloseMaster();
    if (m_slave >= 0) close(m_slave);
}

bool PtyPair::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    const Clock::time_point deadline = Clock::now() + kPtyWaitLimit;
    while (sent < bytes.size() && Clock::now() < deadline) {
        const ssize_t n = write(m_master, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd writable{m_master, POLLOUT, 0};
            poll(&writable, 1, 10);
        }
    }
    return sent == bytes.size();
}

std::vector<std::uint8_t> PtyPair::Receive(std::size_t count, std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> received(count);
    std::size_t got = 0;
    const Clock::time_point deadline = Clock::now() + limit;
    while (got < count) {
        const ssize_t n = read(m_master, received.data() + got, count - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd readable{m_master, POLLIN, 0};
        poll(&readable, 1, static_cast<int>(left.count()));
    }
    received.resize(got);
    return received;
}

std::size_t PtyPair::Queued() const {
    int queued = 0;
    if (ioctl(m_slave, FIONREAD, &queued) != 0) return 0;
    return static_cast<std::size_t>(queued);
}

bool PtyPair::WaitQueued(std::size_t count, std::chrono::milliseconds limit) const {
    // Bytes written to the master reach the slave's queue through a kernel worker, a moment
    // later and possibly in pieces; nothing signals the moment a given count is reached.
    return PollUntil([&] { return Queued() >= count; }, limit);
}

void PtyPair::CloseMaster() {
    if (m_master >= 0) close(m_master);
    m_master = -1;
}
