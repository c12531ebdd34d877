#include "set_session.h"

#include <utility>

namespace {

// How long the line must stay silent after the last answer of a run: as long as after a frame
// that got none. A line that talks only later than this cannot be told from a slow meter.
constexpr std::uint32_t kAfterAnswerQuietMs = 1000;

}  // namespace

#include "operator_text.h"
#include "station_text.h"
#include "utf8_text.h"

std::string NoMeterMessage(const std::vector<PortProbe>& probes) {
    std::string message = Utf8FromWide(kMsgNoMeterPort);
    for (const PortProbe& probe : probes)
        message += '\n' + Utf8FromWide(FormatPortProbe(probe));
    return message;
}

std::string SessionOpening::Message() const {
    if (!named) {
        if (status == kStatusNoMeter) return NoMeterMessage(probes);
        if (status == kStatusPortUnavailable) return Utf8FromWide(FormatOpenFailure(port, refused));
        return {};
    }
    const bool failed = status == kStatusNoMeter || status == kStatusPortUnavailable;
    return failed && !probes.empty() ? Utf8FromWide(FormatNamedPortRefusal(probes.front())) : "";
}

std::unique_ptr<SetSession> SetSession::Open(const SessionSystem& system, const std::wstring& port,
                                             SessionOpening& opening) {
    opening = SessionOpening{};
    opening.port = port;
    opening.named = !port.empty();
    std::unique_ptr<SetSession> session(new SetSession(system.layer, port));
    if (opening.named) {
        // Know the meter before writing to it: a renumbered USB adapter puts another device
        // under a script's --port, and an instrument that streams or echoes could pass every
        // later answer check. The port stays open from the probe on.
        const PortProbe probe = ProbeNamedPort(session->m_meter, port, system.holders);
        opening.probes = {probe};
        if (const int signal = system.layer.Stop().Requested()) {
            opening.status = kStatusStoppedBase + signal;
            return nullptr;
        }
        if (!probe.Answered()) {
            const bool opened = probe.outcome == PortOutcome::NoAnswer ||
                                probe.outcome == PortOutcome::NotSent ||
                                probe.outcome == PortOutcome::WrongAnswer;
            opening.status = opened ? kStatusNoMeter : kStatusPortUnavailable;
            return nullptr;
        }
        return session;
    }
    // As the dialog finds its meter: once, before the first channel.
    opening.probes =
        ProbePorts(system.layer, system.listPorts, ProbeScope::UpToFirstAnswer, system.holders);
    opening.port = FoundPort(opening.probes);
    if (const int signal = system.layer.Stop().Requested()) {
        opening.status = kStatusStoppedBase + signal;
        return nullptr;
    }
    if (opening.port.empty()) {
        opening.status = kStatusNoMeter;
        return nullptr;
    }
    session->m_port = opening.port;
    if (session->m_meter.Open(opening.port) == kInvalidPort) {
        opening.refused = session->m_meter.LastOpenStatus();
        opening.status = kStatusPortUnavailable;
        return nullptr;
    }
    return session;
}

SetSession::SetSession(ISerialLayer& layer, std::wstring port)
    : m_layer(layer), m_meter(layer), m_port(std::move(port)) {}

SetSession::~SetSession() {
    Close();
}

void SetSession::Close() {
    m_meter.Close();
}

void SetSession::AttachLog(std::shared_ptr<StationLog> log, std::string path) {
    m_log = std::move(log);
    m_logPath = std::move(path);
}

bool SetSession::AppendLogRow(const ChannelRecord& record, RowEvent event,
                              const std::string& time) {
    return m_log == nullptr || m_log->Append(LogRow(record, event, time));
}

ChannelRecord SetSession::Set(const Correction& correction, bool more) {
    ChannelRecord record{UtcNow(), Utf8FromWide(m_port), correction, {}, m_tags};
    if (m_halt == Halt::None && m_layer.Stop().Requested() != 0) m_halt = Halt::Stopped;
    // A channel whose row is not on the disk is not sent: the record would not hold it.
    if (m_halt == Halt::None && !AppendLogRow(record, RowEvent::Sending, record.time)) {
        m_logFailed = true;
        m_halt = Halt::LogFailed;
    }
    // Bytes queued before the frame came after the last answer (or the probe's) unasked.
    std::vector<std::uint8_t> unasked;
    if (m_halt == Halt::None && !m_meter.LineSilent(0, unasked)) {
        m_halt = Halt::OutOfStep;
        m_unasked = true;
        m_allAnswered = false;
    }
    if (m_halt == Halt::None) record.exchange = m_meter.SendFrameRecorded(correction.frame);
    if (m_halt == Halt::None && record.exchange.answered &&
        !m_meter.LineSilent(more ? 0 : kAfterAnswerQuietMs, record.exchange.reply)) {
        record.exchange.answered = false;
        m_halt = Halt::OutOfStep;
        m_unasked = true;
    }
    m_allAnswered = m_allAnswered && record.exchange.answered;
    if (record.exchange.portLost && m_halt == Halt::None) m_halt = Halt::PortLost;
    if (m_halt == Halt::None && !record.exchange.sent) {
        m_halt = m_layer.Stop().Requested() != 0 ? Halt::Stopped : Halt::NotSent;
        m_silentLabel = kChannelLabels[correction.channel];
    }
    if (m_halt == Halt::None && record.exchange.sent && !record.exchange.answered) {
        m_halt = m_layer.Stop().Requested() != 0 ? Halt::Stopped : Halt::OutOfStep;
        m_silentLabel = kChannelLabels[correction.channel];
    }
    // A log that failed takes no more rows.
    if (!m_logFailed && !AppendLogRow(record, RowEvent::Done, UtcNow())) m_logFailed = true;
    if (m_halt == Halt::None && m_logFailed) m_halt = Halt::LogFailed;
    return record;
}

void SetSession::HaltForOutput() {
    m_outputFailed = true;
    if (m_halt == Halt::None) m_halt = Halt::OutputFailed;
}

int SetSession::Status() const {
    if (const int signal = m_layer.Stop().Requested()) return kStatusStoppedBase + signal;
    if (m_halt == Halt::PortLost) return kStatusPortUnavailable;
    return m_allAnswered && !m_logFailed && !m_outputFailed ? kStatusConfirmed
                                                            : kStatusNotConfirmed;
}

std::string SetSession::HaltMessage() const {
    switch (m_halt) {
        case Halt::None:
            return {};
        case Halt::Stopped:
            return Filled(kStopped, {std::to_string(m_layer.Stop().Requested())});
        case Halt::OutputFailed:
            return kOutputFailed;
        case Halt::PortLost:
            return Complaint(Utf8FromWide(m_port), kPortLost);
        case Halt::LogFailed:
            return Complaint(m_logPath, kLogWriteFailed);
        case Halt::OutOfStep:
            if (m_unasked) return Complaint(Utf8FromWide(m_port), kLineTalks);
            return Complaint(Utf8FromWide(m_silentLabel), kOutOfStep);
        case Halt::NotSent:
            return Complaint(Utf8FromWide(m_silentLabel), kFrameNotSent);
    }
    return {};
}
