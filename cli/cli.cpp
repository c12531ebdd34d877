#include "cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>

#include "dravik_version.h"
#include "operator_text.h"
#include "set_session.h"
#include "station_json.h"
#include "station_lists.h"
#include "station_text.h"
#include "statuses.h"
#include "utf8_text.h"

namespace {

// Where --help's exit statuses wrap.
constexpr std::size_t kHelpWidth = 88;

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
        std::optional<Correction> correction = CheckAssignment(argument, corrections, problem);
        if (!correction) {
            err << problem << '\n';
            return std::nullopt;
        }
        corrections.push_back(std::move(*correction));
    }
    return corrections;
}

// One record on stdout, a status line or a JSON object; false when stdout takes it no more (a
// full disk, a closed pipe).
bool Print(const ChannelRecord& record, bool json, std::ostream& out) {
    if (json) {
        out << RecordJson(record) << std::endl;
    } else {
        out << Utf8FromWide(FormatOutcome(record.correction, record.exchange)) << std::endl;
    }
    return static_cast<bool>(out);
}

int RunSet(const SetOptions& options, const CliSystem& system, std::ostream& out,
           std::ostream& err) {
    const std::optional<std::vector<Correction>> corrections = CheckAll(options.assignments, err);
    if (!corrections) return kStatusInvalid;
    std::string problem;
    std::optional<Tags> tags = CheckTags(options.tags, problem);
    if (!tags) {
        err << problem << '\n';
        return kStatusInvalid;
    }
    const std::optional<std::wstring> given = WideFromUtf8(options.port);
    if (!given) {
        err << Complaint(options.port, kNotUtf8) << '\n';
        return kStatusInvalid;
    }
    if (options.logGiven && options.logPath.empty()) {
        err << kLogEmpty << '\n';
        return kStatusInvalid;
    }
    std::unique_ptr<StationLog> log;
    std::string logComplaint;
    if (options.logGiven && !(log = StationLog::Open(options.logPath, &logComplaint))) {
        err << logComplaint << '\n';
        return kStatusInvalid;
    }

    SessionOpening opening;
    const std::unique_ptr<SetSession> session =
        SetSession::Open({system.layer, system.listPorts, system.holders}, *given, opening);
    if (!session) {
        if (const std::string message = opening.Message(); !message.empty()) err << message << '\n';
        return opening.status;
    }
    session->SetTags(std::move(*tags));
    session->AttachLog(std::move(log), options.logPath);
    bool outputFailed = false;
    for (std::size_t k = 0; k < corrections->size(); ++k) {
        const ChannelRecord record = session->Set((*corrections)[k], k + 1 < corrections->size());
        // An output that failed takes no more lines.
        if (!outputFailed && !Print(record, options.json, out)) {
            outputFailed = true;
            session->HaltForOutput();
        }
    }
    session->Close();
    if (const std::string message = session->HaltMessage(); !message.empty())
        err << message << '\n';
    return session->Status();
}

// Whether all that was written to stdout reached it; the line saying it did not, when not.
bool Delivered(std::ostream& out, std::ostream& err) {
    if (out.flush()) return true;
    err << kOutputLost << '\n';
    return false;
}

int RunPorts(bool json, const CliSystem& system, std::ostream& out, std::ostream& err) {
    out << PortLines(system.listPorts, system.peek, system.holders, system.layer.Stop(), json);
    return Delivered(out, err) ? kStatusConfirmed : kStatusNotConfirmed;
}

int RunFind(bool all, bool json, const CliSystem& system, std::ostream& out, std::ostream& err) {
    const std::vector<PortProbe> probes =
        ProbePorts(system.layer, system.listPorts,
                   all ? ProbeScope::EveryPort : ProbeScope::UpToFirstAnswer, system.holders);
    const std::string found = FindLines(probes, json, false);
    out << found;
    if (!Delivered(out, err)) return kStatusNotConfirmed;
    // A search that was stopped found nothing more: it ends as any interrupted run does.
    if (const int signal = system.layer.Stop().Requested()) return kStatusStoppedBase + signal;
    if (!found.empty()) return kStatusConfirmed;
    err << NoMeterMessage(probes) << '\n';
    return kStatusNoMeter;
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

// kSuggestion's "（是不是 “set”？）" for the first word of `args` that names no command or option
// but comes within two edits of one; empty when none does.
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
            return Filled(kSuggestion, {*closest});
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
        "Exit status:\n" +
        ExitStatusList(kHelpWidth));

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
    setCommand->footer(
        "--log FILE: a CSV row before each frame goes out (event sending, sent pending) and one "
        "with its outcome (event done), each on the disk before the run goes on; the header:\n" +
        LogHeader() + "\n--json: one object per channel with " + RecordJsonKeys() + ".");
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
        // --help and --version: text that did not reach stdout is no success either.
        const int status = app.exit(success, out, err);
        return Delivered(out, err) ? status : kStatusNotConfirmed;
    } catch (const CLI::ParseError& error) {
        err << Complaint(error.what(), kUsageError, {Suggestion(app, args)}) << '\n';
        return kStatusInvalid;
    }

    if (app.got_subcommand(ports)) return RunPorts(json, system, out, err);
    if (app.got_subcommand(find)) return RunFind(all, json, system, out, err);
    if (!app.got_subcommand(setCommand)) {
        err << kNoCommand << '\n';
        return kStatusInvalid;
    }
    set.portGiven = portOption->count() > 0;
    set.logGiven = logOption->count() > 0;
    if (set.portGiven && set.port.empty()) {
        err << kEmptyPort << '\n';
        return kStatusInvalid;
    }
    return RunSet(set, system, out, err);
}
