// The serial layer on Linux: a tty opened by its device path, with the Win32-shaped operations
// of serial_layer.h mapped onto termios, tty ioctls and epoll.

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "serial_layer.h"

namespace {

// Errors after which the device is gone for good (USB adapter unplugged, pty master closed):
// the tty is hung up and every further operation on the descriptor fails the same way.
bool DeviceVanished(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// Port names come in as wide strings (UTF-32 on Linux); the kernel wants UTF-8 bytes.
std::optional<std::string> ToUtf8(const std::wstring& text) {
    std::string out;
    for (const wchar_t wide : text) {
        const auto c = static_cast<std::uint32_t>(wide);
        if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct BaudRate {
    std::uint32_t rate;
    speed_t code;
};

constexpr std::array<BaudRate, 30> kBaudRates{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

std::optional<speed_t> SpeedCode(std::uint32_t rate) {
    const auto it = std::find_if(kBaudRates.begin(), kBaudRates.end(),
                                 [rate](const BaudRate& b) { return b.rate == rate; });
    if (it == kBaudRates.end()) return std::nullopt;
    return it->code;
}

std::uint32_t SpeedRate(speed_t code) {
    const auto it = std::find_if(kBaudRates.begin(), kBaudRates.end(),
                                 [code](const BaudRate& b) { return b.code == code; });
    return it == kBaudRates.end() ? 0 : it->rate;
}

std::optional<tcflag_t> SizeFlag(std::uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        case 8:
            return CS8;
        default:
            return std::nullopt;
    }
}

std::uint8_t ByteSize(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

// Input processing that would alter or swallow bytes of a binary frame: CR/LF mapping, parity
// marking and stripping, and software flow control, which eats 0x11/0x13 wherever they occur
// (a correction factor's float easily contains them).
constexpr tcflag_t kRawInputOff = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                  IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL;
constexpr tcflag_t kRawLocalOff = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;

// Line error counters of the driver. Ptys and some USB adapters keep none.
struct LineCounters {
    int frame = 0;
    int parity = 0;
    int overrun = 0;
    int bufOverrun = 0;
    int brk = 0;

    bool operator==(const LineCounters&) const = default;
};

enum class CounterRead { Ok, Unsupported, Vanished };

CounterRead ReadCounters(int fd, LineCounters& counters) {
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) {
        return DeviceVanished(errno) ? CounterRead::Vanished : CounterRead::Unsupported;
    }
    counters = {icount.frame, icount.parity, icount.overrun, icount.buf_overrun, icount.brk};
    return CounterRead::Ok;
}

std::uint32_t ErrorFlags(const LineCounters& before, const LineCounters& now) {
    std::uint32_t flags = 0;
    if (now.frame != before.frame) flags |= kCeFrame;
    if (now.parity != before.parity) flags |= kCeRxParity;
    if (now.overrun != before.overrun) flags |= kCeOverrun;
    if (now.bufOverrun != before.bufOverrun) flags |= kCeRxOver;
    if (now.brk != before.brk) flags |= kCeBreak;
    return flags;
}

// Everything the layer keeps for one open port; its address is the PortHandle.
struct Port {
    int fd = -1;
    // Written once by WakeEventWaits and never read: it stays readable, so every later wait
    // ends at once as well.
    int wakeFd = -1;
    // Written by Write when the event mask asks for EV_TXEMPTY, so that a blocked wait starts
    // watching the output queue drain.
    int txFd = -1;

    std::atomic<bool> woken{false};
    std::atomic<bool> vanished{false};
    std::atomic<std::uint32_t> eventMask{0};
    std::atomic<bool> txDraining{false};
    // Counts reads and input purges. A wait tells a new arrival from a queue that merely still
    // holds an earlier, unread answer by comparing queue sizes, which only holds while nothing
    // was taken out of the queue in between.
    std::atomic<std::uint64_t> consumed{0};

    // Owner thread only.
    CommTimeouts timeouts;
    std::uint8_t eofChar = 0;  // kept for GetCommState; a tty has no such thing

    // What the owner's calls and the reply watcher's wait both update.
    std::mutex mutex;
    bool haveCounters = false;
    LineCounters errorBaseline;  // what the last ClearCommError reported against
    LineCounters eventBaseline;  // what the last EV_ERR was reported against
    int lastQueued = 0;
    std::uint64_t lastConsumed = 0;
    bool pendingRx = false;  // an arrival held back behind an EV_TXEMPTY

    ~Port() {
        for (const int f : {fd, wakeFd, txFd}) {
            if (f >= 0) close(f);
        }
    }
};

Port* ToPort(PortHandle handle) {
    if (handle == kInvalidPort || handle == 0) return nullptr;
    return reinterpret_cast<Port*>(handle);
}

void Signal(int eventFd) {
    const std::uint64_t one = 1;
    while (write(eventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Consume(int eventFd) {
    std::uint64_t count = 0;
    while (read(eventFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

class LinuxEventWait final : public IPortEventWait {
  public:
    LinuxEventWait(Port& port, int epollFd) : m_port(port), m_epoll(epollFd) {}
    ~LinuxEventWait() override { close(m_epoll); }
    LinuxEventWait(const LinuxEventWait&) = delete;
    LinuxEventWait& operator=(const LinuxEventWait&) = delete;

    // epoll data tags of the three descriptors a wait watches.
    static constexpr std::uint32_t kTagTty = 0;
    static constexpr std::uint32_t kTagWake = 1;
    static constexpr std::uint32_t kTagTx = 2;

    WaitOutcome WaitCommEvent(std::uint32_t& mask) override {
        mask = 0;
        // What happened while no wait was pending is reported at once, all kinds in one mask,
        // the way Windows reports the event history when WaitCommEvent is called.
        Outcome now = Collect(0, false);
        if (now.kind == Outcome::Events) {
            mask = now.events;
            return WaitOutcome::Immediate;
        }
        while (now.kind == Outcome::Nothing)
            now = Collect(DrainPollTimeout(), true);
        if (now.kind == Outcome::Woken) return WaitOutcome::Failed;
        // A vanished device is a completed wait with exactly EV_ERR, every time it is asked
        // again: a watcher must see it as a line error and end, never loop on it.
        mask = now.kind == Outcome::Vanished ? kEvErr : now.events;
        return WaitOutcome::Completed;
    }

    bool CompletionSignalled(std::uint32_t) override { return true; }

  private:
    struct Outcome {
        enum Kind { Nothing, Events, Woken, Vanished } kind = Nothing;
        std::uint32_t events = 0;
    };

    // Waits up to timeoutMs (-1: no limit) for activity and turns it into port events.
    Outcome Collect(int timeoutMs, bool pending) {
        if (m_port.woken) return {Outcome::Woken};
        if (m_port.vanished) return {Outcome::Vanished};

        std::array<epoll_event, 3> ready{};
        const int count =
            epoll_wait(m_epoll, ready.data(), static_cast<int>(ready.size()), timeoutMs);
        if (count < 0) return errno == EINTR ? Outcome{} : Outcome{Outcome::Woken};
        bool ttyReadable = false;
        for (int i = 0; i < count; ++i) {
            const epoll_event& event = ready[static_cast<std::size_t>(i)];
            if (event.data.u32 == kTagWake) return {Outcome::Woken};
            if (event.data.u32 == kTagTx) Consume(m_port.txFd);
            if (event.data.u32 == kTagTty) {
                if ((event.events & (EPOLLHUP | EPOLLERR)) != 0) return Vanish();
                ttyReadable = (event.events & EPOLLIN) != 0;
            }
        }
        if (m_port.woken) return {Outcome::Woken};

        const std::lock_guard lock(m_port.mutex);
        bool rx = std::exchange(m_port.pendingRx, false);
        if (ttyReadable) {
            // Edge-triggered readiness also fires on wake-ups that bring no data (a termios
            // change, for one); only a queue that grew, or refilled after a read, is an arrival.
            const std::uint64_t consumed = m_port.consumed;
            int queued = 0;
            if (ioctl(m_port.fd, FIONREAD, &queued) != 0) {
                if (DeviceVanished(errno)) return Vanish();
            } else {
                rx = rx || (queued > 0 &&
                            (queued > m_port.lastQueued || consumed != m_port.lastConsumed));
                m_port.lastQueued = queued;
                m_port.lastConsumed = consumed;
            }
        }

        bool tx = false;
        if (m_port.txDraining) {
            // A driver that cannot tell its output queue counts as drained at once.
            int unsent = 0;
            if (ioctl(m_port.fd, TIOCOUTQ, &unsent) != 0 && DeviceVanished(errno)) return Vanish();
            if (unsent == 0) {
                tx = true;
                m_port.txDraining = false;
            }
        }

        bool lineError = false;
        if (m_port.haveCounters) {
            LineCounters now;
            const CounterRead read = ReadCounters(m_port.fd, now);
            if (read == CounterRead::Vanished) return Vanish();
            if (read == CounterRead::Ok && !(now == m_port.eventBaseline)) {
                lineError = true;
                m_port.eventBaseline = now;
            }
        }

        // A wait that was already pending ends at the first event, as on Windows. An emptied
        // output queue precedes any answer to what was written, so when both turn up in one
        // look the answer is held back for the next wait rather than hidden in a two-bit mask.
        if (pending && tx && rx) {
            m_port.pendingRx = true;
            rx = false;
        }
        const std::uint32_t events =
            ((rx ? kEvRxChar : 0) | (tx ? kEvTxEmpty : 0) | (lineError ? kEvErr : 0)) &
            m_port.eventMask;
        if (events == 0) return {};
        return {Outcome::Events, events};
    }

    Outcome Vanish() {
        m_port.vanished = true;
        return {Outcome::Vanished};
    }

    // Without a write in flight the wait sleeps in the kernel. The moment the transmitter
    // empties raises no wake-up on every driver, so while bytes are unsent the queue is looked
    // at again after roughly their time on the line.
    int DrainPollTimeout() const {
        if (!m_port.txDraining) return -1;
        int unsent = 0;
        if (ioctl(m_port.fd, TIOCOUTQ, &unsent) != 0 || unsent == 0) return 0;
        return std::clamp(unsent, 2, 100);
    }

    Port& m_port;
    const int m_epoll;
};

class LinuxSerialLayer : public ISerialLayer {
  public:
    PortHandle Open(const std::wstring& name) override {
        const std::optional<std::string> path = ToUtf8(name);
        if (!path || path->empty()) return kInvalidPort;
        Port* port = new (std::nothrow) Port;
        if (port == nullptr) return kInvalidPort;
        // Non-blocking, so neither the open nor a later read waits for carrier or data.
        port->fd = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // Exclusive use: flock keeps out every other process using the same convention (and
        // root, whom TIOCEXCL lets through); TIOCEXCL keeps out openers that don't flock.
        const bool opened = port->fd >= 0 && isatty(port->fd) == 1 &&
                            flock(port->fd, LOCK_EX | LOCK_NB) == 0 &&
                            ioctl(port->fd, TIOCEXCL) == 0;
        if (opened) {
            port->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            port->txFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        if (!opened || port->wakeFd < 0 || port->txFd < 0) {
            if (opened) ioctl(port->fd, TIOCNXCL);
            delete port;
            return kInvalidPort;
        }
        LineCounters counters;
        port->haveCounters = ReadCounters(port->fd, counters) == CounterRead::Ok;
        port->errorBaseline = counters;
        port->eventBaseline = counters;
        return reinterpret_cast<PortHandle>(port);
    }

    void Close(PortHandle handle) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return;
        // Exclusive mode belongs to the tty, not to this descriptor: left set, it would lock
        // out the next opener of a pty whose other side stays open.
        ioctl(port->fd, TIOCNXCL);
        delete port;
    }

    bool SetupComm(PortHandle handle, std::uint32_t, std::uint32_t) override {
        // A tty's buffers are the kernel's and cannot be sized.
        return ToPort(handle) != nullptr;
    }

    bool GetCommTimeouts(PortHandle handle, CommTimeouts& timeouts) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return false;
        timeouts = port->timeouts;
        return true;
    }

    bool SetCommTimeouts(PortHandle handle, const CommTimeouts& timeouts) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return false;
        port->timeouts = timeouts;
        return true;
    }

    bool GetCommState(PortHandle handle, LineState& state) override {
        Port* port = ToPort(handle);
        termios tio{};
        if (port == nullptr || tcgetattr(port->fd, &tio) != 0) return false;
        state.baudRate = SpeedRate(cfgetospeed(&tio));
        state.byteSize = ByteSize(tio.c_cflag);
        state.eofChar = port->eofChar;
        return true;
    }

    bool SetCommState(PortHandle handle, const LineState& state) override {
        Port* port = ToPort(handle);
        const std::optional<speed_t> speed = SpeedCode(state.baudRate);
        const std::optional<tcflag_t> size = SizeFlag(state.byteSize);
        termios tio{};
        if (port == nullptr || !speed || !size || tcgetattr(port->fd, &tio) != 0) return false;

        // Parity, stop bits and hardware flow control stay as the driver has them.
        tio.c_iflag &= ~kRawInputOff;
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tio.c_lflag &= ~kRawLocalOff;
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | *size | CREAD | CLOCAL;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, *speed) != 0 || cfsetospeed(&tio, *speed) != 0) return false;
        if (tcsetattr(port->fd, TCSANOW, &tio) != 0) return false;

        // tcsetattr succeeds when any part of the change took; read back what the driver kept.
        termios applied{};
        if (tcgetattr(port->fd, &applied) != 0) return false;
        const bool kept = cfgetospeed(&applied) == *speed && (applied.c_cflag & CSIZE) == *size &&
                          (applied.c_iflag & kRawInputOff) == 0 &&
                          (applied.c_lflag & kRawLocalOff) == 0 && (applied.c_oflag & OPOST) == 0 &&
                          applied.c_cc[VMIN] == 0 && applied.c_cc[VTIME] == 0;
        if (!kept) return false;
        port->eofChar = state.eofChar;
        return true;
    }

    bool PurgeComm(PortHandle handle, std::uint32_t flags) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return false;
        // Transfers here are synchronous, so the abort flags have nothing to cancel.
        const bool rx = (flags & kPurgeRxClear) != 0;
        const bool tx = (flags & kPurgeTxClear) != 0;
        if (!rx && !tx) return true;
        const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
        const bool flushed = tcflush(port->fd, queue) == 0;
        if (rx) ++port->consumed;
        return flushed;
    }

    bool ClearCommError(PortHandle handle, CommStatus& status) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return false;
        int queued = 0;
        if (ioctl(port->fd, FIONREAD, &queued) != 0) {
            if (DeviceVanished(errno)) port->vanished = true;
            return false;
        }
        status.inQueue = static_cast<std::uint32_t>(queued);
        status.errors = 0;

        const std::lock_guard lock(port->mutex);
        LineCounters now;
        if (port->haveCounters && ReadCounters(port->fd, now) == CounterRead::Ok) {
            status.errors = ErrorFlags(port->errorBaseline, now);
            port->errorBaseline = now;
        }
        return true;
    }

    std::uint32_t Write(PortHandle handle, const std::uint8_t* data,
                        std::uint32_t length) override {
        Port* port = ToPort(handle);
        if (port == nullptr || length == 0) return 0;

        // The write total time-out; both parts zero means no limit, as on Windows.
        using Clock = std::chrono::steady_clock;
        const std::uint64_t limitMs =
            std::uint64_t{port->timeouts.writeTotalTimeoutMultiplier} * length +
            port->timeouts.writeTotalTimeoutConstant;
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(limitMs));

        std::uint32_t written = 0;
        while (written < length) {
            const ssize_t n = write(port->fd, data + written, length - written);
            if (n > 0) {
                written += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) break;  // EIO/ENXIO: the device went away

            int waitMs = -1;
            if (limitMs != 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) break;
                waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
            }
            pollfd writable{port->fd, POLLOUT, 0};
            const int r = poll(&writable, 1, waitMs);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (writable.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) break;
        }

        if (written > 0 && (port->eventMask & kEvTxEmpty) != 0) {
            port->txDraining = true;
            Signal(port->txFd);
        }
        return written;
    }

    std::uint32_t Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t length) override {
        Port* port = ToPort(handle);
        if (port == nullptr || length == 0) return 0;
        ssize_t n = 0;
        do {
            n = read(port->fd, buffer, length);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return 0;
        ++port->consumed;
        return static_cast<std::uint32_t>(n);
    }

    bool SetCommMask(PortHandle handle, std::uint32_t mask) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return false;
        // A new mask starts a new event history: nothing from before it is reported.
        const std::lock_guard lock(port->mutex);
        port->eventMask = mask;
        port->txDraining = false;
        Consume(port->txFd);
        port->pendingRx = false;
        int queued = 0;
        if (ioctl(port->fd, FIONREAD, &queued) == 0) port->lastQueued = queued;
        port->lastConsumed = port->consumed;
        LineCounters now;
        if (port->haveCounters && ReadCounters(port->fd, now) == CounterRead::Ok) {
            port->eventBaseline = now;
        }
        return true;
    }

    std::unique_ptr<IPortEventWait> CreateEventWait(PortHandle handle) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return nullptr;
        const int epollFd = epoll_create1(EPOLL_CLOEXEC);
        if (epollFd < 0) return nullptr;
        // The tty edge-triggered: a character that arrives is reported once, and an answer
        // left unread in the queue does not keep waking the watcher.
        const auto watch = [epollFd](int fd, std::uint32_t events, std::uint32_t tag) {
            epoll_event event{};
            event.events = events;
            event.data.u32 = tag;
            return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
        };
        const bool watching = watch(port->fd, EPOLLIN | EPOLLET, LinuxEventWait::kTagTty) &&
                              watch(port->wakeFd, EPOLLIN, LinuxEventWait::kTagWake) &&
                              watch(port->txFd, EPOLLIN, LinuxEventWait::kTagTx);
        if (!watching) {
            close(epollFd);
            return nullptr;
        }
        auto* wait = new (std::nothrow) LinuxEventWait(*port, epollFd);
        if (wait == nullptr) close(epollFd);
        return std::unique_ptr<IPortEventWait>(wait);
    }

    void WakeEventWaits(PortHandle handle) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return;
        port->woken = true;
        Signal(port->wakeFd);
    }
};

}  // namespace

ISerialLayer& PlatformSerialLayer() {
    static LinuxSerialLayer layer;
    return layer;
}
