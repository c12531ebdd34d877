#include "stop_request.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex g_mutex;
std::condition_variable g_requested;
int g_signal = 0;  // guarded by g_mutex

}  // namespace

void RequestStop(int signal) {
    {
        const std::lock_guard lock(g_mutex);
        if (g_signal == 0) g_signal = signal;
    }
    g_requested.notify_all();
}

int StopRequested() {
    const std::lock_guard lock(g_mutex);
    return g_signal;
}

void ClearStopRequest() {
    const std::lock_guard lock(g_mutex);
    g_signal = 0;
}

void PauseUnlessStopped(std::uint32_t milliseconds) {
    std::unique_lock lock(g_mutex);
    g_requested.wait_for(lock, std::chrono::milliseconds(milliseconds),
                         [] { return g_signal != 0; });
}
