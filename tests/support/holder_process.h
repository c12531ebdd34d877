#pragma once

// Another program holding a device, as a child process (Linux only): it opens the device the
// way a terminal program would and keeps it until the helper is destroyed.

#include <string>

class HolderProcess {
  public:
    enum class Hold {
        Open,       // merely open (minicom: no flock, no TIOCEXCL)
        Exclusive,  // open with TIOCEXCL set
        Flock,      // open and locked with flock (picocom)
    };

    // Starts the child and waits until it holds `path`, with `descriptors` descriptors (a
    // program that keeps many files open; its soft RLIMIT_NOFILE is raised to the hard one for
    // them). Ok() tells whether it does.
    HolderProcess(const std::string& path, Hold hold, int descriptors = 1);
    // Ends the child and reaps it.
    ~HolderProcess();
    HolderProcess(const HolderProcess&) = delete;
    HolderProcess& operator=(const HolderProcess&) = delete;

    bool Ok() const { return m_ready; }
    int Pid() const { return m_pid; }

  private:
    int m_pid = -1;
    int m_release = -1;  // closing it lets the child end
    bool m_ready = false;
};

// The PID of a process that has ended (and been reaped): what a stale lock file names.
int DeadPid();
