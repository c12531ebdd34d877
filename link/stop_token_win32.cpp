// Ctrl-C and Ctrl-Break in the console become stop requests. Windows runs a console control
// handler on a thread of its own, so it may take locks; returning TRUE keeps the process alive
// until the run has closed its port and ends by itself.

#include <windows.h>

#include <atomic>
#include <csignal>

#include "stop_token.h"

namespace {

std::atomic<StopHook> g_onStop{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event) {
    // SIGBREAK is the C runtime's number for Ctrl-Break, as the exit status 128 + N tells it.
    int signal = 0;
    if (event == CTRL_C_EVENT) signal = SIGINT;
    if (event == CTRL_BREAK_EVENT) signal = SIGBREAK;
    if (signal == 0) return FALSE;
    RequestStop(signal);
    if (const StopHook hook = g_onStop.load()) hook(signal);
    return TRUE;
}

}  // namespace

bool StopOnInterrupts(StopHook onStop) {
    g_onStop = onStop;
    return SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
}
