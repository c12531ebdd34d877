// bench-exchange [N [meter-sim options]]: the command exchange against the simulated meter on a
// pty, in real time.
//
// N answered SendFrame calls (default 200, 20 with DRAVIK_BENCH_QUICK=1): the time from the
// meter's answer leaving the meter (its REPLY log line) to SendFrame returning, the time of the
// whole call, and the CPU time the process spent per call. Then the CPU time an idle watcher spends
// in a second with its answer unread, and the CPU time of one SendFrame to a silent meter (a whole
// 5 s poll).
//
// By default the meter answers 21 ms (a 40-byte frame's time on a 19200 baud line) plus a
// random 0..10 ms after each frame, so the answer falls at any point of the sender's 5 ms poll,
// as a real meter's does. Other meter-sim options replace that (e.g. "--reply-delay 0").
//
// Exits 1 when the meter does not answer every call, or a silent one seems to; a missed target
// is only printed.

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "meter_port.h"
#include "quick_mode.h"
#include "sim_process.h"

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

int Answered(int calls, const std::vector<std::string>& simOptions) {
    MeterSimProcess sim(simOptions);
    CMeterPort port;
    if (!sim.Started() || port.Open(sim.PortName()) == kInvalidPort) {
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
        // The meter logs each answer as it leaves: the i-th call's is its i-th REPLY line.
        const std::size_t replies = static_cast<std::size_t>(i) + 1;
        if (!sim.WaitForLines("REPLY set", replies) || answered != 1) {
            ++unanswered;
            continue;
        }
        const std::string reply = sim.Lines("REPLY set")[replies - 1];
        const std::size_t at = reply.find(" at=");
        if (at == std::string::npos) {
            ++unanswered;
            continue;
        }
        const double left = std::strtod(reply.c_str() + at + 4, nullptr) * 1e-9;
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
    port.Layer().Stop().Pause(1000);
    const double idle = ProcessCpu() - idleBefore;
    std::printf("%-18s %.3f ms CPU over 1 s (%.2f%% of a core)   (target 0%%)\n", "idle watcher",
                idle * 1e3, idle * 100.0);
    if (unanswered != 0) {
        std::fprintf(stderr, "bench-exchange: the meter left %d of %d calls unanswered\n",
                     unanswered, calls);
        return 1;
    }
    return 0;
}

int Silent() {
    MeterSimProcess sim({"--silent"});
    CMeterPort port;
    if (!sim.Started() || port.Open(sim.PortName()) == kInvalidPort) {
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
    if (answered != 0) {
        std::fputs("bench-exchange: a silent meter's send was taken as answered\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : BenchRounds(200, 20);
    if (calls < 1 || calls > 1'000'000) {
        std::fputs("usage: bench-exchange [calls [meter-sim options]]\n", stderr);
        return 2;
    }
    std::vector<std::string> simOptions(argv + std::min(argc, 2), argv + argc);
    if (simOptions.empty()) simOptions = {"--reply-jitter", "10"};
    const int answered = Answered(static_cast<int>(calls), simOptions);
    return answered != 0 ? answered : Silent();
}
