// The serial layer on Linux: a tty opened by its device path, with the Win32-shaped operations
// of serial_layer.h mapped onto termios (termios_linux.cpp), tty ioctls, and epoll for the reply
// watcher's wait (event_wait_linux.cpp).

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "pty_exclusive_linux.h"
#include "serial_linux.h"
#include "serial_linux_p.h"
#include "system_linux.h"
#include "termios_linux.h"
#include "utf8_text.h"

namespace {

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

// How long a close may keep its caller. Closing a tty waits until its output has left (up to
// 30 s by default on a serial port whose flow control holds it back); output is discarded
// first, and a driver that waits all the same finishes the close on a thread of its own.
constexpr auto kCloseLimit = std::chrono::seconds(1);

// How long a write waits for the driver to take more before it looks at the stop request
// again: the stop has no descriptor of its own to wait on beside the port's.
constexpr int kStopCheckMs = 20;

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

Port* ToPort(PortHandle handle) {
    if (handle == kInvalidPort || handle == 0) return nullptr;
    return reinterpret_cast<Port*>(handle);
}

class LinuxSerialLayer : public ISerialLayer {
  public:
    explicit LinuxSerialLayer(SystemRoots roots) : m_roots(std::move(roots)) {}

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
        if (!MakeRaw(tio, *speed, *size)) return false;
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
        if (!IsRaw(applied, *speed, *size)) return false;
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

    using ISerialLayer::Write;
    std::uint32_t Write(PortHandle handle, const std::uint8_t* data, std::uint32_t length,
                        const StopToken& stop) override {
        Port* port = ToPort(handle);
        if (port == nullptr || length == 0) return 0;

        // The write total time-out; both parts zero means no limit, as on Windows.
        using Clock = std::chrono::steady_clock;
        const std::uint64_t limitMs =
            std::uint64_t{port->timeouts.writeTotalTimeoutMultiplier} * length +
            port->timeouts.writeTotalTimeoutConstant;
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(limitMs));

