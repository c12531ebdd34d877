// Wall time of `dravik-cli set` with four channels and --port against the simulated meter on a
// pty, beside a minimal Python script doing the same four exchanges with pyserial on the same pty
// (serial_set.py --probe, the file DRAVIK_SERIAL_SCRIPT names),
// in the same run, runs interleaved; then dravik-cli finding the meter itself as the first listed
// port (DRAVIK_EXTRA_PORTS), only when this machine lists no serial port of its own: no real
// port is ever probed here.
//
// Targets: dravik-cli no slower than the script, in spite of the exchange's 5 ms poll and 10 ms
// pause; with --log (two rows a channel, each synced to the disk before it goes on) within 10 %
// of --port alone; with discovery at most 0.75 s more than with --port.
//
// Nine runs of each (three with DRAVIK_BENCH_QUICK=1). Exits 1 when a run fails or the meter
// misses a frame; a missed target is only printed.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "machine_ports.h"
#include "meter_frames.h"
#include "quick_mode.h"
#include "scratch_dir.h"
#include "sim_process.h"
#include "timed_runs.h"

extern char** environ;

namespace {

constexpr double kDiscoveryExtraLimitMs = 750;
constexpr double kLogExtraLimit = 0.10;

const std::vector<std::pair<std::string, std::wstring>> kLevels = {{"1310CW=0.35", L"0.35"},
                                                                   {"1310Burst=-1.5", L"-1.5"},
                                                                   {"1490CW=0.5", L"0.5"},
                                                                   {"1550CW=2.25", L"2.25"}};

}  // namespace

int main() {
    const int runs = BenchRounds(9, 3);
    MeterSimProcess meter;
    if (!meter.Started()) {
        std::puts("meter-sim did not start (is DRAVIK_BIN_DIR right?)");
        return 1;
    }
    const std::string cli = BinDir() + "/dravik-cli";
    std::vector<std::string> withPort = {cli, "set", "--port", meter.DevicePath()};
    const ScratchDir logDir;
    std::vector<std::string> withLog = {
        cli, "set", "--port", meter.DevicePath(), "--log", logDir.Path() + "/station.csv"};
    std::vector<std::string> withDiscovery = {cli, "set"};
    // The identity probe too, as dravik-cli sends one to the port it is given or finds.
    std::vector<std::string> python = {"/usr/bin/python3", DRAVIK_SERIAL_SCRIPT, "--probe",
                                       meter.DevicePath()};
    for (std::uint8_t channel = 0; channel < kLevels.size(); ++channel) {
        withPort.push_back(kLevels[channel].first);
        withLog.push_back(kLevels[channel].first);
        withDiscovery.push_back(kLevels[channel].first);
        python.push_back(SimLogHex(BuildSetCorrectionFrame(kLevels[channel].second, channel)));
    }
    const bool discovery = MachineListsNoPort();
    std::string extra = "DRAVIK_EXTRA_PORTS=" + meter.DevicePath();
    std::vector<char*> discoveryEnvironment;
    for (char** variable = environ; *variable != nullptr; ++variable)
        discoveryEnvironment.push_back(*variable);
    discoveryEnvironment.push_back(extra.data());
    discoveryEnvironment.push_back(nullptr);

    std::printf(
        "dravik-cli set, four channels, against meter-sim on %s; %d runs each, interleaved\n",
        meter.DevicePath().c_str(), runs);
    Series script{"python3 + pyserial, four exchanges", {}};
    Series port{"dravik-cli set --port", {}};
    Series logged{"dravik-cli set --port --log", {}};
    Series found{"dravik-cli set, meter the first listed port", {}};
    for (int run = 0; run < runs; ++run) {
        script.Add(TimedRun(python, environ));
        port.Add(TimedRun(withPort, environ));
        logged.Add(TimedRun(withLog, environ));
        if (discovery) found.Add(TimedRun(withDiscovery, discoveryEnvironment.data()));
    }
    const std::size_t sets = meter.Lines("FRAME set ").size();
    const std::size_t expectedSets =
        kLevels.size() * static_cast<std::size_t>(runs) * (discovery ? 4 : 3);
    script.Print();
    port.Print();
    const bool failed = script.failed || port.failed || logged.failed || found.failed;
    const double ratio = port.Median() / script.Median();
    std::printf("ratio dravik-cli / script (medians): %.3f\n", ratio);
    std::printf("target: dravik-cli no slower than the script: %s\n",
                ratio <= 1.0 ? "met" : "MISSED");
    logged.Print();
    const double logExtra = logged.Median() / port.Median() - 1;
    std::printf(
        "the log costs %+.1f ms a channel (medians, its write-ahead and outcome rows "
        "synced); target within %.0f %% of --port: %s\n",
        (logged.Median() - port.Median()) / static_cast<double>(kLevels.size()),
        kLogExtraLimit * 100, logExtra <= kLogExtraLimit ? "met" : "MISSED");
    if (discovery) {
        found.Print();
        const double extraMs = found.Median() - port.Median();
        std::printf("discovery costs %+.1f ms (medians); target at most %.0f ms more: %s\n",
                    extraMs, kDiscoveryExtraLimitMs,
                    extraMs <= kDiscoveryExtraLimitMs ? "met" : "MISSED");
    } else {
        std::puts(
            "this machine lists serial ports of its own: the discovery variant would probe "
            "them first, so it is skipped");
    }
    std::printf("set frames the meter received: %zu of %zu\n", sets, expectedSets);
    return !failed && sets == expectedSets ? 0 : 1;
}
