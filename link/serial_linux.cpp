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
#include <climits>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "event_history_linux.h"
#include "serial_linux.h"
#include "utf8_text.h"
#include "uucp_lock_linux.h"

namespace {

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

// What a failed call on the tty means for the layer: the one place errno is read.
enum class TtyError {
    Interrupted,  // EINTR: try again
    WouldBlock,   // EAGAIN: the queue is full (or empty) right now
    // The device is gone for good (USB adapter unplugged, pty master closed): the tty is hung
    // up and every further operation on the descriptor fails the same way.
    Vanished,
    Other,
};

TtyError Classify(int error) {
    switch (error) {
        case EINTR:
            return TtyError::Interrupted;
        case EAGAIN:
            return TtyError::WouldBlock;
        case EIO:
        case ENXIO:
        case ENODEV:
            return TtyError::Vanished;
        default:
            return TtyError::Other;
    }
}

// Why open() refused a device.
OpenReason OpenFailure(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return OpenReason::PermissionDenied;
        case EBUSY:  // exclusive mode (TIOCEXCL) set by its holder
            return OpenReason::Busy;
        case ENOENT:
        case ENOTDIR:
        case ENODEV:
        case ENXIO:
        case EIO:
            return OpenReason::Gone;
        default:
            return OpenReason::Other;
    }
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

// A descriptor closed with its owner.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() {
        if (m_fd >= 0) close(m_fd);
    }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd& operator=(int fd) {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
        return *this;
    }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }

  private:
    int m_fd = -1;
};

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

// How long a close may keep its caller. Closing a tty waits until its output has left (up to
// 30 s by default on a serial port whose flow control holds it back); output is discarded
// first, and a driver that waits all the same finishes the close on a thread of its own.
constexpr auto kCloseLimit = std::chrono::seconds(1);

// Closes `fd`, then releases `lock`; returns after kCloseLimit at the latest.
void CloseWithin(int fd, UucpLock lock) {
    try {
        auto closed = std::make_shared<std::promise<void>>();
        std::future<void> done = closed->get_future();
        std::thread([fd, closed, lock = std::move(lock)]() mutable {
            close(fd);
            lock.Release();
            closed->set_value();
        }).detach();
        done.wait_for(kCloseLimit);
    } catch (const std::exception&) {
        // No thread to be had: close here, bounded or not, rather than keep the device open.
        close(fd);
    }
}

// Everything the layer keeps for one open port; its address is the PortHandle.
struct Port {
    // Leaves the tty as it was found: exclusive mode off, unsent output discarded, the line
    // settings saved at Open put back. A port refused at Open is only closed: it was never ours.
    ~Port() {
        if (!fd.Valid()) return;
        if (saved) {
            ioctl(fd.Get(), TIOCNXCL);
            tcflush(fd.Get(), TCOFLUSH);
            tcsetattr(fd.Get(), TCSANOW, &*saved);
        }
        CloseWithin(fd.Release(), std::move(lock));
    }

    UniqueFd fd;
    UucpLock lock;
    // The line settings found at Open; set once the port has passed every check and is ours.
    std::optional<termios> saved;
    // Written once by WakeEventWaits and never read: it stays readable, so every later wait
    // ends at once as well.
    UniqueFd wakeFd;
    // Written by Write when the event history watches the output queue, so that a blocked wait
    // starts looking at it.
    UniqueFd txFd;

    std::atomic<bool> woken{false};
    std::atomic<bool> vanished{false};

    // Owner thread only.
    CommTimeouts timeouts;
    std::uint8_t eofChar = 0;  // kept for GetCommState; a tty has no such thing
    bool haveCounters = false;

    // What the owner's calls and the reply watcher's wait both use.
    std::mutex mutex;
    PortEventHistory events;
    LineCounters errorsReported;  // what the last ClearCommError reported against

    // Notes a failed call on the tty: once vanished, the port stays vanished.
    TtyError Failed(int error) {
        const TtyError kind = Classify(error);
        if (kind == TtyError::Vanished) vanished = true;
        return kind;
    }

