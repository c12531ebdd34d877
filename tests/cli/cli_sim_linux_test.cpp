// dravik-cli against the simulated meter on a pty: the commands run in-process on the platform
// layer with the meter as the only listed port, except where the program itself is started.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli_run.h"
#include "fake_meter.h"
#include "meter_frames.h"
#include "operator_text.h"
#include "scratch_dir.h"
#include "serial_layer.h"
#include "sim_process.h"
#include "test_support.h"
#include "utf8_text.h"
#include "uucp_lock_linux.h"

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
namespace fs = std::filesystem;
using Json = nlohmann::json;

CliRun RunOn(const MeterSimProcess& sim, const std::vector<std::string>& args) {
    const std::wstring port = sim.PortName();
    return RunCaptured(args, {PlatformSerialLayer(), [port](std::vector<PortInfo>& list) {
                                  list.push_back({port, L""});
                              }});
}

std::vector<std::string> SetFramesLogged(const MeterSimProcess& sim) {
    std::vector<std::string> frames;
    for (const std::string& line : sim.Lines("FRAME set "))
        frames.push_back(LoggedHex(line));
    return frames;
}

const std::vector<std::pair<std::string, std::wstring>> kFourLevels = {{"1310CW=0.35", L"0.35"},
                                                                       {"1310Burst=-1.5", L"-1.5"},
                                                                       {"1490CW=0.5", L"0.5"},
                                                                       {"1550CW=2.25", L"2.25"}};

// Found as the dialog finds it or named with --port (probed all the same, once): the four
// frames byte for byte the dialog's, and on stdout its status lines, or JSON Lines with every
// field.
TEST(CliOnMeterSim, SetsFourChannelsByteExact) {
    for (const bool discovery : {true, false}) {
        SCOPED_TRACE(discovery ? "discovery" : "--port --json");
        MeterSimProcess sim;
        ASSERT_TRUE(sim.Started());
        std::vector<std::string> args = {"set"};
        if (!discovery) args.insert(args.end(), {"--port", sim.DevicePath(), "--json"});
        for (const auto& level : kFourLevels)
            args.push_back(level.first);

        const CliRun run = RunOn(sim, args);

        EXPECT_EQ(run.status, kStatusConfirmed) << run.err;
        EXPECT_THAT(run.err, IsEmpty());
        EXPECT_EQ(sim.Lines("FRAME probe").size(), 1u);
        std::vector<std::string> expectedFrames;
        std::istringstream lines(run.out);
        for (std::uint8_t channel = 0; channel < 4; ++channel) {
            const std::wstring& text = kFourLevels[channel].second;
            const Frame frame = BuildSetCorrectionFrame(text, channel);
            expectedFrames.push_back(SimLogHex(frame));
            std::string line;
            ASSERT_TRUE(std::getline(lines, line));
            if (discovery) {
                EXPECT_EQ(line, Utf8FromWide(FormatOutcome(ReadCorrection(text, channel), true)));
                continue;
            }
            const Json json = Json::parse(line);
            EXPECT_THAT(
                json.at("time").get<std::string>(),
                MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z"));
            EXPECT_EQ(json.at("port"), sim.DevicePath());
            EXPECT_EQ(json.at("channel"), channel);
            EXPECT_EQ(json.at("label"), Utf8FromWide(kChannelLabels[channel]));
            EXPECT_EQ(json.at("text"), Utf8FromWide(text));
            EXPECT_EQ(json.at("db"), ReadCorrection(text, 0).decibels);
            EXPECT_EQ(static_cast<float>(json.at("factor").get<double>()),
                      CorrectionFactor(ReadCorrection(text, 0).decibels));
            EXPECT_EQ(json.at("frame"), OracleHex(frame, false));
            EXPECT_EQ(json.at("answered"), true);
        }
        EXPECT_EQ(SetFramesLogged(sim), expectedFrames);
    }
}

// Silent: neither discovery nor a probe of the named port finds the meter (exit 3, nothing
// set). A meter that answers the probe but not a channel: the channel waits out the exchange's
// 5 s and is reported unanswered, and no later frame is sent (exit 1).
TEST(CliOnMeterSim, SilentMeter) {
    MeterSimProcess sim({"--silent"});
    ASSERT_TRUE(sim.Started());
    const CliRun notFound = RunOn(sim, {"set", "1490CW=0.5"});
    EXPECT_EQ(notFound.status, kStatusNoMeter);
    EXPECT_THAT(notFound.out, IsEmpty());
    EXPECT_EQ(notFound.err, Utf8FromWide(kMsgNoMeterPort) + "\n" + sim.DevicePath() + " 无应答\n");
    const CliRun named = RunOn(sim, {"set", "--port", sim.DevicePath(), "1490CW=0.5"});
    EXPECT_EQ(named.status, kStatusNoMeter);
    EXPECT_THAT(named.err, HasSubstr("对探测无应答"));
    EXPECT_THAT(SetFramesLogged(sim), IsEmpty());

    MeterSimProcess deaf({"--no-ack"});
    ASSERT_TRUE(deaf.Started());
    const auto start = std::chrono::steady_clock::now();
    const CliRun silent = RunOn(deaf, {"set", "--port", deaf.DevicePath(), "1490CW=0.5", "0=1"});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(silent.status, kStatusNotConfirmed);
    EXPECT_EQ(silent.out,
              Utf8FromWide(FormatOutcome(ReadCorrection(L"0.5", 2), false)) + "\n" +
                  Utf8FromWide(FormatOutcome(ReadCorrection(L"1", 0), ExchangeRecord{})) + "\n");
    EXPECT_THAT(silent.err, HasSubstr("“1490CW”无应答"));
    EXPECT_EQ(SetFramesLogged(deaf).size(), 1u);
}

// Rows as a CSV reader of its own (Python's) reads them back.
std::vector<std::vector<std::string>> ReadCsv(const std::string& path) {
    const std::string command =
        "/usr/bin/python3 -c 'import csv, json, sys; "
        "print(json.dumps(list(csv.reader(open(sys.argv[1], newline=\"\")))))' '" +
        path + "'";
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 4096> buffer{};
        while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr)
            text += buffer.data();
        ::pclose(pipe);
    }
    return Json::parse(text).get<std::vector<std::vector<std::string>>>();
}

