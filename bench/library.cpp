// Four channels set through the C library in this process (dravik_open on the port, four
// dravik_set, dravik_close) beside `dravik-cli set --port` with the same four, a process each
// run, and the same-protocol pyserial script (serial_set.py --probe: the identity probe both
// send to the port they are given, then the four exchanges), runs interleaved on one simulated
// meter. The library saves the process start and the exit. Then the same four channels on 8
// sessions, on 8 threads at once, each on a simulated meter of its own and all logging to one
// file, beside one session alone: a station's test sockets in one host process.
//
// Last, how long the calls that wait block when nobody cancels them, and how soon a cancel or a
// close from another thread ends them: the figures dravik.h states.
//
// Targets: library <= dravik-cli <= script (medians); 8 sessions at once take at most 1.3 times
// one session's time (medians). DRAVIK_BENCH_QUICK=1: three runs of each,
// for a check that the benchmark still works. Exits 1 when a run failed; a missed target is only
// printed.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dravik.h"
#include "machine_ports.h"
#include "meter_frames.h"
#include "quick_mode.h"
#include "sim_process.h"
#include "timed_runs.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::pair<std::string, std::string>> kLevels = {
    {"1310CW", "0.35"}, {"1310Burst", "-1.5"}, {"1490CW", "0.5"}, {"1550CW", "2.25"}};

int Runs() {
    return BenchRounds(15, 3);
}

