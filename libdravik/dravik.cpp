// libdravik: dravik.h's calls on the set session that dravik-cli runs on. Nothing thrown
// crosses the C boundary: every call catches all and answers with a status.

#include "dravik.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "channel_record.h"
#include "dravik_version.h"
#include "operator_text.h"
#include "pass_through_layer.h"
#include "port_discovery.h"
#include "set_session.h"
#include "station_input.h"
#include "station_json.h"
#include "station_lists.h"
#include "station_log.h"
#include "station_text.h"
#include "statuses.h"
#include "utf8_text.h"

namespace {

// dravik_open hands on the statuses of SetSession::Open as they are.
static_assert(DRAVIK_NO_METER == kStatusNoMeter &&
              DRAVIK_PORT_UNAVAILABLE == kStatusPortUnavailable);

// What a session hands out, copied into the caller's buffers. Guarded by Session::textsMutex:
// the text calls read it while another thread's call runs.
struct Texts {
    std::string record;  // the last record's JSON, "" before one
    std::string error;
    std::string port;
    std::string list;
};

struct Session {
    // First: the run below is opened on them. dravik_cancel stops the token; the process's
    // own stop request (a host that turned its interrupts into RequestStop) counts too.
    StopToken stop;
    PassThroughLayer layer{PlatformSerialLayer(), stop};
    std::mutex call;  // held by the one call running on the session
    // Guarded by `call`.
    bool closed = false;
    std::unique_ptr<SetSession> run;
    std::shared_ptr<StationLog> log;
    std::string logPath;
    Tags tags;

    std::mutex textsMutex;
    Texts texts;  // guarded by textsMutex
};

// The sessions open. Numbers count up and are never handed out twice: a host that keeps one past
// its close reaches nothing. Never destroyed: a host's thread may still cancel while the process
// runs its exit handlers.
struct Registry {
    std::mutex mutex;
    std::map<dravik_session, std::shared_ptr<Session>> live;
    dravik_session last = 0;
};
Registry& Sessions() {
    static Registry* const registry = new Registry;
    return *registry;
}

std::shared_ptr<Session> Find(dravik_session id) {
    Registry& registry = Sessions();
    const std::lock_guard lock(registry.mutex);
    const auto found = registry.live.find(id);
    return found == registry.live.end() ? nullptr : found->second;
}

void SetError(Session& session, std::string_view line) {
    const std::lock_guard lock(session.textsMutex);
    session.texts.error.assign(line);
}

int32_t Fail(Session& session, int32_t status, std::string_view line) {
    SetError(session, line);
    return status;
}

// A call on a session: DRAVIK_BAD_HANDLE unless it is one, DRAVIK_BUSY while another call runs
// on it; otherwise its error line cleared, then `body`, every exception turned into a status.
template <typename Body>
int32_t OnSession(dravik_session id, Body body) noexcept {
    try {
        const std::shared_ptr<Session> session = Find(id);
        if (!session) return DRAVIK_BAD_HANDLE;
        const std::unique_lock call(session->call, std::try_to_lock);
        if (!call.owns_lock()) return DRAVIK_BUSY;
        if (session->closed) return DRAVIK_BAD_HANDLE;
        try {
            SetError(*session, "");
            return body(*session);
        } catch (...) {
            try {
                SetError(*session, kInternal);
            } catch (...) {
            }
            return DRAVIK_INTERNAL_ERROR;
        }
    } catch (...) {
        return DRAVIK_INTERNAL_ERROR;
    }
}

// `text` into the caller's buffer, cut at a whole UTF-8 character; its whole length.
int32_t CopyOut(const std::string& text, char* buffer, int32_t size) {
    if (size < 0 || (buffer == nullptr && size > 0)) return -DRAVIK_INVALID_ARGUMENT;
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        return -DRAVIK_INTERNAL_ERROR;
    if (size > 0) {
        std::size_t n = std::min(text.size(), static_cast<std::size_t>(size) - 1);
        while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int32_t>(text.size());
}

// A text call: the session's texts under their lock, whatever call runs meanwhile.
template <typename Pick>
int32_t OnTexts(dravik_session id, char* buffer, int32_t size, Pick pick) noexcept {
    try {
        const std::shared_ptr<Session> session = Find(id);
        if (!session) return -DRAVIK_BAD_HANDLE;
        const std::lock_guard lock(session->textsMutex);
        const std::optional<std::string> text = pick(session->texts);
        if (!text) return -DRAVIK_INVALID_ARGUMENT;
        return CopyOut(*text, buffer, size);
    } catch (...) {
        return -DRAVIK_INTERNAL_ERROR;
    }
}

// "key=value;key=value" as --tag's arguments.
std::vector<std::string> TagArguments(const std::string& joined) {
    std::vector<std::string> arguments;
    std::size_t start = 0;
    for (std::size_t end = 0; end != std::string::npos; start = end + 1) {
        end = joined.find(';', start);
        arguments.push_back(joined.substr(start, end - start));
    }
    return arguments;
}

// A double as Python's repr writes it: the shortest digits that read back as the same double,
// positional from 1e-4 up to below 1e16, else with an exponent of at least two digits; a
// whole number keeps ".0". Stations that set the same level from Python and from a host that
// holds numbers get the same record text.
std::string LevelText(double db) {
    if (std::isnan(db)) return "nan";
    if (std::isinf(db)) return db < 0 ? "-inf" : "inf";
    char scientific[64];
    const std::to_chars_result end = std::to_chars(scientific, scientific + sizeof scientific, db,
                                                   std::chars_format::scientific);
    const std::string_view text(scientific, static_cast<std::size_t>(end.ptr - scientific));
    const std::size_t e = text.find('e');
    const bool negative = text.front() == '-';
    std::string digits;
    for (const char c : text.substr(0, e))
        if (c >= '0' && c <= '9') digits += c;
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exponent);
    const int point = exponent + 1;  // digits before the decimal point
    std::string out = negative ? "-" : "";
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
        } else if (static_cast<std::size_t>(point) >= digits.size()) {
            out +=
                digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
        } else {
            out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
                   digits.substr(static_cast<std::size_t>(point));
        }
        return out;
    }
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int shown = point - 1;
    out += shown < 0 ? "e-" : "e+";
    const std::string magnitude = std::to_string(shown < 0 ? -shown : shown);
    return out + (magnitude.size() < 2 ? "0" : "") + magnitude;
}