        // The caller's stop ends the write at its next step: no further byte goes to the driver
        // once it is made, and a wait for the driver to take more ends within kStopCheckMs.
        // Signals reach no handler here (they are read from a signalfd), so no write() call is
        // ever cut short in the middle.
        std::uint32_t written = 0;
        while (written < length && stop.Requested() == 0) {
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

            int waitMs = kStopCheckMs;
            if (limitMs != 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) break;
                waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), kStopCheckMs));
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
        return port != nullptr ? MakeEventWait(*port) : nullptr;
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

        // The device itself, not a link to it, names the lock file and is what is opened.
        std::array<char, PATH_MAX> device{};
        if (realpath(path->c_str(), device.data()) == nullptr) return refuse(OpenFailure(errno));
        // The system console's line is never ours, whatever name leads to it. Looked at here
        // first, so that a console reached by a name that stays put is neither locked nor
        // opened (an open raises a serial console's DTR and RTS); the descriptor decides below.
        struct stat node {};
        if (stat(device.data(), &node) != 0) return refuse(OpenFailure(errno));
        if (S_ISCHR(node.st_mode) && IsConsoleDevice(node.st_rdev, m_roots)) {
            return refuse(OpenReason::Console);
        }
        if (port->lock.Take(m_roots, device.data(), status.holder) == UucpLock::Outcome::Held) {
            return refuse(OpenReason::Busy);
        }
        // Refused for exclusive mode, which may have outlived whoever set it; `ownFd` is the
        // descriptor this open got, if any, which holds the device too.
        const auto refuseExclusive = [&](int ownFd) {
            if (ExclusiveLeftBehind(m_roots, device.data(), node, ownFd,
                                    port->lock.TookOverStale())) {
                status.holder = {L"", 0, L"", L"", false, WideFromBytes(device.data())};
            }
            return refuse(OpenReason::Busy);
        };

        // Non-blocking, so neither the open nor a later read waits for carrier or data.
        port->fd = open(device.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const int fd = port->fd.Get();
        if (fd < 0) {
            // EBUSY is how the kernel keeps everyone but root out of a tty in exclusive mode.
            if (errno == EBUSY) return refuseExclusive(-1);
            const OpenReason reason = OpenFailure(errno);
            if (reason == OpenReason::PermissionDenied) status.access = AccessOf(device.data());
            return refuse(reason);
        }
        // What was opened is what the name led to at the open, which need not be what it led to
        // when it was looked at: a name swapped meanwhile for a link to the console opens the
        // console. Its device number decides, and it must be the device the lock was taken for.
        struct stat opened {};
        if (fstat(fd, &opened) != 0) return refuse(OpenFailure(errno));
        if (S_ISCHR(opened.st_mode) && IsConsoleDevice(opened.st_rdev, m_roots)) {
            return refuse(OpenReason::Console);
        }
        if ((opened.st_mode & S_IFMT) != (node.st_mode & S_IFMT) ||
            opened.st_rdev != node.st_rdev) {
            return refuse(OpenReason::Other);
        }
        // Another run that took over the same stale lock at the same moment has it now.
        if (port->lock.Lost()) {
            status.holder = UucpLockHolder(m_roots, device.data()).value_or(PortHolder{});
            return refuse(OpenReason::Busy);
        }
        // Only a tty has a line discipline, and only the plain terminal one is for us: PPP,
        // SLIP, Bluetooth HCI or CAN on it means a kernel driver has the line.
        int discipline = N_TTY;
        if (ioctl(fd, TIOCGETD, &discipline) != 0) {
            return refuse(errno == ENOTTY ? OpenReason::Other : OpenFailure(errno));
        }
        if (discipline != N_TTY) return refuse(OpenReason::LineDiscipline);
        // The kernel lets a privileged opener through another's exclusive mode: ask for it.
        int exclusiveMode = 0;
        if (ioctl(fd, TIOCGEXCL, &exclusiveMode) != 0) return refuse(OpenFailure(errno));
        if (exclusiveMode != 0) return refuseExclusive(fd);
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

    const SystemRoots m_roots;
};

}  // namespace

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

Port::~Port() {
    if (!fd.Valid()) return;
    if (saved) {
        ioctl(fd.Get(), TIOCNXCL);
        tcflush(fd.Get(), TCOFLUSH);
        tcsetattr(fd.Get(), TCSANOW, &*saved);
    }
    CloseWithin(fd.Release(), std::move(lock));
}

TtyError Port::Failed(int error) {
    const TtyError kind = Classify(error);
    if (kind == TtyError::Vanished) vanished = true;
    return kind;
}

std::optional<std::uint32_t> Port::Queued() {
    int queued = 0;
    if (ioctl(fd.Get(), FIONREAD, &queued) != 0) {
        Failed(errno);
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::max(queued, 0));
}

std::uint32_t Port::Unsent() {
    int unsent = 0;
    if (ioctl(fd.Get(), TIOCOUTQ, &unsent) != 0) {
        Failed(errno);
        return 0;
    }
    return static_cast<std::uint32_t>(std::max(unsent, 0));
}

std::optional<LineCounters> Port::Counters() {
    if (!haveCounters) return std::nullopt;
    serial_icounter_struct icount{};
    if (ioctl(fd.Get(), TIOCGICOUNT, &icount) != 0) {
        Failed(errno);
        return std::nullopt;
    }
    return LineCounters{icount.frame, icount.parity, icount.overrun, icount.buf_overrun,
                        icount.brk};
}

ISerialLayer& PlatformSerialLayer() {
    static LinuxSerialLayer layer(SystemRoots{});
    return layer;
}

std::unique_ptr<ISerialLayer> MakeLinuxSerialLayer(const SystemRoots& roots) {
    return std::make_unique<LinuxSerialLayer>(roots);
}
