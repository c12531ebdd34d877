// meter-sim: a simulated optical power meter behind a pseudo-terminal, so the link, discovery
// and the dialog can be exercised without the instrument. It plays the meter's side of the
// serial protocol, logs every frame it receives, and can misbehave in the ways real meters and
// cables do.
//
// Its options, output lines and exit status are in kHelp below (meter-sim --help); help2man
// makes the manual page of the installed dravik-meter-sim from them.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "dravik_version.h"
#include "hex_bytes.h"
#include "standard_descriptors_linux.h"

namespace {

// Follows the usage line. help2man reads every unindented line ending in ':' as a section.
constexpr const char* kHelp =
    "A simulated optical power meter behind a pseudo-terminal, for training and for trying\n"
    "Dravik and dravik-cli without a meter. It plays the meter's side of the serial link,\n"
    "logs every frame it receives, and can misbehave in the ways real meters and cables do.\n"
    "Dravik and dravik-cli on Linux probe the device paths in DRAVIK_EXTRA_PORTS after the\n"
    "machine's own serial ports: once dravik-meter-sim --background --link /tmp/meter has\n"
    "returned, DRAVIK_EXTRA_PORTS=/tmp/meter Dravik finds it.\n"
    "\n"
    "Options:\n"
    "  --link PATH         also make PATH a symbolic link to the device (removed at exit)\n"
    "  --background        for scripts: once the device and the link exist, print the PORT\n"
    "                      and PID lines, go on as a process of its own and exit 0; the\n"
    "                      meter's later lines are not printed. Stop it with kill PID\n"
    "  --reply-delay MS    time from a complete frame to its answer; default 21, the frame's\n"
    "                      own time on a 19200 baud 8N1 line, before which a real meter\n"
    "                      cannot answer\n"
    "  --ack-delay MS      time from a complete set-correction frame to its answer; default\n"
    "                      the reply delay. Above 5000 the tool's wait is over before it\n"
    "                      (a late answer), while probes are still answered in time\n"
    "  --reply-jitter MS   add a random time below MS ms (microsecond steps) to every reply\n"
    "                      delay\n"
    "  --silent            never answer anything\n"
    "  --no-ack            answer probes, but not set-correction frames\n"
    "  --no-probe-answer   answer set-correction frames, but not probes\n"
    "  --short-answer      answer a probe with 39 bytes only\n"
    "  --wrong-signature   answer a probe with \"boot\" instead of \"BOOT\"\n"
    "  --garbage           answer a probe with 40 random bytes that carry no signature\n"
    "  --stream            send bytes without end, at about line speed (1920 bytes/s)\n"
    "  --unplug-after N    once N frames have arrived, close the pty master when the answer\n"
    "                      to the last one would have left, instead of answering it (the\n"
    "                      device vanishes as with an unplugged USB adapter), then exit\n"
    "  --xoff-after N      once the answer to the Nth frame has left, stop the line with\n"
    "                      XON/XOFF flow control (turned on for the device) and keep it\n"
    "                      stopped: nothing the tool writes after that can leave\n"
    "  --help              display this help and exit\n"
    "  --version           output version information and exit\n"
    "\n"
    "Output:\n"
    "  One line per event on standard output, flushed at once.\n"
    "\n"
    "  PORT DEVICE        the first line, once DEVICE is ready to be opened\n"
    "  PID N              with --background, the second and last line: kill N stops it\n"
    "  FRAME probe        a probe arrived, e.g. FRAME probe hex=AA 30 00 ...\n"
    "  FRAME set          a set-correction frame arrived, e.g. FRAME set channel=2\n"
    "                     label=1490CW factor=1.1220185 dB=0.5000 hex=AA 04 02 ...\n"
    "  FRAME unknown      a frame of another command, e.g. FRAME unknown command=0x12 hex=...\n"
    "  SKIP bytes=N       bytes dropped: before a start byte, or a frame cut short\n"
    "  REPLY probe|set    an answer left the meter: REPLY set bytes=N at=T, with T its\n"
    "                     CLOCK_MONOTONIC time in nanoseconds\n"
    "  UNPLUGGED          the pty master was closed (--unplug-after)\n"
    "  XOFF               the line was stopped (--xoff-after)\n"
    "\n"
    "Exit status:\n"
    "  0  after SIGINT or SIGTERM, after unplugging, or when the parent process is gone\n"
    "     (not watched with --background); with --background, once the meter runs\n"
    "  1  the device cannot be set up\n"
    "  2  a bad command line\n";

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The protocol as the meter sees it, restated here on purpose rather than taken from link/: an
// independent meter catches a frame the tool gets wrong the same way on both sides.
constexpr std::size_t kFrameSize = 40;
constexpr std::uint8_t kStart = 0xAA;
constexpr std::uint8_t kProbe = 0x30;
constexpr std::uint8_t kSetCorrection = 0x04;
constexpr std::size_t kChannelAt = 2;
constexpr std::size_t kFactorAt = 5;
constexpr std::size_t kSignatureAt = 15;
constexpr std::uint8_t kAck = 0x06;
constexpr std::array<const char*, 4> kChannelLabels{"1310CW", "1310Burst", "1490CW", "1550CW"};

// A frame whose rest has not come within this time was cut short; its bytes are dropped so
// the next frame is read from its own start byte. Longer than the sender's resend pauses.
constexpr milliseconds kFrameGap{1000};
constexpr milliseconds kStreamTick{10};
constexpr std::size_t kStreamChunk = 19;  // per tick: about 19200 baud 8N1
constexpr milliseconds kParentCheck{500};

struct Options {
    std::string link;
    bool background = false;
    int replyDelayMs = 21;
    int ackDelayMs = -1;  // -1: replyDelayMs
    int replyJitterMs = 0;
    bool silent = false;
    bool noAck = false;
    bool noProbeAnswer = false;
    bool shortAnswer = false;
    bool wrongSignature = false;
    bool garbage = false;
    bool stream = false;
    long unplugAfter = 0;  // 0: never
    long xoffAfter = 0;    // 0: never
};

void Log(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

enum class Ask { Run, Help, Version, BadCommandLine };

// The help is kHelp, not CLI11's own: help2man makes the manual page from it.
Ask ParseOptions(int argc, char** argv, Options& options) {
    CLI::App app;
    app.set_help_flag();
    bool help = false;
    bool version = false;
    app.add_flag("--help", help);
    app.add_flag("--version", version);
    app.add_option("--link", options.link);
    app.add_flag("--background", options.background);
    app.add_option("--reply-delay", options.replyDelayMs)->check(CLI::Range(0, 600'000));
    app.add_option("--ack-delay", options.ackDelayMs)->check(CLI::Range(0, 600'000));
    app.add_option("--reply-jitter", options.replyJitterMs)->check(CLI::Range(0, 600'000));
    app.add_option("--unplug-after", options.unplugAfter)->check(CLI::Range(1L, 1'000'000'000L));
    app.add_option("--xoff-after", options.xoffAfter)->check(CLI::Range(1L, 1'000'000'000L));
    app.add_flag("--silent", options.silent);
    app.add_flag("--no-ack", options.noAck);
    app.add_flag("--no-probe-answer", options.noProbeAnswer);
    app.add_flag("--short-answer", options.shortAnswer);
    app.add_flag("--wrong-signature", options.wrongSignature);
    app.add_flag("--garbage", options.garbage);
    app.add_flag("--stream", options.stream);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError&) {
        return Ask::BadCommandLine;
    }
    if (help) return Ask::Help;
    return version ? Ask::Version : Ask::Run;
}

std::string Hex(const Bytes& bytes) {
    return HexBytes(bytes, HexStyle::Spaced);
}

std::string Describe(const Bytes& frame) {
    if (frame[1] == kProbe) return "FRAME probe hex=" + Hex(frame);
    std::array<char, 160> text{};
    if (frame[1] == kSetCorrection) {
        const std::uint8_t channel = frame[kChannelAt];
        const std::uint32_t bits =
            std::uint32_t{frame[kFactorAt]} | std::uint32_t{frame[kFactorAt + 1]} << 8 |
            std::uint32_t{frame[kFactorAt + 2]} << 16 | std::uint32_t{frame[kFactorAt + 3]} << 24;
        const float factor = std::bit_cast<float>(bits);
        const char* label = channel < kChannelLabels.size() ? kChannelLabels[channel] : "?";
        std::snprintf(text.data(), text.size(), "FRAME set channel=%u label=%s factor=%.8g dB=%.4f",
                      static_cast<unsigned>(channel), label, static_cast<double>(factor),
                      10.0 * std::log10(static_cast<double>(factor)));
    } else {
        std::snprintf(text.data(), text.size(), "FRAME unknown command=0x%02X",
                      static_cast<unsigned>(frame[1]));
    }
    return std::string(text.data()) + " hex=" + Hex(frame);
}

std::uint64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// The pty pair: the master is the meter's end of the cable, the slave the device the tool opens.
class Pty {
  public:
    Pty() = default;
    ~Pty() {
        CloseMaster();
        if (m_slave >= 0) close(m_slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Open() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) return false;
        std::array<char, 128> name{};
        if (ptsname_r(m_master, name.data(), name.size()) != 0) return false;
        m_path = name.data();
        const int flags = fcntl(m_master, F_GETFL);
        if (flags < 0 || fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) return false;

        // The slave stays open here for the whole run: the line keeps its settings, and the
        // master never reads end-of-file while the tool closes and reopens the device.
        m_slave = open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_slave < 0) return false;
        termios tio{};
        if (tcgetattr(m_slave, &tio) != 0) return false;
        cfmakeraw(&tio);
        tio.c_cflag |= CREAD | CLOCAL;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (cfsetspeed(&tio, B19200) != 0 || tcsetattr(m_slave, TCSANOW, &tio) != 0) return false;

        // Made the controlling terminal of a session of its own, the device cannot become
        // someone else's (Wine's server, for one, would otherwise take a tty it opens). Fails
        // harmlessly when started as a process group leader, e.g. as a shell job.
        if (setsid() >= 0) ioctl(m_slave, TIOCSCTTY, 0);
        return true;
    }

    void CloseMaster() {
        if (m_master >= 0) close(m_master);
        m_master = -1;
    }

    int Master() const { return m_master; }

    // XON/XOFF flow control for the device, and the stop character sent to it: its output
    // is held from then on, as a meter's full input buffer holds a real line.
    bool StopLine() {
        termios tio{};
        if (tcgetattr(m_slave, &tio) != 0) return false;
        tio.c_iflag |= IXON;
        const std::uint8_t xoff = 0x13;
        return tcsetattr(m_slave, TCSANOW, &tio) == 0 && write(m_master, &xoff, 1) == 1;
    }
    const std::string& Path() const { return m_path; }

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

// The --link symlink, replaced if a killed run left it behind, removed only while it is ours.
class Link {
  public:
    ~Link() { Remove(); }
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool Make(const std::string& at, const std::string& target) {
        struct stat info {};
        if (lstat(at.c_str(), &info) == 0) {
            if (!S_ISLNK(info.st_mode) || unlink(at.c_str()) != 0) return false;
        }
        if (symlink(target.c_str(), at.c_str()) != 0) return false;
        m_at = at;
        m_target = target;
        return true;
    }

    void Remove() {
        if (m_at.empty()) return;
        std::array<char, 4096> current{};
        const ssize_t n = readlink(m_at.c_str(), current.data(), current.size() - 1);
        if (n >= 0 && std::string(current.data(), static_cast<std::size_t>(n)) == m_target) {
            unlink(m_at.c_str());
        }
        m_at.clear();
    }

  private:
    std::string m_at;
    std::string m_target;
};

class Meter {
  public:
    // `parent` 0: runs on whoever its parent is.
    Meter(const Options& options, Pty& pty, int signalFd, pid_t parent)
        : m_options(options), m_pty(pty), m_signalFd(signalFd), m_parent(parent) {}

    int Run() {
        Clock::time_point nextStream = Clock::now();
        for (;;) {
            const Clock::time_point now = Clock::now();
            Clock::time_point wake = now + kParentCheck;
            if (!m_replies.empty()) wake = std::min(wake, m_replies.front().due);
            if (m_options.stream) wake = std::min(wake, nextStream);
            if (!m_pending.empty()) wake = std::min(wake, m_lastByte + kFrameGap);
            if (m_unplugAt) wake = std::min(wake, *m_unplugAt);
            const auto timeout = std::chrono::ceil<milliseconds>(std::max(wake - now, {}));

            std::array<pollfd, 2> fds{{{m_pty.Master(), POLLIN, 0}, {m_signalFd, POLLIN, 0}}};
            if (poll(fds.data(), fds.size(), static_cast<int>(timeout.count())) < 0 &&
                errno != EINTR) {
                std::perror("meter-sim: poll");
                return 1;
            }
            if (fds[1].revents != 0 || (m_parent != 0 && getppid() != m_parent)) return 0;
            if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                std::fputs("meter-sim: the device side hung up\n", stderr);
                return 1;
            }
            if ((fds[0].revents & POLLIN) != 0) Receive();
            if (m_unplugAt && Clock::now() >= *m_unplugAt) {
                m_pty.CloseMaster();
                Log("UNPLUGGED");
                return 0;
            }
            DropCutFrame();
            SendDueReplies();
            if (m_stopLine && m_replies.empty()) {
                m_stopLine = false;
                if (!m_pty.StopLine()) {
                    std::perror("meter-sim: xoff");
                    return 1;
                }
                Log("XOFF");
            }
            if (m_options.stream && Clock::now() >= nextStream) {
                Stream();
                nextStream += kStreamTick;
            }
        }
    }

  private:
    struct Reply {
        Clock::time_point due;
        Bytes bytes;
        const char* kind;
    };

    // Reads what the tool sent and answers complete frames.
    void Receive() {
        std::array<std::uint8_t, 512> chunk{};
        for (;;) {
            const ssize_t n = read(m_pty.Master(), chunk.data(), chunk.size());
            if (n <= 0) return;
            DropCutFrame();
            m_pending.insert(m_pending.end(), chunk.begin(), chunk.begin() + n);
            m_lastByte = Clock::now();
            for (;;) {
                const auto start = std::find(m_pending.begin(), m_pending.end(), kStart);
                Skip(static_cast<std::size_t>(start - m_pending.begin()));
                if (m_pending.size() < kFrameSize) break;
                const Bytes frame(m_pending.begin(), m_pending.begin() + kFrameSize);
                m_pending.erase(m_pending.begin(), m_pending.begin() + kFrameSize);
                Log(Describe(frame));
                if (m_unplugAt) continue;  // being unplugged: no more answers
                if (m_options.unplugAfter != 0 && ++m_frames >= m_options.unplugAfter) {
                    m_unplugAt = Clock::now() + ReplyDelay(m_options.replyDelayMs);
                    continue;
                }
                Answer(frame);
                if (m_options.xoffAfter != 0 && ++m_answered == m_options.xoffAfter)
                    m_stopLine = true;
            }
        }
    }

    void Skip(std::size_t count) {
        if (count == 0) return;
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(count));
        Log("SKIP bytes=" + std::to_string(count));
    }

    void DropCutFrame() {
        if (!m_pending.empty() && Clock::now() - m_lastByte >= kFrameGap) Skip(m_pending.size());
    }

    void Answer(const Bytes& frame) {
        if (m_options.silent) return;
        if (frame[1] == kProbe && !m_options.noProbeAnswer) {
            Schedule(ProbeAnswer(), "probe", m_options.replyDelayMs);
        }
        if (frame[1] == kSetCorrection && !m_options.noAck) {
            Schedule({kAck}, "set",
                     m_options.ackDelayMs < 0 ? m_options.replyDelayMs : m_options.ackDelayMs);
        }
    }

    Bytes ProbeAnswer() {
        Bytes answer(kFrameSize, 0);
        if (m_options.garbage) {
            std::uniform_int_distribution<int> byte(0, 255);
            for (auto& b : answer)
                b = static_cast<std::uint8_t>(byte(m_random));
            if (answer[kSignatureAt] == 'B') answer[kSignatureAt] = 'b';
            return answer;
        }
        answer[0] = kStart;
        answer[1] = kProbe;
        const std::string_view model = "OPM-SIM 1.0";
        std::copy(model.begin(), model.end(), answer.begin() + 2);
        const std::string_view signature = m_options.wrongSignature ? "boot" : "BOOT";
        std::copy(signature.begin(), signature.end(),
                  answer.begin() + static_cast<std::ptrdiff_t>(kSignatureAt));
        if (m_options.shortAnswer) answer.pop_back();
        return answer;
    }

    std::chrono::microseconds ReplyDelay(int delayMs) {
        std::chrono::microseconds delay = milliseconds(delayMs);
        if (m_options.replyJitterMs > 0) {
            const long limit = m_options.replyJitterMs * 1000L;
            delay += std::chrono::microseconds(
                std::uniform_int_distribution<long>(0, limit - 1)(m_random));
        }
        return delay;
    }

    void Schedule(Bytes bytes, const char* kind, int delayMs) {
        m_replies.push_back({Clock::now() + ReplyDelay(delayMs), std::move(bytes), kind});
        // Replies leave in the order of their frames even when a jittered one would overtake.
        std::stable_sort(m_replies.begin(), m_replies.end(),
                         [](const Reply& a, const Reply& b) { return a.due < b.due; });
    }

    void SendDueReplies() {
        while (!m_replies.empty() && m_replies.front().due <= Clock::now()) {
            const Reply& reply = m_replies.front();
            const ssize_t n = write(m_pty.Master(), reply.bytes.data(), reply.bytes.size());
            const std::uint64_t at = MonotonicNs();
            Log(std::string("REPLY ") + reply.kind +
                " bytes=" + std::to_string(std::max<ssize_t>(n, 0)) + " at=" + std::to_string(at));
            m_replies.pop_front();
        }
    }

    void Stream() {
        std::array<std::uint8_t, kStreamChunk> chunk{};
        for (auto& b : chunk)
            b = m_streamByte++;
        // A full buffer (nobody reading the device) simply loses the bytes, as a line would.
        if (write(m_pty.Master(), chunk.data(), chunk.size()) < 0 && errno != EAGAIN) {
            std::perror("meter-sim: stream");
        }
    }

    const Options& m_options;
    Pty& m_pty;
    const int m_signalFd;
    const pid_t m_parent;
    Bytes m_pending;
    Clock::time_point m_lastByte;
    std::deque<Reply> m_replies;
    long m_frames = 0;
    long m_answered = 0;
    bool m_stopLine = false;  // once the replies due have left
    std::optional<Clock::time_point> m_unplugAt;
    std::uint8_t m_streamByte = 0;
    std::mt19937 m_random{std::random_device{}()};
};

// Installed as dravik-meter-sim, built as meter-sim: every text names it as it was called.
std::string ProgramName(const char* argv0) {
    const std::string_view path = argv0 != nullptr ? argv0 : "meter-sim";
    return std::string(path.substr(path.find_last_of('/') + 1));
}

std::string Usage(const std::string& name) {
    return "Usage: " + name + " [OPTION]...\n";
}

// The answer to --help or --version; 0 once it is out.
int Answer(Ask ask, const std::string& name) {
    const std::string text =
        ask == Ask::Help ? Usage(name) + kHelp : name + " (Z9M4-SET) " + DRAVIK_VERSION + "\n";
    const bool written = std::fputs(text.c_str(), stdout) >= 0;
    return written && std::fflush(stdout) == 0 ? 0 : 1;
}

// --background. The meter is a child forked before the pty exists: it, not the parent that
// exits, becomes the session leader whose controlling terminal the device is. Returns nullopt
// in the child, with the write end of a pipe in `ready`; in the parent, once the child has
// written a byte to it (exit 0) or has ended without (its own status, having said why).
std::optional<int> Fork(int& ready) {
    std::array<int, 2> ends{};
    if (pipe2(ends.data(), O_CLOEXEC) != 0) {
        std::perror("meter-sim: pipe");
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::perror("meter-sim: fork");
        return 1;
    }
    if (child == 0) {
        close(ends[0]);
        ready = ends[1];
        return std::nullopt;
    }
    close(ends[1]);
    char byte = 0;
    ssize_t n = 0;
    do {
        n = read(ends[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    close(ends[0]);
    if (n == 1) return 0;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 1;
    return WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1;
}

// The child's lines after PID go nowhere: a reader of the parent's output, such as a shell's
// $(...), would otherwise wait for the meter to end.
bool Detached(int ready) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return false;
    const bool moved = dup2(null, 0) == 0 && dup2(null, 1) == 1 && dup2(null, 2) == 2;
    close(null);
    const char byte = 1;
    const bool told = moved && write(ready, &byte, 1) == 1;
    close(ready);
    return told;
}

}  // namespace

int main(int argc, char** argv) {
    // The parent it serves, before anything could make it an orphan.
    const pid_t parent = getppid();
    // Its pty's master opened as descriptor 1 would take the log lines for the meter's answers.
    KeepStandardDescriptorsOpen();
    const std::string name = ProgramName(argv[0]);
    Options options;
    const Ask ask = ParseOptions(argc, argv, options);
    if (ask == Ask::BadCommandLine) {
        std::fputs((Usage(name) + "Try '" + name + " --help' for more information.\n").c_str(),
                   stderr);
        return 2;
    }
    if (ask != Ask::Run) return Answer(ask, name);
    int ready = -1;
    if (options.background) {
        if (const std::optional<int> status = Fork(ready)) return *status;
    }

    // SIGINT and SIGTERM arrive through a descriptor, so the loop ends them cleanly. Closing
    // the master hangs up the slave, our controlling terminal: that SIGHUP is expected.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = sigprocmask(SIG_BLOCK, &stop, nullptr) == 0
                             ? signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK)
                             : -1;
    if (signalFd < 0) {
        std::perror("meter-sim: signals");
        return 1;
    }

    Pty pty;
    if (!pty.Open()) {
        std::perror("meter-sim: pty");
        return 1;
    }
    Link link;
    if (!options.link.empty() && !link.Make(options.link, pty.Path())) {
        std::perror(("meter-sim: link " + options.link).c_str());
        return 1;
    }
    // Watched before PORT is out: a parent that dies from here on sends SIGTERM (read from the
    // descriptor above, so the pty and the link go as after any stop), and one that died before
    // the watch began shows in getppid(). In the background there is no parent to serve: the
    // one that started it exits as soon as PORT is out.
    if (!options.background && (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent))
        return 0;
    Log("PORT " + pty.Path());
    if (options.background) {
        Log("PID " + std::to_string(getpid()));
        if (!Detached(ready)) return 1;
    }
    return Meter(options, pty, signalFd, options.background ? 0 : parent).Run();
}
