#pragma once

// The station's set session, shared by every front end that keeps a record (dravik-cli, the C
// library): the port opened, or found as the dialog finds it; then per channel a write-ahead
// log row, the exchange, its outcome row and the record; and the rules that stop a run. Once a
// run has stopped (the port lost, a log row that failed, a stop request, a front end that
// could not report a record), no further channel is sent: each is recorded as not sent.
// Toolkit-free, and it never prints.

#include <memory>
#include <string>
#include <vector>

#include "channel_record.h"
#include "meter_port.h"
#include "port_discovery.h"
#include "station_input.h"
#include "station_log.h"
#include "statuses.h"

// What a session runs on. Without a holder check nothing is skipped before its open.
struct SessionSystem {
    ISerialLayer& layer;
    PortLister listPorts;
    HolderCheck holders = {};
};

// Why the channels from one on are not sent. OutOfStep: a channel got no answer in time, and no
// frame of the protocol tells a late answer from the next channel's, so nothing more is sent
// on this port until it is opened again; or the line sent data while no frame awaited an
// answer (a meter left in a continuous-reading mode), and what came after a frame can no longer
// be told for its answer. NotSent: the line would not take a channel's frame in full (flow
// control holding it, a driver that refuses): the next frame would wait its whole write
// time-outs (42 s) for nothing.
enum class Halt { None, Stopped, LogFailed, PortLost, OutputFailed, OutOfStep, NotSent };

// What opening a session found, for the front end to report when it failed.
struct SessionOpening {
    int status = kStatusConfirmed;  // kStatusConfirmed when the port is open
    std::wstring port;              // the port given or found
    bool named = false;             // given, not found
    // The search's, when no port was given; else the named port's probe, one.
    std::vector<PortProbe> probes;
    OpenStatus refused;  // why the port found would not open
    // The line dravik-cli prints on stderr for a failure (no meter: NoMeterMessage's lines).
    std::string Message() const;
};

// The lines dravik-cli prints on stderr when no meter was found: the dialog's message, then each
// port tried with what became of it, in the order tried.
std::string NoMeterMessage(const std::vector<PortProbe>& probes);

class SetSession {
  public:
    // Opens `port` once it has answered the search's probe as the meter (nothing else is written
    // to a port that does not: kStatusNoMeter), or with an empty one the port a search up to the
    // first answer finds (as the dialog does, once). nullptr when it failed; `opening` says why.
    static std::unique_ptr<SetSession> Open(const SessionSystem& system, const std::wstring& port,
                                            SessionOpening& opening);
    // Closes the port (when Close has not): the line as found.
    ~SetSession();
    SetSession(const SetSession&) = delete;
    SetSession& operator=(const SetSession&) = delete;

    const std::wstring& Port() const { return m_port; }

    // The station's tags, in every record from here on; and the log (nullptr: none) with the
    // path it was opened at, as given, which a failure names. The library's session keeps its
    // log across the ports it opens, hence shared.
    void SetTags(Tags tags) { m_tags = std::move(tags); }
    void AttachLog(std::shared_ptr<StationLog> log, std::string path);

    // One channel: unless the run has stopped, its write-ahead row, then the frame and what
    // came back, then its outcome row. A channel whose row cannot be written is not sent.
    // From the probe's answer on, the line is watched while no frame awaits an answer: a byte
    // queued before the frame stops the run (this channel not sent), and after an answer
    // `more` (another frame follows at once, whose check then covers the gap) looks only at
    // what is queued, else the line must stay silent for a quiet wait (1 s); a byte then
    // unconfirms this channel.
    ChannelRecord Set(const Correction& correction, bool more = false);
    // The front end could not report a record (its stdout failed): no further channel is sent.
    // After a channel without an answer (OutOfStep) nothing more is either.
    void HaltForOutput();

    // Closes the port now, the line as found; the session sends nothing more.
    void Close();

    Halt Halted() const { return m_halt; }
    // The status the run earned: a stop request's 128+N over a lost port's 4 over a channel not
    // confirmed (1) over 0.
    int Status() const;
    // Why the run stopped, the line dravik-cli prints on stderr; empty when it has not.
    std::string HaltMessage() const;

  private:
    SetSession(ISerialLayer& layer, std::wstring port);
    // Writes the record's row to the log; whether it is on the disk, or there is no log.
    bool AppendLogRow(const ChannelRecord& record, RowEvent event, const std::string& time);

    ISerialLayer& m_layer;
    CMeterPort m_meter;
    std::wstring m_port;
    Tags m_tags;
    std::shared_ptr<StationLog> m_log;
    std::string m_logPath;
    Halt m_halt = Halt::None;
    std::wstring m_silentLabel;  // the channel that got no answer, for OutOfStep
    bool m_unasked = false;      // OutOfStep because the line talked on its own
    bool m_allAnswered = true;
    bool m_logFailed = false;
    bool m_outputFailed = false;
};
