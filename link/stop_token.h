#pragma once

// A run's stop. Every wait of a run asks one token: the exchange's poll and its resend pauses,
// the search's and the probe's pauses, the holder scan, and a write the line holds back (on
// both platforms). A token stops for two causes, which it sees together:
// - the process's stop request, made when the operator or the system interrupts the run (on
//   Linux SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM or
//   SIGPROF; Ctrl-C or Ctrl-Break in a Windows console), which every token sees;
// - its own Cancel, made by the front end that owns it (a library session's dravik_cancel).
// Once stopped, the waits end at their next step and no further part of a frame is written, so
// that the front end can close the port the normal way: line settings put back, exclusive mode
// released, lock file removed.

#include <cstdint>

class StopToken {
  public:
    StopToken() = default;
    virtual ~StopToken() = default;
    StopToken(const StopToken&) = delete;
    StopToken& operator=(const StopToken&) = delete;

    // Every call is safe from any thread (not from a signal handler).

    // The stop made, 0 while none: the process's request's signal number, else for a Cancel
    // SIGINT's (2 on both platforms), as if the operator had pressed Ctrl-C.
    int Requested() const;
    // The process's request alone: what tells an interrupt from a Cancel.
    static int Interrupt();
    // Waits `milliseconds`, or less once a stop is made. Tests override it to count pauses
    // instead of waiting them.
    virtual void Pause(std::uint32_t milliseconds) const;

    // A Cancel lasts until Reset; one made by Shut (its owner closing) lasts for good, so that
    // a call starting afresh in the closing moment cannot clear it.
    void Cancel();
    void Shut();
    void Reset();

  private:
    void Raise(bool forGood);

    // Guarded by the process's request's mutex, which every wait shares: a Cancel and an
    // interrupt wake the same waits at once.
    bool m_cancelled = false;
    bool m_shut = false;
};

// The token of every run that has none of its own (the dialog, dravik-cli): it stops on the
// process's request alone.
StopToken& ProcessStop();

// Makes the process's stop request; the first request's number is kept.
void RequestStop(int signal);

// Turns the platform's interrupts into RequestStop and then calls `onStop` (which may be null)
// on the thread that received them. Call it early in main, before any other thread starts: on
// Linux the signals are blocked in every thread and read from a signalfd, and SIGXFSZ is
// ignored, so that a write past a file size limit fails instead of ending the process. False
// when the platform refused.
using StopHook = void (*)(int signal);
bool StopOnInterrupts(StopHook onStop);
