#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "meter_frames.h"
#include "serial_layer.h"

// Outcome last reported by the reply watcher (CMeterPort::m_nReplyStatus).
inline constexpr std::int32_t REPLY_PENDING = 0;
inline constexpr std::int32_t REPLY_RECEIVED = 1;
inline constexpr std::int32_t REPLY_TIMEOUT = 2;
inline constexpr std::int32_t REPLY_NO_PORT = 3;
inline constexpr std::int32_t REPLY_LINE_ERROR = -1;

// What one frame's exchange found, for a front end that keeps a record of it. The dialog goes by
// SendFrame's rule of an answer, any character after the frame; a record must not take the
// line's echo of the frame, or a line that never stops sending, for the meter's answer.
struct ExchangeRecord {
    bool sent = false;  // the whole frame went to the driver
    // After the frame was written, bytes came that are more than its echo (bytes identical to a
    // prefix of the frame), within the exchange's wait, and then the line went quiet.
    bool answered = false;
    // Nothing answered in time, but an answer came while the line was let go quiet afterwards.
    bool late = false;
    bool portLost = false;            // the device has gone: nothing more can be sent on this port
    std::vector<std::uint8_t> reply;  // what arrived after the frame, the first 40 bytes
};

// The link has no toolkit: the one message it may need to show (the watcher could not create
// its event) goes through this hook, which the front end sets. Without a hook it is dropped.
using LinkMessageHook = void (*)(const std::wstring& message);
void SetLinkMessageHook(LinkMessageHook hook);

// One serial port to the meter, with the fixed line settings the meter needs, and the state of
// the background reply watcher. Owned and driven by one thread; the watcher is the only other
// thread that touches it, and only through the four atomic words below.
class CMeterPort {
  public:
    CMeterPort();
    explicit CMeterPort(ISerialLayer& layer);
    ~CMeterPort();
    CMeterPort(const CMeterPort&) = delete;
    CMeterPort& operator=(const CMeterPort&) = delete;

    // Returns the new handle, or kInvalidPort (-1) on failure. Call on a closed port only.
    PortHandle Open(const std::wstring& portName);
    // Why the last Open failed (Opened after one that worked).
    const OpenStatus& LastOpenStatus() const { return m_lastOpen; }
    void Close();
    std::uint32_t Write(const std::uint8_t* buffer, std::uint32_t length);
    std::uint32_t Read(std::uint32_t maxBytes, std::uint8_t* buffer);
    void DrainInput();

    // Command exchange: 1 when the meter answered within about 5 s, 0 otherwise.
    int SetCorrection(const std::wstring& text, std::uint8_t channel);
    // The same for a correction read already (whose frame is sent as it is).
    int SetCorrection(const Correction& correction);
    int SendFrame(const Frame& frame);
    // The same exchange, with a record of what it found, for dravik-cli's log. It reads what
    // arrives (SendFrame never does) and, after no answer, waits for the line to be quiet.
    ExchangeRecord SendFrameRecorded(const Frame& frame);
    // For a record, while no frame awaits an answer: whether nothing arrives on the line in
    // `quietMs` (0: whether nothing is queued now). It ends at the first byte, at a stop
    // request or when the device has gone; what arrived is added to `reply` (up to 40 bytes
    // in all).
    bool LineSilent(std::uint32_t quietMs, std::vector<std::uint8_t>& reply);
    // Reply watcher thread procedure; returns 0.
    static int WatchReplies(CMeterPort* port);

    // False when the port is closed or its device has gone (USB adapter unplugged, pty hung up):
    // the status of a vanished device can no longer be read.
    bool IsDevicePresent();

    ISerialLayer& Layer() const { return m_layer; }

    std::atomic<PortHandle> m_hComm{kInvalidPort};
    std::uint32_t m_nBaudRate = 19200;
    std::atomic<bool> m_bListening{true};
    std::atomic<std::int32_t> m_nReplyStatus{REPLY_PENDING};
    std::atomic<bool> m_bWatcherRunning{false};

  private:
    // Stops and joins a running watcher; the handle stays open.
    void StopWatcher();
    // Starts a watcher when none runs.
    void EnsureWatcher();
    // Writes the frame, resending an unsent tail as the driver takes it; `sent` is what it took
    // in all. False when the exchange gives up: five resends left it short, and the one last
    // attempt after them is not waited on, whatever it wrote. Also false once a stop is
    // requested: from then on no part of the frame goes to the driver, not even its first byte,
    // and a part it has taken already (a line held by flow control takes a part and sends
    // nothing) is discarded with the port's output when the port is closed.
    bool WriteFrame(const Frame& frame, std::uint32_t& sent);
    // SendFrame's exchange; with a record, also what the record needs.
    bool Exchange(const Frame& frame, ExchangeRecord* record);

    ISerialLayer& m_layer;
    OpenStatus m_lastOpen;
    std::thread m_watcher;
    // Set while the owner stops the watcher: the watcher's own "m_bListening = TRUE" at start
    // must not revive a loop that its owner is ending.
    std::atomic<bool> m_bStopping{false};
};
