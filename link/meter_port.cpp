#include "meter_port.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace {

std::atomic<LinkMessageHook> g_messageHook{nullptr};

// Line settings the meter needs (19200 baud is the default of m_nBaudRate).
constexpr std::uint32_t kInputQueueSize = 1000;  // not 1024: the meter's tool always used 1000
constexpr std::uint32_t kOutputQueueSize = 1024;
constexpr std::uint8_t kByteSize = 8;
constexpr std::uint8_t kEofChar = 0xA4;

constexpr std::uint32_t kDrainChunk = 100;
// A device that never stops talking would otherwise keep DrainInput reading for ever, with the
// operator's window frozen. One second drains far more than any real answer.
constexpr auto kDrainLimit = std::chrono::seconds(1);

constexpr int kResendAttempts = 5;
constexpr std::uint32_t kResendPauseMs = 80;
constexpr std::uint32_t kLastResendPauseMs = 100;
constexpr std::uint32_t kPollStepMs = 5;
constexpr std::uint32_t kPollLimitMs = 5000;
constexpr std::uint32_t kAnsweredPauseMs = 10;
constexpr std::uint32_t kCompletionTimeoutMs = 10000;

// What a record waits for beyond the dialog's exchange. An answer is over after two idle polls
// (a 40-byte answer at 19200 baud lasts 21 ms, its bytes 0.5 ms apart); one still going after
// 200 ms is a line that chatters. After no answer the line must be quiet for a second, for at
// most three, before the next frame: a late answer then stays with its own frame.
constexpr std::uint32_t kReplyGapMs = 10;
constexpr std::uint32_t kReplyLimitMs = 200;
constexpr std::uint32_t kQuietMs = 1000;
constexpr std::uint32_t kQuietLimitMs = 3000;

}  // namespace

void SetLinkMessageHook(LinkMessageHook hook) {
    g_messageHook.store(hook);
}

CMeterPort::CMeterPort() : CMeterPort(PlatformSerialLayer()) {}

CMeterPort::CMeterPort(ISerialLayer& layer) : m_layer(layer) {}

CMeterPort::~CMeterPort() {
    m_bListening = false;
    StopWatcher();
    const PortHandle handle = m_hComm.exchange(kInvalidPort);
    // The handle is closed without a purge, as the port always was on destruction.
    if (handle != kInvalidPort && handle != 0) m_layer.Close(handle);
}

void CMeterPort::StopWatcher() {
    if (!m_watcher.joinable()) return;
    m_bStopping = true;
    const PortHandle handle = m_hComm.load();
    if (handle != kInvalidPort) m_layer.WakeEventWaits(handle);
    m_watcher.join();
    m_bStopping = false;
}

PortHandle CMeterPort::Open(const std::wstring& portName) {
    const PortHandle handle = m_layer.Open(portName, m_lastOpen);
    m_hComm = handle;
    if (handle == kInvalidPort) return kInvalidPort;

    // A port whose queues or line state cannot be set is closed again rather than left
    // half-open: callers take a valid m_hComm for a usable port.
    const auto fail = [&] {
        m_hComm = kInvalidPort;
        m_lastOpen = {OpenReason::Other, {}};
        m_layer.Close(handle);
        return kInvalidPort;
    };
    if (!m_layer.SetupComm(handle, kInputQueueSize, kOutputQueueSize)) return fail();

    CommTimeouts timeouts;
    m_layer.GetCommTimeouts(handle, timeouts);
    timeouts.readIntervalTimeout = 1000;
    timeouts.readTotalTimeoutMultiplier = 100;
    timeouts.readTotalTimeoutConstant = 2000;
    timeouts.writeTotalTimeoutMultiplier = 100;
    timeouts.writeTotalTimeoutConstant = 2000;
    m_layer.SetCommTimeouts(handle, timeouts);

    LineState state;
    m_layer.GetCommState(handle, state);
    state.baudRate = m_nBaudRate;
    state.byteSize = kByteSize;
    state.eofChar = kEofChar;
    if (!m_layer.SetCommState(handle, state)) return fail();

    m_layer.PurgeComm(handle, kPurgeAll);
    return handle;
}

