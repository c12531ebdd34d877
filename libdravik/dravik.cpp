// libdravik: dravik.h's calls on the set session that dravik-cli runs on. Nothing thrown
// crosses the C boundary: every call catches all and answers with a status.

#include "dravik.h"

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cancel_layer.h"
#include "channel_record.h"
#include "dravik_version.h"
#include "operator_text.h"
#include "port_discovery.h"
#include "set_session.h"
#include "station_input.h"
#include "station_json.h"
#include "station_log.h"
#include "station_text.h"
#include "utf8_text.h"

// One open meter. Its layer outlives the session opened on it.
struct dravik_meter {
    CancelLayer layer;
    std::unique_ptr<SetSession> session;
    std::string text;   // the last text returned for the handle (its port, a record)
    std::string error;  // dravik_last_error(handle)
};

namespace {

// The handles open, for telling a live one from NULL, a closed one or a stray pointer. Never
// destroyed: a host's thread may still cancel while the process runs its exit handlers.
struct Registry {
    std::mutex mutex;
    std::set<const dravik_meter*> live;
};
Registry& Handles() {
    static Registry* const registry = new Registry;
    return *registry;
}

bool IsLive(const dravik_meter* meter) {
    Registry& registry = Handles();
    const std::lock_guard lock(registry.mutex);
    return registry.live.count(meter) != 0;
}

// The texts of the calls without a handle, per thread.
struct ThreadTexts {
    std::string text;
    std::string error;
};
ThreadTexts& ForThread() {
    thread_local ThreadTexts texts;
    return texts;
}

// Failed calls keep their line; one that cannot even be stored leaves "". Nothing here throws.
int Fail(std::string& error, int status, std::string_view line) noexcept {
    try {
        error.assign(line);
    } catch (...) {
        error.clear();
    }
    return status;
}

// The body of a call, with its error line cleared first and every exception turned into a
// status.
template <typename Body>
int Guarded(std::string& error, Body body) noexcept {
    try {
        error.clear();
        return body();
    } catch (...) {
        return Fail(error, DRAVIK_INTERNAL_ERROR, kInternal);
    }
}

// A call on a handle: DRAVIK_BAD_HANDLE, said on this thread, unless `meter` is live.
template <typename Body>
int OnHandle(dravik_meter* meter, Body body) noexcept {
    bool live = false;
    try {
        live = IsLive(meter);
    } catch (...) {
        return DRAVIK_INTERNAL_ERROR;
    }
    if (!live) return Fail(ForThread().error, DRAVIK_BAD_HANDLE, kBadHandle);
    return Guarded(meter->error, [&] { return body(*meter); });
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

// What the channel just set earned, ranked as dravik-cli ranks its exit status: a stop
// request (here mostly the handle's cancel) over a lost port over a failed log row over no
// answer (this channel's, or an earlier one's, after which nothing more is sent). A channel
// confirmed before the run stopped is confirmed.
int SetStatus(dravik_meter& meter, const ChannelRecord& record) {
    const Halt halt = meter.session->Halted();
    if (halt == Halt::None && record.exchange.answered) return DRAVIK_CONFIRMED;
    if (meter.layer.StopRequested() != 0) return DRAVIK_CANCELLED;
    switch (halt) {
        case Halt::None:
        case Halt::OutOfStep:
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
std::string SetMessage(dravik_meter& meter, int status, const ChannelRecord& record) {
    switch (status) {
        case DRAVIK_NOT_CONFIRMED:
            // The channel's own outcome, or why it was not sent.
            if (record.exchange.sent || meter.session->Halted() == Halt::None) {
                return Utf8FromWide(FormatOutcome(record.correction, record.exchange));
            }
            return meter.session->HaltMessage();
        case DRAVIK_CANCELLED:
            if (meter.layer.Cancelled()) return kCancelled;
            return kStopped + std::to_string(meter.layer.StopRequested());
        case DRAVIK_INTERNAL_ERROR:
            return kInternal;
        default:
            return meter.session->HaltMessage();
    }
}

}  // namespace

extern "C" {

const char* DRAVIK_CALL dravik_version(void) {
    return DRAVIK_VERSION;
}

int DRAVIK_CALL dravik_ports(const char** json) {
    ThreadTexts& texts = ForThread();
    return Guarded(texts.error, [&] {
        if (json == nullptr)
            return Fail(texts.error, DRAVIK_INVALID_ARGUMENT, kNullPointer + std::string("json"));
        texts.text.clear();
        *json = texts.text.c_str();
        std::vector<PortInfo> ports;
        EnumSerialPorts(ports);
        const std::vector<PortState> states =
            PeekPorts(ports, PlatformPortPeek(), PlatformHolderCheck());
        for (std::size_t i = 0; i < ports.size(); ++i)
            texts.text += PortJson(ports[i], states[i]) + "\n";
        *json = texts.text.c_str();
        return DRAVIK_CONFIRMED;
    });
}

int DRAVIK_CALL dravik_find(int all, const char** json) {
    ThreadTexts& texts = ForThread();
    return Guarded(texts.error, [&] {
        if (json == nullptr)
            return Fail(texts.error, DRAVIK_INVALID_ARGUMENT, kNullPointer + std::string("json"));
        texts.text.clear();
        *json = texts.text.c_str();
        const std::vector<PortProbe> probes = ProbePorts(
            L"", PlatformSerialLayer(), EnumSerialPorts,
            all != 0 ? ProbeScope::EveryPort : ProbeScope::UpToFirstAnswer, PlatformHolderCheck());
        bool found = false;
        for (const PortProbe& probe : probes) {
            found = found || probe.Answered();
            const std::wstring reason = probe.Answered() ? L"" : FormatProbeReason(probe);
            texts.text += JsonLine({{"port", Utf8FromWide(probe.port)},
                                    {"found", probe.Answered()},
                                    {"reason", Utf8FromWide(reason)}}) +
                          "\n";
        }
        *json = texts.text.c_str();
        if (found) return DRAVIK_CONFIRMED;
        return Fail(texts.error, DRAVIK_NO_METER, NoMeterMessage(probes));
    });
}

int DRAVIK_CALL dravik_open(const char* port, dravik_meter** meter) {
    ThreadTexts& texts = ForThread();
    return Guarded(texts.error, [&] {
        if (meter == nullptr)
            return Fail(texts.error, DRAVIK_INVALID_ARGUMENT, kNullPointer + std::string("meter"));
        *meter = nullptr;
        const std::string given = port == nullptr ? "" : port;
        const std::optional<std::wstring> name = WideFromUtf8(given);
        if (!name) return Fail(texts.error, DRAVIK_INVALID_ARGUMENT, Complaint(given, kNotUtf8));
        auto opened = std::make_unique<dravik_meter>();
        const SessionSystem system{opened->layer, EnumSerialPorts, PlatformHolderCheck()};
        SessionOpening opening;
        opened->session = SetSession::Open(system, *name, opening);
        if (!opened->session) {
            if (opening.status >= kStatusStoppedBase) {
                return Fail(texts.error, DRAVIK_CANCELLED,
                            kStopped + std::to_string(opening.status - kStatusStoppedBase));
            }
            const int status =
                opening.status == kStatusNoMeter ? DRAVIK_NO_METER : DRAVIK_PORT_UNAVAILABLE;
            return Fail(texts.error, status, opening.Message());
        }
        Registry& registry = Handles();
        const std::lock_guard lock(registry.mutex);
        registry.live.insert(opened.get());
        *meter = opened.release();
        return DRAVIK_CONFIRMED;
    });
}

int DRAVIK_CALL dravik_port(dravik_meter* meter, const char** port) {
    return OnHandle(meter, [&](dravik_meter& m) {
        if (port == nullptr)
            return Fail(m.error, DRAVIK_INVALID_ARGUMENT, kNullPointer + std::string("port"));
        m.text = Utf8FromWide(m.session->Port());
        *port = m.text.c_str();
        return DRAVIK_CONFIRMED;
    });
}

int DRAVIK_CALL dravik_open_log(dravik_meter* meter, const char* path, const char* tags) {
    return OnHandle(meter, [&](dravik_meter& m) {
        // Both checked before either changes: a refusal leaves the log and the tags as they were.
        std::optional<Tags> checked = Tags{};
        std::string problem;
        if (tags != nullptr && *tags != '\0') {
            checked = CheckTags(TagArguments(tags), problem);
            if (!checked) return Fail(m.error, DRAVIK_INVALID_ARGUMENT, problem);
        }
        const std::string logPath = path == nullptr ? "" : path;
        if (!WideFromUtf8(logPath))
            return Fail(m.error, DRAVIK_INVALID_ARGUMENT, Complaint(logPath, kNotUtf8));
        std::unique_ptr<StationLog> log;
        if (!logPath.empty() && !(log = StationLog::Open(logPath))) {
            return Fail(m.error, DRAVIK_LOG_FAILED, Complaint(logPath, kLogOpenFailed));
        }
        m.session->SetTags(std::move(*checked));
        m.session->AttachLog(std::move(log), logPath);
        return DRAVIK_CONFIRMED;
    });
}

int DRAVIK_CALL dravik_set(dravik_meter* meter, const char* channel, const char* db_text,
                           const char** json) {
    return OnHandle(meter, [&](dravik_meter& m) {
        if (json == nullptr)
            return Fail(m.error, DRAVIK_INVALID_ARGUMENT, kNullPointer + std::string("json"));
        m.text.clear();
        *json = m.text.c_str();
        if (channel == nullptr || db_text == nullptr) {
            return Fail(m.error, DRAVIK_INVALID_ARGUMENT,
                        kNullPointer + std::string(channel == nullptr ? "channel" : "db_text"));
        }
        std::string problem;
        // No `earlier`: the station may set a channel again on the same handle.
        const std::optional<Correction> correction =
            CheckCorrection(channel, db_text, std::string(channel) + "=" + db_text, {}, problem);
        if (!correction) return Fail(m.error, DRAVIK_INVALID_ARGUMENT, problem);
        ChannelRecord record;
        try {
            record = m.session->Set(*correction);
            m.text = RecordJson(record);
        } catch (...) {
            // The record cannot be handed over: no further channel may go out unrecorded.
            m.session->HaltForOutput();
            throw;
        }
        *json = m.text.c_str();
        const int status = SetStatus(m, record);
        if (status == DRAVIK_CONFIRMED) return status;
        return Fail(m.error, status, SetMessage(m, status, record));
    });
}

int DRAVIK_CALL dravik_cancel(dravik_meter* meter) {
    // Under the registry's lock, so that a dravik_close on another thread waits for it.
    Registry& registry = Handles();
    try {
        const std::lock_guard lock(registry.mutex);
        if (registry.live.count(meter) != 0) {
            meter->layer.Cancel();
            return DRAVIK_CONFIRMED;
        }
    } catch (...) {
        return DRAVIK_INTERNAL_ERROR;
    }
    return Fail(ForThread().error, DRAVIK_BAD_HANDLE, kBadHandle);
}

const char* DRAVIK_CALL dravik_last_error(const dravik_meter* meter) {
    if (meter == nullptr) return ForThread().error.c_str();
    try {
        return IsLive(meter) ? meter->error.c_str() : kBadHandle;
    } catch (...) {
        return "";
    }
}

int DRAVIK_CALL dravik_close(dravik_meter* meter) {
    try {
        {
            Registry& registry = Handles();
            const std::lock_guard lock(registry.mutex);
            if (registry.live.erase(meter) == 0) {
                return Fail(ForThread().error, DRAVIK_BAD_HANDLE, kBadHandle);
            }
        }
        delete meter;
        return DRAVIK_CONFIRMED;
    } catch (...) {
        return DRAVIK_INTERNAL_ERROR;
    }
}

}  // extern "C"
