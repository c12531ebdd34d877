// Four channels set through the C library in this process (dravik_open on the port, four
// dravik_set, dravik_close) beside `dravik-cli set --port` with the same four, a process each
// run, and the same-protocol pyserial script (serial_set.py --probe: the identity probe both
// send to the port they are given, then the four exchanges), runs interleaved on one simulated
// meter. The library saves the process start and the exit. With Dravik.Net.dll built, the same
// four through it under mono (bench/dotnet_library.cs, a child asked for one run at a time, timed
// by itself as the C call is here), beside the C call. Then the same four channels on 8
// sessions, on 8 threads at once, each on a simulated meter of its own and all logging to one
// file, beside one session alone: a station's test sockets in one host process.
//
// Last, how long the calls that wait block when nobody cancels them, and how soon a cancel or a
// close from another thread ends them: the figures dravik.h states.
//
// Targets: library <= dravik-cli <= script (medians); Dravik.Net.dll within 5 % of the C call;
// 8 sessions at once take at most 1.3 times one session's time (medians). DRAVIK_BENCH_QUICK=1:
// three runs of each, for a check that the benchmark still works. Exits 1 when a run failed; a
// missed target is only printed.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    // bench-waits and bench-exchange time a silent meter in the short mode already.
    bool ended = MeasureBlock("dravik_set, a silent meter", {"--no-ack"}, true, set,
                              DRAVIK_NOT_CONFIRMED, !BenchQuick());
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

#ifdef DRAVIK_NET_BENCH
// bench/dotnet_library.cs under mono, its stdin and stdout on pipes: a line written asks for a
// run, the line read back is its time in ms, or why it failed. The built libdravik is found
// through LD_LIBRARY_PATH, as the assembly's config maps it to the soname.
class DotNetRuns {
  public:
    explicit DotNetRuns(const std::string& port) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        // A child that died must fail the run, not end the benchmark at the next write.
        std::signal(SIGPIPE, SIG_IGN);
        std::vector<std::string> environment;
        for (char** variable = environ; *variable != nullptr; ++variable)
            if (std::strncmp(*variable, "LD_LIBRARY_PATH=", 16) != 0)
                environment.push_back(*variable);
        environment.push_back("LD_LIBRARY_PATH=" DRAVIK_LIBRARY_DIR);
        std::vector<char*> envp;
        for (std::string& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::string mono = DRAVIK_MONO;
        std::string program = DRAVIK_NET_BENCH;
        std::string device = port;
        char* argv[] = {mono.data(), program.data(), device.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv, envp.data()) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_to = in[1];
        m_from = ::fdopen(out[0], "r");
    }
    ~DotNetRuns() {
        // Its stdin closed, the child's loop ends.
        ::close(m_to);
        if (m_from != nullptr) std::fclose(m_from);
        if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
    }
    DotNetRuns(const DotNetRuns&) = delete;
    DotNetRuns& operator=(const DotNetRuns&) = delete;

    std::optional<double> Run() {
        if (m_pid <= 0 || m_from == nullptr || ::write(m_to, "\n", 1) != 1) return std::nullopt;
        std::array<char, 512> line{};
        if (std::fgets(line.data(), static_cast<int>(line.size()), m_from) == nullptr)
            return std::nullopt;
        char* end = nullptr;
        const double ms = std::strtod(line.data(), &end);
        if (end == line.data() || *end != '\n') {
            std::printf("Dravik.Net.dll: %s", line.data());
            return std::nullopt;
        }
        return ms;
    }

  private:
    pid_t m_pid = -1;
    int m_to = -1;
    std::FILE* m_from = nullptr;
};
#endif

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
    // Each run of each sends the probe and the four.
    std::size_t expected = (1 + kLevels.size()) * 3 * static_cast<std::size_t>(runs);
#ifdef DRAVIK_NET_BENCH
    DotNetRuns net(port);
    Series dotnet{"Dravik.Net.dll under mono, in its process", {}};
    // The first run compiles the assembly's code: not measured.
    dotnet.Add(net.Run());
    dotnet.ms.clear();
    expected += (1 + kLevels.size()) * (1 + static_cast<std::size_t>(runs));
#endif
    for (int run = 0; run < runs; ++run) {
        library.Add(Timed([&] { return ThroughLibrary(port); }));
#ifdef DRAVIK_NET_BENCH
        dotnet.Add(net.Run());
#endif
        program.Add(TimedRun(cli, environ));
        serial.Add(TimedRun(script, environ));
    }
    library.Print();
#ifdef DRAVIK_NET_BENCH
    dotnet.Print();
#endif
    program.Print();
    serial.Print();
    const double libraryToCli = library.Median() / program.Median();
    const double cliToScript = program.Median() / serial.Median();
    const bool met = libraryToCli <= 1.0 && cliToScript <= 1.0;
    std::printf("ratios (medians): library / dravik-cli %.3f, dravik-cli / script %.3f\n",
                libraryToCli, cliToScript);
    std::printf("target library <= dravik-cli <= script: %s\n", met ? "met" : "MISSED");
#ifdef DRAVIK_NET_BENCH
    const double netToLibrary = dotnet.Median() / library.Median();
    std::printf("ratio (medians): Dravik.Net.dll / libdravik %.3f; target <= 1.05: %s\n",
                netToLibrary, netToLibrary <= 1.05 ? "met" : "MISSED");
#endif
    const std::size_t frames = meter.Frames().size();
    std::printf("frames the meter received: %zu of %zu\n", frames, expected);
    // A missed target is only printed; a run that failed, or frames that did not reach the
    // meter, are an error.
    bool failed = library.failed || program.failed || serial.failed;
#ifdef DRAVIK_NET_BENCH
    failed = failed || dotnet.failed;
#endif
    const bool sessions = CompareSessions(runs);
    const bool blocks = MeasureBlocks();
    return !failed && frames == expected && sessions && blocks ? 0 : 1;
}
