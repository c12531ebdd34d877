#include "cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>

#include "dravik_version.h"
#include "hex_bytes.h"
#include "meter_frames.h"
#include "meter_port.h"
#include "operator_text.h"
#include "station_log.h"
#include "utf8_text.h"

namespace {

using Json = nlohmann::ordered_json;

// What only the command line says (the dialog's own messages come from text/). Each names the
// argument it is about.
constexpr const char* kUsageError = "参数错误：";
constexpr const char* kNoCommand = "缺少命令 ports、find 或 set（--help 有说明）";
constexpr const char* kNotUtf8 = "”不是 UTF-8 文本";
constexpr const char* kNoEquals = "”应写作 通道=dB，例如 1310CW=0.35";
constexpr const char* kUnknownChannel =
    "”：没有这个通道，可用 1310CW、1310Burst、1490CW、1550CW 或 0~3";
constexpr const char* kChannelTwice = "”：这个通道前面已经给过";
constexpr const char* kNotANumber = "”：dB 值不是一个数";
constexpr const char* kOutOfRange = "”：dB 值或其校正系数超出范围";
constexpr const char* kLogOpenFailed = "”：无法打开日志文件";
constexpr const char* kLogWriteFailed = "”：日志写入失败";
constexpr const char* kEmptyPort = "--port 不能为空";

// “argument” + what is wrong with it: the line every refused argument gets.
std::string Complaint(const std::string& argument, const char* problem) {
    return "“" + argument + problem;
}

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// A label (any case) or its number.
std::optional<int> ChannelNamed(const std::string& name) {
    for (int k = 0; k < kChannelCount; ++k) {
        const std::string label = Utf8FromWide(kChannelLabels[static_cast<std::size_t>(k)]);
        if (name == std::to_string(k) || SameIgnoringAsciiCase(name, label)) return k;
    }
    return std::nullopt;
}

// The level is taken only when the whole text is one number, read as the dialog reads it, and
// both it and its factor are finite: a script must never send a factor cut short or made up
// ("-1e999" reads as -inf dB, which no meter error calls for, and no record could hold).
std::optional<Correction> Check(const std::string& argument, const std::vector<Correction>& earlier,
                                std::string& problem) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos) {
        problem = Complaint(argument, kNoEquals);
        return std::nullopt;
    }
    const std::optional<int> channel = ChannelNamed(argument.substr(0, equals));
    if (!channel) {
        problem = Complaint(argument, kUnknownChannel);
        return std::nullopt;
    }
    const bool twice = std::any_of(earlier.begin(), earlier.end(),
                                   [&](const Correction& c) { return c.channel == *channel; });
    if (twice) {
        problem = Complaint(argument, kChannelTwice);
        return std::nullopt;
    }
    const std::optional<std::wstring> text = WideFromUtf8(argument.substr(equals + 1));
    if (!text) {
        problem = Complaint(argument, kNotUtf8);
        return std::nullopt;
    }
    Correction correction = ReadCorrection(*text, static_cast<std::uint8_t>(*channel));
    if (!correction.wholeNumber) {
        problem = Complaint(argument, kNotANumber);
        return std::nullopt;
    }
    if (!std::isfinite(correction.decibels) || !std::isfinite(correction.factor)) {
        problem = Complaint(argument, kOutOfRange);
        return std::nullopt;
    }
    return correction;
}

// ISO 8601, UTC, milliseconds: 2026-03-14T09:26:53.589Z.
std::string UtcNow() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()));
    return text.data();
}