// Two runs appended to one log, the port a path with a comma and a quote: one header, then for
// each channel the row written before its frame and the row with its outcome, every field as
// it was.
TEST(CliOnMeterSim, LogRoundTripsThroughACsvReader) {
    const ScratchDir dir;
    const std::string link = dir.Path() + "/meter,\"7\"";
    const std::string log = dir.Path() + "/station.csv";
    {
        MeterSimProcess sim({}, link);
        ASSERT_TRUE(sim.Started());
        EXPECT_EQ(RunOn(sim, {"set", "--port", link, "--log", log, "--tag", "meter=SN 7", "--tag",
                              "op=-li", "0=0.35", "3=2.25 "})
                      .status,
                  0);
        EXPECT_EQ(RunOn(sim, {"set", "--port", link, "--log", log, "1310burst=-1"}).status, 0);
    }
    const std::vector<std::vector<std::string>> rows = ReadCsv(log);

    ASSERT_EQ(rows.size(), 7u);
    // Scripts and auditors go by these names, in this order.
    EXPECT_EQ(rows[0], std::vector<std::string>({"time", "port", "channel", "label", "text", "db",
                                                 "factor", "frame", "answered", "event", "sent",
                                                 "late", "reply", "tags"}));
    const std::vector<std::tuple<int, std::wstring, std::string>> sent = {
        {0, L"0.35", "meter=SN 7;op=-li"}, {3, L"2.25 ", "meter=SN 7;op=-li"}, {1, L"-1", ""}};
    for (std::size_t i = 0; i < 2 * sent.size(); ++i) {
        const auto& [channel, text, tags] = sent[i / 2];
        const bool done = i % 2 == 1;
        const std::vector<std::string>& row = rows[i + 1];
        ASSERT_EQ(row.size(), 14u);
        EXPECT_THAT(row[0], MatchesRegex("[0-9-]{10}T[0-9:]{8}\\.[0-9]{3}Z"));
        const double db = ReadCorrection(text, 0).decibels;
        const auto channelByte = static_cast<std::uint8_t>(channel);
        EXPECT_EQ(row[1], link);
        EXPECT_EQ(row[2], std::to_string(channel));
        EXPECT_EQ(row[3], Utf8FromWide(kChannelLabels[channelByte]));
        // A level typed with a sign could start a spreadsheet formula: it keeps a leading '.
        EXPECT_EQ(row[4], (text[0] == L'-' ? "'" : "") + Utf8FromWide(text));
        EXPECT_EQ(std::stod(row[5]), db);
        EXPECT_EQ(std::stof(row[6]), CorrectionFactor(db));
        EXPECT_EQ(row[7], OracleHex(BuildSetCorrectionFrame(text, channelByte), false));
        using Fields = std::vector<std::string>;
        const Fields expected = done ? Fields{"true", "done", "true", "false", "06"}
                                     : Fields{"false", "sending", "pending", "false", ""};
        EXPECT_EQ(Fields(row.begin() + 8, row.begin() + 13), expected);
        EXPECT_EQ(row[13], tags);
    }
}