// A stopped run's cause: the process's own stop request (a host that turned its interrupts into
// RequestStop) or the session's cancel.
std::string StoppedMessage() {
    if (const int signal = StopToken::Interrupt())
        return Filled(kStopped, {std::to_string(signal)});
    return kCancelled;
}

// What the channel just set earned, ranked as dravik-cli ranks its exit status: a stop
// request (here mostly the session's cancel) over a lost port over a failed log row over no
// answer (this channel's, or an earlier one's, after which nothing more is sent). A channel
// confirmed before the run stopped is confirmed.
int32_t EarnedStatus(Session& session, const ChannelRecord& record) {
    const Halt halt = session.run->Halted();
    if (halt == Halt::None && record.exchange.answered) return DRAVIK_CONFIRMED;
    if (halt == Halt::Stopped || session.stop.Requested() != 0) return DRAVIK_CANCELLED;
    switch (halt) {
        case Halt::None:
        case Halt::OutOfStep:
        case Halt::NotSent:
            return DRAVIK_NOT_CONFIRMED;
        case Halt::PortLost:
            return DRAVIK_PORT_UNAVAILABLE;
        case Halt::LogFailed:
            return DRAVIK_LOG_FAILED;
        case Halt::Stopped:
        case Halt::OutputFailed:
            break;
    }
    return DRAVIK_INTERNAL_ERROR;
}

// Why that status, in dravik-cli's words where it has them.
std::string StatusMessage(Session& session, int32_t status, const ChannelRecord& record) {
    switch (status) {
        case DRAVIK_NOT_CONFIRMED:
            // The channel's own outcome, or why it was not sent.
            if (record.exchange.sent || session.run->Halted() == Halt::None) {
                return Utf8FromWide(FormatOutcome(record.correction, record.exchange));
            }
            return session.run->HaltMessage();
        case DRAVIK_CANCELLED:
            return StoppedMessage();
        case DRAVIK_INTERNAL_ERROR:
            return kInternal;
        default:
            return session.run->HaltMessage();
    }
}

int32_t SetChannel(Session& s, const std::string& channel, const std::string& db) {
    std::string problem;
    // No `earlier`: the station may set a channel again on the same session.
    const std::optional<Correction> correction =
        CheckCorrection(channel, db, channel + "=" + db, {}, problem);
    {
        const std::lock_guard lock(s.textsMutex);
        s.texts.record.clear();
    }
    if (!correction) return Fail(s, DRAVIK_INVALID_ARGUMENT, problem);
    if (!s.run) return Fail(s, DRAVIK_PORT_UNAVAILABLE, kNoPortOpen);
    ChannelRecord record;
    try {
        // As if another frame followed: a host's next call is not known, and a quiet wait after
        // each answer would cost every channel a second. Bytes that come after this answer
        // stop the run at the next set (the line talks on its own), this record already given.
        record = s.run->Set(*correction, true);
        std::string json = RecordJson(record);
        const std::lock_guard lock(s.textsMutex);
        s.texts.record = std::move(json);
    } catch (...) {
        // The record cannot be handed over: no further channel may go out unrecorded.
        s.run->HaltForOutput();
        throw;
    }
    const int32_t status = EarnedStatus(s, record);
    if (status == DRAVIK_CONFIRMED) return status;
    return Fail(s, status, StatusMessage(s, status, record));
}