void CMeterPort::Close() {
    const PortHandle handle = m_hComm.load();
    if (handle == kInvalidPort) return;
    m_bListening = false;
    // The watcher is ended and joined before the handle goes, so it never waits on a closed
    // (or, worse, reused) handle.
    StopWatcher();
    m_bWatcherRunning = false;
    m_layer.PurgeComm(handle, kPurgeAll);
    m_layer.Close(handle);
    m_hComm = kInvalidPort;
}

std::uint32_t CMeterPort::Write(const std::uint8_t* buffer, std::uint32_t length) {
    const PortHandle handle = m_hComm.load();
    if (handle == kInvalidPort) return 0;
    CommStatus status;
    m_layer.ClearCommError(handle, status);
    // Every write starts from a clean line: stale input and unsent output are discarded.
    m_layer.PurgeComm(handle, kPurgeAll);
    return m_layer.Write(handle, buffer, length);
}

std::uint32_t CMeterPort::Read(std::uint32_t maxBytes, std::uint8_t* buffer) {
    const PortHandle handle = m_hComm.load();
    if (handle == kInvalidPort) return 0;
    CommStatus status;
    if (!m_layer.ClearCommError(handle, status)) return 0;
    if (status.errors != 0) {
        m_layer.PurgeComm(handle, kPurgeInput);
        return 0;
    }
    if (status.inQueue == 0) return 0;  // never waits for data
    return m_layer.Read(handle, buffer, std::min(maxBytes, status.inQueue));
}

void CMeterPort::DrainInput() {
    const PortHandle handle = m_hComm.load();
    if (handle == kInvalidPort) return;
    CommStatus status;
    if (!m_layer.ClearCommError(handle, status) || status.inQueue == 0) return;

    std::array<std::uint8_t, kDrainChunk> scratch{};
    const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    std::uint32_t queued = 0;
    do {
        CommStatus pass;
        m_layer.ClearCommError(handle, pass);
        queued = pass.inQueue;
        Read(kDrainChunk, scratch.data());
    } while (queued != 0 && std::chrono::steady_clock::now() < deadline);
}

bool CMeterPort::IsDevicePresent() {
    const PortHandle handle = m_hComm.load();
    CommStatus status;
    return handle != kInvalidPort && m_layer.ClearCommError(handle, status);
}

int CMeterPort::SetCorrection(const std::wstring& text, std::uint8_t channel) {
    return SetCorrection(ReadCorrection(text, channel));
}

int CMeterPort::SetCorrection(const Correction& correction) {
    return SendFrame(correction.frame);
}

int CMeterPort::SendFrame(const Frame& frame) {
    return Exchange(frame, nullptr) ? 1 : 0;
}

ExchangeRecord CMeterPort::SendFrameRecorded(const Frame& frame) {
    ExchangeRecord record;
    Exchange(frame, &record);
    record.portLost = !IsDevicePresent();
    return record;
}

bool CMeterPort::WriteFrame(const Frame& frame, std::uint32_t& sent) {
    // What the driver still holds of a frame that a stop cut short never leaves: the meter would
    // read its head and the next frame's bytes as one frame.
    const auto stopped = [this, &sent] {
        if (m_layer.Stop().Requested() == 0) return false;
        if (sent > 0) m_layer.PurgeComm(m_hComm.load(), kPurgeTxAbort | kPurgeTxClear);
        return true;
    };
    sent = 0;
    if (stopped()) return false;
    sent = Write(frame.data(), kFrameSize);
    if (sent == kFrameSize) return true;
    if (stopped()) return false;
    // The driver took only part of the frame: push the unsent tail, always copied from the
    // frame itself.
    std::array<std::uint8_t, kFrameSize> scratch{};
    const auto resendTail = [&] {
        const std::uint32_t rest = kFrameSize - sent;
        std::copy(frame.begin() + sent, frame.end(), scratch.begin());
        return Write(scratch.data(), rest);
    };
    int attempts = 0;
    while (sent < kFrameSize && attempts < kResendAttempts) {
        m_layer.Stop().Pause(kResendPauseMs);
        if (stopped()) return false;
        sent += resendTail();
        ++attempts;
    }
    if (sent == kFrameSize) return true;
    m_layer.Stop().Pause(kLastResendPauseMs);
    if (!stopped()) sent += resendTail();
    return false;
}

