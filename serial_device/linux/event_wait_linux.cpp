// The Linux layer's port-event wait: epoll on the tty, the wake signal and the transmit signal,
// with the port's event history deciding what each look means.

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <new>
#include <utility>

#include "serial_linux_p.h"

namespace {

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

}  // namespace

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

std::unique_ptr<IPortEventWait> MakeEventWait(Port& port) {
    UniqueFd epollFd(epoll_create1(EPOLL_CLOEXEC));
    if (!epollFd.Valid()) return nullptr;
    // The tty edge-triggered: a character that arrives is reported once, and an answer left
    // unread in the queue does not keep waking the watcher.
    const auto watch = [&epollFd](const UniqueFd& fd, std::uint32_t events, std::uint32_t tag) {
        epoll_event event{};
        event.events = events;
        event.data.u32 = tag;
        return epoll_ctl(epollFd.Get(), EPOLL_CTL_ADD, fd.Get(), &event) == 0;
    };
    const bool watching = watch(port.fd, EPOLLIN | EPOLLET, LinuxEventWait::kTagTty) &&
                          watch(port.wakeFd, EPOLLIN, LinuxEventWait::kTagWake) &&
                          watch(port.txFd, EPOLLIN, LinuxEventWait::kTagTx);
    if (!watching) return nullptr;
    // Without memory for the wait, the epoll descriptor stays with epollFd and closes.
    return std::unique_ptr<IPortEventWait>(new (std::nothrow)
                                               LinuxEventWait(port, std::move(epollFd)));
}
