#pragma once

// A request to end the run, made when the operator or the system interrupts it (SIGINT,
// SIGTERM, SIGHUP or SIGQUIT on Linux; Ctrl-C or Ctrl-Break in a Windows console). The exchange
// and the search end their waits at their next step once it is made, never in the middle of a
// frame's write, so that the front end can close the port the normal way: line settings put
// back, exclusive mode released, lock file removed.

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
// Linux the signals are blocked in every thread and read from a signalfd. False when the
// platform refused.
using StopHook = void (*)(int signal);
bool StopOnInterrupts(StopHook onStop);