// Shortest text that reads back as the same value.
template <typename Number>
std::string Shortest(Number value) {
    std::array<char, 64> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

// The float sent, as the double its shortest digits name: a JSON reader gets "1.0839479", the
// digits that identify the float, not the 17 of the float widened to a double.
double SentFactor(float factor) {
    const std::string digits = Shortest(factor);
    double value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

// Text from outside the program, fit for a terminal.
std::string Shown(const std::wstring& text) {
    return Utf8FromWide(ShownText(text));
}

// One JSON object as a line. dump escapes the C0 controls only; the other control characters
// (DEL, C1, bidirectional) are escaped here too, and the rest of the text stays readable.
std::string JsonLine(const Json& object) {
    return Utf8FromWide(JsonEscapedControls(WideFromBytes(object.dump())));
}

// Exit 3, with what became of each port tried, one per line in the order tried.
int NoMeter(const std::vector<PortProbe>& probes, std::ostream& err) {
    err << Utf8FromWide(kMsgNoMeterPort) << '\n';
    for (const PortProbe& probe : probes)
        err << Utf8FromWide(FormatPortProbe(probe)) << '\n';
    return kExitNoMeter;
}

struct SetOptions {
    std::string port;
    bool portGiven = false;
    std::string logPath;
    bool json = false;
    std::vector<std::string> assignments;
};

// Every CHANNEL=DB checked, before anything is opened; nullopt after the line naming the first
// that is refused.
std::optional<std::vector<Correction>> CheckAll(const std::vector<std::string>& arguments,
                                                std::ostream& err) {
    std::vector<Correction> corrections;
    for (const std::string& argument : arguments) {
        std::string problem;
        std::optional<Correction> correction = Check(argument, corrections, problem);
        if (!correction) {
            err << problem << '\n';
            return std::nullopt;
        }
        corrections.push_back(std::move(*correction));
    }
    return corrections;
}

// One channel's outcome on stdout: the dialog's status line, or a JSON object with every field.
void PrintOutcome(bool json, const std::string& time, const std::string& port,
                  const Correction& correction, bool answered, std::ostream& out) {
    if (!json) {
        out << Utf8FromWide(FormatOutcome(correction, answered)) << std::endl;
        return;
    }
    const Json line = {{"time", time},
                       {"port", port},
                       {"channel", correction.channel},
                       {"label", Utf8FromWide(kChannelLabels[correction.channel])},
                       {"text", Utf8FromWide(correction.text)},
                       {"db", correction.decibels},
                       {"factor", SentFactor(correction.factor)},
                       {"frame", HexBytes(correction.frame)},
                       {"answered", answered}};
    out << JsonLine(line) << std::endl;
}

int RunSet(const SetOptions& options, const CliSystem& system, std::ostream& out,
           std::ostream& err) {
    const std::optional<std::vector<Correction>> corrections = CheckAll(options.assignments, err);
    if (!corrections) return kExitUsage;
    std::wstring port;
    if (options.portGiven) {
        const std::optional<std::wstring> wide = WideFromUtf8(options.port);
        if (!wide) {
            err << Complaint(options.port, kNotUtf8) << '\n';
            return kExitUsage;
        }
        port = *wide;
    }
    std::unique_ptr<StationLog> log;
    if (!options.logPath.empty()) {
        log = StationLog::Open(options.logPath);
        if (!log) {
            err << Complaint(options.logPath, kLogOpenFailed) << '\n';
            return kExitUsage;
        }
    }

    if (!options.portGiven) {
        // As the dialog finds its meter: once, before the first channel.
        const std::vector<PortProbe> probes = ProbePorts(
            L"", system.layer, system.listPorts, ProbeScope::UpToFirstAnswer, system.holders);
        port = FoundPort(probes);
        if (port.empty()) return NoMeter(probes, err);
    }
    const std::string portText = Utf8FromWide(port);
    CMeterPort meter(system.layer);
    if (meter.Open(port) == kInvalidPort) {
        err << Utf8FromWide(FormatOpenFailure(port, meter.LastOpenStatus())) << '\n';
        return kExitOpenFailed;
    }

    int status = kExitAllAnswered;
    for (const Correction& correction : *corrections) {
        const std::string time = UtcNow();
        const bool answered = meter.SetCorrection(correction) == 1;
        if (!answered) status = kExitNoAnswer;
        PrintOutcome(options.json, time, portText, correction, answered, out);
        if (log && !log->Append({time, portText, std::to_string(correction.channel),
                                 Utf8FromWide(kChannelLabels[correction.channel]),
                                 Utf8FromWide(correction.text), Shortest(correction.decibels),
                                 Shortest(correction.factor), HexBytes(correction.frame),
                                 answered ? "true" : "false"})) {
            // The factor is in the meter but not in the record: the run must not look clean.
            err << Complaint(options.logPath, kLogWriteFailed) << '\n';
            status = kExitNoAnswer;
        }
    }
    meter.Close();
    return status;
}

int RunPorts(bool json, const CliSystem& system, std::ostream& out) {
    std::vector<PortInfo> ports;
    system.listPorts(ports);
    const std::vector<PortState> states = PeekPorts(ports, system.peek, system.holders);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const std::string state = Utf8FromWide(FormatPortState(states[i]));
        if (json) {
            out << JsonLine({{"port", Utf8FromWide(ports[i].name)},
                             {"description", Utf8FromWide(ports[i].description)},
                             {"state", state}})
                << '\n';
        } else {
            out << Shown(ports[i].name) << '\t' << Shown(ports[i].description) << '\t' << state
                << '\n';
        }
    }
    return kExitAllAnswered;
}

int RunFind(bool all, bool json, const CliSystem& system, std::ostream& out, std::ostream& err) {
    const std::vector<PortProbe> probes =
        ProbePorts(L"", system.layer, system.listPorts,
                   all ? ProbeScope::EveryPort : ProbeScope::UpToFirstAnswer, system.holders);
    bool found = false;
    for (const PortProbe& probe : probes) {
        if (!probe.Answered()) continue;
        found = true;
        if (json) {
            out << JsonLine({{"port", Utf8FromWide(probe.port)}}) << std::endl;
        } else {
            out << Shown(probe.port) << std::endl;
        }
    }
    if (found) return kExitAllAnswered;
    return NoMeter(probes, err);
}

}  // namespace

