#pragma once

// What the Linux serial layer's two files share: serial_linux.cpp (the port and the operations
// on it) and event_wait_linux.cpp (the reply watcher's wait on it). Private to the layer.

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "event_history_linux.h"
#include "serial_layer.h"
#include "unique_fd_linux.h"
#include "uucp_lock_linux.h"

// What a failed call on the tty means for the layer: the one place errno is read.
enum class TtyError {
    Interrupted,  // EINTR: try again
    WouldBlock,   // EAGAIN: the queue is full (or empty) right now
    // The device is gone for good (USB adapter unplugged, pty master closed): the tty is hung
    // up and every further operation on the descriptor fails the same way.
    Vanished,
    Other,
};

TtyError Classify(int error);

// An eventfd raised, and taken down, whatever interrupts the call.
void Signal(int eventFd);
void Consume(int eventFd);

// Everything the layer keeps for one open port; its address is the PortHandle.
struct Port {
    // Leaves the tty as it was found: exclusive mode off, unsent output discarded, the line
    // settings saved at Open put back. A port refused at Open is only closed: it was never ours.
    ~Port();

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
    TtyError Failed(int error);

    // The kernel's counts; nullopt (or 0 unsent) when the driver does not tell.
    std::optional<std::uint32_t> Queued();
    std::uint32_t Unsent();
    std::optional<LineCounters> Counters();
};

// The reply watcher's wait on `port`; nullptr when its descriptors cannot be had.
std::unique_ptr<IPortEventWait> MakeEventWait(Port& port);
