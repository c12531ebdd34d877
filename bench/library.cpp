// Four channels set through the C library in this process (dravik_open on the port, four
// dravik_set, dravik_close) beside `dravik-cli set --port` with the same four, a process each
// run, and the same-protocol pyserial script (serial_set.py --probe: the identity probe both
// send to the port they are given, then the four exchanges), runs interleaved on one simulated
// meter. The library saves the process start and the exit.
//
// Target: library <= dravik-cli <= script (medians). DRAVIK_BENCH_QUICK=1: three runs of each,
// for a check that the benchmark still works. Exits 1 when a run failed; a missed target is only
// printed.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dravik.h"
#include "meter_frames.h"
#include "sim_process.h"
#include "timed_runs.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::pair<std::string, std::string>> kLevels = {
    {"1310CW", "0.35"}, {"1310Burst", "-1.5"}, {"1490CW", "0.5"}, {"1550CW", "2.25"}};

int Runs() {
    const char* quick = std::getenv("DRAVIK_BENCH_QUICK");
    return quick != nullptr && std::string(quick) == "1" ? 3 : 15;
}

// The wall time in ms of `run`, or nullopt when it failed.
std::optional<double> Timed(const std::function<bool()>& run) {
    const Clock::time_point start = Clock::now();
    if (!run()) return std::nullopt;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The four channels through the library; whether every one was confirmed.
bool ThroughLibrary(const std::string& port) {
    dravik_meter* meter = nullptr;
    if (dravik_open(port.c_str(), &meter) != DRAVIK_CONFIRMED) return false;
    bool confirmed = true;
    for (const auto& [channel, db] : kLevels) {
        const char* record = nullptr;
        confirmed = dravik_set(meter, channel.c_str(), db.c_str(), &record) == DRAVIK_CONFIRMED &&
                    confirmed;
    }
    return dravik_close(meter) == DRAVIK_CONFIRMED && confirmed;
}

}  // namespace

int main() {
    MeterSimProcess meter;
    if (!meter.Started()) {
        std::puts("meter-sim did not start (is DRAVIK_BIN_DIR right?)");
        return 1;
    }
    const std::string port = meter.DevicePath();
    std::vector<std::string> cli = {BinDir() + "/dravik-cli", "set", "--port", port};
    std::vector<std::string> script = {"/usr/bin/python3", DRAVIK_SERIAL_SCRIPT, "--probe", port};
    for (std::size_t k = 0; k < kLevels.size(); ++k) {
        cli.push_back(kLevels[k].first + "=" + kLevels[k].second);
        const std::wstring db(kLevels[k].second.begin(), kLevels[k].second.end());
        script.push_back(
            OracleHex(BuildSetCorrectionFrame(db, static_cast<std::uint8_t>(k)), false));
    }

    const int runs = Runs();
    std::printf("four channels against meter-sim on %s; %d runs each, interleaved\n", port.c_str(),
                runs);
    Series library{"libdravik, in this process", {}};
    Series program{"dravik-cli set --port", {}};
    Series serial{"python3 + pyserial (serial_set.py)", {}};
    for (int run = 0; run < runs; ++run) {
        library.Add(Timed([&] { return ThroughLibrary(port); }));
        program.Add(TimedRun(cli, environ));
        serial.Add(TimedRun(script, environ));
    }
    library.Print();
    program.Print();
    serial.Print();
    const double libraryToCli = library.Median() / program.Median();
    const double cliToScript = program.Median() / serial.Median();
    const bool met = libraryToCli <= 1.0 && cliToScript <= 1.0;
    std::printf("ratios (medians): library / dravik-cli %.3f, dravik-cli / script %.3f\n",
                libraryToCli, cliToScript);
    std::printf("target library <= dravik-cli <= script: %s\n", met ? "met" : "MISSED");
    // Each run of each sends the probe and the four.
    const std::size_t frames = meter.Frames().size();
    const std::size_t expected = (1 + kLevels.size()) * 3 * static_cast<std::size_t>(runs);
    std::printf("frames the meter received: %zu of %zu\n", frames, expected);
    // A missed target is only printed; a run that failed, or frames that did not reach the
    // meter, are an error.
    const bool failed = library.failed || program.failed || serial.failed;
    return !failed && frames == expected ? 0 : 1;
}