int RunCli(const std::vector<std::string>& args, const CliSystem& system, std::ostream& out,
           std::ostream& err) {
    CLI::App app{
        "dravik-cli: writes the correction factors of an optical power meter (Z9M4-SET) "
        "from station scripts.",
        "dravik-cli"};
    app.set_version_flag("--version", std::string("dravik-cli ") + DRAVIK_VERSION);
    // At most one: with "at least one" CLI11 would answer an unknown word with "a subcommand is
    // required" instead of naming it.
    app.require_subcommand(0, 1);
    app.footer(
        "Exit status: 0 every channel answered; 1 a channel got no answer (the others were "
        "still sent) or its log row could not be written; 2 usage or input error, nothing "
        "sent; 3 no meter found; 4 the port could not be opened.");

    bool json = false;
    bool all = false;
    SetOptions set;

    CLI::App* ports =
        app.add_subcommand("ports",
                           "List the serial ports in discovery order, with what is known of each "
                           "and whether it is busy or not permitted (nothing is opened).");
    ports->add_flag("--json", json, "One JSON object per line");

    CLI::App* find = app.add_subcommand("find", "Probe the ports and print the meter's port.");
    find->add_flag("--all", all, "Go on after the first answer: every port that answers");
    find->add_flag("--json", json, "One JSON object per line");

    CLI::App* setCommand =
        app.add_subcommand("set",
                           "Set channels, in the order given, on one open port; CHANNEL is 1310CW, "
                           "1310Burst, 1490CW, 1550CW (any case) or 0..3, DB the level in dB.");
    CLI::Option* portOption =
        setCommand->add_option("--port", set.port, "The meter's port; without it, discovery");
    setCommand->add_flag("--json", set.json, "One JSON object per line");
    setCommand->add_option("--log", set.logPath, "Append a CSV row per channel to FILE")
        ->type_name("FILE");
    setCommand->add_option("levels", set.assignments, "CHANNEL=DB")
        ->type_name("CHANNEL=DB")
        ->required();

    std::vector<const char*> argv = {"dravik-cli"};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::Success& success) {
        // --help and --version.
        return app.exit(success, out, err);
    } catch (const CLI::ParseError& error) {
        err << kUsageError << error.what() << '\n';
        return kExitUsage;
    }

    if (app.got_subcommand(ports)) return RunPorts(json, system, out);
    if (app.got_subcommand(find)) return RunFind(all, json, system, out, err);
    if (!app.got_subcommand(setCommand)) {
        err << kUsageError << kNoCommand << '\n';
        return kExitUsage;
    }
    set.portGiven = portOption->count() > 0;
    if (set.portGiven && set.port.empty()) {
        err << kUsageError << kEmptyPort << '\n';
        return kExitUsage;
    }
    return RunSet(set, system, out, err);
}