// The wall time in ms of `run`, or nullopt when it failed.
std::optional<double> Timed(const std::function<bool()>& run) {
    const Clock::time_point start = Clock::now();
    if (!run()) return std::nullopt;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The four channels through the library (with `log`, unless empty), each record read out as a
// host reads it; whether every one was confirmed.
bool ThroughLibrary(const std::string& port, const std::string& log = "") {
    dravik_session session = 0;
    if (dravik_new(&session) != DRAVIK_CONFIRMED) return false;
    bool confirmed = (log.empty() || dravik_open_log(session, log.c_str()) == DRAVIK_CONFIRMED) &&
                     dravik_open(session, port.c_str()) == DRAVIK_CONFIRMED;
    std::vector<char> record(4096);
    for (const auto& [channel, db] : kLevels) {
        if (!confirmed) break;
        confirmed = dravik_set(session, channel.c_str(), db.c_str()) == DRAVIK_CONFIRMED &&
                    dravik_record(session, record.data(), static_cast<int32_t>(record.size())) > 0;
    }
    return dravik_close(session) == DRAVIK_CONFIRMED && confirmed;
}

// `count` sessions on as many threads at once, each on its own meter, one log for all.
bool SessionsAtOnce(const std::vector<std::unique_ptr<MeterSimProcess>>& meters, std::size_t count,
                    const std::string& log) {
    std::vector<std::thread> threads;
    std::vector<char> confirmed(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        threads.emplace_back(
            [&, i] { confirmed[i] = ThroughLibrary(meters[i]->DevicePath(), log); });
    }
    for (std::thread& thread : threads)
        thread.join();
    return std::all_of(confirmed.begin(), confirmed.end(), [](char ok) { return ok != 0; });
}

// The rows of a CSV log, its header left out.
std::size_t LogRows(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return 0;
    std::size_t lines = 0;
    for (int c = 0; (c = std::fgetc(file)) != EOF;)
        lines += c == '\n' ? 1 : 0;
    std::fclose(file);
    return lines == 0 ? 0 : lines - 1;
}

// One session alone and 8 at once: whether every run went through and the log holds every row.
bool CompareSessions(int runs) {
    constexpr std::size_t kSessions = 8;
    std::vector<std::unique_ptr<MeterSimProcess>> meters;
    for (std::size_t i = 0; i < kSessions; ++i) {
        meters.push_back(std::make_unique<MeterSimProcess>());
        if (!meters.back()->Started()) {
            std::puts("meter-sim did not start");
            return false;
        }
    }
    char scratch[] = "/tmp/bench-library.XXXXXX";
    if (mkdtemp(scratch) == nullptr) return false;
    const std::string log = std::string(scratch) + "/station.csv";
    Series one{"1 session (four channels, log)", {}};
    Series eight{"8 sessions on 8 threads, one log", {}};
    for (int run = 0; run < runs; ++run) {
        one.Add(Timed([&] { return SessionsAtOnce(meters, 1, log); }));
        eight.Add(Timed([&] { return SessionsAtOnce(meters, kSessions, log); }));
    }
    one.Print();
    eight.Print();
    const double ratio = eight.Median() / one.Median();
    std::printf("ratio 8 sessions / 1 session (medians): %.3f; target <= 1.3: %s\n", ratio,
                ratio <= 1.3 ? "met" : "MISSED");
    const std::size_t rows = LogRows(log);
    const std::size_t expected =
        2 * kLevels.size() * (1 + kSessions) * static_cast<std::size_t>(runs);
    std::printf("rows in the shared log: %zu of %zu\n", rows, expected);
    std::remove(log.c_str());
    rmdir(scratch);
    return !one.failed && !eight.failed && rows == expected;
}

// One run of `call` on a fresh session (opened on the port first when `named`) against a fresh
// meter-sim with `options`; with `stop`, a cancel or a close from another thread 300 ms into
// the call. The call's time from that stop (or from its start, without one), or nullopt when it
// did not end with `expected`.
enum class Stop { None, Cancel, Close };
std::optional<double> BlockOnce(const std::vector<std::string>& options, bool named,
                                const std::function<int32_t(dravik_session)>& call,
                                int32_t expected, Stop stop) {
    MeterSimProcess meter(options);
    if (!meter.Started()) return std::nullopt;
    const std::string port = meter.DevicePath();
    // A search finds the sim through DRAVIK_EXTRA_PORTS, as the only port (see MeasureBlocks).
    ::setenv("DRAVIK_EXTRA_PORTS", port.c_str(), 1);
    dravik_session session = 0;
    if (dravik_new(&session) != DRAVIK_CONFIRMED ||
        (named && dravik_open(session, port.c_str()) != DRAVIK_CONFIRMED)) {
        dravik_close(session);
        return std::nullopt;
    }
    constexpr auto kStopAfter = std::chrono::milliseconds(300);
    std::thread other;
    if (stop != Stop::None) {
        other = std::thread([&] {
            std::this_thread::sleep_for(kStopAfter);
            stop == Stop::Close ? dravik_close(session) : dravik_cancel(session);
        });
    }
    const Clock::time_point start = Clock::now();
    const int32_t status = call(session);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (other.joinable()) other.join();
    if (stop != Stop::Close) dravik_close(session);
    if (stop != Stop::None) ms -= static_cast<double>(kStopAfter.count());
    const int32_t wanted = stop == Stop::None ? expected : DRAVIK_CANCELLED;
    return status == wanted ? std::optional<double>(ms) : std::nullopt;
}

// The call alone (unless `alone` is false: it takes too long for the short mode), then cut short
// by a cancel and by a close; whether each ended as it should.
bool MeasureBlock(const char* what, const std::vector<std::string>& options, bool named,
                  const std::function<int32_t(dravik_session)>& call, int32_t expected,
                  bool alone) {
    bool ended = true;
    std::printf("%-42s", what);
    const auto print = [&](const char* label, std::optional<double> ms) {
        ended = ended && ms.has_value();
        std::printf("  %s %s", label,
                    ms ? (std::to_string(static_cast<int>(*ms)) + " ms").c_str() : "FAILED");
    };
    if (alone) {
        print("alone", BlockOnce(options, named, call, expected, Stop::None));
    } else {
        std::printf("  alone (not in the short mode)");
    }
    print("cancel to return", BlockOnce(options, named, call, expected, Stop::Cancel));
    print("close to return", BlockOnce(options, named, call, expected, Stop::Close));
    std::puts("");
    return ended;
}

bool MeasureBlocks() {
    std::puts("longest blocks, none cancelled; then a cancel or a close 300 ms in:");
    const auto set = [](dravik_session session) { return dravik_set(session, "1490CW", "0.5"); };
    const auto search = [](dravik_session session) { return dravik_open(session, nullptr); };
    bool ended = MeasureBlock("dravik_set, a silent meter", {"--no-ack"}, true, set,
                              DRAVIK_NOT_CONFIRMED, true);
    // Seven writes (the frame, five resends, a last one), each bounded by the write time-out.
    ended = MeasureBlock("dravik_set, a line held by flow control", {"--xoff-after", "1"}, true,
                         set, DRAVIK_NOT_CONFIRMED, !BenchQuick()) &&
            ended;
    // No real port is ever probed here: the search only where the machine lists none.
    if (MachineListsNoPort()) {
        ended = MeasureBlock("dravik_open (search), a silent port", {"--silent"}, false, search,
                             DRAVIK_NO_METER, true) &&
                ended;
    } else {
        std::puts("dravik_open (search): not measured, this machine lists serial ports of its own");
    }
    ::unsetenv("DRAVIK_EXTRA_PORTS");
    return ended;
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
    const bool sessions = CompareSessions(runs);
    const bool blocks = MeasureBlocks();
    return !failed && frames == expected && sessions && blocks ? 0 : 1;
}
