// Signals become stop requests on a thread of their own that reads them from a signalfd: no
// handler runs at all, so no write, no lock and no exchange is ever interrupted in the middle.

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <thread>

#include "stop_token.h"

bool StopOnInterrupts(StopHook onStop) {
    // Every signal whose default would end the run where it stands and that a station can meet:
    // the operator's and the system's (Ctrl-C, kill, a closed terminal, Ctrl-\), a script's own
    // (SIGUSR1, SIGUSR2), timers (alarm, timeout --signal, a profiler's) and a CPU time limit.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF})
        sigaddset(&stops, signal);
    // A file size limit (ulimit -f) would kill the run in the middle of a log row: ignored, it
    // makes the write fail with EFBIG instead, as any other failed write.
    if (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return false;
    // Blocked here, before any other thread exists, so every later thread inherits the mask
    // and the signals wait for the reader instead of ending the process.
    if (pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0) return false;
    const int fd = signalfd(-1, &stops, SFD_CLOEXEC);
    if (fd < 0) return false;
    try {
        // Lives as long as the process: blocked in read, it holds nothing that needs ending.
        std::thread([fd, onStop] {
            signalfd_siginfo info{};
            for (;;) {
                const ssize_t n = read(fd, &info, sizeof info);
                if (n == static_cast<ssize_t>(sizeof info)) break;
                if (n < 0 && errno != EINTR) return;
            }
            RequestStop(static_cast<int>(info.ssi_signo));
            if (onStop != nullptr) onStop(static_cast<int>(info.ssi_signo));
        }).detach();
    } catch (const std::exception&) {
        close(fd);
        return false;
    }
    return true;
}
