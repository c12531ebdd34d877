#include "serial_layer.h"

#include <system_error>
#include <utility>

#include "stop_request.h"

PortHandle ISerialLayer::Open(const std::wstring& name) {
    OpenStatus ignored;
    return Open(name, ignored);
}

void ISerialLayer::Pause(std::uint32_t milliseconds) {
    PauseUnlessStopped(milliseconds);
}

int ISerialLayer::StopRequested() {
    return ::StopRequested();
}

bool ISerialLayer::StartThread(std::thread& thread, std::function<void()> body) {
    // The link throws nothing: a thread the system refuses is reported, not thrown.
    try {
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