// The log cannot take the row that must be on the disk before the frame (a writer stuck with
// the file's lock beyond the 5 s a row waits for it): the frame is not sent, the error names
// the log, and the run does not end clean.
TEST(CliOnMeterSim, AChannelWhoseRowCannotBeWrittenIsNotSent) {
    MeterSimProcess sim;
    ASSERT_TRUE(sim.Started());
    const ScratchDir dir;
    const std::string log = dir.Path() + "/station.csv";
    const int stuck = ::open(log.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(stuck, LOCK_EX), 0);
    const CliRun run = RunOn(sim, {"set", "--port", sim.DevicePath(), "--log", log, "2=1", "3=1"});
    ::close(stuck);
    EXPECT_EQ(run.status, kStatusNotConfirmed);
    EXPECT_THAT(run.err, HasSubstr("“" + log + "”"));
    ExchangeRecord notSent;
    EXPECT_EQ(run.out, Utf8FromWide(FormatOutcome(ReadCorrection(L"1", 2), notSent)) + "\n" +
                           Utf8FromWide(FormatOutcome(ReadCorrection(L"1", 3), notSent)) + "\n");
    EXPECT_TRUE(SetFramesLogged(sim).empty());
}

// The program itself: its main hands over the arguments and the exit status, and writes UTF-8.
TEST(CliProgram, RunsWithPortAndTellsItsVersion) {
    MeterSimProcess sim;
    ASSERT_TRUE(sim.Started());
    const auto capture = [](const std::string& arguments, int& status) {
        std::string text;
        FILE* pipe = ::popen((BinDir() + "/dravik-cli " + arguments).c_str(), "r");
        if (pipe == nullptr) return text;
        std::array<char, 256> buffer{};
        while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr)
            text += buffer.data();
        status = ::pclose(pipe);
        return text;
    };
    int status = -1;
    EXPECT_EQ(capture("--version", status),
              std::string("dravik-cli ") + DRAVIK_PROJECT_VERSION + "\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(capture("set --port " + sim.DevicePath() + " 1550CW=2.25", status),
              "1550CW 设置成功 2.25 dB → 1.6788\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(capture("set 1550CW=x 2>/dev/null", status), "");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kStatusInvalid);
}

std::string SystemLockPath(const std::string& device) {
    return std::string(kSystemLockDir) + "/" + UucpLockName(device);
}

// An interrupt while the meter is awaited ends the run at once, the normal way: the line as it
// was found (settings, exclusive mode, no lock file), the channel that went out logged as done
// and the next as not sent, the status 128+N.
TEST(CliProgram, AnInterruptLeavesTheLineAsFound) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU,
                             SIGVTALRM, SIGPROF}) {
        SCOPED_TRACE(::strsignal(signal));
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        MakeCooked(pty.Slave());
        const LineSnapshot before = SnapshotLine(pty.Master(), pty.Slave());
        const ScratchDir dir;
        const std::string log = dir.Path() + "/station.csv";
        const int cli = StartProgram(
            "dravik-cli", {"set", "--port", pty.SlavePath(), "--log", log, "0=1", "1=1"});
        ASSERT_GT(cli, 0);
        // The probe is answered as the meter would; the frame after it has left, and the run
        // waits for the meter, which stays silent.
        ASSERT_EQ(pty.Receive(kFrameSize).size(), kFrameSize);
        ASSERT_TRUE(pty.Send(MeterProbeReply()));
        ASSERT_EQ(pty.Receive(kFrameSize).size(), kFrameSize);
        ::kill(cli, signal);
        const int status = WaitForProgram(cli);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        ExpectSameLine(before, SnapshotLine(pty.Master(), pty.Slave()));
        EXPECT_FALSE(fs::exists(SystemLockPath(pty.SlavePath())));
        const std::vector<std::vector<std::string>> rows = ReadCsv(log);
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[2][9] + " " + rows[2][10], "done true");
        EXPECT_EQ(rows[3][2] + " " + rows[3][9] + " " + rows[3][10], "1 done false");
    }
}

