#pragma once

// A library session's own stop request: the platform's serial layer with dravik_cancel added.
// The exchange and the search end their waits on StopRequested() and wait through Pause(), and a
// write held by the line asks it at every step, so a cancel ends the session's wait within a
// step, never in the middle of a byte's write. The process's own request (a host that turned
// its interrupts into RequestStop) still counts.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <mutex>

#include "pass_through_layer.h"

class CancelLayer : public PassThroughLayer {
  public:
    CancelLayer() : PassThroughLayer(PlatformSerialLayer()) {}

    // Safe from any thread. A cancel lasts until Reset; one made by Shut (the session closing)
    // lasts for good, so that a call starting afresh in the closing moment cannot clear it.
    void Cancel() { Raise(false); }
    void Shut() { Raise(true); }
    void Reset() {
        const std::lock_guard lock(m_mutex);
        m_cancelled = m_shut;
    }

    bool Cancelled() {
        const std::lock_guard lock(m_mutex);
        return m_cancelled;
    }

    // A cancel reads as an interrupt: SIGINT's number, 2 on both platforms.
    int StopRequested() override {
        if (const int signal = PassThroughLayer::StopRequested()) return signal;
        return Cancelled() ? SIGINT : 0;
    }

    // Ends at once on a cancel. The process's request has a condition variable of its own that
    // this wait cannot join, so it is looked at every kProcessRequestStep.
    void Pause(std::uint32_t milliseconds) override {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
        std::unique_lock lock(m_mutex);
        while (!m_cancelled && PassThroughLayer::StopRequested() == 0) {
            const Clock::time_point now = Clock::now();
            if (now >= end) break;
            m_raised.wait_until(lock, std::min(end, now + kProcessRequestStep));
        }
    }

  private:
    static constexpr std::chrono::milliseconds kProcessRequestStep{20};

    void Raise(bool forGood) {
        {
            const std::lock_guard lock(m_mutex);
            m_cancelled = true;
            m_shut = m_shut || forGood;
        }
        m_raised.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_raised;
    bool m_cancelled = false;  // guarded by m_mutex
    bool m_shut = false;       // guarded by m_mutex
};
