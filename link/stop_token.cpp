#include "stop_token.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>

namespace {

// Never destroyed: the thread that reads signals is detached and may still be raising the
// request while the process runs its exit handlers, and a host's thread may still cancel then.
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

int StopToken::Requested() const {
    Request& request = TheRequest();
    const std::lock_guard lock(request.mutex);
    if (request.signal != 0) return request.signal;
    return m_cancelled ? SIGINT : 0;
}

int StopToken::Interrupt() {
    Request& request = TheRequest();
    const std::lock_guard lock(request.mutex);
    return request.signal;
}

void StopToken::Pause(std::uint32_t milliseconds) const {
    Request& request = TheRequest();
    std::unique_lock lock(request.mutex);
    request.raised.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [&] { return request.signal != 0 || m_cancelled; });
}

void StopToken::Cancel() {
    Raise(false);
}

void StopToken::Shut() {
    Raise(true);
}

void StopToken::Raise(bool forGood) {
    Request& request = TheRequest();
    {
        const std::lock_guard lock(request.mutex);
        m_cancelled = true;
        m_shut = m_shut || forGood;
    }
    request.raised.notify_all();
}

void StopToken::Reset() {
    Request& request = TheRequest();
    const std::lock_guard lock(request.mutex);
    m_cancelled = m_shut;
}

StopToken& ProcessStop() {
    static StopToken* const token = new StopToken;
    return *token;
}
