#pragma once

// A request to end the run, made when the operator or the system interrupts it (on Linux
// SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM or SIGPROF;
// Ctrl-C or Ctrl-Break in a Windows console). The exchange and the search end their waits at
// their next step once it is made, and no further part of a frame is written, so that the front
// end can close the port the normal way: line settings put back, exclusive mode released, lock
// file removed.

#include <cstdint>

// Safe from any thread (not from a signal handler: signals reach it through a thread of their
// own, see StopOnInterrupts). The first request's number is kept.
void RequestStop(int signal);
// The signal number of the request made, or 0 while none was.
int StopRequested();

// Waits `milliseconds`, or less once a stop is requested.
void PauseUnlessStopped(std::uint32_t milliseconds);

// Turns the platform's interrupts into RequestStop and then calls `onStop` (which may be null)
// on the thread that received them. Call it early in main, before any other thread starts: on
// Linux the signals are blocked in every thread and read from a signalfd, and SIGXFSZ is
// ignored, so that a write past a file size limit fails instead of ending the process. False
// when the platform refused.
using StopHook = void (*)(int signal);
bool StopOnInterrupts(StopHook onStop);