void CMeterPort::EnsureWatcher() {
    if (m_bWatcherRunning) return;
    // A watcher that ended on its own has cleared m_bWatcherRunning as its last act; its thread
    // object still has to be joined before a new one takes its place.
    if (m_watcher.joinable()) m_watcher.join();
    m_bWatcherRunning = true;
    if (!m_layer.StartThread(m_watcher, [this] { WatchReplies(this); })) {
        // Without this reset no later send would ever try to start a watcher again.
        m_bWatcherRunning = false;
    }
}

namespace {

// What arrives after a frame, as a record sees it: the bytes (the first kFrameSize kept), and
// whether any of them is more than the line's echo of the frame itself. An echo is bytes
// identical to a prefix of the frame; whatever follows a complete echo is the meter's.
class ReplyBytes {
  public:
    ReplyBytes(const Frame& frame, ExchangeRecord& record) : m_frame(frame), m_record(record) {}

    // Reads what is queued, up to the input queue's size: a device that sends faster than it is
    // read must not keep the exchange here. Whether any byte arrived.
    bool Take(CMeterPort& port) {
        std::uint32_t total = 0;
        std::array<std::uint8_t, kFrameSize> chunk{};
        while (total < kInputQueueSize) {
            const std::uint32_t count = port.Read(kFrameSize, chunk.data());
            if (count == 0) break;
            total += count;
            for (std::uint32_t i = 0; i < count; ++i)
                Add(chunk[i]);
        }
        return total > 0;
    }
    bool Answer() const { return m_answer; }

  private:
    void Add(std::uint8_t byte) {
        if (m_record.reply.size() < kFrameSize) m_record.reply.push_back(byte);
        if (!m_answer && m_echoed < kFrameSize && byte == m_frame[m_echoed]) {
            ++m_echoed;
        } else {
            m_answer = true;
        }
    }

    const Frame& m_frame;
    ExchangeRecord& m_record;
    std::size_t m_echoed = 0;
    bool m_answer = false;
};

// Takes what arrives (`take`: whether anything did) until nothing has for `quietMs`, for at
// most `limitMs`, or until the first arrival with `untilFirst`; whether the line went quiet.
template <typename Take>
bool AwaitQuiet(CMeterPort& port, Take take, std::uint32_t quietMs, std::uint32_t limitMs,
                bool untilFirst = false) {
    std::uint32_t quiet = 0;
    for (std::uint32_t waited = 0;
         quiet < quietMs && waited < limitMs && port.Layer().Stop().Requested() == 0;
         waited += kPollStepMs) {
        port.Layer().Stop().Pause(kPollStepMs);
        if (!take()) {
            quiet += kPollStepMs;
        } else if (untilFirst) {
            return false;
        } else {
            quiet = 0;
        }
    }
    return quiet >= quietMs;
}

}  // namespace

bool CMeterPort::LineSilent(std::uint32_t quietMs, std::vector<std::uint8_t>& reply) {
    bool arrived = false;
    const auto take = [&] {
        std::array<std::uint8_t, kFrameSize> chunk{};
        bool got = false;
        for (std::uint32_t total = 0, count = 0;
             total < kInputQueueSize && (count = Read(kFrameSize, chunk.data())) > 0;
             total += count) {
            got = true;
            const std::size_t room = kFrameSize - std::min<std::size_t>(reply.size(), kFrameSize);
            reply.insert(
                reply.end(), chunk.begin(),
                chunk.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(count, room)));
        }
        arrived = arrived || got;
        return got;
    };
    // A device that has gone has nothing more to say.
    if (!take() && IsDevicePresent()) AwaitQuiet(*this, take, quietMs, quietMs, true);
    return !arrived;
}

