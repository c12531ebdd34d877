#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "holder_process.h"

HolderProcess::HolderProcess(const std::string& path, Hold hold, int descriptors) {
    std::array<int, 2> ready{-1, -1};
    std::array<int, 2> release{-1, -1};
    if (pipe2(ready.data(), O_CLOEXEC) != 0) return;
    if (pipe2(release.data(), O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        // The test program has threads: only async-signal-safe calls from here on.
        close(ready[0]);
        close(release[1]);
        // What else the parent had open stays with the parent: another holder's release pipe
        // kept here would never let that one end, and a device kept here would look held.
        const auto [low, high] = std::minmax(ready[1], release[0]);
        close_range(3, static_cast<unsigned>(low) - 1, 0);
        close_range(static_cast<unsigned>(low) + 1, static_cast<unsigned>(high) - 1, 0);
        close_range(static_cast<unsigned>(high) + 1, ~0U, 0);
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        bool held = fd >= 0;
        if (held && hold == Hold::Exclusive) held = ioctl(fd, TIOCEXCL) == 0;
        if (held && hold == Hold::Flock) held = flock(fd, LOCK_EX | LOCK_NB) == 0;
        rlimit limit{};
        if (held && descriptors > 1 && getrlimit(RLIMIT_NOFILE, &limit) == 0) {
            limit.rlim_cur = limit.rlim_max;
            held = setrlimit(RLIMIT_NOFILE, &limit) == 0;
        }
        for (int i = 1; held && i < descriptors; ++i)
            held = fcntl(fd, F_DUPFD, 0) >= 0;
        const char byte = held ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        char ignored = 0;
        while (read(release[0], &ignored, 1) > 0) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    m_release = release[1];
    char byte = 0;
    m_ready = m_pid > 0 && read(ready[0], &byte, 1) == 1 && byte == 'y';
    close(ready[0]);
}

HolderProcess::~HolderProcess() {
    if (m_release >= 0) close(m_release);
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
}

int DeadPid() {
    const int pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}
