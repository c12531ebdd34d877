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
#include "stop_request.h"
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
constexpr const char* kLogEmpty = "--log 需要文件名（空的文件名不会写日志）";
constexpr const char* kBadTag =
    "”：标签应写作 键=值，键只用字母、数字和 _ . -，值不含 ; 和控制字符";
constexpr const char* kTagTwice = "”：这个标签的键前面已经给过";
// What stops the channels after one from being sent, each line naming what failed.
constexpr const char* kLogWriteFailed = "”：日志写入失败，其余通道未发送";
constexpr const char* kPortLost = "”：串口已断开（设备不存在或已拔出），其余通道未发送";
constexpr const char* kOutputFailed = "写入标准输出失败，其余通道未发送";
constexpr const char* kStopped = "已中断，其余通道未发送：信号 ";
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
    bool logGiven = false;
    bool json = false;
    std::vector<std::string> tags;
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

// The station's own facts (--tag KEY=VALUE), in the order given.
using Tags = std::vector<std::pair<std::string, std::string>>;

// A value may hold anything but the ';' that joins tags in the log, and control characters.
bool TagValueFits(const std::string& value) {
    const std::optional<std::wstring> wide = WideFromUtf8(value);
    return wide && std::none_of(wide->begin(), wide->end(), [](wchar_t c) {
               return c == L';' || c < 0x20 || (c >= 0x7F && c < 0xA0);
           });
}

std::optional<Tags> CheckTags(const std::vector<std::string>& arguments, std::ostream& err) {
    Tags tags;
    for (const std::string& argument : arguments) {
        const std::size_t equals = argument.find('=');
        const std::string key = argument.substr(0, equals);
        const bool keyFits = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '.' || c == '-';
        });
        if (equals == std::string::npos || !keyFits || !TagValueFits(argument.substr(equals + 1))) {
            err << Complaint(argument, kBadTag) << '\n';
            return std::nullopt;
        }
        if (std::any_of(tags.begin(), tags.end(),
                        [&](const auto& tag) { return tag.first == key; })) {
            err << Complaint(argument, kTagTwice) << '\n';
            return std::nullopt;
        }
        tags.emplace_back(key, argument.substr(equals + 1));
    }
    return tags;
}

// One `set` run's record: a log row before each frame goes out (event "sending", sent
// "pending") and one with its outcome (event "done"), and a line or JSON object on stdout.
class SetRecord {
  public:
    SetRecord(bool json, std::string port, const Tags& tags, StationLog* log, std::ostream& out)
        : m_json(json), m_port(std::move(port)), m_log(log), m_out(out) {
        for (const auto& [key, value] : tags) {
            m_tagsField += (m_tagsField.empty() ? "" : ";") + key + "=" + value;
            m_tagsJson[key] = value;
        }
    }

    // Whether the frame may go out: its row is on the disk, or there is no log.
    bool Sending(const Correction& correction, const std::string& time) {
        return Log(Row(correction, time, ExchangeRecord{}, "sending", "pending"));
    }
    bool Done(const Correction& correction, const std::string& time, const ExchangeRecord& record) {
        return Log(Row(correction, time, record, "done", record.sent ? "true" : "false"));
    }
    // The outcome on stdout; false when stdout takes it no more (a full disk, a closed pipe).
    bool Print(const Correction& c, const std::string& time, const ExchangeRecord& record) {
        if (!m_json) {
            m_out << Utf8FromWide(FormatOutcome(c, record)) << std::endl;
            return static_cast<bool>(m_out);
        }
        const Json line = {{"time", time},
                           {"port", m_port},
                           {"channel", c.channel},
                           {"label", Utf8FromWide(kChannelLabels[c.channel])},
                           {"text", Utf8FromWide(c.text)},
                           {"db", c.decibels},
                           {"factor", SentFactor(c.factor)},
                           {"frame", HexBytes(c.frame)},
                           {"answered", record.answered},
                           {"sent", record.sent},
                           {"late", record.late},
                           {"reply", HexBytes(record.reply)},
                           {"tags", m_tagsJson}};
        m_out << JsonLine(line) << std::endl;
        return static_cast<bool>(m_out);
    }

