#pragma once

// The rules by which the Linux layer turns what the kernel shows of a tty into Win32-style port
// events. A tty has no event history of its own: epoll reports readiness, not "a character
// arrived" or "the output queue ran empty", so the layer looks at the queues whenever a wait
// wakes and this class decides, from what it saw before, which events that look means. It does
// no I/O and takes no locks; the layer guards one instance per port with the port's mutex.

#include <cstdint>
#include <optional>

// Line error counters of a driver (TIOCGICOUNT). Ptys and some USB adapters keep none.
struct LineCounters {
    int frame = 0;
    int parity = 0;
    int overrun = 0;
    int bufOverrun = 0;
    int brk = 0;

    bool operator==(const LineCounters&) const = default;
};

// What one look at the tty found.
struct PortLook {
    // Bytes in the input queue; only when the tty woke the wait as readable and told its size.
    std::optional<std::uint32_t> queued;
    // Bytes written but not yet sent; asked only while Draining(). A driver that cannot tell
    // leaves it 0, and its output counts as sent.
    std::uint32_t unsent = 0;
    // The driver's error counters, when it keeps them.
    std::optional<LineCounters> counters;
};

class PortEventHistory {
  public:
    // A new event mask starts a new history: nothing seen before it is reported. `queued` and
    // `counters` are what the queue and the error counters hold now, when known.
    void Restart(std::uint32_t mask, std::optional<std::uint32_t> queued,
                 std::optional<LineCounters> counters);

    // Bytes were written. Returns true when the emptied output queue is now watched for (the
    // mask asks for EV_TXEMPTY): a blocked wait must then be woken to start looking.
    bool Wrote();
    // Whether written bytes are still on their way out.
    bool Draining() const { return m_draining; }
    // Bytes left the input queue (read or purged): a queue of the same size as before now holds
    // a new arrival.
    void Consumed() { m_consumedSinceLook = true; }

    // The events (within the mask) that `look` reports. `pending` tells a wait that was already
    // blocked from one that has just begun: a blocked wait ends at the first event, as on
    // Windows, so an arrival seen in the same look as the emptied output queue is held back for
    // the next wait (the queue ran empty before any answer to what was written could arrive).
    std::uint32_t Report(const PortLook& look, bool pending);

  private:
    std::uint32_t m_mask = 0;
    bool m_draining = false;
    bool m_heldArrival = false;
    // An edge-triggered wake also comes without data (a termios change, for one): only a queue
    // that grew, or that refilled after bytes were taken out, is an arrival.
    std::uint32_t m_lastQueued = 0;
    bool m_consumedSinceLook = false;
    LineCounters m_errorsSeen;
};