    // The kernel's counts; nullopt (or 0 unsent) when the driver does not tell.
    std::optional<std::uint32_t> Queued() {
        int queued = 0;
        if (ioctl(fd.Get(), FIONREAD, &queued) != 0) {
            Failed(errno);
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(std::max(queued, 0));
    }
    std::uint32_t Unsent() {
        int unsent = 0;
        if (ioctl(fd.Get(), TIOCOUTQ, &unsent) != 0) {
            Failed(errno);
            return 0;
        }
        return static_cast<std::uint32_t>(std::max(unsent, 0));
    }
    std::optional<LineCounters> Counters() {
        if (!haveCounters) return std::nullopt;
        serial_icounter_struct icount{};
        if (ioctl(fd.Get(), TIOCGICOUNT, &icount) != 0) {
            Failed(errno);
            return std::nullopt;
        }
        return LineCounters{icount.frame, icount.parity, icount.overrun, icount.buf_overrun,
                            icount.brk};
    }
};

Port* ToPort(PortHandle handle) {
    if (handle == kInvalidPort || handle == 0) return nullptr;
    return reinterpret_cast<Port*>(handle);
}

class LinuxEventWait final : public IPortEventWait {
  public:
    LinuxEventWait(Port& port, UniqueFd&& epollFd) : m_port(port), m_epoll(std::move(epollFd)) {}

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

    // Waits up to timeoutMs (-1: no limit) for activity, gathers the kernel's counts and asks
    // the port's event history what they mean.
    Outcome Collect(int timeoutMs, bool pending) {
        if (m_port.woken) return {Outcome::Woken};
        if (m_port.vanished) return {Outcome::Vanished};

        std::array<epoll_event, 3> ready{};
        const int count =
            epoll_wait(m_epoll.Get(), ready.data(), static_cast<int>(ready.size()), timeoutMs);
        if (count < 0) {
            return Classify(errno) == TtyError::Interrupted ? Outcome{} : Outcome{Outcome::Woken};
        }
        bool ttyReadable = false;
        for (int i = 0; i < count; ++i) {
            const epoll_event& event = ready[static_cast<std::size_t>(i)];
            if (event.data.u32 == kTagWake) return {Outcome::Woken};
            if (event.data.u32 == kTagTx) Consume(m_port.txFd.Get());
            if (event.data.u32 == kTagTty) {
                if ((event.events & (EPOLLHUP | EPOLLERR)) != 0) m_port.vanished = true;
                ttyReadable = (event.events & EPOLLIN) != 0;
            }
        }
        if (m_port.woken) return {Outcome::Woken};

        const std::lock_guard lock(m_port.mutex);
        PortLook look;
        if (!m_port.vanished && ttyReadable) look.queued = m_port.Queued();
        if (!m_port.vanished && m_port.events.Draining()) look.unsent = m_port.Unsent();
        if (!m_port.vanished) look.counters = m_port.Counters();
        if (m_port.vanished) return {Outcome::Vanished};
        const std::uint32_t events = m_port.events.Report(look, pending);
        if (events == 0) return {};
        return {Outcome::Events, events};
    }

    // Without a write in flight the wait sleeps in the kernel. The moment the transmitter
    // empties raises no wake-up on every driver, so while bytes are unsent the queue is looked
    // at again after roughly their time on the line.
    int DrainPollTimeout() {
        {
            const std::lock_guard lock(m_port.mutex);
            if (!m_port.events.Draining()) return -1;
        }
        const std::uint32_t unsent = m_port.Unsent();
        if (unsent == 0) return 0;
        return static_cast<int>(std::clamp<std::uint32_t>(unsent, 2, 100));
    }

    Port& m_port;
    const UniqueFd m_epoll;
};

class LinuxSerialLayer : public ISerialLayer {
  public:
    explicit LinuxSerialLayer(std::string lockDir) : m_lockDir(std::move(lockDir)) {}

    PortHandle Open(const std::wstring& name, OpenStatus& status) override {
        status = {};
        std::unique_ptr<Port> port = OpenPort(name, status);
        if (!port) return kInvalidPort;
        status.reason = OpenReason::Opened;
        return reinterpret_cast<PortHandle>(port.release());
    }