void SetList(Session& s, std::string list) {
    const std::lock_guard lock(s.textsMutex);
    s.texts.list = std::move(list);
}

}  // namespace

extern "C" {

const char* DRAVIK_CALL dravik_version(void) {
    return DRAVIK_VERSION;
}

int32_t DRAVIK_CALL dravik_new(dravik_session* session) {
    if (session == nullptr) return DRAVIK_INVALID_ARGUMENT;
    *session = 0;
    try {
        auto made = std::make_shared<Session>();
        Registry& registry = Sessions();
        const std::lock_guard lock(registry.mutex);
        // 2^31 - 1 sessions in one process: the numbers are spent, and none is reused.
        if (registry.last == std::numeric_limits<dravik_session>::max())
            return DRAVIK_INTERNAL_ERROR;
        registry.live.emplace(++registry.last, std::move(made));
        *session = registry.last;
        return DRAVIK_CONFIRMED;
    } catch (...) {
        return DRAVIK_INTERNAL_ERROR;
    }
}

int32_t DRAVIK_CALL dravik_open(dravik_session session, const char* port) {
    return OnSession(session, [&](Session& s) {
        // As dravik-cli's --port "": a blank port text (a host's field left empty) names no
        // port, and must not turn into a search that finds some other meter.
        if (port != nullptr && *port == '\0') return Fail(s, DRAVIK_INVALID_ARGUMENT, kNamedNoPort);
        s.stop.Reset();
        const std::string given = port == nullptr ? "" : port;
        const std::optional<std::wstring> name = WideFromUtf8(given);
        if (!name) return Fail(s, DRAVIK_INVALID_ARGUMENT, Complaint(given, kNotUtf8));
        // The old port goes first: a search must be free to find the meter on it again.
        s.run.reset();
        {
            const std::lock_guard lock(s.textsMutex);
            s.texts.port.clear();
        }
        const SessionSystem system{s.layer, EnumSerialPorts, PlatformHolderCheck()};
        SessionOpening opening;
        std::unique_ptr<SetSession> run = SetSession::Open(system, *name, opening);
        if (!run) {
            if (opening.status >= kStatusStoppedBase) {
                return Fail(s, DRAVIK_CANCELLED, StoppedMessage());
            }
            // DRAVIK_NO_METER or DRAVIK_PORT_UNAVAILABLE.
            return Fail(s, opening.status, opening.Message());
        }
        run->SetTags(s.tags);
        run->AttachLog(s.log, s.logPath);
        std::string opened = Utf8FromWide(run->Port());
        s.run = std::move(run);
        const std::lock_guard lock(s.textsMutex);
        s.texts.port = std::move(opened);
        return DRAVIK_CONFIRMED;
    });
}

int32_t DRAVIK_CALL dravik_open_log(dravik_session session, const char* path) {
    return OnSession(session, [&](Session& s) {
        const std::string logPath = path == nullptr ? "" : path;
        if (!WideFromUtf8(logPath))
            return Fail(s, DRAVIK_INVALID_ARGUMENT, Complaint(logPath, kNotUtf8));
        std::shared_ptr<StationLog> log;
        std::string complaint;
        if (!logPath.empty() && !(log = StationLog::Open(logPath, &complaint))) {
            return Fail(s, DRAVIK_LOG_FAILED, complaint);
        }
        s.log = std::move(log);
        s.logPath = logPath;
        if (s.run) s.run->AttachLog(s.log, s.logPath);
        return DRAVIK_CONFIRMED;
    });
}

int32_t DRAVIK_CALL dravik_set_tags(dravik_session session, const char* tags) {
    return OnSession(session, [&](Session& s) {
        std::optional<Tags> checked = Tags{};
        std::string problem;
        if (tags != nullptr && *tags != '\0') {
            checked = CheckTags(TagArguments(tags), problem);
            if (!checked) return Fail(s, DRAVIK_INVALID_ARGUMENT, problem);
        }
        s.tags = std::move(*checked);
        if (s.run) s.run->SetTags(s.tags);
        return DRAVIK_CONFIRMED;
    });
}

int32_t DRAVIK_CALL dravik_set(dravik_session session, const char* channel, const char* db_text) {
    return OnSession(session, [&](Session& s) {
        if (channel == nullptr || db_text == nullptr) {
            return Fail(s, DRAVIK_INVALID_ARGUMENT,
                        Filled(kNullPointer, {channel == nullptr ? "channel" : "db_text"}));
        }
        return SetChannel(s, channel, db_text);
    });
}

int32_t DRAVIK_CALL dravik_set_db(dravik_session session, int32_t channel, double db) {
    return OnSession(
        session, [&](Session& s) { return SetChannel(s, std::to_string(channel), LevelText(db)); });
}

int32_t DRAVIK_CALL dravik_ports(dravik_session session) {
    return OnSession(session, [&](Session& s) {
        s.stop.Reset();
        SetList(s, "");
        SetList(
            s, PortLines(EnumSerialPorts, PlatformPortPeek(), PlatformHolderCheck(), s.stop, true));
        return DRAVIK_CONFIRMED;
    });
}

int32_t DRAVIK_CALL dravik_find(dravik_session session, int32_t all) {
    return OnSession(session, [&](Session& s) {
        s.stop.Reset();
        SetList(s, "");
        const std::vector<PortProbe> probes = ProbePorts(
            s.layer, EnumSerialPorts,
            all != 0 ? ProbeScope::EveryPort : ProbeScope::UpToFirstAnswer, PlatformHolderCheck());
        SetList(s, FindLines(probes, true, true));
        if (s.stop.Requested() != 0) return Fail(s, DRAVIK_CANCELLED, StoppedMessage());
        if (std::any_of(probes.begin(), probes.end(), [](auto& p) { return p.Answered(); }))
            return DRAVIK_CONFIRMED;
        return Fail(s, DRAVIK_NO_METER, NoMeterMessage(probes));
    });
}

int32_t DRAVIK_CALL dravik_record(dravik_session session, char* buffer, int32_t size) {
    return OnTexts(session, buffer, size,
                   [](const Texts& t) { return std::optional<std::string>(t.record); });
}

int32_t DRAVIK_CALL dravik_record_value(dravik_session session, const char* key, char* buffer,
                                        int32_t size) {
    return OnTexts(session, buffer, size, [&](const Texts& t) -> std::optional<std::string> {
        if (key == nullptr) return std::nullopt;
        const std::vector<std::string> keys = RecordKeys();
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) return std::nullopt;
        if (t.record.empty()) return std::string();
        const Json value = Json::parse(t.record).at(key);
        return value.is_string() ? value.get<std::string>() : JsonLine(value);
    });
}