bool CMeterPort::Exchange(const Frame& frame, ExchangeRecord* record) {
    DrainInput();
    m_nReplyStatus = REPLY_PENDING;
    std::uint32_t sent = 0;
    const bool whole = WriteFrame(frame, sent);
    if (record != nullptr) record->sent = sent == kFrameSize;
    if (!whole) return false;

    m_nReplyStatus = REPLY_PENDING;
    EnsureWatcher();

    // The dialog takes the first character as the answer. A record reads what comes, and waits
    // on while it is only the frame's echo.
    std::optional<ReplyBytes> reply;
    if (record != nullptr) reply.emplace(frame, *record);
    std::uint32_t waited = 0;
    while (waited < kPollLimitMs && m_layer.Stop().Requested() == 0) {
        const std::int32_t status = m_nReplyStatus;
        if (status == REPLY_RECEIVED && reply) {
            // Reset before reading: an arrival after the read raises it again.
            m_nReplyStatus = REPLY_PENDING;
            if (reply->Take(*this) && reply->Answer()) break;
        } else if (status != REPLY_PENDING) {
            break;
        }
        // A watcher that ended at an echo already queued when it started is replaced.
        if (reply) EnsureWatcher();
        m_layer.Stop().Pause(kPollStepMs);
        waited += kPollStepMs;
    }
    if (!reply) {
        if (m_nReplyStatus != REPLY_RECEIVED) return false;
        m_layer.Stop().Pause(kAnsweredPauseMs);
        return true;
    }

    reply->Take(*this);
    const bool inTime = reply->Answer();
    // The answer is over once the line is quiet. A line that goes on sending is no meter
    // answering: it chatters, and would chatter just as well without a frame.
    const auto take = [&] { return reply->Take(*this); };
    if (inTime && AwaitQuiet(*this, take, kReplyGapMs, kReplyLimitMs)) {
        record->answered = true;
        return true;
    }
    // Nothing came in time, or no end to it: the line is let go quiet before the next frame, and
    // what comes meanwhile is this frame's answer, late.
    if (IsDevicePresent()) {
        AwaitQuiet(*this, take, kQuietMs, kQuietLimitMs);
        record->late = !inTime && reply->Answer();
    }
    return false;
}

int CMeterPort::WatchReplies(CMeterPort* port) {
    ISerialLayer& layer = port->m_layer;
    const PortHandle handle = port->m_hComm.load();
    if (handle == kInvalidPort) {
        port->m_nReplyStatus = REPLY_NO_PORT;
        port->m_bWatcherRunning = false;
        return 0;
    }
    port->m_nReplyStatus = REPLY_PENDING;
    port->m_bListening = true;

    std::unique_ptr<IPortEventWait> wait = layer.CreateEventWait(handle);
    if (!wait) {
        if (const LinkMessageHook hook = g_messageHook.load()) hook(L"创建事件失败");
        port->m_bWatcherRunning = false;
        return 0;
    }
    if (!layer.SetCommMask(handle, kEvRxChar | kEvTxEmpty | kEvErr)) {
        port->m_bWatcherRunning = false;
        return 0;
    }
    CommStatus status;
    layer.ClearCommError(handle, status);
    if (status.inQueue != 0) {
        // The answer arrived before the watcher began.
        port->m_nReplyStatus = REPLY_RECEIVED;
        port->m_bWatcherRunning = false;
        return 0;
    }

    while (port->m_bListening && !port->m_bStopping) {
        std::uint32_t mask = 0;
        const WaitOutcome outcome = wait->WaitCommEvent(mask);
        if (outcome == WaitOutcome::Broken) {
            port->m_bListening = false;
            continue;
        }
        if (outcome == WaitOutcome::Failed) {
            // A device that can no longer report its status (a USB adapter pulled out) fails
            // every wait at once, for ever: end as a line error instead of spinning a core.
            CommStatus alive;
            if (!port->m_bStopping && !layer.ClearCommError(handle, alive)) {
                port->m_bListening = false;
                port->m_nReplyStatus = REPLY_LINE_ERROR;
            }
            continue;
        }
        if (outcome == WaitOutcome::Immediate) {
            CommStatus queued;
            layer.ClearCommError(handle, queued);
            if (queued.inQueue == 0) continue;
        }
        if (!wait->CompletionSignalled(kCompletionTimeoutMs)) {
            wait.reset();
            port->m_nReplyStatus = REPLY_TIMEOUT;
            port->m_bListening = false;
            continue;
        }
        if (mask == kEvRxChar) {
            port->m_nReplyStatus = REPLY_RECEIVED;
        } else if (mask == kEvErr) {
            port->m_bListening = false;
            port->m_nReplyStatus = REPLY_LINE_ERROR;
        }
    }
    port->m_bWatcherRunning = false;
    return 0;
}
