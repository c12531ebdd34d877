// bench-exchange [N [meter-sim options]]: the command exchange against the simulated meter on a
// pty, in real time.
//
// N answered SendFrame calls (default 200): the time from the meter's answer leaving the meter
// (its REPLY log line) to SendFrame returning, the time of the whole call, and the CPU time the
// process spent per call. Then the CPU time an idle watcher spends in a second with its answer
// unread, and the CPU time of one SendFrame to a silent meter (a whole 5 s poll).
//
// By default the meter answers 21 ms (a 40-byte frame's time on a 19200 baud line) plus a
// random 0..10 ms after each frame, so the answer falls at any point of the sender's 5 ms poll,
// as a real meter's does. Other meter-sim options replace that (e.g. "--reply-delay 0").

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "meter_port.h"

namespace {

double Seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Monotonic() {
    return Seconds(CLOCK_MONOTONIC);
}
double ProcessCpu() {
    return Seconds(CLOCK_PROCESS_CPUTIME_ID);
}

// meter-sim as a child process, its log read line by line as the benchmark needs it.
class Sim {
  public:
    explicit Sim(const std::vector<std::string>& options) {
        const std::string program =
            (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "meter-sim").string();
        std::array<int, 2> out{};
        if (pipe2(out.data(), O_CLOEXEC) != 0) return;
        std::vector<std::string> args{program};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const int spawned =
            posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_out = out[0];
        if (spawned != 0) {
            m_pid = -1;
            return;
        }
        const std::optional<std::string> first = NextLine("PORT ");
        if (first) m_device = first->substr(5);
    }

    ~Sim() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
    }

    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    const std::string& Device() const { return m_device; }

    // The next log line starting with `prefix`; nothing if none comes within 10 s.
    std::optional<std::string> NextLine(const std::string& prefix) {
        const double deadline = Monotonic() + 10.0;
        for (;;) {
            for (std::size_t end = m_buffer.find('\n'); end != std::string::npos;
                 end = m_buffer.find('\n')) {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                if (line.starts_with(prefix)) return line;
            }
            const double left = deadline - Monotonic();
            pollfd readable{m_out, POLLIN, 0};
            if (left <= 0 || poll(&readable, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
            std::array<char, 4096> chunk{};
            const ssize_t n = read(m_out, chunk.data(), chunk.size());
            if (n <= 0) break;
            m_buffer.append(chunk.data(), static_cast<std::size_t>(n));
        }
        return std::nullopt;
    }

  private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_device;
    std::string m_buffer;
};

struct Stats {
    double p50;
    double p99;
    double max;
};

Stats Summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
        return values[i];
    };
    return {at(0.50), at(0.99), values.back()};
}

void Print(const char* what, const Stats& s, const char* target) {
    std::printf("%-18s p50 %6.2f ms   p99 %6.2f ms   max %6.2f ms   %s\n", what, s.p50 * 1e3,
                s.p99 * 1e3, s.max * 1e3, target);
}

std::wstring Wide(const std::string& path) {
    return std::wstring(path.begin(), path.end());
}

int Answered(int calls, const std::vector<std::string>& simOptions) {
    Sim sim(simOptions);
    CMeterPort port;
    if (sim.Device().empty() || port.Open(Wide(sim.Device())) == kInvalidPort) {
        std::fputs("bench-exchange: cannot start meter-sim or open its device\n", stderr);
        return 1;
    }
    const Frame frame = BuildSetCorrectionFrame(L"0.5", 2);
    std::vector<double> answerToReturn;
    std::vector<double> whole;
    std::vector<double> cpu;
    int unanswered = 0;
    for (int i = 0; i < calls; ++i) {
        const double cpuBefore = ProcessCpu();
        const double started = Monotonic();
        const int answered = port.SendFrame(frame);
        const double returned = Monotonic();
        cpu.push_back(ProcessCpu() - cpuBefore);
        whole.push_back(returned - started);
        const std::optional<std::string> reply = sim.NextLine("REPLY set");
        const std::size_t at = reply ? reply->find(" at=") : std::string::npos;
        if (answered != 1 || at == std::string::npos) {
            ++unanswered;
            continue;
        }
        const double left = std::strtod(reply->c_str() + at + 4, nullptr) * 1e-9;
        answerToReturn.push_back(returned - left);
    }
    if (answerToReturn.empty()) {
        std::fputs("bench-exchange: the meter never answered\n", stderr);
        return 1;
    }

    std::string options;
    for (const std::string& option : simOptions)
        options += " " + option;
    std::printf("%d SendFrame calls, meter-sim%s; %d unanswered\n", calls, options.c_str(),
                unanswered);
    Print("answer-to-return", Summarise(answerToReturn), "(target p50 <= 13, p99 <= 16)");
    Print("whole SendFrame", Summarise(whole), "");
    const Stats c = Summarise(cpu);
    std::printf("%-18s p50 %6.3f ms   p99 %6.3f ms   max %6.3f ms\n", "CPU per call", c.p50 * 1e3,
                c.p99 * 1e3, c.max * 1e3);

    // The last answer sits unread until a next send that never comes: the watcher waits.
    const double idleBefore = ProcessCpu();
    port.Layer().Pause(1000);
    const double idle = ProcessCpu() - idleBefore;
    std::printf("%-18s %.3f ms CPU over 1 s (%.2f%% of a core)   (target 0%%)\n", "idle watcher",
                idle * 1e3, idle * 100.0);
    return 0;
}

int Silent() {
    Sim sim({"--silent"});
    CMeterPort port;
    if (sim.Device().empty() || port.Open(Wide(sim.Device())) == kInvalidPort) {
        std::fputs("bench-exchange: cannot start a silent meter-sim or open its device\n", stderr);
        return 1;
    }
    const Frame frame = BuildSetCorrectionFrame(L"0.5", 2);
    const double cpuBefore = ProcessCpu();
    const double started = Monotonic();
    const int answered = port.SendFrame(frame);
    const double took = Monotonic() - started;
    const double cpu = ProcessCpu() - cpuBefore;
    std::printf("%-18s SendFrame returned %d after %.3f s, %.3f ms CPU   (target <= 50 ms)\n",
                "silent meter", answered, took, cpu * 1e3);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200;
    if (calls < 1 || calls > 1'000'000) {
        std::fputs("usage: bench-exchange [calls [meter-sim options]]\n", stderr);
        return 2;
    }
    std::vector<std::string> simOptions(argv + std::min(argc, 2), argv + argc);
    if (simOptions.empty()) simOptions = {"--reply-jitter", "10"};
    const int answered = Answered(static_cast<int>(calls), simOptions);
    return answered != 0 ? answered : Silent();
}