int32_t DRAVIK_CALL dravik_record_keys(char* buffer, int32_t size) {
    try {
        std::string joined;
        for (const std::string& key : RecordKeys())
            joined += (joined.empty() ? "" : ",") + key;
        return CopyOut(joined, buffer, size);
    } catch (...) {
        return -DRAVIK_INTERNAL_ERROR;
    }
}

int32_t DRAVIK_CALL dravik_error(dravik_session session, char* buffer, int32_t size) {
    return OnTexts(session, buffer, size,
                   [](const Texts& t) { return std::optional<std::string>(t.error); });
}

int32_t DRAVIK_CALL dravik_port(dravik_session session, char* buffer, int32_t size) {
    return OnTexts(session, buffer, size,
                   [](const Texts& t) { return std::optional<std::string>(t.port); });
}

int32_t DRAVIK_CALL dravik_list(dravik_session session, char* buffer, int32_t size) {
    return OnTexts(session, buffer, size,
                   [](const Texts& t) { return std::optional<std::string>(t.list); });
}

int32_t DRAVIK_CALL dravik_cancel(dravik_session session) {
    try {
        const std::shared_ptr<Session> s = Find(session);
        if (!s) return DRAVIK_BAD_HANDLE;
        s->stop.Cancel();
        return DRAVIK_CONFIRMED;
    } catch (...) {
        return DRAVIK_INTERNAL_ERROR;
    }
}

int32_t DRAVIK_CALL dravik_close(dravik_session session) {
    try {
        std::shared_ptr<Session> s;
        {
            Registry& registry = Sessions();
            const std::lock_guard lock(registry.mutex);
            const auto found = registry.live.find(session);
            if (found == registry.live.end()) return DRAVIK_BAD_HANDLE;
            s = std::move(found->second);
            registry.live.erase(found);
        }
        // Out of the registry, the session takes no new call; the one running ends at its next
        // step, and the port is closed only once it has.
        s->stop.Shut();
        const std::lock_guard call(s->call);
        s->closed = true;
        s->run.reset();
        s->log.reset();
        return DRAVIK_CONFIRMED;
    } catch (...) {
        return DRAVIK_INTERNAL_ERROR;
    }
}

}  // extern "C"