    void Close(PortHandle handle) override { delete ToPort(handle); }

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
        if (port == nullptr) return false;
        if (tcgetattr(port->fd.Get(), &tio) != 0) {
            port->Failed(errno);
            return false;
        }
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
        if (port == nullptr || !speed || !size) return false;
        const int fd = port->fd.Get();
        if (tcgetattr(fd, &tio) != 0) {
            port->Failed(errno);
            return false;
        }

        // Parity, stop bits and hardware flow control stay as the driver has them.
        tio.c_iflag &= ~kRawInputOff;
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tio.c_lflag &= ~kRawLocalOff;
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | *size | CREAD | CLOCAL;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, *speed) != 0 || cfsetospeed(&tio, *speed) != 0) return false;
        if (tcsetattr(fd, TCSANOW, &tio) != 0) {
            port->Failed(errno);
            return false;
        }

        // tcsetattr succeeds when any part of the change took; read back what the driver kept.
        termios applied{};
        if (tcgetattr(fd, &applied) != 0) {
            port->Failed(errno);
            return false;
        }
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
        const bool flushed = tcflush(port->fd.Get(), queue) == 0;
        if (!flushed) port->Failed(errno);
        if (rx) {
            const std::lock_guard lock(port->mutex);
            port->events.Consumed();
        }
        return flushed;
    }

    bool ClearCommError(PortHandle handle, CommStatus& status) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return false;
        const std::optional<std::uint32_t> queued = port->Queued();
        if (!queued) return false;
        status.inQueue = *queued;
        status.errors = 0;

        const std::lock_guard lock(port->mutex);
        if (const std::optional<LineCounters> now = port->Counters()) {
            status.errors = ErrorFlags(port->errorsReported, *now);
            port->errorsReported = *now;
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
            const ssize_t n = write(port->fd.Get(), data + written, length - written);
            if (n > 0) {
                written += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0) {
                const TtyError error = port->Failed(errno);
                if (error == TtyError::Interrupted) continue;
                if (error != TtyError::WouldBlock) break;
            }

            int waitMs = -1;
            if (limitMs != 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) break;
                waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
            }
            pollfd writable{port->fd.Get(), POLLOUT, 0};
            const int r = poll(&writable, 1, waitMs);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (writable.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) break;
        }

        if (written > 0) {
            const std::lock_guard lock(port->mutex);
            if (port->events.Wrote()) Signal(port->txFd.Get());
        }
        return written;
    }

    std::uint32_t Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t length) override {
        Port* port = ToPort(handle);
        if (port == nullptr || length == 0) return 0;
        ssize_t n = 0;
        while ((n = read(port->fd.Get(), buffer, length)) < 0) {
            if (port->Failed(errno) != TtyError::Interrupted) return 0;
        }
        if (n == 0) return 0;
        const std::lock_guard lock(port->mutex);
        port->events.Consumed();
        return static_cast<std::uint32_t>(n);
    }

    bool SetCommMask(PortHandle handle, std::uint32_t mask) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return false;
        const std::lock_guard lock(port->mutex);
        port->events.Restart(mask, port->Queued(), port->Counters());
        Consume(port->txFd.Get());
        return true;
    }

    std::unique_ptr<IPortEventWait> CreateEventWait(PortHandle handle) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return nullptr;
        UniqueFd epollFd(epoll_create1(EPOLL_CLOEXEC));
        if (!epollFd.Valid()) return nullptr;
        // The tty edge-triggered: a character that arrives is reported once, and an answer
        // left unread in the queue does not keep waking the watcher.
        const auto watch = [&epollFd](const UniqueFd& fd, std::uint32_t events, std::uint32_t tag) {
            epoll_event event{};
            event.events = events;
            event.data.u32 = tag;
            return epoll_ctl(epollFd.Get(), EPOLL_CTL_ADD, fd.Get(), &event) == 0;
        };
        const bool watching = watch(port->fd, EPOLLIN | EPOLLET, LinuxEventWait::kTagTty) &&
                              watch(port->wakeFd, EPOLLIN, LinuxEventWait::kTagWake) &&
                              watch(port->txFd, EPOLLIN, LinuxEventWait::kTagTx);
        if (!watching) return nullptr;
        // Without memory for the wait, the epoll descriptor stays with epollFd and closes.
        return std::unique_ptr<IPortEventWait>(new (std::nothrow)
                                                   LinuxEventWait(*port, std::move(epollFd)));
    }

    void WakeEventWaits(PortHandle handle) override {
        Port* port = ToPort(handle);
        if (port == nullptr) return;
        port->woken = true;
        Signal(port->wakeFd.Get());
    }

  private:
    // Every check that may refuse the port comes before anything is changed on it: a refused
    // port has not been written to, and its settings and exclusive mode are as they were.
    std::unique_ptr<Port> OpenPort(const std::wstring& name, OpenStatus& status) {
        const auto refuse = [&status](OpenReason reason) {
            status.reason = reason;
            return nullptr;
        };
        const std::optional<std::string> path = PortPathBytes(name);
        if (!path || path->empty()) return refuse(OpenReason::Gone);
        std::unique_ptr<Port> port(new (std::nothrow) Port);
        if (!port) return refuse(OpenReason::Other);

        // The lock file is named after the device itself, not after a link to it.
        std::array<char, PATH_MAX> device{};
        if (realpath(path->c_str(), device.data()) == nullptr) return refuse(OpenFailure(errno));
        if (port->lock.Take(m_lockDir, device.data(), status.holder.pid) ==
            UucpLock::Outcome::Held) {
            return refuse(OpenReason::Busy);
        }

        // Non-blocking, so neither the open nor a later read waits for carrier or data.
        port->fd = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const int fd = port->fd.Get();
        if (fd < 0) return refuse(OpenFailure(errno));
        // Only a tty has a line discipline, and only the plain terminal one is for us: PPP,
        // SLIP, Bluetooth HCI or CAN on it means a kernel driver has the line.
        int discipline = N_TTY;
        if (ioctl(fd, TIOCGETD, &discipline) != 0) {
            return refuse(errno == ENOTTY ? OpenReason::Other : OpenFailure(errno));
        }
        if (discipline != N_TTY) return refuse(OpenReason::LineDiscipline);
        // The kernel lets a privileged opener through another's exclusive mode: ask for it.
        int exclusive = 0;
        if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) return refuse(OpenFailure(errno));
        if (exclusive != 0) return refuse(OpenReason::Busy);
        // Programs that lock the device with flock (picocom, a second Dravik).
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            return refuse(errno == EWOULDBLOCK ? OpenReason::Busy : OpenReason::Other);
        }

        termios found{};
        if (tcgetattr(fd, &found) != 0) return refuse(OpenFailure(errno));
        port->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        port->txFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (!port->wakeFd.Valid() || !port->txFd.Valid()) return refuse(OpenReason::Other);
        // From here on the port is ours, and closing it puts back what was found.
        port->saved = found;
        // TIOCEXCL keeps out later openers that know nothing of flock or lock files.
        if (ioctl(fd, TIOCEXCL) != 0) return refuse(OpenFailure(errno));

        port->haveCounters = true;
        const std::optional<LineCounters> counters = port->Counters();
        port->haveCounters = counters.has_value();
        port->errorsReported = counters.value_or(LineCounters{});
        port->events.Restart(0, std::nullopt, counters);
        return port;
    }

    const std::string m_lockDir;
};

}  // namespace

std::optional<std::string> PortPathBytes(const std::wstring& name) {
    // A NUL would end the path early: the kernel would open another device than the one named.
    if (name.find(L'\0') != std::wstring::npos) return std::nullopt;
    return ExactUtf8FromWide(name);
}

ISerialLayer& PlatformSerialLayer() {
    static LinuxSerialLayer layer(kSystemLockDir);
    return layer;
}

std::unique_ptr<ISerialLayer> MakeLinuxSerialLayer(const std::string& lockDir) {
    return std::make_unique<LinuxSerialLayer>(lockDir);
}