// Under a file size limit the log's write fails, as on a full disk, instead of SIGXFSZ killing
// the run in the middle of a row: the channel is not sent, the status says so.
TEST(CliProgram, AFileSizeLimitFailsTheWriteAndKillsNothing) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer's runtime takes SIGXFSZ over, ignored or blocked, and ends the process.
    GTEST_SKIP() << "SIGXFSZ cannot be ignored under ThreadSanitizer";
#endif
    MeterSimProcess sim;
    ASSERT_TRUE(sim.Started());
    const ScratchDir dir;
    const std::string log = dir.Path() + "/station.csv";
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit none = before;
    none.rlim_cur = 0;
    // Inherited by the program; this process writes no file meanwhile.
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    const int cli =
        StartProgram("dravik-cli", {"set", "--port", sim.DevicePath(), "--log", log, "0=1"});
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &before), 0);
    ASSERT_GT(cli, 0);
    const int status = WaitForProgram(cli);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), kStatusNotConfirmed);
}

// Started with stdin, stdout and stderr closed, the program opens them on /dev/null before
// anything else: the port, opened as one of them, would get the status lines.
TEST(CliProgram, ClosedStandardDescriptorsAreNeverThePort) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const int cli = StartProgram("dravik-cli", {"set", "--port", pty.SlavePath(), "0=1"}, true);
    ASSERT_GT(cli, 0);
    // The probe is answered; the frame has left, and the run waits for the silent meter.
    ASSERT_EQ(pty.Receive(kFrameSize).size(), kFrameSize);
    ASSERT_TRUE(pty.Send(MeterProbeReply()));
    ASSERT_EQ(pty.Receive(kFrameSize).size(), kFrameSize);
    for (int fd = 0; fd <= 2; ++fd) {
        std::error_code error;
        const fs::path target =
            fs::read_symlink("/proc/" + std::to_string(cli) + "/fd/" + std::to_string(fd), error);
        EXPECT_EQ(target, "/dev/null") << "descriptor " << fd;
    }
    ::kill(cli, SIGINT);
    const int status = WaitForProgram(cli);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << status;
}

// Killed at any instant (kill -9 leaves no chance to tidy up), a run has logged every frame the
// meter got: each one's row was on the disk before it went out. One log takes every run.
TEST(CliProgram, EveryFrameTheMeterGotHasARowWhereverTheRunWasKilled) {
    const ScratchDir dir;
    const std::string log = dir.Path() + "/station.csv";
    std::mt19937 random(17);
    std::uniform_int_distribution<int> when(0, 250);
    std::vector<std::vector<std::string>> frames(50);  // per run, as the meter logged them
    for (std::size_t run = 0; run < frames.size(); ++run) {
        MeterSimProcess sim;
        ASSERT_TRUE(sim.Started());
        const int cli =
            StartProgram("dravik-cli", {"set", "--port", sim.DevicePath(), "--log", log, "--tag",
                                        "run=" + std::to_string(run), "0=1", "1=2", "2=3", "3=4"});
        ASSERT_GT(cli, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(when(random)));
        ::kill(cli, SIGKILL);
        ::waitpid(cli, nullptr, 0);
        // A probe written after the run's last frame: once the meter logs it, it has logged
        // every frame before it.
        const int device = ::open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (device >= 0) {
            const Frame probe = BuildProbeFrame();
            EXPECT_EQ(::write(device, probe.data(), probe.size()), 40);
            ::close(device);
            EXPECT_TRUE(sim.WaitForLines("FRAME probe", 1));
        }
        frames[run] = SetFramesLogged(sim);
        // The dead run's lock file names a process that has ended; later runs would remove it.
        ::unlink(SystemLockPath(sim.DevicePath()).c_str());
    }
    std::vector<std::multiset<std::string>> sending(frames.size());
    for (const std::vector<std::string>& row : ReadCsv(log)) {
        if (row.size() != 14 || row[9] != "sending") continue;
        const std::size_t run = std::stoul(row[13].substr(4));
        sending.at(run).insert(
            OracleHex(BuildSetCorrectionFrame(WideFromUtf8(row[4]).value(),
                                              static_cast<std::uint8_t>(std::stoi(row[2]))),
                      true));
    }
    std::size_t sent = 0;
    for (std::size_t run = 0; run < frames.size(); ++run) {
        for (const std::string& frame : frames[run]) {
            ++sent;
            EXPECT_EQ(sending[run].count(frame), 1u) << "run " << run << ": " << frame;
        }
    }
    std::printf("frames that reached the meter: %zu in %zu killed runs\n", sent, frames.size());
}

}  // namespace