  private:
    std::vector<std::string> Row(const Correction& c, const std::string& time,
                                 const ExchangeRecord& record, const char* event,
                                 const char* sent) const {
        return {time,
                m_port,
                std::to_string(c.channel),
                Utf8FromWide(kChannelLabels[c.channel]),
                Utf8FromWide(c.text),
                Shortest(c.decibels),
                Shortest(c.factor),
                HexBytes(c.frame),
                record.answered ? "true" : "false",
                event,
                sent,
                record.late ? "true" : "false",
                HexBytes(record.reply),
                m_tagsField};
    }

    bool Log(const std::vector<std::string>& row) { return m_log == nullptr || m_log->Append(row); }

    const bool m_json;
    const std::string m_port;
    std::string m_tagsField;
    Json m_tagsJson = Json::object();
    StationLog* const m_log;
    std::ostream& m_out;
};

// The exit status a run earns: an interruption's 128+N over a lost port's 4 over a channel
// that was not confirmed.
int SetStatus(bool allAnswered, bool portLost) {
    if (const int signal = StopRequested()) return 128 + signal;
    if (portLost) return kExitOpenFailed;
    return allAnswered ? kExitAllAnswered : kExitNoAnswer;
}

int RunSet(const SetOptions& options, const CliSystem& system, std::ostream& out,
           std::ostream& err) {
    const std::optional<std::vector<Correction>> corrections = CheckAll(options.assignments, err);
    if (!corrections) return kExitUsage;
    const std::optional<Tags> tags = CheckTags(options.tags, err);
    if (!tags) return kExitUsage;
    const std::optional<std::wstring> given = WideFromUtf8(options.port);
    if (!given) {
        err << Complaint(options.port, kNotUtf8) << '\n';
        return kExitUsage;
    }
    if (options.logGiven && options.logPath.empty()) {
        err << kUsageError << kLogEmpty << '\n';
        return kExitUsage;
    }
    std::unique_ptr<StationLog> log;
    if (options.logGiven && !(log = StationLog::Open(options.logPath))) {
        err << Complaint(options.logPath, kLogOpenFailed) << '\n';
        return kExitUsage;
    }

    std::wstring port = *given;
    if (!options.portGiven) {
        // As the dialog finds its meter: once, before the first channel.
        const std::vector<PortProbe> probes = ProbePorts(
            L"", system.layer, system.listPorts, ProbeScope::UpToFirstAnswer, system.holders);
        port = FoundPort(probes);
        if (StopRequested() != 0) return SetStatus(false, false);
        if (port.empty()) return NoMeter(probes, err);
    }
    const std::string portText = Utf8FromWide(port);
    CMeterPort meter(system.layer);
    if (meter.Open(port) == kInvalidPort) {
        err << Utf8FromWide(FormatOpenFailure(port, meter.LastOpenStatus())) << '\n';
        return kExitOpenFailed;
    }

    SetRecord record(options.json, portText, *tags, log.get(), out);
    bool allAnswered = true;
    bool logFailed = false;
    bool outputFailed = false;
    const char* halt = nullptr;  // why the channels from here on are not sent
    for (const Correction& correction : *corrections) {
        const std::string time = UtcNow();
        if (halt == nullptr && StopRequested() != 0) halt = kStopped;
        if (halt == nullptr && !record.Sending(correction, time)) {
            logFailed = true;
            halt = kLogWriteFailed;
        }
        // A channel whose row is not on the disk is not sent: the record would not hold it.
        ExchangeRecord exchange;
        if (halt == nullptr) exchange = meter.SendFrameRecorded(correction.frame);
        allAnswered = allAnswered && exchange.answered;
        if (exchange.portLost && halt == nullptr) halt = kPortLost;
        // A log that failed takes no more rows, an output that failed no more lines.
        if (!logFailed && !record.Done(correction, UtcNow(), exchange)) logFailed = true;
        if (!outputFailed && !record.Print(correction, time, exchange)) outputFailed = true;
        if (halt == nullptr && logFailed) halt = kLogWriteFailed;
        if (halt == nullptr && outputFailed) halt = kOutputFailed;
    }
    meter.Close();
    if (halt == kStopped) {
        err << kStopped << StopRequested() << '\n';
    } else if (halt == kOutputFailed) {
        err << kOutputFailed << '\n';
    } else if (halt != nullptr) {
        err << Complaint(halt == kPortLost ? Shown(port) : options.logPath, halt) << '\n';
    }
    return SetStatus(allAnswered && !logFailed && !outputFailed, halt == kPortLost);
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

// Edits (insertions, deletions, substitutions) that turn `a` into `b`.
std::size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// " （是不是 “set”？）" for the first word of `args` that names no command or option but comes
// within two edits of one; empty when none does.
std::string Suggestion(const CLI::App& app, const std::vector<std::string>& args) {
    std::vector<std::string> known;
    const auto addOptions = [&known](const CLI::App& command) {
        for (const CLI::Option* option : command.get_options())
            if (!option->get_lnames().empty()) known.push_back("--" + option->get_lnames()[0]);
    };
    addOptions(app);
    for (const CLI::App* command : app.get_subcommands({})) {
        known.push_back(command->get_name());
        addOptions(*command);
    }
    for (const std::string& arg : args) {
        // Values (CHANNEL=DB, KEY=VALUE, paths) are no names to mend.
        if (arg.find_first_of("=/") != std::string::npos ||
            std::find(known.begin(), known.end(), arg) != known.end()) {
            continue;
        }
        const auto closest = std::min_element(known.begin(), known.end(), [&](auto& a, auto& b) {
            return Distance(arg, a) < Distance(arg, b);
        });
        if (closest != known.end() && Distance(arg, *closest) <= 2) {
            return "（是不是 “" + *closest + "”？）";
        }
    }
    return {};
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
        "Examples:\n"
        "  dravik-cli set 1310CW=0.35 1310Burst=0.41 1490CW=0.28 1550CW=2.25\n"
        "  dravik-cli set --port /dev/ttyUSB0 --log corrections.csv --tag meter=SN4711 0=0.35\n"
        "  dravik-cli find --all --json\n"
        "\n"
        "Exit status:\n"
        "  0      every channel answered\n"
        "  1      a channel was not confirmed: no answer, or not sent because its frame or its\n"
        "         log row could not be written (the others were still sent); or stdout failed\n"
        "  2      usage or input error: nothing opened, nothing sent\n"
        "  3      no meter found\n"
        "  4      the port could not be opened, or was lost (the channels after it not sent)\n"
        "  128+N  ended by signal N (Ctrl-C: 130), the port left as found");

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
    std::string columns;
    for (const std::string& column : StationLog::Columns())
        columns += (columns.empty() ? "" : ",") + column;
    setCommand->footer(
        "--log FILE: a CSV row before each frame goes out (event sending, sent pending) and one "
        "with its outcome (event done), each on the disk before the run goes on; the header:\n" +
        columns +
        "\n--json: one object per channel with time, port, channel, label, text, db, factor, "
        "frame, answered, sent, late, reply (what arrived, hex, at most 40 bytes) and tags.");
    CLI::Option* portOption =
        setCommand->add_option("--port", set.port, "The meter's port; without it, discovery");
    setCommand->add_flag("--json", set.json, "One JSON object per line");
    CLI::Option* logOption =
        setCommand->add_option("--log", set.logPath, "Append CSV rows for each channel to FILE")
            ->type_name("FILE");
    setCommand
        ->add_option("--tag", set.tags,
                     "Add the station's own fact (meter serial, operator, work order) to every "
                     "row and JSON object; KEY is letters, digits, _ . -; repeatable")
        ->type_name("KEY=VALUE")
        // One KEY=VALUE per --tag: the levels after it are no tags.
        ->allow_extra_args(false);
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
        err << kUsageError << error.what() << Suggestion(app, args) << '\n';
        return kExitUsage;
    }

    if (app.got_subcommand(ports)) return RunPorts(json, system, out);
    if (app.got_subcommand(find)) return RunFind(all, json, system, out, err);
    if (!app.got_subcommand(setCommand)) {
        err << kUsageError << kNoCommand << '\n';
        return kExitUsage;
    }
    set.portGiven = portOption->count() > 0;
    set.logGiven = logOption->count() > 0;
    if (set.portGiven && set.port.empty()) {
        err << kUsageError << kEmptyPort << '\n';
        return kExitUsage;
    }
    return RunSet(set, system, out, err);
}
