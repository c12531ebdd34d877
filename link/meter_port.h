#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "meter_frames.h"
#include "serial_layer.h"

// Outcome last reported by the reply watcher (CMeterPort::m_nReplyStatus).
inline constexpr std::int32_t REPLY_PENDING = 0;
inline constexpr std::int32_t REPLY_RECEIVED = 1;
inline constexpr std::int32_t REPLY_TIMEOUT = 2;
inline constexpr std::int32_t REPLY_NO_PORT = 3;
inline constexpr std::int32_t REPLY_LINE_ERROR = -1;

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

    ISerialLayer& m_layer;
    OpenStatus m_lastOpen;
    std::thread m_watcher;
    // Set while the owner stops the watcher: the watcher's own "m_bListening = TRUE" at start
    // must not revive a loop that its owner is ending.
    std::atomic<bool> m_bStopping{false};
};
