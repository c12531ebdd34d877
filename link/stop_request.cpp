#include "stop_request.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// Never destroyed: the thread that reads signals is detached and may still be raising the
// request while the process runs its exit handlers.
struct Request {
    std::mutex mutex;
    std::condition_variable raised;
    int signal = 0;  // guarded by mutex
};

Request& TheRequest() {
    static Request* const request = new Request;
    return *request;
}

}  // namespace

void RequestStop(int signal) {
    Request& request = TheRequest();
    {
        const std::lock_guard lock(request.mutex);
        if (request.signal == 0) request.signal = signal;
    }
    request.raised.notify_all();
}

int StopRequested() {
    Request& request = TheRequest();
    const std::lock_guard lock(request.mutex);
    return request.signal;
}

void PauseUnlessStopped(std::uint32_t milliseconds) {
    Request& request = TheRequest();
    std::unique_lock lock(request.mutex);
    request.raised.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [&request] { return request.signal != 0; });
}
